#include "common/hex.h"

namespace Helper {

namespace {
const char kDigits[] = "0123456789abcdef";

template <typename Char>
void Format(const unsigned char (&digest)[kMd5Size], Char* out)
{
    for (size_t i = 0; i < kMd5Size; ++i) {
        out[2 * i] = static_cast<Char>(kDigits[digest[i] >> 4]);
        out[2 * i + 1] = static_cast<Char>(kDigits[digest[i] & 0x0f]);
    }
    out[kMd5HexLength] = 0;
}
}  // namespace

void FormatDigestHex(const unsigned char (&digest)[kMd5Size], char (&out)[kMd5HexLength + 1])
{
    Format(digest, out);
}

void FormatDigestHex(const unsigned char (&digest)[kMd5Size], wchar_t (&out)[kMd5HexLength + 1])
{
    Format(digest, out);
}

bool IsHexDigit(int c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace Helper
