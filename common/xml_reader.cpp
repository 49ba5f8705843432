#include "common/xml_reader.h"

#include "common/utf.h"

namespace Helper {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
// Deeper documents are refused so that recursive consumers stay within
// their stack; no path of a sync folder comes near this.
constexpr size_t kMaxDepth = 1024;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool IsNameStart(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80;
}

bool IsNameChar(unsigned char c)
{
    return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

bool IsXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Control characters other than tab and line breaks may not appear raw.
bool HasForbiddenControl(std::string_view raw)
{
    for (char c : raw) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 && u != '\t' && u != '\n' && u != '\r')
            return true;
    }
    return false;
}

void AppendScalar(char32_t c, std::u16string* out)
{
    if (c >= 0x10000) {
        c -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
        out->push_back(static_cast<char16_t>(c));
    }
}

std::u16string LocalPart(std::string_view qualified)
{
    size_t colon = qualified.rfind(':');
    if (colon != std::string_view::npos)
        qualified.remove_prefix(colon + 1);
    return Utf8ToUtf16(qualified);
}

bool IsAscii(std::string_view s)
{
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

bool StartsWith(std::string_view s, size_t pos, std::string_view prefix)
{
    return s.size() - pos >= prefix.size() && s.compare(pos, prefix.size(), prefix) == 0;
}

}  // namespace

CXmlReader::CXmlReader(std::string_view document) : doc_(document)
{
    if (doc_.substr(0, kBom.size()) == kBom)
        pos_ = kBom.size();
}

const std::u16string* CXmlReader::Attribute(std::u16string_view name) const
{
    for (size_t i = 0; i < attribute_count_; ++i) {
        if (attributes_[i].first == name)
            return &attributes_[i].second;
    }
    return nullptr;
}

XmlReadResult CXmlReader::Fail()
{
    failed_ = true;
    type_ = XmlNodeType::None;
    return XmlReadResult::Error;
}

XmlReadResult CXmlReader::Read()
{
    if (failed_)
        return XmlReadResult::Error;
    local_name_.clear();
    value_.clear();
    attribute_count_ = 0;
    empty_element_ = false;
    if (AtEnd()) {
        type_ = XmlNodeType::None;
        if (!seen_root_ || !open_elements_.empty())
            return Fail();
        return XmlReadResult::End;
    }
    return doc_[pos_] == '<' ? ReadMarkup() : ReadContent();
}

void CXmlReader::SkipSpace()
{
    while (!AtEnd() && IsSpace(doc_[pos_]))
        ++pos_;
}

bool CXmlReader::ReadName(std::string_view* name)
{
    size_t start = pos_;
    if (AtEnd() || !IsNameStart(static_cast<unsigned char>(doc_[pos_])))
        return false;
    while (!AtEnd() && IsNameChar(static_cast<unsigned char>(doc_[pos_])))
        ++pos_;
    *name = doc_.substr(start, pos_ - start);
    return IsValidUtf8(*name);
}

bool CXmlReader::DecodeReference(std::u16string* out)
{
    // At '&'.
    size_t semicolon = doc_.find(';', pos_);
    if (semicolon == std::string_view::npos || semicolon - pos_ > 12)
        return false;
    std::string_view ref = doc_.substr(pos_ + 1, semicolon - pos_ - 1);
    char32_t c = 0;
    if (ref == "lt") c = '<';
    else if (ref == "gt") c = '>';
    else if (ref == "amp") c = '&';
    else if (ref == "apos") c = '\'';
    else if (ref == "quot") c = '"';
    else if (ref.size() >= 2 && ref[0] == '#') {
        bool hex = ref[1] == 'x';
        std::string_view digits = ref.substr(hex ? 2 : 1);
        if (digits.empty())
            return false;
        for (char d : digits) {
            int v;
            if (d >= '0' && d <= '9') v = d - '0';
            else if (hex && d >= 'a' && d <= 'f') v = d - 'a' + 10;
            else if (hex && d >= 'A' && d <= 'F') v = d - 'A' + 10;
            else return false;
            c = c * (hex ? 16 : 10) + static_cast<char32_t>(v);
            if (c > 0x10FFFF)
                return false;
        }
        if (!IsXmlChar(c))
            return false;
    } else {
        return false;
    }
    AppendScalar(c, out);
    pos_ = semicolon + 1;
    return true;
}

// Decodes raw character data up to pos_end into out; line breaks are
// normalised to a line feed.
bool CXmlReader::AppendText(std::string_view raw, std::u16string* out)
{
    if (HasForbiddenControl(raw) || !IsValidUtf8(raw))
        return false;
    std::string normalised;
    normalised.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r') {
            normalised += '\n';
            if (i + 1 < raw.size() && raw[i + 1] == '\n')
                ++i;
        } else {
            normalised += raw[i];
        }
    }
    *out += Utf8ToUtf16(normalised);
    return true;
}

XmlReadResult CXmlReader::ReadContent()
{
    size_t start = pos_;
    bool all_space = true;
    while (!AtEnd() && doc_[pos_] != '<') {
        size_t run = pos_;
        while (!AtEnd() && doc_[pos_] != '<' && doc_[pos_] != '&') {
            if (!IsSpace(doc_[pos_]))
                all_space = false;
            ++pos_;
        }
        std::string_view raw = doc_.substr(run, pos_ - run);
        if (raw.find("]]>") != std::string_view::npos) {
            pos_ = run + raw.find("]]>");
            return Fail();
        }
        if (!AppendText(raw, &value_)) {
            pos_ = run;
            return Fail();
        }
        if (!AtEnd() && doc_[pos_] == '&') {
            all_space = false;
            if (!DecodeReference(&value_))
                return Fail();
        }
    }
    if (open_elements_.empty() && !all_space) {
        pos_ = start;
        return Fail();
    }
    type_ = all_space ? XmlNodeType::Whitespace : XmlNodeType::Text;
    depth_ = open_elements_.size();
    return XmlReadResult::Node;
}

XmlReadResult CXmlReader::ReadMarkup()
{
    if (StartsWith(doc_, pos_, "<?"))
        return ReadProcessingInstruction();
    if (StartsWith(doc_, pos_, "<!--"))
        return ReadComment();
    if (StartsWith(doc_, pos_, "<![CDATA["))
        return ReadCData();
    if (StartsWith(doc_, pos_, "<!"))
        return Fail();  // document type declarations are refused
    if (StartsWith(doc_, pos_, "</"))
        return ReadEndTag();
    return ReadStartTag();
}

XmlReadResult CXmlReader::ReadProcessingInstruction()
{
    size_t start = pos_;
    pos_ += 2;
    std::string_view target;
    if (!ReadName(&target))
        return Fail();
    size_t close = doc_.find("?>", pos_);
    if (close == std::string_view::npos)
        return Fail();
    bool is_declaration = target == "xml";
    size_t prolog_start = doc_.substr(0, kBom.size()) == kBom ? kBom.size() : 0;
    if (is_declaration && start != prolog_start) {
        pos_ = start;
        return Fail();
    }
    if ((target.size() == 3 && !is_declaration &&
         (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l')) {
        pos_ = start;
        return Fail();
    }
    std::string_view body = doc_.substr(pos_, close - pos_);
    if (!body.empty() && !IsSpace(body[0]))
        return Fail();
    size_t first = 0;
    while (first < body.size() && IsSpace(body[first]))
        ++first;
    if (!AppendText(body.substr(first), &value_))
        return Fail();
    local_name_ = Utf8ToUtf16(target);
    pos_ = close + 2;
    type_ = is_declaration ? XmlNodeType::XmlDeclaration : XmlNodeType::ProcessingInstruction;
    depth_ = open_elements_.size();
    return XmlReadResult::Node;
}

XmlReadResult CXmlReader::ReadComment()
{
    size_t body = pos_ + 4;
    size_t close = doc_.find("--", body);
    if (close == std::string_view::npos)
        return Fail();
    if (!StartsWith(doc_, close, "-->")) {
        pos_ = close;
        return Fail();
    }
    if (!AppendText(doc_.substr(body, close - body), &value_))
        return Fail();
    pos_ = close + 3;
    type_ = XmlNodeType::Comment;
    depth_ = open_elements_.size();
    return XmlReadResult::Node;
}

XmlReadResult CXmlReader::ReadCData()
{
    if (open_elements_.empty())
        return Fail();
    size_t body = pos_ + 9;
    size_t close = doc_.find("]]>", body);
    if (close == std::string_view::npos)
        return Fail();
    if (!AppendText(doc_.substr(body, close - body), &value_))
        return Fail();
    pos_ = close + 3;
    type_ = XmlNodeType::CData;
    depth_ = open_elements_.size();
    return XmlReadResult::Node;
}

bool CXmlReader::ReadAttributeValue(std::u16string* value)
{
    if (AtEnd() || (doc_[pos_] != '"' && doc_[pos_] != '\''))
        return false;
    const char quote = doc_[pos_++];
    while (!AtEnd()) {
        // Plain printable ASCII is widened in one go.
        size_t run = pos_;
        while (run < doc_.size() && doc_[run] >= 0x20 && doc_[run] < 0x7F && doc_[run] != quote &&
               doc_[run] != '&' && doc_[run] != '<')
            ++run;
        if (run > pos_) {
            const size_t at = value->size();
            value->resize(at + (run - pos_));
            char16_t* dst = &(*value)[at];
            for (size_t k = pos_; k < run; ++k)
                *dst++ = static_cast<char16_t>(doc_[k]);
            pos_ = run;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(doc_[pos_]);
        if (c == static_cast<unsigned char>(quote)) {
            ++pos_;
            return true;
        }
        if (c == '<')
            return false;
        if (c == '&') {
            if (!DecodeReference(value))
                return false;
            continue;
        }
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                return false;
            // Literal whitespace reads as a space; a CR LF pair as one.
            if (c == '\r' && pos_ + 1 < doc_.size() && doc_[pos_ + 1] == '\n')
                ++pos_;
            value->push_back(c == '\t' || c == '\n' || c == '\r' ? u' ' : static_cast<char16_t>(c));
            ++pos_;
            continue;
        }
        const size_t start = pos_;
        while (!AtEnd() && static_cast<unsigned char>(doc_[pos_]) >= 0x80)
            ++pos_;
        std::string_view multibyte = doc_.substr(start, pos_ - start);
        if (!IsValidUtf8(multibyte)) {
            pos_ = start;
            return false;
        }
        *value += Utf8ToUtf16(multibyte);
    }
    return false;
}

XmlReadResult CXmlReader::ReadStartTag()
{
    if (root_closed_ || open_elements_.size() >= kMaxDepth)
        return Fail();
    ++pos_;
    std::string_view name;
    if (!ReadName(&name))
        return Fail();
    for (;;) {
        size_t before_space = pos_;
        SkipSpace();
        if (AtEnd())
            return Fail();
        if (doc_[pos_] == '>' || StartsWith(doc_, pos_, "/>"))
            break;
        if (pos_ == before_space)
            return Fail();  // attributes are separated by whitespace
        std::string_view attribute_name;
        if (!ReadName(&attribute_name))
            return Fail();
        SkipSpace();
        if (AtEnd() || doc_[pos_] != '=')
            return Fail();
        ++pos_;
        SkipSpace();
        // Attribute slots are reused from node to node to spare allocations.
        if (attribute_count_ == attributes_.size())
            attributes_.emplace_back();
        auto& slot = attributes_[attribute_count_];
        slot.first.clear();
        slot.second.clear();
        for (char c : attribute_name)
            slot.first.push_back(static_cast<unsigned char>(c));
        if (!IsAscii(attribute_name))
            slot.first = Utf8ToUtf16(attribute_name);
        if (Attribute(slot.first) != nullptr || !ReadAttributeValue(&slot.second))
            return Fail();
        ++attribute_count_;
    }
    empty_element_ = doc_[pos_] == '/';
    pos_ += empty_element_ ? 2 : 1;
    local_name_ = LocalPart(name);
    type_ = XmlNodeType::Element;
    depth_ = open_elements_.size();
    seen_root_ = true;
    if (empty_element_) {
        if (open_elements_.empty())
            root_closed_ = true;
    } else {
        open_elements_.push_back(name);
    }
    return XmlReadResult::Node;
}

XmlReadResult CXmlReader::ReadEndTag()
{
    pos_ += 2;
    std::string_view name;
    if (!ReadName(&name) || open_elements_.empty() || open_elements_.back() != name)
        return Fail();
    SkipSpace();
    if (AtEnd() || doc_[pos_] != '>')
        return Fail();
    ++pos_;
    open_elements_.pop_back();
    if (open_elements_.empty())
        root_closed_ = true;
    local_name_ = LocalPart(name);
    type_ = XmlNodeType::EndElement;
    depth_ = open_elements_.size();
    return XmlReadResult::Node;
}

}  // namespace Helper
