#include "display/wayland_painter.h"

#include <wayland-client.h>

#include <climits>
#include <cstdlib>
#include <map>

#include "wlr-layer-shell-unstable-v1-client-protocol.h"

namespace zelvo {

namespace {

struct SurfaceDestroy {
    void operator()(wl_surface* surface) const noexcept { wl_surface_destroy(surface); }
};
struct LayerSurfaceDestroy {
    void operator()(zwlr_layer_surface_v1* layer) const noexcept { zwlr_layer_surface_v1_destroy(layer); }
};
struct CallbackDestroy {
    void operator()(wl_callback* callback) const noexcept { wl_callback_destroy(callback); }
};
struct BufferDestroy {
    void operator()(wl_buffer* buffer) const noexcept { wl_buffer_destroy(buffer); }
};
struct PoolDestroy {
    void operator()(wl_shm_pool* pool) const noexcept { wl_shm_pool_destroy(pool); }
};
struct RegionDestroy {
    void operator()(wl_region* region) const noexcept { wl_region_destroy(region); }
};

template <typename Proxy>
Proxy* made(Proxy* proxy) {
    if (proxy == nullptr) std::abort();
    return proxy;
}

constexpr std::uint32_t all_edges = ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
                                    ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT;

}  // namespace

// Everything the painter made on the connection; it goes with the connection.
struct WaylandPainter::State {
    // One output's layer surface. The frame callback goes before the layer
    // surface, and that before the wl_surface it gave a role.
    struct Surface {
        State* state;
        std::uint32_t key;  // the output's global
        std::string name;
        std::uint32_t scale = 1;
        std::uint32_t buffer_scale = 1;       // as last set on the surface
        bool drawn = false;                   // a buffer was attached
        std::unique_ptr<wl_surface, SurfaceDestroy> surface;
        std::unique_ptr<zwlr_layer_surface_v1, LayerSurfaceDestroy> layer;
        std::unique_ptr<wl_callback, CallbackDestroy> frame;
    };
    struct Buffer {
        State* state;
        std::uint64_t id;
        std::uint32_t surface;
        std::unique_ptr<wl_buffer, BufferDestroy> buffer;
    };

    WaylandPainter& painter;
    PaintBook book;
    std::map<std::uint32_t, std::unique_ptr<Surface>> surfaces;
    std::map<std::uint64_t, std::unique_ptr<Buffer>> buffers;
    std::uint64_t last_buffer = 0;
    std::vector<ShowEnded> ended;

    explicit State(WaylandPainter& owner) : painter(owner) {}
    // Buffers go before the surfaces they may be attached to.
    ~State() {
        buffers.clear();
        surfaces.clear();
    }

    Surface* surface_named(const std::string& name) const {
        for (const auto& [key, surface] : surfaces)
            if (surface->name == name) return surface.get();
        return nullptr;
    }

    void tell(std::vector<ShowEnded> news) {
        if (news.empty()) return;
        ended.insert(ended.end(), news.begin(), news.end());
        painter.report_.schedule(std::chrono::microseconds(0));
    }

    void arm_deadline() {
        if (const std::optional<PaintClock::time_point> when = book.deadline())
            painter.deadline_.schedule_at(*when);
        else
            painter.deadline_.cancel();
    }

    void make_surface(const BoundOutput& output);
    void drop_surface(std::uint32_t key) {
        tell(book.remove_surface(key));
        surfaces.erase(key);
    }
    void pump(std::uint32_t key);
    void attach(Surface& surface, const Picture& picture);

    static void on_configure(void* data, zwlr_layer_surface_v1*, std::uint32_t serial, std::uint32_t width,
                             std::uint32_t height);
    static void on_closed(void* data, zwlr_layer_surface_v1*);
    static void on_frame(void* data, wl_callback*, std::uint32_t);
    static void on_release(void* data, wl_buffer*);
};

namespace {

const zwlr_layer_surface_v1_listener layer_listener = {WaylandPainter::State::on_configure,
                                                       WaylandPainter::State::on_closed};
const wl_callback_listener frame_listener = {WaylandPainter::State::on_frame};
const wl_buffer_listener buffer_listener = {WaylandPainter::State::on_release};

}  // namespace

void WaylandPainter::State::make_surface(const BoundOutput& output) {
    WaylandOutputs& outputs = painter.outputs_;
    auto surface = std::make_unique<Surface>();
    surface->state = this;
    surface->key = output.global;
    surface->name = output.monitor.name;
    surface->scale = output.monitor.scale;
    surface->surface.reset(made(wl_compositor_create_surface(outputs.compositor())));
    // An empty input region: pointer and touch go through to the desktop.
    std::unique_ptr<wl_region, RegionDestroy> nothing(made(wl_compositor_create_region(outputs.compositor())));
    wl_surface_set_input_region(surface->surface.get(), nothing.get());
    surface->layer.reset(made(zwlr_layer_shell_v1_get_layer_surface(outputs.layer_shell(), surface->surface.get(),
                                                                    output.output,
                                                                    ZWLR_LAYER_SHELL_V1_LAYER_BACKGROUND,
                                                                    "wallpaper")));
    zwlr_layer_surface_v1_set_size(surface->layer.get(), 0, 0);
    zwlr_layer_surface_v1_set_anchor(surface->layer.get(), all_edges);
    zwlr_layer_surface_v1_set_exclusive_zone(surface->layer.get(), -1);
    zwlr_layer_surface_v1_set_keyboard_interactivity(surface->layer.get(),
                                                     ZWLR_LAYER_SURFACE_V1_KEYBOARD_INTERACTIVITY_NONE);
    zwlr_layer_surface_v1_add_listener(surface->layer.get(), &layer_listener, surface.get());
    // The first commit carries no buffer: the compositor answers it with a configure.
    wl_surface_commit(surface->surface.get());
    book.add_surface(output.global);
    surfaces[output.global] = std::move(surface);
}

void WaylandPainter::State::attach(Surface& surface, const Picture& picture) {
    WaylandOutputs& outputs = painter.outputs_;
    // The pool takes its own copy of the descriptor; it can go once its buffer is made.
    std::unique_ptr<wl_shm_pool, PoolDestroy> pool(made(
        wl_shm_create_pool(outputs.shm(), picture.memory.get(), static_cast<std::int32_t>(picture.bytes()))));
    auto buffer = std::make_unique<Buffer>();
    buffer->state = this;
    buffer->id = ++last_buffer;
    buffer->surface = surface.key;
    buffer->buffer.reset(made(wl_shm_pool_create_buffer(
        pool.get(), 0, static_cast<std::int32_t>(picture.width), static_cast<std::int32_t>(picture.height),
        static_cast<std::int32_t>(picture.stride), WL_SHM_FORMAT_XRGB8888)));
    wl_buffer_add_listener(buffer->buffer.get(), &buffer_listener, buffer.get());
    // A scale that came after the picture was checked and does not divide it is not set.
    const std::uint32_t scale =
        picture.width % surface.scale == 0 && picture.height % surface.scale == 0 ? surface.scale : 1;
    if (scale != surface.buffer_scale) {
        wl_surface_set_buffer_scale(surface.surface.get(), static_cast<std::int32_t>(scale));
        surface.buffer_scale = scale;
    }
    wl_surface_attach(surface.surface.get(), buffer->buffer.get(), 0, 0);
    if (wl_surface_get_version(surface.surface.get()) >= WL_SURFACE_DAMAGE_BUFFER_SINCE_VERSION)
        wl_surface_damage_buffer(surface.surface.get(), 0, 0, INT32_MAX, INT32_MAX);
    else
        wl_surface_damage(surface.surface.get(), 0, 0, INT32_MAX, INT32_MAX);
    surface.drawn = true;
    buffers[buffer->id] = std::move(buffer);
}

void WaylandPainter::State::pump(std::uint32_t key) {
    auto found = surfaces.find(key);
    if (found == surfaces.end()) return;
    Surface& surface = *found->second;
    // Each commit changes what the book asks next; two rounds at most (a
    // picture, then nothing) are ever needed.
    for (int round = 0; round < 2; ++round) {
        const std::optional<PaintCommit> commit = book.next_commit(key);
        if (!commit) return;
        std::uint64_t buffer = 0;
        if (commit->picture) {
            attach(surface, *commit->picture);
            buffer = last_buffer;
        }
        if (commit->frame) {
            surface.frame.reset(made(wl_surface_frame(surface.surface.get())));
            wl_callback_add_listener(surface.frame.get(), &frame_listener, &surface);
        }
        wl_surface_commit(surface.surface.get());
        book.committed(key, *commit, buffer);
    }
}

void WaylandPainter::State::on_configure(void* data, zwlr_layer_surface_v1* layer, std::uint32_t serial,
                                         std::uint32_t, std::uint32_t) {
    Surface& surface = *static_cast<Surface*>(data);
    State& state = *surface.state;
    zwlr_layer_surface_v1_ack_configure(layer, serial);
    state.book.configured(surface.key);
    const bool pending = state.book.next_commit(surface.key).has_value();
    state.pump(surface.key);
    // The acknowledgement takes effect with the next commit; a surface that
    // shows something already commits it at once.
    if (!pending && surface.drawn) wl_surface_commit(surface.surface.get());
}

void WaylandPainter::State::on_closed(void* data, zwlr_layer_surface_v1*) {
    Surface& surface = *static_cast<Surface*>(data);
    // The output went, or the compositor will not show the surface: it goes,
    // and the output gets a new one when the outputs next change.
    surface.state->drop_surface(surface.key);
}

void WaylandPainter::State::on_frame(void* data, wl_callback*, std::uint32_t) {
    Surface& surface = *static_cast<Surface*>(data);
    State& state = *surface.state;
    surface.frame.reset();
    state.tell(state.book.frame_done(surface.key));
    state.pump(surface.key);
    state.arm_deadline();
}

void WaylandPainter::State::on_release(void* data, wl_buffer*) {
    Buffer& buffer = *static_cast<Buffer*>(data);
    State& state = *buffer.state;
    const std::uint32_t surface = buffer.surface;
    if (!state.book.released(buffer.id)) return;
    state.buffers.erase(buffer.id);
    // A picture that waited for a buffer to go may go now.
    state.pump(surface);
}

WaylandPainter::WaylandPainter(WaylandOutputs& outputs, event_base* base, Shown shown)
    : outputs_(outputs),
      shown_(std::move(shown)),
      state_(std::make_unique<State>(*this)),
      deadline_(base, [this] { on_deadline(); }),
      report_(base, [this] { on_report(); }) {
    outputs_.ride(this);
    on_outputs_changed();
}

WaylandPainter::~WaylandPainter() {
    outputs_.ride(nullptr);
    state_.reset();
}

std::optional<ShowId> WaylandPainter::show(const std::vector<OutputPictures>& pictures) {
    State& state = *state_;
    PaintBook::Frames frames;
    for (const OutputPictures& wanted : pictures) {
        const State::Surface* surface = state.surface_named(wanted.output);
        if (surface == nullptr || wanted.frames.empty()) continue;
        bool fit = true;
        for (const PictureRef& picture : wanted.frames) fit = fit && picture && picture_fits(*picture, surface->scale);
        if (fit) frames.emplace_back(surface->key, wanted.frames);
    }
    std::vector<ShowEnded> ended;
    const std::optional<ShowId> id = state.book.show(std::move(frames), PaintClock::now(), ended);
    state.tell(std::move(ended));
    if (!id) return std::nullopt;
    for (const auto& [key, surface] : state.surfaces) state.pump(key);
    outputs_.flush();
    state.arm_deadline();
    return id;
}

std::optional<PixelSize> WaylandPainter::picture_size(const std::string& output) const {
    // The surface is anchored to every edge and keeps no room for others: it
    // takes the output's whole logical size, known with the output before the
    // configure that tells it.
    const State::Surface* surface = state_->surface_named(output);
    if (surface == nullptr) return std::nullopt;
    for (const BoundOutput& bound : outputs_.bound_outputs())
        if (bound.global == surface->key) return monitor_pixel_size(bound.monitor);
    return std::nullopt;
}

PainterCounts WaylandPainter::counts() const {
    return PainterCounts{state_->surfaces.size(), state_->book.buffers(), state_->book.frames_asked(),
                         state_->book.shows()};
}

std::uint64_t WaylandPainter::frames_delivered(const std::string& output) const {
    const State::Surface* surface = state_->surface_named(output);
    return surface == nullptr ? 0 : state_->book.frames_delivered(surface->key);
}

void WaylandPainter::on_outputs_changed() {
    State& state = *state_;
    const std::vector<BoundOutput> bound = outputs_.bound_outputs();
    // An output gone, or come back under a new global, loses its surface.
    std::vector<std::uint32_t> gone;
    for (const auto& [key, surface] : state.surfaces) {
        bool kept = false;
        for (const BoundOutput& output : bound) kept = kept || (output.global == key && output.monitor.name == surface->name);
        if (!kept) gone.push_back(key);
    }
    for (std::uint32_t key : gone) state.drop_surface(key);
    const bool drawable =
        outputs_.compositor() != nullptr && outputs_.shm() != nullptr && outputs_.layer_shell() != nullptr;
    for (const BoundOutput& output : bound) {
        auto found = state.surfaces.find(output.global);
        if (found != state.surfaces.end())
            found->second->scale = output.monitor.scale;
        else if (drawable)
            state.make_surface(output);
    }
    outputs_.flush();
    state.arm_deadline();
}

void WaylandPainter::on_connection_dropping() {
    // The proxies go before the connection does; the shows under way end lost.
    std::vector<ShowEnded> ended = state_->book.clear();
    std::vector<ShowEnded> earlier = std::move(state_->ended);
    state_ = std::make_unique<State>(*this);
    deadline_.cancel();
    state_->tell(std::move(earlier));
    state_->tell(std::move(ended));
}

void WaylandPainter::on_deadline() {
    State& state = *state_;
    state.tell(state.book.expire(PaintClock::now()));
    for (const auto& [key, surface] : state.surfaces) state.pump(key);
    outputs_.flush();
    state.arm_deadline();
}

void WaylandPainter::on_report() {
    // Whatever the callback does (a new show) tells its own news later.
    std::vector<ShowEnded> ended = std::move(state_->ended);
    state_->ended.clear();
    for (const ShowEnded& news : ended) shown_(news.show, news.end);
}

}  // namespace zelvo
