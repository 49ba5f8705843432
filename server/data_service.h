// The data server: receives the blocks of an upload into the ticket's part
// file and commits the file when the content is complete and its MD5 is
// the announced one. The ticket, not the connection, carries the upload, so
// a client that lost its connection resumes at its offset on a new one.
#pragma once

#include "packet_server.h"
#include "store.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Tessel {

class DataService {
public:
    explicit DataService(Store& store) : store_(store) {}
    std::unique_ptr<ConnectionHandler> Connect(const PeerInfo& peer);
    Store& store() { return store_; }
    // Shared by every connection working on one ticket: serializes their
    // work, and once the upload is committed or dropped tells a stale
    // connection that its open part file must not be written any more.
    struct TicketState {
        std::mutex mutex;
        bool ended = false;
    };
    std::shared_ptr<TicketState> TicketStateOf(const std::string& token);

private:
    Store& store_;
    std::mutex mutex_;
    std::unordered_map<std::string, std::weak_ptr<TicketState>> states_;
};

}  // namespace Tessel
