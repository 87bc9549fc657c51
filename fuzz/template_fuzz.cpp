// Fuzzes the templates: the input is a template, a stranger's text, rendered
// from a fixed palette. Whatever it holds, the result is the rendered text or
// a fault on one of its lines; the rendered text has the input's lines, is
// bounded, and is the input itself, braces undoubled, where no placeholder is.
// Then the first sixteen lines of the input, taken as a palette, are brought
// to four contrast ratios, and every entry is checked against the rule.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include "colour/colour.h"
#include "colour/contrast.h"
#include "colour/templates.h"
#include "fuzz_support.h"

using zelvo_fuzz::fail;

namespace {

const zelvo::Palette palette = {"#1d2021", "#CC241D", "#98971a", "#d79921", "#458588", "#b16286",
                                "#689d6a", "#a89984", "#928374", "#fb4934", "#b8bb26", "#fabd2f",
                                "#83a598", "#d3869b", "#8ec07c", "#ebdbb2"};

void check_template(const std::string& input) {
    const std::variant<std::string, zelvo::TemplateFault> result =
        zelvo::template_render(input, zelvo::TemplateValues{palette, "/home/u/walls/sea.jpg", 90});
    const auto lines = static_cast<std::size_t>(std::count(input.begin(), input.end(), '\n'));
    if (const zelvo::TemplateFault* fault = std::get_if<zelvo::TemplateFault>(&result)) {
        if (fault->line < 1 || fault->line > lines + 1 || fault->what.empty())
            fail("fault at line %zu of %zu: \"%s\"", fault->line, lines + 1, fault->what.c_str());
        return;
    }
    const std::string& text = std::get<std::string>(result);
    if (text.size() > zelvo::most_rendered_bytes) fail("rendered to %zu bytes", text.size());
    if (static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) != lines)
        fail("rendered to another number of lines than %zu", lines);
    if (input.find('{') != std::string::npos) return;
    std::string expected;
    for (std::size_t at = 0; at < input.size(); ++at) {
        expected += input[at];
        if (input[at] == '}' && at + 1 < input.size() && input[at + 1] == '}') ++at;
    }
    if (text != expected) fail("text without placeholders changed");
}

bool is_hex(const std::string& text) {
    return text.size() == 7 && text[0] == '#' &&
           std::all_of(text.begin() + 1, text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

void check_contrast(const zelvo::Palette& shaped) {
    for (double ratio : {1.0, 4.5, 7.0, 21.0}) {
        zelvo::Palette adjusted = shaped;
        zelvo::palette_reach_contrast(adjusted, ratio);
        const zelvo::Rgb background = zelvo::rgb_from_hex(shaped[0]);
        const double white = zelvo::rgb_contrast(zelvo::Rgb{255, 255, 255}, background);
        const double black = zelvo::rgb_contrast(zelvo::Rgb{0, 0, 0}, background);
        if (adjusted[0] != shaped[0]) fail("c0 changed");
        for (std::size_t entry = 1; entry < 16; ++entry) {
            const double need = entry == 8 ? std::min(ratio, 3.0) : ratio;
            const double was = zelvo::rgb_contrast(zelvo::rgb_from_hex(shaped[entry]), background);
            const double is = zelvo::rgb_contrast(zelvo::rgb_from_hex(adjusted[entry]), background);
            const bool reachable = std::max(white, black) >= need;
            if (was >= need ? adjusted[entry] != shaped[entry]
                            : reachable ? is < need : adjusted[entry] != (white >= black ? "#ffffff" : "#000000"))
                fail("c%zu %s became %s against %s at %g", entry, shaped[entry].c_str(), adjusted[entry].c_str(),
                     shaped[0].c_str(), need);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelvo_fuzz::keep_standard_error();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    check_template(input);
    zelvo::Palette shaped;
    std::size_t at = 0;
    for (std::string& entry : shaped) {
        std::size_t end = std::min(input.find('\n', at), input.size());
        entry = at < input.size() ? input.substr(at, end - at) : "#000000";
        if (!is_hex(entry)) entry = "#808080";
        at = end + 1;
    }
    check_contrast(shaped);
    return 0;
}
