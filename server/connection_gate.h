// Limits on open connections: one count for the whole server, since every
// connection takes a descriptor of the process, and per listener a count per
// peer address, so that no single address can take them all.
#pragma once

#include "log.h"

#include <asio.hpp>

#include <atomic>
#include <functional>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace Tessel {

class ConnectionCounter {
public:
    explicit ConnectionCounter(size_t limit) : limit_(limit) {}
    bool TryTake();
    void Give() { --in_use_; }
    size_t InUse() const { return in_use_.load(); }
    size_t limit() const { return limit_; }
    // Past three quarters of the limit: idle connections are closed sooner.
    bool Crowded() const { return in_use_.load() * 4 > limit_ * 3; }

private:
    const size_t limit_;
    std::atomic<size_t> in_use_{0};
};

class AddressGate {
public:
    AddressGate(ConnectionCounter& total, size_t per_address) : total_(total), per_address_(per_address) {}
    AddressGate(const AddressGate&) = delete;
    AddressGate& operator=(const AddressGate&) = delete;

    // Held for the life of an admitted connection; gives its places back.
    class Admission {
    public:
        Admission(AddressGate& gate, std::string address) : gate_(gate), address_(std::move(address)) {}
        ~Admission() { gate_.Release(address_); }
        Admission(const Admission&) = delete;
        Admission& operator=(const Admission&) = delete;

    private:
        AddressGate& gate_;
        std::string address_;
    };
    // Null when the address or the server has no room for one more.
    std::unique_ptr<Admission> Admit(const std::string& address);
    // Admits an accepted socket by its peer address, or closes it.
    std::unique_ptr<Admission> AdmitSocket(asio::ip::tcp::socket& socket, const std::string& server);
    ConnectionCounter& total() { return total_; }

private:
    void Release(const std::string& address);

    ConnectionCounter& total_;
    const size_t per_address_;
    ThrottledLog refusals_;
    std::mutex mutex_;
    std::unordered_map<std::string, size_t> counts_;
};

// The wait before accepting again after a failed accept (out of descriptors
// or memory, where accepting again at once would spin): it doubles while the
// failures last, and the log counts them.
class AcceptBackoff {
public:
    explicit AcceptBackoff(asio::io_context& io) : timer_(io) {}
    // Calls again once the wait is over.
    void Failed(const std::string& server, const std::error_code& ec, std::function<void()> again);
    void Succeeded() { delay_ = std::chrono::milliseconds(0); }
    void Cancel() { timer_.cancel(); }

private:
    asio::steady_timer timer_;
    std::chrono::milliseconds delay_{0};
    ThrottledLog log_;
};

// Raises the process's descriptor limit as far as allowed and gives the
// number of connections it leaves room for; each connection may hold a file
// besides its socket.
size_t ConnectionsTheDescriptorsAllow();

}  // namespace Tessel
