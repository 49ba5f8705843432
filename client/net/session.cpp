#include "client/net/session.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <process.h>
#include <shellapi.h>

#include <cstring>
#include <mutex>
#include <string>

#include "client/net/app_host.h"
#include "client/net/command_lock.h"
#include "client/net/request_manager.h"
#include "client/net/requests.h"
#include "client/net/session_values.h"
#include "client/net/wire_text.h"
#include "common/md5.h"
#include "common/tray_contract.h"
#include "deployment.h"

namespace Net {

namespace {

std::mutex g_hooks_lock;
SessionHooks g_hooks;

// Sign-on results that refuse the name or the credential.
constexpr uint16_t kFirstRefusal = 102;
constexpr uint16_t kLastRefusal = 105;

std::atomic<long> g_sign_on_flag{0};
std::atomic<long> g_sign_off_flag{0};
std::atomic<long> g_account_info_flag{0};

SessionHooks Hooks()
{
    std::lock_guard<std::mutex> hold(g_hooks_lock);
    return g_hooks;
}

// The follow-ups of a rejected credential run on a thread of their own: the
// session thread that took the reply goes on delivering replies meanwhile.
unsigned __stdcall RefreshAfterRejection(void* previous)
{
    Helper::IAppHost* host = Helper::AppHost();
    if (host != nullptr)
        host->RefreshForState(static_cast<Helper::AppState>(reinterpret_cast<intptr_t>(previous)));
    return 0;
}

void RejectStoredCredential()
{
    Helper::IAppHost* host = Helper::AppHost();
    Helper::AppState previous = Helper::AppState::Starting;
    if (host == nullptr || !host->TrySetCredentialsRejected(&previous))
        return;
    void* argument = reinterpret_cast<void*>(static_cast<intptr_t>(previous));
    const uintptr_t thread = _beginthreadex(nullptr, 0, RefreshAfterRejection, argument, 0, nullptr);
    if (thread != 0)
        CloseHandle(reinterpret_cast<HANDLE>(thread));
}

bool AskForNewVersion()
{
    return MessageBoxW(nullptr, L"服务器版本与您的软件版本不兼容，是否下载安装Tessel的新版本？",
                       L"TavoTessel - 版本不兼容", MB_YESNO | MB_ICONERROR) == IDYES;
}

}  // namespace

void SetSessionHooks(const SessionHooks& hooks)
{
    std::lock_guard<std::mutex> hold(g_hooks_lock);
    g_hooks = hooks;
}

bool MakePasswordDigest(const wchar_t* password, wchar_t* digest, size_t capacity)
{
    if (password == nullptr || digest == nullptr || capacity < Helper::kMd5HexLength + 1)
        return false;
    if (!Helper::Md5Available() && !Helper::BindMd5())
        return false;
    const std::string utf8 = ToWireText(password);
    char hex[Helper::kMd5HexLength + 1];
    if (!Helper::Md5Hex(utf8.data(), utf8.size(), hex))
        return false;
    for (size_t i = 0; i <= Helper::kMd5HexLength; ++i)
        digest[i] = static_cast<wchar_t>(hex[i]);
    return true;
}

void LocalAddress(uint8_t address[4])
{
    std::memset(address, 0, 4);
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (getaddrinfo("", nullptr, &hints, &found) != 0)
        return;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        if (entry->ai_family == AF_INET && ipv4 != nullptr && ipv4->sin_addr.s_addr != 0) {
            std::memcpy(address, &ipv4->sin_addr.s_addr, 4);
            break;
        }
    }
    freeaddrinfo(found);
}

void ReactToIncompatibleServer()
{
    const SessionHooks hooks = Hooks();
    if (hooks.post_notice != nullptr)
        hooks.post_notice(0, Helper::TE_INCOMPATIBLE);
    const bool wanted = hooks.ask_for_new_version != nullptr ? hooks.ask_for_new_version() : AskForNewVersion();
    if (!wanted)
        return;
    if (hooks.open_url != nullptr)
        hooks.open_url(TAVO_WEB_HOME_W);
    else
        ShellExecuteW(nullptr, L"open", TAVO_WEB_HOME_W, nullptr, nullptr, SW_SHOW);
}

Bytes BuildRepeatedSignOn()
{
    const Credential credential = CurrentCredential();
    if (credential.user_name.empty())
        return {};
    uint8_t address[4];
    LocalAddress(address);
    return BuildSignOn(credential.user_name, credential.digest, address);
}

void TakeRepeatedSignOnReply(uint16_t result, const Bytes& payload)
{
    SessionInfo session;
    if (result == ResSignedOn && DecodeSessionInfo(payload, &session)) {
        StoreSession(session);
        return;
    }
    if (result < kFirstRefusal || result > kLastRefusal)
        return;
    StoreCredential({});
    RejectStoredCredential();
}

int SignOn(const wchar_t* user_name, const wchar_t* password_digest)
{
    CCommandLock lock(g_sign_on_flag);
    uint8_t address[4];
    LocalAddress(address);
    const Credential credential{ToWireText(user_name), ToWireText(password_digest)};
    Bytes packet = BuildSignOn(credential.user_name, credential.digest, address);
    if (packet.empty())
        return 0;
    const int result = MainConnection().SendAndWait(&packet, 0, kSessionTimeout, 0);
    if (result != ResSignedOn)
        return result;
    SessionInfo session;
    if (!DecodeSessionInfo(packet, &session))
        return 0;
    StoreSession(session);
    StoreCredential(credential);
    return result;
}

int SignOff()
{
    CCommandLock lock(g_sign_off_flag);
    // A connection made from here on stays signed off.
    StoreCredential({});
    const SessionInfo session = CurrentSession();
    Bytes packet = BuildSignOff(session.user_id, session.session_key);
    return MainConnection().SendAndWait(&packet, 0, kSessionTimeout, 0);
}

int AccountInfo()
{
    CCommandLock lock(g_account_info_flag);
    const SessionInfo session = CurrentSession();
    Bytes packet = BuildAccountInfo(session.user_id, session.session_key);
    const int result = MainConnection().SendAndWait(&packet, 0, kSessionTimeout, 0);
    if (result != ResAccountSpace)
        return result;
    AccountSpace space;
    if (!DecodeAccountSpace(packet, &space))
        return 0;
    StoreAccountSpace(space);
    return result;
}

}  // namespace Net
