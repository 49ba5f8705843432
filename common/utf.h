// UTF-8 <-> UTF-16 conversion without the platform, for the portable code.
#pragma once

#include <string>
#include <string_view>

namespace Helper {

// Invalid sequences become U+FFFD; nothing is dropped silently.
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Appends one scalar value as UTF-8.
void AppendUtf8(char32_t c, std::string* out);

// Strict check: false for any malformed, overlong or surrogate sequence.
bool IsValidUtf8(std::string_view utf8);

#ifdef _WIN32
// On Windows wchar_t is a UTF-16 unit; these views cost nothing.
inline std::u16string_view AsU16(std::wstring_view s)
{
    return {reinterpret_cast<const char16_t*>(s.data()), s.size()};
}
inline std::wstring_view AsWide(std::u16string_view s)
{
    return {reinterpret_cast<const wchar_t*>(s.data()), s.size()};
}
#endif

}  // namespace Helper
