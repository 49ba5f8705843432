// TavoTesselSync: the headless companion of the tray client, for scripts,
// diagnostics and tests. It runs the same engine, state and protocol code.
//
//   TavoTesselSync sync USER PASSWORD FOLDER [--once] [--server HOST:PORT] [--timeout SECONDS]
//   TavoTesselSync state USER|STATE_FILE
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <string>

#include "client/net/common_socket.h"
#include "client/net/request_manager.h"
#include "client/net/requests.h"
#include "client/net/session.h"
#include "client/shell/app_state.h"
#include "client/shell/console_run.h"
#include "client/shell/console_texts.h"
#include "client/state/dir_watcher.h"
#include "client/state/state_file.h"
#include "client/sync/dir_syncer.h"
#include "client/sync/sync_engine.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/md5.h"
#include "common/time_share.h"
#include "common/tray_contract.h"
#include "common/utf.h"
#include "deployment.h"

namespace {

using Helper::Print;

// How often the waits look at the transfer in progress, and the pause
// before a listing that failed is asked for again.
constexpr DWORD kPollMs = 250;
constexpr DWORD kRelistPauseMs = 1000;
// --once runs at most this long unless --timeout says otherwise.
constexpr DWORD kOnceTimeoutMs = 600000;
constexpr int kLongestTimeoutSeconds = 4000000;

// The console has no tray to refresh: a state change needs no reaction.
class CConsoleHost : public Helper::CAppStateHost {
public:
    void RefreshForState(Helper::AppState) override {}
};

BOOL WINAPI OnConsoleControl(DWORD)
{
    SetEvent(Helper::InterruptEvent());
    return TRUE;
}

// The session's notices to the tray window: the console has none, and of
// another protocol version it only takes note; the message box that asks
// about a new version belongs to the tray program.
void OnSessionNotice(WPARAM, LPARAM notice)
{
    if (notice == Helper::TE_INCOMPATIBLE)
        SetEvent(Helper::IncompatibleEvent());
}
bool DeclineNewVersion() { return false; }
void OpenNoPage(const wchar_t*) {}

const wchar_t* StateName(uint32_t state)
{
    static const wchar_t* const names[] = {L"synced", L"not-synced", L"syncing", L"error", L"conflict",
                                           L"untracked"};
    return state < 6 ? names[state] : L"?";
}

const wchar_t* KindName(int32_t kind)
{
    static const wchar_t* const names[] = {L"none", L"download", L"upload", L"agree", L"error", L"conflict"};
    return kind >= 0 && kind < 6 ? names[kind] : L"?";
}

void PrintEntries(const Sync::SyncNode& node, std::map<uint32_t, int>* counts)
{
    for (const auto& child : node.children) {
        const Sync::SyncEntry& e = child->entry;
        (*counts)[e.state]++;
        std::wstring md5(e.md5, e.md5 + (e.md5[0] ? Sync::kDigestLength : 0));
        if (e.is_file)
            Print(L"%-10s id=%-6d size=%-10I64u md5=%-32s offset=%-10I64u %s", StateName(e.state), e.id,
                  e.size, md5.c_str(), e.upload_offset, e.path);
        else
            Print(L"%-10s id=%-6d %-69s %s\\", StateName(e.state), e.id, L"folder", e.path);
        PrintEntries(*child, counts);
    }
}

// A file that exists, or anything that looks like a path, is a state file;
// otherwise the argument names the user whose state file is meant.
int PrintStateFile(const wchar_t* argument)
{
    wchar_t path[Sync::kPathCapacity] = {};
    if (GetFileAttributesW(argument) != INVALID_FILE_ATTRIBUTES || wcspbrk(argument, L"\\/:") != nullptr)
        Helper::CopyBounded(path, argument);
    else
        Sync::StateFilePathFor(argument, path);
    Sync::SyncNode root;
    if (path[0] == L'\0' || !Sync::ReadStateFile(path, &root)) {
        Print(L"cannot read the state file %s", path[0] != L'\0' ? path : argument);
        return Helper::ExitUsage;
    }
    Print(L"state file %s", path);
    std::map<uint32_t, int> counts;
    PrintEntries(root, &counts);
    Print(L"%d synced, %d syncing, %d error, %d conflict", counts[0], counts[2], counts[3], counts[4]);
    return Helper::ExitDone;
}

bool ParseServer(const wchar_t* text, std::string* host, uint16_t* port)
{
    const wchar_t* colon = wcsrchr(text, L':');
    if (colon == nullptr)
        return false;
    int value = _wtoi(colon + 1);
    if (value <= 0 || value > 65535)
        return false;
    for (const wchar_t* p = text; p < colon; ++p)
        host->push_back(static_cast<char>(*p));
    *port = static_cast<uint16_t>(value);
    return !host->empty();
}

bool ParseSeconds(const wchar_t* text, DWORD* milliseconds)
{
    if (text[0] == L'\0' || wcsspn(text, L"0123456789") != wcslen(text) || wcslen(text) > 7)
        return false;
    const int seconds = _wtoi(text);
    if (seconds <= 0 || seconds > kLongestTimeoutSeconds)
        return false;
    *milliseconds = static_cast<DWORD>(seconds) * 1000;
    return true;
}

struct SyncOptions {
    const wchar_t* user = nullptr;
    const wchar_t* password = nullptr;
    wchar_t folder[MAX_PATH] = {};
    bool once = false;
    DWORD timeout_ms = 0;  // 0: none given
    std::string host;
    uint16_t port = 0;
};

bool ParseSyncOptions(int argc, wchar_t** argv, SyncOptions* options)
{
    if (argc < 5)
        return false;
    options->user = argv[2];
    options->password = argv[3];
    if (GetFullPathNameW(argv[4], MAX_PATH, options->folder, nullptr) == 0)
        return false;
    size_t length = wcslen(options->folder);
    if (length > 3 && options->folder[length - 1] == L'\\')
        options->folder[length - 1] = L'\0';
    for (int i = 5; i < argc; ++i) {
        if (wcscmp(argv[i], L"--once") == 0) {
            options->once = true;
        } else if (wcscmp(argv[i], L"--server") == 0 && i + 1 < argc) {
            if (!ParseServer(argv[++i], &options->host, &options->port))
                return false;
        } else if (wcscmp(argv[i], L"--timeout") == 0 && i + 1 < argc) {
            if (!ParseSeconds(argv[++i], &options->timeout_ms))
                return false;
        } else {
            return false;
        }
    }
    if (options->once && options->timeout_ms == 0)
        options->timeout_ms = kOnceTimeoutMs;
    return true;
}

// The server the run talks to, as the messages name it.
std::wstring ServerText(const SyncOptions& options)
{
    if (!options.host.empty())
        return std::wstring(options.host.begin(), options.host.end()) + L", port " + std::to_wstring(options.port);
    return std::wstring(TAVO_SYNC_HOST_W) + L", ports 6666, 6766, …, 7566";
}

// The folder is made when its parent exists; anything else that is not a
// folder there is refused before any connection is made.
bool PrepareFolder(const wchar_t* folder)
{
    const DWORD attributes = GetFileAttributesW(folder);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return true;
        Print(L"the sync folder %s cannot be used: it is a file", folder);
        return false;
    }
    if (CreateDirectoryW(folder, nullptr)) {
        Print(L"created the sync folder %s", folder);
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_PATH_NOT_FOUND)
        Print(L"the sync folder %s cannot be used: it does not exist, and neither does the folder above it", folder);
    else
        Print(L"the sync folder %s cannot be used: it cannot be created (Windows error %lu)", folder, error);
    return false;
}

int ReportIncompatible(const SyncOptions& options)
{
    Print(L"the sync server at %s speaks another protocol version than this program; a current TavoTessel is at %s",
          ServerText(options).c_str(), TAVO_WEB_HOME_W);
    return Helper::ExitIncompatible;
}

// What a sign-on that did not succeed comes to.
int SignOnFailure(const SyncOptions& options, const Helper::CRunGuard& guard, int result)
{
    if (guard.Incompatible())
        return ReportIncompatible(options);
    const std::u16string refusal = Helper::SignOnRefusal(result, Helper::AsU16(options.user));
    if (!refusal.empty()) {
        Print(L"sign-on refused: %s", Helper::AsWide(refusal).data());
        return Helper::ExitRefused;
    }
    if (guard.IsOver()) {
        Print(L"stopped while signing on");
        return Helper::ExitUnfinished;
    }
    Print(L"the sync server at %s did not answer the sign-on (%s)", ServerText(options).c_str(),
          result == 0 ? L"no reply in time" : L"the connection was lost");
    return Helper::ExitUnreachable;
}

void PrintSpace(const wchar_t* user)
{
    const Helper::Quota quota = Helper::GetQuota();
    const std::u16string free = Helper::ReadableSize(quota.free);
    const std::u16string total = Helper::ReadableSize(quota.total);
    Print(L"signed on as %s: %s free of %s", user, Helper::AsWide(free).data(), Helper::AsWide(total).data());
}

int SignOn(const SyncOptions& options, Helper::CRunGuard& guard)
{
    wchar_t digest[64];
    if (!Net::MakePasswordDigest(options.password, digest, 64)) {
        Print(L"MD5 is not available on this system");
        return Helper::ExitUnreachable;
    }
    Net::StartMainConnection();
    guard.CutAgainIfOver();
    if (Net::IsMainLinkDown()) {
        Print(L"cannot reach the sync server at %s: nothing answered there", ServerText(options).c_str());
        return Helper::ExitUnreachable;
    }
    const int result = Net::SignOn(options.user, digest);
    if (result != Net::ResSignedOn)
        return SignOnFailure(options, guard, result);
    if (Net::AccountInfo() != Net::ResAccountSpace) {
        if (guard.Incompatible())
            return ReportIncompatible(options);
        Print(L"the sync server at %s gave no account information", ServerText(options).c_str());
        return Helper::ExitUnreachable;
    }
    Helper::AppContext& app = Helper::App();
    Helper::CopyBounded(app.user_name, options.user);
    Helper::CopyBounded(app.credential, digest);
    Helper::CopyBounded(app.sync_folder, options.folder);
    Helper::SetAppState(Helper::AppState::Synced);
    PrintSpace(options.user);
    return Helper::ExitDone;
}

// Waits until nothing is queued, showing the transfer in progress; false
// when the run is over first.
bool WaitForEmptyQueue(Sync::CSyncEngine& engine, const Helper::CRunGuard& guard, Helper::CProgressShow& progress)
{
    while (engine.QueueLength() > 0) {
        if (WaitForSingleObject(guard.Over(), kPollMs) == WAIT_OBJECT_0)
            return false;
        progress.Poll(engine);
    }
    return true;
}

// Syncs until a pass over the whole folder, every listing included, finds
// nothing to do while nothing runs, or until the run is over.
Helper::RunEnd WaitUntilQuiet(Sync::CSyncEngine& engine, const Helper::CRunGuard& guard,
                              Helper::CProgressShow& progress)
{
    Helper::RunEnd end;
    for (;;) {
        if (!WaitForEmptyQueue(engine, guard, progress) || !engine.IsRunning())
            return end;
        end.listed = engine.ScanFolder(nullptr) != Sync::ScanResult::Undecided;
        if (end.listed && engine.QueueLength() == 0) {
            end.quiet = true;
            return end;
        }
        if (guard.IsOver())
            return end;
        if (!end.listed && WaitForSingleObject(guard.Over(), kRelistPauseMs) == WAIT_OBJECT_0)
            return end;
    }
}

// Keeps the folder in sync until the run is over; quiet when nothing was
// left to do then.
Helper::RunEnd KeepInSync(Sync::CSyncEngine& engine, const Helper::CRunGuard& guard,
                          Helper::CProgressShow& progress)
{
    while (WaitForSingleObject(guard.Over(), kPollMs) == WAIT_TIMEOUT)
        progress.Poll(engine);
    Helper::RunEnd end;
    end.quiet = engine.QueueLength() == 0;
    return end;
}

// What the queue still holds, below the sync folder. The visit holds the
// engine's lock: the root is taken before it.
void PrintPending(Sync::CSyncEngine& engine)
{
    const std::wstring root = engine.Root() + L"\\";
    engine.VisitQueue([&root](const Sync::ISyncAction& action) {
        const wchar_t* path = action.local_path;
        if (_wcsnicmp(path, root.c_str(), root.size()) == 0)
            path += root.size();
        Print(L"pending  %-8s %s", KindName(action.kind), path);
    });
}

// Syncs the folder through the watcher and the engine until it is quiet
// (--once) or until the run is over.
Helper::RunEnd SyncFolder(const SyncOptions& options, Sync::CSyncEngine& engine, Helper::CRunGuard& guard)
{
    Sync::CDirWatcher watcher;
    watcher.Start();
    auto* syncer = new Sync::CDirSyncer(options.user, options.folder);
    if (!watcher.Watch(syncer, options.folder))
        delete syncer;
    const bool started = engine.WaitUntilStarted(std::min<DWORD>(30000, guard.Remaining()));
    guard.CutAgainIfOver();
    Helper::RunEnd end;
    if (started) {
        Print(L"syncing %s", options.folder);
        Helper::CProgressShow progress;
        end = options.once ? WaitUntilQuiet(engine, guard, progress) : KeepInSync(engine, guard, progress);
        Helper::Out().EndProgress();
    } else {
        Print(L"the sync of %s did not start", options.folder);
    }
    if (!end.quiet)
        PrintPending(engine);
    watcher.Stop();
    engine.Stop(5000);
    return end;
}

// Lists the items in conflict and in error and counts them into end.
void PrintProblems(Sync::CSyncEngine& engine, Helper::RunEnd* end)
{
    std::vector<Sync::SyncEntry> problems;
    std::shared_ptr<Sync::CSyncStateTable> table = engine.Table();
    if (table) {
        table->Collect(&problems, L"", Helper::Error);
        table->Collect(&problems, L"", Helper::Conflict);
    }
    for (const auto& e : problems) {
        Print(L"%-10s %s", StateName(e.state), e.path);
        (e.state == Helper::Conflict ? end->conflicts : end->errors)++;
    }
    if (end->conflicts > 0)
        Print(L"in conflict: this computer and the server each changed the item and each kept its own copy. "
              L"To keep both, rename the copy here and sync again: it goes up under the new name and the "
              L"server's copy comes down under the old one. To take the server's copy, delete the one here.");
}

void PrintEnd(const Helper::RunEnd& end, const Helper::CRunGuard& guard, const SyncOptions& options)
{
    switch (Helper::ExitCodeFor(end)) {
    case Helper::ExitIncompatible:
        ReportIncompatible(options);
        break;
    case Helper::ExitUnlisted:
        Print(L"not done: the server's listing of a folder never arrived whole (cut off, unreadable, "
              L"or the answer to another request)");
        break;
    case Helper::ExitUnfinished:
        Print(guard.TimedOut() ? L"stopped at the --timeout before everything was in agreement"
                               : L"stopped before everything was in agreement");
        break;
    default:
        break;
    }
}

int SyncSignedOn(const SyncOptions& options, Helper::CRunGuard& guard, DWORD started)
{
    Sync::CSyncEngine& engine = Sync::CSyncEngine::Instance();
    Helper::CRunReport report;
    engine.SetFinishedObserver([&](const Sync::ISyncAction& action) { report.Finished(action, engine); });
    Helper::RunEnd end = SyncFolder(options, engine, guard);
    engine.SetFinishedObserver(nullptr);
    end.incompatible = guard.Incompatible();

    PrintProblems(engine, &end);
    const int status = Helper::ExitCodeFor(end);
    const Helper::RunCounts counts = report.Counts();
    const bool done = status == Helper::ExitDone || status == Helper::ExitProblems;
    Helper::Out().Line(Helper::SummaryLine(counts, end.conflicts, end.errors, done));
    Helper::Out().Line(Helper::TransfersLine(counts));
    Print(L"time: %.1f s in all; %.1f s digests, %.1f s state saves, %.1f s network waits",
          (GetTickCount() - started) / 1000.0, Helper::TimeShareSeconds(Helper::TimeShare::Digests),
          Helper::TimeShareSeconds(Helper::TimeShare::StateSaves),
          Helper::TimeShareSeconds(Helper::TimeShare::NetworkWaits));
    PrintEnd(end, guard, options);
    if (guard.OpenForSignOff())
        Net::SignOff();
    return status;
}

int RunSync(const SyncOptions& options)
{
    const DWORD started = GetTickCount();
    if (!PrepareFolder(options.folder))
        return Helper::ExitFolder;
    Helper::CRunGuard guard(options.timeout_ms);
    if (!options.host.empty())
        Net::SetServerForTesting(options.host, {options.port});
    int status = SignOn(options, guard);
    if (status == Helper::ExitDone)
        status = SyncSignedOn(options, guard, started);
    Net::StopConnections();
    return status;
}

void Usage()
{
    Print(L"usage: TavoTesselSync sync USER PASSWORD FOLDER [--once] [--server HOST:PORT] [--timeout SECONDS]");
    Print(L"       TavoTesselSync state USER|STATE_FILE");
    Print(L"exit codes:");
    for (const Helper::ExitCodeText& text : Helper::ExitCodeTexts())
        Print(L"  %d  %s", text.code, Helper::AsWide(text.meaning).data());
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    SetConsoleOutputCP(CP_UTF8);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    Net::CSocketsStartup sockets;
    Helper::BindMd5();
    // Static, so that it outlives the engine's and the connection layer's
    // threads, which may still report while the process ends.
    static CConsoleHost host;
    Helper::SetAppHost(&host);
    Net::SessionHooks hooks;
    hooks.post_notice = OnSessionNotice;
    hooks.ask_for_new_version = DeclineNewVersion;
    hooks.open_url = OpenNoPage;
    Net::SetSessionHooks(hooks);

    int status = Helper::ExitUsage;
    if (argc == 3 && wcscmp(argv[1], L"state") == 0) {
        status = PrintStateFile(argv[2]);
    } else if (argc >= 2 && wcscmp(argv[1], L"sync") == 0) {
        SyncOptions options;
        if (ParseSyncOptions(argc, argv, &options))
            status = RunSync(options);
        else
            Usage();
    } else {
        Usage();
    }
    return status;
}
