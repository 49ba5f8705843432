// Round trip and upload throughput against a local server that answers at
// once. Prints figures; not a test.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "client/net/request_manager.h"
#include "client/net/requests.h"
#include "client/net/tests/test_peer.h"
#include "common/tests/wire_builders.h"

using namespace Net;

namespace {

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void BenchLookup()
{
    WireTest::RecordFields record;
    record.id = 5;
    record.name = "entry";
    const Bytes payload = WireTest::MakeRecord(record);
    NetTest::CTestPeer peer([&](NetTest::CTestPeer& p, const NetTest::PeerRequest& request) { p.Answer(request, 315, payload); });
    SetServerForTesting("127.0.0.1", {peer.Port()});
    StartMainConnection();
    std::vector<double> samples;
    for (int i = 0; i < 1000; ++i) {
        LARGE_INTEGER from, to;
        QueryPerformanceCounter(&from);
        RemoteEntry entry;
        const int result = LookupEntry(L"entry", 1, &entry);
        QueryPerformanceCounter(&to);
        if (result != 315) {
            std::printf("LookupEntry failed with %d\n", result);
            return;
        }
        samples.push_back(Seconds(from, to) * 1000.0);
    }
    std::sort(samples.begin(), samples.end());
    std::printf("LookupEntry round trip over %zu requests: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                samples.size(), samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.back());
    StopConnections();
}

void BenchUpload()
{
    NetTest::CTestPeer data([](NetTest::CTestPeer& p, const NetTest::PeerRequest& request) { p.Answer(request, 324); });
    UploadTicket ticket;
    ticket.address = 0x7F000001u;
    ticket.port = data.Port();
    std::vector<uint8_t> block(32768, 0x5A);
    constexpr int kBlocks = 2048;  // 64 MiB
    std::vector<double> samples;
    LARGE_INTEGER from, to;
    QueryPerformanceCounter(&from);
    for (int i = 0; i < kBlocks; ++i) {
        block[0] = static_cast<uint8_t>(i);
        LARGE_INTEGER before, after;
        QueryPerformanceCounter(&before);
        const int result = UploadBlock(ticket, static_cast<uint64_t>(i) * block.size(), 32768, block.data());
        QueryPerformanceCounter(&after);
        if (result != 324) {
            std::printf("UploadBlock failed with %d at block %d\n", result, i);
            return;
        }
        samples.push_back(Seconds(before, after) * 1000.0);
    }
    QueryPerformanceCounter(&to);
    const double seconds = Seconds(from, to);
    const double megabytes = kBlocks * 32768.0 / 1e6;
    std::sort(samples.begin(), samples.end());
    std::printf("UploadBlock with 32 KiB blocks: %.1f MB in %.2f s = %.1f MB/s (per block: median %.3f ms, "
                "p99 %.3f ms)\n",
                megabytes, seconds, megabytes / seconds, samples[samples.size() / 2],
                samples[samples.size() * 99 / 100]);
    StopConnections();
}

}  // namespace

int main()
{
    BenchLookup();
    BenchUpload();
    return 0;
}
