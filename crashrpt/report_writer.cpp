#include "crashrpt/report_writer.h"

#include <cwchar>

#include "common/bounded_string.h"
#include "common/win_handle.h"

namespace CrashRpt {

namespace {

constexpr size_t kHeaderCapacity = 2048;
constexpr size_t kUtf8ChunkUnits = 2048;

const wchar_t* BaseName(const wchar_t* path)
{
    const wchar_t* slash = wcsrchr(path, L'\\');
    const wchar_t* other = wcsrchr(path, L'/');
    if (other != nullptr && (slash == nullptr || other > slash))
        slash = other;
    return slash != nullptr ? slash + 1 : path;
}

// A name in the report folder that no file has yet: the file's own name, or
// "N-name" when that is taken (by another attachment or the report's own
// files).
bool FreeNameFor(const wchar_t* folder, const wchar_t* name, wchar_t (&path)[kPathCapacity])
{
    if (JoinPath(path, folder, name) && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
        _wcsicmp(name, kSentMarker) != 0 && _wcsicmp(name, kRefusedMarker) != 0 && _wcsicmp(name, kSendLock) != 0)
        return true;
    for (int n = 2; n <= static_cast<int>(kMaxAttachments) + 2; ++n) {
        wchar_t numbered[kPathCapacity];
        Helper::FormatBounded(numbered, kPathCapacity, L"%d-%s", n, name);
        if (JoinPath(path, folder, numbered) && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
            return true;
    }
    return false;
}

bool FileSize(const wchar_t* path, uint64_t* size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// Writes text as UTF-8 in pieces, never splitting a surrogate pair.
bool WriteUtf8(HANDLE file, const wchar_t* text)
{
    char bytes[kUtf8ChunkUnits * 3];
    size_t left = wcslen(text);
    while (left > 0) {
        size_t units = left < kUtf8ChunkUnits ? left : kUtf8ChunkUnits;
        if (units < left && text[units - 1] >= 0xD800 && text[units - 1] <= 0xDBFF)
            --units;
        const int length = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), bytes,
                                               static_cast<int>(sizeof(bytes)), nullptr, nullptr);
        DWORD written = 0;
        if (length <= 0 || !WriteFile(file, bytes, static_cast<DWORD>(length), &written, nullptr) ||
            written != static_cast<DWORD>(length))
            return false;
        text += units;
        left -= units;
    }
    return true;
}

// "module+0xOFFSET" for the code address, or "?" outside any module.
void DescribeAddress(const void* address, wchar_t* text, size_t capacity)
{
    HMODULE module = nullptr;
    wchar_t path[kPathCapacity];
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const wchar_t*>(address), &module) ||
        GetModuleFileNameW(module, path, kPathCapacity) == 0) {
        Helper::CopyBounded(text, capacity, L"?");
        return;
    }
    const auto offset = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(module);
    Helper::FormatBounded(text, capacity, L"%s+0x%I64X", BaseName(path), static_cast<unsigned long long>(offset));
}

void FormatHeader(wchar_t* header, size_t capacity, const wchar_t* version, const CrashFacts& facts)
{
    const EXCEPTION_RECORD* record = facts.pointers->ExceptionRecord;
    const SYSTEMTIME& t = facts.local_time;
    wchar_t program[kPathCapacity] = {};
    GetModuleFileNameW(nullptr, program, kPathCapacity);
    wchar_t where[kPathCapacity];
    DescribeAddress(record->ExceptionAddress, where, kPathCapacity);
    Helper::FormatBounded(header, capacity,
                          L"Version: %s\nTime: %04u-%02u-%02u %02u:%02u:%02u.%03u\nProcess: %s (%lu)\nThread: %lu\n"
                          L"Exception: 0x%08lX at 0x%p (%s)\n",
                          version, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, program,
                          GetCurrentProcessId(), facts.thread_id, record->ExceptionCode, record->ExceptionAddress,
                          where);
    if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
        const ULONG_PTR kind = record->ExceptionInformation[0];
        wchar_t access[96];
        Helper::FormatBounded(access, 96, L"Access: %s at 0x%p\n",
                              kind == 0 ? L"read" : (kind == 1 ? L"write" : L"execute"),
                              reinterpret_cast<void*>(record->ExceptionInformation[1]));
        Helper::AppendBounded(header, capacity, access);
    }
}

}  // namespace

void ReportContext::Open(const wchar_t* report_folder)
{
    Helper::CopyBounded(folder, report_folder);
    log[0] = L'\0';
    attachment_count = 0;
    open = true;
}

bool AppendToLog(ReportContext& context, const wchar_t* text)
{
    return Helper::AppendBounded(context.log, kLogCapacity, text);
}

bool AttachFile(ReportContext& context, const wchar_t* path, const wchar_t* description)
{
    if (context.attachment_count >= kMaxAttachments)
        return false;
    wchar_t* line = context.attachments[context.attachment_count];
    uint64_t size = 0;
    wchar_t target[kPathCapacity];
    bool copied = false;
    if (!FileSize(path, &size))
        Helper::FormatBounded(line, kAttachmentLineCapacity, L"Not attached: %s (%s): unreadable", path, description);
    else if (size > kMaxAttachmentBytes)
        Helper::FormatBounded(line, kAttachmentLineCapacity, L"Not attached: %s (%s): %I64u bytes", path, description,
                              static_cast<unsigned long long>(size));
    else if (!FreeNameFor(context.folder, BaseName(path), target) || !CopyFileW(path, target, TRUE))
        Helper::FormatBounded(line, kAttachmentLineCapacity, L"Not attached: %s (%s): copy failed (%lu)", path,
                              description, GetLastError());
    else {
        copied = true;
        Helper::FormatBounded(line, kAttachmentLineCapacity, L"Attached: %s (%s) from %s", BaseName(target),
                              description, path);
    }
    ++context.attachment_count;
    return copied;
}

bool WriteMinidump(MiniDumpWriter writer, const wchar_t* folder, const CrashFacts& facts)
{
    wchar_t path[kPathCapacity];
    if (writer == nullptr || !JoinPath(path, folder, kDumpName))
        return false;
    Helper::CFileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    MINIDUMP_EXCEPTION_INFORMATION exception = {facts.thread_id, facts.pointers, FALSE};
    return writer(GetCurrentProcess(), GetCurrentProcessId(), file.Get(), MiniDumpNormal, &exception, nullptr,
                  nullptr) != FALSE;
}

bool WriteLog(const wchar_t* folder, const wchar_t* version, const CrashFacts& facts, const ReportContext* context)
{
    wchar_t path[kPathCapacity];
    if (!JoinPath(path, folder, kLogName))
        return false;
    Helper::CFileHandle file(CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    wchar_t header[kHeaderCapacity];
    FormatHeader(header, kHeaderCapacity, version, facts);
    if (!WriteUtf8(file.Get(), header))
        return false;
    if (context == nullptr)
        return true;
    for (size_t i = 0; i < context->attachment_count; ++i) {
        if (!WriteUtf8(file.Get(), context->attachments[i]) || !WriteUtf8(file.Get(), L"\n"))
            return false;
    }
    return WriteUtf8(file.Get(), context->log);
}

}  // namespace CrashRpt
