// The data server: receives the blocks of an upload into the ticket's part
// file and commits the file when the content is complete and its MD5 is
// the announced one. The ticket, not the connection, carries the upload, so
// a client that lost its connection resumes at its offset on a new one; the
// connection that used a ticket last holds it, and one that lost it is
// refused.
#pragma once

#include "crypto.h"
#include "packet_server.h"
#include "store.h"

#include <atomic>
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

    // What the connections working on one ticket share, under its mutex:
    // the part file, the MD5 of its bytes as far as they were written in
    // order, and the connection that holds the ticket.
    struct TicketState {
        std::mutex mutex;
        bool ended = false;  // committed or dropped: the part file is not written any more
        uint64_t holder = 0;  // serial of the connection that used the ticket last
        TicketRow ticket;
        int part = -1;
        Md5 md5;
        uint64_t hashed = 0;  // bytes of the part file that md5 has seen
        bool hash_valid = false;
        ~TicketState();
    };
    std::shared_ptr<TicketState> TicketStateOf(const std::string& token);
    // True while a connection works on the ticket.
    bool TicketInUse(const std::string& token);
    uint64_t NextSerial() { return ++serials_; }

private:
    Store& store_;
    std::mutex mutex_;
    std::unordered_map<std::string, std::weak_ptr<TicketState>> states_;
    std::atomic<uint64_t> serials_{0};
};

}  // namespace Tessel
