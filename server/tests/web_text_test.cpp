// The text rules, templates, recovery codes and rate limits of the web
// pages, without a server.
#include "web_pages.h"
#include "web_rate_limit.h"
#include "web_template.h"
#include "web_text.h"

#include <gtest/gtest.h>

namespace Tessel {
namespace {

TEST(WebText, EscapesEveryCharacterThatOpensMarkupOrAttributes)
{
    EXPECT_EQ(HtmlEscape("<script>alert('x')</script> & \"q\""),
              "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;q&quot;");
    EXPECT_EQ(HtmlEscape("文件 1.txt"), "文件 1.txt");
}

TEST(WebText, ParsesFormsAndRefusesBrokenOnes)
{
    FormFields form;
    ASSERT_TRUE(ParseForm("user=%E4%B8%AD%E6%96%87&password=a+b%26c&user=second&empty=&flag", form));
    EXPECT_EQ(form["user"], "中文") << "the first of two values counts";
    EXPECT_EQ(form["password"], "a b&c");
    EXPECT_EQ(form["empty"], "");
    EXPECT_TRUE(form.count("flag"));
    EXPECT_FALSE(ParseForm("a=%4", form)) << "a cut escape";
    EXPECT_FALSE(ParseForm("a=%zz", form));
    EXPECT_FALSE(ParseForm("a=%FF%FE", form)) << "not UTF-8";
    EXPECT_FALSE(ParseForm("a=%C0%AF", form)) << "an overlong form";
}

TEST(WebText, ReadsOneCookieOfManyAndCountsLikeTheClient)
{
    EXPECT_EQ(CookieValue("a=1; tessel_session=XYZ ;b=2", "tessel_session"), "XYZ");
    EXPECT_EQ(CookieValue("xtessel_session=1", "tessel_session"), "");
    EXPECT_EQ(Utf16Length("abc"), 3u);
    EXPECT_EQ(Utf16Length("网盘用户"), 4u);
    EXPECT_EQ(Utf16Length("\xF0\x9F\x98\x80"), 2u) << "outside the basic plane: a surrogate pair";
    EXPECT_FALSE(Utf16Length("\xFF"));
}

TEST(WebText, ParsesEntryIdsStrictly)
{
    EXPECT_EQ(ParseEntryId("0"), 0);
    EXPECT_EQ(ParseEntryId("2147483647"), 2147483647);
    EXPECT_FALSE(ParseEntryId("2147483648"));
    EXPECT_FALSE(ParseEntryId("-1"));
    EXPECT_FALSE(ParseEntryId("1 "));
    EXPECT_FALSE(ParseEntryId(""));
    EXPECT_FALSE(ParseEntryId("00000000001"));
}

TEST(WebText, ShowsSizesAndSpaceAsTheClientDoes)
{
    EXPECT_EQ(SizeText(0), "0.0 Byte");
    EXPECT_EQ(SizeText(1023), "1023.0 Byte");
    EXPECT_EQ(SizeText(1024), "1.0 KB");
    EXPECT_EQ(SizeText(1536), "1.5 KB");
    EXPECT_EQ(SizeText(1ull << 30), "1.0 GB");
    EXPECT_EQ(SpaceText(10ull << 30, 15ull << 29), "共 10.0 GB空间，已使用75.0%，剩余 2.5 GB");
    EXPECT_EQ(SpaceText(0, 0), "共 0.0 Byte空间，已使用0.0%，剩余 0.0 Byte");
    EXPECT_EQ(SpaceText(100, 150), "共 100.0 Byte空间，已使用100.0%，剩余 0.0 Byte") << "more used than the quota";
}

TEST(WebText, NamesDownloadsSafely)
{
    EXPECT_EQ(AttachmentDisposition("报告 1.pdf"),
              "attachment; filename=\"__ 1.pdf\"; filename*=UTF-8''%E6%8A%A5%E5%91%8A%201.pdf");
    EXPECT_EQ(AttachmentDisposition("a\"b;c\\d%e\r\n"),
              "attachment; filename=\"a_b_c_d_e__\"; filename*=UTF-8''a%22b%3Bc%5Cd%25e%0D%0A");
}

TEST(WebTemplate, EscapesSlotsUnlessTheyAreRaw)
{
    Template page;
    ASSERT_TRUE(page.Parse("<p title=\"{{title}}\">{{{body}}}</p>{{missing}}!"));
    EXPECT_EQ(page.Render({{"title", "\"><script>"}, {"body", "<b>bold</b>"}}),
              "<p title=\"&quot;&gt;&lt;script&gt;\"><b>bold</b></p>!");
    EXPECT_FALSE(page.Parse("text {{open"));
    EXPECT_FALSE(page.Parse("text {{{open}}"));
}

TEST(WebTemplate, EveryAssetIsBuiltIn)
{
    for (const char* name : {"layout.html", "files.html", "style.css", "pages.js"})
        EXPECT_NE(FindWebAsset(name), nullptr) << name;
    EXPECT_EQ(FindWebAsset("../tessel.db"), nullptr);
}

TEST(RecoveryCodes, AreReadBackAsTyped)
{
    const std::string code = NewRecoveryCode();
    ASSERT_EQ(code.size(), 23u);
    EXPECT_EQ(NormalizeRecoveryCode(code), code);
    std::string typed;
    for (char c : code)
        if (c != '-')
            typed += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    EXPECT_EQ(NormalizeRecoveryCode(" " + typed.substr(0, 7) + " " + typed.substr(7)), code);
    EXPECT_NE(NewRecoveryCode(), code);
    EXPECT_EQ(NormalizeRecoveryCode("ABCDE-FGHJK-LMNPQ-RSTU"), "") << "too short";
    EXPECT_EQ(NormalizeRecoveryCode("ABCDE-FGHJK-LMNPQ-RSTU0"), "") << "0 is never issued";
    EXPECT_EQ(NormalizeRecoveryCode("ABCDE-FGHJK-LMNPQ-RSTUV-W"), "") << "too long";
}

TEST(RateLimits, CountAttemptsPerAddressInTheWindow)
{
    RateLimiter limiter(RateLimit{3, std::chrono::seconds(60)});
    const auto start = RateLimiter::Clock::now();
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(limiter.Allow("10.0.0.1", start + std::chrono::seconds(i)));
    EXPECT_FALSE(limiter.Allow("10.0.0.1", start + std::chrono::seconds(10)));
    EXPECT_TRUE(limiter.Allow("10.0.0.2", start + std::chrono::seconds(10))) << "another address";
    EXPECT_FALSE(limiter.Allow("10.0.0.1", start + std::chrono::seconds(59)));
    EXPECT_TRUE(limiter.Allow("10.0.0.1", start + std::chrono::seconds(60))) << "the first attempt left the window";
    EXPECT_FALSE(limiter.Allow("10.0.0.1", start + std::chrono::seconds(60)));
    EXPECT_TRUE(limiter.Allow("10.0.0.1", start + std::chrono::seconds(200)));
}

}  // namespace
}  // namespace Tessel
