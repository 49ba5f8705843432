#include <gtest/gtest.h>

#include <windows.h>

#include <cstddef>
#include <cstring>
#include <mutex>
#include <tuple>
#include <string>
#include <vector>

#include "client/state/dir_watcher.h"
#include "common/win_handle.h"
#include "test_support.h"

using Sync::CDirWatcher;

namespace {

struct Change {
    int kind;
    std::wstring name;
    std::wstring new_name;
};

class CRecordingListener : public Sync::IPathChangeListener {
public:
    CRecordingListener(std::vector<Change>* changes, std::mutex* mutex, HANDLE signal, bool* deleted)
        : changes_(changes), mutex_(mutex), signal_(signal), deleted_(deleted) {}
    ~CRecordingListener() override { *deleted_ = true; }

    void OnPathChanged(int kind, const wchar_t* name, DWORD name_bytes, const wchar_t* new_name,
                       DWORD new_name_bytes) override
    {
        {
            std::lock_guard<std::mutex> lock(*mutex_);
            changes_->push_back({kind, std::wstring(name, name_bytes / 2),
                                 new_name ? std::wstring(new_name, new_name_bytes / 2) : std::wstring()});
            SetEvent(signal_);
        }
        if (hold_ != nullptr)
            WaitForSingleObject(hold_, 5000);
    }

    // While the event is unset, each report keeps the watcher's thread in
    // the listener after signalling, as a slow engine would.
    void HoldUntil(HANDLE event) { hold_ = event; }

private:
    std::vector<Change>* changes_;
    std::mutex* mutex_;
    HANDLE signal_;
    bool* deleted_;
    HANDLE hold_ = nullptr;
};

class DirWatcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        signal_ = Helper::MakeEvent(false);
        release_ = Helper::MakeEvent(true);
        ASSERT_TRUE(watcher_.Start());
        listener_ = new CRecordingListener(&changes_, &mutex_, signal_.Get(), &deleted_);
        ASSERT_TRUE(watcher_.Watch(listener_, dir_.Path().c_str()));
    }
    void TearDown() override
    {
        SetEvent(release_.Get());
        watcher_.Stop();
    }

    // Waits on the listener's signal until a change satisfying the predicate
    // arrived, or 5 s passed.
    template <typename Pred>
    bool WaitForChange(Pred pred)
    {
        DWORD deadline = GetTickCount() + 5000;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                for (const auto& c : changes_) {
                    if (pred(c))
                        return true;
                }
            }
            LONG left = static_cast<LONG>(deadline - GetTickCount());
            if (left <= 0)
                return false;
            WaitForSingleObject(signal_.Get(), static_cast<DWORD>(left));
        }
    }

    std::string Dump()
    {
        std::string out;
        for (const auto& c : Snapshot()) {
            out += std::to_string(c.kind) + ":";
            for (wchar_t ch : c.name) out += char(ch);
            out += "->";
            for (wchar_t ch : c.new_name) out += char(ch);
            out += " ";
        }
        return out;
    }

    std::vector<Change> Snapshot()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return changes_;
    }

    StateTest::CTempFolder dir_;
    CDirWatcher watcher_;
    std::vector<Change> changes_;
    std::mutex mutex_;
    Helper::CHandle signal_;
    Helper::CHandle release_;
    bool deleted_ = false;
    CRecordingListener* listener_ = nullptr;
};

}  // namespace

// The folder is made during the watch and its report awaited: Wine reports
// nothing inside a subfolder that was there before the watch, and can miss
// a file made in a new one before it reported the folder. The file is
// written while the listener still handles the folder's report, and is
// reported all the same.
TEST_F(DirWatcher, ReportsAddsInSubfoldersRelativeToTheWatchedFolder)
{
    listener_->HoldUntil(release_.Get());
    ASSERT_TRUE(CreateDirectoryW((dir_ / L"sub").c_str(), nullptr));
    ASSERT_TRUE(WaitForChange([](const Change& c) { return c.kind == Sync::PathAdded && c.name == L"sub"; }));
    StateTest::WriteFileBytes(dir_ / L"sub\\f.txt", "hello");
    SetEvent(release_.Get());
    EXPECT_TRUE(WaitForChange([](const Change& c) { return c.kind == Sync::PathAdded && c.name == L"sub\\f.txt"; }))
        << Dump();
}

TEST_F(DirWatcher, ReportsRenamesAndRemovals)
{
    // The file exists before the watch, so that the rename happens while a
    // read is pending: Wine drops changes made between two reads.
    watcher_.Unwatch();
    StateTest::WriteFileBytes(dir_ / L"a.txt", "x");
    ASSERT_TRUE(watcher_.Watch(new CRecordingListener(&changes_, &mutex_, signal_.Get(), &deleted_),
                               dir_.Path().c_str()));
    ASSERT_TRUE(MoveFileW((dir_ / L"a.txt").c_str(), (dir_ / L"b.txt").c_str()));
    // Wine delivers the old name of a rename and loses the new one.
    EXPECT_TRUE(WaitForChange([](const Change& c) {
        return (c.kind == Sync::PathRenamed || c.kind == Sync::PathRenamedAway) && c.name == L"a.txt";
    })) << Dump();
    ASSERT_TRUE(DeleteFileW((dir_ / L"b.txt").c_str()));
    EXPECT_TRUE(WaitForChange([](const Change& c) { return c.kind == Sync::PathRemoved && c.name == L"b.txt"; }))
        << Dump();
}

namespace {

// Builds a batch of change records as the system lays them out.
class CBatch {
public:
    CBatch& Add(DWORD action, const std::wstring& name)
    {
        DWORD at = static_cast<DWORD>(bytes_.size());
        if (last_ != ~0u)
            reinterpret_cast<FILE_NOTIFY_INFORMATION*>(&bytes_[last_])->NextEntryOffset = at - last_;
        DWORD size = (offsetof(FILE_NOTIFY_INFORMATION, FileName) + name.size() * 2 + 3) & ~3u;
        bytes_.resize(at + size);
        auto* record = reinterpret_cast<FILE_NOTIFY_INFORMATION*>(&bytes_[at]);
        record->Action = action;
        record->FileNameLength = static_cast<DWORD>(name.size() * 2);
        std::memcpy(record->FileName, name.data(), name.size() * 2);
        last_ = at;
        return *this;
    }
    std::vector<Change> Deliver(DWORD bytes = ~0u)
    {
        std::vector<Change> changes;
        std::mutex mutex;
        bool deleted = false;
        Helper::CHandle signal = Helper::MakeEvent(false);
        {
            CRecordingListener listener(&changes, &mutex, signal.Get(), &deleted);
            alignas(DWORD) BYTE buffer[CDirWatcher::kBufferSize] = {};
            std::memcpy(buffer, bytes_.data(), std::min<size_t>(bytes_.size(), sizeof(buffer)));
            Sync::DeliverChanges(buffer, bytes == ~0u ? static_cast<DWORD>(bytes_.size()) : bytes, &listener);
        }
        return changes;
    }

private:
    std::vector<BYTE> bytes_;
    DWORD last_ = ~0u;
};

std::vector<std::tuple<int, std::wstring, std::wstring>> Flat(const std::vector<Change>& changes)
{
    std::vector<std::tuple<int, std::wstring, std::wstring>> out;
    for (const auto& c : changes)
        out.emplace_back(c.kind, c.name, c.new_name);
    return out;
}

using Flattened = std::vector<std::tuple<int, std::wstring, std::wstring>>;

}  // namespace

TEST(DirWatcherBatch, CollapsesRepeatedModificationsAndPairsRenames)
{
    auto changes = CBatch()
                       .Add(FILE_ACTION_MODIFIED, L"doc.txt")
                       .Add(FILE_ACTION_MODIFIED, L"doc.txt")
                       .Add(FILE_ACTION_MODIFIED, L"doc.txt")
                       .Add(FILE_ACTION_MODIFIED, L"other.txt")
                       .Add(FILE_ACTION_MODIFIED, L"doc.txt")
                       .Add(FILE_ACTION_RENAMED_OLD_NAME, L"a.txt")
                       .Add(FILE_ACTION_RENAMED_NEW_NAME, L"b.txt")
                       .Add(FILE_ACTION_ADDED, L"sub\f.txt")
                       .Add(FILE_ACTION_REMOVED, L"gone")
                       .Deliver();
    EXPECT_EQ(Flat(changes), (Flattened{{Sync::PathModified, L"doc.txt", L""},
                                        {Sync::PathModified, L"other.txt", L""},
                                        {Sync::PathModified, L"doc.txt", L""},
                                        {Sync::PathRenamed, L"a.txt", L"b.txt"},
                                        {Sync::PathAdded, L"sub\f.txt", L""},
                                        {Sync::PathRemoved, L"gone", L""}}));
}

// The listener learns that a half came alone, so that it can look for the
// other one itself.
TEST(DirWatcherBatch, RenameHalvesApartAreReportedAsHalves)
{
    EXPECT_EQ(Flat(CBatch().Add(FILE_ACTION_RENAMED_OLD_NAME, L"a.txt").Deliver()),
              (Flattened{{Sync::PathRenamedAway, L"a.txt", L""}}));
    EXPECT_EQ(Flat(CBatch().Add(FILE_ACTION_RENAMED_NEW_NAME, L"b.txt").Deliver()),
              (Flattened{{Sync::PathRenamedHere, L"b.txt", L""}}));
    EXPECT_EQ(Flat(CBatch()
                       .Add(FILE_ACTION_RENAMED_OLD_NAME, L"a.txt")
                       .Add(FILE_ACTION_MODIFIED, L"c.txt")
                       .Add(FILE_ACTION_RENAMED_NEW_NAME, L"b.txt")
                       .Deliver()),
              (Flattened{{Sync::PathRenamedAway, L"a.txt", L""},
                         {Sync::PathModified, L"c.txt", L""},
                         {Sync::PathRenamedHere, L"b.txt", L""}}));
}

TEST(DirWatcherBatch, LostOrDamagedBatchesReportNothingBeyondThem)
{
    CBatch batch;
    batch.Add(FILE_ACTION_ADDED, L"x").Add(FILE_ACTION_ADDED, L"y");
    EXPECT_TRUE(batch.Deliver(0).empty());
    // Only the records that lie wholly within the bytes written count.
    EXPECT_EQ(Flat(batch.Deliver(20)), (Flattened{{Sync::PathAdded, L"x", L""}}));
    EXPECT_EQ(Flat(CBatch().Add(99, L"x").Add(FILE_ACTION_ADDED, L"y").Deliver()), Flattened{});
}

TEST_F(DirWatcher, UnwatchDeletesTheListenerAndStopsReporting)
{
    watcher_.Unwatch();
    EXPECT_TRUE(deleted_);
    StateTest::WriteFileBytes(dir_ / L"late.txt", "x");
    // A fresh watch on the same folder sees only what happens after it.
    bool second_deleted = false;
    std::vector<Change> second;
    std::mutex second_mutex;
    auto* listener = new CRecordingListener(&second, &second_mutex, signal_.Get(), &second_deleted);
    ASSERT_TRUE(watcher_.Watch(listener, dir_.Path().c_str()));
    StateTest::WriteFileBytes(dir_ / L"fresh.txt", "x");
    DWORD deadline = GetTickCount() + 5000;
    bool seen = false;
    while (!seen && static_cast<LONG>(deadline - GetTickCount()) > 0) {
        WaitForSingleObject(signal_.Get(), 100);
        std::lock_guard<std::mutex> lock(second_mutex);
        for (const auto& c : second)
            seen = seen || c.name == L"fresh.txt";
    }
    EXPECT_TRUE(seen);
    EXPECT_TRUE(Snapshot().empty());
    watcher_.Unwatch();
    EXPECT_TRUE(second_deleted);
}

TEST(DirWatcherLifecycle, WatchFailsForAMissingFolderAndLeavesTheListenerToTheCaller)
{
    CDirWatcher watcher;
    bool deleted = false;
    std::vector<Change> changes;
    std::mutex mutex;
    auto listener = std::make_unique<CRecordingListener>(&changes, &mutex, nullptr, &deleted);
    EXPECT_FALSE(watcher.Watch(listener.get(), L"C:\\no\\such\\folder"));
    ASSERT_TRUE(watcher.Start());
    EXPECT_FALSE(watcher.Watch(listener.get(), L"C:\\no\\such\\folder"));
    EXPECT_FALSE(watcher.Watch(nullptr, L"C:\\"));
    watcher.Stop();
    EXPECT_FALSE(deleted);
}
