// The client's side of crash reporting. CCrashHook installs the crash
// reporter (CrashRpt.dll) for its lifetime with the client's fixed
// connection values and the version text; every report then gets a short
// log with the account's user id and public address and, while the folder
// watch runs, a copy of the account's state file.
//
// The tray program keeps one CCrashHook as a static object, constructed
// after the tray-window lock and before the connection managers. Its
// controller feeds in the account's values as they change:
//   SetCrashSession(user_id, public_address)  after each successful sign-on,
//                                             with zeros after a sign-off;
//   SetCrashStateFile(path)                   when the folder watch starts
//                                             with its listener and the state
//                                             file's path is known;
//   SetCrashStateFile(nullptr)                when the watch stops.
// Nothing else of the program is reached from here: a crashed process may
// hold any of its locks.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace Helper {

constexpr size_t kVersionTextCapacity = 260;
constexpr size_t kCrashLogCapacity = 260;
constexpr size_t kAddressTextCapacity = 16;

// What the version text takes from the executable's version resource.
struct ExecutableVersion {
    WORD product[4] = {};  // product version, most significant part first
    WORD file_build = 0;   // fourth part of the file version
};

// The running program's version; false (and zeros) without a resource.
bool ReadExecutableVersion(ExecutableVersion* version);

// "v1.0.0.1(1)/2024_05_01/10_30_00_123": the build and the moment the
// process started.
void FormatVersionText(wchar_t (&text)[kVersionTextCapacity], const ExecutableVersion& version,
                       const SYSTEMTIME& local_time);

// "\n\n\nUserID: 7\nUserIP: 10.1.2.3", the address bytes in stored order.
void FormatCrashLogText(wchar_t (&text)[kCrashLogCapacity], uint32_t user_id, const uint8_t (&address)[4]);

// The account's values for the reports; see above. SetCrashStateFile is
// called from one thread at a time; a path that does not fit 260
// characters is not attached.
void SetCrashSession(uint32_t user_id, const uint8_t (&public_address)[4]);
void SetCrashStateFile(const wchar_t* path);

class CCrashHook {
public:
    // The crash-report host, account and password of this build.
    CCrashHook();
    CCrashHook(const wchar_t* server, const wchar_t* account, const wchar_t* password);
    ~CCrashHook();
    CCrashHook(const CCrashHook&) = delete;
    CCrashHook& operator=(const CCrashHook&) = delete;

    // False when the reporter could not be installed: the program runs on
    // without crash reports.
    bool Installed() const { return handle_ != nullptr; }
    const wchar_t* VersionText() const { return version_; }

private:
    void* handle_ = nullptr;
    wchar_t version_[kVersionTextCapacity] = {};
};

}  // namespace Helper
