// The record of one file or folder of the sync folder: what a server
// listing decodes into, what the state table keeps and the state file
// stores, and what the sync actions carry. Needs no platform headers.
#pragma once

#include <cstdint>
#include <string>

#include "common/bounded_string.h"
#include "common/hex.h"

namespace Sync {

using Helper::kPathCapacity;
constexpr size_t kDigestLength = Helper::kMd5HexLength;

struct SyncEntry {
    int32_t id = -1;
    int32_t parent_id = 0;
    std::wstring name;
    uint64_t local_modified = 0;  // FILETIME as one 64-bit value
    uint64_t size = 0;
    uint64_t upload_offset = 0;
    int32_t update_time = 0;
    char md5[kDigestLength] = {};           // hex digits, no terminator
    char upload_token[kDigestLength] = {};  // no terminator
    uint16_t upload_port = 0;
    uint32_t upload_address = 0;  // first octet in the most significant byte; 0 = no ticket
    uint32_t is_file = 0;
    uint32_t state = 0;
    wchar_t path[kPathCapacity] = {};
};

}  // namespace Sync
