#pragma once

#include <event2/event.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/monitor.h"

namespace zelvo {

class WaylandOutputs;

// Where the daemon learns of the monitors: its one connection to the display
// server, whose descriptor the loop watches. An X display is one; a Wayland
// compositor's outputs fit the same shape. Nothing here holds up the loop
// for long: an X server's handshake runs apart from it, and a compositor's
// is bounded by wayland_handshake.
class MonitorSource {
public:
    // Whether the display was reached; when not, failure() says why.
    using Reached = std::function<void(bool)>;

    virtual ~MonitorSource() = default;

    // Connects, or connects again. `reached` runs once: from the loop once
    // an X server has answered the handshake or the connector's deadline has
    // passed, or from inside this call when the outcome is known at once (a
    // compositor, whose handshake is bounded; a display name that cannot be
    // read). A disconnect, or another connect, abandons a connect under way:
    // its `reached` then never runs.
    virtual void connect(Reached reached) = 0;
    // Closes the connection, or abandons a connect under way.
    virtual void disconnect() = 0;
    virtual bool connected() const = 0;
    // -1 when not connected.
    virtual int descriptor() const = 0;
    // In the order that "monitor N" counts them; empty when not connected.
    virtual const std::vector<Monitor>& monitors() const = 0;
    virtual const std::string& failure() const = 0;
    // Takes what the server sent without waiting; true when the monitors
    // changed, or when the connection was lost (then connected() is false).
    virtual bool take_events() = 0;
    // Changes came faster than take_events read them: call it again soon.
    virtual bool behind() const = 0;
    // What the log calls the display.
    virtual const std::string& name() const = 0;
    // The connection to a Wayland compositor, for what else draws through
    // it (the painter); null for an X display.
    virtual WaylandOutputs* wayland_outputs() { return nullptr; }

    // `closing` runs with the descriptor right before the connection closes
    // it, whether it is lost or let go, so that the loop lets go of it first.
    void on_closing(std::function<void(int)> closing) { closing_ = std::move(closing); }

protected:
    void closing(int descriptor) const {
        if (closing_ && descriptor >= 0) closing_(descriptor);
    }

private:
    std::function<void(int)> closing_;
};

// The monitors of an X display (none: ":0") in feh's order, through libxcb,
// with the cookies of this X authority file (none: the environment's); its
// handshake runs on XConnector's thread, with the loop of `base` told.
std::unique_ptr<MonitorSource> x_monitor_source(event_base* base, std::optional<std::string> display,
                                                std::optional<std::string> xauthority);

// How long connect() waits for a compositor to tell of its outputs: the
// first change lays every output out. One that answers later is followed
// through take_events() like a hotplug.
inline constexpr std::chrono::milliseconds wayland_handshake{500};

// The outputs of the Wayland compositor of `display` (a WAYLAND_DISPLAY),
// named and ordered as WaylandOutputs gives them.
std::unique_ptr<MonitorSource> wayland_monitor_source(std::string display);

}  // namespace zelvo
