// The sync server's commands: sign-on, account space, listings and the
// changes to folders and files, and the upload tickets that send the
// client on to the data server.
#pragma once

#include "packet_server.h"
#include "sessions.h"
#include "sign_on_guard.h"
#include "store.h"

#include <atomic>
#include <memory>
#include <string>

namespace Tessel {

// Where clients are sent for uploads and downloads.
struct Addressing {
    // Dotted IPv4 address given on the command line; when empty, the address
    // on which the client reached the sync server.
    std::string public_host;
    std::atomic<uint16_t> data_port{0};
    std::atomic<uint16_t> http_port{0};
};

class SyncService {
public:
    SyncService(Store& store, SessionTable& sessions, const Addressing& addressing, const SignOnLimits& sign_on)
        : store_(store), sessions_(sessions), addressing_(addressing), guard_(sign_on)
    {
    }

    std::unique_ptr<ConnectionHandler> Connect(const PeerInfo& peer);

    // The download address of a file entry, to which the client appends its
    // session key.
    std::string DownloadPrefix(uint32_t local_address, int64_t entry_id) const;
    // The data server's IPv4 address for an upload ticket.
    uint32_t DataAddress(uint32_t local_address) const;
    uint16_t DataPort() const { return addressing_.data_port; }

    Store& store() { return store_; }
    SessionTable& sessions() { return sessions_; }
    SignOnGuard& guard() { return guard_; }

private:
    Store& store_;
    SessionTable& sessions_;
    const Addressing& addressing_;
    SignOnGuard guard_;
};

}  // namespace Tessel
