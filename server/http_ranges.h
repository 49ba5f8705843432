// The Range header of a download, answered without ever sending more than
// the content: the ranges asked for are merged, and a request for many
// ranges or for ranges that stay apart gets the whole content instead (a
// server may always ignore Range).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Tessel {

struct ByteRange {
    uint64_t first = 0;
    uint64_t last = 0;  // inclusive
};

enum class RangeAnswer {
    Whole,          // 200 with the whole content
    Part,           // 206 with one part
    Unsatisfiable,  // 416: no range lies within the content
};

// For a Range header value on a content of size bytes. A header that is not
// well-formed bytes ranges, or names more than max_ranges, is ignored.
RangeAnswer AnswerRange(const std::string& header, uint64_t size, size_t max_ranges, ByteRange& part);

}  // namespace Tessel
