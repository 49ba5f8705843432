// Prints the throughput of file digests against the raw read rate and the
// platform's MD5 on memory, and the cost of one scan pass over a synced
// tree against a local server with nothing to do.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "client/net/request_manager.h"
#include "client/net/requests.h"
#include "client/net/session_values.h"
#include "client/net/tests/test_peer.h"
#include "client/state/state_file.h"
#include "client/sync/file_utils.h"
#include "client/sync/sync_engine.h"
#include "client/sync/tests/sync_test_support.h"
#include "common/bounded_string.h"
#include "common/md5.h"
#include "common/registry_access.h"
#include "common/win_handle.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::wstring TempPath(const wchar_t* name)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + name;
}

bool WriteWhole(const std::wstring& path, const std::vector<char>& bytes)
{
    Helper::CFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    size_t done = 0;
    bool ok = true;
    while (ok && done < bytes.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        ok = WriteFile(file.Get(), bytes.data() + done, chunk, &written, nullptr) && written == chunk;
        done += chunk;
    }
    return ok;
}

double RawReadSeconds(const std::wstring& path)
{
    Helper::CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return 0;
    std::vector<char> block(32768);
    const auto t0 = Clock::now();
    DWORD read = 0;
    while (ReadFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr) && read > 0) {
    }
    return Seconds(Clock::now() - t0);
}

void DigestBench()
{
    constexpr size_t kSize = 256u << 20;
    const double mib = kSize / double(1 << 20);
    std::vector<char> bytes(kSize);
    for (size_t i = 0; i < kSize; ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::wstring path = TempPath(L"tavo-digest-bench.bin");
    if (!WriteWhole(path, bytes)) {
        std::printf("digest: could not write the test file\n");
        return;
    }

    // Once to warm the cache, so that the file figures compare reading
    // from memory with reading from memory.
    RawReadSeconds(path);
    const double raw = RawReadSeconds(path);

    Helper::DigestText digest;
    auto t0 = Clock::now();
    const bool ok = Helper::FileDigest(path.c_str(), digest);
    const double file_seconds = Seconds(Clock::now() - t0);

    Helper::Md5Context context{};
    t0 = Clock::now();
    Helper::Md5Init(&context);
    for (size_t done = 0; done < kSize; done += 32768)
        Helper::Md5Update(&context, bytes.data() + done, 32768);
    Helper::Md5Final(&context);
    const double memory_seconds = Seconds(Clock::now() - t0);

    std::printf("digest of a 256 MiB file: %s\n", ok ? digest : "failed");
    std::printf("  raw read (cached)   %8.1f MB/s\n", mib / raw);
    std::printf("  FileDigest          %8.1f MB/s\n", mib / file_seconds);
    std::printf("  platform MD5 memory %8.1f MB/s\n", mib / memory_seconds);
    std::printf("  FileDigest / MD5 on memory: %.0f%%\n", 100.0 * memory_seconds / file_seconds);
    DeleteFileW(path.c_str());
}

struct Tree {
    std::wstring root;
    std::vector<std::wstring> files;
    std::map<int32_t, Net::Bytes> listings;
};

constexpr int kFolders = 500;
constexpr int kFilesPerFolder = 20;

std::string Hex(const char (&digest)[33]) { return std::string(digest, 32); }

// One file of the tree: on disk, in the state table under its folder and
// in the server's listing of that folder.
bool AddFile(Tree* tree, Sync::SyncNode* folder_node, const std::wstring& folder_path, int32_t file_id,
             const std::string& name, std::vector<SyncTest::ServerRecord>* listing)
{
    std::vector<char> content(2048);
    const std::wstring wide(name.begin(), name.end());
    const std::wstring path = folder_path + L"\\" + wide;
    std::snprintf(content.data(), content.size(), "file %d", file_id);
    if (!WriteWhole(path, content))
        return false;
    char digest[33];
    Helper::Md5Hex(content.data(), content.size(), digest);
    WIN32_FIND_DATAW found{};
    Helper::FindItem(&found, path.c_str());

    auto file = std::make_unique<Sync::SyncNode>();
    file->entry.id = file_id;
    file->entry.parent_id = folder_node->entry.id;
    file->entry.name = wide;
    file->entry.size = content.size();
    file->entry.update_time = 1;
    file->entry.is_file = 1;
    file->entry.local_modified = Sync::LocalTime(found);
    std::memcpy(file->entry.md5, digest, 32);
    Sync::AttachChild(folder_node, std::move(file));

    SyncTest::ServerRecord record = SyncTest::FileSpec(file_id, folder_node->entry.id, name, std::string(), 1);
    record.md5 = Hex(digest);
    record.size = content.size();
    record.address = "http://127.0.0.1/" + std::to_string(file_id);
    listing->push_back(record);
    tree->files.push_back(path);
    return true;
}

// The state file of the tree, with its digest where the table looks.
bool SaveState(const Sync::SyncNode& root, const wchar_t* user)
{
    wchar_t state_file[Sync::kPathCapacity];
    Sync::StateFilePathFor(user, state_file);
    if (!Sync::WriteStateFile(&root, state_file))
        return false;
    char digest[33];
    Sync::StateFileDigest(state_file, digest);
    Helper::WriteStateDigest(user, digest);
    return true;
}

// Builds the folders and files on disk, the matching state file and the
// server's listings.
bool BuildTree(Tree* tree, const wchar_t* user)
{
    tree->root = TempPath(L"tavo-scan-bench");
    Helper::DeletePath(tree->root.c_str());
    CreateDirectoryW(tree->root.c_str(), nullptr);
    Sync::SyncNode root;
    std::vector<SyncTest::ServerRecord> top;
    int32_t id = 1;
    for (int f = 0; f < kFolders; ++f) {
        const int32_t folder_id = ++id;
        const std::string folder_name = "folder " + std::to_string(f);
        const std::wstring folder_wide(folder_name.begin(), folder_name.end());
        const std::wstring folder_path = tree->root + L"\\" + folder_wide;
        CreateDirectoryW(folder_path.c_str(), nullptr);
        top.push_back(SyncTest::FolderSpec(folder_id, 0, folder_name, 1));

        auto folder = std::make_unique<Sync::SyncNode>();
        folder->entry.id = folder_id;
        folder->entry.name = folder_wide;
        folder->entry.update_time = 1;
        Sync::SyncNode* folder_node = Sync::AttachChild(&root, std::move(folder));

        std::vector<SyncTest::ServerRecord> inside;
        for (int k = 0; k < kFilesPerFolder; ++k) {
            if (!AddFile(tree, folder_node, folder_path, ++id, "document " + std::to_string(k) + ".txt", &inside))
                return false;
        }
        tree->listings[folder_id] = WireTest::MakeListing(inside);
    }
    tree->listings[0] = WireTest::MakeListing(top);
    return SaveState(root, user);
}

// Times one scan pass over the tree and, for scale, the parts it is made
// of on their own.
void TimeScanPass(Sync::CSyncEngine& engine, const Tree& tree)
{
    auto t0 = Clock::now();
    const bool changed = engine.ScanFolder(nullptr) != Sync::ScanResult::Agreed;
    const double scan = Seconds(Clock::now() - t0);

    t0 = Clock::now();
    Helper::DigestText digest;
    for (const std::wstring& path : tree.files)
        Helper::FileDigest(path.c_str(), digest);
    const double digests = Seconds(Clock::now() - t0);

    t0 = Clock::now();
    std::vector<Net::RemoteEntry> entries;
    for (const auto& listing : tree.listings)
        Net::ListFolder(listing.first, &entries);
    const double requests = Seconds(Clock::now() - t0);

    t0 = Clock::now();
    Sync::SyncEntry record;
    std::wstring key;
    for (const std::wstring& path : tree.files)
        if (engine.KeyOf(path.c_str(), &key))
            engine.Table()->Find(key.c_str(), &record);
    const double lookups = Seconds(Clock::now() - t0);

    t0 = Clock::now();
    WIN32_FIND_DATAW found;
    for (const std::wstring& path : tree.files)
        Helper::FindItem(&found, path.c_str());
    const double finds = Seconds(Clock::now() - t0);

    std::printf("scan pass: %.2f s, %s, %zu queued\n", scan, changed ? "changed" : "nothing to do",
                engine.QueueLength());
    std::printf("  digests of all files alone: %.2f s (%.0f%% of the pass)\n", digests, 100.0 * digests / scan);
    std::printf("  %zu listings alone:          %.2f s (%.0f%% of the pass)\n", tree.listings.size(), requests,
                100.0 * requests / scan);
    std::printf("  record lookups alone:        %.2f s (%.0f%% of the pass)\n", lookups, 100.0 * lookups / scan);
    std::printf("  (one FindFirstFileW per file: %.2f s, for scale)\n", finds);
}

void ScanBench()
{
    const wchar_t* user = L"scanbench";
    Tree tree;
    const auto t0 = Clock::now();
    if (!BuildTree(&tree, user)) {
        std::printf("scan: could not build the tree\n");
        return;
    }
    std::printf("scan tree: %d folders, %zu files, built in %.1f s\n", kFolders, tree.files.size(),
                Seconds(Clock::now() - t0));

    NetTest::CTestPeer peer([&](NetTest::CTestPeer& p, const NetTest::PeerRequest& request) {
        if (request.command != Net::CmdListFolder || request.packet.size() < 30)
            return;
        auto found = tree.listings.find(static_cast<int32_t>(Net::ReadU32(&request.packet[26])));
        p.Answer(request, Net::ResFolderListed,
                 found != tree.listings.end() ? found->second : WireTest::MakeListing({}));
    });
    Net::SetServerForTesting("127.0.0.1", {peer.Port()});
    Net::StartMainConnection();
    Net::AccountSpace space;
    space.total = space.free = 1ull << 40;
    Net::StoreAccountSpace(space);
    {
        Sync::CSyncEngine engine;
        Sync::EngineTiming timing;
        timing.workers = false;
        engine.SetTimingForTesting(timing);
        engine.Start(user, tree.root.c_str());
        engine.WaitUntilStarted(60000);
        TimeScanPass(engine, tree);
        engine.Stop(INFINITE);
    }
    Net::StopConnections();
    Helper::DeletePath(tree.root.c_str());
}

}  // namespace

int main()
{
    if (!Helper::BindMd5()) {
        std::printf("MD5 functions are not available\n");
        return 1;
    }
    DigestBench();
    ScanBench();
    return 0;
}
