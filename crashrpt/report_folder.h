// The report folders on disk: one folder per crash under the user's local
// application data, named by the local time of the crash and the process
// id ("20240501-103000-1234"). A folder still being written carries the
// suffix ".tmp"; a sent report holds the marker file "sent", one the host
// will never take the marker "refused".
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace CrashRpt {

constexpr size_t kPathCapacity = MAX_PATH;
constexpr size_t kMaxKeptReports = 20;

constexpr wchar_t kDumpName[] = L"crash.dmp";
constexpr wchar_t kLogName[] = L"crash.log";
constexpr wchar_t kSentMarker[] = L"sent";
constexpr wchar_t kRefusedMarker[] = L"refused";
constexpr wchar_t kSendLock[] = L"sending.lock";

// folder + "\" + name; false when it does not fit.
bool JoinPath(wchar_t (&out)[kPathCapacity], const wchar_t* folder, const wchar_t* name);

// "%LOCALAPPDATA%\Tavo\Tessel\CrashReports", created when missing.
bool OpenReportRoot(wchar_t (&root)[kPathCapacity]);

// Creates the partial folder of a new report.
bool CreatePartialFolder(const wchar_t* root, const SYSTEMTIME& time, DWORD process_id,
                         wchar_t (&folder)[kPathCapacity]);

// Gives a partial folder its final name; folder then names it.
bool FinishFolder(wchar_t (&folder)[kPathCapacity]);

// Full paths of the reports not yet sent, oldest first. Partial folders
// left by a process that no longer runs (its reporter died halfway) are
// finished first, so that what they hold is sent too.
std::vector<std::wstring> PendingReports(const wchar_t* root);

// Deletes the oldest report folders beyond kMaxKeptReports.
void PruneReports(const wchar_t* root);

// Names of the files of a report, markers and lock left out.
std::vector<std::wstring> ReportFiles(const wchar_t* folder);

bool MarkReport(const wchar_t* folder, const wchar_t* marker);
bool HasMarker(const wchar_t* folder, const wchar_t* marker);

// Removes a report folder and the files in it.
void DeleteReportFolder(const wchar_t* folder);

}  // namespace CrashRpt
