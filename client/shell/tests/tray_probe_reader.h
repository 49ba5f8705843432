// Reads what the tray program recorded of its calls of Shell_NotifyIconW
// (client/shell/tray_probe.h): the tests of the tray in the program's own
// process and the whole-program scenarios check tips, icons and balloons
// by their content through it.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "client/shell/tray_probe.h"

namespace Testing {

// The tray's calls of Shell_NotifyIconW as the program recorded them.
class CTrayProbe {
public:
    // Creates the mapping and names it to this process and the programs it
    // starts.
    CTrayProbe();
    ~CTrayProbe();
    CTrayProbe(const CTrayProbe&) = delete;
    CTrayProbe& operator=(const CTrayProbe&) = delete;

    LONG Count() const;
    std::vector<Helper::TrayProbeRecord> Records() const;
    // Waits for a record from index `from` on that the condition accepts;
    // its index, or -1 when none came in time.
    LONG WaitFor(const std::function<bool(const Helper::TrayProbeRecord&)>& condition, DWORD timeout_ms,
                 LONG from = 0) const;

private:
    HANDLE mapping_ = nullptr;
    Helper::TrayProbeLog* log_ = nullptr;
};

// Conditions on records.
bool ShowsState(const Helper::TrayProbeRecord& record, int state);
bool HasTip(const Helper::TrayProbeRecord& record, const std::wstring& prefix);
bool HasBalloon(const Helper::TrayProbeRecord& record, const std::wstring& title);
// Icons added and not deleted again, as the shell accepted them.
int IconsShown(const std::vector<Helper::TrayProbeRecord>& records);

}  // namespace Testing
