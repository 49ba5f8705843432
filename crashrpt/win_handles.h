// Owners for the handles the reporter opens; each closes its handle once.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <utility>

namespace CrashRpt {

template <typename Traits>
class CUniqueHandle {
public:
    using Handle = typename Traits::Handle;

    CUniqueHandle() = default;
    explicit CUniqueHandle(Handle handle) : handle_(handle) {}
    ~CUniqueHandle() { Reset(); }
    CUniqueHandle(const CUniqueHandle&) = delete;
    CUniqueHandle& operator=(const CUniqueHandle&) = delete;
    CUniqueHandle(CUniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, Traits::Invalid())) {}
    CUniqueHandle& operator=(CUniqueHandle&& other) noexcept
    {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, Traits::Invalid());
        }
        return *this;
    }

    Handle Get() const { return handle_; }
    explicit operator bool() const { return handle_ != Traits::Invalid(); }
    void Reset(Handle handle = Traits::Invalid())
    {
        if (handle_ != Traits::Invalid())
            Traits::Close(handle_);
        handle_ = handle;
    }

private:
    Handle handle_ = Traits::Invalid();
};

struct KernelTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { CloseHandle(h); }
};

// CreateFileW reports failure as INVALID_HANDLE_VALUE, not null.
struct FileTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { CloseHandle(h); }
};

struct FindTraits {
    using Handle = HANDLE;
    static Handle Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(Handle h) { FindClose(h); }
};

struct InternetTraits {
    using Handle = HINTERNET;
    static Handle Invalid() { return nullptr; }
    static void Close(Handle h) { InternetCloseHandle(h); }
};

using CKernelHandle = CUniqueHandle<KernelTraits>;
using CFileHandle = CUniqueHandle<FileTraits>;
using CFindHandle = CUniqueHandle<FindTraits>;
using CInternetHandle = CUniqueHandle<InternetTraits>;

}  // namespace CrashRpt
