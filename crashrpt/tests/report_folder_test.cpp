// The report folders on disk: which reports wait to be sent, how many are
// kept, and what a report's log and attachments hold.
#include "crashrpt/report_folder.h"
#include "crashrpt/report_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace CrashRpt {
namespace {

class ReportFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[kPathCapacity];
        ASSERT_GT(GetTempPathW(kPathCapacity, temp), 0u);
        static int counter = 0;
        root_ = std::wstring(temp) + L"crashrpt-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter);
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    }

    void TearDown() override
    {
        for (const std::wstring& name : Folders())
            DeleteReportFolder((root_ + L"\\" + name).c_str());
        for (const std::wstring& name : ReportFiles(root_.c_str()))
            DeleteFileW((root_ + L"\\" + name).c_str());
        RemoveDirectoryW(root_.c_str());
    }

    std::wstring MakeReport(const std::wstring& name, const std::vector<std::wstring>& files = {L"crash.log"})
    {
        const std::wstring folder = root_ + L"\\" + name;
        EXPECT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        for (const std::wstring& file : files)
            WriteText(folder + L"\\" + file, "x");
        return folder;
    }

    static void WriteText(const std::wstring& path, const std::string& text)
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }

    static std::string ReadText(const std::wstring& path)
    {
        std::string text;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return text;
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            text.append(buffer, read);
        CloseHandle(file);
        return text;
    }

    std::vector<std::wstring> Folders() const
    {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW((root_ + L"\\*").c_str(), &found);
        if (find == INVALID_HANDLE_VALUE)
            return names;
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && found.cFileName[0] != L'.')
                names.emplace_back(found.cFileName);
        } while (FindNextFileW(find, &found));
        FindClose(find);
        return names;
    }

    std::wstring root_;
};

// The id of a process that has ended; its handle stays open so that the id
// is not given to another process meanwhile.
DWORD EndedProcess(HANDLE* handle)
{
    wchar_t command[] = L"cmd.exe /c exit 0";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info))
        return 0;
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, 30000);
    *handle = info.hProcess;
    return info.dwProcessId;
}

TEST_F(ReportFolderTest, PendingReportsAreTheUnmarkedOnesOldestFirst)
{
    const std::wstring newer = MakeReport(L"20240502-080000-10");
    const std::wstring older = MakeReport(L"20240501-080000-11");
    MakeReport(L"20240501-090000-12", {L"crash.log", kSentMarker});
    MakeReport(L"20240501-100000-13", {L"crash.log", kRefusedMarker});

    const std::vector<std::wstring> pending = PendingReports(root_.c_str());
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0], older);
    EXPECT_EQ(pending[1], newer);
}

TEST_F(ReportFolderTest, PartialFoldersAreFinishedOnlyOnceTheirProcessHasEnded)
{
    HANDLE ended = nullptr;
    const DWORD dead = EndedProcess(&ended);
    ASSERT_NE(dead, 0u);
    MakeReport(L"20240501-080000-" + std::to_wstring(dead) + L".tmp", {L"crash.log", L"crash.dmp"});
    const std::wstring live = L"20240501-090000-" + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    MakeReport(live);

    const std::vector<std::wstring> pending = PendingReports(root_.c_str());
    CloseHandle(ended);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0], root_ + L"\\20240501-080000-" + std::to_wstring(dead)) << "finished under its final name";
    EXPECT_EQ(ReportFiles(pending[0].c_str()), (std::vector<std::wstring>{L"crash.dmp", L"crash.log"}));
    EXPECT_NE(GetFileAttributesW((root_ + L"\\" + live).c_str()), INVALID_FILE_ATTRIBUTES)
        << "the running process is still writing its report";
}

TEST_F(ReportFolderTest, PruningKeepsTheNewestReports)
{
    for (int i = 0; i < static_cast<int>(kMaxKeptReports) + 3; ++i) {
        wchar_t name[64];
        swprintf(name, 64, L"202405%02d-080000-1", i + 1);
        MakeReport(name);
    }
    PruneReports(root_.c_str());
    const std::vector<std::wstring> left = Folders();
    ASSERT_EQ(left.size(), kMaxKeptReports);
    for (const std::wstring& name : left)
        EXPECT_GT(name, std::wstring(L"20240503-080000-1")) << "the three oldest went";
}

TEST_F(ReportFolderTest, MarkersAndTheLockAreNotPartOfTheReport)
{
    const std::wstring folder = MakeReport(L"20240501-080000-1", {L"crash.log", L"crash.dmp", L"demo.user_cfg"});
    ASSERT_TRUE(MarkReport(folder.c_str(), kSentMarker));
    WriteText(folder + L"\\" + kSendLock, "");
    EXPECT_TRUE(HasMarker(folder.c_str(), kSentMarker));
    EXPECT_FALSE(HasMarker(folder.c_str(), kRefusedMarker));
    EXPECT_EQ(ReportFiles(folder.c_str()), (std::vector<std::wstring>{L"crash.dmp", L"crash.log", L"demo.user_cfg"}));
}

TEST_F(ReportFolderTest, PartialFolderGetsItsFinalName)
{
    SYSTEMTIME time = {};
    time.wYear = 2024;
    time.wMonth = 5;
    time.wDay = 1;
    time.wHour = 7;
    time.wMinute = 8;
    time.wSecond = 9;
    wchar_t folder[kPathCapacity];
    ASSERT_TRUE(CreatePartialFolder(root_.c_str(), time, 4321, folder));
    EXPECT_EQ(std::wstring(folder), root_ + L"\\20240501-070809-4321.tmp");
    ASSERT_TRUE(FinishFolder(folder));
    EXPECT_EQ(std::wstring(folder), root_ + L"\\20240501-070809-4321");
    EXPECT_EQ(Folders(), (std::vector<std::wstring>{L"20240501-070809-4321"}));
}

TEST_F(ReportFolderTest, AttachmentsGetFreeNamesAndTheLogNamesThem)
{
    const std::wstring folder = MakeReport(L"20240501-080000-1", {L"crash.log"});
    const std::wstring source = MakeReport(L"source", {});
    WriteText(source + L"\\crash.log", "the client's own log");
    WriteText(source + L"\\demo.user_cfg", "<state/>");

    static ReportContext context;
    context.Open(folder.c_str());
    EXPECT_TRUE(AttachFile(context, (source + L"\\demo.user_cfg").c_str(), L"同步信息"));
    EXPECT_TRUE(AttachFile(context, (source + L"\\crash.log").c_str(), L"log"));
    EXPECT_FALSE(AttachFile(context, (source + L"\\missing").c_str(), L"gone"));
    EXPECT_TRUE(AppendToLog(context, L"\n\n\nUserID: 7\nUserIP: 1.2.3.4"));
    context.Close();
    EXPECT_EQ(ReadText(folder + L"\\demo.user_cfg"), "<state/>");
    EXPECT_EQ(ReadText(folder + L"\\2-crash.log"), "the client's own log") << "the report's log is not replaced";

    EXCEPTION_RECORD record = {};
    record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
    record.ExceptionAddress = reinterpret_cast<void*>(&EndedProcess);
    record.NumberParameters = 2;
    record.ExceptionInformation[0] = 1;
    EXCEPTION_POINTERS pointers = {&record, nullptr};
    CrashFacts facts;
    facts.pointers = &pointers;
    facts.thread_id = 77;
    GetLocalTime(&facts.local_time);
    ASSERT_TRUE(WriteLog(folder.c_str(), L"v1.2.3.4(5)/x", facts, &context));

    const std::string log = ReadText(folder + L"\\crash.log");
    EXPECT_EQ(log.rfind("Version: v1.2.3.4(5)/x\n", 0), 0u) << log;
    EXPECT_NE(log.find("Exception: 0xC0000005 at"), std::string::npos) << log;
    EXPECT_NE(log.find("crashrpt_folder_test.exe+0x"), std::string::npos) << log;
    EXPECT_NE(log.find("Access: write at 0x0000000000000000"), std::string::npos) << log;
    EXPECT_NE(log.find("Thread: 77\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Attached: demo.user_cfg (\xE5\x90\x8C\xE6\xAD\xA5\xE4\xBF\xA1\xE6\x81\xAF)"), std::string::npos)
        << "the description in UTF-8: " << log;
    EXPECT_NE(log.find("Attached: 2-crash.log (log)"), std::string::npos) << log;
    const std::string tail = "unreadable\n\n\n\nUserID: 7\nUserIP: 1.2.3.4";
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail) << "the client's text comes last, as given: " << log;
}

TEST_F(ReportFolderTest, AReportTakesAtMostItsShareOfFiles)
{
    const std::wstring folder = MakeReport(L"20240501-080000-1", {});
    const std::wstring source = MakeReport(L"source", {L"a.txt"});
    static ReportContext context;
    context.Open(folder.c_str());
    for (size_t i = 0; i < kMaxAttachments; ++i)
        EXPECT_TRUE(AttachFile(context, (source + L"\\a.txt").c_str(), L"")) << i;
    EXPECT_FALSE(AttachFile(context, (source + L"\\a.txt").c_str(), L""));
    context.Close();
    EXPECT_EQ(ReportFiles(folder.c_str()).size(), kMaxAttachments);
}

}  // namespace
}  // namespace CrashRpt
