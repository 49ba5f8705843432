#include "web_pages.h"

#include "crypto.h"
#include "log.h"
#include "web_visit.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <functional>

namespace Tessel {
namespace {

const char* const kFormCookie = "tessel_form";
constexpr size_t kFormCookieChars = 32;
// Forms carry names, passwords and a feedback message of at most 4000
// characters; nothing legitimate comes near this.
constexpr size_t kMaxFormBytes = 64 * 1024;

const char* const kPagePolicy =
    "default-src 'none'; style-src 'self'; script-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

const char* const kTemplateNames[] = {
    "layout", "account", "notice", "home", "download", "no_download", "register", "register_closed",
    "register_done", "recovery_code", "no_recovery_code", "password", "password_done", "feedback", "message",
    "signin", "files", "folder_row", "file_row", "empty_folder", "entry", "entry_download", "target_option",
    "path_link",
};

// No I, O, 0 or 1: a code written down on paper reads back unambiguously.
const char kCodeAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
constexpr size_t kCodeGroups = 4;
constexpr size_t kCodeGroupChars = 5;

std::string GroupCode(const std::string& chars)
{
    std::string out;
    for (size_t i = 0; i < chars.size(); ++i) {
        if (i > 0 && i % kCodeGroupChars == 0)
            out += '-';
        out += chars[i];
    }
    return out;
}

// Where "back" leads from a refused form: the page that shows it.
std::string PageOf(const std::string& path)
{
    return path.rfind("/files", 0) == 0 ? "/files" : path;
}

bool IsFormCookie(const std::string& value)
{
    if (value.size() != kFormCookieChars)
        return false;
    for (char c : value)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    return true;
}

}  // namespace

const char* const kWebSessionCookie = "tessel_session";

void SetWebCookie(httplib::Response& res, const std::string& name, const std::string& value, bool clear)
{
    std::string cookie = name + "=" + value + "; Path=/; HttpOnly; SameSite=Lax";
    if (clear)
        cookie += "; Max-Age=0";
    res.set_header("Set-Cookie", cookie);
}

std::string NewRecoveryCode()
{
    std::string chars;
    unsigned char random[kCodeGroups * kCodeGroupChars];
    while (RAND_bytes(random, sizeof random) != 1) {
    }
    for (unsigned char b : random)
        chars += kCodeAlphabet[b & 31];
    return GroupCode(chars);
}

std::string NormalizeRecoveryCode(const std::string& typed)
{
    std::string chars;
    for (char c : typed) {
        if (c == ' ' || c == '-')
            continue;
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 32);
        if (std::string_view(kCodeAlphabet).find(c) == std::string_view::npos)
            return std::string();
        chars += c;
    }
    return chars.size() == kCodeGroups * kCodeGroupChars ? GroupCode(chars) : std::string();
}

WebPages::WebPages(Store& store, const WebConfig& config, std::string data_dir, std::string static_dir)
    : store_(store),
      config_(config),
      data_dir_(std::move(data_dir)),
      static_dir_(std::move(static_dir)),
      sign_in_limit_(config.sign_in),
      registration_limit_(config.registration),
      recovery_limit_(config.recovery),
      feedback_limit_(config.feedback),
      decoy_(HashPasswordDigest(RandomToken(32)))
{
}

WebPages::~WebPages() = default;

bool WebPages::Open(std::string& error)
{
    web_ = WebStore::Open(data_dir_, error);
    if (!web_)
        return false;
    for (const char* name : kTemplateNames) {
        const WebAsset* asset = FindWebAsset(std::string(name) + ".html");
        if (!asset || !templates_[name].Parse(asset->text)) {
            error = std::string("broken page template ") + name;
            return false;
        }
    }
    return true;
}

int64_t WebPages::Now() const
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void WebPages::BeginVisit(Visit& visit)
{
    visit.res.set_header("Cache-Control", "no-store");
    visit.res.set_header("X-Content-Type-Options", "nosniff");
    visit.res.set_header("X-Frame-Options", "DENY");
    visit.res.set_header("Referrer-Policy", "same-origin");
    visit.res.set_header("Content-Security-Policy", kPagePolicy);
    const std::string cookies = visit.req.get_header_value("Cookie");
    visit.form_cookie = CookieValue(cookies, kFormCookie);
    visit.token = CookieValue(cookies, kWebSessionCookie);
    if (visit.token.empty())
        return;
    if (!web_->FindSession(visit.token, visit.session)) {
        EndSessionFor(visit, "");
        return;
    }
    const int64_t now = Now();
    if (now - visit.session.last_used > config_.session_idle.count() ||
        now - visit.session.created > config_.session_lifetime.count()) {
        EndSessionFor(visit, "登录已过期，请重新登录");
        return;
    }
    if (!store_.GetAccount(visit.session.account_id, visit.account)) {
        EndSessionFor(visit, "");
        return;
    }
    if (visit.account.password.salt != visit.session.credential) {
        EndSessionFor(visit, "您的密码已经更改，请重新登录");
        return;
    }
    if (visit.account.frozen) {
        EndSessionFor(visit, "您的帐户已被冻结，请联系网站管理员或重新注册");
        return;
    }
    visit.signed_in = true;
    if (!visit.session.flash.empty()) {
        visit.notice_error = visit.session.flash[0] == '!';
        visit.notice = visit.session.flash.substr(visit.notice_error ? 1 : 0);
        web_->SetFlash(visit.token, "");
    }
    // A write a minute at most (less often than the idle time, though)
    // keeps an active session alive.
    if (now - visit.session.last_used >= std::min<int64_t>(60, config_.session_idle.count() / 2))
        web_->TouchSession(visit.token, now);
}

void WebPages::EndSessionFor(Visit& visit, const std::string& why)
{
    web_->EndSession(visit.token);
    SetWebCookie(visit.res, kWebSessionCookie, "", true);
    visit.token.clear();
    visit.signed_in = false;
    visit.notice = why;
    visit.notice_error = true;
}

std::string WebPages::FormToken(Visit& visit)
{
    if (visit.signed_in)
        return visit.session.csrf;
    if (!IsFormCookie(visit.form_cookie)) {
        visit.form_cookie = RandomToken(kFormCookieChars);
        SetWebCookie(visit.res, kFormCookie, visit.form_cookie, false);
    }
    return visit.form_cookie;
}

bool WebPages::TokenMatches(const Visit& visit, const FormFields& form) const
{
    const std::string expected = visit.signed_in ? visit.session.csrf : visit.form_cookie;
    const std::string sent = FormValue(form, "token");
    if (visit.signed_in ? expected.empty() : !IsFormCookie(expected))
        return false;
    return sent.size() == expected.size() && CRYPTO_memcmp(sent.data(), expected.data(), sent.size()) == 0;
}

bool WebPages::ReadForm(Visit& visit, const httplib::ContentReader& reader, FormFields& form)
{
    // Anything else would be read by the multipart reader, which these
    // handlers do not give.
    if (visit.req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) != 0) {
        visit.res.set_header("Connection", "close");
        SendMessage(visit, 415, "请求无效", "这个地址只接受表单。");
        return false;
    }
    std::string body;
    bool too_long = false;
    reader([&](const char* data, size_t length) {
        too_long = body.size() + length > kMaxFormBytes;
        if (!too_long)
            body.append(data, length);
        return !too_long;
    });
    if (too_long) {
        visit.res.set_header("Connection", "close");
        SendMessage(visit, 413, "请求无效", "提交的内容太长。");
        return false;
    }
    if (!ParseForm(body, form)) {
        SendMessage(visit, 400, "请求无效", "提交的表单无法读取。");
        return false;
    }
    return true;
}

bool WebPages::Admit(Visit& visit, RateLimiter& limiter)
{
    if (limiter.Allow(visit.req.remote_addr))
        return true;
    LogLine("web " + visit.req.remote_addr + " " + visit.req.path + " refused: too many attempts");
    SendMessage(visit, 429, "尝试次数过多", "尝试次数过多，请稍后再试。", PageOf(visit.req.path), "返回");
    return false;
}

std::string WebPages::Render(const char* name, const TemplateValues& values) const
{
    return templates_.at(name).Render(values);
}

std::string WebPages::Notice(const std::string& text, bool error) const
{
    return Render("notice", {{"kind", error ? "error" : "done"}, {"text", text}});
}

void WebPages::SendPage(Visit& visit, int status, const std::string& title, const std::string& content)
{
    std::string account;
    if (visit.signed_in)
        account = Render("account", {{"user", visit.account.name}, {"token", visit.session.csrf}});
    const std::string notice = visit.notice.empty() ? std::string() : Notice(visit.notice, visit.notice_error);
    visit.res.status = status;
    visit.res.set_content(
        Render("layout", {{"title", title}, {"account", account}, {"notice", notice}, {"content", content}}),
        "text/html; charset=utf-8");
}

void WebPages::SendMessage(Visit& visit, int status, const std::string& heading, const std::string& text,
                           const std::string& link, const std::string& link_text)
{
    SendPage(visit, status, heading,
             Render("message", {{"heading", heading}, {"text", text}, {"link", link}, {"link_text", link_text}}));
}

void WebPages::SendForgery(Visit& visit)
{
    LogLine("web " + visit.req.remote_addr + " " + visit.req.path + " refused: anti-forgery token missing or wrong");
    SendMessage(visit, 403, "页面已过期", "页面已过期或请求无效，请返回页面刷新后重试。", PageOf(visit.req.path),
                "返回");
}

void WebPages::SendNotFound(Visit& visit, const std::string& what)
{
    SendMessage(visit, 404, "找不到" + what, "没有这个" + what + "，它可能已被删除或移动。", "/files",
                "返回在线管理文档");
}

void WebPages::Redirect(Visit& visit, const std::string& location, const std::string& flash)
{
    if (!flash.empty() && visit.signed_in)
        web_->SetFlash(visit.token, flash);
    visit.res.set_redirect(location, 303);
}

void WebPages::ServeAsset(const httplib::Request& req, httplib::Response& res)
{
    const std::string name = req.matches[1];
    const WebAsset* asset = FindWebAsset(name);
    if (!asset) {
        res.status = 404;
        return;
    }
    const bool script = name.size() > 3 && name.compare(name.size() - 3, 3, ".js") == 0;
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Cache-Control", "no-cache");
    res.set_content(asset->text, script ? "text/javascript; charset=utf-8" : "text/css; charset=utf-8");
}

WebPages::Route WebPages::Page(std::function<void(Visit&)> handler)
{
    return [this, handler](const httplib::Request& req, httplib::Response& res) {
        Visit visit(req, res);
        BeginVisit(visit);
        handler(visit);
    };
}

// A form anybody may send, or with change one that changes the signed-in
// account's files; either must carry the visit's token.
WebPages::FormRoute WebPages::Form(std::function<void(Visit&, const FormFields&)> handler, bool change)
{
    return [this, handler, change](const httplib::Request& req, httplib::Response& res,
                                   const httplib::ContentReader& reader) {
        Visit visit(req, res);
        BeginVisit(visit);
        FormFields fields;
        if (change) {
            if (SignedInChange(visit, reader, fields))
                handler(visit, fields);
        } else if (ReadForm(visit, reader, fields)) {
            if (TokenMatches(visit, fields))
                handler(visit, fields);
            else
                SendForgery(visit);
        }
    };
}

void WebPages::Mount(httplib::Server& server)
{
    using namespace std::placeholders;
    const auto form = [this](void (WebPages::*handler)(Visit&, const FormFields&), bool change) {
        return Form(std::bind(handler, this, _1, _2), change);
    };
    server.Get("/", Page([this](Visit& visit) { Home(visit); }));
    server.Get("/register", Page([this](Visit& visit) { RegisterForm(visit, 200, "", ""); }));
    server.Post("/register", form(&WebPages::Register, false));
    server.Get("/password", Page([this](Visit& visit) { PasswordForm(visit, 200, "", ""); }));
    server.Post("/password", form(&WebPages::ResetPassword, false));
    server.Get("/feedback", Page([this](Visit& visit) { FeedbackForm(visit, 200, "", {}); }));
    server.Post("/feedback", form(&WebPages::SendFeedback, false));
    server.Get("/files", Page([this](Visit& visit) { Files(visit); }));
    server.Get("/files/entry", Page([this](Visit& visit) { EntryPage(visit); }));
    server.Get("/files/download", Page([this](Visit& visit) { Download(visit); }));
    server.Post("/files/signin", form(&WebPages::SignIn, false));
    server.Post("/files/signout", form(&WebPages::SignOut, true));
    server.Post("/files/mkdir", form(&WebPages::MakeFolder, true));
    server.Post("/files/rename", form(&WebPages::RenameEntry, true));
    server.Post("/files/move", form(&WebPages::MoveEntry, true));
    server.Post("/files/delete", form(&WebPages::DeleteEntry, true));
    server.Post("/files/upload",
                [this](const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader) {
                    Visit visit(req, res);
                    BeginVisit(visit);
                    Upload(visit, reader);
                });
    server.Get(R"(/assets/([a-z]{1,20}\.(?:css|js)))",
               [this](const httplib::Request& req, httplib::Response& res) { ServeAsset(req, res); });
}

}  // namespace Tessel
