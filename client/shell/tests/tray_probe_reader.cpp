#include "client/shell/tests/tray_probe_reader.h"

#include <cwchar>

#include "common/tests/test_support.h"

namespace Testing {

namespace {
constexpr DWORD kPollMs = 50;
}

CTrayProbe::CTrayProbe()
{
    const std::wstring name = L"Local\\TavoTesselTrayProbe_" + UniqueToken();
    mapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Helper::TrayProbeLog),
                                  name.c_str());
    if (mapping_ != nullptr)
        log_ = static_cast<Helper::TrayProbeLog*>(MapViewOfFile(mapping_, FILE_MAP_WRITE, 0, 0, 0));
    // The programs this one starts inherit the variable.
    SetEnvironmentVariableW(Helper::kTrayProbeVariable, name.c_str());
}

CTrayProbe::~CTrayProbe()
{
    SetEnvironmentVariableW(Helper::kTrayProbeVariable, nullptr);
    if (log_ != nullptr)
        UnmapViewOfFile(log_);
    if (mapping_ != nullptr)
        CloseHandle(mapping_);
}

LONG CTrayProbe::Count() const { return log_ != nullptr ? log_->count : 0; }

std::vector<Helper::TrayProbeRecord> CTrayProbe::Records() const
{
    std::vector<Helper::TrayProbeRecord> records;
    const LONG count = Count();
    const LONG first = count > Helper::kTrayProbeCapacity ? count - Helper::kTrayProbeCapacity : 0;
    for (LONG i = first; i < count; ++i)
        records.push_back(log_->records[i % Helper::kTrayProbeCapacity]);
    return records;
}

LONG CTrayProbe::WaitFor(const std::function<bool(const Helper::TrayProbeRecord&)>& condition, DWORD timeout_ms,
                         LONG from) const
{
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    LONG next = from;
    for (;;) {
        const LONG count = Count();
        for (; next < count; ++next) {
            if (condition(log_->records[next % Helper::kTrayProbeCapacity]))
                return next;
        }
        if (GetTickCount64() > deadline)
            return -1;
        Sleep(kPollMs);
    }
}

bool ShowsState(const Helper::TrayProbeRecord& record, int state)
{
    return record.message == NIM_MODIFY && record.state == state && (record.flags & NIF_ICON) != 0;
}

bool HasTip(const Helper::TrayProbeRecord& record, const std::wstring& prefix)
{
    return (record.flags & NIF_TIP) != 0 && wcsncmp(record.tip, prefix.c_str(), prefix.size()) == 0;
}

bool HasBalloon(const Helper::TrayProbeRecord& record, const std::wstring& title)
{
    return (record.flags & NIF_INFO) != 0 && title == record.info_title;
}

int IconsShown(const std::vector<Helper::TrayProbeRecord>& records)
{
    int icons = 0;
    for (const auto& record : records) {
        if (record.message == NIM_ADD && record.accepted)
            ++icons;
        else if (record.message == NIM_DELETE && record.accepted)
            --icons;
    }
    return icons;
}

}  // namespace Testing
