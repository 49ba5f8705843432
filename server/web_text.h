// Text rules of the web pages: HTML escaping, URL and form encodings,
// cookies, the length rules the client applies to user names and
// passwords, and the size texts the client shows.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace Tessel {

// The form fields of a request; a name sent twice keeps its first value.
using FormFields = std::map<std::string, std::string>;

void AppendHtmlEscaped(std::string& out, std::string_view text);
std::string HtmlEscape(std::string_view text);

// Percent-encodes everything but the unreserved characters of RFC 3986.
std::string UrlEncode(std::string_view text);
// Decodes %XX escapes (and '+' as a blank where asked); false on a broken
// escape.
bool UrlDecode(std::string_view text, bool plus_is_blank, std::string& out);
// Parses an application/x-www-form-urlencoded body; false when an escape
// is broken or a name or value is not UTF-8.
bool ParseForm(std::string_view body, FormFields& out);
std::string FormValue(const FormFields& form, const std::string& name);

// The value of one cookie of a Cookie header; empty when absent.
std::string CookieValue(std::string_view header, std::string_view name);

// Length in UTF-16 units, as the client counts user names and passwords;
// nullopt when the text is not UTF-8.
std::optional<size_t> Utf16Length(std::string_view text);

// An entry or folder id from a request: 1 to 10 decimal digits, at most
// INT32_MAX.
std::optional<int64_t> ParseEntryId(std::string_view text);

// The client's size text: "%.1f Byte", "%.1f KB", "%.1f MB" or "%.1f GB".
std::string SizeText(uint64_t bytes);
// "共 %s空间，已使用%.1f%%，剩余 %s" with the client's quota arithmetic.
std::string SpaceText(uint64_t total, uint64_t used);

// A Content-Disposition header that makes the browser save the file under
// its name: an ASCII fallback plus the UTF-8 name (RFC 6266).
std::string AttachmentDisposition(std::string_view name);

}  // namespace Tessel
