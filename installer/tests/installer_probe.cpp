// The Windows side of the installer's end-to-end tests: one console
// program with a command per question or action, so that the test driver
// on Linux asks Wine as little as possible. Output is UTF-8 on stdout.
//
//   run TIMEOUT_MS PROGRAM COMMAND_LINE  starts PROGRAM with exactly that
//                                        command line and waits for it
//   run-tree TIMEOUT_MS PROGRAM COMMAND_LINE
//                                        the same, and waits for every
//                                        process it started too (the
//                                        uninstaller's copy of itself)
//   wait-window TIMEOUT_MS up|gone       waits for the tray window to exist
//                                        (prints its process id) or to vanish
//   registry                             the keys the installer touches, JSON
//   version FILE                         product and file version, JSON
//   seed USER CREDENTIAL FOLDER CLIENT   an account bound as the client binds
//                                        it, after its first start: its
//                                        autorun value and file type
//   hold FILE                            loads the DLL and keeps it loaded
//                                        until stdin closes, as Explorer does
//   answer TIMEOUT_MS TITLE BUTTON_ID    waits for a message box of that
//                                        title, prints its text, presses the
//                                        button
//   click TIMEOUT_MS TITLE BUTTON_ID TEXT
//                                        waits for a window of that title
//                                        (not a message box) that shows TEXT
//                                        and whose button is enabled, prints
//                                        the texts it shows, presses it
//   tray-log NAME                        makes the file mapping NAME in which
//                                        the client records what it hands to
//                                        the notification area, and prints
//                                        each record as a JSON line as it
//                                        comes, until stdin closes
// Exit code 0 when the command did what it says, 2 on a time-out, 1 else.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "client/shell/tray_probe.h"
#include "common/tray_contract.h"
#include "common/utf.h"
#include "common/win_handle.h"

namespace {

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kTimedOut = 2;
constexpr DWORD kPollMs = 50;

void Print(const std::wstring& text)
{
    const std::string bytes = Helper::Utf16ToUtf8(Helper::AsU16(text + L"\n"));
    fwrite(bytes.data(), 1, bytes.size(), stdout);
    fflush(stdout);
}

std::wstring JsonString(const std::wstring& text)
{
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            quoted += L'\\';
            quoted += c;
        } else if (c < 0x20) {
            wchar_t escaped[8];
            swprintf(escaped, 8, L"\\u%04x", static_cast<unsigned>(c));
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + L"\"";
}

bool WaitUntil(DWORD timeout_ms, bool (*condition)(const void*), const void* argument)
{
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    while (!condition(argument)) {
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(kPollMs);
    }
    return true;
}

// ---- run ------------------------------------------------------------------

bool JobIsEmpty(const void* job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    if (!QueryInformationJobObject(const_cast<HANDLE>(job), JobObjectBasicAccountingInformation, &info,
                                   sizeof(info), nullptr))
        return true;
    return info.ActiveProcesses == 0;
}

int RunProgram(DWORD timeout_ms, const wchar_t* program, const wchar_t* command_line, bool whole_tree)
{
    Helper::CHandle job(CreateJobObjectW(nullptr, nullptr));
    std::vector<wchar_t> writable(command_line, command_line + wcslen(command_line) + 1);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!job || !CreateProcessW(program, writable.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                                nullptr, &startup, &process))
        return kFailed;
    Helper::CHandle process_handle(process.hProcess);
    Helper::CHandle thread_handle(process.hThread);
    AssignProcessToJobObject(job.Get(), process.hProcess);
    ResumeThread(process.hThread);
    if (WaitForSingleObject(process.hProcess, timeout_ms) != WAIT_OBJECT_0)
        return kTimedOut;
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    Print(L"exit " + std::to_wstring(code));
    if (whole_tree && !WaitUntil(timeout_ms, JobIsEmpty, job.Get()))
        return kTimedOut;
    return kDone;
}

// ---- wait-window ----------------------------------------------------------

bool TrayWindowExists(const void*) { return FindWindowW(Helper::kTrayWindowClass, nullptr) != nullptr; }

bool TrayWindowGone(const void*) { return !TrayWindowExists(nullptr); }

int WaitWindow(DWORD timeout_ms, const std::wstring& which)
{
    if (which == L"gone")
        return WaitUntil(timeout_ms, TrayWindowGone, nullptr) ? kDone : kTimedOut;
    if (!WaitUntil(timeout_ms, TrayWindowExists, nullptr))
        return kTimedOut;
    DWORD pid = 0;
    GetWindowThreadProcessId(FindWindowW(Helper::kTrayWindowClass, nullptr), &pid);
    Print(std::to_wstring(pid));
    return kDone;
}

// ---- registry -------------------------------------------------------------

std::wstring ValueJson(DWORD type, const std::vector<BYTE>& data)
{
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
        // The stored bytes, with or without a terminator, as they are.
        return L"[" + std::to_wstring(type) + L"," + JsonString(text) + L"," + std::to_wstring(data.size()) + L"]";
    }
    if (type == REG_DWORD && data.size() == sizeof(DWORD))
        return L"[4," + std::to_wstring(*reinterpret_cast<const DWORD*>(data.data())) + L"]";
    return L"[" + std::to_wstring(type) + L"]";
}

std::wstring KeyJson(HKEY key);

std::wstring ValuesJson(HKEY key)
{
    std::wstring json;
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD name_length = 16384;
        DWORD type = 0;
        DWORD size = 0;
        if (RegEnumValueW(key, index, name, &name_length, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size);
        name_length = 16384;
        if (RegEnumValueW(key, index, name, &name_length, nullptr, &type, data.data(), &size) != ERROR_SUCCESS)
            break;
        data.resize(size);
        json += (json.empty() ? L"" : L",") + JsonString(name) + L":" + ValueJson(type, data);
    }
    return L"{" + json + L"}";
}

std::wstring SubkeysJson(HKEY key)
{
    std::wstring json;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD name_length = 256;
        if (RegEnumKeyExW(key, index, name, &name_length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        Helper::CRegKey child;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, child.Receive()) != ERROR_SUCCESS)
            continue;
        json += (json.empty() ? L"" : L",") + JsonString(name) + L":" + KeyJson(child.Get());
    }
    return L"{" + json + L"}";
}

std::wstring KeyJson(HKEY key) { return L"{\"values\":" + ValuesJson(key) + L",\"keys\":" + SubkeysJson(key) + L"}"; }

// A key and everything below it, or null when it does not exist.
std::wstring TreeJson(HKEY root, const wchar_t* path)
{
    Helper::CRegKey key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
        return L"null";
    return KeyJson(key.Get());
}

std::wstring OneValueJson(HKEY root, const wchar_t* path, const wchar_t* name)
{
    BYTE data[4096];
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (RegGetValueW(root, path, name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != ERROR_SUCCESS)
        return L"null";
    return ValueJson(type, std::vector<BYTE>(data, data + size));
}

constexpr const wchar_t* kOverlayClasses[] = {
    L"{A6BD43D0-1439-4577-9727-CD081B1C0597}", L"{A6BD43D1-1439-4577-9727-CD081B1C0597}",
    L"{A6BD43D2-1439-4577-9727-CD081B1C0597}", L"{A6BD43D3-1439-4577-9727-CD081B1C0597}",
    L"{A6BD43D4-1439-4577-9727-CD081B1C0597}"};
constexpr const wchar_t* kOverlayIdentifiers[] = {L".Tavo_Tessel_Synced", L".Tavo_Tessel_NotSynced",
                                                  L".Tavo_Tessel_Syncing", L".Tavo_Tessel_Error",
                                                  L".Tavo_Tessel_Conflict"};
constexpr wchar_t kIdentifierRoot[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ShellIconOverlayIdentifiers\\";
constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TavoTessel";

std::wstring OverlayJson()
{
    std::wstring classes;
    std::wstring identifiers;
    for (const wchar_t* clsid : kOverlayClasses) {
        const std::wstring path = std::wstring(L"CLSID\\") + clsid;
        classes += (classes.empty() ? L"" : L",") + JsonString(clsid) + L":" + TreeJson(HKEY_CLASSES_ROOT, path.c_str());
    }
    for (const wchar_t* name : kOverlayIdentifiers) {
        const std::wstring path = kIdentifierRoot + std::wstring(name);
        identifiers += (identifiers.empty() ? L"" : L",") + JsonString(name) + L":" +
                       TreeJson(HKEY_LOCAL_MACHINE, path.c_str());
    }
    return L"\"classes\":{" + classes + L"},\"identifiers\":{" + identifiers + L"}";
}

int PrintRegistry()
{
    Print(L"{\"tessel\":" + TreeJson(HKEY_CURRENT_USER, L"Software\\Tavo\\Tessel") +
          L",\"autorun\":" + OneValueJson(HKEY_CURRENT_USER, kRunKey, L"Tessel") +
          L",\"uninstall\":" + TreeJson(HKEY_LOCAL_MACHINE, kUninstallKey) +
          L",\"tavo_ext\":" + TreeJson(HKEY_CLASSES_ROOT, L".tavo") +
          L",\"tavo_type\":" + TreeJson(HKEY_CLASSES_ROOT, L"Tavofile") + L"," + OverlayJson() + L"}");
    return kDone;
}

// ---- version --------------------------------------------------------------

std::wstring FourParts(DWORD high, DWORD low)
{
    return std::to_wstring(HIWORD(high)) + L"." + std::to_wstring(LOWORD(high)) + L"." +
           std::to_wstring(HIWORD(low)) + L"." + std::to_wstring(LOWORD(low));
}

int PrintVersion(const wchar_t* file)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(file, &ignored);
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixed_size = 0;
    if (size == 0 || !GetFileVersionInfoW(file, 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size) || fixed == nullptr)
        return kFailed;
    Print(L"{\"product\":" + JsonString(FourParts(fixed->dwProductVersionMS, fixed->dwProductVersionLS)) +
          L",\"file\":" + JsonString(FourParts(fixed->dwFileVersionMS, fixed->dwFileVersionLS)) + L"}");
    return kDone;
}

// ---- seed -----------------------------------------------------------------

bool WriteString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value,
                 DWORD type = REG_SZ)
{
    Helper::CRegKey key;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    const DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    return RegSetValueExW(key.Get(), name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()), bytes) ==
           ERROR_SUCCESS;
}

bool WriteNumber(HKEY root, const std::wstring& path, const wchar_t* name, DWORD value)
{
    Helper::CRegKey key;
    return RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(), nullptr) ==
               ERROR_SUCCESS &&
           RegSetValueExW(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
               ERROR_SUCCESS;
}

// What the client leaves behind for a bound account, written as it writes
// it: strings without their terminator. Its first start is behind it, so
// it does not start the updater on its own.
int SeedAccount(const std::wstring& user, const std::wstring& credential, const std::wstring& folder,
                const std::wstring& client)
{
    const std::wstring account = L"Software\\Tavo\\Tessel\\Users\\" + user;
    const bool ok = WriteNumber(HKEY_CURRENT_USER, L"Software\\Tavo\\Tessel", L"IsNotFirstRun", 1) &&
                    WriteString(HKEY_CURRENT_USER, L"Software\\Tavo\\Tessel", L"User", user) &&
                    WriteString(HKEY_CURRENT_USER, account, L"SessionId", credential) &&
                    WriteString(HKEY_CURRENT_USER, account, L"Folder", folder) &&
                    WriteString(HKEY_CURRENT_USER, kRunKey, L"Tessel", client) &&
                    WriteString(HKEY_CLASSES_ROOT, L".tavo", nullptr, L"Tavofile") &&
                    WriteString(HKEY_CLASSES_ROOT, L"Tavofile", nullptr, L"TavoTessel同步临时文件") &&
                    WriteString(HKEY_CLASSES_ROOT, L"Tavofile\\DefaultIcon", nullptr, client + L",-132",
                                REG_EXPAND_SZ);
    return ok ? kDone : kFailed;
}

// ---- hold -----------------------------------------------------------------

int HoldLibrary(const wchar_t* file)
{
    Helper::CModuleHandle library(LoadLibraryW(file));
    if (!library)
        return kFailed;
    Print(L"held");
    char buffer[64];
    DWORD read = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    return kDone;
}

// ---- answer and click -------------------------------------------------------

// The text of a message box is its static control 0xFFFF.
constexpr int kMessageBoxText = 0xFFFF;

// A program's page window holds its page as an inner dialog; a message box
// holds none.
bool IsMessageBox(HWND window) { return FindWindowExW(window, nullptr, L"#32770", nullptr) == nullptr; }

struct WindowSearch {
    const wchar_t* title;
    bool message_box;
    HWND found;
};

// The installer's pages add their own caption, blank by default, to the
// program's title.
bool TitleIs(HWND window, const wchar_t* wanted)
{
    wchar_t title[256];
    int length = GetWindowTextW(window, title, 256);
    while (length > 0 && title[length - 1] == L' ')
        title[--length] = L'\0';
    return length > 0 && wcscmp(title, wanted) == 0;
}

BOOL CALLBACK MatchWindow(HWND window, LPARAM argument)
{
    auto* search = reinterpret_cast<WindowSearch*>(argument);
    wchar_t class_name[32];
    if (GetClassNameW(window, class_name, 32) > 0 && wcscmp(class_name, L"#32770") == 0 &&
        TitleIs(window, search->title) && IsWindowVisible(window) && IsMessageBox(window) == search->message_box) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

bool FindWindowOf(WindowSearch* search)
{
    search->found = nullptr;
    EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(search));
    return search->found != nullptr;
}

bool FindMessageBox(const void* argument)
{
    return FindWindowOf(static_cast<WindowSearch*>(const_cast<void*>(argument)));
}

int PressButton(HWND window, int button)
{
    HWND control = GetDlgItem(window, button);
    return PostMessageW(window, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(control))
               ? kDone
               : kFailed;
}

int AnswerBox(DWORD timeout_ms, const wchar_t* title, int button)
{
    WindowSearch search{title, true, nullptr};
    if (!WaitUntil(timeout_ms, FindMessageBox, &search))
        return kTimedOut;
    wchar_t text[1024] = {};
    GetDlgItemTextW(search.found, kMessageBoxText, text, 1024);
    Print(text);
    return PressButton(search.found, button);
}

// Asked by message, since another program's edit control keeps its text to
// itself.
BOOL CALLBACK CollectText(HWND window, LPARAM argument)
{
    constexpr UINT kAnswerMs = 1000;
    wchar_t text[1024] = {};
    DWORD_PTR length = 0;
    if (IsWindowVisible(window) &&
        SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, kAnswerMs,
                            &length) != 0 &&
        length > 0)
        *reinterpret_cast<std::wstring*>(argument) += std::wstring(text) + L" | ";
    return TRUE;
}

struct PageWait {
    WindowSearch search;
    int button;
    const wchar_t* expected;
    std::wstring texts;
};

bool PageReady(const void* argument)
{
    auto* wait = static_cast<PageWait*>(const_cast<void*>(argument));
    if (!FindWindowOf(&wait->search))
        return false;
    HWND button = GetDlgItem(wait->search.found, wait->button);
    if (button == nullptr || !IsWindowEnabled(button) || !IsWindowVisible(button))
        return false;
    wait->texts.clear();
    EnumChildWindows(wait->search.found, CollectText, reinterpret_cast<LPARAM>(&wait->texts));
    return wait->texts.find(wait->expected) != std::wstring::npos;
}

int ClickPage(DWORD timeout_ms, const wchar_t* title, int button, const wchar_t* expected)
{
    PageWait wait{{title, false, nullptr}, button, expected, {}};
    const bool ready = WaitUntil(timeout_ms, PageReady, &wait);
    Print(wait.texts);
    if (!ready)
        return kTimedOut;
    return PressButton(wait.search.found, button);
}

// ---- tray-log ---------------------------------------------------------------

std::wstring RecordJson(const Helper::TrayProbeRecord& record)
{
    return L"{\"message\":" + std::to_wstring(record.message) + L",\"accepted\":" +
           std::to_wstring(record.accepted) + L",\"state\":" + std::to_wstring(record.state) +
           L",\"flags\":" + std::to_wstring(record.flags) + L",\"tip\":" + JsonString(record.tip) +
           L",\"info\":" + JsonString(record.info) + L",\"title\":" + JsonString(record.info_title) + L"}";
}

// Watches stdin on a thread of its own, so that the loop can poll the log.
DWORD WINAPI WaitForInputEnd(void* ended)
{
    char buffer[64];
    DWORD read = 0;
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    while (ReadFile(input, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    }
    InterlockedExchange(static_cast<volatile LONG*>(ended), 1);
    return 0;
}

int LogTray(const wchar_t* name)
{
    Helper::CHandle mapping(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                               sizeof(Helper::TrayProbeLog), name));
    if (!mapping)
        return kFailed;
    auto* log = static_cast<Helper::TrayProbeLog*>(MapViewOfFile(mapping.Get(), FILE_MAP_WRITE, 0, 0, 0));
    if (log == nullptr)
        return kFailed;
    volatile LONG ended = 0;
    Helper::CHandle watcher(CreateThread(nullptr, 0, WaitForInputEnd, const_cast<LONG*>(&ended), 0, nullptr));
    Print(L"{\"ready\":1}");
    LONG next = 0;
    while (watcher && ended == 0) {
        // A record is complete once the count has passed it.
        for (const LONG count = log->count; next < count; ++next)
            Print(RecordJson(log->records[next % Helper::kTrayProbeCapacity]));
        Sleep(kPollMs);
    }
    UnmapViewOfFile(log);
    return kDone;
}

int Dispatch(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if ((command == L"run" || command == L"run-tree") && argc == 5)
        return RunProgram(wcstoul(argv[2], nullptr, 10), argv[3], argv[4], command == L"run-tree");
    if (command == L"wait-window" && argc == 4)
        return WaitWindow(wcstoul(argv[2], nullptr, 10), argv[3]);
    if (command == L"registry" && argc == 2)
        return PrintRegistry();
    if (command == L"version" && argc == 3)
        return PrintVersion(argv[2]);
    if (command == L"seed" && argc == 6)
        return SeedAccount(argv[2], argv[3], argv[4], argv[5]);
    if (command == L"hold" && argc == 3)
        return HoldLibrary(argv[2]);
    if (command == L"answer" && argc == 5)
        return AnswerBox(wcstoul(argv[2], nullptr, 10), argv[3], _wtoi(argv[4]));
    if (command == L"click" && argc == 6)
        return ClickPage(wcstoul(argv[2], nullptr, 10), argv[3], _wtoi(argv[4]), argv[5]);
    if (command == L"tray-log" && argc == 3)
        return LogTray(argv[2]);
    Print(L"usage: installer_probe run|run-tree|wait-window|registry|version|seed|hold|answer|click|tray-log ...");
    return kFailed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) { return Dispatch(argc, argv); }
