// Other clients' latency while the server is under attack: slow HTTP
// clients, descriptor exhaustion by idle connections, and password
// guessing. For each, a well-behaved client measures its requests before
// and during the attack and the figures are printed (p50 and p99 in
// milliseconds). Prints figures; not a test.
#include "crypto.h"
#include "test_client.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Tessel;
using Clock = std::chrono::steady_clock;

namespace {

int g_samples = 60;

struct Victim {
    uint16_t http_port = 0;
    uint16_t sync_port = 0;
    std::string download;  // path and key
    size_t size = 0;
};

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// p50 and p99 of the samples, and how many of them failed.
void Report(const char* what, std::vector<double> samples, int failures)
{
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples.empty() ? 0.0 : samples[std::min(samples.size() - 1, static_cast<size_t>(q * samples.size()))];
    };
    std::printf("  %-34s p50 %8.2f ms  p99 %8.2f ms  (%zu samples, %d failed)\n", what, at(0.5), at(0.99),
                samples.size(), failures);
}

// Times `request` g_samples times, a little apart; failures count but are
// not timed.
void Measure(const char* what, const std::function<bool()>& request)
{
    std::vector<double> samples;
    int failures = 0;
    for (int i = 0; i < g_samples; ++i) {
        const auto start = Clock::now();
        if (request())
            samples.push_back(Milliseconds(Clock::now() - start));
        else
            ++failures;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    Report(what, samples, failures);
}

bool Download(const Victim& victim)
{
    httplib::Client client("127.0.0.1", victim.http_port);
    client.set_connection_timeout(std::chrono::seconds(30));
    client.set_read_timeout(std::chrono::seconds(30));
    auto res = client.Get(victim.download);
    return res && res->status == 200 && res->body.size() == victim.size;
}

bool FreshSignOn(const Victim& victim)
{
    TestClient client;
    return client.Connect(victim.sync_port, "127.0.0.9") && client.SignOn("small", "small123") == ResSignedOn;
}

void MeasureAll(const Victim& victim, TestClient& signed_on)
{
    Measure("LookupEntry on a signed-on link", [&] { return signed_on.LookupEntry(0, "file.bin") == ResEntryFound; });
    Measure("connect and sign on (another user)", [&] { return FreshSignOn(victim); });
    Measure("download of 256 KiB", [&] { return Download(victim); });
}

std::string Source(int group, int index) { return "127.0." + std::to_string(group) + "." + std::to_string(1 + index); }

void SlowClients(const Victim& victim, TestClient& signed_on)
{
    SlowHttpClients slow(victim.http_port, 16, 200, 10, 27);
    std::printf("during 16 connections trickling header bytes and 200 stalled half-headers:\n");
    MeasureAll(victim, signed_on);
}

void IdleConnections(const Victim& victim, TestClient& signed_on)
{
    std::vector<std::unique_ptr<TestClient>> idle;
    for (int i = 0; i < 1100; ++i) {
        idle.push_back(std::make_unique<TestClient>());
        const uint16_t port = i % 3 == 0 ? victim.http_port : victim.sync_port;
        idle.back()->Connect(port, Source(20, i / 60).c_str());
    }
    std::printf("during 1100 idle connections (sync and HTTP) from 19 addresses:\n");
    MeasureAll(victim, signed_on);
}

void PasswordGuessing(const Victim& victim, TestClient& signed_on)
{
    std::atomic<bool> done{false};
    std::atomic<long> tries{0};
    std::vector<std::thread> guessers;
    for (int t = 0; t < 8; ++t) {
        guessers.emplace_back([&, t] {
            TestClient client;
            for (long i = 0; !done; ++i) {
                if (!client.Connect(victim.sync_port, Source(30, t % 2).c_str()))
                    continue;
                while (!done && client.SignOn("demo", "guess" + std::to_string(i)) != 0)
                    ++tries, ++i;
            }
        });
    }
    const auto start = Clock::now();
    std::printf("during password guessing on 8 connections from 2 addresses:\n");
    MeasureAll(victim, signed_on);
    done = true;
    for (auto& thread : guessers)
        thread.join();
    std::printf("  the guessers got %ld answers in %.1f s\n", tries.load(),
                std::chrono::duration<double>(Clock::now() - start).count());
}

}  // namespace

// The optional argument is the number of samples per figure (60).
int main(int argc, char** argv)
{
    if (argc > 1)
        g_samples = std::max(1, std::atoi(argv[1]));
    TestServer server;
    if (!server.ok()) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    TestClient sync;
    SessionReply session;
    Tessel::EntryRecord entry;
    const std::string content(256 * 1024, 'v');
    if (!sync.Connect(server.sync_port()) || sync.SignOn("demo", "demo123", &session) != ResSignedOn ||
        UploadFile(sync, server.data_port(), 0, "file.bin", content) != ResUploadComplete ||
        sync.LookupEntry(0, "file.bin", &entry) != ResEntryFound) {
        std::fprintf(stderr, "setup failed\n");
        return 1;
    }
    Victim victim;
    victim.http_port = server.http_port();
    victim.sync_port = server.sync_port();
    victim.download = entry.address.substr(entry.address.find("/d/")) + session.key;
    victim.size = content.size();

    std::printf("without attack:\n");
    MeasureAll(victim, sync);
    SlowClients(victim, sync);
    IdleConnections(victim, sync);
    PasswordGuessing(victim, sync);
    return 0;
}
