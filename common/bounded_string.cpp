#include "common/bounded_string.h"

#include <cstdio>

namespace Helper {

bool CopyBounded(wchar_t* dst, size_t capacity, const wchar_t* src, size_t length)
{
    if (dst == nullptr || capacity == 0)
        return false;
    if (src == nullptr) {
        dst[0] = L'\0';
        return true;
    }
    size_t n = 0;
    while (n < length && n + 1 < capacity && src[n] != L'\0') {
        dst[n] = src[n];
        ++n;
    }
    dst[n] = L'\0';
    return n == length || src[n] == L'\0';
}

bool CopyBounded(wchar_t* dst, size_t capacity, const wchar_t* src)
{
    return CopyBounded(dst, capacity, src, static_cast<size_t>(-1));
}

bool AppendBounded(wchar_t* dst, size_t capacity, const wchar_t* src)
{
    if (dst == nullptr || capacity == 0)
        return false;
    size_t used = 0;
    while (used + 1 < capacity && dst[used] != L'\0')
        ++used;
    dst[used] = L'\0';
    return CopyBounded(dst + used, capacity - used, src);
}

bool FormatBoundedV(wchar_t* dst, size_t capacity, const wchar_t* format, va_list args)
{
    if (dst == nullptr || capacity == 0)
        return false;
    // The C runtime's counted form writes at most capacity - 1 units and
    // reports -1 when the text was longer; the terminator is ours to place.
    // Its format language is the platform's: %s takes a wide string and
    // %I64u an unsigned 64-bit value, as every caller expects.
    int written = _vsnwprintf(dst, capacity - 1, format, args);
    dst[capacity - 1] = L'\0';
    return written >= 0;
}

bool FormatBounded(wchar_t* dst, size_t capacity, const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    bool whole = FormatBoundedV(dst, capacity, format, args);
    va_end(args);
    return whole;
}

}  // namespace Helper
