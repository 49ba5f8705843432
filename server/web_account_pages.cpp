// The pages about accounts: home page, registration, password recovery
// and feedback.
#include "crypto.h"
#include "log.h"
#include "names.h"
#include "web_visit.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace Tessel {
namespace {

constexpr size_t kMaxFeedbackChars = 4000;
constexpr size_t kMaxContactChars = 100;

bool EndsWithExe(const std::string& name)
{
    if (name.size() < 5)
        return false;
    return LowerAscii(name.substr(name.size() - 4)) == ".exe";
}

bool InRange(const std::string& text, size_t low, size_t high)
{
    const auto length = Utf16Length(text);
    return length && *length >= low && *length <= high;
}

bool Blank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

}  // namespace

void WebPages::Home(Visit& visit)
{
    SendPage(visit, 200, "首页", Render("home", {{"download", InstallerLink()}}));
}

// The newest installer (.exe) published in the static folder.
std::string WebPages::InstallerLink() const
{
    std::string best;
    uint64_t best_size = 0;
    fs::file_time_type best_time{};
    std::error_code ec;
    if (!static_dir_.empty()) {
        for (const auto& item : fs::directory_iterator(static_dir_, ec)) {
            const std::string name = item.path().filename().string();
            if (!EndsWithExe(name) || !item.is_regular_file(ec) || !IsValidEntryName(name))
                continue;
            const auto time = item.last_write_time(ec);
            if (best.empty() || time > best_time) {
                best = name;
                best_time = time;
                best_size = item.file_size(ec);
            }
        }
    }
    if (best.empty())
        return Render("no_download", {});
    return Render("download", {{"file", UrlEncode(best)}, {"name", best}, {"size", SizeText(best_size)}});
}

void WebPages::RegisterForm(Visit& visit, int status, const std::string& error, const std::string& user)
{
    WebSettings settings;
    if (!web_->ReadSettings(settings)) {
        SendMessage(visit, 500, "服务器忙碌中", "服务器忙碌中，请稍后尝试...");
        return;
    }
    if (!settings.registration_open) {
        SendPage(visit, status == 200 ? 200 : 403, "注册", Render("register_closed", {}));
        return;
    }
    SendPage(visit, status, "注册",
             Render("register", {{"error", error.empty() ? std::string() : Notice(error, true)},
                                 {"token", FormToken(visit)},
                                 {"user", user},
                                 {"quota", SizeText(settings.default_quota)}}));
}

// The client's limits, and the server's own: the client names the
// account's state file and registry key after the user name, so it must be
// a name Windows accepts for a file.
std::string WebPages::CheckNewAccount(const std::string& user, const std::string& password,
                                      const std::string& confirm)
{
    if (!InRange(user, 3, 15))
        return "用户名须为3到15个字符";
    if (!IsValidUserName(user) || !IsValidEntryName(user) || user.front() == ' ')
        return "用户名不能包含 \\ / : * ? \" < > | 和控制字符，不能以空格开头，不能以空格或句点结尾，也不能是设备名";
    if (!InRange(password, 6, 20))
        return "密码须为6到20个字符";
    if (password != confirm)
        return "两次输入的密码不一致";
    return std::string();
}

std::string WebPages::IssueRecoveryCode(int64_t account)
{
    const std::string code = NewRecoveryCode();
    if (!web_->SetRecoveryCode(account, code))
        return Render("no_recovery_code", {});
    return Render("recovery_code", {{"code", code}});
}

void WebPages::Register(Visit& visit, const FormFields& form)
{
    if (!Admit(visit, registration_limit_))
        return;
    WebSettings settings;
    if (!web_->ReadSettings(settings) || !settings.registration_open) {
        RegisterForm(visit, 403, "", "");
        return;
    }
    const std::string user = FormValue(form, "user");
    const std::string password = FormValue(form, "password");
    const std::string problem = CheckNewAccount(user, password, FormValue(form, "confirm"));
    if (!problem.empty()) {
        RegisterForm(visit, 400, problem, user);
        return;
    }
    const StoreStatus added = store_.AddAccount(user, Md5Hex(password), settings.default_quota, false);
    AccountRecord account;
    if (added == StoreStatus::NameTaken) {
        RegisterForm(visit, 409, "该用户名已被注册，请换一个", user);
        return;
    }
    if (added != StoreStatus::Ok || !store_.FindAccount(user, account)) {
        SendMessage(visit, 500, "服务器忙碌中", "服务器忙碌中，请稍后尝试...", "/register", "返回");
        return;
    }
    LogLine("web " + visit.req.remote_addr + " registered account " + user);
    SendPage(visit, 200, "注册成功",
             Render("register_done", {{"user", user},
                                      {"quota", SizeText(settings.default_quota)},
                                      {"code", IssueRecoveryCode(account.id)}}));
}

void WebPages::PasswordForm(Visit& visit, int status, const std::string& error, const std::string& user)
{
    SendPage(visit, status, "忘记密码",
             Render("password", {{"error", error.empty() ? std::string() : Notice(error, true)},
                                 {"token", FormToken(visit)},
                                 {"user", user}}));
}

void WebPages::ResetPassword(Visit& visit, const FormFields& form)
{
    if (!Admit(visit, recovery_limit_))
        return;
    const std::string user = FormValue(form, "user");
    const std::string password = FormValue(form, "password");
    if (!InRange(password, 6, 20)) {
        PasswordForm(visit, 400, "密码须为6到20个字符", user);
        return;
    }
    if (password != FormValue(form, "confirm")) {
        PasswordForm(visit, 400, "两次输入的密码不一致", user);
        return;
    }
    const std::string code = NormalizeRecoveryCode(FormValue(form, "code"));
    AccountRecord account;
    const bool known = !code.empty() && !user.empty() && store_.FindAccount(user, account);
    const RecoveryCheck check = known ? web_->TakeRecoveryCode(account.id, code) : RecoveryCheck::Refused;
    if (check != RecoveryCheck::Accepted) {
        LogLine("web " + visit.req.remote_addr + " password recovery for " + user + " refused");
        PasswordForm(visit, check == RecoveryCheck::Error ? 500 : 403, "用户名或恢复码错误，请重新输入", user);
        return;
    }
    // The same path as the operator's password change, so that everything
    // signed on with the old password ends with it.
    AccountChange change;
    change.password_digest = Md5Hex(password);
    if (store_.UpdateAccount(account.name, change) != StoreStatus::Ok) {
        web_->RestoreRecoveryCode(account.id, code);
        SendMessage(visit, 500, "服务器忙碌中", "服务器忙碌中，请稍后尝试...", "/password", "返回");
        return;
    }
    LogLine("web " + visit.req.remote_addr + " password of " + account.name + " reset with its recovery code");
    SendPage(visit, 200, "密码已重设",
             Render("password_done", {{"user", account.name}, {"code", IssueRecoveryCode(account.id)}}));
}

void WebPages::FeedbackForm(Visit& visit, int status, const std::string& error, const FormFields& form)
{
    SendPage(visit, status, "意见反馈",
             Render("feedback", {{"error", error.empty() ? std::string() : Notice(error, true)},
                                 {"token", FormToken(visit)},
                                 {"message", FormValue(form, "message")},
                                 {"contact", FormValue(form, "contact")}}));
}

void WebPages::SendFeedback(Visit& visit, const FormFields& form)
{
    if (!Admit(visit, feedback_limit_))
        return;
    FeedbackRow row;
    row.message = FormValue(form, "message");
    row.contact = FormValue(form, "contact");
    if (Blank(row.message) || !InRange(row.message, 1, kMaxFeedbackChars)) {
        FeedbackForm(visit, 400, "请填写您的意见或建议（不超过4000个字符）", form);
        return;
    }
    if (!InRange(row.contact, 0, kMaxContactChars)) {
        FeedbackForm(visit, 400, "联系方式不能超过100个字符", form);
        return;
    }
    row.created = Now();
    row.address = visit.req.remote_addr;
    row.account = visit.signed_in ? visit.account.name : std::string();
    if (!web_->AddFeedback(row)) {
        SendMessage(visit, 500, "服务器忙碌中", "服务器忙碌中，请稍后尝试...", "/feedback", "返回");
        return;
    }
    SendMessage(visit, 200, "感谢您的反馈！", "您的意见已经收到，我们会认真阅读。");
}

}  // namespace Tessel
