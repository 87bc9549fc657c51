// Fuzzes the control protocol that zelvoctl and the daemon share: whatever
// request line the parser accepts is written again as the same words and
// read back as them, every word a command is given comes out of the command
// parser whole, and any text escaped for a word or a line reads back as
// itself and holds no byte that may not stand there.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "control/protocol.h"
#include "fuzz_support.h"

using zelvo_fuzz::fail;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelvo_fuzz::keep_standard_error();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    for (const bool in_word : {true, false}) {
        const std::string escaped = zelvo::protocol_escape(input, in_word);
        for (const char byte : escaped) {
            const auto value = static_cast<unsigned char>(byte);
            if (value < 0x20 || value == 0x7f || (in_word && value == ' '))
                fail("an escaped text holds the byte %#x", value);
        }
        if (zelvo::protocol_unescape(escaped, in_word) != std::string(input)) fail("an escaped text reads back otherwise");
    }
    const auto parsed = zelvo::parse_request_line(input);
    if (const auto* reason = std::get_if<std::string>(&parsed)) {
        if (reason->empty()) fail("a request is refused without a reason");
        return 0;
    }
    const auto& words = std::get<std::vector<std::string>>(parsed);
    if (words.empty()) fail("a request of no words is accepted");
    const std::string line = zelvo::request_line(words);
    if (line.back() != '\n' || line.find('\n') != line.size() - 1) fail("a request line is not one line");
    const auto again = zelvo::parse_request_line(std::string_view(line).substr(0, line.size() - 1));
    if (!std::holds_alternative<std::vector<std::string>>(again) || std::get<std::vector<std::string>>(again) != words)
        fail("a request does not read back as written");
    const auto command = zelvo::parse_command(words);
    if (const auto* read = std::get_if<zelvo::Command>(&command)) {
        std::size_t given = 1 + read->arguments.size();
        for (const auto& [option, value] : read->options) given += value.empty() ? 1 : 2;
        if (given > words.size() || read->arguments.size() > read->form->most_arguments ||
            read->arguments.size() < read->form->least_arguments)
            fail("a command is read with words it was not given");
    } else if (std::get<std::string>(command).empty()) {
        fail("a command is refused without a reason");
    }
    return 0;
}
