#include "web_text.h"

#include "names.h"

#include <climits>
#include <cstdio>

namespace Tessel {
namespace {

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsUtf8(std::string_view text)
{
    std::u32string chars;
    return DecodeUtf8(text, chars);
}

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

}  // namespace

void AppendHtmlEscaped(std::string& out, std::string_view text)
{
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c; break;
        }
    }
}

std::string HtmlEscape(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    AppendHtmlEscaped(out, text);
    return out;
}

std::string UrlEncode(std::string_view text)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c)) {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

bool UrlDecode(std::string_view text, bool plus_is_blank, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+' && plus_is_blank) {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size())
                return false;
            const int hi = HexValue(text[i + 1]);
            const int lo = HexValue(text[i + 2]);
            if (hi < 0 || lo < 0)
                return false;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

bool ParseForm(std::string_view body, FormFields& out)
{
    out.clear();
    while (!body.empty()) {
        const size_t amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
        if (pair.empty())
            continue;
        const size_t eq = pair.find('=');
        std::string name;
        std::string value;
        if (!UrlDecode(pair.substr(0, eq), true, name) ||
            !UrlDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true, value) ||
            !IsUtf8(name) || !IsUtf8(value))
            return false;
        out.emplace(std::move(name), std::move(value));
    }
    return true;
}

std::string FormValue(const FormFields& form, const std::string& name)
{
    const auto found = form.find(name);
    return found == form.end() ? std::string() : found->second;
}

std::string CookieValue(std::string_view header, std::string_view name)
{
    while (!header.empty()) {
        const size_t semicolon = header.find(';');
        const std::string_view item = Trim(header.substr(0, semicolon));
        header = semicolon == std::string_view::npos ? std::string_view() : header.substr(semicolon + 1);
        const size_t eq = item.find('=');
        if (eq != std::string_view::npos && Trim(item.substr(0, eq)) == name)
            return std::string(Trim(item.substr(eq + 1)));
    }
    return std::string();
}

std::optional<size_t> Utf16Length(std::string_view text)
{
    std::u32string chars;
    if (!DecodeUtf8(text, chars))
        return std::nullopt;
    size_t units = 0;
    for (char32_t c : chars)
        units += c > 0xFFFF ? 2 : 1;
    return units;
}

std::optional<int64_t> ParseEntryId(std::string_view text)
{
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > INT32_MAX)
        return std::nullopt;
    return value;
}

std::string SizeText(uint64_t bytes)
{
    // Single precision, as the client computes it.
    const float value = static_cast<float>(bytes);
    char text[64];
    if (value < 1024.0f)
        std::snprintf(text, sizeof text, "%.1f Byte", static_cast<double>(value));
    else if (value < 1048576.0f)
        std::snprintf(text, sizeof text, "%.1f KB", static_cast<double>(value / 1024.0f));
    else if (value < 1073741824.0f)
        std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(value / 1048576.0f));
    else
        std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(value / 1073741824.0f));
    return text;
}

std::string SpaceText(uint64_t total, uint64_t used)
{
    const uint64_t shown_used = used > total ? total : used;
    const float percent = total == 0 ? 0.0f
                                     : static_cast<float>(shown_used) * 100.0f / static_cast<float>(total);
    char text[160];
    std::snprintf(text, sizeof text, "共 %s空间，已使用%.1f%%，剩余 %s", SizeText(total).c_str(),
                  static_cast<double>(percent), SizeText(total - shown_used).c_str());
    return text;
}

std::string AttachmentDisposition(std::string_view name)
{
    std::string fallback;
    for (char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        const bool plain = c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '%' && c != ';';
        // One '_' per character: the continuation bytes of UTF-8 add none.
        if (plain)
            fallback += ch;
        else if ((c & 0xC0) != 0x80)
            fallback += '_';
    }
    if (fallback.empty())
        fallback = "download";
    return "attachment; filename=\"" + fallback + "\"; filename*=UTF-8''" + UrlEncode(name);
}

}  // namespace Tessel
