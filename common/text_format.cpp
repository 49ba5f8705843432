#include "common/text_format.h"

#include <cstdio>

namespace Helper {

namespace {

struct Conversion {
    std::string spec;  // '%', flags, width, precision
    char type = 0;
    size_t end = 0;    // index after the conversion in the format
};

bool IsFlag(char16_t c) { return c == u'-' || c == u'+' || c == u' ' || c == u'0' || c == u'#'; }
bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// Reads the conversion that starts at format[at] == '%'; type 0 when it is
// not one this formatter knows.
Conversion ReadConversion(std::u16string_view format, size_t at)
{
    Conversion c;
    c.spec = "%";
    size_t i = at + 1;
    while (i < format.size() && IsFlag(format[i]))
        c.spec += static_cast<char>(format[i++]);
    while (i < format.size() && IsDigit(format[i]) && c.spec.size() < 8)
        c.spec += static_cast<char>(format[i++]);
    if (i < format.size() && format[i] == u'.') {
        c.spec += static_cast<char>(format[i++]);
        while (i < format.size() && IsDigit(format[i]) && c.spec.size() < 12)
            c.spec += static_cast<char>(format[i++]);
    }
    if (i < format.size()) {
        char16_t t = format[i];
        if (t == u's' || t == u'd' || t == u'u' || t == u'f' || t == u'%')
            c.type = static_cast<char>(t);
        c.end = i + 1;
    } else {
        c.end = i;
    }
    return c;
}

void AppendNarrow(const char* text, std::u16string* out)
{
    for (; *text; ++text)
        out->push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
}

// Width and precision of %s count UTF-16 units, as the C runtime's wide
// functions do.
void AppendText(const Conversion& c, std::u16string_view text, std::u16string* out)
{
    bool left = c.spec.find('-') != std::string::npos;
    size_t dot = c.spec.find('.');
    std::string digits = c.spec.substr(1, dot == std::string::npos ? std::string::npos : dot - 1);
    size_t width = 0;
    for (char d : digits)
        if (d >= '0' && d <= '9')
            width = width * 10 + static_cast<size_t>(d - '0');
    if (dot != std::string::npos)
        text = text.substr(0, std::stoul("0" + c.spec.substr(dot + 1)));
    std::u16string pad(width > text.size() ? width - text.size() : 0, u' ');
    if (!left)
        out->append(pad);
    out->append(text);
    if (left)
        out->append(pad);
}

void AppendConversion(const Conversion& c, const CTextArg& arg, std::u16string* out)
{
    char buffer[64];
    if (c.type == 's' && arg.kind() == CTextArg::Kind::Text) {
        AppendText(c, arg.text(), out);
    } else if ((c.type == 'd' || c.type == 'u') && arg.kind() == CTextArg::Kind::Integer) {
        std::string spec = c.spec + "ll" + c.type;
        std::snprintf(buffer, sizeof buffer, spec.c_str(), static_cast<long long>(arg.integer()));
        AppendNarrow(buffer, out);
    } else if (c.type == 'f' && arg.kind() == CTextArg::Kind::Real) {
        std::string spec = c.spec + 'f';
        std::snprintf(buffer, sizeof buffer, spec.c_str(), arg.real());
        AppendNarrow(buffer, out);
    }
}

}  // namespace

std::u16string FormatText(std::u16string_view format, std::initializer_list<CTextArg> args)
{
    std::u16string out;
    const CTextArg* next = args.begin();
    for (size_t i = 0; i < format.size();) {
        if (format[i] != u'%') {
            out.push_back(format[i++]);
            continue;
        }
        Conversion c = ReadConversion(format, i);
        if (c.type == '%')
            out.push_back(u'%');
        else if (c.type == 0)
            out.append(format.substr(i, c.end - i));
        else if (next != args.end())
            AppendConversion(c, *next++, &out);
        i = c.end;
    }
    return out;
}

std::u16string CutToCapacity(std::u16string text, size_t capacity)
{
    size_t keep = capacity == 0 ? 0 : capacity - 1;
    if (text.size() > keep)
        text.resize(keep);
    return text;
}

}  // namespace Helper
