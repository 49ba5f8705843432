#include "connection_gate.h"

#include <sys/resource.h>

#include <algorithm>

namespace Tessel {

bool ConnectionCounter::TryTake()
{
    size_t now = in_use_.load();
    do {
        if (now >= limit_)
            return false;
    } while (!in_use_.compare_exchange_weak(now, now + 1));
    return true;
}

std::unique_ptr<AddressGate::Admission> AddressGate::Admit(const std::string& address)
{
    std::lock_guard<std::mutex> lock(mutex_);
    size_t& count = counts_[address];
    if (count >= per_address_ || !total_.TryTake()) {
        if (count == 0)
            counts_.erase(address);
        return nullptr;
    }
    ++count;
    return std::make_unique<Admission>(*this, address);
}

std::unique_ptr<AddressGate::Admission> AddressGate::AdmitSocket(asio::ip::tcp::socket& socket,
                                                                 const std::string& server)
{
    std::error_code ec;
    const auto remote = socket.remote_endpoint(ec);
    const std::string address = ec ? std::string() : remote.address().to_string();
    auto admission = ec ? nullptr : Admit(address);
    if (!admission) {
        refusals_.Note(server + " " + address + " refused: too many connections");
        socket.close(ec);
    }
    return admission;
}

void AddressGate::Release(const std::string& address)
{
    total_.Give();
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = counts_.find(address);
    if (found != counts_.end() && --found->second == 0)
        counts_.erase(found);
}

void AcceptBackoff::Failed(const std::string& server, const std::error_code& ec, std::function<void()> again)
{
    delay_ = std::clamp(delay_ * 2, std::chrono::milliseconds(50), std::chrono::milliseconds(2000));
    log_.Note(server + " accept failed: " + ec.message());
    timer_.expires_after(delay_);
    timer_.async_wait([again = std::move(again)](const std::error_code& e) {
        if (!e)
            again();
    });
}

size_t ConnectionsTheDescriptorsAllow()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 256;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    // Room for the database, the listeners, logs and the HTTP workers' files.
    constexpr rlim_t kReserved = 128;
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (1u << 30))
        return 1u << 29;
    return static_cast<size_t>(limit.rlim_cur > 2 * kReserved ? (limit.rlim_cur - kReserved) / 2 : limit.rlim_cur / 4);
}

}  // namespace Tessel
