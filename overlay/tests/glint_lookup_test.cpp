#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "client/state/state_file.h"
#include "client/state/sync_state_table.h"
#include "common/file_sync_state.h"
#include "common/tests/test_support.h"
#include "common/win_handle.h"
#include "glint_test_support.h"

using namespace GlintTest;

namespace {

constexpr int kNone = 0;
constexpr int kSynced = Bit(Helper::Synced);
constexpr int kNotSynced = Bit(Helper::NotSynced);
constexpr int kSyncing = Bit(Helper::Syncing);
constexpr int kError = Bit(Helper::Error);
constexpr int kConflict = Bit(Helper::Conflict);

// One account per test, all registered once: the overlay reads the account
// list at most once per 1024-ms window, and never forgets an account while
// it is loaded.
struct Account {
    const wchar_t* user;
    std::wstring folder;  // as the lookups spell it: no trailing backslash
};

enum AccountIndex {
    kCaseAndSlash,
    kTempRule,
    kPropagation,
    kRejected,
    kRewrite,
    kDeleted,
    kLocked,
    kHuge,
    kClientWriter,
    kThreads,
    kExpandSz,
    kMoved,
    kAccountCount
};

Account g_accounts[kAccountCount];
std::unique_ptr<Testing::CTempFolder> g_folders[kAccountCount];

class GlintLookup : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        const wchar_t* names[kAccountCount] = {L"glint_case", L"glint_temp", L"glint_prop", L"glint_reject",
                                               L"glint_rewrite", L"glint_deleted", L"glint_locked", L"glint_huge",
                                               L"glint_client", L"glint_threads", L"glint_expand", L"glint_moved"};
        for (int i = 0; i < kAccountCount; ++i) {
            g_folders[i] = std::make_unique<Testing::CTempFolder>(L"GlintSync");
            g_accounts[i] = {names[i], g_folders[i]->Path()};
            DeleteFileW(StateFilePath(names[i]).c_str());
            // The registered value keeps its trailing backslash and its case.
            SetAccountFolder(names[i], g_folders[i]->Path() + L"\\", i == kExpandSz ? REG_EXPAND_SZ : REG_SZ);
        }
        WaitForNextAccountWindow();
    }

    static void TearDownTestSuite()
    {
        for (const Account& account : g_accounts) {
            DeleteAccount(account.user);
            DeleteFileW(StateFilePath(account.user).c_str());
        }
        for (auto& folder : g_folders)
            folder.reset();
    }

    static std::wstring In(AccountIndex index, const std::wstring& below = L"")
    {
        return below.empty() ? g_accounts[index].folder : g_accounts[index].folder + L"\\" + below;
    }
    static void Write(AccountIndex index, const std::string& body)
    {
        WriteStateFile(g_accounts[index].user, StateDocument(body));
    }
};

std::wstring Upper(std::wstring text)
{
    for (wchar_t& c : text)
        c = towupper(c);
    return text;
}

TEST_F(GlintLookup, FolderWithTrailingBackslashMatchesAnyCase)
{
    Write(kCaseAndSlash, FileElement("A.txt", 0) + FileElement("b.txt", 2));
    EXPECT_EQ(Badges(Upper(In(kCaseAndSlash, L"a.txt"))), kSynced);
    EXPECT_EQ(Badges(In(kCaseAndSlash, L"B.TXT")), kSyncing);
    EXPECT_EQ(Badges(In(kCaseAndSlash) + L"other\\a.txt"), kNone);
    EXPECT_EQ(Badges(In(kCaseAndSlash)), kSyncing);  // the folder shows what lies beneath
    EXPECT_EQ(Badges(In(kCaseAndSlash) + L"\\"), kSyncing);
    EXPECT_EQ(Badges(In(kCaseAndSlash, L"unknown.txt")), kNotSynced);
    EXPECT_EQ(Badges(L"C:\\windows\\win.ini"), kNone);
}

TEST_F(GlintLookup, TemporaryDownloadFileRule)
{
    Write(kTempRule, FileElement("pending.txt", 1) + FileElement("done.txt", 0) +
                         DirElement("a.tavo", 0, FileElement("b.txt", 2)));
    EXPECT_EQ(Badges(In(kTempRule, L"pending.txt.tavo")), kNotSynced | kError);
    EXPECT_EQ(Badges(In(kTempRule, L"absent.txt.TAVO")), kNotSynced | kError);
    EXPECT_EQ(Badges(In(kTempRule, L"done.txt.tavo")), kSynced);
    EXPECT_EQ(Badges(In(kTempRule, L"a.tavo\\b.txt")), kSyncing);
    EXPECT_EQ(Badges(In(kTempRule, L"pending.txt")), kNotSynced);
}

TEST_F(GlintLookup, ConflictPropagatesOverError)
{
    Write(kPropagation, DirElement("both", 0, FileElement("c", 4) + FileElement("e", 3)) +
                            DirElement("error_only", 0, FileElement("e", 3)));
    EXPECT_EQ(Badges(In(kPropagation, L"both")), kConflict);
    EXPECT_EQ(Badges(In(kPropagation, L"both\\e")), kError);
    EXPECT_EQ(Badges(In(kPropagation, L"error_only")), kSynced);
    EXPECT_EQ(Badges(In(kPropagation)), kConflict);
}

TEST_F(GlintLookup, RejectedElementsAndEmptyFolders)
{
    std::string bad_states = "<FILE id=\"1\" name=\"six\" state=\"6\"/><FILE id=\"1\" name=\"minus\" state=\"-1\"/>"
                             "<FILE id=\"1\" name=\"ten\" state=\"10\"/>";
    Write(kRejected, bad_states + DirElement("hidden", 9, FileElement("inside", 0)) + DirElement("leaf", 2) +
                         FileElement("five", 5));
    for (const wchar_t* name : {L"six", L"minus", L"ten", L"hidden", L"hidden\\inside"})
        EXPECT_EQ(Badges(In(kRejected, name)), kNotSynced) << name;
    EXPECT_EQ(Badges(In(kRejected, L"leaf")), kSyncing);
    EXPECT_EQ(Badges(In(kRejected, L"five")), kNone);
}

TEST_F(GlintLookup, NewWriteTimeReloadsButAnUnchangedOneDoesNot)
{
    Write(kRewrite, FileElement("f", 0));
    EXPECT_EQ(Badges(In(kRewrite, L"f")), kSynced);
    std::wstring path = StateFilePath(g_accounts[kRewrite].user);
    FILETIME loaded = GetWriteTime(path);

    Write(kRewrite, FileElement("f", 4));
    SetWriteTime(path, loaded);
    EXPECT_EQ(Badges(In(kRewrite, L"f")), kSynced);

    Write(kRewrite, FileElement("f", 2));
    EXPECT_EQ(Badges(In(kRewrite, L"f")), kSyncing);

    // An older time than the loaded one is a change too.
    Write(kRewrite, FileElement("f", 4));
    SetWriteTime(path, loaded);
    EXPECT_EQ(Badges(In(kRewrite, L"f")), kConflict);
}

TEST_F(GlintLookup, DeletedStateFileEmptiesTheTree)
{
    Write(kDeleted, FileElement("f", 2));
    EXPECT_EQ(Badges(In(kDeleted)), kSyncing);
    ASSERT_TRUE(DeleteFileW(StateFilePath(g_accounts[kDeleted].user).c_str()));
    EXPECT_EQ(Badges(In(kDeleted, L"f")), kNotSynced);
    EXPECT_EQ(Badges(In(kDeleted)), kSynced);
}

TEST_F(GlintLookup, LockedStateFileAnswersAtOnceAndRecovers)
{
    Write(kLocked, FileElement("f", 2));
    std::wstring path = StateFilePath(g_accounts[kLocked].user);

    // A writer that shares nothing: the file cannot even be opened.
    Helper::CFileHandle exclusive(
        CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(exclusive);
    double start = NowMicroseconds();
    EXPECT_EQ(Badges(In(kLocked, L"f")), kNotSynced);
    EXPECT_LT(NowMicroseconds() - start, 2e6);
    exclusive.Reset();
    EXPECT_EQ(Badges(In(kLocked, L"f")), kSyncing);

    // A byte-range lock: the file opens but its bytes cannot be read.
    Write(kLocked, FileElement("f", 4));
    Helper::CFileHandle locker(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locker);
    OVERLAPPED whole = {};
    ASSERT_TRUE(
        LockFileEx(locker.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole));
    start = NowMicroseconds();
    int while_locked = Badges(In(kLocked, L"f"));
    EXPECT_LT(NowMicroseconds() - start, 2e6);
    EXPECT_TRUE(while_locked == kNotSynced || while_locked == kConflict) << while_locked;
    UnlockFileEx(locker.Get(), 0, MAXDWORD, MAXDWORD, &whole);
    locker.Reset();
    // Unreadable is not loaded: the same, unchanged file is read once it can be.
    EXPECT_EQ(Badges(In(kLocked, L"f")), kConflict);
}

TEST_F(GlintLookup, HugeStateFileIsNotParsed)
{
    std::wstring path = StateFilePath(g_accounts[kHuge].user);
    Helper::CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file);
    std::string head = StateDocument(FileElement("f", 2));
    DWORD written = 0;
    WriteFile(file.Get(), head.data(), static_cast<DWORD>(head.size()), &written, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = 64LL * 1024 * 1024 + 1;
    SetFilePointerEx(file.Get(), size, nullptr, FILE_BEGIN);
    SetEndOfFile(file.Get());
    file.Reset();

    double start = NowMicroseconds();
    EXPECT_EQ(Badges(In(kHuge, L"f")), kNotSynced);
    EXPECT_LT(NowMicroseconds() - start, 2e6);
    DeleteFileW(path.c_str());
}

TEST_F(GlintLookup, ReadsWhatTheClientWrites)
{
    Sync::SyncNode root;
    auto add = [](Sync::SyncNode* parent, const wchar_t* name, uint32_t state, bool is_file) {
        auto node = std::make_unique<Sync::SyncNode>();
        node->entry.name = name;
        node->entry.state = state;
        node->entry.is_file = is_file ? 1 : 0;
        node->entry.id = 42;
        return Sync::AttachChild(parent, std::move(node));
    };
    Sync::SyncNode* docs = add(&root, L"Docs", Helper::Synced, false);
    add(docs, L"Plan.TXT", Helper::Syncing, true);
    add(docs, L"\u62A5\u544A & <notes>.doc", Helper::Synced, true);
    // A name XML cannot carry as it is still gives its state to its folder.
    add(docs, (std::wstring(L"odd") + wchar_t(0xD800) + L".txt").c_str(), Helper::Conflict, true);
    add(&root, L"Empty", Helper::Synced, false);
    std::wstring path = StateFilePath(g_accounts[kClientWriter].user);
    ASSERT_TRUE(Sync::WriteStateFile(&root, path.c_str()));

    EXPECT_EQ(Badges(In(kClientWriter, L"docs\\plan.txt")), kSyncing);
    EXPECT_EQ(Badges(In(kClientWriter, L"DOCS\\\u62A5\u544A & <NOTES>.doc")), kSynced);
    EXPECT_EQ(Badges(In(kClientWriter, L"Docs")), kConflict);
    EXPECT_EQ(Badges(In(kClientWriter, L"Empty")), kSynced);
    EXPECT_EQ(Badges(In(kClientWriter)), kConflict);
}

TEST_F(GlintLookup, ManyThreadsWhileTheFileIsRewritten)
{
    Write(kThreads, FileElement("f", 0));
    struct Shared {
        std::wstring path;
        volatile LONG bad = 0;
        volatile LONG stop = 0;
    } shared;
    shared.path = In(kThreads, L"f");
    auto reader = [](void* arg) -> DWORD {
        auto* s = static_cast<Shared*>(arg);
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        while (!s->stop) {
            // The five identifiers are asked one after the other and the file
            // may change in between, so any mix of the written states is fine.
            int badges = Badges(s->path);
            if (badges < 0 || (badges & ~(kSynced | kConflict | kNotSynced)) != 0)
                InterlockedIncrement(&s->bad);
        }
        CoUninitialize();
        return 0;
    };
    Helper::CHandle threads[4];
    HANDLE waits[4];
    for (int i = 0; i < 4; ++i) {
        threads[i].Reset(CreateThread(nullptr, 0, reader, &shared, 0, nullptr));
        waits[i] = threads[i].Get();
    }
    for (int i = 0; i < 40; ++i)
        Write(kThreads, FileElement("f", i % 2 ? 4 : 0));
    InterlockedExchange(&shared.stop, 1);
    ASSERT_EQ(WaitForMultipleObjects(4, waits, TRUE, 60000), WAIT_OBJECT_0);
    EXPECT_EQ(shared.bad, 0);
    EXPECT_EQ(Badges(shared.path), kConflict);  // the last write
}

TEST_F(GlintLookup, FolderValueOfAnotherTypeIsIgnored)
{
    Write(kExpandSz, FileElement("f", 0));
    EXPECT_EQ(Badges(In(kExpandSz, L"f")), kNone);
    EXPECT_EQ(Badges(In(kExpandSz)), kNone);
}

TEST_F(GlintLookup, MovedFolderKeepsItsTreeAndAMissingOneIsIgnored)
{
    Write(kMoved, FileElement("f", 2));
    EXPECT_EQ(Badges(In(kMoved, L"f")), kSyncing);

    Testing::CTempFolder elsewhere(L"GlintSync");
    const std::wstring moved = elsewhere.Path() + L"\\";
    SetAccountFolder(g_accounts[kMoved].user, moved);
    WaitForNextAccountWindow();
    EXPECT_EQ(Badges(moved + L"f"), kSyncing);
    EXPECT_EQ(Badges(In(kMoved, L"f")), kNone);

    SetAccountFolder(g_accounts[kMoved].user, L"C:\\no\\such\\folder");
    WaitForNextAccountWindow();
    EXPECT_EQ(Badges(moved + L"f"), kSyncing);
    EXPECT_EQ(Badges(L"C:\\no\\such\\folder\\f"), kNone);
}

TEST_F(GlintLookup, OverlongPathIsCutNotOverrun)
{
    std::wstring deep = In(kCaseAndSlash, std::wstring(400, L'x'));
    EXPECT_EQ(Badges(deep), kNotSynced);
}

}  // namespace
