// The upload framing and the server address rules of the crash reporter.
#include "crashrpt/report_format.h"

#include <gtest/gtest.h>

namespace CrashRpt {
namespace {

TEST(Base64, EncodesEveryTailLength)
{
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
    EXPECT_EQ(Base64Encode(std::string("\xff\xfe\x00", 3)), "//4A");
    EXPECT_EQ(BasicAuthorization("Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
}

TEST(SplitServer, TakesHostPortAndBracketedAddresses)
{
    std::string host;
    uint16_t port = 0;
    ASSERT_TRUE(SplitServer("crash.example.com", 80, &host, &port));
    EXPECT_EQ(host, "crash.example.com");
    EXPECT_EQ(port, 80);
    ASSERT_TRUE(SplitServer("127.0.0.1:8765", 80, &host, &port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 8765);
    ASSERT_TRUE(SplitServer("[::1]:65535", 80, &host, &port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 65535);
    ASSERT_TRUE(SplitServer("[::1]", 80, &host, &port));
    EXPECT_EQ(port, 80);
}

TEST(SplitServer, RefusesWhatNamesNoServer)
{
    std::string host = "kept";
    uint16_t port = 1;
    for (const char* bad : {"", ":80", "host:", "host:0", "host:65536", "host:8x", "host:123456", "[::1", "[]:80",
                            "[::1]x", "[::1]:", "a b", "http://host", "user@host", "host/path"}) {
        EXPECT_FALSE(SplitServer(bad, 80, &host, &port)) << bad;
    }
    EXPECT_EQ(host, "kept") << "a refused address leaves the outputs alone";
    EXPECT_EQ(port, 1);
}

TEST(Multipart, FramesFilesAndTextAndKeepsNamesInsideTheirQuotes)
{
    EXPECT_EQ(PartHeader("B", "dump", "crash.dmp"),
              "--B\r\nContent-Disposition: form-data; name=\"dump\"; filename=\"crash.dmp\"\r\n"
              "Content-Type: application/octet-stream\r\n\r\n");
    EXPECT_EQ(PartHeader("B", "version", ""),
              "--B\r\nContent-Disposition: form-data; name=\"version\"\r\n"
              "Content-Type: text/plain; charset=utf-8\r\n\r\n");
    EXPECT_EQ(PartHeader("B", "file", "a\"b\r\nc\\d"),
              "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a_b__c_d\"\r\n"
              "Content-Type: application/octet-stream\r\n\r\n");
    EXPECT_EQ(ClosingLine("B"), "--B--\r\n");
    EXPECT_EQ(ContentTypeHeader("B"), "Content-Type: multipart/form-data; boundary=B");
}

TEST(ReportFiles, TravelInTheirFieldsAndCarryTheirVersion)
{
    EXPECT_STREQ(FieldForReportFile("crash.dmp"), "dump");
    EXPECT_STREQ(FieldForReportFile("crash.log"), "log");
    EXPECT_STREQ(FieldForReportFile("demo.user_cfg"), "file");
    EXPECT_EQ(VersionFromLog("Version: v1.0.0.1(1)/2024_05_01/10_30_00_123\nTime: x\n"),
              "v1.0.0.1(1)/2024_05_01/10_30_00_123");
    EXPECT_EQ(VersionFromLog("Version: v2\r\n"), "v2");
    EXPECT_EQ(VersionFromLog("Version: cut short"), "") << "a first line without its end is not trusted";
    EXPECT_EQ(VersionFromLog("Time: x\nVersion: v1\n"), "");
}

TEST(UploadOutcome, OnlyLastingRefusalsStopTheRetries)
{
    EXPECT_EQ(OutcomeOfStatus(200), UploadOutcome::Sent);
    EXPECT_EQ(OutcomeOfStatus(201), UploadOutcome::Sent);
    EXPECT_EQ(OutcomeOfStatus(400), UploadOutcome::Refused);
    EXPECT_EQ(OutcomeOfStatus(413), UploadOutcome::Refused);
    EXPECT_EQ(OutcomeOfStatus(401), UploadOutcome::Retry) << "the host may learn the account later";
    EXPECT_EQ(OutcomeOfStatus(404), UploadOutcome::Retry) << "a host without the endpoint yet";
    EXPECT_EQ(OutcomeOfStatus(500), UploadOutcome::Retry);
    EXPECT_EQ(OutcomeOfStatus(507), UploadOutcome::Retry);
}

}  // namespace
}  // namespace CrashRpt
