#include "updater/version_compare.h"

#include <cstddef>
#include <vector>

namespace Updater {

namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

bool IsSpace(char16_t c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// A full stop that opens the text does not separate two parts.
size_t CountStops(std::u16string_view text)
{
    size_t stops = 0;
    for (size_t i = 1; i < text.size(); ++i) {
        if (text[i] == u'.')
            ++stops;
    }
    return stops;
}

// Runs of full stops separate parts; empty parts do not exist.
std::vector<std::u16string_view> SplitParts(std::u16string_view text)
{
    std::vector<std::u16string_view> parts;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t stop = text.find(u'.', pos);
        if (stop == std::u16string_view::npos)
            stop = text.size();
        if (stop > pos)
            parts.push_back(text.substr(pos, stop - pos));
        pos = stop + 1;
    }
    return parts;
}

// The number a part starts with, read the way the C library reads one
// (leading blanks, an optional sign, then digits; no digits is zero), but
// without a range limit: the digits are kept as text.
struct PartNumber {
    bool negative = false;
    std::u16string_view digits;  // no leading zeros; empty for zero
};

PartNumber ReadPartNumber(std::u16string_view part)
{
    size_t pos = 0;
    while (pos < part.size() && IsSpace(part[pos]))
        ++pos;
    bool negative = false;
    if (pos < part.size() && (part[pos] == u'+' || part[pos] == u'-')) {
        negative = part[pos] == u'-';
        ++pos;
    }
    while (pos < part.size() && part[pos] == u'0')
        ++pos;
    size_t end = pos;
    while (end < part.size() && IsDigit(part[end]))
        ++end;
    PartNumber number;
    number.digits = part.substr(pos, end - pos);
    number.negative = negative && !number.digits.empty();
    return number;
}

int CompareMagnitude(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    int order = a.compare(b);
    return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

int ComparePartNumbers(const PartNumber& a, const PartNumber& b)
{
    if (a.negative != b.negative)
        return a.negative ? -1 : 1;
    int magnitude = CompareMagnitude(a.digits, b.digits);
    return a.negative ? -magnitude : magnitude;
}

}  // namespace

bool IsVersionOlder(std::u16string_view installed, std::u16string_view offered)
{
    if (installed == offered)
        return false;
    if (CountStops(installed) < CountStops(offered))
        return true;
    const std::vector<std::u16string_view> mine = SplitParts(installed);
    const std::vector<std::u16string_view> theirs = SplitParts(offered);
    for (size_t i = 0; i < mine.size() && i < theirs.size(); ++i) {
        int order = ComparePartNumbers(ReadPartNumber(mine[i]), ReadPartNumber(theirs[i]));
        if (order != 0)
            return order < 0;
    }
    return false;
}

}  // namespace Updater
