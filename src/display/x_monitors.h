#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "display/monitor.h"
#include "support/xcb.h"

namespace zelvo {

// The monitors in feh's order. feh puts its images on the Xinerama heads in
// the order Xinerama reports them, so those come first, each named after the
// first RandR monitor not yet taken that covers the same place. Without
// heads, the RandR monitors as they are; without either, the whole screen.
std::vector<Monitor> monitors_in_feh_order(const std::vector<Monitor>& heads,
                                           const std::vector<Monitor>& randr_monitors,
                                           std::uint32_t screen_width, std::uint32_t screen_height);

// The monitors of one X display, through the one connection that the daemon
// keeps to it, and their changes as the display announces them.
class XMonitors {
public:
    // Connects to the display (none: ":0") with the cookies of this X
    // authority file (none: the environment's), asks for the monitors'
    // changes and reads the monitors. False, with failure() saying why, when
    // the display cannot be reached or does not answer; a connection held
    // before is closed first. Only libxcb's own handshake is not bounded in
    // time here: a server that takes the connection and never answers it
    // holds the call. XConnector makes the connection without that wait, and
    // take_over goes on from there.
    bool connect(const std::optional<std::string>& display, const std::optional<std::string>& xauthority);

    // Takes over a connection made elsewhere (by XConnector, whose handshake
    // never holds up the loop) to the display's screen of this number, and
    // goes on as connect does after its handshake; a connection held before
    // is closed first.
    bool take_over(XcbConnectionPtr connection, int screen_number);

    // Closes the connection; monitors() is empty after it.
    void disconnect();

    bool connected() const { return connection_ != nullptr; }

    // The connection's descriptor, for the loop to watch; -1 when not
    // connected. A lost connection is closed at once, so the loop deletes its
    // event for this descriptor before it connects again.
    int descriptor() const;

    // In feh's order; empty when not connected.
    const std::vector<Monitor>& monitors() const { return monitors_; }

    // Why the last connect failed or the connection was lost.
    const std::string& failure() const { return failure_; }

    // Takes whatever the server sent without waiting for more, and when that
    // announces a change reads the monitors again (a server that does not
    // answer within two seconds counts as lost). True when the monitors
    // changed, or when the connection was lost: then connected() is false,
    // failure() says why, and the caller reports it once.
    bool take_events();

    // True when changes came faster than take_events could read them and
    // monitors() may be behind: the caller calls take_events again soon,
    // even without news on the descriptor.
    bool behind() const { return behind_; }

    // Runs with the descriptor right before a connection held is closed, lost
    // or let go: the loop deletes its event and the workers forget it first.
    void on_closing(std::function<void(int)> closing) { closing_ = std::move(closing); }

private:
    // The monitors as the server has them now; none when it does not answer
    // in time or the connection fails.
    std::optional<std::vector<Monitor>> read_monitors();
    // Takes the events that libxcb holds, and unless queued_only those
    // waiting on the descriptor; true when one may announce changed monitors.
    bool take_queue(bool queued_only);
    // Closes a connection that failed or hangs, saying which in failure().
    void lose();

    XcbConnectionPtr connection_;
    xcb_window_t root_ = 0;
    bool xinerama_ = false;
    bool randr_ = false;
    bool randr_monitors_ = false;  // RandR 1.5 lists monitors
    std::uint8_t randr_first_event_ = 0;
    std::vector<Monitor> monitors_;
    std::string failure_;
    bool behind_ = false;
    std::function<void(int)> closing_;
};

}  // namespace zelvo
