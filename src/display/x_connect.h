#pragma once

#include <event2/event.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/event.h"
#include "process/process.h"
#include "support/xcb.h"

namespace zelvo {

// The longest the handshake with an X server may take; a server that has
// not finished it by then counts as away.
inline constexpr std::chrono::milliseconds x_handshake_deadline{2000};

// A connection to an X display as the connector hands it over, or why there is none.
struct XConnected {
    XcbConnectionPtr connection;  // null when none
    int screen = 0;               // the number of the display's screen to use
    bool local = false;           // over a Unix socket, which passes descriptors (MIT-SHM)
    std::string failure;          // why there is none
};

// Connects to an X display without ever holding up the loop. The handshake
// (finding the server's socket, the cookie and libxcb's setup) runs on a
// thread of its own, with every signal blocked there, and hands the finished
// connection over through a socket that the loop watches. A server that
// accepts the connection and never answers (a stopped one, or a socket that
// only accepts) costs the loop nothing: after x_handshake_deadline the
// connection counts as away, and the handshake is abandoned: its socket is
// shut down, which ends the thread's wait at once, and a connection that
// completes late anyway is closed by the thread. At most one abandoned
// handshake may still run while another starts; a further connect is then
// refused until it has ended.
//
// The cookie is read from the X authority file (MIT-MAGIC-COOKIE-1, chosen
// as libXau chooses it) and handed to libxcb, so that the handshake reads
// nothing of the process's environment, which the loop may change meanwhile.
class XConnector {
public:
    using Done = std::function<void(XConnected)>;

    explicit XConnector(event_base* base);
    // A connect under way is abandoned; its callback never runs.
    ~XConnector();
    XConnector(const XConnector&) = delete;
    XConnector& operator=(const XConnector&) = delete;

    // Connects to the display (none: ":0") with the cookies of the X
    // authority file given (none: $XAUTHORITY as it is now, else
    // ~/.Xauthority), in place of any connect under way, whose callback then
    // never runs. `done` runs once, in the loop and never from inside this
    // call, with the connection or why there is none.
    void connect(const std::optional<std::string>& display, const std::optional<std::string>& xauthority, Done done);
    // Abandons a connect under way; its callback never runs.
    void cancel();
    bool connecting() const { return static_cast<bool>(done_); }

    struct Handshake;

private:
    void on_answer();
    void on_overdue();
    void finish(XConnected connected);

    event_base* base_;
    std::shared_ptr<Handshake> handshake_;
    // Handshakes whose threads still run, abandoned or not.
    std::shared_ptr<std::atomic<int>> running_;
    Done done_;
    UniqueDescriptor answer_;
    std::unique_ptr<DescriptorEvent> answer_event_;
    TimerEvent overdue_;
    // Brings a connect refused at once to its callback, in the loop.
    TimerEvent refused_;
    std::string refusal_;
};

}  // namespace zelvo
