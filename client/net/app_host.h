// What the layers below the shell need from the application: its state
// value, the two guarded moves they make (the engine between Synced and
// Syncing, the connection layer to Offline after a lost link), the
// reaction to a change, and the shutdown flag that ends long digests. The
// application (the tray program's controller, the TavoTesselSync console)
// implements IAppHost and registers it before it starts connections or
// the engine; the signed-on user and the sync folder reach the engine as
// arguments of its Start.
#pragma once

#include <cstdint>

namespace Helper {

// The application state. Its record (AppContext) and the rules of its
// moves belong to the shell; the layers below only read it and ask for the
// moves above.
enum class AppState : int32_t {
    Starting = 0,
    NotBound = 1,
    Synced = 2,
    Syncing = 3,
    Offline = 4,
    SigningOn = 5,
    CredentialsRejected = 6,
    FolderMissing = 7,
    AccountInfoFailed = 8,
    AccountFrozen = 9,
};

class IAppHost {
public:
    virtual ~IAppHost() = default;

    virtual AppState GetState() const = 0;
    // The engine's guarded move between Synced and Syncing; false when the
    // state may not lead to the target (it stays as it was).
    virtual bool TrySetState(AppState target) = 0;
    // The connection layer gave up on a lost main link: a signed-on client
    // goes Offline. False when the state stays; otherwise *previous is the
    // state it replaced.
    virtual bool TrySetOffline(AppState* previous) = 0;
    // The server refused the stored credential when a new main connection
    // signed on again: a signed-on client asks for the password. False when
    // the state stays; otherwise *previous is the state it replaced.
    virtual bool TrySetCredentialsRejected(AppState* previous) = 0;
    // The reaction to a change, called by every thread that moved the state
    // with the state it replaced.
    virtual void RefreshForState(AppState previous) = 0;
    // Raised at shutdown: file digests in progress give up.
    virtual bool IsAborting() const = 0;
};

// Set by the application before it starts anything that reports; null
// (the default) means nothing is reported and nothing aborts.
void SetAppHost(IAppHost* host);
IAppHost* AppHost();

// The same through the registered host: false without one.
bool AppAborting();

}  // namespace Helper
