#include "updater/update_manifest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Updater {
namespace {

using Texts = std::vector<std::u16string>;

const char kTwoPlatforms[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<update>\n"
    "  <client os=\"win32\">\n"
    "    <version>1.0.0.5</version><file>setup32.exe</file>\n"
    "    <url>http://a/32</url><md5>00000000000000000000000000000032</md5>\n"
    "  </client>\n"
    "  <client os=\"win64\">\n"
    "    <version>1.0.0.6</version>\n"
    "    <file>setup64.exe</file>\n"
    "    <urls><url>http://a/64?x=1&amp;y=2</url><mirror><url>http://b/64</url></mirror></urls>\n"
    "    <md5>00000000000000000000000000000064</md5>\n"
    "  </client>\n"
    "</update>\n";

std::string Client(const std::string& os, const std::string& content)
{
    return "<update><client os=\"" + os + "\">" + content + "</client></update>";
}

std::string FourTexts(const std::string& version, const std::string& file, const std::string& md5)
{
    return "<v>" + version + "</v><f>" + file + "</f><u>http://h/p</u><m>" + md5 + "</m>";
}

TEST(UpdateManifestTest, TakesOnlyThePlatformsClientInDocumentOrder)
{
    Texts texts;
    ASSERT_TRUE(ParseUpdateManifest(kTwoPlatforms, u"win64", &texts));
    EXPECT_EQ(texts, (Texts{u"1.0.0.6", u"setup64.exe", u"http://a/64?x=1&y=2", u"http://b/64",
                            u"00000000000000000000000000000064"}));
    ASSERT_TRUE(ParseUpdateManifest(kTwoPlatforms, u"win32", &texts));
    EXPECT_EQ(texts, (Texts{u"1.0.0.5", u"setup32.exe", u"http://a/32", u"00000000000000000000000000000032"}));
}

TEST(UpdateManifestTest, FailsWithoutAMatchingClient)
{
    Texts texts{u"stale"};
    EXPECT_FALSE(ParseUpdateManifest(kTwoPlatforms, u"Win64", &texts));
    EXPECT_TRUE(texts.empty());
    EXPECT_FALSE(ParseUpdateManifest("<update/>", u"win64", &texts));
    EXPECT_FALSE(ParseUpdateManifest("", u"win64", &texts));
}

TEST(UpdateManifestTest, AClientWithoutOsEndsTheSearch)
{
    Texts texts;
    std::string doc = "<u><client>" + FourTexts("1", "a.exe", "m") + "</client>" + "<client os=\"win64\">" +
                      FourTexts("1", "a.exe", "m") + "</client></u>";
    EXPECT_FALSE(ParseUpdateManifest(doc, u"win64", &texts));
}

TEST(UpdateManifestTest, ElementNamesInsideClientAreNotLookedAt)
{
    Texts texts;
    std::string doc = Client("win64", "1.0.0.1<a>b.exe<client>http://x</client></a><!-- c -->tail");
    ASSERT_TRUE(ParseUpdateManifest(doc, u"win64", &texts));
    EXPECT_EQ(texts, (Texts{u"1.0.0.1", u"b.exe", u"http://x", u"tail"}));

    // Self-closing elements open nothing that would have to end.
    doc = "<u><client os=\"win64\"><v>1.0.0.2</v><br/><f>c.exe</f><client os=\"win32\"/><u>http://y</u>"
          "<m>m</m></client><client os=\"win64\">" + FourTexts("9", "later.exe", "m") + "</client></u>";
    ASSERT_TRUE(ParseUpdateManifest(doc, u"win64", &texts));
    EXPECT_EQ(texts, (Texts{u"1.0.0.2", u"c.exe", u"http://y", u"m"}));
}

TEST(UpdateManifestTest, NeedsFourTexts)
{
    Texts texts;
    EXPECT_FALSE(ParseUpdateManifest(Client("win64", "<v>1.0</v><f>a.exe</f><m>abc</m>"), u"win64", &texts));
    EXPECT_TRUE(texts.empty());
}

TEST(UpdateManifestTest, AnEmptyMatchingClientDoesNotBorrowTheNextOnesTexts)
{
    Texts texts;
    std::string doc = "<u><client os=\"win64\"/><client os=\"win32\">" + FourTexts("1", "a.exe", "m") +
                      "</client></u>";
    EXPECT_FALSE(ParseUpdateManifest(doc, u"win64", &texts));
}

TEST(UpdateManifestTest, MalformedInputBeforeTheClientEndsFails)
{
    Texts texts;
    EXPECT_FALSE(ParseUpdateManifest("<u><client os=\"win64\">" + FourTexts("1", "a.exe", "m"), u"win64", &texts));
    EXPECT_FALSE(
        ParseUpdateManifest("<u><client os=\"win64\">" + FourTexts("1", "a.exe", "m") + "</x></u>", u"win64", &texts));
    EXPECT_FALSE(ParseUpdateManifest("<!DOCTYPE u [<!ENTITY e \"x\">]><u><client os=\"win64\">" +
                                         FourTexts("1", "a.exe", "m") + "</client></u>",
                                     u"win64", &texts));
}

TEST(UpdateManifestTest, ValidatesVersionPackageNameAndChecksum)
{
    Texts texts;
    EXPECT_FALSE(ParseUpdateManifest(Client("win64", FourTexts("1.0a", "a.exe", "m")), u"win64", &texts));
    EXPECT_FALSE(ParseUpdateManifest(Client("win64", FourTexts("1.0", "a.exe", "\xC3\xA9")), u"win64", &texts));
    // With more than one address the checksum is still the last text, and
    // only it must be plain ASCII.
    const std::string two_urls = "<v>1.0</v><f>a.exe</f><u>http://h/1</u><u>http://h/\xC3\xA9</u>";
    EXPECT_FALSE(ParseUpdateManifest(Client("win64", two_urls + "<m>\xC3\xA9</m>"), u"win64", &texts));
    ASSERT_TRUE(ParseUpdateManifest(Client("win64", two_urls + "<m>abc</m>"), u"win64", &texts));
    EXPECT_EQ(texts.size(), 5u);
    for (const char* name : {"set?up.exe", "a:b", "a*b", "a\"b", "a&lt;b", "a&gt;b", "a|b", "..\\evil.exe",
                             "sub/evil.exe", ".", ".."}) {
        EXPECT_FALSE(ParseUpdateManifest(Client("win64", FourTexts("1.0", name, "m")), u"win64", &texts)) << name;
    }
    EXPECT_TRUE(ParseUpdateManifest(Client("win64", FourTexts("1.0", "...exe", "m")), u"win64", &texts));
    EXPECT_TRUE(ParseUpdateManifest(Client("win64", FourTexts("1.0", "安装.exe", "m")), u"win64", &texts));
    EXPECT_EQ(texts[1], u"安装.exe");
}

TEST(UpdateManifestTest, WhitespaceIsNotATextButSurroundsOne)
{
    Texts texts;
    EXPECT_FALSE(ParseUpdateManifest(Client("win64", "<v> 1.0 </v><f>a.exe</f><u>http://h</u><m>m</m>"), u"win64",
                                     &texts));
    ASSERT_TRUE(ParseUpdateManifest(Client("win64", "\n <v>1.0</v>\n <f>a b.exe</f>\n <u>http://h</u>\n <m>m</m>\n"),
                                    u"win64", &texts));
    EXPECT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[1], u"a b.exe");
}

TEST(UpdateManifestTest, CutsLongTextsWithoutSplittingACharacter)
{
    Texts texts;
    std::string url(300, 'u');
    std::string doc = Client("win64", "<v>1</v><f>a.exe</f><u>" + url + "</u><m>m</m>");
    ASSERT_TRUE(ParseUpdateManifest(doc, u"win64", &texts));
    EXPECT_EQ(texts[2], std::u16string(kManifestTextLimit, u'u'));

    // U+1F600 takes two UTF-16 units; the cut falls between them.
    std::string name = std::string(kManifestTextLimit - 1, 'n') + "\xF0\x9F\x98\x80.exe";
    ASSERT_TRUE(ParseUpdateManifest(Client("win64", FourTexts("1", name, "m")), u"win64", &texts));
    EXPECT_EQ(texts[1], std::u16string(kManifestTextLimit - 1, u'n'));
}

TEST(UpdateManifestTest, PackageFileNameRules)
{
    EXPECT_TRUE(IsValidPackageFileName(u"TavoTesselSetup_1.0.0.6.exe"));
    EXPECT_TRUE(IsValidPackageFileName(std::u16string(kPackageNameLimit, u'a')));
    EXPECT_FALSE(IsValidPackageFileName(std::u16string(kPackageNameLimit + 1, u'a')));
    EXPECT_FALSE(IsValidPackageFileName(u"C:\\Windows\\evil.exe"));
    EXPECT_FALSE(IsValidPackageFileName(u"/tmp/evil"));
}

}  // namespace
}  // namespace Updater
