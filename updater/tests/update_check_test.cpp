#include "updater/update_check.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>

#include "common/md5.h"
#include "updater/package_verify.h"
#include "updater/tests/updater_test_support.h"

namespace Updater {
namespace {

using Testing::BuildManifest;
using Testing::ManifestClient;
using Testing::Narrow;

// Every check runs with its own temporary folder, its own stand-in for
// HKEY_CURRENT_USER and its own folder on the test server.
class UpdateCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Helper::BindMd5());
        ASSERT_TRUE(server_.Connect()) << "the test HTTP server is not running";
        tmp_ = std::make_unique<Testing::CEnvironmentScope>(L"TMP", scratch_.Path());
        temp_ = std::make_unique<Testing::CEnvironmentScope>(L"TEMP", scratch_.Path());
        ASSERT_TRUE(registry_.Redirect());
        token_ = Testing::UniqueToken();
        package_ = std::string(100000, 'p') + Narrow(token_);
    }

    std::wstring PublishManifest(const std::string& xml) { return server_.Publish(token_, L"tessel.xml", xml); }
    std::wstring PublishPackage(const std::wstring& name = L"setup.exe")
    {
        return server_.Publish(token_, name, package_);
    }
    std::string PackageMd5() const { return Testing::Md5HexOf(package_); }

    // A manifest offering version for this platform, with one package URL.
    std::wstring Offer(const std::string& version)
    {
        std::wstring url = PublishPackage();
        return PublishManifest(BuildManifest({{"win64", {version, "setup.exe", Narrow(url), PackageMd5()}}}));
    }

    UpdateCheckResult Check(const std::wstring& manifest_url) { return RunUpdateCheck(&context_, manifest_url.c_str()); }

    bool PackageDownloaded(const std::wstring& name = L"setup.exe") const
    {
        std::string bytes;
        return Testing::ReadFileBytes(scratch_.Path() + name, &bytes) && bytes == package_;
    }

    Testing::CTestServer server_;
    Testing::CScratchFolder scratch_;
    std::unique_ptr<Testing::CEnvironmentScope> tmp_;
    std::unique_ptr<Testing::CEnvironmentScope> temp_;
    Testing::CRegistrySandbox registry_;
    std::wstring token_;
    std::string package_;
    UpdateContext context_{};
};

TEST_F(UpdateCheckTest, WithoutAnInstalledVersionNothingIsAsked)
{
    std::wstring manifest = Offer("1.0.0.2");
    EXPECT_EQ(Check(manifest), kUpdateFailed);
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1", REG_EXPAND_SZ));
    EXPECT_EQ(Check(manifest), kUpdateFailed);
    EXPECT_EQ(server_.Hits(L"/files/" + token_ + L"/tessel.xml"), 0);
}

TEST_F(UpdateCheckTest, AnInstalledVersionTooLongForItsBufferFails)
{
    // The value is read into 38 bytes: 18 characters and a terminator.
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1.2.3.4.5.6.7"));
    EXPECT_EQ(Check(Offer("1.0.0.2")), kUpdateFailed);
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1.2.3.4.5.67"));
    EXPECT_EQ(Check(Offer("1.0.0.1")), kUpdateCurrent);
    EXPECT_STREQ(context_.installed_version, L"1.0.0.1.2.3.4.5.67");
}

TEST_F(UpdateCheckTest, TheManifestServersStatusDecidesReachability)
{
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1"));
    EXPECT_EQ(Check(server_.Url(L"/status/404/tessel.xml")), kUpdateFailed);
    EXPECT_EQ(Check(server_.Url(L"/status/500/tessel.xml")), kUpdateFailed);
    // Not modified counts as reachable: the check goes on to the manifest.
    Offer("1.0.0.1");
    EXPECT_EQ(Check(server_.Url(L"/once304/" + token_ + L"/tessel.xml")), kUpdateCurrent);
    EXPECT_EQ(server_.Hits(L"/once304/" + token_ + L"/tessel.xml"), 2);
}

struct VersionPair {
    const wchar_t* installed;
    const char* offered;
    UpdateCheckResult result;
};

class UpdateCheckVersionTest : public UpdateCheckTest, public ::testing::WithParamInterface<VersionPair> {};

TEST_P(UpdateCheckVersionTest, DownloadsOnlyWhenTheInstalledVersionIsOlder)
{
    const VersionPair& pair = GetParam();
    ASSERT_TRUE(registry_.SetVersion(pair.installed));
    EXPECT_EQ(Check(Offer(pair.offered)), pair.result);
    EXPECT_EQ(PackageDownloaded(), pair.result == kUpdateReady);
    EXPECT_EQ(server_.Hits(L"/files/" + token_ + L"/setup.exe"), pair.result == kUpdateReady ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Pairs, UpdateCheckVersionTest,
                         ::testing::Values(VersionPair{L"1.0.0.9", "1.0.0.10", kUpdateReady},
                                           VersionPair{L"1.0", "1.0.0.1", kUpdateReady},
                                           VersionPair{L"2.0", "1.0.0.1", kUpdateReady},
                                           VersionPair{L"1.0.0.2", "1.0.0.2", kUpdateCurrent},
                                           VersionPair{L"1.0.0.3", "1.0.0.2", kUpdateCurrent}));

TEST_F(UpdateCheckTest, FillsTheContextFromTheManifest)
{
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1"));
    EXPECT_EQ(Check(Offer("1.0.0.2")), kUpdateReady);
    EXPECT_EQ(std::wstring(context_.temp_folder), scratch_.Path());
    EXPECT_EQ(std::wstring(context_.manifest_path), scratch_.Path() + L"tessel.xml");
    EXPECT_STREQ(context_.offered_version, L"1.0.0.2");
    EXPECT_STREQ(context_.package_file_name, L"setup.exe");
    ASSERT_EQ(context_.download_urls.size(), 1u);
    EXPECT_EQ(context_.download_urls[0], server_.Url(L"/files/" + token_ + L"/setup.exe"));
    EXPECT_TRUE(context_.is_64bit_windows);
}

TEST_F(UpdateCheckTest, BadManifestsFail)
{
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1"));
    std::string url = Narrow(PublishPackage());
    const std::vector<std::vector<std::string>> bad = {
        {"1.0.0.2", "setup.exe", PackageMd5()},                // three texts
        {"1.0.0.2", "set?up.exe", url, PackageMd5()},          // refused character
        {"1.0.0.2", "..\\escape.exe", url, PackageMd5()},      // leaves the temp folder
        {"1.0.0.2", "..", url, PackageMd5()},                  // not a file name
        {"1.0.0.2b", "setup.exe", url, PackageMd5()},          // letter in the version
    };
    for (const auto& texts : bad) {
        EXPECT_EQ(Check(PublishManifest(BuildManifest({{"win64", texts}}))), kUpdateFailed) << texts[1];
        EXPECT_FALSE(Testing::FileExists(scratch_.Path() + L"..\\escape.exe"));
    }
    EXPECT_EQ(Check(PublishManifest("<tessel><client os=\"win64\">")), kUpdateFailed);
    EXPECT_EQ(Check(PublishManifest(BuildManifest({{"win32", {"1.0.0.2", "setup.exe", url, PackageMd5()}}}))),
              kUpdateFailed);
    EXPECT_EQ(server_.Hits(L"/files/" + token_ + L"/setup.exe"), 0);
}

TEST_F(UpdateCheckTest, UsesOnlyThisPlatformsClient)
{
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1"));
    std::wstring other = server_.Publish(token_, L"setup32.exe", "32-bit package");
    std::wstring mine = PublishPackage(L"setup64.exe");
    std::wstring manifest = PublishManifest(BuildManifest({
        {"win32", {"1.0.0.3", "setup32.exe", Narrow(other), Testing::Md5HexOf("32-bit package")}},
        {"win64", {"1.0.0.2", "setup64.exe", Narrow(mine), PackageMd5()}},
    }));
    EXPECT_EQ(Check(manifest), kUpdateReady);
    EXPECT_STREQ(context_.offered_version, L"1.0.0.2");
    EXPECT_TRUE(PackageDownloaded(L"setup64.exe"));
    EXPECT_EQ(server_.Hits(L"/files/" + token_ + L"/setup32.exe"), 0);
}

TEST_F(UpdateCheckTest, ChecksumIsCutTo32DigitsAndCaseCounts)
{
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1"));
    std::string url = Narrow(PublishPackage());
    std::string long_sum = PackageMd5() + "01234567";
    EXPECT_EQ(Check(PublishManifest(BuildManifest({{"win64", {"1.0.0.2", "setup.exe", url, long_sum}}}))),
              kUpdateReady);
    EXPECT_EQ(Narrow(context_.expected_checksum), PackageMd5());

    std::string upper = PackageMd5();
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    context_ = UpdateContext{};
    EXPECT_EQ(Check(PublishManifest(BuildManifest({{"win64", {"1.0.0.2", "setup.exe", url, upper}}}))),
              kUpdateFailed);
}

TEST_F(UpdateCheckTest, TriesTheDownloadUrlsInOrder)
{
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1"));
    std::string good = Narrow(PublishPackage());
    std::string wrong = Narrow(server_.Publish(token_, L"wrong.bin", "not the package"));
    const std::string unreachable = "http://127.0.0.1:1/setup.exe";
    const std::string missing = Narrow(server_.Url(L"/status/404/setup.exe"));
    std::wstring manifest = PublishManifest(
        BuildManifest({{"win64", {"1.0.0.2", "setup.exe", unreachable, missing, wrong, good, PackageMd5()}}}));
    EXPECT_EQ(Check(manifest), kUpdateReady);
    EXPECT_TRUE(PackageDownloaded());
    EXPECT_EQ(context_.download_urls.size(), 4u);
}

TEST_F(UpdateCheckTest, FailsWhenNoDownloadMatches)
{
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1"));
    std::string wrong = Narrow(server_.Publish(token_, L"wrong.bin", "not the package"));
    std::wstring manifest =
        PublishManifest(BuildManifest({{"win64", {"1.0.0.2", "setup.exe", wrong, "http://127.0.0.1:1/x", PackageMd5()}}}));
    EXPECT_EQ(Check(manifest), kUpdateFailed);
}

TEST_F(UpdateCheckTest, AStaleManifestIsReplaced)
{
    ASSERT_TRUE(registry_.SetVersion(L"1.0.0.1"));
    ASSERT_TRUE(Testing::WriteFileBytes(scratch_.Path() + L"tessel.xml", "stale"));
    EXPECT_EQ(Check(Offer("1.0.0.1")), kUpdateCurrent);
    std::string manifest;
    ASSERT_TRUE(Testing::ReadFileBytes(scratch_.Path() + L"tessel.xml", &manifest));
    EXPECT_NE(manifest.find("win64"), std::string::npos);
}

TEST(PackageVerifyTest, HashesFilesInChunks)
{
    ASSERT_TRUE(Helper::BindMd5());
    Testing::CScratchFolder scratch;
    const std::wstring path = scratch.Path() + L"package.bin";
    wchar_t hex[Helper::kMd5HexLength + 1];

    ASSERT_TRUE(Testing::WriteFileBytes(path, "abc"));
    ASSERT_TRUE(ComputeFileMd5Hex(path.c_str(), hex));
    EXPECT_STREQ(hex, L"900150983cd24fb0d6963f7d28e17f72");
    EXPECT_TRUE(VerifyPackage(path.c_str(), L"900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(VerifyPackage(path.c_str(), L"900150983CD24FB0D6963F7D28E17F72"));

    std::string big;
    for (int i = 0; i < 3 * 32768 + 17; ++i)
        big.push_back(static_cast<char>(i * 7));
    ASSERT_TRUE(Testing::WriteFileBytes(path, big));
    ASSERT_TRUE(ComputeFileMd5Hex(path.c_str(), hex));
    EXPECT_EQ(Narrow(hex), Testing::Md5HexOf(big));

    ASSERT_TRUE(Testing::WriteFileBytes(path, ""));
    ASSERT_TRUE(ComputeFileMd5Hex(path.c_str(), hex));
    EXPECT_STREQ(hex, L"d41d8cd98f00b204e9800998ecf8427e");
}

TEST(PackageVerifyTest, AMissingFileNeverPasses)
{
    ASSERT_TRUE(Helper::BindMd5());
    Testing::CScratchFolder scratch;
    const std::wstring path = scratch.Path() + L"absent.bin";
    wchar_t hex[Helper::kMd5HexLength + 1] = L"x";
    EXPECT_FALSE(ComputeFileMd5Hex(path.c_str(), hex));
    EXPECT_STREQ(hex, L"");
    EXPECT_FALSE(VerifyPackage(path.c_str(), L""));
}

}  // namespace
}  // namespace Updater
