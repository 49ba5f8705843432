// Throughput of the server over loopback with 8 concurrent connections:
// LookupEntry requests per second on the sync server, and the rate at which
// the data server receives upload blocks. Prints figures; not a test.
#include "crypto.h"
#include "test_client.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace Tessel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kConnections = 8;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

bool BenchLookups(TestServer& server, double seconds)
{
    {
        TestClient setup;
        if (!setup.Connect(server.sync_port()) || setup.SignOn("demo", "demo123") != ResSignedOn)
            return false;
        for (int i = 0; i < 200; ++i)
            if (setup.CreateFolder(0, "folder " + std::to_string(i)) != ResFolderCreated)
                return false;
    }
    std::atomic<bool> go{false}, stop{false};
    std::atomic<long> done{0}, failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kConnections; ++t) {
        threads.emplace_back([&, t] {
            TestClient client;
            if (!client.Connect(server.sync_port()) || client.SignOn("demo", "demo123") != ResSignedOn) {
                ++failed;
                return;
            }
            while (!go)
                std::this_thread::yield();
            long count = 0;
            for (int i = t; !stop; ++i) {
                if (client.LookupEntry(0, "folder " + std::to_string(i % 200)) != ResEntryFound)
                    ++failed;
                ++count;
            }
            done += count;
        });
    }
    const auto start = Clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& thread : threads)
        thread.join();
    const double elapsed = Seconds(Clock::now() - start);
    std::printf("LookupEntry: %ld requests in %.2f s over %d connections: %.0f requests/s (target >= 20000)%s\n",
                done.load(), elapsed, kConnections, done / elapsed, failed ? " WITH FAILURES" : "");
    return failed == 0;
}

bool BenchUploads(TestServer& server, size_t bytes_per_connection)
{
    struct Job {
        std::string token;
        std::string md5;
        std::string block;
    };
    std::vector<Job> jobs(kConnections);
    TestClient sync;
    if (!sync.Connect(server.sync_port()) || sync.SignOn("demo", "demo123") != ResSignedOn)
        return false;
    for (int t = 0; t < kConnections; ++t) {
        Job& job = jobs[t];
        job.block.assign(32768, static_cast<char>('a' + t));
        Md5 md5;
        for (size_t offset = 0; offset < bytes_per_connection; offset += job.block.size())
            md5.Update(job.block.data(), job.block.size());
        job.md5 = md5.Hex();
        TicketReply ticket;
        if (sync.BeginUpload(0, "upload " + std::to_string(t), bytes_per_connection, job.md5, &ticket) !=
            ResTicketGranted)
            return false;
        job.token = ticket.token;
    }
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<long> failed{0};
    std::vector<Clock::time_point> received(kConnections), finished(kConnections);
    std::vector<std::thread> threads;
    for (int t = 0; t < kConnections; ++t) {
        threads.emplace_back([&, t] {
            TestClient data;
            if (!data.Connect(server.data_port())) {
                ++failed;
                ++ready;
                return;
            }
            ++ready;
            while (!go)
                std::this_thread::yield();
            const Job& job = jobs[t];
            for (size_t offset = 0; offset < bytes_per_connection; offset += job.block.size())
                if (data.UploadBlock(job.token, offset, job.block) != ResBlockAccepted) {
                    ++failed;
                    break;
                }
            received[t] = Clock::now();
            if (data.FinishUpload(job.token) != ResUploadComplete)
                ++failed;
            finished[t] = Clock::now();
        });
    }
    while (ready < kConnections)
        std::this_thread::yield();
    const auto start = Clock::now();
    go = true;
    for (auto& thread : threads)
        thread.join();
    Clock::time_point last_block = start, last_finish = start;
    for (int t = 0; t < kConnections; ++t) {
        last_block = std::max(last_block, received[t]);
        last_finish = std::max(last_finish, finished[t]);
    }
    const double total_mb = static_cast<double>(bytes_per_connection) * kConnections / (1024.0 * 1024.0);
    std::printf("Upload blocks: %.0f MiB in 32 KiB blocks over %d connections in %.2f s: %.0f MiB/s (target >= 200)%s\n",
                total_mb, kConnections, Seconds(last_block - start), total_mb / Seconds(last_block - start),
                failed ? " WITH FAILURES" : "");
    std::printf("Upload including FinishUpload (MD5 check and commit): %.2f s: %.0f MiB/s\n",
                Seconds(last_finish - start), total_mb / Seconds(last_finish - start));
    return failed == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t mib = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 32;
    TestServer server;
    if (!server.ok()) {
        std::fprintf(stderr, "server did not start\n");
        return 1;
    }
    const bool lookups = BenchLookups(server, 3.0);
    const bool uploads = BenchUploads(server, mib * 1024 * 1024);
    return lookups && uploads ? 0 : 1;
}
