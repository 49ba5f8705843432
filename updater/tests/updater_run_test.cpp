// The updater as a program: its notice to the tray window, the installer
// start, the single instance and the shipped file's resources.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/tray_contract.h"
#include "common/win_handle.h"
#include "updater/tests/updater_test_support.h"
#include "updater/updater_app.h"
#include "version.h"

namespace Updater {
namespace {

using Testing::BuildManifest;
using Testing::Narrow;

constexpr DWORD kRunTimeoutMs = 60000;
constexpr wchar_t kPackageName[] = L"TavoTesselSetup.exe";

LONGLONG Now()
{
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

LONGLONG ElapsedMs(LONGLONG from, LONGLONG to)
{
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return (to - from) * 1000 / frequency.QuadPart;
}

// Stands in for the client's hidden tray window and keeps what it receives.
class CTrayWindow {
public:
    struct Notice {
        WPARAM wparam;
        LPARAM lparam;
        LONGLONG received;
    };

    CTrayWindow()
    {
        static const ATOM registered = Register();
        if (registered != 0)
            window_ = CreateWindowExW(0, Helper::kTrayWindowClass, L"", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                      GetModuleHandleW(nullptr), this);
    }
    ~CTrayWindow()
    {
        if (window_ != nullptr)
            DestroyWindow(window_);
    }
    CTrayWindow(const CTrayWindow&) = delete;
    CTrayWindow& operator=(const CTrayWindow&) = delete;

    bool Valid() const { return window_ != nullptr; }
    const std::vector<Notice>& Notices() const { return notices_; }

private:
    static ATOM Register()
    {
        WNDCLASSEXW window_class{};
        window_class.cbSize = sizeof(window_class);
        window_class.lpfnWndProc = Proc;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.lpszClassName = Helper::kTrayWindowClass;
        return RegisterClassExW(&window_class);
    }

    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    {
        if (message == WM_NCCREATE) {
            auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
        }
        auto* self = reinterpret_cast<CTrayWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == Helper::WM_TRAYNOTIFY && self != nullptr) {
            self->notices_.push_back({wparam, lparam, Now()});
            return 0;
        }
        return DefWindowProcW(window, message, wparam, lparam);
    }

    HWND window_ = nullptr;
    std::vector<Notice> notices_;
};

void PumpMessages()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// Delivers this thread's messages until the process ends; its exit code,
// or -1 when it did not end in time.
long PumpUntilExit(HANDLE process, DWORD timeout_ms = kRunTimeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeout_ms;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return -1;
        DWORD wait = MsgWaitForMultipleObjects(1, &process, FALSE, static_cast<DWORD>(deadline - now), QS_ALLINPUT);
        PumpMessages();
        if (wait == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeProcess(process, &code);
            return static_cast<long>(code);
        }
    }
}

Helper::CHandle StartProgram(const std::wstring& path)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return Helper::CHandle();
    Helper::CHandle thread(process.hThread);
    return Helper::CHandle(process.hProcess);
}

// Polls for a file that another process writes whole, with a deadline.
bool WaitForFile(const std::wstring& path, std::string* bytes, DWORD timeout_ms = 30000)
{
    return Testing::WaitFor([&] { return Testing::ReadFileBytes(path, bytes); }, timeout_ms);
}

bool WaitForMutex(DWORD timeout_ms)
{
    return Testing::WaitFor([] { return Helper::CHandle(OpenMutexW(SYNCHRONIZE, FALSE, kUpdaterMutexName)).Valid(); },
                            timeout_ms);
}

struct InstallerLog {
    LONGLONG started = 0;
    std::wstring command_line;
};

bool ParseInstallerLog(const std::string& bytes, InstallerLog* log)
{
    if (bytes.size() < sizeof(LONGLONG))
        return false;
    std::memcpy(&log->started, bytes.data(), sizeof(LONGLONG));
    log->command_line.assign(reinterpret_cast<const wchar_t*>(bytes.data() + sizeof(LONGLONG)),
                             (bytes.size() - sizeof(LONGLONG)) / sizeof(wchar_t));
    return true;
}

// One run of the updater built for tests: its temporary folder, its
// stand-in for HKEY_CURRENT_USER and its manifest on the test server.
class UpdaterRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server_.Connect()) << "the test HTTP server is not running";
        token_ = Testing::UniqueToken();
        ASSERT_TRUE(Testing::ReadFileBytes(Testing::TestDirectory() + L"test_installer.exe", &installer_));
        ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1"));
    }

    void TearDown() override
    {
        // The installer may still be closing when the test ends.
        const std::wstring package = scratch_.Path() + kPackageName;
        const ULONGLONG deadline = GetTickCount64() + 10000;
        while (Testing::FileExists(package) && !DeleteFileW(package.c_str()) && GetTickCount64() < deadline)
            Sleep(50);
    }

    std::wstring OfferInstaller(const std::string& version)
    {
        std::wstring url = server_.Publish(token_, kPackageName, installer_);
        return server_.Publish(token_, L"tessel.xml",
                               BuildManifest({{"win64", {version, Narrow(kPackageName), Narrow(url),
                                                         Testing::Md5HexOf(installer_)}}}));
    }

    Helper::CHandle StartUpdater(const std::wstring& manifest_url)
    {
        Testing::CEnvironmentScope tmp(L"TMP", scratch_.Path());
        Testing::CEnvironmentScope temp(L"TEMP", scratch_.Path());
        Testing::CEnvironmentScope url(L"TAVO_TEST_MANIFEST_URL", manifest_url);
        Testing::CEnvironmentScope root(L"TAVO_TEST_HKCU", registry_.Root());
        return StartProgram(Testing::TestDirectory() + L"updater_under_test.exe");
    }

    bool ReadInstallerLog(InstallerLog* log)
    {
        std::string bytes;
        return WaitForFile(scratch_.Path() + kPackageName + L".log", &bytes) && ParseInstallerLog(bytes, log);
    }

    Testing::CTestServer server_;
    Testing::CScratchFolder scratch_;
    Testing::CRegistrySandbox registry_;
    std::wstring token_;
    std::string installer_;
};

TEST_F(UpdaterRunTest, ANewerPackageIsAnnouncedThenInstalledSilently)
{
    CTrayWindow tray;
    ASSERT_TRUE(tray.Valid());
    Helper::CHandle updater = StartUpdater(OfferInstaller("1.0.0.2"));
    ASSERT_TRUE(updater);
    EXPECT_EQ(PumpUntilExit(updater.Get()), 0);

    ASSERT_EQ(tray.Notices().size(), 1u);
    EXPECT_EQ(tray.Notices()[0].wparam, Helper::UpdateNoticeUpdating);
    EXPECT_EQ(tray.Notices()[0].lparam, Helper::TE_UPDATE_RESULT);

    InstallerLog log;
    ASSERT_TRUE(ReadInstallerLog(&log));
    EXPECT_EQ(log.command_line, L"/SILENT  /VERYSILENT /NORESTART /SUPPRESSMSGBOXES");
    EXPECT_GE(ElapsedMs(tray.Notices()[0].received, log.started), 3000);
}

TEST_F(UpdaterRunTest, TheInstallerStartsWithoutARunningClient)
{
    ASSERT_EQ(FindWindowW(Helper::kTrayWindowClass, nullptr), nullptr);
    Helper::CHandle updater = StartUpdater(OfferInstaller("1.0.0.2"));
    ASSERT_TRUE(updater);
    EXPECT_EQ(PumpUntilExit(updater.Get()), 0);
    InstallerLog log;
    ASSERT_TRUE(ReadInstallerLog(&log));
    EXPECT_EQ(log.command_line, L"/SILENT  /VERYSILENT /NORESTART /SUPPRESSMSGBOXES");
}

TEST_F(UpdaterRunTest, ACurrentInstallIsReported)
{
    CTrayWindow tray;
    ASSERT_TRUE(tray.Valid());
    Helper::CHandle updater = StartUpdater(OfferInstaller("1.0.0.1"));
    ASSERT_TRUE(updater);
    EXPECT_EQ(PumpUntilExit(updater.Get()), 0);
    ASSERT_EQ(tray.Notices().size(), 1u);
    EXPECT_EQ(tray.Notices()[0].wparam, Helper::UpdateNoticeCurrent);
    EXPECT_EQ(tray.Notices()[0].lparam, Helper::TE_UPDATE_RESULT);
    EXPECT_FALSE(Testing::FileExists(scratch_.Path() + kPackageName));
}

TEST_F(UpdaterRunTest, AServerThatDoesNotAnswerFailsAfterThreeSeconds)
{
    CTrayWindow tray;
    ASSERT_TRUE(tray.Valid());
    const LONGLONG started = Now();
    Helper::CHandle updater = StartUpdater(server_.Url(L"/hang/" + token_ + L"/tessel.xml"));
    ASSERT_TRUE(updater);
    EXPECT_EQ(PumpUntilExit(updater.Get()), 0);
    ASSERT_EQ(tray.Notices().size(), 1u);
    EXPECT_EQ(tray.Notices()[0].wparam, Helper::UpdateNoticeFailed);
    const LONGLONG waited = ElapsedMs(started, tray.Notices()[0].received);
    EXPECT_GE(waited, 3000);
    EXPECT_LT(waited, 10000);
}

TEST_F(UpdaterRunTest, ASecondUpdaterEndsAtOnceAndPostsNothing)
{
    CTrayWindow tray;
    ASSERT_TRUE(tray.Valid());
    // The first one waits three seconds on a server that never answers.
    Helper::CHandle first = StartUpdater(server_.Url(L"/hang/" + token_ + L"/tessel.xml"));
    ASSERT_TRUE(first);
    ASSERT_TRUE(WaitForMutex(20000));

    const std::wstring manifest = OfferInstaller("1.0.0.1");
    Helper::CHandle second = StartUpdater(manifest);
    ASSERT_TRUE(second);
    EXPECT_EQ(PumpUntilExit(second.Get()), 0);
    EXPECT_EQ(WaitForSingleObject(first.Get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    EXPECT_EQ(PumpUntilExit(first.Get()), 0);
    ASSERT_EQ(tray.Notices().size(), 1u);
    EXPECT_EQ(tray.Notices()[0].wparam, Helper::UpdateNoticeFailed);
    EXPECT_EQ(server_.Hits(L"/files/" + token_ + L"/tessel.xml"), 0);
}

std::wstring VersionString(const std::vector<BYTE>& info, const wchar_t* name)
{
    wchar_t* value = nullptr;
    UINT length = 0;
    std::wstring query = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &length) || value == nullptr)
        return L"<missing>";
    return value;
}

TEST(UpdaterResourcesTest, VersionAndManifestOfTheShippedProgram)
{
    const std::wstring program = Testing::TestDirectory() + L"..\\TavoTesselUpdate.exe";
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(program.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(TAVO_VERSION_MINOR, TAVO_VERSION_MAJOR));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(TAVO_BUILD_NUMBER, TAVO_VERSION_PATCH));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(TAVO_VERSION_MINOR, TAVO_VERSION_MAJOR));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(TAVO_VERSION_TWEAK, TAVO_VERSION_PATCH));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation),
                               &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    EXPECT_EQ(translation[1], 1200);

    EXPECT_EQ(VersionString(info, L"FileDescription"), L"TavoTessel升级程序");
    EXPECT_EQ(VersionString(info, L"ProductName"), L"TavoTessel升级程序");
    EXPECT_EQ(VersionString(info, L"InternalName"), L"TesselUpdate");
    EXPECT_EQ(VersionString(info, L"OriginalFilename"), L"TesselUpdate");

    Helper::CModuleHandle module(LoadLibraryExW(program.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    ASSERT_TRUE(module);
    HRSRC manifest = FindResourceW(module.Get(), MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(manifest, nullptr);
    const char* text = static_cast<const char*>(LockResource(LoadResource(module.Get(), manifest)));
    std::string content(text, SizeofResource(module.Get(), manifest));
    EXPECT_NE(content.find("level=\"asInvoker\""), std::string::npos);
}

}  // namespace
}  // namespace Updater
