// Owners for what the programs open from the system: one template over a
// close function and an invalid value, its typedefs for every kind of
// handle, and one lock with its guard. Each owner closes what it holds
// once, on every path.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <utility>

namespace Helper {

// Traits name the handle type, the value that means "nothing held" and the
// call that gives the handle back to the system.
template <typename Traits>
class CUniqueHandle {
public:
    using Handle = typename Traits::Handle;

    CUniqueHandle() = default;
    explicit CUniqueHandle(Handle handle) : handle_(handle) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& other) noexcept : handle_(other.Release()) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Release());
        return *this;
    }

    Handle Get() const { return handle_; }
    bool Valid() const { return handle_ != Traits::Invalid(); }
    explicit operator bool() const { return Valid(); }

    // Closes what is held and takes the new handle.
    void Reset(Handle handle = Traits::Invalid())
    {
        if (Valid())
            Traits::Close(handle_);
        handle_ = handle;
    }
    // Gives the handle up without closing it.
    Handle Release() { return std::exchange(handle_, Traits::Invalid()); }
    // For the calls that return a handle through a pointer.
    Handle* Receive()
    {
        Reset();
        return &handle_;
    }

private:
    Handle handle_ = Traits::Invalid();
};

// Events, threads, mutexes, processes, completion ports: null when none.
struct KernelHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { CloseHandle(handle); }
};

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not null.
struct FileHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) { CloseHandle(handle); }
};

struct FindHandleTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle handle) { FindClose(handle); }
};

struct RegKeyTraits {
    using Handle = HKEY;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { RegCloseKey(handle); }
};

struct InternetHandleTraits {
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { InternetCloseHandle(handle); }
};

struct SocketTraits {
    using Handle = SOCKET;
    static Handle Invalid() { return INVALID_SOCKET; }
    static void Close(Handle handle) { closesocket(handle); }
};

struct ModuleTraits {
    using Handle = HMODULE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { FreeLibrary(handle); }
};

// Fonts, brushes, pens and bitmaps all go back through DeleteObject.
template <typename GdiHandle>
struct GdiObjectTraits {
    using Handle = GdiHandle;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { DeleteObject(handle); }
};

struct IconTraits {
    using Handle = HICON;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { DestroyIcon(handle); }
};

struct MenuTraits {
    using Handle = HMENU;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle handle) { DestroyMenu(handle); }
};

using CHandle = CUniqueHandle<KernelHandleTraits>;
using CFileHandle = CUniqueHandle<FileHandleTraits>;
using CFindHandle = CUniqueHandle<FindHandleTraits>;
using CRegKey = CUniqueHandle<RegKeyTraits>;
using CInternetHandle = CUniqueHandle<InternetHandleTraits>;
using CSocketHandle = CUniqueHandle<SocketTraits>;
using CModuleHandle = CUniqueHandle<ModuleTraits>;
using CFontHandle = CUniqueHandle<GdiObjectTraits<HFONT>>;
using CBrushHandle = CUniqueHandle<GdiObjectTraits<HBRUSH>>;
using CPenHandle = CUniqueHandle<GdiObjectTraits<HPEN>>;
using CBitmapHandle = CUniqueHandle<GdiObjectTraits<HBITMAP>>;
using CIconHandle = CUniqueHandle<IconTraits>;
using CMenuHandle = CUniqueHandle<MenuTraits>;

inline CHandle MakeEvent(bool manual_reset, bool signalled = false)
{
    return CHandle(CreateEventW(nullptr, manual_reset ? TRUE : FALSE, signalled ? TRUE : FALSE, nullptr));
}

// A critical section: re-entrant for the thread that holds it, and never
// failing to initialise, which is what the structures that guard a whole
// tree or an Explorer-facing table need.
class CCriticalSection {
public:
    CCriticalSection() { InitializeCriticalSection(&section_); }
    ~CCriticalSection() { DeleteCriticalSection(&section_); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter() { EnterCriticalSection(&section_); }
    void Leave() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// Holds the section from construction to the end of the scope.
class CLockGuard {
public:
    explicit CLockGuard(CCriticalSection& section) : section_(section) { section_.Enter(); }
    ~CLockGuard() { section_.Leave(); }
    CLockGuard(const CLockGuard&) = delete;
    CLockGuard& operator=(const CLockGuard&) = delete;

private:
    CCriticalSection& section_;
};

}  // namespace Helper
