#pragma once

#include <chrono>
#include <string>

namespace zelvo {

// The longest a colour step may take; then its process is killed.
inline constexpr std::chrono::seconds colour_deadline{20};

// Does what write_color_file does, in a child process with bounded memory
// that gets colour_deadline to finish: the image may come from a stranger,
// and a decoder that hangs, overruns or crashes must not take the daemon
// with it. A child that does not finish costs one log line naming the image,
// and the default palette; once this returns, nothing writes the file.
void write_color_file_in_child(const std::string& home, const std::string& image_path, bool dark);

}  // namespace zelvo
