#include "client/shell/signon.h"

#include <process.h>
#include <shlobj.h>

#include <memory>
#include <mutex>

#include "client/net/request_manager.h"
#include "client/net/requests.h"
#include "client/net/session.h"
#include "client/net/session_values.h"
#include "client/shell/controller.h"
#include "client/shell/crash_hook.h"
#include "client/shell/settings_store.h"
#include "common/bounded_string.h"
#include "common/utf.h"

namespace Helper {

namespace {

// What a sign-on thread works on; the thread frees it.
struct SignOnRequest {
    wchar_t user[kUserNameCapacity] = {};
    wchar_t credential[kCredentialCapacity] = {};
    ISignonCallback* callback = nullptr;
    HANDLE thread = nullptr;  // the interactive thread's own handle
};

std::mutex g_connection_lock;

// The server list is prepared and the main connection started by the
// first sign-on after the start or a sign-out, on the sign-on's thread.
void EnsureMainConnection()
{
    std::lock_guard<std::mutex> hold(g_connection_lock);
    if (!Net::MainConnection().IsRunning())
        Net::StartMainConnection();
}

int SignOnWith(const SignOnRequest& request)
{
    EnsureMainConnection();
    return Net::SignOn(request.user, request.credential);
}

// The session's values for the crash reports, and the account's space.
void AfterSignOn()
{
    const Net::SessionInfo session = Net::CurrentSession();
    SetCrashSession(session.user_id, session.public_address);
    Net::AccountInfo();
}

bool FolderExists(const std::u16string& folder)
{
    const DWORD attributes = GetFileAttributesW(reinterpret_cast<const wchar_t*>(folder.c_str()));
    return attributes != INVALID_FILE_ATTRIBUTES;
}

DefaultFolderChecks CheckDefaultFolders()
{
    DefaultFolderChecks checks;
    checks.drive_d = GetDriveTypeW(L"D:\\") != DRIVE_NO_ROOT_DIR;
    checks.drive_c = GetDriveTypeW(L"C:\\") != DRIVE_NO_ROOT_DIR;
    wchar_t documents[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)))
        checks.documents = std::u16string(AsU16(documents));
    return checks;
}

void AcceptInteractiveSignOn(const SignOnRequest& request)
{
    AppContext& app = App();
    CopyBounded(app.user_name, request.user);
    CopyBounded(app.credential, request.credential);
    SignOnFolderInputs inputs;
    inputs.sync_folder = AsU16(app.sync_folder);
    inputs.previous_folder = AsU16(app.previous_folder);
    inputs.same_as_previous_user = _wcsicmp(app.user_name, app.previous_user_name) == 0;
    inputs.exists = FolderExists;
    // The drive checks only count when the stored folder is not usable.
    inputs.checks = CheckDefaultFolders();
    const std::u16string folder = FolderAfterSignOn(AsU16(app.user_name), inputs);
    CopyBounded(app.sync_folder, reinterpret_cast<const wchar_t*>(folder.c_str()));
    SetAppState(NextState(StateTrigger::InteractiveSignOnSucceeded, GetAppState()));
    AfterSignOn();
}

unsigned __stdcall InteractiveSignOnMain(void* argument)
{
    std::unique_ptr<SignOnRequest> request(static_cast<SignOnRequest*>(argument));
    const int code = SignOnCode(SignOnWith(*request));
    if (code == kSignedOn)
        AcceptInteractiveSignOn(*request);
    // Cleared before the result goes out, so that a wizard page the
    // result opens does not see a sign-on still running.
    HANDLE self = request->thread;
    App().signon_thread.compare_exchange_strong(self, nullptr);
    request->callback->OnSignonResult(code);
    CloseHandle(request->thread);
    return 0;
}

unsigned __stdcall AutoSignOnMain(void* argument)
{
    std::unique_ptr<SignOnRequest> request(static_cast<SignOnRequest*>(argument));
    const int result = SignOnWith(*request);
    SetAppState(NextState(AutoSignOnTrigger(result), GetAppState()));
    if (SignOnCode(result) == kSignedOn)
        AfterSignOn();
    request->callback->OnSignonResult(SignOnCode(result));
    return 0;
}

bool IsPasswordLengthValid(const wchar_t* password)
{
    return IsValidPassword(AsU16(password));
}

}  // namespace

void CSignonCB::OnSignonResult(int code)
{
    HWND wizard = App().wizard_window;
    if (wizard != nullptr && IsWindow(wizard))
        PostMessageW(wizard, WM_SIGNON_RESULT, static_cast<WPARAM>(code), 0);
    delete this;
}

void CAutoSignonCB::OnSignonResult(int)
{
    RefreshForState(started_in_);
    delete this;
}

void LoadAccountSettings()
{
    AppContext& app = App();
    LoadAccount(app.user_name, app.credential, app.sync_folder);
    StateTrigger trigger = StateTrigger::LoadedFolderMissing;
    if (!IsValidUserName(AsU16(app.user_name))) {
        app.user_name[0] = L'\0';
        app.credential[0] = L'\0';
        app.sync_folder[0] = L'\0';
        trigger = StateTrigger::LoadedNoValidUser;
    } else if (IsUsableFolder(AsU16(app.sync_folder), GetFileAttributesW(app.sync_folder) != INVALID_FILE_ATTRIBUTES)) {
        trigger = StateTrigger::LoadedAccountAndFolder;
    }
    SetAppState(NextState(trigger, GetAppState()));
}

void StartInteractiveSignOn(const wchar_t* user, wchar_t* password, ISignonCallback* callback)
{
    if (!IsValidUserName(AsU16(user)) || !IsPasswordLengthValid(password)) {
        callback->OnSignonResult(kSignOnRefused);
        return;
    }
    auto request = std::make_unique<SignOnRequest>();
    if (!Net::MakePasswordDigest(password, password, kPasswordCapacity)) {
        callback->OnSignonResult(kSignOnFailed);
        return;
    }
    CopyBounded(request->user, user);
    CopyBounded(request->credential, password);
    request->callback = callback;
    // Started suspended, so that its handle is known before it can end.
    HANDLE thread = reinterpret_cast<HANDLE>(
        _beginthreadex(nullptr, 0, InteractiveSignOnMain, request.get(), CREATE_SUSPENDED, nullptr));
    if (thread == nullptr) {
        callback->OnSignonResult(kSignOnFailed);
        return;
    }
    request->thread = thread;
    App().signon_thread.store(thread);
    request.release();
    ResumeThread(thread);
}

bool InteractiveSignOnRunning() { return App().signon_thread.load() != nullptr; }

void StartAutoSignOn()
{
    if (InteractiveSignOnRunning())
        return;
    auto request = std::make_unique<SignOnRequest>();
    CopyBounded(request->user, App().user_name);
    CopyBounded(request->credential, App().credential);
    request->callback = new CAutoSignonCB(GetAppState());
    const CHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, AutoSignOnMain, request.get(), 0, nullptr)));
    if (!thread) {
        delete request->callback;
        return;
    }
    request.release();
}

void SignOut()
{
    SetAppState(NextState(StateTrigger::SignedOut, GetAppState()));
    Net::SignOff();
    Net::StopConnections();
    Net::ClearSession();
    const uint8_t no_address[4] = {};
    SetCrashSession(0, no_address);
    AppContext& app = App();
    CopyBounded(app.previous_user_name, app.user_name);
    CopyBounded(app.previous_folder, app.sync_folder);
    app.user_name[0] = L'\0';
    app.credential[0] = L'\0';
    app.sync_folder[0] = L'\0';
}

}  // namespace Helper
