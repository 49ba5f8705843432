#include "names.h"

#include <clocale>
#include <cwctype>
#include <locale.h>

namespace Tessel {
namespace {

locale_t UnicodeLocale()
{
    static const locale_t locale = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        return l;
    }();
    return locale;
}

char32_t Upper(char32_t c)
{
    if (c < 0x80)
        return (c >= 'a' && c <= 'z') ? c - 32 : c;
    const locale_t locale = UnicodeLocale();
    if (!locale)
        return c;
    return static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), locale));
}

void AppendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsDeviceName(std::string_view name)
{
    const size_t dot = name.find('.');
    const std::string base = FoldName(name.substr(0, dot));
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* f : fixed)
        if (base == f)
            return true;
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0))
        return base[3] >= '1' && base[3] <= '9';
    return false;
}

bool EndsWithFolded(std::string_view name, std::string_view suffix)
{
    return name.size() >= suffix.size() && FoldName(name.substr(name.size() - suffix.size())) == suffix;
}

}  // namespace

bool DecodeUtf8(std::string_view text, std::u32string& out)
{
    out.clear();
    size_t i = 0;
    while (i < text.size()) {
        const auto b0 = static_cast<uint8_t>(text[i]);
        if (b0 < 0x80) {
            out += b0;
            ++i;
            continue;
        }
        size_t extra = 0;
        char32_t c = 0;
        char32_t min = 0;
        if ((b0 & 0xE0) == 0xC0) {
            extra = 1;
            c = b0 & 0x1F;
            min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            extra = 2;
            c = b0 & 0x0F;
            min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            extra = 3;
            c = b0 & 0x07;
            min = 0x10000;
        } else {
            return false;
        }
        if (text.size() - i <= extra)
            return false;
        for (size_t k = 1; k <= extra; ++k) {
            const auto b = static_cast<uint8_t>(text[i + k]);
            if ((b & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (b & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return false;
        out += c;
        i += extra + 1;
    }
    return true;
}

std::string FoldName(std::string_view name)
{
    bool ascii = true;
    for (char c : name)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
        std::string out(name);
        for (char& c : out)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 32);
        return out;
    }
    std::u32string chars;
    if (!DecodeUtf8(name, chars))
        return std::string(name);
    std::string out;
    out.reserve(name.size());
    for (char32_t c : chars)
        AppendUtf8(out, Upper(c));
    return out;
}

bool IsValidEntryName(std::string_view name)
{
    if (name.empty() || name.size() > kMaxNameBytes || name == "." || name == "..")
        return false;
    std::u32string chars;
    if (!DecodeUtf8(name, chars))
        return false;
    for (char32_t c : chars) {
        if (c < 0x20 || c == 0x7F)
            return false;
        switch (c) {
        case '\\': case '/': case '<': case '>': case ':': case '"': case '|': case '?': case '*':
            return false;
        default:
            break;
        }
    }
    const char last = name.back();
    if (last == '.' || last == ' ')
        return false;
    return !IsDeviceName(name) && !EndsWithFolded(name, ".TAVO");
}

bool IsValidUserName(std::string_view name)
{
    std::u32string chars;
    if (name.empty() || !DecodeUtf8(name, chars) || chars.size() > kMaxUserNameChars)
        return false;
    for (char32_t c : chars)
        if (c < 0x20 || c == 0x7F)
            return false;
    return true;
}

bool IsHexDigest(std::string_view text)
{
    if (text.size() != 32)
        return false;
    for (char c : text) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex)
            return false;
    }
    return true;
}

std::string LowerAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return out;
}

}  // namespace Tessel
