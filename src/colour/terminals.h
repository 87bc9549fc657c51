#pragma once

#include <string_view>

namespace zelvo {

// No user has more terminals open than this; past it, the rest go without.
inline constexpr int most_terminals = 256;

// Writes the text to every pseudo-terminal of the daemon's user that is open
// now, each in one write that never waits: a terminal that would block (its
// output stopped with ^S, a buffer nobody reads) goes without it this time.
// The terminals are the entries of /dev/pts named by a number that are
// character devices owned by the daemon's effective user, never reached
// through a link and never another user's; at most most_terminals of them.
void send_to_terminals(std::string_view text);

}  // namespace zelvo
