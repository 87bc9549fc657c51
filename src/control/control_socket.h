#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <variant>

#include "control/runtime_directory.h"
#include "process/process.h"

namespace zelvo {

// The control socket of a display in the runtime directory, beside its pid
// file: its display's file name followed by ".sock".
std::string socket_file_name(const std::string& display);

// The listen queue: the clients that come while every place of the daemon's
// is taken wait there, to be taken in turn. The system may hold fewer
// (Linux's net.core.somaxconn, FreeBSD's kern.ipc.soacceptqueue); beyond
// it, a connection is refused at once, and zelvoctl tries again a while.
inline constexpr int control_backlog = 256;

// Listens on the display's control socket, made with mode 0600; whatever
// stands at its name (the socket of a daemon that crashed) is replaced
// first. Only the holder of the display's lock may call it. The descriptor
// is non-blocking and close-on-exec. When it cannot be done: "PATH: reason".
std::variant<UniqueDescriptor, std::string> listen_control_socket(const RuntimeDirectory& directory,
                                                                  const std::string& display);

// A connection to the display's control socket, non-blocking and
// close-on-exec; when there is none, the error number of the failing call
// (ENOENT or ECONNREFUSED: nobody listens; EAGAIN: its queue is full).
std::variant<UniqueDescriptor, int> connect_control_socket(const RuntimeDirectory& directory,
                                                           const std::string& display);

void remove_control_socket(const RuntimeDirectory& directory, const std::string& display);

// The user of the process at the other end of a connected Unix socket.
std::optional<uid_t> peer_user(int descriptor);

}  // namespace zelvo
