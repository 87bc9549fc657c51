#include "control/printable.h"

#include <cwchar>
#include <cwctype>

namespace zelvo {

namespace {

void escape_byte(std::string& out, unsigned char byte) {
    static constexpr char named[] = {'a', 'b', 't', 'n', 'v', 'f', 'r'};
    if (byte >= '\a' && byte <= '\r') {
        out += '\\';
        out += named[byte - '\a'];
    } else if (byte == 0x1b) {
        out += "\\e";
    } else {
        static constexpr char digits[] = "0123456789abcdef";
        out += "\\x";
        out += digits[byte >> 4];
        out += digits[byte & 15];
    }
}

}  // namespace

std::string printable_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    std::mbstate_t state{};
    for (std::size_t at = 0; at < name.size();) {
        const unsigned char byte = static_cast<unsigned char>(name[at]);
        if (byte == '\\') {
            out += "\\\\";
            ++at;
            continue;
        }
        wchar_t character = 0;
        const std::size_t length = std::mbrtowc(&character, name.data() + at, name.size() - at, &state);
        if (length == 0 || length > name.size() - at || !std::iswprint(static_cast<wint_t>(character))) {
            // No character, or one that does something: this byte alone, escaped.
            state = std::mbstate_t{};
            escape_byte(out, byte);
            ++at;
            continue;
        }
        out.append(name.substr(at, length));
        at += length;
    }
    return out;
}

}  // namespace zelvo
