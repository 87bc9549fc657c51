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

struct wl_compositor;
struct wl_output;
struct wl_shm;
struct zwlr_layer_shell_v1;

namespace zelvo {

// No output draws at a larger whole scale than this; a larger one told is taken as this.
inline constexpr std::int32_t most_output_scale = 16;

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
    std::optional<std::int32_t> scale = std::nullopt;  // wl_output's scale
    std::optional<std::int32_t> refresh = std::nullopt;  // the current mode's, in mHz
};

// An output known whole, by the number of its global.
struct PlacedOutput {
    std::uint32_t global;
    Monitor monitor;
    std::uint32_t refresh = 0;  // mHz; 0: not known

    bool operator==(const PlacedOutput&) const = default;
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
    // without xdg-output) with their logical size (without xdg-output, their
    // mode's divided by their scale), ordered left to right, then top to
    // bottom. An output without a name is left out: no viewer could address it.
    std::vector<PlacedOutput> placed() const;
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

// An output with its proxy, for what draws on it.
struct BoundOutput {
    std::uint32_t global;
    wl_output* output;
    Monitor monitor;
    std::uint32_t refresh = 0;  // mHz; 0: not known
};

// What draws through the connection besides following its outputs (the
// painter): told inside take_events() when the outputs (or their globals)
// changed, and right before the connection's proxies go, whether it is lost,
// let go or made anew, so that it lets go of its own first.
class ConnectionRider {
public:
    virtual void on_outputs_changed() = 0;
    virtual void on_connection_dropping() = 0;

protected:
    ~ConnectionRider() = default;
};

// The outputs of one Wayland compositor, followed through one connection
// whose descriptor the event loop watches. Nothing here blocks but
// wait_ready, which is bounded and meant for start-up. Besides the outputs
// it binds what a client needs to draw on them: wl_compositor, wl_shm and
// the layer shell, each where the compositor offers it.
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
    // The outputs of monitors(), in its order, with their proxies.
    std::vector<BoundOutput> bound_outputs() const;

    // The globals bound for drawing; null when the compositor offers none
    // (or there is no connection).
    wl_compositor* compositor() const;
    wl_shm* shm() const;
    zwlr_layer_shell_v1* layer_shell() const;
    // Sends what was asked outside take_events(); false when the connection
    // failed (take_events() then finds it lost).
    bool flush();

    // One rider at a time (null: none); it must not outlive this object, or
    // stay after it has gone.
    void ride(ConnectionRider* rider) { rider_ = rider; }

    // `closing` runs with the descriptor right before the connection is
    // closed, lost or let go, so that an event loop lets go of it first.
    void on_closing(std::function<void(int)> closing) { closing_ = std::move(closing); }

    struct Connection;

private:
    std::function<void(int)> closing_;
    ConnectionRider* rider_ = nullptr;
    std::unique_ptr<Connection> connection_;
    std::vector<Monitor> monitors_;
    std::vector<PlacedOutput> placed_;
};

// The interfaces that a client drawing its own wallpaper needs and the
// compositor of `display` does not offer, by name (empty: none is missing);
// none when no compositor answers within `most`.
std::optional<std::vector<std::string>> wayland_missing_for_painting(const std::string& display,
                                                                   std::chrono::milliseconds most);

}  // namespace zelvo
