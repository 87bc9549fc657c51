#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string_view>
#include <vector>

#include "process/process.h"

namespace zelvo {

// Sends all of `bytes` over a Unix stream socket, with a copy of `descriptor`
// (none: -1) riding on the first byte (SCM_RIGHTS); again after an
// interrupted or partial send. False with errno set when the socket takes no
// more. Never raises SIGPIPE.
bool descriptor_send(int socket, std::string_view bytes, int descriptor);

// Reads what the socket holds, as read(2) does (the bytes, 0 at its end, -1
// with errno set), and appends every descriptor that came with them to
// `descriptors`, close-on-exec. Descriptors beyond `most` in all are closed
// at once, and so are those of a message whose control data was cut; either
// sets `refused`, since the sender then sent what was not asked for.
ssize_t descriptor_receive(int socket, void* buffer, std::size_t size, std::vector<UniqueDescriptor>& descriptors,
                           std::size_t most, bool& refused);

}  // namespace zelvo
