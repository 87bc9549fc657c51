#include "control/protocol.h"

#include <algorithm>

namespace zelvo {

namespace {

constexpr char hex_digits[] = "0123456789abcdef";

bool stands_escaped(unsigned char byte, bool in_word) {
    return byte < 0x20 || byte == 0x7f || byte == '\\' || (in_word && byte == ' ');
}

int hex_value(char digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
}

// More words than any command takes: the longest is set's, one file a monitor.
constexpr std::size_t most_words = 128;

}  // namespace

std::string protocol_escape(std::string_view text, bool in_word) {
    std::string out;
    out.reserve(text.size());
    for (const char character : text) {
        const unsigned char byte = static_cast<unsigned char>(character);
        if (byte == '\\') {
            out += "\\\\";
        } else if (stands_escaped(byte, in_word)) {
            out += "\\x";
            out += hex_digits[byte >> 4];
            out += hex_digits[byte & 15];
        } else {
            out += character;
        }
    }
    return out;
}

std::optional<std::string> protocol_unescape(std::string_view text, bool in_word) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        if (byte != '\\') {
            if (stands_escaped(byte, in_word)) return std::nullopt;
            out += text[at];
            continue;
        }
        if (at + 1 < text.size() && text[at + 1] == '\\') {
            out += '\\';
            ++at;
            continue;
        }
        if (at + 3 >= text.size() || text[at + 1] != 'x') return std::nullopt;
        const int high = hex_value(text[at + 2]);
        const int low = hex_value(text[at + 3]);
        if (high < 0 || low < 0) return std::nullopt;
        out += static_cast<char>(high << 4 | low);
        at += 3;
    }
    return out;
}

std::string request_line(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty()) line += ' ';
        line += protocol_escape(word, true);
    }
    return line + '\n';
}

std::variant<std::vector<std::string>, std::string> parse_request_line(std::string_view line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        if (line[at] == ' ') {
            ++at;
            continue;
        }
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (words.size() == most_words) return std::string("too many words");
        std::optional<std::string> word = protocol_unescape(line.substr(at, end - at), true);
        if (!word) {
            const bool nul = line.substr(at, end - at).find('\0') != std::string_view::npos;
            return std::string(nul ? "the request holds a NUL byte" : "the request holds a byte it may not hold");
        }
        words.push_back(std::move(*word));
        at = end;
    }
    if (words.empty()) return std::string("the request is empty");
    return words;
}

std::string reply_ok(const std::vector<std::string>& data) {
    std::string reply;
    for (const std::string& line : data) reply += protocol_escape(line, false) + '\n';
    return reply + "ok\n";
}

std::string reply_error(std::string_view reason) { return "error: " + protocol_escape(reason, false) + '\n'; }

const std::vector<CommandForm>& command_forms() {
    // Built once; set takes a file for each monitor a display may have.
    static const std::vector<CommandForm> forms = {
        {"next", 0, 0, {{"-n", true}}, " [-n N]", "show the next images now; the interval starts again", &CommandHandlers::next},
        {"previous", 0, 0, {{"-n", true}}, " [-n N]", "show the images of the change before again", &CommandHandlers::previous},
        {"reshuffle", 0, 0, {}, "", "reshuffle the images and show the first of the new order", &CommandHandlers::reshuffle},
        {"reload", 0, 0, {}, "", "read the configuration file again and show the first image of the new ring", &CommandHandlers::reload},
        {"quit", 0, 0, {}, "", "end the daemon, and wait until it has let go of the display", &CommandHandlers::quit, true},
        {"pause", 0, 0, {}, "", "hold the timer until resume", &CommandHandlers::pause},
        {"resume", 0, 0, {}, "", "run the timer again, a whole interval from now", &CommandHandlers::pause},
        {"toggle-pause", 0, 0, {}, "", "pause or resume, whichever it is not", &CommandHandlers::pause},
        {"rescan", 0, 0, {}, "", "collect the images of the sources again, in the background", &CommandHandlers::rescan},
        {"favourite", 0, 0, {}, "", "add the images on screen to ~/.zelvo/favourites", &CommandHandlers::favourite},
        {"ban", 0, 0, {}, "", "add the images on screen to ~/.zelvo/banned, and show the next", &CommandHandlers::ban},
        {"unban", 1, 1, {}, " PATH", "take the image out of ~/.zelvo/banned", &CommandHandlers::unban},
        {"set", 1, 64, {{"-n", true}}, " [-n N] FILE...", "show these images now, one per monitor", &CommandHandlers::set},
        {"status", 0, 0, {{"--json", false}}, " [--json]", "print what the daemon does and shows", &CommandHandlers::status, true},
        {"current", 0, 0, {{"--json", false}}, " [--json]", "print the images on screen, one a line", &CommandHandlers::status, true},
    };
    return forms;
}

bool Command::has(std::string_view option) const {
    return std::any_of(options.begin(), options.end(), [option](const auto& given) { return given.first == option; });
}

const std::string* Command::value(std::string_view option) const {
    const auto given = std::find_if(options.rbegin(), options.rend(), [option](const auto& one) { return one.first == option; });
    return given != options.rend() ? &given->second : nullptr;
}

std::variant<Command, std::string> parse_command(const std::vector<std::string>& words) {
    if (words.empty()) return std::string("no command");
    Command command;
    for (const CommandForm& form : command_forms())
        if (words[0] == form.name) command.form = &form;
    if (command.form == nullptr) return "unknown command " + words[0];
    const CommandForm& form = *command.form;
    std::size_t at = 1;
    for (; at < words.size() && words[at].size() > 1 && words[at][0] == '-'; ++at) {
        if (words[at] == "--") {
            ++at;
            break;
        }
        const auto known = std::find_if(form.options.begin(), form.options.end(),
                                        [&](const OptionForm& option) { return words[at] == option.name; });
        if (known == form.options.end()) return words[0] + " takes no option " + words[at];
        if (!known->takes_value) {
            command.options.emplace_back(words[at], "");
            continue;
        }
        if (at + 1 == words.size()) return words[0] + ": " + words[at] + " needs a value";
        command.options.emplace_back(words[at], words[at + 1]);
        ++at;
    }
    command.arguments.assign(words.begin() + static_cast<std::ptrdiff_t>(at), words.end());
    const std::size_t count = command.arguments.size();
    if (count < form.least_arguments || count > form.most_arguments) {
        if (form.most_arguments == 0) return words[0] + " takes no arguments";
        if (form.least_arguments == form.most_arguments)
            return words[0] + " takes " + std::to_string(form.least_arguments) + " argument";
        return words[0] + " takes " + std::to_string(form.least_arguments) + " to " +
               std::to_string(form.most_arguments) + " arguments";
    }
    return command;
}

std::string commands_usage() {
    std::string usage;
    for (const CommandForm& form : command_forms()) {
        if (!usage.empty()) usage += " | ";
        usage += form.name;
        usage += form.usage;
    }
    return usage;
}

}  // namespace zelvo
