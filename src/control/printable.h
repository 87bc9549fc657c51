#pragma once

#include <string>
#include <string_view>

namespace zelvo {

// A name as a terminal may be given it: every character that the locale
// calls printable as it stands, and every other byte (a control character,
// an escape sequence's introducer, a byte of no character) as a C escape
// ("\e", "\t", "\x9b"), a backslash as "\\". Nothing a stranger puts in a
// file name can then move the cursor, retitle the window or clear the screen.
std::string printable_name(std::string_view name);

}  // namespace zelvo
