// Owning wrappers for the kernel objects of the connection layer.
#pragma once

#include <windows.h>

#include <utility>

namespace Net {

class CHandle {
public:
    CHandle() = default;
    explicit CHandle(HANDLE handle) : handle_(handle) {}
    ~CHandle() { Reset(); }
    CHandle(CHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    CHandle& operator=(CHandle&& other) noexcept
    {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void Reset(HANDLE handle = nullptr)
    {
        if (handle_ != nullptr)
            CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

inline CHandle MakeEvent(bool manual_reset, bool signalled = false)
{
    return CHandle(CreateEventW(nullptr, manual_reset ? TRUE : FALSE, signalled ? TRUE : FALSE, nullptr));
}

}  // namespace Net
