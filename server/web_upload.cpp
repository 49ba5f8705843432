// Files uploaded from the browser. The multipart body is streamed: each
// file goes into a temporary file under uploads/ while its MD5 is taken,
// and is then committed through an upload ticket exactly as the data
// server commits a client's upload. A temporary file that a crash leaves
// behind is removed at the next start with the other leftovers there.
#include "crypto.h"
#include "log.h"
#include "names.h"
#include "web_visit.h"

#include <fcntl.h>
#include <unistd.h>

namespace Tessel {
namespace {

constexpr size_t kWriteChunk = 1 << 20;
constexpr size_t kMaxFieldBytes = 256;
constexpr size_t kNamesShown = 10;

std::string JoinNames(const std::vector<std::string>& names)
{
    std::string out;
    for (size_t i = 0; i < names.size() && i < kNamesShown; ++i)
        out += (i ? "、" : "") + names[i];
    if (names.size() > kNamesShown)
        out += "等" + std::to_string(names.size()) + "个文件";
    return out;
}

// A browser of old may send the whole local path.
std::string BaseName(const std::string& filename)
{
    const size_t slash = filename.find_last_of("/\\");
    return slash == std::string::npos ? filename : filename.substr(slash + 1);
}

std::string Refusal(StoreStatus status)
{
    switch (status) {
    case StoreStatus::NoSpace: return "空间不足";
    case StoreStatus::NameTaken: return "已有同名的文件夹";
    case StoreStatus::FolderFull: return "文件夹已满";
    case StoreStatus::NoSuchFolder: return "文件夹已不存在";
    default: return "服务器忙碌中";
    }
}

}  // namespace

struct WebPages::UploadJob {
    explicit UploadJob(Visit& v) : visit(v) {}
    ~UploadJob() { DropTemporary(); }
    UploadJob(const UploadJob&) = delete;
    UploadJob& operator=(const UploadJob&) = delete;

    void DropTemporary()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        if (!temp_path.empty())
            ::unlink(temp_path.c_str());
        temp_path.clear();
    }
    bool Flush()
    {
        size_t written = 0;
        while (written < buffer.size()) {
            const ssize_t n = ::write(fd, buffer.data() + written, buffer.size() - written);
            if (n <= 0)
                return false;
            written += static_cast<size_t>(n);
        }
        buffer.clear();
        return true;
    }

    Visit& visit;
    // The plain fields, which come before the files.
    FormFields fields;
    std::string field;
    std::string field_value;
    bool admitted = false;  // token and folder checked
    bool forged = false;
    bool missing_folder = false;
    int64_t folder = kRootFolder;
    // The file being received; a refused one is read and dropped.
    bool in_file = false;
    bool keep = false;
    std::string name;
    std::string temp_path;
    int fd = -1;
    Md5 md5;
    uint64_t size = 0;
    uint64_t limit = 0;
    std::string buffer;
    std::vector<std::string> done;
    std::vector<std::string> failed;
};

bool WebPages::StartUploadPart(UploadJob& job, const std::string& field, const std::string& filename)
{
    if (field != "file") {
        job.field = field;
        job.field_value.clear();
        return true;
    }
    if (!job.admitted) {
        job.forged = !TokenMatches(job.visit, job.fields);
        const auto folder = ParseEntryId(FormValue(job.fields, "folder"));
        EntryRow row;
        const bool is_folder = folder && (*folder == kRootFolder ||
                                          (store_.GetEntry(job.visit.account.id, *folder, row) == StoreStatus::Ok &&
                                           !row.is_file));
        job.missing_folder = !is_folder;
        if (job.forged || job.missing_folder)
            return false;
        job.folder = *folder;
        job.admitted = true;
    }
    job.in_file = true;
    job.name = BaseName(filename);
    if (job.name.empty())
        return true;  // no file chosen
    AccountRecord account;
    EntryRow existing;
    const StoreStatus found = store_.Lookup(job.visit.account.id, job.folder, job.name, existing);
    const char* refusal = !IsValidEntryName(job.name)                     ? "（名称无效）"
                          : found == StoreStatus::Ok && !existing.is_file ? "（已有同名的文件夹）"
                          : !store_.GetAccount(job.visit.account.id, account) ? "（服务器忙碌中）"
                                                                               : nullptr;
    if (refusal) {
        job.failed.push_back(job.name + refusal);
        return true;
    }
    // What fits: the free space, plus the file this one replaces.
    job.limit = (account.quota > account.used ? account.quota - account.used : 0) +
                (found == StoreStatus::Ok ? existing.size : 0);
    job.temp_path = data_dir_ + "/uploads/web-" + RandomToken(24) + ".tmp";
    job.fd = ::open(job.temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (job.fd < 0) {
        job.temp_path.clear();
        job.failed.push_back(job.name + "（服务器忙碌中）");
        return true;
    }
    job.md5.Reset();
    job.size = 0;
    job.keep = true;
    return true;
}

bool WebPages::ReceiveUploadData(UploadJob& job, const char* data, size_t length)
{
    if (!job.in_file) {
        job.field_value.append(data, length);
        return job.field_value.size() <= kMaxFieldBytes;
    }
    if (!job.keep)
        return true;
    job.size += length;
    if (job.size > job.limit) {
        job.failed.push_back(job.name + "（空间不足）");
        job.keep = false;
        job.DropTemporary();
        return true;
    }
    job.md5.Update(data, length);
    job.buffer.append(data, length);
    if (job.buffer.size() >= kWriteChunk && !job.Flush()) {
        job.failed.push_back(job.name + "（服务器忙碌中）");
        job.keep = false;
        job.DropTemporary();
    }
    return true;
}

// Ends the part received last; complete when its closing boundary came.
void WebPages::FinishUploadPart(UploadJob& job, bool complete)
{
    if (!job.in_file) {
        if (complete && !job.field.empty())
            job.fields.emplace(job.field, job.field_value);
        job.field.clear();
        return;
    }
    if (job.keep && complete) {
        const std::string refusal = job.Flush() ? CommitUploadFile(job) : "服务器忙碌中";
        if (refusal.empty())
            job.done.push_back(job.name);
        else
            job.failed.push_back(job.name + "（" + refusal + "）");
    }
    job.DropTemporary();
    job.in_file = false;
    job.keep = false;
}

// Commits the received file as the data server commits an upload: a
// ticket for its size and MD5, the file as the ticket's part file, then
// the commit, which places the content and creates or replaces the entry.
std::string WebPages::CommitUploadFile(UploadJob& job)
{
    const int fd = job.fd;
    job.fd = -1;
    if (::close(fd) != 0)
        return "服务器忙碌中";
    TicketRow ticket;
    EntryRow entry;
    const StoreStatus begun =
        store_.BeginUpload(job.visit.account.id, job.folder, job.name, job.size, job.md5.Hex(), ticket, entry);
    if (begun == StoreStatus::ContentKnown)
        return std::string();
    if (begun != StoreStatus::Ok)
        return Refusal(begun);
    if (::rename(job.temp_path.c_str(), store_.PartPath(ticket.token).c_str()) != 0) {
        store_.DropTicket(ticket.token);
        return "服务器忙碌中";
    }
    job.temp_path.clear();
    const StoreStatus committed = store_.CommitUpload(ticket, entry);
    if (committed == StoreStatus::Ok)
        return std::string();
    store_.DropTicket(ticket.token);
    return Refusal(committed);
}

void WebPages::Upload(Visit& visit, const httplib::ContentReader& reader)
{
    const bool scripted = visit.req.get_header_value("X-Requested-With") == "XMLHttpRequest";
    const bool multipart = visit.req.get_header_value("Content-Type").rfind("multipart/form-data", 0) == 0;
    if (!visit.signed_in || !multipart) {
        // The body stays unread.
        visit.res.set_header("Connection", "close");
        if (!visit.signed_in)
            visit.res.set_redirect("/files", 303);
        else
            SendMessage(visit, 415, "请求无效", "这个地址只接受上传表单。", "/files", "返回在线管理文档");
        return;
    }
    UploadJob job(visit);
    const bool read = reader(
        [&](const httplib::MultipartFormData& part) {
            FinishUploadPart(job, true);
            return StartUploadPart(job, part.name, part.filename);
        },
        [&](const char* data, size_t length) { return ReceiveUploadData(job, data, length); });
    FinishUploadPart(job, read);
    if (!read)
        visit.res.set_header("Connection", "close");
    if (job.forged) {
        SendForgery(visit);
        return;
    }
    if (job.missing_folder) {
        SendNotFound(visit, "文件夹");
        return;
    }
    if (!job.admitted) {
        SendMessage(visit, 400, "上传失败", "上传的内容无法读取，请返回重试。", "/files", "返回在线管理文档");
        return;
    }
    if (!job.done.empty())
        LogLine("web " + visit.req.remote_addr + " " + visit.account.name + " uploaded " +
                std::to_string(job.done.size()) + " file(s)");
    std::string flash;
    if (job.failed.empty())
        flash = job.done.empty() ? "!请选择要上传的文件" : "已上传" + JoinNames(job.done);
    else
        flash = "!未能上传：" + JoinNames(job.failed) + (job.done.empty() ? "" : "；已上传" + JoinNames(job.done));
    const std::string next = job.folder == kRootFolder ? "/files" : "/files?folder=" + std::to_string(job.folder);
    if (scripted) {
        web_->SetFlash(visit.token, flash);
        visit.res.set_content(next, "text/plain; charset=utf-8");
    } else {
        Redirect(visit, next, flash);
    }
}

}  // namespace Tessel
