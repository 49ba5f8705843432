// Figures of the tray program, printed, not judged. Runs in a Wine desktop
// against a reference server (tray_bench.py sets both up):
//   tray_bench startup [RUNS]   start-up to the tray icon and to Synced with
//                               a bound account, in ms
//   tray_bench idle [MINUTES]   the running program with nothing to do: CPU
//                               time per minute and private memory at the
//                               start and the end
//   tray_bench tick [TICKS]     the progress timer's tick in this process
//                               while an upload runs, in microseconds
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "client/app/tests/tray_harness.h"
#include "client/net/common_socket.h"
#include "client/net/request_manager.h"
#include "client/net/requests.h"
#include "client/net/session.h"
#include "client/shell/controller.h"
#include "client/shell/controller_parts.h"
#include "client/shell/tray_icon.h"
#include "client/sync/sync_engine.h"
#include "client/sync/transfer_meter.h"
#include "common/bounded_string.h"
#include "common/md5.h"
#include "common/tests/test_support.h"
#include "common/tray_contract.h"

namespace {

using Helper::TrayProbeRecord;

using TrayTest::IsSyncedRecord;
using TrayTest::kSignOnMs;

void EndProgram(TrayTest::CTrayProgram& program)
{
    PostMessageW(program.WaitForTrayWindow(5000), Helper::WM_TRAYNOTIFY, 0, Helper::TE_INCOMPATIBLE);
    DWORD code = 0;
    program.WaitForExit(30000, &code);
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Mean(const std::vector<double>& values)
{
    double sum = 0;
    for (double value : values)
        sum += value;
    return values.empty() ? 0 : sum / values.size();
}

// Microseconds of each call, a little apart.
template <typename Call>
std::vector<double> TimeTicks(int ticks, Call call)
{
    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> micros;
    for (int i = 0; i < ticks; ++i) {
        QueryPerformanceCounter(&before);
        call();
        QueryPerformanceCounter(&after);
        micros.push_back((after.QuadPart - before.QuadPart) * 1e6 / frequency.QuadPart);
        Sleep(10);
    }
    return micros;
}

int Startup(int runs)
{
    TrayTest::PrepareSettings();
    const std::wstring folder = TrayTest::ScenarioFolder(L"startup");
    TrayTest::StoreAccount(L"demo", L"demo123", folder.c_str());
    Testing::WriteFileBytes(folder + L"\\a.txt", "a file to agree on");
    Testing::CTrayProbe probe;
    std::vector<double> to_icon, to_synced;
    for (int run = 0; run < runs; ++run) {
        const LONG from = probe.Count();
        TrayTest::CTrayProgram program;
        const ULONGLONG started = GetTickCount64();
        if (!program.Start())
            return 1;
        const LONG added =
            probe.WaitFor([](const TrayProbeRecord& r) { return r.message == NIM_ADD; }, kSignOnMs, from);
        const LONG synced = probe.WaitFor(IsSyncedRecord, kSignOnMs, from);
        if (added < 0 || synced < 0) {
            std::printf("run %d: the program did not reach Synced\n", run + 1);
            return 1;
        }
        const auto records = probe.Records();
        const LONG first = probe.Count() - static_cast<LONG>(records.size());
        to_icon.push_back(static_cast<double>(records[added - first].tick_ms - started));
        to_synced.push_back(static_cast<double>(records[synced - first].tick_ms - started));
        std::printf("run %d: tray icon after %.0f ms, Synced after %.0f ms\n", run + 1, to_icon.back(),
                    to_synced.back());
        EndProgram(program);
    }
    std::printf("start-up (median of %d): tray icon %.0f ms, Synced %.0f ms\n", runs, Median(to_icon),
                Median(to_synced));
    return 0;
}

struct Usage {
    double cpu_ms = 0;
    double private_kib = 0;
};

// As Linux counts the Wine process: what GetProcessTimes and
// GetProcessMemoryInfo give for another process under Wine stays still.
Usage Measure()
{
    Usage usage;
    std::sscanf(TrayTest::AskHost("usage TavoTessel.exe").c_str(), "%lf %lf", &usage.cpu_ms, &usage.private_kib);
    return usage;
}

int Idle(int minutes)
{
    TrayTest::PrepareSettings();
    const std::wstring folder = TrayTest::ScenarioFolder(L"idle");
    TrayTest::StoreAccount(L"demo", L"demo123", folder.c_str());
    Testing::CTrayProbe probe;
    TrayTest::CTrayProgram program;
    if (!program.Start() || probe.WaitFor(IsSyncedRecord, kSignOnMs) < 0)
        return 1;
    // The first scan and its state file save are over before measuring.
    Sleep(15000);
    const Usage first = Measure();
    Usage last = first;
    std::printf("idle start: %.0f KiB anonymous memory, %.0f ms CPU so far\n", first.private_kib, first.cpu_ms);
    for (int minute = 1; minute <= minutes; ++minute) {
        Sleep(60000);
        const Usage now = Measure();
        std::printf("minute %2d: %.0f ms CPU (%.3f %% of one core), %.0f KiB anonymous memory\n", minute,
                    now.cpu_ms - last.cpu_ms, (now.cpu_ms - last.cpu_ms) / 600.0, now.private_kib);
        last = now;
    }
    std::printf("idle over %d minutes: %.1f ms CPU per minute (%.3f %% of one core); anonymous memory %.0f KiB at "
                "the start, %.0f KiB at the end\n",
                minutes, (last.cpu_ms - first.cpu_ms) / minutes, (last.cpu_ms - first.cpu_ms) / minutes / 600.0,
                first.private_kib, last.private_kib);
    EndProgram(program);
    return 0;
}

// An upload held slow by the upload limit, so that the tick finds a
// transfer to report.
bool StartSlowUpload(const std::wstring& folder)
{
    Helper::BindMd5();
    Net::StartMainConnection();
    wchar_t digest[64];
    if (!Net::MakePasswordDigest(L"demo123", digest, 64) || Net::SignOn(L"demo", digest) != Net::ResSignedOn ||
        Net::AccountInfo() != Net::ResAccountSpace) {
        std::printf("the bench could not sign on\n");
        return false;
    }
    Helper::AppContext& app = Helper::App();
    Helper::CopyBounded(app.user_name, L"demo");
    Helper::CopyBounded(app.credential, digest);
    Helper::CopyBounded(app.sync_folder, folder.c_str());
    Sync::SetUploadLimit(16);
    Testing::WriteFileBytes(folder + L"\\slow.bin", std::string(4 * 1024 * 1024, 's'));
    Helper::SetAppState(Helper::AppState::Synced);
    Sync::CSyncEngine::Instance().Start(L"demo", folder.c_str());
    Sync::SyncProgress progress;
    return Testing::WaitFor([&] { return Sync::CSyncEngine::Instance().GetProgress(&progress) && progress.total > 0; },
                            kSignOnMs);
}

int Tick(int ticks)
{
    const std::wstring folder = TrayTest::ScenarioFolder(L"tick");
    static Net::CSocketsStartup sockets;
    static Helper::CTrayWindowLock lock;
    static Helper::CController host;
    Helper::SetAppHost(&host);
    Helper::SetAppInstance(GetModuleHandleW(nullptr));
    Helper::MarkUiThread();
    if (!StartSlowUpload(folder)) {
        std::printf("no upload came to run\n");
        return 1;
    }
    Helper::SetAppState(Helper::AppState::Syncing);
    if (Helper::CreateTrayWindow() == nullptr)
        return 1;
    const std::vector<double> whole = TimeTicks(ticks, Helper::RefreshProgress);
    // The same without the hand-over to the shell: the texts and icon alone.
    const std::vector<double> texts = TimeTicks(ticks, [] {
        const Helper::AppState state = Helper::GetAppState();
        Helper::SetStateIcon(state);
        Helper::SetBalloon(static_cast<int>(state), state);
        Helper::SetTip(state);
    });
    std::printf("progress tick with an upload running (%d ticks): median %.0f us, mean %.0f us, max %.0f us; "
                "without the shell's part: median %.0f us\n",
                ticks, Median(whole), Mean(whole), *std::max_element(whole.begin(), whole.end()), Median(texts));
    Helper::DestroyTrayWindow();
    Sync::CSyncEngine::Instance().Stop(5000);
    Net::StopConnections();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring what = argc > 1 ? argv[1] : L"";
    const int count = argc > 2 ? _wtoi(argv[2]) : 0;
    int status = 2;
    if (what == L"startup")
        status = Startup(count > 0 ? count : 5);
    else if (what == L"idle")
        status = Idle(count > 0 ? count : 10);
    else if (what == L"tick")
        status = Tick(count > 0 ? count : 200);
    else
        std::printf("usage: tray_bench startup [RUNS] | idle [MINUTES] | tick [TICKS]\n");
    std::fflush(stdout);
    return status;
}
