#include "web_template.h"

#include "web_text.h"

namespace Tessel {

bool Template::Parse(std::string_view text)
{
    pieces_.clear();
    while (!text.empty()) {
        const size_t open = text.find("{{");
        if (open != 0)
            pieces_.push_back({std::string(text.substr(0, open)), false, false});
        if (open == std::string_view::npos)
            break;
        const bool raw = text.compare(open, 3, "{{{") == 0;
        const std::string_view closing = raw ? "}}}" : "}}";
        const size_t start = open + closing.size();
        const size_t close = text.find(closing, start);
        if (close == std::string_view::npos)
            return false;
        pieces_.push_back({std::string(text.substr(start, close - start)), true, raw});
        text.remove_prefix(close + closing.size());
    }
    return true;
}

void Template::RenderTo(std::string& out, const TemplateValues& values) const
{
    for (const Piece& piece : pieces_) {
        if (!piece.slot) {
            out += piece.text;
            continue;
        }
        for (const auto& value : values) {
            if (value.first != piece.text)
                continue;
            if (piece.raw)
                out += value.second;
            else
                AppendHtmlEscaped(out, value.second);
            break;
        }
    }
}

std::string Template::Render(const TemplateValues& values) const
{
    std::string out;
    RenderTo(out, values);
    return out;
}

}  // namespace Tessel
