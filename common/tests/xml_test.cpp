#include <gtest/gtest.h>

#include "common/utf.h"
#include "common/xml_reader.h"
#include "common/xml_writer.h"

using Helper::XmlNodeType;
using Helper::CXmlReader;
using Helper::XmlReadResult;
using Helper::CXmlWriter;

namespace {

struct Node {
    XmlNodeType type;
    std::u16string name;
    std::u16string value;
};

std::vector<Node> ReadAll(std::string_view doc, XmlReadResult* last = nullptr)
{
    CXmlReader reader(doc);
    std::vector<Node> nodes;
    XmlReadResult result;
    while ((result = reader.Read()) == XmlReadResult::Node)
        nodes.push_back({reader.NodeType(), reader.LocalName(), reader.Value()});
    if (last)
        *last = result;
    return nodes;
}

}  // namespace

TEST(CXmlWriter, WritesBomDeclarationIndentationAndEscapes)
{
    CXmlWriter w;
    w.SetIndent(true);
    ASSERT_TRUE(w.StartDocument());
    ASSERT_TRUE(w.StartElement(u"ROOT"));
    ASSERT_TRUE(w.StartElement(u"DIR"));
    ASSERT_TRUE(w.WriteAttribute(u"name", u"a&b<c>\"d'e"));
    ASSERT_TRUE(w.StartElement(u"FILE"));
    ASSERT_TRUE(w.WriteAttribute(u"name", u"文件.txt"));
    ASSERT_TRUE(w.EndElement());
    ASSERT_TRUE(w.EndElement());
    ASSERT_TRUE(w.StartElement(u"T"));
    ASSERT_TRUE(w.WriteString(u"x < y & z > \"q\""));
    ASSERT_TRUE(w.EndDocument());
    EXPECT_EQ(w.Output(),
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
              "<ROOT>\r\n"
              "  <DIR name=\"a&amp;b&lt;c&gt;&quot;d'e\">\r\n"
              "    <FILE name=\"\xE6\x96\x87\xE4\xBB\xB6.txt\" />\r\n"
              "  </DIR>\r\n"
              "  <T>x &lt; y &amp; z &gt; \"q\"</T>\r\n"
              "</ROOT>\r\n");
}

TEST(CXmlWriter, RefusesWhatXmlCannotCarry)
{
    CXmlWriter w;
    ASSERT_TRUE(w.StartElement(u"ROOT"));
    EXPECT_FALSE(w.WriteAttribute(u"name", std::u16string(u"a\x01" u"b")));
    EXPECT_FALSE(w.WriteAttribute(u"name", std::u16string(1, char16_t(0xD800))));
    EXPECT_FALSE(w.WriteAttribute(u"1bad", u"v"));
    EXPECT_FALSE(w.StartElement(u"has space"));
    ASSERT_TRUE(w.EndElement());
    EXPECT_FALSE(w.EndElement());
    EXPECT_FALSE(w.WriteAttribute(u"late", u"v"));

    // The stand-in of such text: each character it cannot carry becomes
    // U+FFFD, what it can stays, pairs of surrogates included.
    const std::u16string odd = std::u16string(u"a\x01" u"b") + char16_t(0xD800) + u"c\t\xFFFF" + u"\U0001F600";
    const std::u16string stand_in = Helper::CarriableText(odd);
    EXPECT_EQ(stand_in, std::u16string(u"a\xFFFD" u"b\xFFFD" u"c\t\xFFFD" u"\U0001F600"));
    CXmlWriter again;
    ASSERT_TRUE(again.StartElement(u"ROOT"));
    EXPECT_TRUE(again.WriteAttribute(u"name", stand_in));
}

TEST(XmlRoundTrip, AttributeValuesSurviveExactly)
{
    const std::u16string values[] = {
        u"plain", u"&amp; literal", u"<>\"'&", u"tab\there", u"line\r\nbreak\n", u"中文 名字",
        u"emoji \U0001F600", u"  spaces  ", u"",
    };
    CXmlWriter w;
    w.SetIndent(true);
    w.StartElement(u"ROOT");
    for (const auto& v : values) {
        w.StartElement(u"FILE");
        w.WriteAttribute(u"name", v);
        w.EndElement();
    }
    w.EndDocument();

    CXmlReader r(w.Output());
    size_t i = 0;
    XmlReadResult result;
    while ((result = r.Read()) == XmlReadResult::Node) {
        if (r.NodeType() == XmlNodeType::Element && r.LocalName() == u"FILE") {
            ASSERT_LT(i, std::size(values));
            ASSERT_NE(r.Attribute(u"name"), nullptr);
            EXPECT_EQ(*r.Attribute(u"name"), values[i]) << i;
            EXPECT_TRUE(r.IsEmptyElement());
            ++i;
        }
    }
    EXPECT_EQ(result, XmlReadResult::End);
    EXPECT_EQ(i, std::size(values));
}

TEST(CXmlReader, DeliversNodesInOrderWithDepthAndDecodedReferences)
{
    std::string doc =
        "<?xml version=\"1.0\"?>\n<!-- c -->\n<a:ROOT x='1' y=\"&#x4E2D;&#25991;&lt;\">\n"
        "  <DIR><![CDATA[<raw>&amp;]]></DIR>\n  <?pi data?>\n  <F>t&amp;x</F>\n<E/></a:ROOT>\n";
    CXmlReader r(doc);
    ASSERT_EQ(r.Read(), XmlReadResult::Node);
    EXPECT_EQ(r.NodeType(), XmlNodeType::XmlDeclaration);
    ASSERT_EQ(r.Read(), XmlReadResult::Node);
    EXPECT_EQ(r.NodeType(), XmlNodeType::Whitespace);
    ASSERT_EQ(r.Read(), XmlReadResult::Node);
    EXPECT_EQ(r.NodeType(), XmlNodeType::Comment);
    EXPECT_EQ(r.Value(), u" c ");
    ASSERT_EQ(r.Read(), XmlReadResult::Node);
    ASSERT_EQ(r.Read(), XmlReadResult::Node);
    EXPECT_EQ(r.NodeType(), XmlNodeType::Element);
    EXPECT_EQ(r.LocalName(), u"ROOT");
    EXPECT_EQ(r.Depth(), 0u);
    EXPECT_EQ(r.AttributeCount(), 2u);
    EXPECT_EQ(*r.Attribute(u"y"), u"中文<");
    EXPECT_EQ(r.Attribute(u"z"), nullptr);

    std::vector<Node> rest;
    std::vector<size_t> depths;
    while (r.Read() == XmlReadResult::Node) {
        rest.push_back({r.NodeType(), r.LocalName(), r.Value()});
        depths.push_back(r.Depth());
    }
    std::vector<XmlNodeType> types;
    for (auto& n : rest)
        types.push_back(n.type);
    using T = XmlNodeType;
    EXPECT_EQ(types, (std::vector<T>{T::Whitespace, T::Element, T::CData, T::EndElement, T::Whitespace,
                                     T::ProcessingInstruction, T::Whitespace, T::Element, T::Text,
                                     T::EndElement, T::Whitespace, T::Element, T::EndElement,
                                     T::Whitespace}));
    EXPECT_EQ(rest[2].value, u"<raw>&amp;");
    EXPECT_EQ(rest[8].value, u"t&x");
    EXPECT_EQ(depths[1], 1u);
    EXPECT_EQ(depths[2], 2u);
}

TEST(CXmlReader, ErrorsStopAtThePointOfFaultKeepingEarlierNodes)
{
    struct Case {
        const char* doc;
        size_t elements_before_error;
    };
    const Case cases[] = {
        {"<!DOCTYPE r [<!ENTITY e 'x'>]><r/>", 0},
        {"<r><a x='1' x='2'/></r>", 1},
        {"<r><a></b></r>", 2},
        {"<r><a>&unknown;</a></r>", 2},
        {"<r><a>&#0;</a></r>", 2},
        {"<r><a y=\"<\"/></r>", 1},
        {"<r><a>\x01</a></r>", 2},
        {"<r><a>\xC3\x28</a></r>", 2},
        {"<r><a/>", 2},
        {"<r/><r/>", 1},
        {"<r/>text", 1},
        {"", 0},
        {"<r><?xml version='1.0'?></r>", 1},
        {"<r><!-- a -- b --></r>", 1},
        {"<r a='1'b='2'/>", 0},
    };
    for (const auto& c : cases) {
        XmlReadResult last;
        auto nodes = ReadAll(c.doc, &last);
        size_t elements = 0;
        for (auto& n : nodes)
            elements += n.type == XmlNodeType::Element;
        EXPECT_EQ(last, XmlReadResult::Error) << c.doc;
        EXPECT_EQ(elements, c.elements_before_error) << c.doc;
    }
}

TEST(CXmlReader, AcceptsDocumentsWithAndWithoutBom)
{
    XmlReadResult last;
    EXPECT_EQ(ReadAll("\xEF\xBB\xBF<?xml version=\"1.0\"?><r/>", &last).size(), 2u);
    EXPECT_EQ(last, XmlReadResult::End);
    EXPECT_EQ(ReadAll("<r/>", &last).size(), 1u);
    EXPECT_EQ(last, XmlReadResult::End);
}

TEST(CXmlReader, RefusesAbsurdNesting)
{
    std::string doc;
    for (int i = 0; i < 5000; ++i)
        doc += "<d>";
    XmlReadResult last;
    ReadAll(doc, &last);
    EXPECT_EQ(last, XmlReadResult::Error);
}

TEST(Utf, ConvertsBothWaysAndMarksBadInput)
{
    EXPECT_EQ(Helper::Utf8ToUtf16("a\xE4\xB8\xAD\xF0\x9F\x98\x80"), u"a中\U0001F600");
    EXPECT_EQ(Helper::Utf16ToUtf8(u"a中\U0001F600"), "a\xE4\xB8\xAD\xF0\x9F\x98\x80");
    EXPECT_EQ(Helper::Utf8ToUtf16("\xC0\xAF"), u"\uFFFD\uFFFD");  // overlong
    EXPECT_EQ(Helper::Utf8ToUtf16("\xE4\xB8"), u"\uFFFD\uFFFD");  // cut short
    EXPECT_FALSE(Helper::IsValidUtf8("\xED\xA0\x80"));            // surrogate
    EXPECT_TRUE(Helper::IsValidUtf8("ok \xE4\xB8\xAD"));
}
