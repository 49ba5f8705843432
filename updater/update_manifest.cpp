#include "updater/update_manifest.h"

#include "common/xml_reader.h"

namespace Updater {

namespace {

constexpr std::u16string_view kClientElement = u"client";
constexpr std::u16string_view kOsAttribute = u"os";
constexpr std::u16string_view kPackageNameRefused = u":*?\"<>|\\/";

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }

// A cut never leaves half of a surrogate pair behind.
std::u16string CutText(const std::u16string& value)
{
    if (value.size() <= kManifestTextLimit)
        return value;
    size_t length = kManifestTextLimit;
    if (IsHighSurrogate(value[length - 1]))
        --length;
    return value.substr(0, length);
}

bool IsVersionText(std::u16string_view text)
{
    for (char16_t c : text) {
        if (!(c >= u'0' && c <= u'9') && c != u'.')
            return false;
    }
    return true;
}

bool IsAsciiText(std::u16string_view text)
{
    for (char16_t c : text) {
        if (c > 0x7F)
            return false;
    }
    return true;
}

// Reads on from the start of a matching "client" element to its own end,
// taking every text node at any depth. Whitespace between elements is not
// a text node.
bool CollectClientTexts(Helper::CXmlReader& reader, std::vector<std::u16string>* texts)
{
    // An empty element has no content and no end element: reading on would
    // take the texts of whatever follows it.
    if (reader.IsEmptyElement())
        return false;
    size_t open = 1;
    while (reader.Read() == Helper::XmlReadResult::Node) {
        switch (reader.NodeType()) {
        case Helper::XmlNodeType::Text:
            texts->push_back(CutText(reader.Value()));
            break;
        case Helper::XmlNodeType::Element:
            if (!reader.IsEmptyElement())
                ++open;
            break;
        case Helper::XmlNodeType::EndElement:
            if (--open == 0)
                return ValidateManifestTexts(*texts);
            break;
        default:
            break;
        }
    }
    return false;
}

}  // namespace

bool IsValidPackageFileName(std::u16string_view name)
{
    if (name.size() > kPackageNameLimit)
        return false;
    if (name.find_first_of(kPackageNameRefused) != std::u16string_view::npos)
        return false;
    return name != u"." && name != u"..";
}

bool ValidateManifestTexts(const std::vector<std::u16string>& texts)
{
    if (texts.size() < kManifestMinTexts)
        return false;
    return IsVersionText(texts.front()) && IsValidPackageFileName(texts[1]) && IsAsciiText(texts.back());
}

bool ParseUpdateManifest(std::string_view document, std::u16string_view platform,
                         std::vector<std::u16string>* texts)
{
    texts->clear();
    Helper::CXmlReader reader(document);
    while (reader.Read() == Helper::XmlReadResult::Node) {
        if (reader.NodeType() != Helper::XmlNodeType::Element || reader.LocalName() != kClientElement)
            continue;
        const std::u16string* os = reader.Attribute(kOsAttribute);
        if (os == nullptr)
            return false;
        if (*os != platform)
            continue;
        std::vector<std::u16string> collected;
        if (!CollectClientTexts(reader, &collected))
            return false;
        *texts = std::move(collected);
        return true;
    }
    return false;
}

}  // namespace Updater
