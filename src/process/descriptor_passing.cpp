#include "process/descriptor_passing.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

namespace zelvo {

namespace {

// Room for the descriptors of one message: more than a sender of ours puts
// in one, so that a stranger's extra ones are seen (and closed), not lost.
constexpr std::size_t descriptors_per_message = 8;

#if defined(MSG_NOSIGNAL)
constexpr int send_flags = MSG_NOSIGNAL;
#else
constexpr int send_flags = 0;
#endif

}  // namespace

bool descriptor_send(int socket, std::string_view bytes, int descriptor) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    std::size_t sent = 0;
    do {
        iovec part{const_cast<char*>(bytes.data() + sent), bytes.size() - sent};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        // The descriptor goes with the first part only: once some bytes have
        // gone, so has it.
        if (descriptor >= 0 && sent == 0) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &descriptor, sizeof descriptor);
        }
        const ssize_t put = sendmsg(socket, &message, send_flags);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return false;
        }
        sent += static_cast<std::size_t>(put);
    } while (sent < bytes.size());
    return true;
}

ssize_t descriptor_receive(int socket, void* buffer, std::size_t size, std::vector<UniqueDescriptor>& descriptors,
                           std::size_t most, bool& refused) {
    alignas(cmsghdr) char control[CMSG_SPACE(descriptors_per_message * sizeof(int))];
    iovec part{buffer, size};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t got;
    do got = recvmsg(socket, &message, MSG_CMSG_CLOEXEC);
    while (got < 0 && errno == EINTR);
    if (got < 0) return got;
    const bool cut = (message.msg_flags & MSG_CTRUNC) != 0;
    refused = refused || cut;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
        const std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t index = 0; index < count; ++index) {
            int descriptor;
            std::memcpy(&descriptor, CMSG_DATA(header) + index * sizeof(int), sizeof descriptor);
            UniqueDescriptor owned(descriptor);
            if (cut || descriptors.size() >= most) {
                refused = true;
                continue;  // closed here, by its owner
            }
            descriptors.push_back(std::move(owned));
        }
    }
    return got;
}

}  // namespace zelvo
