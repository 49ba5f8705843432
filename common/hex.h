// Lower-case hexadecimal digests, "%02x" per byte.
#pragma once

#include <cstddef>

namespace Helper {

constexpr size_t kMd5Size = 16;
constexpr size_t kMd5HexLength = 32;

// Writes 32 digits and a terminator into out.
void FormatDigestHex(const unsigned char (&digest)[kMd5Size], char (&out)[kMd5HexLength + 1]);
void FormatDigestHex(const unsigned char (&digest)[kMd5Size], wchar_t (&out)[kMd5HexLength + 1]);

bool IsHexDigit(int c);

}  // namespace Helper
