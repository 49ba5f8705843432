#include "updater/http_fetch.h"

#include <process.h>
#include <wininet.h>

#include <memory>
#include <string>
#include <vector>

#include "common/bounded_string.h"
#include "common/win_handle.h"

namespace Updater {

namespace {

constexpr DWORD kProbeFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                              INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_NO_UI;
constexpr DWORD kDownloadFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS | INTERNET_FLAG_NO_UI;

// Shared by the main thread and the probe thread. The main thread reads
// status only once the probe thread has ended.
struct ProbeRecord {
    std::wstring url;
    DWORD status = 0;
};

Helper::CInternetHandle OpenSession()
{
    return Helper::CInternetHandle(InternetOpenW(nullptr, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
}

unsigned __stdcall ProbeThread(void* argument)
{
    // The thread holds its own reference: if it is killed, the record it
    // points to must still be valid for the instant it takes to die.
    std::unique_ptr<std::shared_ptr<ProbeRecord>> reference(static_cast<std::shared_ptr<ProbeRecord>*>(argument));
    ProbeRecord& record = **reference;
    Helper::CInternetHandle session = OpenSession();
    if (!session)
        return 0;
    Helper::CInternetHandle request(InternetOpenUrlW(session.Get(), record.url.c_str(), nullptr, 0, kProbeFlags, 0));
    if (!request)
        return 0;
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (HttpQueryInfoW(request.Get(), HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
        record.status = status;
    return 0;
}

bool CopyResponse(HINTERNET request, HANDLE file)
{
    std::vector<unsigned char> chunk(kTransferChunkBytes);
    for (;;) {
        DWORD read = 0;
        if (!InternetReadFile(request, chunk.data(), kTransferChunkBytes, &read) || read == 0)
            return true;
        DWORD written = 0;
        if (!WriteFile(file, chunk.data(), read, &written, nullptr) || written != read)
            return false;
    }
}

}  // namespace

DWORD ProbeHttpStatus(const wchar_t* url, DWORD timeout_ms)
{
    auto record = std::make_shared<ProbeRecord>();
    record->url = url;
    auto reference = std::make_unique<std::shared_ptr<ProbeRecord>>(record);
    Helper::CHandle thread(
        reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ProbeThread, reference.get(), 0, nullptr)));
    if (!thread)
        return 0;
    reference.release();
    if (WaitForSingleObject(thread.Get(), timeout_ms) != WAIT_OBJECT_0) {
        // Whatever the killed thread held (its reference to the record, its
        // internet handles) is given up with it.
        TerminateThread(thread.Get(), 0);
        return 0;
    }
    return record->status;
}

bool IsReachableStatus(DWORD status)
{
    return (status >= 200 && status <= 299) || status == 304;
}

bool DownloadToFolder(const wchar_t* url, const wchar_t* folder, const wchar_t* name)
{
    // A cut path would name another file, a cut URL another resource.
    wchar_t path[MAX_PATH];
    if (!Helper::FormatBounded(path, MAX_PATH, L"%s%s", folder, name))
        return false;
    wchar_t address[MAX_PATH];
    if (!Helper::CopyBounded(address, url))
        return false;
    Helper::CInternetHandle session = OpenSession();
    if (!session)
        return false;
    Helper::CInternetHandle request(InternetOpenUrlW(session.Get(), address, nullptr, 0, kDownloadFlags, 0));
    if (!request)
        return false;
    Helper::CFileHandle file(
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    return CopyResponse(request.Get(), file.Get());
}

}  // namespace Updater
