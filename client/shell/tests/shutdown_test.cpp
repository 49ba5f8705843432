// What the shutdown does to digests in progress: the abort flag ends the
// digests of files and of the state file, and forgetting the MD5 functions
// ends every hash for the rest of the process. Forgetting cannot be undone,
// so this program is a test of its own and that case runs last.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "client/shell/controller.h"
#include "client/state/state_file.h"
#include "client/sync/file_utils.h"
#include "common/md5.h"
#include "common/tests/test_support.h"

namespace {

class Shutdown : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Helper::BindMd5());
        Helper::SetAppHost(&host_);
        ASSERT_TRUE(Testing::WriteFileBytes(file_, std::string(3 * 1024 * 1024, 'd')));
    }
    void TearDown() override
    {
        Helper::App().abort_flag.store(0);
        Helper::SetAppHost(nullptr);
    }

    bool FileDigestWorks()
    {
        Helper::DigestText digest = {};
        return Helper::FileDigest(file_.c_str(), digest);
    }
    bool StateDigestWorks()
    {
        char digest[33] = {};
        return Sync::StateFileDigest(file_.c_str(), digest);
    }

    Helper::CController host_;
    Testing::CTempFolder folder_{L"tray-shutdown"};
    std::wstring file_ = folder_ / L"data.bin";
};

TEST_F(Shutdown, AbortFlagEndsFileAndStateFileDigests)
{
    EXPECT_TRUE(FileDigestWorks());
    EXPECT_TRUE(StateDigestWorks());
    Helper::App().abort_flag.store(1);
    EXPECT_FALSE(FileDigestWorks());
    EXPECT_FALSE(StateDigestWorks());
    Helper::App().abort_flag.store(0);
    EXPECT_TRUE(FileDigestWorks());
}

TEST_F(Shutdown, ForgottenMd5FunctionsGiveNoDigestAnyMore)
{
    Helper::Md5Context started = {};
    Helper::Md5Init(&started);
    Helper::Md5Update(&started, "abc", 3);
    Helper::UnbindMd5();
    EXPECT_FALSE(Helper::Md5Final(&started));
    EXPECT_FALSE(Helper::Md5Available());
    EXPECT_FALSE(Helper::BindMd5());
    char hex[33] = {};
    EXPECT_FALSE(Helper::Md5Hex("abc", 3, hex));
    EXPECT_FALSE(FileDigestWorks());
    EXPECT_FALSE(StateDigestWorks());
}

}  // namespace
