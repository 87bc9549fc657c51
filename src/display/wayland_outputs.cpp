#include "display/wayland_outputs.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <tuple>
#include <wayland-client.h>

#include "process/process.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

namespace zelvo {

namespace {

// wl_output's name event came with version 4, xdg_output's with version 2;
// version 3 of xdg-output ends each change with wl_output's done event.
constexpr std::uint32_t output_version = 4;
constexpr std::uint32_t xdg_output_manager_version = 3;
// wl_surface's set_buffer_scale came with version 3 and damage_buffer with 4.
constexpr std::uint32_t compositor_version = 4;
constexpr std::uint32_t shm_version = 1;
// Nothing of the layer shell's later versions is used but its destroy (3).
constexpr std::uint32_t layer_shell_version = 3;

std::uint32_t unsigned_length(std::int32_t length) { return length > 0 ? static_cast<std::uint32_t>(length) : 0; }

}  // namespace

void OutputBook::add(std::uint32_t global) { entries_.try_emplace(global); }

bool OutputBook::remove(std::uint32_t global) { return entries_.erase(global) != 0; }

void OutputBook::expect_logical(std::uint32_t global) {
    if (auto found = entries_.find(global); found != entries_.end()) found->second.logical_expected = true;
}

OutputFacts* OutputBook::pending(std::uint32_t global) {
    auto found = entries_.find(global);
    return found == entries_.end() ? nullptr : &found->second.pending;
}

void OutputBook::done(std::uint32_t global) {
    auto found = entries_.find(global);
    if (found == entries_.end()) return;
    found->second.current = found->second.pending;
    found->second.done = true;
}

std::vector<PlacedOutput> OutputBook::placed() const {
    std::vector<PlacedOutput> found;
    for (const auto& [global, entry] : entries_) {
        const OutputFacts& facts = entry.current;
        const std::optional<std::string>& name = facts.name ? facts.name : facts.xdg_name;
        if (!entry.done || !name || (entry.logical_expected && !facts.logical_position)) continue;
        const OutputPoint place = facts.logical_position.value_or(facts.position.value_or(OutputPoint{0, 0}));
        const std::int32_t scale = std::clamp(facts.scale.value_or(1), 1, most_output_scale);
        OutputSize size = facts.logical_size.value_or(OutputSize{0, 0});
        if (!facts.logical_size && facts.mode_size)
            size = OutputSize{facts.mode_size->width / scale, facts.mode_size->height / scale};
        found.push_back(PlacedOutput{global,
                                     Monitor{*name, place.x, place.y, unsigned_length(size.width),
                                             unsigned_length(size.height), static_cast<std::uint32_t>(scale)},
                                     unsigned_length(facts.refresh.value_or(0))});
    }
    // Outputs in one place (mirrored) keep an order all the same: by name.
    std::sort(found.begin(), found.end(), [](const PlacedOutput& left, const PlacedOutput& right) {
        return std::tie(left.monitor.x, left.monitor.y, left.monitor.name) <
               std::tie(right.monitor.x, right.monitor.y, right.monitor.name);
    });
    return found;
}

std::vector<Monitor> OutputBook::monitors() const {
    std::vector<Monitor> found;
    for (PlacedOutput& output : placed()) found.push_back(std::move(output.monitor));
    return found;
}

namespace {

struct DisplayDisconnect {
    void operator()(wl_display* display) const noexcept { wl_display_disconnect(display); }
};
struct RegistryDestroy {
    void operator()(wl_registry* registry) const noexcept { wl_registry_destroy(registry); }
};
struct CallbackDestroy {
    void operator()(wl_callback* callback) const noexcept { wl_callback_destroy(callback); }
};
struct OutputRelease {
    void operator()(wl_output* output) const noexcept {
        // Before version 3 the compositor cannot be told; the proxy alone goes.
        if (wl_output_get_version(output) >= WL_OUTPUT_RELEASE_SINCE_VERSION)
            wl_output_release(output);
        else
            wl_output_destroy(output);
    }
};
struct XdgManagerDestroy {
    void operator()(zxdg_output_manager_v1* manager) const noexcept { zxdg_output_manager_v1_destroy(manager); }
};
struct XdgOutputDestroy {
    void operator()(zxdg_output_v1* output) const noexcept { zxdg_output_v1_destroy(output); }
};
struct CompositorDestroy {
    void operator()(wl_compositor* compositor) const noexcept { wl_compositor_destroy(compositor); }
};
struct ShmDestroy {
    void operator()(wl_shm* shm) const noexcept { wl_shm_destroy(shm); }
};
struct LayerShellDestroy {
    void operator()(zwlr_layer_shell_v1* shell) const noexcept {
        if (zwlr_layer_shell_v1_get_version(shell) >= ZWLR_LAYER_SHELL_V1_DESTROY_SINCE_VERSION)
            zwlr_layer_shell_v1_destroy(shell);
        else
            wl_proxy_destroy(reinterpret_cast<wl_proxy*>(shell));
    }
};

// One bound output; its proxies' events find the book through it.
struct OutputHandle {
    WaylandOutputs::Connection* connection;
    std::uint32_t global;
    std::unique_ptr<wl_output, OutputRelease> output;
    std::unique_ptr<zxdg_output_v1, XdgOutputDestroy> xdg_output;
};

}  // namespace

// The display is declared first, so that it is disconnected after every proxy is gone.
struct WaylandOutputs::Connection {
    std::unique_ptr<wl_display, DisplayDisconnect> display;
    std::unique_ptr<wl_registry, RegistryDestroy> registry;
    std::unique_ptr<zxdg_output_manager_v1, XdgManagerDestroy> xdg_manager;
    std::unique_ptr<wl_compositor, CompositorDestroy> compositor;
    std::unique_ptr<wl_shm, ShmDestroy> shm;
    std::unique_ptr<zwlr_layer_shell_v1, LayerShellDestroy> layer_shell;
    // The round trip that tells when the answers to what was asked are all in.
    std::unique_ptr<wl_callback, CallbackDestroy> sync;
    std::map<std::uint32_t, std::unique_ptr<OutputHandle>> outputs;
    OutputBook book;
    bool asked_since_sync = false;
    bool ready = false;
};

namespace {

using Connection = WaylandOutputs::Connection;

OutputFacts* facts_of(void* data) {
    const OutputHandle& handle = *static_cast<OutputHandle*>(data);
    return handle.connection->book.pending(handle.global);
}

void on_output_geometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t, std::int32_t,
                        std::int32_t, const char*, const char*, std::int32_t) {
    if (OutputFacts* facts = facts_of(data)) facts->position = OutputPoint{x, y};
}

void on_output_mode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
                    std::int32_t refresh) {
    if (OutputFacts* facts = facts_of(data); facts && (flags & WL_OUTPUT_MODE_CURRENT) != 0) {
        facts->mode_size = OutputSize{width, height};
        facts->refresh = refresh;
    }
}

void on_output_done(void* data, wl_output*) {
    const OutputHandle& handle = *static_cast<OutputHandle*>(data);
    handle.connection->book.done(handle.global);
}

void on_output_scale(void* data, wl_output*, std::int32_t scale) {
    if (OutputFacts* facts = facts_of(data)) facts->scale = scale;
}

void on_output_name(void* data, wl_output*, const char* name) {
    if (OutputFacts* facts = facts_of(data)) facts->name = name;
}

void on_output_description(void*, wl_output*, const char*) {}

const wl_output_listener output_listener = {on_output_geometry, on_output_mode, on_output_done,
                                            on_output_scale,    on_output_name, on_output_description};

void on_xdg_position(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
    if (OutputFacts* facts = facts_of(data)) facts->logical_position = OutputPoint{x, y};
}

void on_xdg_size(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
    if (OutputFacts* facts = facts_of(data)) facts->logical_size = OutputSize{width, height};
}

// Sent up to version 2 only; from 3 on wl_output's done ends the change.
void on_xdg_done(void* data, zxdg_output_v1*) {
    const OutputHandle& handle = *static_cast<OutputHandle*>(data);
    handle.connection->book.done(handle.global);
}

void on_xdg_name(void* data, zxdg_output_v1*, const char* name) {
    if (OutputFacts* facts = facts_of(data)) facts->xdg_name = name;
}

void on_xdg_description(void*, zxdg_output_v1*, const char*) {}

const zxdg_output_v1_listener xdg_output_listener = {on_xdg_position, on_xdg_size, on_xdg_done, on_xdg_name,
                                                     on_xdg_description};

void ask_sync(Connection& connection);

void on_sync_done(void* data, wl_callback*, std::uint32_t) {
    Connection& connection = *static_cast<Connection*>(data);
    connection.sync.reset();
    // What was asked after this round trip began is answered only after the next one.
    if (connection.asked_since_sync)
        ask_sync(connection);
    else
        connection.ready = true;
}

const wl_callback_listener sync_listener = {on_sync_done};

void ask_sync(Connection& connection) {
    connection.asked_since_sync = false;
    connection.sync.reset(wl_display_sync(connection.display.get()));
    if (!connection.sync) std::abort();
    wl_callback_add_listener(connection.sync.get(), &sync_listener, &connection);
}

// Something was asked whose answer is awaited before the outputs count.
void note_asked(Connection& connection) {
    if (connection.sync)
        connection.asked_since_sync = true;
    else
        ask_sync(connection);
}

void ask_xdg_output(Connection& connection, OutputHandle& handle) {
    handle.xdg_output.reset(zxdg_output_manager_v1_get_xdg_output(connection.xdg_manager.get(), handle.output.get()));
    if (!handle.xdg_output) std::abort();
    zxdg_output_v1_add_listener(handle.xdg_output.get(), &xdg_output_listener, &handle);
    connection.book.expect_logical(handle.global);
}

// Binds the global as `proxy` when none is bound yet.
template <typename Proxy, typename Deleter>
void bind_once(std::unique_ptr<Proxy, Deleter>& proxy, wl_registry* registry, std::uint32_t global,
               const wl_interface& interface, std::uint32_t offered, std::uint32_t wanted) {
    if (proxy) return;
    proxy.reset(static_cast<Proxy*>(wl_registry_bind(registry, global, &interface, std::min(offered, wanted))));
    if (!proxy) std::abort();
}

void on_global(void* data, wl_registry* registry, std::uint32_t global, const char* interface,
               std::uint32_t version) {
    Connection& connection = *static_cast<Connection*>(data);
    if (std::strcmp(interface, wl_compositor_interface.name) == 0 && version >= 3)
        bind_once(connection.compositor, registry, global, wl_compositor_interface, version, compositor_version);
    else if (std::strcmp(interface, wl_shm_interface.name) == 0)
        bind_once(connection.shm, registry, global, wl_shm_interface, version, shm_version);
    else if (std::strcmp(interface, zwlr_layer_shell_v1_interface.name) == 0)
        bind_once(connection.layer_shell, registry, global, zwlr_layer_shell_v1_interface, version,
                  layer_shell_version);
    if (std::strcmp(interface, wl_output_interface.name) == 0) {
        // No desktop has more outputs than monitors; further ones are not followed.
        if (connection.book.size() >= most_display_monitors) return;
        auto handle = std::make_unique<OutputHandle>();
        handle->connection = &connection;
        handle->global = global;
        handle->output.reset(static_cast<wl_output*>(
            wl_registry_bind(registry, global, &wl_output_interface, std::min(version, output_version))));
        if (!handle->output) std::abort();
        wl_output_add_listener(handle->output.get(), &output_listener, handle.get());
        connection.book.add(global);
        if (connection.xdg_manager) ask_xdg_output(connection, *handle);
        connection.outputs[global] = std::move(handle);
        note_asked(connection);
    } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && !connection.xdg_manager) {
        connection.xdg_manager.reset(static_cast<zxdg_output_manager_v1*>(wl_registry_bind(
            registry, global, &zxdg_output_manager_v1_interface, std::min(version, xdg_output_manager_version))));
        if (!connection.xdg_manager) std::abort();
        for (auto& [number, handle] : connection.outputs) ask_xdg_output(connection, *handle);
        note_asked(connection);
    }
}

void on_global_remove(void* data, wl_registry*, std::uint32_t global) {
    Connection& connection = *static_cast<Connection*>(data);
    if (connection.book.remove(global)) connection.outputs.erase(global);
}

const wl_registry_listener registry_listener = {on_global, on_global_remove};

// A stream socket connected to the compositor's, made here rather than by
// wl_display_connect: that one would take a WAYLAND_SOCKET left in the
// environment before the name it is given. Close-on-exec, so that no viewer
// inherits the daemon's connection.
UniqueDescriptor connect_socket(const std::string& display) {
    std::string path = display;
    if (!display.starts_with('/')) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime == nullptr) return UniqueDescriptor();
        path = std::string(runtime) + "/" + display;
    }
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (display.empty() || path.size() >= sizeof address.sun_path) return UniqueDescriptor();
    path.copy(address.sun_path, path.size());
    UniqueDescriptor socket_descriptor(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (socket_descriptor.get() < 0) return UniqueDescriptor();
    int connected;
    do {
        connected = ::connect(socket_descriptor.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (connected != 0 && errno == EINTR);
    return connected == 0 ? std::move(socket_descriptor) : UniqueDescriptor();
}

// Sends what was asked. A socket that takes no more now keeps the rest
// queued for the next call: the requests are a few dozen bytes.
bool flush_requests(wl_display* display) { return wl_display_flush(display) >= 0 || errno == EAGAIN; }

}  // namespace

WaylandOutputs::WaylandOutputs() = default;

WaylandOutputs::~WaylandOutputs() {
    if (connection_ && rider_) rider_->on_connection_dropping();
}

bool WaylandOutputs::connect(const std::string& display) {
    disconnect();
    UniqueDescriptor socket_descriptor = connect_socket(display);
    if (socket_descriptor.get() < 0) return false;
    auto connection = std::make_unique<Connection>();
    // From here on the display owns the descriptor, and closes it on disconnect.
    connection->display.reset(wl_display_connect_to_fd(socket_descriptor.get()));
    if (!connection->display) return false;
    socket_descriptor.release();
    connection->registry.reset(wl_display_get_registry(connection->display.get()));
    if (!connection->registry) std::abort();
    wl_registry_add_listener(connection->registry.get(), &registry_listener, connection.get());
    ask_sync(*connection);
    if (!flush_requests(connection->display.get())) return false;
    connection_ = std::move(connection);
    return true;
}

void WaylandOutputs::disconnect() {
    if (connection_ && rider_) rider_->on_connection_dropping();
    if (connection_ && closing_) closing_(descriptor());
    connection_.reset();
    monitors_.clear();
    placed_.clear();
}

int WaylandOutputs::descriptor() const { return connection_ ? wl_display_get_fd(connection_->display.get()) : -1; }

bool WaylandOutputs::ready() const { return connection_ && connection_->ready && !connection_->sync; }

bool WaylandOutputs::wait_ready(std::chrono::milliseconds most) {
    const auto until = std::chrono::steady_clock::now() + most;
    while (true) {
        take_events();
        if (!connected()) return false;
        if (ready()) return true;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd watched{descriptor(), POLLIN, 0};
        poll(&watched, 1, static_cast<int>(left.count()));
    }
}

bool WaylandOutputs::take_events() {
    if (!connection_) return false;
    wl_display* display = connection_->display.get();
    // Events already read but not yet handled come first; then the socket,
    // read only when poll says it holds something, and only once.
    bool lost = false;
    while (!lost && wl_display_prepare_read(display) != 0) lost = wl_display_dispatch_pending(display) < 0;
    if (!lost) {
        pollfd watched{wl_display_get_fd(display), POLLIN, 0};
        if (!flush_requests(display)) {
            wl_display_cancel_read(display);
            lost = true;
        } else if (poll(&watched, 1, 0) > 0) {
            lost = wl_display_read_events(display) < 0;
        } else {
            wl_display_cancel_read(display);
        }
    }
    // The handlers may have asked for more (a new output, a round trip).
    if (!lost) lost = wl_display_dispatch_pending(display) < 0 || !flush_requests(display);
    if (lost) {
        disconnect();
        return true;
    }
    // Until the round trip is back, an output may still be half announced.
    if (connection_->sync) return false;
    std::vector<PlacedOutput> placed = connection_->book.placed();
    if (placed == placed_) return false;
    placed_ = std::move(placed);
    std::vector<Monitor> found;
    for (const PlacedOutput& output : placed_) found.push_back(output.monitor);
    const bool changed = found != monitors_;
    monitors_ = std::move(found);
    // An output may also have gone and come back between two calls, under a new global.
    if (rider_) rider_->on_outputs_changed();
    return changed;
}

std::vector<BoundOutput> WaylandOutputs::bound_outputs() const {
    std::vector<BoundOutput> found;
    if (!connection_) return found;
    for (const PlacedOutput& output : placed_) {
        if (auto handle = connection_->outputs.find(output.global); handle != connection_->outputs.end())
            found.push_back(BoundOutput{output.global, handle->second->output.get(), output.monitor, output.refresh});
    }
    return found;
}

wl_compositor* WaylandOutputs::compositor() const { return connection_ ? connection_->compositor.get() : nullptr; }

wl_shm* WaylandOutputs::shm() const { return connection_ ? connection_->shm.get() : nullptr; }

zwlr_layer_shell_v1* WaylandOutputs::layer_shell() const {
    return connection_ ? connection_->layer_shell.get() : nullptr;
}

bool WaylandOutputs::flush() { return connection_ && flush_requests(connection_->display.get()); }

std::optional<std::vector<std::string>> wayland_missing_for_painting(const std::string& display,
                                                                   std::chrono::milliseconds most) {
    WaylandOutputs outputs;
    if (!outputs.connect(display) || !outputs.wait_ready(most)) return std::nullopt;
    std::vector<std::string> missing;
    if (outputs.compositor() == nullptr) missing.push_back(wl_compositor_interface.name);
    if (outputs.shm() == nullptr) missing.push_back(wl_shm_interface.name);
    if (outputs.layer_shell() == nullptr) missing.push_back(zwlr_layer_shell_v1_interface.name);
    return missing;
}

}  // namespace zelvo
