#include "common/xml_writer.h"

#include "common/utf.h"

namespace Helper {

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";
constexpr char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
constexpr char kNewLine[] = "\r\n";
constexpr char kIndentUnit[] = "  ";

// Characters that XML 1.0 cannot carry at all, escaped or not.
bool IsXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

struct PlainTable {
    bool plain[128] = {};
    constexpr PlainTable()
    {
        for (int c = 0x20; c < 0x7F; ++c)
            plain[c] = c != '&' && c != '<' && c != '>' && c != '"';
    }
    constexpr bool operator[](char16_t c) const { return plain[c]; }
};
constexpr PlainTable kPlain;

bool IsNameStart(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c == u':' || c >= 0xC0;
}

bool IsNameChar(char16_t c)
{
    return IsNameStart(c) || (c >= u'0' && c <= u'9') || c == u'-' || c == u'.' || c == 0xB7;
}

bool IsValidName(std::u16string_view name)
{
    if (name.empty() || !IsNameStart(name[0]))
        return false;
    for (char16_t c : name) {
        if (!IsNameChar(c))
            return false;
    }
    return true;
}

// Escapes and encodes text in one pass. False, with out as it was, when
// the text holds something XML cannot carry (control characters, lone
// surrogates).
bool AppendEscaped(std::u16string_view text, bool attribute, std::string* out)
{
    const size_t mark = out->size();
    for (size_t i = 0; i < text.size(); ++i) {
        // Runs of plain printable ASCII, the bulk of every document, are
        // copied in one go.
        size_t run = i;
        while (run < text.size() && text[run] < 0x80 && kPlain[text[run]])
            ++run;
        if (run > i) {
            const size_t at = out->size();
            out->resize(at + (run - i));
            char* dst = &(*out)[at];
            for (size_t k = i; k < run; ++k)
                *dst++ = static_cast<char>(text[k]);
            i = run - 1;
            continue;
        }
        char32_t c = text[i];
        switch (c) {
        case u'&': *out += "&amp;"; continue;
        case u'<': *out += "&lt;"; continue;
        case u'>': *out += "&gt;"; continue;
        // Readers normalise attribute values; character references keep
        // quotes, tabs and line breaks as they were.
        case u'"': *out += attribute ? "&quot;" : "\""; continue;
        case u'\t': *out += attribute ? "&#x9;" : "\t"; continue;
        case u'\n': *out += attribute ? "&#xA;" : "\n"; continue;
        case u'\r': *out += "&#xD;"; continue;
        default: break;
        }
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (!IsXmlChar(c) || (c >= 0xD800 && c <= 0xDFFF)) {
            out->resize(mark);
            return false;
        }
        AppendUtf8(c, out);
    }
    return true;
}

}  // namespace

std::u16string CarriableText(std::u16string_view text)
{
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            out.push_back(c);
            out.push_back(text[++i]);
        } else {
            out.push_back(IsXmlChar(c) && (c < 0xD800 || c > 0xDFFF) ? c : u'\xFFFD');
        }
    }
    return out;
}

void CXmlWriter::NewLine(size_t depth)
{
    if (!indent_)
        return;
    out_ += kNewLine;
    for (size_t i = 0; i < depth; ++i)
        out_ += kIndentUnit;
}

void CXmlWriter::CloseStartTag()
{
    if (tag_open_) {
        out_ += '>';
        tag_open_ = false;
    }
}

bool CXmlWriter::StartDocument()
{
    if (started_)
        return false;
    started_ = true;
    out_ += kBom;
    out_ += kDeclaration;
    return true;
}

bool CXmlWriter::StartElement(std::u16string_view name)
{
    if (!IsValidName(name))
        return false;
    if (!started_)
        StartDocument();
    CloseStartTag();
    if (!open_.empty())
        open_.back().has_children = true;
    if (!out_.empty() && (open_.empty() || !open_.back().has_text))
        NewLine(open_.size());
    out_ += '<';
    AppendEscaped(name, false, &out_);
    open_.push_back(Open{std::u16string(name)});
    tag_open_ = true;
    return true;
}

bool CXmlWriter::WriteAttribute(std::u16string_view name, std::u16string_view value)
{
    if (!tag_open_ || !IsValidName(name))
        return false;
    const size_t mark = out_.size();
    out_ += ' ';
    AppendEscaped(name, false, &out_);
    out_ += "=\"";
    if (!AppendEscaped(value, true, &out_)) {
        out_.resize(mark);
        return false;
    }
    out_ += '"';
    return true;
}

bool CXmlWriter::WriteString(std::u16string_view text)
{
    if (open_.empty())
        return false;
    const size_t mark = out_.size();
    const bool was_open = tag_open_;
    CloseStartTag();
    if (!AppendEscaped(text, false, &out_)) {
        out_.resize(mark);
        tag_open_ = was_open;
        return false;
    }
    open_.back().has_text = true;
    return true;
}

bool CXmlWriter::EndElement()
{
    if (open_.empty())
        return false;
    Open element = std::move(open_.back());
    open_.pop_back();
    if (tag_open_) {
        out_ += " />";
        tag_open_ = false;
        return true;
    }
    if (element.has_children && !element.has_text)
        NewLine(open_.size());
    out_ += "</";
    AppendEscaped(element.name, false, &out_);
    out_ += '>';
    return true;
}

bool CXmlWriter::EndDocument()
{
    if (!started_)
        return false;
    while (!open_.empty())
        EndElement();
    if (indent_)
        out_ += kNewLine;
    return true;
}

}  // namespace Helper
