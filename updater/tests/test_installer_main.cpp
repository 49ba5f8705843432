// Stands in for the installer: records when it started (performance
// counter) and the command line it was given, in "<own path>.log".
#include <windows.h>

#include <cwchar>
#include <string>

#include "common/win_handle.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    LARGE_INTEGER started{};
    QueryPerformanceCounter(&started);
    wchar_t self[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return 1;
    const std::wstring log = std::wstring(self) + L".log";
    const std::wstring partial = log + L".part";
    const wchar_t* command_line = GetCommandLineW();
    Helper::CFileHandle file(
        CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(file.Get(), &started.QuadPart, sizeof(started.QuadPart), &written, nullptr) &&
              WriteFile(file.Get(), command_line, static_cast<DWORD>(std::wcslen(command_line) * sizeof(wchar_t)),
                        &written, nullptr);
    file.Reset();
    // The test reads the log only once it is complete.
    if (!ok || !MoveFileExW(partial.c_str(), log.c_str(), MOVEFILE_REPLACE_EXISTING))
        return 1;
    return 0;
}
