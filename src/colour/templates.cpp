#include "colour/templates.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "colour/colour.h"
#include "colour/exports.h"
#include "support/directory.h"
#include "support/log.h"
#include "process/process.h"
#include "support/publish.h"

namespace zelvo {

namespace {

// ---- Colours as placeholders write them ----

// A colour of a placeholder: its channels, and its text ("#" and six hex
// digits): the colour file's entry as written there until a method makes a
// new colour, whose text is then in lower case.
struct TemplateColour {
    Rgb rgb;
    std::string hex;
};

std::uint32_t channel_from(double value) {
    return static_cast<std::uint32_t>(std::clamp(std::trunc(value), 0.0, 255.0));
}

// Python's float remainder by 1.0, whose result takes the sign of the divisor.
double unit_remainder(double value) {
    double remainder = std::fmod(value, 1.0);
    if (remainder < 0) remainder += 1.0;
    return remainder;
}

// Hue, lightness and saturation, all 0..1, in double precision: the
// arithmetic of Python's colorsys, which pywal's saturate goes through.
struct Hls {
    double hue;
    double lightness;
    double saturation;
};

Hls hls_from_rgb(const Rgb& colour) {
    const double r = colour.red / 255.0;
    const double g = colour.green / 255.0;
    const double b = colour.blue / 255.0;
    const double most = std::max({r, g, b});
    const double least = std::min({r, g, b});
    const double sum = most + least;
    const double range = most - least;
    const double lightness = sum / 2.0;
    if (least == most) return Hls{0.0, lightness, 0.0};
    const double saturation = lightness <= 0.5 ? range / sum : range / (2.0 - sum);
    const double rc = (most - r) / range;
    const double gc = (most - g) / range;
    const double bc = (most - b) / range;
    double hue = 0;
    if (r == most)
        hue = bc - gc;
    else if (g == most)
        hue = 2.0 + rc - bc;
    else
        hue = 4.0 + gc - rc;
    return Hls{unit_remainder(hue / 6.0), lightness, saturation};
}

double hls_part(double low, double high, double hue) {
    constexpr double one_sixth = 1.0 / 6.0;
    constexpr double two_thirds = 2.0 / 3.0;
    hue = unit_remainder(hue);
    if (hue < one_sixth) return low + (high - low) * hue * 6.0;
    if (hue < 0.5) return high;
    if (hue < two_thirds) return low + (high - low) * (two_thirds - hue) * 6.0;
    return low;
}

Rgb rgb_from_hls(const Hls& colour) {
    double r = colour.lightness;
    double g = colour.lightness;
    double b = colour.lightness;
    if (colour.saturation != 0.0) {
        const double l = colour.lightness;
        const double s = colour.saturation;
        const double high = l <= 0.5 ? l * (1.0 + s) : l + s - l * s;
        const double low = 2.0 * l - high;
        r = hls_part(low, high, colour.hue + 1.0 / 3.0);
        g = hls_part(low, high, colour.hue);
        b = hls_part(low, high, colour.hue - 1.0 / 3.0);
    }
    return Rgb{channel_from(r * 255.0), channel_from(g * 255.0), channel_from(b * 255.0)};
}

// alpha / 100 as Python prints a float: "1.0", "0.9", "0.75", "0.05", "0.0".
std::string python_fraction(int alpha) {
    if (alpha % 100 == 0) return std::to_string(alpha / 100) + ".0";
    char text[16];
    if (alpha % 10 == 0)
        std::snprintf(text, sizeof text, "0.%d", alpha / 10);
    else
        std::snprintf(text, sizeof text, "0.%02d", alpha);
    return text;
}

std::string formatted(const char* format, auto... values) {
    char text[64];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// The colour written as the property asks; none for a property of no such name.
std::optional<std::string> colour_property(std::string_view name, const TemplateColour& colour, int alpha) {
    const Rgb& c = colour.rgb;
    const std::uint32_t value = c.red << 16 | c.green << 8 | c.blue;
    if (name == "strip") return colour.hex.substr(1);
    if (name == "rgb") return formatted("%u,%u,%u", c.red, c.green, c.blue);
    if (name == "rgba") return formatted("rgba(%u,%u,%u,", c.red, c.green, c.blue) + python_fraction(alpha) + ")";
    if (name == "xrgba") return formatted("%02x/%02x/%02x/ff", c.red, c.green, c.blue);
    if (name == "alpha") return "[" + std::to_string(alpha) + "]" + colour.hex;
    if (name == "alpha_dec") return python_fraction(alpha);
    if (name == "decimal") return "#" + std::to_string(value);
    if (name == "decimal_strip") return std::to_string(value);
    if (name == "octal") return formatted("#%o", value);
    if (name == "octal_strip") return formatted("%o", value);
    if (name == "red") return formatted("%.3f", c.red / 255.0);
    if (name == "green") return formatted("%.3f", c.green / 255.0);
    if (name == "blue") return formatted("%.3f", c.blue / 255.0);
    return std::nullopt;
}

// A method's argument: a number from 0 to 100, written in decimal.
std::optional<double> percent(std::string_view text) {
    double value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    if (text.empty() || text[0] == '-' || error != std::errc() || stop != end || !(value >= 0 && value <= 100))
        return std::nullopt;
    return value;
}

// The colour changed by the method; none for a method of no such name.
std::optional<Rgb> colour_method(std::string_view name, const Rgb& c, double amount) {
    const double share = amount / 100.0;
    if (name == "lighten") {
        const auto lighter = [share](std::uint32_t channel) { return channel_from(channel + (255.0 - channel) * share); };
        return Rgb{lighter(c.red), lighter(c.green), lighter(c.blue)};
    }
    if (name == "darken") {
        const auto darker = [share](std::uint32_t channel) { return channel_from(channel * (1.0 - share)); };
        return Rgb{darker(c.red), darker(c.green), darker(c.blue)};
    }
    if (name == "saturate") {
        Hls hls = hls_from_rgb(c);
        hls.saturation = share;
        return rgb_from_hls(hls);
    }
    return std::nullopt;
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

std::string_view leading_word(std::string_view text) {
    std::size_t length = 0;
    while (length < text.size() &&
           (std::isalnum(static_cast<unsigned char>(text[length])) != 0 || text[length] == '_'))
        ++length;
    return text.substr(0, length);
}

// The palette entry that a name stands for; none when it names no colour.
std::optional<std::size_t> colour_entry(std::string_view name) {
    if (name == "background") return background_entry;
    if (name == "foreground") return foreground_entry;
    if (name == "cursor") return cursor_entry;
    if (name.size() < 6 || name.size() > 7 || name.substr(0, 5) != "color") return std::nullopt;
    const std::string_view digits = name.substr(5);
    if (digits.size() == 2 && digits[0] == '0') return std::nullopt;
    std::size_t index = 0;
    const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), index);
    if (error != std::errc() || stop != digits.data() + digits.size() || index > 15) return std::nullopt;
    return index;
}

// Appends the value that the placeholder's body (between its braces) stands
// for; the fault, when it stands for none.
std::optional<std::string> append_placeholder(std::string& out, std::string_view body, const TemplateValues& values) {
    const std::string_view name = leading_word(body);
    std::string_view rest = body.substr(name.size());
    if (!rest.empty() && rest[0] != '.') return "unknown name " + quoted(body);
    const std::optional<std::size_t> entry = colour_entry(name);
    if (!entry) {
        if (name != "wallpaper" && name != "alpha") return "unknown name " + quoted(name);
        if (!rest.empty()) return "unknown property " + quoted(rest.substr(1));
        out += name == "wallpaper" ? std::string(values.wallpaper) : std::to_string(values.alpha);
        return std::nullopt;
    }
    // As the colour file writes it: up to a NUL of its own.
    TemplateColour colour{rgb_from_hex(values.palette[*entry]), values.palette[*entry].c_str()};
    bool changed = false;
    while (!rest.empty()) {
        if (rest[0] != '.') return "unknown name " + quoted(body);
        rest.remove_prefix(1);
        const std::string_view word = leading_word(rest);
        rest.remove_prefix(word.size());
        if (!rest.empty() && rest[0] == '(') {
            const std::size_t close = rest.find(')');
            if (close == std::string_view::npos) return "unclosed parenthesis after " + quoted(word);
            const std::string_view argument = rest.substr(1, close - 1);
            rest.remove_prefix(close + 1);
            const std::optional<double> amount = percent(argument);
            std::optional<Rgb> made = colour_method(word, colour.rgb, amount.value_or(0));
            if (!made) return "unknown method " + quoted(word);
            if (!amount) return quoted(word) + " takes a number from 0 to 100, not " + quoted(argument);
            colour = TemplateColour{*made, rgb_to_hex(*made)};
            changed = true;
            continue;
        }
        // A property comes last.
        if (!rest.empty()) return "unknown property " + quoted(std::string(word) + std::string(rest));
        std::optional<std::string> written = colour_property(word, colour, values.alpha);
        if (!written) return "unknown property " + quoted(word);
        out += *written;
        return std::nullopt;
    }
    // A method with no property after it gives the hex digits alone, as pywal does.
    out += changed ? colour.hex.substr(1) : colour.hex;
    return std::nullopt;
}

// ---- The folder of templates ----

std::string why(int error) { return std::strerror(error); }

// One walk of the template folder: its bounds, and where the outputs go.
struct TemplateWalk {
    const std::string& folder;
    std::string real_folder;  // its links resolved, for telling where a link leads
    int output;               // the output folder, open
    const std::string& output_path;
    const TemplateValues& values;
    std::size_t files = 0;
    std::size_t entries = 0;
    std::size_t bytes = 0;  // read of templates and written of outputs
    bool too_many_files = false;
    bool too_many_entries = false;
    bool too_many_bytes = false;
};

// Takes `count` bytes of the change's budget; false, and the walk ends,
// when they are more than is left.
bool spend(TemplateWalk& walk, std::size_t count) {
    if (count > most_template_change_bytes - walk.bytes) {
        walk.too_many_bytes = true;
        return false;
    }
    walk.bytes += count;
    return true;
}

// Replaces the output at `relative` under the output folder with the text:
// a temporary file beside it, renamed over it once complete, so that a link
// (or anything else) at that name is replaced, never written through, and
// no folder on the way is a link. An output that exists keeps its mode.
std::optional<std::string> replace_output(int root, const std::string& relative, std::string_view text) {
    UniqueDescriptor folder(openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.get() < 0) return why(errno);
    std::size_t from = 0;
    for (std::size_t slash = relative.find('/'); slash != std::string::npos; slash = relative.find('/', from)) {
        const std::string part = relative.substr(from, slash - from);
        if (mkdirat(folder.get(), part.c_str(), 0777) != 0 && errno != EEXIST) return why(errno);
        UniqueDescriptor inner(openat(folder.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (inner.get() < 0) return errno == ELOOP ? "a folder on the way is a symbolic link" : why(errno);
        folder = std::move(inner);
        from = slash + 1;
    }
    return replace_entry(folder.get(), relative.substr(from), text, 0666);
}

void skipped(const TemplateWalk& walk, const std::string& relative, const std::string& reason) {
    report("Zelvo skipped the template %s/%s: %s", walk.folder.c_str(), relative.c_str(), reason.c_str());
}

// Reads the template open at `file` and renders it to its output.
void render_opened(TemplateWalk& walk, const UniqueDescriptor& file, const std::string& relative) {
    struct stat status{};
    if (file.get() < 0 || fstat(file.get(), &status) != 0) {
        skipped(walk, relative, errno == ELOOP ? "not a regular file" : why(errno));
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        skipped(walk, relative, "not a regular file");
        return;
    }
    if (static_cast<std::uintmax_t>(status.st_size) > most_template_bytes) {
        skipped(walk, relative, "larger than 1 MiB");
        return;
    }
    if (!spend(walk, static_cast<std::size_t>(status.st_size))) return;
    // One byte beyond the bound tells a file that grew meanwhile.
    std::string text(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t filled = 0;
    for (;;) {
        if (filled == text.size()) {
            if (text.size() > most_template_bytes) break;
            text.resize(std::min(text.size() + 4096, most_template_bytes + 1));
        }
        const ssize_t got = read(file.get(), text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            skipped(walk, relative, why(errno));
            return;
        }
        if (got == 0) break;
        filled += static_cast<std::size_t>(got);
    }
    if (filled > most_template_bytes) {
        skipped(walk, relative, "larger than 1 MiB");
        return;
    }
    text.resize(filled);
    if (text.find('\0') != std::string::npos) {
        skipped(walk, relative, "it holds a NUL byte, so it is no text");
        return;
    }
    std::variant<std::string, TemplateFault> rendered = template_render(text, walk.values);
    if (const TemplateFault* fault = std::get_if<TemplateFault>(&rendered)) {
        report("Zelvo did not render the template %s/%s: line %zu: %s", walk.folder.c_str(), relative.c_str(),
               fault->line, fault->what.c_str());
        return;
    }
    if (!spend(walk, std::get<std::string>(rendered).size())) return;
    if (std::optional<std::string> failed = replace_output(walk.output, relative, std::get<std::string>(rendered)))
        report("Zelvo could not write the template output %s/%s: %s", walk.output_path.c_str(), relative.c_str(),
               failed->c_str());
}

// A link in the folder is followed only when it leads to a file inside it.
void render_link(TemplateWalk& walk, const std::string& relative) {
    const std::string path = walk.folder + "/" + relative;
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        skipped(walk, relative, why(errno));
        return;
    }
    const std::string_view target = resolved;
    if (target.size() <= walk.real_folder.size() || target.compare(0, walk.real_folder.size(), walk.real_folder) != 0 ||
        target[walk.real_folder.size()] != '/') {
        skipped(walk, relative, "a link that leads out of the template folder");
        return;
    }
    const UniqueDescriptor file(open(resolved, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    render_opened(walk, file, relative);
}

// Renders the templates of the folder open at `descriptor`, whose path
// below the template folder is `prefix`, in the order of their names.
void walk_folder(TemplateWalk& walk, UniqueDescriptor descriptor, const std::string& prefix, int depth) {
    const DirectoryPtr directory(fdopendir(descriptor.get()));
    if (!directory) {
        report("Zelvo cannot read the template folder %s/%s: %s", walk.folder.c_str(), prefix.c_str(),
               std::strerror(errno));
        return;
    }
    descriptor.release();
    std::vector<std::string> names;
    while (const dirent* entry = readdir(directory.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (++walk.entries > most_template_entries) {
            walk.too_many_entries = true;
            break;
        }
        names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    const int at = dirfd(directory.get());
    for (const std::string& name : names) {
        const std::string relative = prefix + name;
        struct stat status{};
        if (fstatat(at, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
            skipped(walk, relative, why(errno));
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            if (depth == most_template_depth) {
                report("Zelvo skipped the template folder %s/%s: deeper than 4 folders", walk.folder.c_str(),
                       relative.c_str());
                continue;
            }
            UniqueDescriptor inner(openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (inner.get() < 0) {
                skipped(walk, relative, why(errno));
                continue;
            }
            walk_folder(walk, std::move(inner), relative + "/", depth + 1);
            if (walk.too_many_files || walk.too_many_bytes) return;
            continue;
        }
        if (walk.files == most_template_files) {
            walk.too_many_files = true;
            return;
        }
        ++walk.files;
        if (S_ISLNK(status.st_mode)) {
            render_link(walk, relative);
        } else if (S_ISREG(status.st_mode)) {
            // Checked again on what was opened: the name may lead elsewhere by now.
            const UniqueDescriptor file(openat(at, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
            render_opened(walk, file, relative);
        } else {
            skipped(walk, relative, "not a regular file");
        }
        if (walk.too_many_bytes) return;
    }
}

// Whether one path is the other or lies inside it.
bool nested(const std::string& one, const std::string& other) {
    const auto within = [](const std::string& inner, const std::string& outer) {
        return inner.compare(0, outer.size(), outer) == 0 && (inner.size() == outer.size() || inner[outer.size()] == '/' || outer == "/");
    };
    return within(one, other) || within(other, one);
}

}  // namespace

std::variant<std::string, TemplateFault> template_render(std::string_view text, const TemplateValues& values) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    std::size_t line = 1;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t special = text.find_first_of("{}\n", at);
        out.append(text.substr(at, special == std::string_view::npos ? std::string_view::npos : special - at));
        if (special == std::string_view::npos) break;
        at = special;
        const bool doubled = at + 1 < text.size() && text[at + 1] == text[at];
        if (text[at] == '\n') {
            out += '\n';
            ++line;
            ++at;
        } else if (text[at] == '}' || doubled) {
            // "{{" and "}}" give one brace; a lone "}" is text like any other.
            out += text[at];
            at += doubled ? 2 : 1;
        } else {
            const std::size_t close = text.find_first_of("}\n", at + 1);
            if (close == std::string_view::npos || text[close] == '\n') return TemplateFault{line, "unclosed brace"};
            if (std::optional<std::string> fault = append_placeholder(out, text.substr(at + 1, close - at - 1), values))
                return TemplateFault{line, std::move(*fault)};
            at = close + 1;
        }
        if (out.size() > most_rendered_bytes) return TemplateFault{line, "it renders to more than 2 MiB"};
    }
    return out;
}

void render_templates(const std::string& folder, const std::string& output, const TemplateValues& values) {
    UniqueDescriptor top(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    char resolved[PATH_MAX];
    if (top.get() < 0 || realpath(folder.c_str(), resolved) == nullptr) {
        report("Zelvo cannot read the template folder %s: %s", folder.c_str(), std::strerror(errno));
        return;
    }
    const std::string real_folder = resolved;
    if (mkdir(output.c_str(), 0777) != 0 && errno != EEXIST) {
        report("Zelvo could not write the template outputs in %s: %s", output.c_str(), std::strerror(errno));
        return;
    }
    // Never through a link, as no folder on the way to an output is.
    const UniqueDescriptor outputs(open(output.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (outputs.get() < 0 || realpath(output.c_str(), resolved) == nullptr) {
        const int error = errno;
        struct stat status{};
        const bool link = lstat(output.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
        report("Zelvo could not write the template outputs in %s: %s", output.c_str(),
               link ? "it is a symbolic link" : std::strerror(error));
        return;
    }
    // Outputs written where templates are read would be read as templates.
    if (nested(real_folder, resolved)) {
        report("Zelvo cannot render the templates of %s: the folder of their outputs, %s, is the same or one inside the other",
               folder.c_str(), output.c_str());
        return;
    }
    TemplateWalk walk{folder, real_folder, outputs.get(), output, values};
    walk_folder(walk, std::move(top), "", 0);
    if (walk.too_many_bytes)
        report("Zelvo stopped rendering the templates of %s at 16 MiB read and written: the rest keep their outputs",
               folder.c_str());
    else if (walk.too_many_files)
        report("Zelvo skipped the templates of %s beyond the first 256 files", folder.c_str());
    else if (walk.too_many_entries)
        report("Zelvo skipped the templates of %s beyond the first 4096 entries of its folders", folder.c_str());
}

}  // namespace zelvo
