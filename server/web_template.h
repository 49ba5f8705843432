// HTML templates of the web pages. A template is text with slots:
// {{name}} takes a value HTML-escaped, {{{name}}} takes it as it is (for
// markup the caller built from escaped parts). A slot without a value
// stays empty.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Tessel {

using TemplateValues = std::vector<std::pair<std::string_view, std::string>>;

class Template {
public:
    Template() = default;
    // False when a slot is not closed.
    bool Parse(std::string_view text);
    void RenderTo(std::string& out, const TemplateValues& values) const;
    std::string Render(const TemplateValues& values) const;

private:
    struct Piece {
        std::string text;  // literal text, or the slot's name
        bool slot = false;
        bool raw = false;
    };
    std::vector<Piece> pieces_;
};

// The files of the web folder, built into the program.
struct WebAsset {
    const char* name;
    const char* text;
};
const WebAsset* FindWebAsset(std::string_view name);

}  // namespace Tessel
