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

// Checks the text unit by unit: lone surrogates and control characters
// make it unwritable.
bool IsWritableText(std::u16string_view text)
{
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if ((c >= 0xDC00 && c <= 0xDFFF) || !IsXmlChar(c)) {
            return false;
        }
    }
    return true;
}

void AppendEscaped(std::u16string_view text, bool attribute, std::string* out)
{
    std::u16string escaped;
    escaped.reserve(text.size());
    for (char16_t c : text) {
        switch (c) {
        case u'&': escaped += u"&amp;"; break;
        case u'<': escaped += u"&lt;"; break;
        case u'>': escaped += u"&gt;"; break;
        case u'"':
            if (attribute) escaped += u"&quot;"; else escaped += c;
            break;
        // Attribute values are normalised by readers; character references
        // keep tabs and line breaks as they were.
        case u'\t':
            if (attribute) escaped += u"&#x9;"; else escaped += c;
            break;
        case u'\n':
            if (attribute) escaped += u"&#xA;"; else escaped += c;
            break;
        case u'\r': escaped += u"&#xD;"; break;
        default: escaped += c; break;
        }
    }
    *out += Utf16ToUtf8(escaped);
}

}  // namespace

void XmlWriter::NewLine(size_t depth)
{
    if (!indent_)
        return;
    out_ += kNewLine;
    for (size_t i = 0; i < depth; ++i)
        out_ += kIndentUnit;
}

void XmlWriter::CloseStartTag()
{
    if (tag_open_) {
        out_ += '>';
        tag_open_ = false;
    }
}

bool XmlWriter::StartDocument()
{
    if (started_)
        return false;
    started_ = true;
    out_ += kBom;
    out_ += kDeclaration;
    return true;
}

bool XmlWriter::StartElement(std::u16string_view name)
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
    out_ += Utf16ToUtf8(name);
    open_.push_back(Open{std::u16string(name)});
    tag_open_ = true;
    return true;
}

bool XmlWriter::WriteAttribute(std::u16string_view name, std::u16string_view value)
{
    if (!tag_open_ || !IsValidName(name) || !IsWritableText(value))
        return false;
    out_ += ' ';
    out_ += Utf16ToUtf8(name);
    out_ += "=\"";
    AppendEscaped(value, true, &out_);
    out_ += '"';
    return true;
}

bool XmlWriter::WriteString(std::u16string_view text)
{
    if (open_.empty() || !IsWritableText(text))
        return false;
    CloseStartTag();
    open_.back().has_text = true;
    AppendEscaped(text, false, &out_);
    return true;
}

bool XmlWriter::EndElement()
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
    out_ += Utf16ToUtf8(element.name);
    out_ += '>';
    return true;
}

bool XmlWriter::EndDocument()
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
