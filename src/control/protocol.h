#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace zelvo {

// The control socket's protocol, which zelvoctl and the daemon share. A
// request is one line: words separated by spaces, the command's name first.
// A reply is zero or more data lines and a status line, "ok" or "error: "
// and the reason. In a word, and in a data line or a reason, a backslash
// starts an escape: "\\" for a backslash and "\xHH" (two hexadecimal
// digits) for any byte; a space, a control byte (a newline, a NUL) or DEL
// never stands as it is in a word, nor a control byte or DEL in a line.

// The longest request the daemon reads, its newline included.
inline constexpr std::size_t most_request_bytes = std::size_t{64} << 10;

// The text with the bytes that may not stand in a line escaped; with
// `in_word`, the space too.
std::string protocol_escape(std::string_view text, bool in_word);

// The bytes that an escaped text stands for; none when it holds a byte that
// may not stand there, or an escape that is cut short or unknown.
std::optional<std::string> protocol_unescape(std::string_view text, bool in_word);

// The request line for these words, its newline included.
std::string request_line(const std::vector<std::string>& words);

// The words of a request line given without its newline; none, with the
// reason, when it is no request: empty, or with a word that cannot be read.
std::variant<std::vector<std::string>, std::string> parse_request_line(std::string_view line);

// A reply's lines.
std::string reply_ok(const std::vector<std::string>& data = {});
std::string reply_error(std::string_view reason);

// An option that a command takes: a word that begins with "-" before its
// arguments, with a value in the word after it or without one.
struct OptionForm {
    const char* name;
    bool takes_value;
};

struct Command;

// What carries out the commands, one member for each: the daemon's
// steering. zelvoctl reads the forms alone.
class CommandHandlers {
public:
    virtual ~CommandHandlers() = default;
    // Each is given the client that is to have the reply, and its request.
    virtual void next(std::uint64_t client, const Command& command) = 0;
    virtual void previous(std::uint64_t client, const Command& command) = 0;
    virtual void reshuffle(std::uint64_t client, const Command& command) = 0;
    virtual void reload(std::uint64_t client, const Command& command) = 0;
    virtual void quit(std::uint64_t client, const Command& command) = 0;
    // pause, resume and toggle-pause
    virtual void pause(std::uint64_t client, const Command& command) = 0;
    virtual void rescan(std::uint64_t client, const Command& command) = 0;
    virtual void favourite(std::uint64_t client, const Command& command) = 0;
    virtual void ban(std::uint64_t client, const Command& command) = 0;
    virtual void unban(std::uint64_t client, const Command& command) = 0;
    virtual void set(std::uint64_t client, const Command& command) = 0;
    // status and current
    virtual void status(std::uint64_t client, const Command& command) = 0;
};

// What a command accepts: its options, and how many arguments after them;
// and what carries it out.
struct CommandForm {
    const char* name;
    std::size_t least_arguments;
    std::size_t most_arguments;
    std::vector<OptionForm> options;
    const char* usage;    // its arguments, for the usage line
    const char* summary;  // what it does, in a line of zelvoctl's help
    void (CommandHandlers::*exec)(std::uint64_t client, const Command& command);
    // Whether it is carried out while the daemon quits; others are refused.
    bool while_quitting = false;
};

// Every command, in the order of the usage line.
const std::vector<CommandForm>& command_forms();

// A request read against its command's form: the options given (each with
// its value, or empty), then the arguments. "--" ends the options, so that
// an argument may begin with "-".
struct Command {
    const CommandForm* form = nullptr;
    std::vector<std::pair<std::string, std::string>> options;
    std::vector<std::string> arguments;

    bool has(std::string_view option) const;
    // The value given with the option (the last when given twice); none when it was not given.
    const std::string* value(std::string_view option) const;
};

// The command that the words name, or why they name none: an unknown
// command or option, a missing value, too few or too many arguments.
std::variant<Command, std::string> parse_command(const std::vector<std::string>& words);

// The usage line's list of commands: "next | previous | ... | set FILE...".
std::string commands_usage();

}  // namespace zelvo
