#include "crashrpt/report_sender.h"

#include <wininet.h>

#include <vector>

#include "common/bounded_string.h"
#include "common/utf.h"
#include "crashrpt/report_folder.h"
#include "common/win_handle.h"

namespace CrashRpt {

namespace {

constexpr DWORD kConnectTimeoutMs = 10000;
constexpr DWORD kTransferTimeoutMs = 30000;
constexpr DWORD kChunkBytes = 65536;
constexpr DWORD kLogHeadBytes = 512;
// HttpSendRequestEx announces the body length as a DWORD.
constexpr uint64_t kMaxBodyBytes = 0xFFFFFFF0ull;
constexpr DWORD kRequestFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                                INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_PRAGMA_NOCACHE;

// One part of the body: a text value or a file of the report folder.
struct Part {
    std::string header;
    std::string text;
    std::wstring path;
    uint64_t size = 0;
};

std::string Utf8(const std::wstring& text)
{
    return Helper::Utf16ToUtf8(Helper::AsU16(text));
}

Helper::CFileHandle OpenForReading(const wchar_t* path)
{
    return Helper::CFileHandle(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

std::string ReadVersion(const wchar_t* folder)
{
    wchar_t path[kPathCapacity];
    if (!JoinPath(path, folder, kLogName))
        return {};
    Helper::CFileHandle file = OpenForReading(path);
    char head[kLogHeadBytes];
    DWORD read = 0;
    if (!file || !ReadFile(file.Get(), head, kLogHeadBytes, &read, nullptr))
        return {};
    return VersionFromLog(std::string_view(head, read));
}

std::string MakeBoundary()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    char text[80];
    wsprintfA(text, "CrashRptBoundary%08lx%08lx%08lx%08lx", static_cast<unsigned long>(counter.HighPart),
              static_cast<unsigned long>(counter.LowPart), GetCurrentProcessId(), GetTickCount());
    return text;
}

bool CollectParts(const wchar_t* folder, const std::string& boundary, std::vector<Part>* parts, uint64_t* total)
{
    Part version;
    version.header = PartHeader(boundary, "version", "");
    version.text = ReadVersion(folder);
    version.size = version.text.size();
    parts->push_back(version);
    for (const std::wstring& name : ReportFiles(folder)) {
        Part part;
        wchar_t path[kPathCapacity];
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!JoinPath(path, folder, name.c_str()) || !GetFileAttributesExW(path, GetFileExInfoStandard, &data))
            return false;
        part.path = path;
        part.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        const std::string utf8_name = Utf8(name);
        part.header = PartHeader(boundary, FieldForReportFile(utf8_name), utf8_name);
        parts->push_back(part);
    }
    *total = ClosingLine(boundary).size();
    for (const Part& part : *parts)
        *total += part.header.size() + part.size + sizeof(kPartEnd) - 1;
    return true;
}

bool WriteAll(HINTERNET request, const void* data, DWORD length)
{
    const auto* bytes = static_cast<const char*>(data);
    while (length > 0) {
        DWORD written = 0;
        if (!InternetWriteFile(request, bytes, length, &written) || written == 0)
            return false;
        bytes += written;
        length -= written;
    }
    return true;
}

bool WriteFileContent(HINTERNET request, const Part& part, const std::atomic<bool>& stop)
{
    Helper::CFileHandle file = OpenForReading(part.path.c_str());
    if (!file)
        return false;
    std::vector<char> chunk(kChunkBytes);
    uint64_t left = part.size;
    while (left > 0) {
        if (stop)
            return false;
        const DWORD want = left < kChunkBytes ? static_cast<DWORD>(left) : kChunkBytes;
        DWORD read = 0;
        // A file that shrank since it was measured would leave the announced
        // length unfilled.
        if (!ReadFile(file.Get(), chunk.data(), want, &read, nullptr) || read != want ||
            !WriteAll(request, chunk.data(), read))
            return false;
        left -= read;
    }
    return true;
}

bool WriteBody(HINTERNET request, const std::vector<Part>& parts, const std::string& boundary,
               const std::atomic<bool>& stop)
{
    for (const Part& part : parts) {
        if (!WriteAll(request, part.header.data(), static_cast<DWORD>(part.header.size())))
            return false;
        const bool content = part.path.empty()
                                 ? WriteAll(request, part.text.data(), static_cast<DWORD>(part.text.size()))
                                 : WriteFileContent(request, part, stop);
        if (!content || !WriteAll(request, kPartEnd, sizeof(kPartEnd) - 1))
            return false;
    }
    const std::string closing = ClosingLine(boundary);
    return WriteAll(request, closing.data(), static_cast<DWORD>(closing.size()));
}

Helper::CInternetHandle OpenSession()
{
    Helper::CInternetHandle session(InternetOpenW(L"CrashRpt", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!session)
        return session;
    DWORD connect = kConnectTimeoutMs;
    DWORD transfer = kTransferTimeoutMs;
    InternetSetOptionW(session.Get(), INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof(connect));
    InternetSetOptionW(session.Get(), INTERNET_OPTION_SEND_TIMEOUT, &transfer, sizeof(transfer));
    InternetSetOptionW(session.Get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &transfer, sizeof(transfer));
    return session;
}

// Posts the parts; the HTTP status of the answer, 0 without one.
DWORD Post(const UploadTarget& target, const std::vector<Part>& parts, uint64_t total, const std::string& boundary,
           const std::atomic<bool>& stop)
{
    Helper::CInternetHandle session = OpenSession();
    if (!session)
        return 0;
    Helper::CInternetHandle connection(InternetConnectW(session.Get(), target.host.c_str(), target.port, nullptr, nullptr,
                                                INTERNET_SERVICE_HTTP, 0, 0));
    const std::wstring path(Helper::AsWide(Helper::Utf8ToUtf16(kUploadPath)));
    Helper::CInternetHandle request(connection ? HttpOpenRequestW(connection.Get(), L"POST", path.c_str(), nullptr, nullptr,
                                                          nullptr, kRequestFlags, 0)
                                       : nullptr);
    if (!request)
        return 0;
    const std::wstring headers =
        std::wstring(Helper::AsWide(Helper::Utf8ToUtf16(ContentTypeHeader(boundary)))) + L"\r\n" +
        target.authorization + L"\r\n";
    if (!HttpAddRequestHeadersW(request.Get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                                HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE))
        return 0;
    INTERNET_BUFFERSW buffers = {};
    buffers.dwStructSize = sizeof(buffers);
    buffers.dwBufferTotal = static_cast<DWORD>(total);
    if (!HttpSendRequestExW(request.Get(), &buffers, nullptr, 0, 0) || !WriteBody(request.Get(), parts, boundary, stop) ||
        !HttpEndRequestW(request.Get(), nullptr, 0, 0))
        return 0;
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        return 0;
    return status;
}

}  // namespace

UploadOutcome SendReport(const wchar_t* folder, const UploadTarget& target, const std::atomic<bool>& stop)
{
    // The lock file disappears with its handle, also when this process dies.
    wchar_t lock_path[kPathCapacity];
    if (!JoinPath(lock_path, folder, kSendLock))
        return UploadOutcome::Retry;
    Helper::CFileHandle lock(CreateFileW(lock_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!lock)
        return UploadOutcome::Retry;
    const std::string boundary = MakeBoundary();
    std::vector<Part> parts;
    uint64_t total = 0;
    if (!CollectParts(folder, boundary, &parts, &total))
        return UploadOutcome::Retry;
    if (total > kMaxBodyBytes)
        return UploadOutcome::Refused;
    const DWORD status = Post(target, parts, total, boundary, stop);
    return status == 0 ? UploadOutcome::Retry : OutcomeOfStatus(static_cast<int>(status));
}

void SendAndMark(const wchar_t* folder, const UploadTarget& target, const std::atomic<bool>& stop)
{
    switch (SendReport(folder, target, stop)) {
    case UploadOutcome::Sent:
        MarkReport(folder, kSentMarker);
        break;
    case UploadOutcome::Refused:
        MarkReport(folder, kRefusedMarker);
        break;
    case UploadOutcome::Retry:
        break;
    }
}

}  // namespace CrashRpt
