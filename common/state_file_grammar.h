// The grammar of an account's sync state file, which the client's state
// table writes and reads and the overlay reads: where the file lies, its
// elements and attributes, and the rules each value follows. The readers
// parse it each in their own way (the overlay's stays non-recursive and
// allocation-light), but neither spells the grammar itself.
//
//   <ROOT>
//     <DIR id= name= state= update_time=> ...items inside... </DIR>
//     <FILE id= name= state= update_time= size= md5= local_modified=
//           [u_t= u_p= u_a= u_o=]/>
//   </ROOT>
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/bounded_string.h"
#include "common/file_sync_state.h"

namespace Helper {

// Below the roaming application-data folder: application data, user name.
constexpr const wchar_t* kStateFilePathFormat = L"%s\\Tavo\\Tessel\\%s.user_cfg";

constexpr std::u16string_view kStateRootElement = u"ROOT";
// A folder element holds the elements of the items inside it.
constexpr std::u16string_view kStateFolderElement = u"DIR";
constexpr std::u16string_view kStateFileElement = u"FILE";

// An attribute and the longest value a reader accepts for it; a longer
// value makes the element unusable.
struct StateAttribute {
    std::u16string_view name;
    size_t max_length;
};

// Every element: a signed decimal id, the item's own name, its sync state
// (a FileSyncState value) and the server's update stamp.
constexpr StateAttribute kStateId{u"id", 16};
constexpr StateAttribute kStateName{u"name", kPathCapacity};
constexpr StateAttribute kStateState{u"state", 2};
constexpr StateAttribute kStateUpdateTime{u"update_time", 16};
// Files besides: the size in bytes, the MD5 as 32 hexadecimal digits (empty
// while unknown) and the local write time as one 64-bit FILETIME value.
constexpr StateAttribute kStateSize{u"size", 32};
constexpr StateAttribute kStateMd5{u"md5", 32};
constexpr StateAttribute kStateLocalModified{u"local_modified", 32};
// Files with an upload ticket besides: its 32-character token, port,
// address (signed decimal forms of the 16- and 32-bit values) and the
// offset the server accepted. A reader takes them in this order and stops
// at the first one missing.
constexpr StateAttribute kStateUploadToken{u"u_t", 32};
constexpr StateAttribute kStateUploadPort{u"u_p", 8};
constexpr StateAttribute kStateUploadAddress{u"u_a", 16};
constexpr StateAttribute kStateUploadOffset{u"u_o", 32};

// Elements with fewer attributes than these are passed over, a folder's
// with everything inside it.
constexpr size_t kStateFolderAttributeCount = 4;
constexpr size_t kStateFileAttributeCount = 7;
// What naming an item and its state takes (id, name, state): all that a
// reader that only shows states needs.
constexpr size_t kStateBadgeAttributeCount = 3;

// The length of the digest and token values.
constexpr size_t kStateDigestLength = 32;

inline bool FitsStateAttribute(std::u16string_view value, const StateAttribute& attribute)
{
    return value.size() <= attribute.max_length;
}

// A text value XML cannot carry as it is (a lone surrogate in a name,
// control bytes in an upload token) is written twice: under its own
// attribute with every such character replaced by U+FFFD, which every
// reader takes as it always did, and exactly under the attribute's name
// followed by this suffix, as four lower-case hexadecimal digits per UTF-16
// unit. A reader that knows the exact form prefers it.
constexpr std::u16string_view kStateExactSuffix = u"_x";
constexpr size_t kStateExactDigits = 4;

inline std::u16string StateExactName(std::u16string_view name)
{
    std::u16string exact(name);
    exact += kStateExactSuffix;
    return exact;
}

inline std::u16string EncodeStateExact(std::u16string_view value)
{
    constexpr char16_t kDigits[] = u"0123456789abcdef";
    std::u16string encoded;
    encoded.reserve(value.size() * kStateExactDigits);
    for (const char16_t unit : value)
        for (int shift = 12; shift >= 0; shift -= 4)
            encoded.push_back(kDigits[(unit >> shift) & 0xF]);
    return encoded;
}

// False, with value untouched, for anything but whole groups of hex digits
// that decode to at most the attribute's maximum length.
inline bool DecodeStateExact(std::u16string_view encoded, const StateAttribute& attribute, std::u16string* value)
{
    if (encoded.size() % kStateExactDigits != 0 || encoded.size() / kStateExactDigits > attribute.max_length)
        return false;
    std::u16string decoded;
    for (size_t at = 0; at < encoded.size(); at += kStateExactDigits) {
        char16_t unit = 0;
        for (size_t i = at; i < at + kStateExactDigits; ++i) {
            const char16_t c = encoded[i];
            const int digit = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'a' && c <= u'f' ? c - u'a' + 10 : -1;
            if (digit < 0)
                return false;
            unit = static_cast<char16_t>((unit << 4) | digit);
        }
        decoded.push_back(unit);
    }
    *value = std::move(decoded);
    return true;
}

}  // namespace Helper
