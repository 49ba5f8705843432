// What the tray handed to the shell, for whole-program tests: when the
// environment variable TAVO_TRAY_PROBE names a file mapping, every call of
// Shell_NotifyIconW is recorded there with the icon's resource identifier
// and the application state, so that a test driver in the same prefix can
// check tips, icons and balloons by their content. Without the variable
// nothing is recorded.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstdint>

namespace Helper {

constexpr wchar_t kTrayProbeVariable[] = L"TAVO_TRAY_PROBE";

struct TrayProbeRecord {
    DWORD message = 0;      // NIM_ADD, NIM_MODIFY or NIM_DELETE
    BOOL accepted = FALSE;  // what Shell_NotifyIconW returned
    int32_t icon_id = 0;    // resource identifier of the icon in the data
    int32_t state = 0;      // the application state at the call
    DWORD size = 0;         // the data's cbSize
    UINT flags = 0;
    UINT callback_message = 0;
    DWORD info_flags = 0;
    ULONGLONG tick_ms = 0;  // GetTickCount64 when the call returned
    wchar_t tip[128] = {};
    wchar_t info[256] = {};
    wchar_t info_title[64] = {};
};

constexpr LONG kTrayProbeCapacity = 512;
// A ring of the last calls; record i is at index i % capacity, and count
// is raised after the record is written.
struct TrayProbeLog {
    volatile LONG count;
    TrayProbeRecord records[kTrayProbeCapacity];
};

// Records one call when the probe is on.
void RecordTrayCall(DWORD message, const NOTIFYICONDATAW& data, int icon_id, int state, BOOL accepted);

}  // namespace Helper
