#include "client/net/session.h"

#include <gtest/gtest.h>


namespace Net {
namespace {

TEST(SessionTest, PasswordDigestIsLowerCaseMd5OfUtf8)
{
    wchar_t digest[33];
    ASSERT_TRUE(MakePasswordDigest(L"password", digest, 33));
    EXPECT_STREQ(digest, L"5f4dcc3b5aa765d61d8327deb882cf99");

    // Non-ASCII passwords are hashed as UTF-8: MD5 of the bytes e4 bd a0.
    ASSERT_TRUE(MakePasswordDigest(L"\x4f60", digest, 33));
    EXPECT_STREQ(digest, L"df1fd9101108b40d26977a8d0bb9fd1e");

    // The digest may replace the typed password in its own buffer.
    wchar_t buffer[64] = L"secret12";
    ASSERT_TRUE(MakePasswordDigest(buffer, buffer, 64));
    wchar_t again[33];
    ASSERT_TRUE(MakePasswordDigest(L"secret12", again, 33));
    EXPECT_STREQ(buffer, again);

    EXPECT_FALSE(MakePasswordDigest(L"x", digest, 32));
    EXPECT_FALSE(MakePasswordDigest(nullptr, digest, 33));
}

}  // namespace
}  // namespace Net
