// Copies and formats (with the C runtime's format language) into fixed-capacity UTF-16 buffers: at most
// capacity - 1 units are written, the result is always terminated, and
// whatever does not fit is cut.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cwchar>

namespace Helper {

// Paths inside the programs live in buffers of this many UTF-16 units,
// terminator included.
constexpr size_t kPathCapacity = 260;

// Returns false when the source was cut (or the buffer has no room at all).
bool CopyBounded(wchar_t* dst, size_t capacity, const wchar_t* src);
bool CopyBounded(wchar_t* dst, size_t capacity, const wchar_t* src, size_t length);
bool AppendBounded(wchar_t* dst, size_t capacity, const wchar_t* src);
bool FormatBounded(wchar_t* dst, size_t capacity, const wchar_t* format, ...);
bool FormatBoundedV(wchar_t* dst, size_t capacity, const wchar_t* format, va_list args);

template <size_t N>
bool CopyBounded(wchar_t (&dst)[N], const wchar_t* src) { return CopyBounded(dst, N, src); }

}  // namespace Helper
