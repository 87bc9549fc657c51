#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <variant>
#include <vector>

#include "control/protocol.h"

namespace zelvo {
namespace {

using namespace std::string_literals;
using Words = std::vector<std::string>;

TEST(Protocol, AnyWordsComeBackAsTheyWereSent) {
    const Words words = {"set", "--", "/a b\\c", "/new\nline\r\t\x7f", "/caf\xc3\xa9\xff.png", "\0nul"s, "-x"};
    const std::string line = request_line(words);
    EXPECT_EQ(line, "set -- /a\\x20b\\\\c /new\\x0aline\\x0d\\x09\\x7f /caf\xc3\xa9\xff.png \\x00nul -x\n");
    EXPECT_EQ(std::get<Words>(parse_request_line(std::string_view(line).substr(0, line.size() - 1))), words);
    // Spaces between words may be doubled; escapes take either case of hexadecimal digits.
    EXPECT_EQ(std::get<Words>(parse_request_line("  status   --json \\x2D\\x2d ")), (Words{"status", "--json", "--"}));
    EXPECT_EQ(reply_ok({"image=/a b\nc", "{\"x\": 1}"}), "image=/a b\\x0ac\n{\"x\": 1}\nok\n");
    EXPECT_EQ(reply_error("/x\ny: not a regular file"), "error: /x\\x0ay: not a regular file\n");
    EXPECT_EQ(protocol_unescape("/a b\\x0ac", false), "/a b\nc");
}

TEST(Protocol, BadRequestsAndCommandsAreRefusedWithTheirReasons) {
    // (request line without its newline, the reason)
    const std::vector<std::pair<std::string, std::string>> lines = {
        {"", "the request is empty"},
        {"   ", "the request is empty"},
        {"next\0"s, "the request holds a NUL byte"},
        {"set /a\tb", "the request holds a byte it may not hold"},
        {"set /a\\", "the request holds a byte it may not hold"},
        {"set /a\\x4", "the request holds a byte it may not hold"},
        {"set /a\\xg0", "the request holds a byte it may not hold"},
        {"set /a\\n", "the request holds a byte it may not hold"},
    };
    for (const auto& [line, reason] : lines) EXPECT_EQ(std::get<std::string>(parse_request_line(line)), reason) << line;
    Words many(129, "a");
    EXPECT_EQ(std::get<std::string>(parse_request_line(request_line(many).substr(0, 129 * 2 - 1))), "too many words");

    // (words, the reason)
    const std::vector<std::pair<Words, std::string>> commands = {
        {{"jump"}, "unknown command jump"},
        {{"next", "now"}, "next takes no arguments"},
        {{"reshuffle", "-n", "1"}, "reshuffle takes no option -n"},
        {{"next", "-n"}, "next: -n needs a value"},
        {{"status", "--yaml"}, "status takes no option --yaml"},
        {{"unban"}, "unban takes 1 argument"},
        {{"unban", "/a", "/b"}, "unban takes 1 argument"},
        {{"set"}, "set takes 1 to 64 arguments"},
        {Words(66, "set"), "set takes 1 to 64 arguments"},
    };
    for (const auto& [words, reason] : commands) EXPECT_EQ(std::get<std::string>(parse_command(words)), reason) << reason;
}

TEST(Protocol, OptionsComeBeforeArgumentsAndTwoDashesEndThem) {
    const Command status = std::get<Command>(parse_command({"status", "--json"}));
    EXPECT_EQ(std::make_tuple(std::string(status.form->name), status.has("--json"), status.arguments.size()),
              std::make_tuple("status"s, true, std::size_t{0}));
    EXPECT_FALSE(std::get<Command>(parse_command({"current"})).has("--json"));
    const Command set = std::get<Command>(parse_command({"set", "--", "-a.png", "--", "/b.png"}));
    EXPECT_EQ(set.arguments, (Words{"-a.png", "--", "/b.png"}));
    EXPECT_TRUE(set.options.empty());
    // A lone "-" is an argument, as a file name may be.
    EXPECT_EQ(std::get<Command>(parse_command({"unban", "-"})).arguments, Words{"-"});
    // -n names one monitor, for next, previous and set.
    const Command one = std::get<Command>(parse_command({"set", "-n", "2", "--", "/b.png"}));
    EXPECT_EQ(std::make_tuple(*one.value("-n"), one.arguments), std::make_tuple("2"s, Words{"/b.png"}));
    EXPECT_EQ(std::get<Command>(parse_command({"next"})).value("-n"), nullptr);
    EXPECT_EQ(commands_usage(), "next [-n N] | previous [-n N] | reshuffle | reload | quit | pause | resume | "
                                "toggle-pause | rescan | favourite | ban | unban PATH | set [-n N] FILE... | "
                                "status [--json] | current [--json]");
}

}  // namespace
}  // namespace zelvo
