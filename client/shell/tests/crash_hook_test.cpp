// Crash reporting end to end: a child program installs the hook and
// crashes on purpose; its report folder, and what the reference server
// received, are looked at from here.
#include "client/shell/crash_hook.h"
#include "common/tests/test_support.h"
#include "crashrpt/crashrpt.h"

#include <gtest/gtest.h>
#include <shlobj.h>
#include <winsock2.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using Testing::ReadFileBytes;

constexpr DWORD kChildDeadlineMs = 180000;
constexpr DWORD kAccessViolation = 0xC0000005;

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// A path of the Linux side, as the Wine programs see it.
std::wstring HostPath(const std::string& path)
{
    std::wstring wide = L"Z:" + Widen(path);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Names in folder: its subfolders or its files, sorted.
std::vector<std::wstring> Entries(const std::wstring& folder, bool folders)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &found);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found)) {
        const bool is_folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (is_folder == folders && found.cFileName[0] != L'.')
            names.emplace_back(found.cFileName);
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}

void RemoveTree(const std::wstring& folder)
{
    for (const std::wstring& name : Entries(folder, true))
        RemoveTree(folder + L"\\" + name);
    for (const std::wstring& name : Entries(folder, false))
        DeleteFileW((folder + L"\\" + name).c_str());
    RemoveDirectoryW(folder.c_str());
}

// The HTTP port the server fixture wrote down, as text; empty without one.
std::wstring FixtureHttpPort()
{
    const std::string env = ReadFileBytes(HostPath(TAVO_CRASH_SERVER_DIR "/server.env"));
    constexpr char kKey[] = "TESSEL_HTTP_PORT=";
    const size_t at = env.find(kKey);
    if (at == std::string::npos)
        return {};
    const size_t begin = at + sizeof(kKey) - 1;
    return Widen(env.substr(begin, env.find_first_not_of("0123456789", begin) - begin));
}

// "127.0.0.1:PORT" of a port that nobody listens on.
std::wstring DeadServer()
{
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    closesocket(s);
    WSACleanup();
    return L"127.0.0.1:" + std::to_wstring(ntohs(address.sin_port));
}

class CrashHookTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::wstring port = FixtureHttpPort();
        ASSERT_FALSE(port.empty()) << "the server fixture did not run";
        server_ = L"127.0.0.1:" + port;
        wchar_t local[MAX_PATH];
        ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, local)));
        root_ = std::wstring(local) + L"\\Tavo\\Tessel\\CrashReports";
        RemoveTree(root_);
        received_before_ = ServerReports();
    }

    // Runs the child with these arguments after the server address; its
    // exit code.
    DWORD RunChild(const std::wstring& server, const std::wstring& arguments)
    {
        std::wstring command = L"\"" + ChildPath() + L"\" " + server + L" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return 0xFFFFFFFF;
        CloseHandle(info.hThread);
        DWORD code = 0xFFFFFFFE;
        if (WaitForSingleObject(info.hProcess, kChildDeadlineMs) == WAIT_OBJECT_0)
            GetExitCodeProcess(info.hProcess, &code);
        else
            TerminateProcess(info.hProcess, 1);
        CloseHandle(info.hProcess);
        return code;
    }

    static std::wstring ChildPath()
    {
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring path = self;
        return path.substr(0, path.rfind(L'\\') + 1) + L"crash_hook_child.exe";
    }

    std::vector<std::wstring> Reports() const { return Entries(root_, true); }
    std::wstring Report(const std::wstring& name) const { return root_ + L"\\" + name; }

    static std::wstring ServerReportsRoot() { return HostPath(TAVO_CRASH_SERVER_DIR "/data/crash-reports"); }
    static std::vector<std::wstring> ServerReports() { return Entries(ServerReportsRoot(), true); }

    // The reports the server stored since the test began.
    std::vector<std::wstring> NewServerReports() const
    {
        std::vector<std::wstring> fresh;
        for (const std::wstring& id : ServerReports()) {
            if (std::find(received_before_.begin(), received_before_.end(), id) == received_before_.end())
                fresh.push_back(id);
        }
        return fresh;
    }

    std::wstring server_;
    std::wstring root_;
    std::vector<std::wstring> received_before_;
};

TEST_F(CrashHookTest, ACrashBeforeSignOnIsReportedWithZerosAndNoFile)
{
    ASSERT_EQ(RunChild(server_, L"crash"), kAccessViolation) << "the process ends with its crash";
    const std::vector<std::wstring> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    const std::wstring folder = Report(reports[0]);
    EXPECT_EQ(Entries(folder, false), (std::vector<std::wstring>{L"crash.dmp", L"crash.log", L"sent"}));
    const std::string dump = ReadFileBytes(folder + L"\\crash.dmp");
    EXPECT_EQ(dump.substr(0, 4), "MDMP") << "a minidump";
    const std::string log = ReadFileBytes(folder + L"\\crash.log");
    EXPECT_EQ(log.rfind("Version: v1.2.3.4(56)/", 0), 0u) << log;
    EXPECT_NE(log.find("Exception: 0xC0000005"), std::string::npos) << log;
    EXPECT_NE(log.find("crash_hook_child.exe+0x"), std::string::npos) << log;
    EXPECT_NE(log.find("\n\n\nUserID: 0\nUserIP: 0.0.0.0"), std::string::npos) << log;
    EXPECT_EQ(log.find("Attached"), std::string::npos) << log;

    const std::vector<std::wstring> received = NewServerReports();
    ASSERT_EQ(received.size(), 1u) << "the reference server received it";
    const std::wstring stored = ServerReportsRoot() + L"\\" + received[0];
    EXPECT_EQ(ReadFileBytes(stored + L"\\crash.log"), log);
    EXPECT_TRUE(ReadFileBytes(stored + L"\\crash.dmp") == dump) << "the same minidump";
    EXPECT_NE(ReadFileBytes(stored + L"\\report.txt").find("version: v1.2.3.4(56)/"), std::string::npos);
    EXPECT_TRUE(Entries(stored + L"\\files", false).empty());
}

TEST_F(CrashHookTest, ACrashWhileTheWatchRunsAttachesTheStateFile)
{
    Testing::CTempFolder temp;
    const std::wstring state_file = temp / L"crashhook.user_cfg";
    const std::string state = "<?xml version=\"1.0\"?>\n<Tessel cMagic=\"0123\"><f n=\"a.txt\" s=\"0\"/></Tessel>\n";
    Testing::WriteFileBytes(state_file, state);

    ASSERT_EQ(RunChild(server_, L"crash 4242 10.1.2.3 \"" + state_file + L"\""), kAccessViolation);
    const std::vector<std::wstring> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    const std::wstring folder = Report(reports[0]);
    EXPECT_EQ(ReadFileBytes(folder + L"\\crashhook.user_cfg"), state);
    const std::string log = ReadFileBytes(folder + L"\\crash.log");
    EXPECT_NE(log.find("\n\n\nUserID: 4242\nUserIP: 10.1.2.3"), std::string::npos) << log;
    EXPECT_NE(log.find("Attached: crashhook.user_cfg (\xE5\x90\x8C\xE6\xAD\xA5\xE4\xBF\xA1\xE6\x81\xAF)"),
              std::string::npos)
        << log;
    EXPECT_TRUE(Exists(folder + L"\\sent"));

    const std::vector<std::wstring> received = NewServerReports();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(ReadFileBytes(ServerReportsRoot() + L"\\" + received[0] + L"\\files\\crashhook.user_cfg"), state);
}

TEST_F(CrashHookTest, AStackOverflowIsReportedToo)
{
    ASSERT_EQ(RunChild(server_, L"overflow"), static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW));
    const std::vector<std::wstring> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    const std::wstring folder = Report(reports[0]);
    EXPECT_EQ(ReadFileBytes(folder + L"\\crash.dmp").substr(0, 4), "MDMP");
    const std::string log = ReadFileBytes(folder + L"\\crash.log");
    EXPECT_NE(log.find("Exception: 0xC00000FD"), std::string::npos) << log;
    EXPECT_NE(log.find("\n\n\nUserID: 0\nUserIP: 0.0.0.0"), std::string::npos) << log;
    EXPECT_TRUE(Exists(folder + L"\\sent"));
    EXPECT_EQ(NewServerReports().size(), 1u);
}

TEST_F(CrashHookTest, AReportTheHostDidNotTakeIsSentAtTheNextStart)
{
    ASSERT_EQ(RunChild(DeadServer(), L"crash"), kAccessViolation);
    std::vector<std::wstring> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    const std::wstring folder = Report(reports[0]);
    EXPECT_FALSE(Exists(folder + L"\\sent")) << "nobody took it";
    EXPECT_TRUE(Exists(folder + L"\\crash.dmp"));
    EXPECT_TRUE(NewServerReports().empty());

    EXPECT_EQ(RunChild(server_, L"start"), 0u) << "the next start sends it";
    EXPECT_TRUE(Exists(folder + L"\\sent"));
    const std::vector<std::wstring> received = NewServerReports();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(ReadFileBytes(ServerReportsRoot() + L"\\" + received[0] + L"\\crash.log"), ReadFileBytes(folder + L"\\crash.log"));
    EXPECT_EQ(RunChild(server_, L"start"), 0u);
    EXPECT_EQ(NewServerReports().size(), 1u) << "a sent report is not sent again";
}

TEST_F(CrashHookTest, ACrashInsideTheReporterEndsTheProcessAndTheNextStartSendsWhatWasWritten)
{
    ASSERT_EQ(RunChild(server_, L"crash-in-callback"), kAccessViolation) << "the process does not hang";
    std::vector<std::wstring> reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].substr(reports[0].size() - 4), L".tmp") << "the report was cut short";
    EXPECT_TRUE(NewServerReports().empty());

    EXPECT_EQ(RunChild(server_, L"start"), 0u);
    reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].find(L".tmp"), std::wstring::npos) << "finished by the next start";
    const std::vector<std::wstring> received = NewServerReports();
    ASSERT_EQ(received.size(), 1u);
    const std::string log = ReadFileBytes(ServerReportsRoot() + L"\\" + received[0] + L"\\crash.log");
    EXPECT_EQ(log.rfind("Version: v0\n", 0), 0u) << log;
    EXPECT_EQ(log.find("never"), std::string::npos) << "nothing of the failed callback: " << log;
    EXPECT_EQ(ReadFileBytes(ServerReportsRoot() + L"\\" + received[0] + L"\\crash.dmp").substr(0, 4), "MDMP");
}

TEST_F(CrashHookTest, ADeclinedReportLeavesNothing)
{
    ASSERT_EQ(RunChild(server_, L"decline"), kAccessViolation);
    EXPECT_TRUE(Reports().empty());
    EXPECT_TRUE(NewServerReports().empty());
}

TEST(CrashHookText, VersionAndLogTexts)
{
    Helper::ExecutableVersion version;
    version.product[0] = 1;
    version.product[1] = 0;
    version.product[2] = 12;
    version.product[3] = 3;
    version.file_build = 345;
    SYSTEMTIME time = {};
    time.wYear = 2024;
    time.wMonth = 5;
    time.wDay = 1;
    time.wHour = 9;
    time.wMinute = 8;
    time.wSecond = 7;
    time.wMilliseconds = 6;
    wchar_t text[Helper::kVersionTextCapacity];
    Helper::FormatVersionText(text, version, time);
    EXPECT_STREQ(text, L"v1.0.12.3(345)/2024_05_01/09_08_07_006");

    wchar_t log[Helper::kCrashLogCapacity];
    Helper::FormatCrashLogText(log, 0, {0, 0, 0, 0});
    EXPECT_STREQ(log, L"\n\n\nUserID: 0\nUserIP: 0.0.0.0");
    Helper::FormatCrashLogText(log, 4000000000u, {192, 168, 1, 254});
    EXPECT_STREQ(log, L"\n\n\nUserID: 4000000000\nUserIP: 192.168.1.254");

    EXPECT_FALSE(Helper::ReadExecutableVersion(&version)) << "this test program has no version resource";
    EXPECT_EQ(version.product[0], 0);
    EXPECT_EQ(version.file_build, 0);
}

TEST(CrashReporterExports, RefuseBadArgumentsAndASecondInstall)
{
    EXPECT_EQ(RecordLog(nullptr, L"x"), FALSE);
    int not_a_report = 0;
    EXPECT_EQ(RecordLog(&not_a_report, L"x"), FALSE);
    EXPECT_EQ(AddFile(&not_a_report, L"C:\\windows\\win.ini", L"x"), FALSE);
    EXPECT_EQ(Install(nullptr, L"host:0", L"a", L"b", L"v"), nullptr);
    EXPECT_EQ(Install(nullptr, nullptr, L"a", L"b", L"v"), nullptr);

    const std::wstring dead = DeadServer();
    void* reporter = Install(nullptr, dead.c_str(), L"a", L"b", L"v");
    ASSERT_NE(reporter, nullptr);
    EXPECT_EQ(Install(nullptr, dead.c_str(), L"a", L"b", L"v"), nullptr) << "one reporter per process";
    EXPECT_EQ(RecordLog(reporter, L"x"), FALSE) << "no report is open";
    Uninstall(&not_a_report);
    Uninstall(reporter);
    reporter = Install(nullptr, dead.c_str(), L"a", L"b", L"v");
    EXPECT_NE(reporter, nullptr) << "installed again after Uninstall";
    Uninstall(reporter);
}

}  // namespace
