#include <gtest/gtest.h>

#include <string>

#include "common/md5.h"

TEST(Md5, PlatformDigestsMatchKnownValues)
{
    ASSERT_TRUE(Helper::BindMd5());
    char hex[33];
    ASSERT_TRUE(Helper::Md5Hex("", 0, hex));
    EXPECT_STREQ(hex, "d41d8cd98f00b204e9800998ecf8427e");
    ASSERT_TRUE(Helper::Md5Hex("abc", 3, hex));
    EXPECT_STREQ(hex, "900150983cd24fb0d6963f7d28e17f72");

    // Fed in pieces that straddle the 64-byte block.
    std::string text(1000, 'x');
    Helper::Md5Context ctx{};
    Helper::Md5Init(&ctx);
    Helper::Md5Update(&ctx, text.data(), 63);
    Helper::Md5Update(&ctx, text.data() + 63, 937);
    Helper::Md5Final(&ctx);
    char pieces[33];
    Helper::FormatDigestHex(ctx.digest, pieces);
    ASSERT_TRUE(Helper::Md5Hex(text.data(), text.size(), hex));
    EXPECT_STREQ(pieces, hex);
}
