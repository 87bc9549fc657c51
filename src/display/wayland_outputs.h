#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/monitor.h"

namespace zelvo {

// No desktop has more outputs than this; further ones are not followed.
inline constexpr std::size_t most_outputs = 64;

struct OutputPoint {
    std::int32_t x, y;
};
struct OutputSize {
    std::int32_t width, height;
};

// What the compositor has told of one output.
struct OutputFacts {
    std::optional<std::string> name;      // wl_output version 4
    std::optional<std::string> xdg_name;  // zxdg_output_v1 version 2
    std::optional<OutputPoint> position;  // wl_output's geometry
    std::optional<OutputPoint> logical_position;
    std::optional<OutputSize> mode_size;  // the current mode, in pixels
    std::optional<OutputSize> logical_size;
};

// The outputs a compositor has announced, by the number of their global.
// Events fill an output's pending facts; its done event makes them current,
// so that a change is only ever seen whole.
class OutputBook {
public:
    void add(std::uint32_t global);
    // Forgets the output; false when the global was none of them.
    bool remove(std::uint32_t global);
    // An xdg_output was asked for: the output counts once its logical position is in.
    void expect_logical(std::uint32_t global);
    // The facts the next done event makes current; none for an unknown global.
    OutputFacts* pending(std::uint32_t global);
    void done(std::uint32_t global);
    std::size_t size() const { return entries_.size(); }

    // The outputs known whole, named by wl_output's name or else by
    // xdg-output's, placed at their logical position (their geometry's
    // without xdg-output), ordered left to right, then top to bottom. An
    // output without a name is left out: no viewer could address it.
    std::vector<Monitor> monitors() const;

private:
    struct Entry {
        OutputFacts pending;
        OutputFacts current;
        bool logical_expected = false;
        bool done = false;
    };
    std::map<std::uint32_t, Entry> entries_;
};

// The outputs of one Wayland compositor, followed through one connection
// whose descriptor the event loop watches. Nothing here blocks but
// wait_ready, which is bounded and meant for start-up.
class WaylandOutputs {
public:
    WaylandOutputs();
    ~WaylandOutputs();
    WaylandOutputs(const WaylandOutputs&) = delete;
    WaylandOutputs& operator=(const WaylandOutputs&) = delete;

    // Connects to the compositor of `display` (a WAYLAND_DISPLAY: a name in
    // XDG_RUNTIME_DIR, or an absolute path) and asks for its outputs, without
    // waiting for the answer; a connection held already is dropped first.
    // False when no compositor accepts the connection.
    bool connect(const std::string& display);
    void disconnect();
    bool connected() const { return connection_ != nullptr; }
    // The connection's descriptor for the loop to watch; -1 without one.
    int descriptor() const;
    // Whether the compositor has answered for every output it had at connect.
    bool ready() const;
    // Serves the connection until it is ready or `most` has passed; false
    // when it is not ready then, or the connection was lost.
    bool wait_ready(std::chrono::milliseconds most);

    // Handles whatever the compositor has sent, without blocking. True when
    // the monitors changed, or when the connection was lost: then it is
    // closed, connected() is false and the monitors are none, and a later
    // connect() may try again.
    bool take_events();
    const std::vector<Monitor>& monitors() const { return monitors_; }

    // `closing` runs with the descriptor right before the connection is
    // closed, lost or let go, so that an event loop lets go of it first.
    void on_closing(std::function<void(int)> closing) { closing_ = std::move(closing); }

    struct Connection;

private:
    std::function<void(int)> closing_;
    std::unique_ptr<Connection> connection_;
    std::vector<Monitor> monitors_;
};

}  // namespace zelvo
