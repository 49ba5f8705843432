// The server session: the password digest that sign-on sends, the local
// address it announces, and the reaction to a server whose protocol version
// this client does not speak. The exchanges themselves (SignOn, SignOff,
// AccountInfo) are in requests.h; the values they keep in session_values.h.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "client/net/packet_codec.h"

namespace Net {

// What the session needs from the application shell above it.
struct SessionHooks {
    // Posts WM_TRAYNOTIFY with these parameters to the tray window
    // (common/tray_contract.h).
    void (*post_notice)(WPARAM wparam, LPARAM lparam) = nullptr;
    // Asks whether to fetch the new version; a message box when not set.
    bool (*ask_for_new_version)() = nullptr;
    // Opens a web page; the shell's OpenUrl. ShellExecuteW when not set.
    void (*open_url)(const wchar_t* url) = nullptr;
};
void SetSessionHooks(const SessionHooks& hooks);

// MD5 of the password's UTF-8 bytes as 32 lower-case digits into digest,
// which holds at least 33 characters (it may be the password's own buffer).
bool MakePasswordDigest(const wchar_t* password, wchar_t* digest, size_t capacity);

// The first non-zero IPv4 address of this computer in network order; all
// zero when there is none.
void LocalAddress(uint8_t address[4]);

// The sign-on that opens every new main connection while a credential is
// stored, so that a connection re-established after a loss acts for the
// account again; empty without one.
Bytes BuildRepeatedSignOn();
// Its reply, on the session thread: 101 keeps the new session; a refusal
// forgets the credential and moves a signed-on application to
// CredentialsRejected, as the automatic sign-on does.
void TakeRepeatedSignOnReply(uint16_t result, const Bytes& payload);

// Runs on the session thread that saw the reply: tells the tray window to
// quit, asks the user and opens the product's site on Yes.
void ReactToIncompatibleServer();

}  // namespace Net
