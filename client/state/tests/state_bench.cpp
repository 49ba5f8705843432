// Prints save and load times of state tables of growing size, and the
// memory one entry takes.
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "client/state/state_file.h"
#include "client/state/sync_state_table.h"
#include "common/registry_access.h"
#include "test_support.h"

namespace {

SIZE_T PrivateBytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof(counters));
    return counters.PagefileUsage;
}

double Millis(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The table's file with the given number of entries, twenty files to a
// folder, written once and with its digest stored, so that filling does not
// rewrite the file for every entry.
void WriteBenchFile(int entries, const std::wstring& file)
{
    const int per_folder = 20;
    Sync::CSyncStateTable table(L"benchuser", file.c_str());
    table.Clear();
    Sync::SyncNode root;
    for (int i = 0, id = 1; i < entries; ++id) {
        auto folder = std::make_unique<Sync::SyncNode>();
        folder->entry = StateTest::MakeFolder(id);
        folder->entry.name = L"folder " + std::to_wstring(id);
        Sync::SyncNode* f = Sync::AttachChild(&root, std::move(folder));
        ++i;
        for (int k = 0; k < per_folder && i < entries; ++k, ++i) {
            auto child = std::make_unique<Sync::SyncNode>();
            child->entry = StateTest::MakeFile(++id);
            child->entry.name = L"document number " + std::to_wstring(id) + L".txt";
            Sync::AttachChild(f, std::move(child));
        }
    }
    Sync::WriteStateFile(&root, file.c_str());
    char digest[33];
    Sync::StateFileDigest(file.c_str(), digest);
    Helper::WriteStateDigest(L"benchuser", digest);
}

void Run(int entries, const StateTest::CTempFolder& dir)
{
    using Clock = std::chrono::steady_clock;
    std::wstring file = dir / (L"bench" + std::to_wstring(entries) + L".user_cfg");
    WriteBenchFile(entries, file);
    SIZE_T before = PrivateBytes();
    auto t0 = Clock::now();
    auto table = std::make_unique<Sync::CSyncStateTable>(L"benchuser", file.c_str());
    double load_ms = Millis(Clock::now() - t0);
    SIZE_T after = PrivateBytes();
    Sync::SyncEntry e = StateTest::MakeFile(1);
    e.state = 2;
    const int rounds = entries >= 100000 ? 3 : 10;
    auto t1 = Clock::now();
    for (int r = 0; r < rounds; ++r) {
        e.state = r % 2;
        table->Update(&e, L"folder 1\\document number 2.txt");
    }
    const double save_ms = Millis(Clock::now() - t1) / rounds;
    table.reset();

    // The parts of one save and one load.
    Sync::SyncNode root;
    auto t2 = Clock::now();
    Sync::ReadStateFile(file.c_str(), &root);
    double parse_ms = Millis(Clock::now() - t2);
    auto t3 = Clock::now();
    Sync::WriteStateFile(&root, file.c_str());
    double write_ms = Millis(Clock::now() - t3);
    char digest[33];
    auto t4 = Clock::now();
    Sync::StateFileDigest(file.c_str(), digest);
    double digest_ms = Millis(Clock::now() - t4);
    std::printf("%7d entries: save %.2f ms (write %.2f, digest %.2f), load %.2f ms (parse %.2f), "
                "%.0f bytes/entry\n",
                entries, save_ms, write_ms, digest_ms, load_ms, parse_ms,
                double(after - before) / entries);
}

}  // namespace

int main()
{
    StateTest::CTempFolder dir;
    for (int n : {1000, 10000, 100000})
        Run(n, dir);
    return 0;
}
