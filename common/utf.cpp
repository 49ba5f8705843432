#include "common/utf.h"

namespace Helper {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one scalar value at s[*pos]; advances *pos past what it used.
// Returns false (and consumes one byte) on a malformed sequence.
bool DecodeUtf8(std::string_view s, size_t* pos, char32_t* out)
{
    auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char lead = byte(*pos);
    size_t extra;
    char32_t value;
    char32_t minimum;
    if (lead < 0x80) {
        *out = lead;
        ++*pos;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1; value = lead & 0x1F; minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2; value = lead & 0x0F; minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3; value = lead & 0x07; minimum = 0x10000;
    } else {
        ++*pos;
        return false;
    }
    if (s.size() - *pos <= extra) {
        ++*pos;
        return false;
    }
    for (size_t i = 1; i <= extra; ++i) {
        unsigned char c = byte(*pos + i);
        if ((c & 0xC0) != 0x80) {
            ++*pos;
            return false;
        }
        value = (value << 6) | (c & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        ++*pos;
        return false;
    }
    *pos += extra + 1;
    *out = value;
    return true;
}

}  // namespace

void AppendUtf8(char32_t c, std::string* out)
{
    if (c < 0x80) {
        out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (c >> 6)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (c >> 12)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (c >> 18)));
        out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::u16string Utf8ToUtf16(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t c;
        if (!DecodeUtf8(utf8, &pos, &c))
            c = kReplacement;
        if (c >= 0x10000) {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(c));
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16)
{
    std::string out;
    out.reserve(utf16.size() * 3 / 2);
    for (size_t i = 0; i < utf16.size(); ++i) {
        char32_t c = utf16[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        AppendUtf8(c, &out);
    }
    return out;
}

bool IsValidUtf8(std::string_view utf8)
{
    size_t pos = 0;
    while (pos < utf8.size()) {
        char32_t c;
        if (!DecodeUtf8(utf8, &pos, &c))
            return false;
    }
    return true;
}

}  // namespace Helper
