// The online file management: signing in and out, folder listings, the
// changes (new folder, rename, move, delete) and downloads.
#include "crypto.h"
#include "log.h"
#include "names.h"
#include "web_visit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_map>

namespace Tessel {
namespace {

const char* const kRootName = "我的网盘";
constexpr size_t kMaxDepth = 10000;

// Closes the descriptor when the last download chunk no longer needs it.
struct ContentFile {
    explicit ContentFile(int descriptor) : fd(descriptor) {}
    ~ContentFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
    ContentFile(const ContentFile&) = delete;
    ContentFile& operator=(const ContentFile&) = delete;
    int fd;
};

std::string FolderAddress(int64_t folder)
{
    return folder == kRootFolder ? "/files" : "/files?folder=" + std::to_string(folder);
}

std::string Quoted(const std::string& name) { return "“" + name + "”"; }

// Folders first, then by name as the names compare.
void SortForListing(std::vector<EntryRow>& rows)
{
    std::vector<std::pair<std::string, size_t>> keys;
    keys.reserve(rows.size());
    for (size_t i = 0; i < rows.size(); ++i)
        keys.emplace_back(std::string(rows[i].is_file ? "1" : "0") + FoldName(rows[i].name), i);
    std::sort(keys.begin(), keys.end());
    std::vector<EntryRow> sorted;
    sorted.reserve(rows.size());
    for (const auto& key : keys)
        sorted.push_back(std::move(rows[key.second]));
    rows.swap(sorted);
}

std::string StatusFlash(StoreStatus status, const std::string& done)
{
    switch (status) {
    case StoreStatus::Ok: return done;
    case StoreStatus::Unchanged: return "名称没有改变";
    case StoreStatus::FolderExists: return "!已有同名的文件夹";
    case StoreStatus::NameTaken: return "!已有同名的文件或文件夹";
    case StoreStatus::FolderFull: return "!文件夹已满";
    case StoreStatus::NotFound:
    case StoreStatus::NoSuchFolder: return "!没有这个文件或文件夹，它可能已被删除或移动";
    default: return "!服务器忙碌中，请稍后尝试...";
    }
}

std::string MoveFlash(MoveStatus status, const std::string& name)
{
    switch (status) {
    case MoveStatus::Moved: return "已移动" + Quoted(name);
    case MoveStatus::Unchanged: return Quoted(name) + "已在这个文件夹中";
    case MoveStatus::IntoItself: return "!不能把文件夹移动到它自己或它的子文件夹中";
    case MoveStatus::NameTaken: return "!目标文件夹中已有同名的文件或文件夹";
    case MoveStatus::FolderFull: return "!目标文件夹已满";
    case MoveStatus::NotFound:
    case MoveStatus::NoSuchFolder: return "!没有这个文件或文件夹，它可能已被删除或移动";
    default: return "!服务器忙碌中，请稍后尝试...";
    }
}

}  // namespace

bool WebPages::SignedInChange(Visit& visit, const httplib::ContentReader& reader, FormFields& form)
{
    if (!ReadForm(visit, reader, form))
        return false;
    if (!visit.signed_in) {
        visit.res.set_redirect("/files", 303);
        return false;
    }
    if (!TokenMatches(visit, form)) {
        SendForgery(visit);
        return false;
    }
    return true;
}

// The entry a request names by its id, when it belongs to the signed-in
// account; otherwise the answer is sent.
bool WebPages::OwnEntry(Visit& visit, const std::string& id_text, EntryRow& entry)
{
    if (!visit.signed_in) {
        visit.res.set_redirect("/files", 303);
        return false;
    }
    const auto id = ParseEntryId(id_text);
    if (id && *id != kRootFolder && store_.GetEntry(visit.account.id, *id, entry) == StoreStatus::Ok)
        return true;
    SendNotFound(visit, "文件或文件夹");
    return false;
}

void WebPages::SignInForm(Visit& visit, int status, const std::string& error, const std::string& user)
{
    if (visit.notice.empty() && visit.req.has_param("signed_out")) {
        visit.notice = "您已安全退出";
        visit.notice_error = false;
    }
    SendPage(visit, status, "在线管理文档",
             Render("signin", {{"error", error.empty() ? std::string() : Notice(error, true)},
                               {"token", FormToken(visit)},
                               {"user", user}}));
}

void WebPages::SignIn(Visit& visit, const FormFields& form)
{
    if (!Admit(visit, sign_in_limit_))
        return;
    const std::string user = FormValue(form, "user");
    AccountRecord account;
    const bool known = !user.empty() && store_.FindAccount(user, account);
    // The password is checked as sign-on checks it, against the stored
    // hash of its digest.
    const bool right = VerifyPasswordDigest(Md5Hex(FormValue(form, "password")), known ? account.password : decoy_);
    if (!known || !right) {
        LogLine("web " + visit.req.remote_addr + " sign-in as " + user + " refused");
        SignInForm(visit, 403, "用户名或密码错误，请重新输入", user);
        return;
    }
    if (account.frozen) {
        SignInForm(visit, 403, "您的帐户已被冻结，请联系网站管理员或重新注册", user);
        return;
    }
    const int64_t now = Now();
    web_->EndStaleSessions(now - config_.session_idle.count(), now - config_.session_lifetime.count());
    if (!visit.token.empty())
        web_->EndSession(visit.token);
    std::string token;
    std::string csrf;
    if (!web_->CreateSession(account.id, account.password.salt, now, token, csrf)) {
        SendMessage(visit, 500, "服务器忙碌中", "服务器忙碌中，请稍后尝试...", "/files", "返回");
        return;
    }
    SetWebCookie(visit.res, kWebSessionCookie, token, false);
    visit.res.set_redirect("/files", 303);
}

void WebPages::SignOut(Visit& visit, const FormFields&)
{
    EndSessionFor(visit, "");
    visit.res.set_redirect("/files?signed_out=1", 303);
}

// Links from the root to the folder; false when the folder is not one of
// the account's.
bool WebPages::FolderPath(Visit& visit, int64_t folder, std::string& html)
{
    std::vector<EntryRow> chain;
    for (int64_t step = folder; step != kRootFolder && chain.size() < kMaxDepth;) {
        EntryRow row;
        if (store_.GetEntry(visit.account.id, step, row) != StoreStatus::Ok || row.is_file)
            return false;
        chain.push_back(row);
        step = row.parent_id;
    }
    html = Render("path_link", {{"id", "0"}, {"name", kRootName}});
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        html += "<span class=\"sep\">/</span>" + Render("path_link", {{"id", std::to_string(it->id)}, {"name", it->name}});
    return true;
}

void WebPages::Files(Visit& visit)
{
    if (!visit.signed_in) {
        SignInForm(visit, 200, "", "");
        return;
    }
    const std::string param = visit.req.get_param_value("folder");
    const auto folder = param.empty() ? std::optional<int64_t>(kRootFolder) : ParseEntryId(param);
    std::vector<EntryRow> rows;
    std::string path;
    if (!folder || store_.ListFolder(visit.account.id, *folder, rows) != StoreStatus::Ok ||
        !FolderPath(visit, *folder, path)) {
        SendNotFound(visit, "文件夹");
        return;
    }
    SortForListing(rows);
    std::string html;
    html.reserve(rows.size() * 260);
    for (const EntryRow& row : rows) {
        templates_.at(row.is_file ? "file_row" : "folder_row")
            .RenderTo(html, {{"id", std::to_string(row.id)}, {"name", row.name}, {"size", SizeText(row.size)}});
    }
    const uint64_t used = std::min(visit.account.used, visit.account.quota);
    const std::string token = FormToken(visit);
    SendPage(visit, 200, "在线管理文档",
             Render("files", {{"path", path},
                              {"percent", std::to_string(visit.account.quota ? used * 100 / visit.account.quota : 0)},
                              {"space", SpaceText(visit.account.quota, visit.account.used)},
                              {"token", token},
                              {"folder", std::to_string(*folder)},
                              {"rows", html},
                              {"empty", rows.empty() ? Render("empty_folder", {}) : std::string()}}));
}

// Every folder of the account the entry may move into, by path; not the
// entry itself or anything below it.
std::string WebPages::MoveTargets(Visit& visit, const EntryRow& entry)
{
    std::vector<EntryRow> rows;
    if (store_.ListAccount(visit.account.id, rows) != StoreStatus::Ok)
        return std::string();
    std::unordered_map<int64_t, const EntryRow*> folders;
    for (const EntryRow& row : rows)
        if (!row.is_file)
            folders[row.id] = &row;
    std::vector<std::pair<std::string, int64_t>> targets{{"/", kRootFolder}};
    for (const auto& item : folders) {
        std::string path;
        bool inside = false;
        size_t depth = 0;
        for (const EntryRow* step = item.second; step && depth < kMaxDepth; ++depth) {
            inside = inside || step->id == entry.id;
            path = "/" + step->name + path;
            const auto parent = folders.find(step->parent_id);
            step = parent == folders.end() ? nullptr : parent->second;
        }
        if (!inside)
            targets.emplace_back(path, item.first);
    }
    std::sort(targets.begin(), targets.end());
    std::string html;
    for (const auto& target : targets) {
        const std::string shown = target.second == kRootFolder ? kRootName : kRootName + target.first;
        html += Render("target_option", {{"id", std::to_string(target.second)},
                                         {"path", target.second == entry.parent_id ? shown + "（当前位置）" : shown}});
    }
    return html;
}

void WebPages::EntryPage(Visit& visit)
{
    EntryRow entry;
    std::string path;
    if (!OwnEntry(visit, visit.req.get_param_value("id"), entry))
        return;
    if (!FolderPath(visit, entry.parent_id, path)) {
        SendNotFound(visit, "文件或文件夹");
        return;
    }
    const std::string token = FormToken(visit);
    SendPage(visit, 200, entry.name,
             Render("entry", {
                 {"path", path},
                 {"class", entry.is_file ? "file" : "folder"},
                 {"name", entry.name},
                 {"meta", entry.is_file ? "文件，" + SizeText(entry.size) : "文件夹"},
                 {"download", entry.is_file ? Render("entry_download", {{"id", std::to_string(entry.id)}}) : ""},
                 {"token", token},
                 {"id", std::to_string(entry.id)},
                 {"targets", MoveTargets(visit, entry)},
                 {"confirm", "确认删除" + Quoted(entry.name) + "？"},
                 {"delete_text", entry.is_file ? "删除后，已绑定的计算机会在下次同步时删除这个文件。"
                                               : "文件夹及其中的全部内容都将被删除；已绑定的计算机会在下次同步时删除它们。"},
                 {"parent", std::to_string(entry.parent_id)},
             }));
}

void WebPages::MakeFolder(Visit& visit, const FormFields& form)
{
    const auto folder = ParseEntryId(FormValue(form, "folder"));
    const std::string name = FormValue(form, "name");
    if (!folder) {
        SendNotFound(visit, "文件夹");
        return;
    }
    if (!IsValidEntryName(name)) {
        Redirect(visit, FolderAddress(*folder), "!名称无效：不能包含 \\ / : * ? \" < > |，不能以空格或句点结尾");
        return;
    }
    EntryRow created;
    const StoreStatus status = store_.CreateFolder(visit.account.id, *folder, name, created);
    Redirect(visit, FolderAddress(*folder), StatusFlash(status, "已新建文件夹" + Quoted(name)));
}

void WebPages::RenameEntry(Visit& visit, const FormFields& form)
{
    EntryRow entry;
    if (!OwnEntry(visit, FormValue(form, "id"), entry))
        return;
    const std::string name = FormValue(form, "name");
    if (!IsValidEntryName(name)) {
        Redirect(visit, FolderAddress(entry.parent_id), "!名称无效：不能包含 \\ / : * ? \" < > |，不能以空格或句点结尾");
        return;
    }
    EntryRow renamed;
    const StoreStatus status = store_.Rename(visit.account.id, entry.id, name, renamed);
    Redirect(visit, FolderAddress(entry.parent_id), StatusFlash(status, Quoted(entry.name) + "已重命名为" + Quoted(name)));
}

void WebPages::MoveEntry(Visit& visit, const FormFields& form)
{
    EntryRow entry;
    if (!OwnEntry(visit, FormValue(form, "id"), entry))
        return;
    const auto target = ParseEntryId(FormValue(form, "target"));
    EntryRow moved;
    const MoveStatus status = target ? web_->Move(visit.account.id, entry.id, *target, moved) : MoveStatus::NoSuchFolder;
    Redirect(visit, FolderAddress(status == MoveStatus::Moved ? *target : entry.parent_id),
             MoveFlash(status, entry.name));
}

void WebPages::DeleteEntry(Visit& visit, const FormFields& form)
{
    EntryRow entry;
    if (!OwnEntry(visit, FormValue(form, "id"), entry))
        return;
    const StoreStatus status = store_.Delete(visit.account.id, entry.parent_id, {entry.id});
    Redirect(visit, FolderAddress(entry.parent_id), StatusFlash(status, "已删除" + Quoted(entry.name)));
}

void WebPages::Download(Visit& visit)
{
    EntryRow entry;
    if (!OwnEntry(visit, visit.req.get_param_value("id"), entry))
        return;
    if (!entry.is_file) {
        SendNotFound(visit, "文件");
        return;
    }
    // Opened now: a later replacement of the content does not cut this
    // transfer short.
    auto file = std::make_shared<ContentFile>(::open(store_.ObjectPath(entry.md5).c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (file->fd < 0 || ::fstat(file->fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != entry.size) {
        SendMessage(visit, 500, "文件暂时无法下载", "服务器忙碌中，请稍后尝试...", "/files", "返回在线管理文档");
        return;
    }
    visit.res.set_header("Content-Disposition", AttachmentDisposition(entry.name));
    if (entry.size == 0) {
        visit.res.set_content("", "application/octet-stream");
        return;
    }
    visit.res.set_content_provider(
        static_cast<size_t>(entry.size), "application/octet-stream",
        [file](size_t offset, size_t length, httplib::DataSink& sink) {
            std::vector<char> buffer(std::min<size_t>(length, 1 << 20));
            const ssize_t n = ::pread(file->fd, buffer.data(), buffer.size(), static_cast<off_t>(offset));
            return n > 0 && sink.write(buffer.data(), static_cast<size_t>(n));
        });
}

}  // namespace Tessel
