#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <random>

#include "common/xml_reader.h"
#include "common/xml_writer.h"

namespace {

std::string SeedDocument()
{
    Helper::CXmlWriter w;
    w.SetIndent(true);
    w.StartDocument();
    w.StartElement(u"ROOT");
    w.StartElement(u"DIR");
    w.WriteAttribute(u"id", u"1");
    w.WriteAttribute(u"name", u"a&b \"中\"");
    w.StartElement(u"FILE");
    w.WriteAttribute(u"md5", u"0123456789abcdef0123456789abcdef");
    w.EndElement();
    w.EndElement();
    w.EndDocument();
    return w.Output() + "<!-- x --><?p q?><![CDATA[z]]>&amp;&#x41;";
}

std::string Mutate(const std::string& seed, std::mt19937& rng)
{
    static const char* const kTokens[] = {"<", ">", "/>", "</", "&", ";", "&#x", "\"", "'", "=",
                                          "<!--", "-->", "<![CDATA[", "]]>", "<?", "?>", "\xF0",
                                          "\xC3", "<!DOCTYPE", "\r", "\0"};
    std::string s = seed;
    int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
        size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 4) {
        case 0:
            if (!s.empty() && at < s.size())
                s.erase(at, 1 + rng() % 16);
            break;
        case 1:
            s.insert(at, kTokens[rng() % std::size(kTokens)]);
            break;
        case 2:
            if (at < s.size())
                s[at] = static_cast<char>(rng());
            break;
        default:
            if (!s.empty())
                s.insert(at, s.substr(rng() % s.size(), rng() % 64));
            break;
        }
    }
    return s;
}

}  // namespace

TEST(XmlFuzz, RandomDocumentsNeverCrashHangOrOverread)
{
    const char* env = std::getenv("TAVO_FUZZ_SECONDS");
    const double seconds = env ? std::atof(env) : 8.0;
    const std::string seed = SeedDocument();
    std::mt19937 rng(20261207);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    size_t runs = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        // An exact-size heap copy lets the sanitizer catch any read past the end.
        std::string doc = Mutate(seed, rng);
        std::unique_ptr<char[]> exact(new char[doc.empty() ? 1 : doc.size()]);
        std::copy(doc.begin(), doc.end(), exact.get());
        Helper::CXmlReader reader(std::string_view(exact.get(), doc.size()));
        size_t nodes = 0;
        while (reader.Read() == Helper::XmlReadResult::Node) {
            ASSERT_LT(++nodes, doc.size() + 2);
            for (size_t i = 0; i < reader.AttributeCount(); ++i)
                (void)reader.AttributeValue(i).size();
        }
        ++runs;
    }
    std::printf("xml fuzz: %zu documents in %.1f s\n", runs, seconds);
    EXPECT_GT(runs, 100u);
}
