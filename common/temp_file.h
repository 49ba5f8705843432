// A download's temporary file: the target's name with ".tavo" appended
// while the contents arrive. Such files are never synchronised, the overlay
// shows them by their base file, and the client registers a file type for
// the extension. Needs no platform headers.
#pragma once

#include <string_view>

namespace Helper {

constexpr std::wstring_view kTempFileSuffix = L".tavo";
// The same suffix for the portable code that works on UTF-16 text.
constexpr std::u16string_view kTempFileSuffixU16 = u".tavo";
static_assert(kTempFileSuffix.size() == kTempFileSuffixU16.size(), "one suffix");

// Whether the name (or path) is that of a temporary file, in the exact
// case the client gives them.
constexpr bool IsTempFileName(std::wstring_view name)
{
    return name.size() >= kTempFileSuffix.size() &&
           name.substr(name.size() - kTempFileSuffix.size()) == kTempFileSuffix;
}

}  // namespace Helper
