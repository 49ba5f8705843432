// Drives Glint.dll the way Explorer does: loaded by path, objects made
// through its class factories, answers taken from real registry keys and
// real state files in the test's Wine prefix.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <string>

namespace GlintTest {

constexpr unsigned kOverlayCount = 5;

struct GlintDll {
    HMODULE module = nullptr;
    std::wstring path;
    HRESULT(STDAPICALLTYPE* get_class_object)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* can_unload_now)() = nullptr;
    HRESULT(STDAPICALLTYPE* register_server)() = nullptr;
    HRESULT(STDAPICALLTYPE* unregister_server)() = nullptr;
    HRESULT(STDAPICALLTYPE* install)(BOOL, LPCWSTR) = nullptr;
};

// Loaded once per process from the folder of the test executable and kept
// loaded, as Explorer keeps it.
const GlintDll& Dll();

CLSID OverlayClassId(unsigned kind);
std::wstring ClassIdString(unsigned kind);

// Holds one reference of a COM object.
template <class T>
class CRef {
public:
    CRef() = default;
    CRef(const CRef&) = delete;
    CRef& operator=(const CRef&) = delete;
    ~CRef() { Reset(); }
    void Reset()
    {
        if (p_)
            p_->Release();
        p_ = nullptr;
    }
    T** Put()
    {
        Reset();
        return &p_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    T* Get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// One overlay identifier object of the given index, made through its
// factory (which is released again at once).
void MakeOverlay(unsigned kind, CRef<IShellIconOverlayIdentifier>* out);

// The indexes whose identifier claims the path, as a bit mask
// (bit 0 = Synced ... bit 4 = Conflict); -1 if any call failed.
int Badges(const std::wstring& path);
constexpr int Bit(int state) { return 1 << state; }

// Registry account "Software\Tavo\Tessel\Users\<user>" with a "Folder".
void SetAccountFolder(const std::wstring& user, const std::wstring& folder, DWORD type = REG_SZ);
void DeleteAccount(const std::wstring& user);
// Returns once the overlay's next call reads the account list again.
void WaitForNextAccountWindow();

std::wstring StateFilePath(const std::wstring& user);

// UTF-8 state document: byte-order mark, declaration, ROOT around body.
std::string StateDocument(const std::string& body);
std::string FileElement(const std::string& name, int state);
std::string DirElement(const std::string& name, int state, const std::string& content = "");

// Writes the file and then gives it a last-write time never used before,
// so the overlay sees a change even within the file system's resolution.
void WriteStateFile(const std::wstring& user, const std::string& bytes);
void SetWriteTime(const std::wstring& path, const FILETIME& time);
FILETIME GetWriteTime(const std::wstring& path);

double NowMicroseconds();

}  // namespace GlintTest
