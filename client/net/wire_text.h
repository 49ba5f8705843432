// UTF-16 of the client to and from the UTF-8 on the wire.
#pragma once

#include <string>
#include <string_view>

#include "common/utf.h"

namespace Net {

inline std::string ToWireText(const wchar_t* text)
{
    return text == nullptr ? std::string() : Helper::Utf16ToUtf8(Helper::AsU16(text));
}

inline std::wstring FromWireText(std::string_view utf8)
{
    return std::wstring(Helper::AsWide(Helper::Utf8ToUtf16(utf8)));
}

}  // namespace Net
