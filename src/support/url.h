#pragma once

#include <string>

namespace zelvo {

// Whether a text reads as a URL: http, https or ftp in any letter case, then
// "://", an optional "www." and at least two host characters (letters,
// digits, dots, colons and the few between Z and a); what follows is not
// examined. The expansion takes a source that names nothing on disk as an
// image only when it reads so; feh, swaybg and the colour step fetch such an
// entry rather than open it.
bool is_url(const char* text);
inline bool is_url(const std::string& text) { return is_url(text.c_str()); }

}  // namespace zelvo
