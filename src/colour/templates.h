#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "colour/colour_file.h"

namespace zelvo {

// The largest template that is rendered, and the most that one may render to:
// a placeholder of eleven bytes can stand for a wallpaper's whole path.
inline constexpr std::size_t most_template_bytes = std::size_t{1} << 20;
inline constexpr std::size_t most_rendered_bytes = std::size_t{2} << 20;
// How many files of the template folder are rendered, and how deep in it.
inline constexpr std::size_t most_template_files = 256;
inline constexpr int most_template_depth = 4;
// How many entries of the folder and its subfolders are looked at in all.
inline constexpr std::size_t most_template_entries = 4096;
// The most bytes one change reads of templates and writes of outputs, in all.
inline constexpr std::size_t most_template_change_bytes = std::size_t{16} << 20;

// What a template may name: {wallpaper}, {alpha}, {background},
// {foreground}, {cursor} and {color0} to {color15}.
struct TemplateValues {
    const Palette& palette;
    std::string_view wallpaper;
    int alpha;  // 0 to 100
};

// What makes a template unusable, and the line it is on (from 1).
struct TemplateFault {
    std::size_t line;
    std::string what;
};

// The template's text with its placeholders replaced, in the syntax of
// pywal's templates: "{{" and "}}" stand for one brace each, "{name}" for a
// value, and "{colorN.method(p).property}" for a colour changed by methods
// and written in a form of its own. The first fault when there is one.
std::variant<std::string, TemplateFault> template_render(std::string_view text, const TemplateValues& values);

// Renders every regular file of `folder`, and of its subfolders down to
// most_template_depth, to the same relative name under `output`, each
// written to a temporary file beside its output and renamed over it. A
// template that cannot be rendered leaves its output as it was; each fault,
// and each file skipped for a bound (too large, not text, not a regular
// file, a link that leads out of the folder, beyond the first
// most_template_files), costs one line; so does the end of the change's
// most_template_change_bytes, where the rest keep their outputs. An output
// folder that is a symbolic link is refused. Nothing in the folder is opened
// that could block, and nothing of it is kept. It holds no state and speaks
// only through report, so that a worker may run it, its lines redirected.
void render_templates(const std::string& folder, const std::string& output, const TemplateValues& values);

}  // namespace zelvo
