// IsMemberOf as Explorer calls it, on the paths of a 10,000-entry state
// file: warm latency over 100,000 calls, and the time of the call that
// reloads the file after it changed. Prints figures; not a ctest test.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "common/tests/test_support.h"
#include "glint_test_support.h"

using namespace GlintTest;

namespace {

constexpr int kFolders = 100;
constexpr int kFilesPerFolder = 99;  // with the folders: 10,000 entries
constexpr int kCalls = 100000;
constexpr int kReloads = 20;
const wchar_t kUser[] = L"glint_bench";

std::string Name(const char* prefix, int i) { return prefix + std::to_string(i); }

std::string Body(int variant)
{
    std::string body;
    for (int d = 0; d < kFolders; ++d) {
        std::string files;
        for (int f = 0; f < kFilesPerFolder; ++f)
            files += FileElement(Name("file_", f) + ".txt", (d + f + variant) % 5);
        body += DirElement(Name("Folder_", d), 0, files);
    }
    return body;
}

double Percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

}  // namespace

int main()
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    Testing::CTempFolder bench_folder(L"GlintBench");
    const std::wstring folder = bench_folder.Path() + L"\\";
    SetAccountFolder(kUser, folder);
    std::string document = StateDocument(Body(0));
    WriteStateFile(kUser, document);
    WaitForNextAccountWindow();

    CRef<IShellIconOverlayIdentifier> overlay;
    MakeOverlay(2, &overlay);
    std::vector<std::wstring> paths;
    for (int d = 0; d < kFolders; ++d) {
        std::wstring dir = folder + L"Folder_" + std::to_wstring(d);
        paths.push_back(dir);
        for (int f = 0; f < kFilesPerFolder; ++f)
            paths.push_back(dir + L"\\file_" + std::to_wstring(f) + L".txt");
    }
    std::mt19937 random(7);
    std::uniform_int_distribution<size_t> pick(0, paths.size() - 1);

    for (int i = 0; i < 1000; ++i)
        overlay->IsMemberOf(paths[pick(random)].c_str(), 0);

    std::vector<double> latency;
    latency.reserve(kCalls);
    int claimed = 0;
    for (int i = 0; i < kCalls; ++i) {
        const std::wstring& path = paths[pick(random)];
        double start = NowMicroseconds();
        HRESULT result = overlay->IsMemberOf(path.c_str(), 0);
        latency.push_back(NowMicroseconds() - start);
        claimed += result == S_OK;
    }

    std::vector<double> reload;
    for (int i = 0; i < kReloads; ++i) {
        WriteStateFile(kUser, StateDocument(Body(i + 1)));
        double start = NowMicroseconds();
        overlay->IsMemberOf(paths[pick(random)].c_str(), 0);
        reload.push_back(NowMicroseconds() - start);
    }

    std::printf("state file: %d entries, %zu bytes\n", kFolders * (kFilesPerFolder + 1), document.size());
    std::printf("IsMemberOf warm, %d calls (%d claimed): median %.1f us, p99 %.1f us, max %.1f us\n", kCalls,
                claimed, Percentile(latency, 0.5), Percentile(latency, 0.99), Percentile(latency, 1.0));
    std::printf("IsMemberOf that reloads the changed file, %d runs: median %.2f ms, max %.2f ms\n", kReloads,
                Percentile(reload, 0.5) / 1000, Percentile(reload, 1.0) / 1000);

    overlay.Reset();
    DeleteAccount(kUser);
    DeleteFileW(StateFilePath(kUser).c_str());
    CoUninitialize();
    return 0;
}
