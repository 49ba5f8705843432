#include "glint_test_support.h"

#include "common/registry_access.h"
#include "common/win_handle.h"

#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace GlintTest {

namespace {

void Die(const char* what)
{
    std::fprintf(stderr, "test setup failed: %s (error %lu)\n", what, GetLastError());
    std::abort();
}

GlintDll LoadGlint()
{
    wchar_t exe[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring dir(exe, length);
    dir.resize(dir.find_last_of(L'\\') + 1);
    GlintDll dll;
    dll.path = dir + L"Glint.dll";
    dll.module = LoadLibraryW(dll.path.c_str());
    if (!dll.module)
        Die("LoadLibrary Glint.dll");
    wchar_t loaded[MAX_PATH];
    dll.path.assign(loaded, GetModuleFileNameW(dll.module, loaded, MAX_PATH));
    auto get = [&](auto* target, const char* name) {
        // Through void* because the exports' real types are not FARPROC.
        void* proc = reinterpret_cast<void*>(GetProcAddress(dll.module, name));
        if (!proc)
            Die(name);
        *target = reinterpret_cast<std::remove_pointer_t<decltype(target)>>(proc);
    };
    get(&dll.get_class_object, "DllGetClassObject");
    get(&dll.can_unload_now, "DllCanUnloadNow");
    get(&dll.register_server, "DllRegisterServer");
    get(&dll.unregister_server, "DllUnregisterServer");
    get(&dll.install, "DllInstall");
    return dll;
}

std::string Attr(const char* name, const std::string& value) { return std::string(" ") + name + "=\"" + value + "\""; }

}  // namespace

const GlintDll& Dll()
{
    static const GlintDll dll = LoadGlint();
    return dll;
}

CLSID OverlayClassId(unsigned kind)
{
    CLSID id = {0xA6BD43D0, 0x1439, 0x4577, {0x97, 0x27, 0xCD, 0x08, 0x1B, 0x1C, 0x05, 0x97}};
    id.Data1 += kind;
    return id;
}

std::wstring ClassIdString(unsigned kind)
{
    wchar_t text[40];
    CLSID id = OverlayClassId(kind);
    StringFromGUID2(id, text, 40);
    return text;
}

void MakeOverlay(unsigned kind, CRef<IShellIconOverlayIdentifier>* out)
{
    CRef<IClassFactory> factory;
    CLSID id = OverlayClassId(kind);
    if (FAILED(Dll().get_class_object(id, IID_IClassFactory, factory.PutVoid())))
        Die("DllGetClassObject");
    IID iid = {0x0C6C4200, 0xC589, 0x11D0, {0x99, 0x9A, 0x00, 0xC0, 0x4F, 0xD6, 0x55, 0xE1}};
    if (FAILED(factory->CreateInstance(nullptr, iid, out->PutVoid())))
        Die("CreateInstance");
}

int Badges(const std::wstring& path)
{
    int mask = 0;
    for (unsigned kind = 0; kind < kOverlayCount; ++kind) {
        CRef<IShellIconOverlayIdentifier> overlay;
        MakeOverlay(kind, &overlay);
        HRESULT result = overlay->IsMemberOf(path.c_str(), 0);
        if (result == S_OK)
            mask |= Bit(static_cast<int>(kind));
        else if (result != S_FALSE)
            return -1;
    }
    return mask;
}

void SetAccountFolder(const std::wstring& user, const std::wstring& folder, DWORD type)
{
    wchar_t path[Helper::kRegAccountKeyCapacity];
    Helper::CRegKey key;
    if (!Helper::AccountKeyPath(user.c_str(), path) ||
        RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_WRITE, nullptr, key.Receive(), nullptr) !=
            ERROR_SUCCESS)
        Die("RegCreateKeyEx");
    RegSetValueExW(key.Get(), Helper::kRegFolder, 0, type, reinterpret_cast<const BYTE*>(folder.c_str()),
                   static_cast<DWORD>(folder.size() * sizeof(wchar_t)));
}

void DeleteAccount(const std::wstring& user)
{
    wchar_t path[Helper::kRegAccountKeyCapacity];
    if (Helper::AccountKeyPath(user.c_str(), path))
        RegDeleteTreeW(HKEY_CURRENT_USER, path);
}

void WaitForNextAccountWindow()
{
    DWORD start = GetTickCount() & 0xFFFFFC00;
    DWORD deadline = GetTickCount() + 5000;
    while ((GetTickCount() & 0xFFFFFC00) == start) {
        if (static_cast<LONG>(GetTickCount() - deadline) > 0)
            Die("tick window did not move");
        Sleep(5);
    }
}

std::wstring StateFilePath(const std::wstring& user)
{
    wchar_t app_data[MAX_PATH];
    if (!SHGetSpecialFolderPathW(nullptr, app_data, CSIDL_APPDATA, TRUE))
        Die("CSIDL_APPDATA");
    std::wstring dir = std::wstring(app_data) + L"\\Tavo";
    CreateDirectoryW(dir.c_str(), nullptr);
    dir += L"\\Tessel";
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir + L"\\" + user + L".user_cfg";
}

std::string StateDocument(const std::string& body)
{
    return "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<ROOT>\r\n" + body + "</ROOT>\r\n";
}

std::string FileElement(const std::string& name, int state)
{
    return "<FILE" + Attr("id", "11") + Attr("name", name) + Attr("state", std::to_string(state)) +
           Attr("update_time", "5") + Attr("size", "3") + Attr("md5", "900150983cd24fb0d6963f7d28e17f72") +
           Attr("local_modified", "0") + "/>\r\n";
}

std::string DirElement(const std::string& name, int state, const std::string& content)
{
    std::string head = "<DIR" + Attr("id", "12") + Attr("name", name) + Attr("state", std::to_string(state)) +
                       Attr("update_time", "5");
    return content.empty() ? head + "/>\r\n" : head + ">\r\n" + content + "</DIR>\r\n";
}

void SetWriteTime(const std::wstring& path, const FILETIME& time)
{
    Helper::CFileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        Die("open for SetFileTime");
    SetFileTime(file.Get(), nullptr, nullptr, &time);
}

FILETIME GetWriteTime(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
    return data.ftLastWriteTime;
}

void WriteStateFile(const std::wstring& user, const std::string& bytes)
{
    static ULONGLONG next_time = 132000000000000000ULL;  // a day in 2019
    std::wstring path = StateFilePath(user);
    Helper::CFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file)
        Die("create state file");
    DWORD written = 0;
    WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    next_time += 10000000;  // one second later than the last one
    FILETIME time = {static_cast<DWORD>(next_time), static_cast<DWORD>(next_time >> 32)};
    SetFileTime(file.Get(), nullptr, nullptr, &time);
}

double NowMicroseconds()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1e6 / static_cast<double>(frequency.QuadPart);
}

}  // namespace GlintTest
