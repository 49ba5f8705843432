// The web pages on loopback: the time to answer the listing of a folder of
// 10,000 entries (and the page of one entry among them, which lists every
// folder as a move target), and the throughput of a 256 MiB upload and
// download through the pages. Prints figures; not a test.
#include "crypto.h"
#include "test_client.h"
#include "web_client.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace Tessel;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kFolders = 2000;
constexpr int kFiles = 8000;
constexpr int kRepeats = 15;
constexpr size_t kMiB = 1 << 20;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Fills a folder through the store, as the sync server would: folders, and
// files made from one content the account already holds.
bool FillFolder(TestServer& server, WebClient& web, int64_t& folder)
{
    Store& store = server.app().store();
    AccountRecord account;
    EntryRow big;
    if (!store.FindAccount("demo", account) || store.CreateFolder(account.id, 0, "一万个文件", big) != StoreStatus::Ok)
        return false;
    folder = big.id;
    web.Get("/files");
    auto res = web.Upload(folder, {{"file 00000.txt", "the same small content"}});
    if (!res || res->status != 303)
        return false;
    EntryRow entry;
    TicketRow ticket;
    const std::string md5 = Md5Hex("the same small content");
    for (int i = 1; i < kFiles; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "file %05d.txt", i);
        if (store.BeginUpload(account.id, folder, name, 22, md5, ticket, entry) != StoreStatus::ContentKnown)
            return false;
    }
    for (int i = 0; i < kFolders; ++i)
        if (store.CreateFolder(account.id, folder, "folder " + std::to_string(i), entry) != StoreStatus::Ok)
            return false;
    return true;
}

void TimePage(WebClient& web, const std::string& path, const char* what)
{
    std::vector<double> times;
    size_t bytes = 0;
    for (int i = 0; i < kRepeats; ++i) {
        const auto start = Clock::now();
        auto res = web.Get(path);
        times.push_back(Seconds(Clock::now() - start) * 1000);
        if (!res || res->status != 200) {
            std::printf("%s: failed\n", what);
            return;
        }
        bytes = res->body.size();
    }
    std::sort(times.begin(), times.end());
    std::printf("%s: median %.1f ms, fastest %.1f ms, slowest %.1f ms (%zu requests, %.2f MB page)\n", what,
                times[times.size() / 2], times.front(), times.back(), times.size(), bytes / 1e6);
}

// One block of pseudo-random bytes, varied per MiB so that no two MiB match.
std::string Block(size_t index)
{
    std::string block(kMiB, '\0');
    uint64_t state = 0x9E3779B97F4A7C15ull * (index + 1);
    for (size_t i = 0; i < block.size(); i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        for (size_t k = 0; k < 8; ++k)
            block[i + k] = static_cast<char>(state >> (8 * k));
    }
    return block;
}

std::string UploadHead(const std::string& boundary, const std::string& token)
{
    return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"token\"\r\n\r\n" + token + "\r\n--" +
           boundary + "\r\nContent-Disposition: form-data; name=\"folder\"\r\n\r\n0\r\n--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"big.bin\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n";
}

// Streams the upload form with the file made of the blocks over and over.
double Upload(httplib::Client& client, const httplib::Headers& headers, const std::string& token,
              const std::vector<std::string>& blocks, size_t size)
{
    const std::string boundary = "----tessel-bench";
    const std::string head = UploadHead(boundary, token);
    const std::string tail = "\r\n--" + boundary + "--\r\n";
    const auto start = Clock::now();
    auto res = client.Post(
        "/files/upload", headers, head.size() + size + tail.size(),
        [&](size_t offset, size_t, httplib::DataSink& sink) {
            if (offset < head.size())
                return sink.write(head.data() + offset, head.size() - offset);
            const size_t at = offset - head.size();
            if (at < size)
                return sink.write(blocks[(at / kMiB) % blocks.size()].data() + at % kMiB, kMiB - at % kMiB);
            return sink.write(tail.data() + (at - size), tail.size() - (at - size));
        },
        "multipart/form-data; boundary=" + boundary);
    return res && res->status == 303 ? Seconds(Clock::now() - start) : -1;
}

// The download's time, when its bytes have the expected MD5.
double Download(httplib::Client& client, const httplib::Headers& headers, int64_t id, const std::string& expected)
{
    Md5 received;
    const auto start = Clock::now();
    auto res = client.Get(("/files/download?id=" + std::to_string(id)).c_str(), headers,
                          [&](const char* data, size_t length) {
                              received.Update(data, length);
                              return true;
                          });
    const double seconds = Seconds(Clock::now() - start);
    return res && res->status == 200 && received.Hex() == expected ? seconds : -1;
}

bool TransferBigFile(TestServer& server, WebClient& web, size_t mib)
{
    std::vector<std::string> blocks;
    for (size_t i = 0; i < 16; ++i)
        blocks.push_back(Block(i));
    Md5 md5;
    for (size_t i = 0; i < mib; ++i)
        md5.Update(blocks[i % blocks.size()].data(), kMiB);
    const std::string expected = md5.Hex();
    web.Get("/files");
    httplib::Client client("127.0.0.1", server.http_port());
    client.set_read_timeout(600, 0);
    client.set_write_timeout(600, 0);
    const httplib::Headers headers = {{"Cookie", "tessel_session=" + web.cookie("tessel_session")}};
    const double up = Upload(client, headers, web.token(), blocks, mib * kMiB);
    EntryRow entry;
    AccountRecord account;
    if (up < 0 || !server.app().store().FindAccount("demo", account) ||
        server.app().store().Lookup(account.id, 0, "big.bin", entry) != StoreStatus::Ok || entry.md5 != expected) {
        std::printf("upload of %zu MiB failed\n", mib);
        return false;
    }
    const double down = Download(client, headers, entry.id, expected);
    if (down < 0) {
        std::printf("download of %zu MiB failed\n", mib);
        return false;
    }
    std::printf("one %zu MiB file through the pages: upload %.2f s (%.1f MiB/s), download %.2f s (%.1f MiB/s)\n",
                mib, up, mib / up, down, mib / down);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    TestServer server;
    WebClient web(server.http_port());
    if (!server.ok() || !web.SignIn("demo", "demo123")) {
        std::printf("the server did not start\n");
        return 1;
    }
    int64_t folder = 0;
    const auto start = Clock::now();
    if (!FillFolder(server, web, folder)) {
        std::printf("filling the folder failed\n");
        return 1;
    }
    std::printf("filled a folder with %d files and %d folders through the store in %.1f s\n", kFiles, kFolders,
                Seconds(Clock::now() - start));
    TimePage(web, "/files?folder=" + std::to_string(folder), "listing of 10,000 entries");
    TimePage(web, "/files", "listing of the root (1 entry)");
    AccountRecord account;
    EntryRow one;
    server.app().store().FindAccount("demo", account);
    server.app().store().Lookup(account.id, folder, "file 00001.txt", one);
    TimePage(web, "/files/entry?id=" + std::to_string(one.id), "page of one entry (2,001 move targets)");
    return TransferBigFile(server, web, mib) ? 0 : 1;
}
