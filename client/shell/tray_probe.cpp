#include "client/shell/tray_probe.h"

#include <mutex>

#include "common/bounded_string.h"
#include "common/win_handle.h"

namespace Helper {

namespace {

constexpr size_t kMappingNameCapacity = 128;

// The mapping stays open for the life of the process once found.
struct ProbeView {
    CHandle mapping;
    TrayProbeLog* log = nullptr;
};

ProbeView* OpenProbe()
{
    static ProbeView view;
    static std::once_flag opened;
    std::call_once(opened, [] {
        wchar_t name[kMappingNameCapacity];
        const DWORD length = GetEnvironmentVariableW(kTrayProbeVariable, name, kMappingNameCapacity);
        if (length == 0 || length >= kMappingNameCapacity)
            return;
        view.mapping.Reset(OpenFileMappingW(FILE_MAP_WRITE, FALSE, name));
        if (!view.mapping)
            return;
        view.log = static_cast<TrayProbeLog*>(
            MapViewOfFile(view.mapping.Get(), FILE_MAP_WRITE, 0, 0, sizeof(TrayProbeLog)));
    });
    return view.log != nullptr ? &view : nullptr;
}

}  // namespace

void RecordTrayCall(DWORD message, const NOTIFYICONDATAW& data, int icon_id, int state, BOOL accepted)
{
    ProbeView* view = OpenProbe();
    if (view == nullptr)
        return;
    static std::mutex writer;
    std::lock_guard<std::mutex> hold(writer);
    TrayProbeRecord& record = view->log->records[view->log->count % kTrayProbeCapacity];
    record.message = message;
    record.accepted = accepted;
    record.icon_id = icon_id;
    record.state = state;
    record.size = data.cbSize;
    record.flags = data.uFlags;
    record.callback_message = data.uCallbackMessage;
    record.info_flags = data.dwInfoFlags;
    record.tick_ms = GetTickCount64();
    CopyBounded(record.tip, data.szTip);
    CopyBounded(record.info, data.szInfo);
    CopyBounded(record.info_title, data.szInfoTitle);
    MemoryBarrier();
    InterlockedIncrement(&view->log->count);
}

}  // namespace Helper
