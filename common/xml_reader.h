// A pull reader in the manner of XmlLite over a UTF-8 document held in
// memory. Entity and character references are decoded; comments,
// processing instructions and CDATA are delivered as their own nodes; a
// document type declaration is refused. Malformed input ends the read
// with an error at the point where it occurs: nodes delivered before it
// stay delivered.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Helper {

enum class XmlNodeType {
    None,
    Element,
    EndElement,
    Text,
    CData,
    Whitespace,  // whitespace-only content between markup; not a text node
    Comment,
    ProcessingInstruction,
    XmlDeclaration,
};

enum class XmlReadResult { Node, End, Error };

class CXmlReader {
public:
    // The bytes must outlive the reader. A leading UTF-8 byte-order mark is
    // skipped.
    explicit CXmlReader(std::string_view document);

    XmlReadResult Read();

    XmlNodeType NodeType() const { return type_; }
    // Element name without a namespace prefix (element nodes, end elements,
    // processing-instruction targets).
    const std::u16string& LocalName() const { return local_name_; }
    // Text, CDATA, whitespace, comment or processing-instruction content.
    const std::u16string& Value() const { return value_; }
    bool IsEmptyElement() const { return empty_element_; }
    // Depth of the current node: the document element is at depth 0.
    size_t Depth() const { return depth_; }

    size_t AttributeCount() const { return attribute_count_; }
    // The decoded value of the attribute with this exact name, or null.
    const std::u16string* Attribute(std::u16string_view name) const;
    const std::u16string& AttributeName(size_t index) const { return attributes_[index].first; }
    const std::u16string& AttributeValue(size_t index) const { return attributes_[index].second; }

private:
    XmlReadResult Fail();
    XmlReadResult ReadMarkup();
    XmlReadResult ReadContent();
    XmlReadResult ReadStartTag();
    XmlReadResult ReadEndTag();
    XmlReadResult ReadComment();
    XmlReadResult ReadCData();
    XmlReadResult ReadProcessingInstruction();
    bool ReadName(std::string_view* name);
    bool ReadAttributeValue(std::u16string* value);
    bool DecodeReference(std::u16string* out);
    bool AppendText(std::string_view raw, std::u16string* out);
    void SkipSpace();
    bool AtEnd() const { return pos_ >= doc_.size(); }

    std::string_view doc_;
    size_t pos_ = 0;
    size_t depth_ = 0;
    bool failed_ = false;
    bool seen_root_ = false;
    bool root_closed_ = false;
    XmlNodeType type_ = XmlNodeType::None;
    std::u16string local_name_;
    std::u16string value_;
    bool empty_element_ = false;
    std::vector<std::pair<std::u16string, std::u16string>> attributes_;
    size_t attribute_count_ = 0;
    std::vector<std::string_view> open_elements_;
};

}  // namespace Helper
