// The per-command lock of the request functions: one exchange of a command
// at a time, different commands overlap freely.
#pragma once

#include <windows.h>

#include <atomic>

namespace Net {

class CCommandLock {
public:
    explicit CCommandLock(std::atomic<long>& flag) : flag_(flag)
    {
        while (flag_.exchange(1) == 1)
            SwitchToThread();
    }
    ~CCommandLock() { flag_.exchange(0); }
    CCommandLock(const CCommandLock&) = delete;
    CCommandLock& operator=(const CCommandLock&) = delete;

private:
    std::atomic<long>& flag_;
};

}  // namespace Net
