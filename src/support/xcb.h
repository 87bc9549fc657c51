#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace zelvo {

// Owns one connection to an X server. xcb_connect gives an error object
// rather than none when it fails, and xcb_disconnect accepts that too.
struct XcbDisconnect {
    void operator()(xcb_connection_t* connection) const noexcept { xcb_disconnect(connection); }
};
using XcbConnectionPtr = std::unique_ptr<xcb_connection_t, XcbDisconnect>;

// Owns one reply, error or event, which libxcb hands over to be freed with free.
struct XcbFree {
    void operator()(void* reply) const noexcept { std::free(reply); }
};
template <typename Reply>
using XcbReplyPtr = std::unique_ptr<Reply, XcbFree>;

}  // namespace zelvo
