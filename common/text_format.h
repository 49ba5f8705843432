// Formatting of UTF-16 texts with the C runtime's format language, without
// the platform, for the rules that build natively too. The arguments are
// typed, so a conversion that does not match its argument shows nothing
// instead of reading the wrong thing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace Helper {

class CTextArg {
public:
    enum class Kind { Integer, Real, Text };

    CTextArg(int value) : kind_(Kind::Integer), integer_(value) {}
    CTextArg(unsigned value) : kind_(Kind::Integer), integer_(value) {}
    CTextArg(int64_t value) : kind_(Kind::Integer), integer_(value) {}
    CTextArg(double value) : kind_(Kind::Real), real_(value) {}
    CTextArg(std::u16string_view value) : kind_(Kind::Text), text_(value) {}
    CTextArg(const char16_t* value) : kind_(Kind::Text), text_(value ? value : u"") {}
    CTextArg(const std::u16string& value) : kind_(Kind::Text), text_(value) {}

    Kind kind() const { return kind_; }
    int64_t integer() const { return integer_; }
    double real() const { return real_; }
    std::u16string_view text() const { return text_; }

private:
    Kind kind_;
    int64_t integer_ = 0;
    double real_ = 0;
    std::u16string_view text_;
};

// Understands %%, %s, %d, %u and %f with the flags "-+ 0#", a width and a
// precision (as in "%02d" or "%.1f"). Missing arguments show nothing.
std::u16string FormatText(std::u16string_view format, std::initializer_list<CTextArg> args);

// A text as a fixed buffer of `capacity` units would hold it: at most
// capacity - 1 units, the rest cut.
std::u16string CutToCapacity(std::u16string text, size_t capacity);

}  // namespace Helper
