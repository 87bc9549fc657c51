#include "colour/exports.h"

#include <cstdio>
#include <optional>

#include "support/log.h"
#include "support/publish.h"

namespace zelvo {

namespace {

// The length of the valid UTF-8 sequence that starts at `at`, or 0 when the
// byte there starts none (a stray continuation, an overlong form, a
// surrogate, a code point above U+10FFFF or a sequence cut short).
std::size_t utf8_length(std::string_view text, std::size_t at) {
    const auto byte = [&text](std::size_t index) { return static_cast<unsigned char>(text[index]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte, which rules out overlongs and surrogates
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else {
        return 0;
    }
    if (at + length > text.size() || byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t next = at + 2; next < at + length; ++next) {
        if (byte(next) < 0x80 || byte(next) > 0xbf) return 0;
    }
    return length;
}

// Between single quotes the shell takes every byte as it is; a quote itself
// ends the quoting, is given escaped, and the quoting starts again.
std::string shell_word(std::string_view text) {
    std::string quoted = "'";
    for (const char byte : text) {
        if (byte == '\'') quoted += "'\\''";
        else quoted += byte;
    }
    return quoted + "'";
}

// One OSC sequence: ESC ] number ; text ST.
std::string osc(const std::string& number, std::string_view text) {
    return "\033]" + number + ";" + std::string(text) + "\033\\";
}

}  // namespace

std::string json_string(std::string_view text) {
    std::string quoted = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        const std::size_t length = utf8_length(text, at);
        if (length == 0) {
            quoted += "\\ufffd";
            ++at;
            continue;
        }
        if (byte == '"' || byte == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(byte);
        } else if (byte < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted.append(text.substr(at, length));
        }
        at += length;
    }
    return quoted + "\"";
}

// Every entry is taken through c_str(), as the colour file writes it: up to a
// NUL, so that no export ever disagrees with the colour file.
std::string colours_json(const Palette& palette, std::string_view wallpaper) {
    const auto entry = [](const std::string& colour) { return json_string(colour.c_str()); };
    std::string text = "{\n    \"wallpaper\": " + json_string(wallpaper) + ",\n    \"alpha\": \"100\",\n\n";
    text += "    \"special\": {\n";
    text += "        \"background\": " + entry(palette[background_entry]) + ",\n";
    text += "        \"foreground\": " + entry(palette[foreground_entry]) + ",\n";
    text += "        \"cursor\": " + entry(palette[cursor_entry]) + "\n    },\n";
    text += "    \"colors\": {\n";
    for (std::size_t i = 0; i < palette.size(); ++i)
        text += "        \"color" + std::to_string(i) + "\": " + entry(palette[i]) + (i + 1 < palette.size() ? ",\n" : "\n");
    return text + "    }\n}\n";
}

std::string colours_shell(const Palette& palette, std::string_view wallpaper) {
    std::string text = "# zelvo's colours of the wallpaper on the first monitor: . ~/.zelvo/colors.sh\n";
    text += "wallpaper=" + shell_word(wallpaper) + "\n";
    text += "background=" + shell_word(palette[background_entry].c_str()) + "\n";
    text += "foreground=" + shell_word(palette[foreground_entry].c_str()) + "\n";
    text += "cursor=" + shell_word(palette[cursor_entry].c_str()) + "\n";
    for (std::size_t i = 0; i < palette.size(); ++i)
        text += "color" + std::to_string(i) + "=" + shell_word(palette[i].c_str()) + "\n";
    return text;
}

std::string terminal_sequences(const Palette& palette) {
    std::string text;
    for (std::size_t i = 0; i < palette.size(); ++i) text += osc("4;" + std::to_string(i), palette[i].c_str());
    text += osc("10", palette[foreground_entry].c_str());
    text += osc("11", palette[background_entry].c_str());
    text += osc("12", palette[cursor_entry].c_str());
    return text;
}

void write_export(const std::string& path, std::string_view text) {
    if (std::optional<std::string> why = replace_file(path, text))
        report("Zelvo could not write the colour export %s: %s", path.c_str(), why->c_str());
}

void write_exports(const std::string& folder, ExportChoice chosen, const Palette& palette, std::string_view wallpaper) {
    if (chosen.json) write_export(folder + "/colors.json", colours_json(palette, wallpaper));
    if (chosen.shell) write_export(folder + "/colors.sh", colours_shell(palette, wallpaper));
    if (chosen.sequences) write_export(folder + "/sequences", terminal_sequences(palette));
}

}  // namespace zelvo
