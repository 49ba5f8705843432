// A small XML writer that behaves as a conforming XmlLite writer: UTF-8
// with a byte-order mark, an XML declaration without standalone, optional
// indentation and correct escaping of text and attribute values.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace Helper {

// The text with every character XML cannot carry at all (control
// characters, lone surrogates, U+FFFE and U+FFFF) replaced by U+FFFD.
std::u16string CarriableText(std::u16string_view text);

class CXmlWriter {
public:
    CXmlWriter() = default;
    // Writes into storage, whose capacity is kept: a caller that writes
    // large documents often hands the same buffer back each time.
    explicit CXmlWriter(std::string&& storage) : out_(std::move(storage)) { out_.clear(); }

    void SetIndent(bool indent) { indent_ = indent; }

    // Each call returns false when it is out of place (an attribute after
    // content, an end without a start, a name that is not a valid XML name
    // or text with characters XML cannot carry); nothing is written then.
    bool StartDocument();
    bool StartElement(std::u16string_view name);
    bool WriteAttribute(std::u16string_view name, std::u16string_view value);
    bool WriteString(std::u16string_view text);
    bool EndElement();
    // Closes every open element.
    bool EndDocument();

    // The document so far, UTF-8 bytes.
    const std::string& Output() const { return out_; }
    std::string TakeOutput() { return std::move(out_); }

private:
    void CloseStartTag();
    void NewLine(size_t depth);

    struct Open {
        std::u16string name;
        bool has_children = false;
        bool has_text = false;
    };
    std::string out_;
    std::vector<Open> open_;
    bool indent_ = false;
    bool started_ = false;
    bool tag_open_ = false;
};

}  // namespace Helper
