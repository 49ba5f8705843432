// Rules for entry names and user names, and the case folding under which
// names are compared (the client's file system ignores letter case).
#pragma once

#include <string>
#include <string_view>

namespace Tessel {

// Longest entry name in bytes. The client holds names of up to 259 bytes and
// Windows file names of up to 255 characters.
constexpr size_t kMaxNameBytes = 255;
constexpr size_t kMaxUserNameChars = 31;

// True when the client can create a file or folder of this name: valid
// UTF-8, 1 to 255 bytes, not "." or "..", no control characters or any of
// \ / < > : " | ? *, no trailing dot or blank, not a DOS device name, and
// not ending in ".tavo" (the client's download temporary files).
bool IsValidEntryName(std::string_view name);

// A user name: valid UTF-8, 1 to 31 characters, no control characters.
bool IsValidUserName(std::string_view name);

// The key under which names are compared: each character upper-cased by the
// Unicode simple mapping, the same way Windows compares file names.
std::string FoldName(std::string_view name);

// 32 hexadecimal digits, either case.
bool IsHexDigest(std::string_view text);
std::string LowerAscii(std::string_view text);

// Decodes UTF-8 strictly (no overlong forms, no surrogates); false when the
// bytes are not UTF-8.
bool DecodeUtf8(std::string_view text, std::u32string& out);

}  // namespace Tessel
