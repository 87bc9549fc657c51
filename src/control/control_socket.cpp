#include "control/control_socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "control/above_standard.h"

namespace zelvo {

namespace {

// The socket's address by its full path; none when the path does not fit.
std::optional<sockaddr_un> socket_address(const RuntimeDirectory& directory, const std::string& display) {
    const std::string path = directory.path() + "/" + socket_file_name(display);
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return std::nullopt;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

UniqueDescriptor new_socket() {
    UniqueDescriptor socket_descriptor(above_standard(socket(AF_UNIX, SOCK_STREAM, 0)));
    if (socket_descriptor.get() >= 0) {
        fcntl(socket_descriptor.get(), F_SETFD, FD_CLOEXEC);
        fcntl(socket_descriptor.get(), F_SETFL, O_NONBLOCK);
    }
    return socket_descriptor;
}

}  // namespace

std::string socket_file_name(const std::string& display) { return display_file_name(display) + ".sock"; }

std::variant<UniqueDescriptor, std::string> listen_control_socket(const RuntimeDirectory& directory,
                                                                  const std::string& display) {
    const std::string name = socket_file_name(display);
    const std::string path = directory.path() + "/" + name;
    const std::optional<sockaddr_un> address = socket_address(directory, display);
    if (!address) return path + ": the path is too long for a socket";
    // A directory in its place is the user's own doing, and left alone.
    struct stat existing{};
    if (fstatat(directory.descriptor(), name.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(existing.st_mode)) return path + ": " + std::strerror(EISDIR);
        if (unlinkat(directory.descriptor(), name.c_str(), 0) != 0) return path + ": " + std::strerror(errno);
    }
    UniqueDescriptor listening = new_socket();
    if (listening.get() < 0) return path + ": " + std::strerror(errno);
    // Made 0600 from the start: nobody else may ever connect.
    const mode_t mask = umask(0177);
    const int bound = bind(listening.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address);
    const int bind_error = errno;
    umask(mask);
    if (bound != 0) return path + ": " + std::strerror(bind_error);
    if (listen(listening.get(), control_backlog) != 0) {
        const int error = errno;
        unlinkat(directory.descriptor(), name.c_str(), 0);
        return path + ": " + std::strerror(error);
    }
    return listening;
}

std::variant<UniqueDescriptor, int> connect_control_socket(const RuntimeDirectory& directory,
                                                           const std::string& display) {
    const std::optional<sockaddr_un> address = socket_address(directory, display);
    if (!address) return ENAMETOOLONG;
    UniqueDescriptor connection = new_socket();
    if (connection.get() < 0) return errno;
    while (connect(connection.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
        if (errno == EINTR) continue;
        // A connection that a Unix socket could not make at once is not made.
        return errno == EINPROGRESS ? EAGAIN : errno;
    }
    return connection;
}

void remove_control_socket(const RuntimeDirectory& directory, const std::string& display) {
    unlinkat(directory.descriptor(), socket_file_name(display).c_str(), 0);
}

std::optional<uid_t> peer_user(int descriptor) {
#if defined(SO_PEERCRED)
    // Linux tells the peer's credentials this way; its C library has no getpeereid.
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof credentials)
        return std::nullopt;
    return credentials.uid;
#else
    uid_t user = 0;
    gid_t group = 0;
    if (getpeereid(descriptor, &user, &group) != 0) return std::nullopt;
    return user;
#endif
}

}  // namespace zelvo
