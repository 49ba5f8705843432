// TavoTesselSync: the headless companion of the tray client, for scripts,
// diagnostics and tests. It runs the same engine, state and protocol code.
//
//   TavoTesselSync sync USER PASSWORD FOLDER [--once] [--server HOST:PORT] [--timeout SECONDS]
//   TavoTesselSync state STATE_FILE
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "client/net/common_socket.h"
#include "client/net/request_manager.h"
#include "client/net/requests.h"
#include "client/net/session.h"
#include "client/shell/app_state.h"
#include "client/state/dir_watcher.h"
#include "client/state/state_file.h"
#include "client/sync/dir_syncer.h"
#include "client/sync/sync_engine.h"
#include "common/bounded_string.h"
#include "common/file_sync_state.h"
#include "common/md5.h"
#include "common/time_share.h"
#include "common/utf.h"
#include "common/win_handle.h"

namespace {

enum ExitCode {
    ExitOk = 0,
    ExitUsage = 1,
    ExitRefused = 2,
    ExitNetwork = 3,
    ExitFolder = 4,
    ExitUnfinished = 5,
};

// The console has no tray to refresh: a state change needs no reaction.
class CConsoleHost : public Helper::CAppStateHost {
public:
    void RefreshForState(Helper::AppState) override {}
};

Helper::CHandle g_interrupt;

BOOL WINAPI OnConsoleControl(DWORD)
{
    SetEvent(g_interrupt.Get());
    return TRUE;
}

void Print(const wchar_t* format, ...)
{
    wchar_t line[1024];
    va_list args;
    va_start(args, format);
    Helper::FormatBoundedV(line, 1024, format, args);
    va_end(args);
    std::fputs(Helper::Utf16ToUtf8(Helper::AsU16(line)).c_str(), stdout);
    std::fputs("\n", stdout);
    std::fflush(stdout);
}

const wchar_t* StateName(uint32_t state)
{
    static const wchar_t* const names[] = {L"synced", L"not-synced", L"syncing", L"error", L"conflict",
                                           L"untracked"};
    return state < 6 ? names[state] : L"?";
}

const wchar_t* KindName(int32_t kind)
{
    static const wchar_t* const names[] = {L"none", L"download", L"upload", L"agreed", L"error", L"conflict"};
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

int PrintStateFile(const wchar_t* path)
{
    Sync::SyncNode root;
    if (!Sync::ReadStateFile(path, &root)) {
        Print(L"cannot read the state file %s", path);
        return ExitUsage;
    }
    std::map<uint32_t, int> counts;
    PrintEntries(root, &counts);
    Print(L"%d synced, %d syncing, %d error, %d conflict", counts[0], counts[2], counts[3], counts[4]);
    return ExitOk;
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

struct SyncOptions {
    const wchar_t* user = nullptr;
    const wchar_t* password = nullptr;
    wchar_t folder[MAX_PATH] = {};
    bool once = false;
    DWORD timeout_ms = 600000;
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
            options->timeout_ms = static_cast<DWORD>(_wtoi(argv[++i])) * 1000;
        } else {
            return false;
        }
    }
    return true;
}

int SignOn(const SyncOptions& options)
{
    wchar_t digest[64];
    if (!Net::MakePasswordDigest(options.password, digest, 64)) {
        Print(L"MD5 is not available on this system");
        return ExitNetwork;
    }
    int result = Net::SignOn(options.user, digest);
    if (result >= Net::ResUnknownUser && result <= Net::ResBadSignOn) {
        Print(L"sign-on refused by the server (%d)", result);
        return ExitRefused;
    }
    if (result != Net::ResSignedOn) {
        Print(L"cannot reach the sync server (%d)", result);
        return ExitNetwork;
    }
    if (Net::AccountInfo() != Net::ResAccountSpace) {
        Print(L"the server gave no account information");
        return ExitNetwork;
    }
    Helper::AppContext& app = Helper::App();
    Helper::CopyBounded(app.user_name, options.user);
    Helper::CopyBounded(app.credential, digest);
    Helper::CopyBounded(app.sync_folder, options.folder);
    Helper::SetAppState(Helper::AppState::Synced);
    Helper::Quota quota = Helper::GetQuota();
    Print(L"signed on as %s: %I64u of %I64u bytes free", options.user, quota.free, quota.total);
    return ExitOk;
}

// One quiet pass: a full scan that queues nothing while nothing runs.
bool WaitUntilQuiet(Sync::CSyncEngine& engine, DWORD deadline)
{
    for (;;) {
        while (engine.QueueLength() > 0) {
            if (static_cast<LONG>(deadline - GetTickCount()) <= 0 ||
                WaitForSingleObject(g_interrupt.Get(), 100) == WAIT_OBJECT_0)
                return false;
        }
        if (!engine.IsRunning())
            return false;
        // A scan that finds nothing to change queues nothing. Interrupted
        // items were resumed by the engine's own first pass.
        engine.ScanFolder(nullptr);
        if (engine.QueueLength() == 0)
            return true;
    }
}

int Summarize(Sync::CSyncEngine& engine, const std::map<int32_t, int>& done, double elapsed_seconds)
{
    std::vector<Sync::SyncEntry> problems;
    std::shared_ptr<Sync::CSyncStateTable> table = engine.Table();
    if (table) {
        table->Collect(&problems, L"", Helper::Error);
        table->Collect(&problems, L"", Helper::Conflict);
    }
    auto count = [&](int32_t kind) {
        auto it = done.find(kind);
        return it == done.end() ? 0 : it->second;
    };
    for (const auto& e : problems)
        Print(L"%-10s %s", StateName(e.state), e.path);
    Print(L"done: %d uploaded, %d downloaded, %d agreed, %d in error, %d in conflict",
          count(Sync::KindUpload), count(Sync::KindDownload), count(Sync::KindVersionInfo),
          static_cast<int>(std::count_if(problems.begin(), problems.end(),
                                         [](const Sync::SyncEntry& e) { return e.state == Helper::Error; })),
          static_cast<int>(std::count_if(problems.begin(), problems.end(), [](const Sync::SyncEntry& e) {
              return e.state == Helper::Conflict;
          })));
    Print(L"time: %.1f s in all; %.1f s digests, %.1f s state saves, %.1f s network waits", elapsed_seconds,
          Helper::TimeShareSeconds(Helper::TimeShare::Digests), Helper::TimeShareSeconds(Helper::TimeShare::StateSaves),
          Helper::TimeShareSeconds(Helper::TimeShare::NetworkWaits));
    return ExitOk;
}

// The folder is created when its parent exists; anything else that is not
// a folder there is refused.
bool PrepareFolder(const wchar_t* folder)
{
    CreateDirectoryW(folder, nullptr);
    const DWORD attributes = GetFileAttributesW(folder);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Syncs the folder through the watcher and the engine until it is quiet
// (--once) or until interrupted; false when it stopped before agreement.
bool SyncFolder(const SyncOptions& options, Sync::CSyncEngine& engine)
{
    Sync::CDirWatcher watcher;
    watcher.Start();
    auto* syncer = new Sync::CDirSyncer(options.user, options.folder);
    if (!watcher.Watch(syncer, options.folder))
        delete syncer;
    engine.WaitUntilStarted(30000);
    Print(L"syncing %s", options.folder);

    bool quiet = true;
    if (options.once)
        quiet = WaitUntilQuiet(engine, GetTickCount() + options.timeout_ms);
    else
        WaitForSingleObject(g_interrupt.Get(), INFINITE);

    if (!quiet) {
        engine.VisitQueue([](const Sync::ISyncAction& action) {
            Print(L"pending  %-8s %s", KindName(action.kind), action.local_path);
        });
    }
    watcher.Stop();
    engine.Stop(5000);
    return quiet;
}

int RunSync(const SyncOptions& options)
{
    const DWORD started = GetTickCount();
    if (!options.host.empty())
        Net::SetServerForTesting(options.host, {options.port});
    Net::StartMainConnection();
    int status = SignOn(options);
    if (status != ExitOk)
        return status;
    if (!PrepareFolder(options.folder)) {
        Print(L"the sync folder %s cannot be used", options.folder);
        return ExitFolder;
    }

    Sync::CSyncEngine& engine = Sync::CSyncEngine::Instance();
    std::map<int32_t, int> done;
    std::mutex done_lock;
    engine.SetFinishedObserver([&](const Sync::ISyncAction& action) {
        {
            std::lock_guard<std::mutex> hold(done_lock);
            done[action.kind]++;
        }
        Print(L"%-8s %s", KindName(action.kind), action.local_path);
    });
    const bool quiet = SyncFolder(options, engine);
    status = Summarize(engine, done, (GetTickCount() - started) / 1000.0);
    engine.SetFinishedObserver(nullptr);
    Net::SignOff();
    Net::StopConnections();
    if (!quiet) {
        Print(L"stopped before everything was in agreement");
        return ExitUnfinished;
    }
    return status;
}

void Usage()
{
    Print(L"usage: TavoTesselSync sync USER PASSWORD FOLDER [--once] [--server HOST:PORT] [--timeout SECONDS]");
    Print(L"       TavoTesselSync state STATE_FILE");
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    g_interrupt = Helper::MakeEvent(true);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    Net::CSocketsStartup sockets;
    Helper::BindMd5();
    // Static, so that it outlives the engine's and the connection layer's
    // threads, which may still report while the process ends.
    static CConsoleHost host;
    Helper::SetAppHost(&host);

    int status = ExitUsage;
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
