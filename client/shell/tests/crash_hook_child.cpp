// A program that crashes on purpose, as the crash-report tests ask:
//   crash_hook_child SERVER crash [USER_ID ADDRESS STATE_FILE]
//       installs the hook (with the account values, when given) and crashes
//       on a thread of its own;
//   crash_hook_child SERVER overflow
//       installs the hook and overflows the stack of a thread of its own;
//   crash_hook_child SERVER crash-in-callback | decline
//       installs the reporter with a callback that crashes, or declines;
//   crash_hook_child SERVER start
//       installs the hook and waits until the reports of earlier runs are
//       sent (exit code 0) or a minute has passed (1).
#include <windows.h>
#include <shlobj.h>

#include <cstdlib>
#include <cwchar>

#include "client/shell/crash_hook.h"
#include "crashrpt/crashrpt.h"
#include "deployment.h"

namespace {

constexpr DWORD kSendDeadlineMs = 60000;

DWORD WINAPI CrashingThread(void*)
{
    *static_cast<volatile int*>(nullptr) = 1;
    return 0;
}

// Each call keeps a page of its own stack in use, until the stack ends.
int Recurse(volatile int depth)
{
    volatile char page[4096];
    page[0] = static_cast<char>(depth);
    if (depth < 0)
        return 0;
    return Recurse(depth + 1) + page[0];
}

DWORD WINAPI OverflowingThread(void*)
{
    return static_cast<DWORD>(Recurse(0));
}

[[noreturn]] void CrashOnAnotherThread(LPTHREAD_START_ROUTINE crash = CrashingThread)
{
    HANDLE thread = CreateThread(nullptr, 0, crash, nullptr, 0, nullptr);
    WaitForSingleObject(thread, INFINITE);
    ExitProcess(3);
}

BOOL __cdecl CrashingCallback(void* report)
{
    RecordLog(report, L"this text never reaches the log");
    *static_cast<volatile int*>(nullptr) = 2;
    return TRUE;
}

BOOL __cdecl DecliningCallback(void*)
{
    return FALSE;
}

bool ParseAddress(const wchar_t* text, uint8_t (&address)[4])
{
    unsigned parts[4] = {};
    if (swscanf(text, L"%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]) != 4)
        return false;
    for (int i = 0; i < 4; ++i)
        address[i] = static_cast<uint8_t>(parts[i]);
    return true;
}

// Whether a report folder without a "sent" or "refused" marker is left.
bool ReportsPending()
{
    wchar_t root[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, root)))
        return true;
    wcscat(root, L"\\Tavo\\Tessel\\CrashReports");
    wchar_t pattern[MAX_PATH];
    swprintf(pattern, MAX_PATH, L"%ls\\*", root);
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    bool pending = false;
    for (bool more = find != INVALID_HANDLE_VALUE; more && !pending; more = FindNextFileW(find, &found)) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || found.cFileName[0] == L'.')
            continue;
        wchar_t sent[MAX_PATH];
        wchar_t refused[MAX_PATH];
        swprintf(sent, MAX_PATH, L"%ls\\%ls\\sent", root, found.cFileName);
        swprintf(refused, MAX_PATH, L"%ls\\%ls\\refused", root, found.cFileName);
        pending = GetFileAttributesW(sent) == INVALID_FILE_ATTRIBUTES &&
                  GetFileAttributesW(refused) == INVALID_FILE_ATTRIBUTES;
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    return pending;
}

int WaitForPendingReports()
{
    const DWORD start = GetTickCount();
    while (ReportsPending()) {
        if (GetTickCount() - start > kSendDeadlineMs)
            return 1;
        Sleep(50);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    const wchar_t* server = argv[1];
    const wchar_t* mode = argv[2];
    if (wcscmp(mode, L"crash-in-callback") == 0 || wcscmp(mode, L"decline") == 0) {
        const CrashCallback callback = mode[0] == L'c' ? CrashingCallback : DecliningCallback;
        if (Install(callback, server, TAVO_CRASH_REPORT_ACCOUNT_W, TAVO_CRASH_REPORT_PASSWORD_W, L"v0") == nullptr)
            return 4;
        CrashOnAnotherThread();
    }
    Helper::CCrashHook hook(server, TAVO_CRASH_REPORT_ACCOUNT_W, TAVO_CRASH_REPORT_PASSWORD_W);
    if (!hook.Installed())
        return 4;
    if (wcscmp(mode, L"start") == 0)
        return WaitForPendingReports();
    if (wcscmp(mode, L"overflow") == 0)
        CrashOnAnotherThread(OverflowingThread);
    if (wcscmp(mode, L"crash") != 0)
        return 2;
    if (argc == 6) {
        uint8_t address[4] = {};
        if (!ParseAddress(argv[4], address))
            return 2;
        Helper::SetCrashSession(static_cast<uint32_t>(wcstoul(argv[3], nullptr, 10)), address);
        Helper::SetCrashStateFile(argv[5]);
    }
    CrashOnAnotherThread();
}
