#include "client/shell/crash_hook.h"

#include <atomic>
#include <vector>

#include "common/bounded_string.h"
#include "crashrpt/crashrpt.h"
#include "deployment.h"

namespace Helper {

namespace {

constexpr wchar_t kStateFileDescription[] = L"同步信息";

// Read by the crash callback without a lock. The session is one word: user
// id and address change together. The state file path is written into the
// slot the callback is not told about, then published.
std::atomic<uint64_t> g_session{0};
wchar_t g_state_files[2][MAX_PATH];
std::atomic<int> g_state_file_slot{-1};

BOOL __cdecl OnCrash(void* report)
{
    const uint64_t session = g_session.load();
    const uint8_t address[4] = {static_cast<uint8_t>(session), static_cast<uint8_t>(session >> 8),
                                static_cast<uint8_t>(session >> 16), static_cast<uint8_t>(session >> 24)};
    wchar_t text[kCrashLogCapacity];
    FormatCrashLogText(text, static_cast<uint32_t>(session >> 32), address);
    RecordLog(report, text);
    const int slot = g_state_file_slot.load();
    if (slot >= 0 && g_state_files[slot][0] != L'\0')
        AddFile(report, g_state_files[slot], kStateFileDescription);
    return TRUE;
}

}  // namespace

bool ReadExecutableVersion(ExecutableVersion* version)
{
    *version = ExecutableVersion();
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0)
        return false;
    std::vector<unsigned char> block(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    if (!GetFileVersionInfoW(path, 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) ||
        fixed_size < sizeof(VS_FIXEDFILEINFO))
        return false;
    version->product[0] = HIWORD(fixed->dwProductVersionMS);
    version->product[1] = LOWORD(fixed->dwProductVersionMS);
    version->product[2] = HIWORD(fixed->dwProductVersionLS);
    version->product[3] = LOWORD(fixed->dwProductVersionLS);
    version->file_build = LOWORD(fixed->dwFileVersionLS);
    return true;
}

void FormatVersionText(wchar_t (&text)[kVersionTextCapacity], const ExecutableVersion& version,
                       const SYSTEMTIME& local_time)
{
    FormatBounded(text, kVersionTextCapacity, L"v%d.%d.%d.%d(%d)/%4d_%02d_%02d/%02d_%02d_%02d_%03d",
                  version.product[0], version.product[1], version.product[2], version.product[3], version.file_build,
                  local_time.wYear, local_time.wMonth, local_time.wDay, local_time.wHour, local_time.wMinute,
                  local_time.wSecond, local_time.wMilliseconds);
}

void FormatCrashLogText(wchar_t (&text)[kCrashLogCapacity], uint32_t user_id, const uint8_t (&address)[4])
{
    wchar_t address_text[kAddressTextCapacity];
    FormatBounded(address_text, kAddressTextCapacity, L"%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
    FormatBounded(text, kCrashLogCapacity, L"\n\n\nUserID: %u\nUserIP: %s", user_id, address_text);
}

void SetCrashSession(uint32_t user_id, const uint8_t (&public_address)[4])
{
    g_session = (static_cast<uint64_t>(user_id) << 32) | (static_cast<uint64_t>(public_address[3]) << 24) |
                (static_cast<uint64_t>(public_address[2]) << 16) | (static_cast<uint64_t>(public_address[1]) << 8) |
                public_address[0];
}

void SetCrashStateFile(const wchar_t* path)
{
    const int next = g_state_file_slot.load() == 0 ? 1 : 0;
    if (path == nullptr || path[0] == L'\0' || !CopyBounded(g_state_files[next], path)) {
        g_state_file_slot = -1;
        return;
    }
    g_state_file_slot = next;
}

CCrashHook::CCrashHook() : CCrashHook(TAVO_CRASH_REPORT_SERVER_W, TAVO_CRASH_REPORT_ACCOUNT_W, TAVO_CRASH_REPORT_PASSWORD_W)
{
}

CCrashHook::CCrashHook(const wchar_t* server, const wchar_t* account, const wchar_t* password)
{
    ExecutableVersion version;
    ReadExecutableVersion(&version);
    SYSTEMTIME now;
    GetLocalTime(&now);
    FormatVersionText(version_, version, now);
    handle_ = Install(&OnCrash, server, account, password, version_);
}

CCrashHook::~CCrashHook()
{
    if (handle_ != nullptr)
        Uninstall(handle_);
    handle_ = nullptr;
}

}  // namespace Helper
