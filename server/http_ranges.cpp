#include "http_ranges.h"

#include <algorithm>
#include <optional>
#include <vector>

namespace Tessel {
namespace {

// One byte-range-spec: "first-last", "first-" or "-suffix".
struct Spec {
    std::optional<uint64_t> first;
    std::optional<uint64_t> last;
};

std::string Trim(const std::string& text)
{
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

std::optional<uint64_t> Number(const std::string& text)
{
    if (text.empty() || text.size() > 18 || !std::all_of(text.begin(), text.end(), [](char c) {
            return c >= '0' && c <= '9';
        }))
        return std::nullopt;
    return std::stoull(text);
}

bool ParseSpec(const std::string& text, Spec& spec)
{
    const size_t dash = text.find('-');
    if (dash == std::string::npos)
        return false;
    const std::string first = text.substr(0, dash);
    const std::string last = text.substr(dash + 1);
    if (!first.empty() && !(spec.first = Number(first)))
        return false;
    if (!last.empty() && !(spec.last = Number(last)))
        return false;
    if (!spec.first && !spec.last)
        return false;
    return !spec.first || !spec.last || *spec.first <= *spec.last;
}

// The specs of a header; false when it is not a usable bytes range set.
bool ParseSpecs(const std::string& header, size_t max_ranges, std::vector<Spec>& specs)
{
    const std::string value = Trim(header);
    if (value.size() < 6 || value.compare(0, 6, "bytes=") != 0)
        return false;
    size_t at = 6;
    while (at <= value.size()) {
        size_t comma = value.find(',', at);
        if (comma == std::string::npos)
            comma = value.size();
        const std::string item = Trim(value.substr(at, comma - at));
        at = comma + 1;
        if (item.empty())
            continue;  // empty list elements are allowed
        Spec spec;
        if (specs.size() == max_ranges || !ParseSpec(item, spec))
            return false;
        specs.push_back(spec);
    }
    return !specs.empty();
}

// The bytes a spec names within the content; false when it names none.
bool Resolve(const Spec& spec, uint64_t size, ByteRange& range)
{
    if (size == 0)
        return false;
    if (!spec.first) {
        if (*spec.last == 0)
            return false;
        range.first = *spec.last >= size ? 0 : size - *spec.last;
        range.last = size - 1;
        return true;
    }
    if (*spec.first >= size)
        return false;
    range.first = *spec.first;
    range.last = spec.last ? std::min(*spec.last, size - 1) : size - 1;
    return true;
}

}  // namespace

RangeAnswer AnswerRange(const std::string& header, uint64_t size, size_t max_ranges, ByteRange& part)
{
    std::vector<Spec> specs;
    if (!ParseSpecs(header, max_ranges, specs))
        return RangeAnswer::Whole;
    std::vector<ByteRange> ranges;
    for (const Spec& spec : specs) {
        ByteRange range;
        if (Resolve(spec, size, range))
            ranges.push_back(range);
    }
    if (ranges.empty())
        return RangeAnswer::Unsatisfiable;
    std::sort(ranges.begin(), ranges.end(), [](const ByteRange& a, const ByteRange& b) { return a.first < b.first; });
    part = ranges.front();
    for (const ByteRange& range : ranges) {
        // Overlapping and adjoining ranges become one; ranges that stay
        // apart are answered with the whole content.
        if (range.first > part.last + 1)
            return RangeAnswer::Whole;
        part.last = std::max(part.last, range.last);
    }
    return RangeAnswer::Part;
}

}  // namespace Tessel
