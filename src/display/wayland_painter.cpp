#include "display/wayland_painter.h"

#include <wayland-client.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <map>

#include "picture/blend_child.h"
#include "picture/frame_blend.h"
#include "support/log.h"
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

// The buffers of a transition's ring on each output: one on screen, one the
// compositor may not have let go of yet, and one to blend the next frame into.
constexpr std::size_t ring_slots = 3;

// A buffer of the ring: sealed shared memory of the picture's size, which
// only the worker maps; none when it cannot be made.
PictureRef ring_picture(const Picture& like) {
    auto picture = std::make_shared<Picture>();
    picture->width = like.width;
    picture->height = like.height;
    picture->stride = like.width * 4;
    std::optional<UniqueDescriptor> memory = shared_memory_create(picture->bytes());
    if (!memory || !shared_memory_seal(memory->get())) return nullptr;
    picture->memory = std::move(*memory);
    return picture;
}

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
        std::uint32_t refresh = 0;            // the output's, in mHz
        std::uint32_t buffer_scale = 1;       // as last set on the surface
        bool drawn = false;                   // a buffer was attached
        PictureRef on_screen;                 // the picture last attached
        std::unique_ptr<wl_surface, SurfaceDestroy> surface;
        std::unique_ptr<zwlr_layer_surface_v1, LayerSurfaceDestroy> layer;
        std::unique_ptr<wl_callback, CallbackDestroy> frame;
    };
    struct Buffer {
        State* state;
        std::uint64_t id;
        std::uint32_t surface;
        const Picture* picture;  // a ring's buffer is attached again and again
        bool held = false;       // attached and not yet released
        std::unique_ptr<wl_buffer, BufferDestroy> buffer;
    };
    // One output's transition: its ring, the frame on screen, and the one
    // frame asked of the worker, written, or offered to the book.
    struct Run {
        std::uint32_t surface;
        std::uint32_t output;  // its number in the worker
        Transition transition;
        std::uint32_t frames;  // the last is the new picture
        PaintClock::duration period;
        FrameRing ring;
        std::vector<PictureRef> slots;
        std::uint32_t shown = 0;  // 0: the old picture
        struct Pending {
            std::size_t slot;
            std::uint32_t frame;
            std::vector<PictureRect> damage;
            bool written = false;
            bool offered = false;
        };
        std::optional<Pending> pending;

        double progress(std::uint32_t frame) const { return transition_progress(transition, frame, frames); }
    };
    // A show's transitions, on one clock, and their worker. The watch goes
    // before the worker, whose descriptor it watches.
    struct Blend {
        ShowId show;
        PaintClock::time_point start;
        std::vector<std::unique_ptr<Run>> runs;  // by output number; null once ended
        std::unique_ptr<BlendChild> worker;
        std::unique_ptr<DescriptorEvent> readable;

        PaintClock::time_point due(const Run& run, std::uint32_t frame) const {
            return start + std::chrono::duration_cast<PaintClock::duration>(run.period * frame);
        }
    };

    WaylandPainter& painter;
    PaintBook book;
    std::map<std::uint32_t, std::unique_ptr<Surface>> surfaces;
    std::map<std::uint64_t, std::unique_ptr<Buffer>> buffers;
    std::uint64_t last_buffer = 0;
    std::vector<ShowEnded> ended;
    std::vector<std::unique_ptr<Blend>> blends;
    // The ring's pictures, each with its buffer once it has one (else 0).
    std::map<const Picture*, std::uint64_t> kept;

    explicit State(WaylandPainter& owner) : painter(owner) {}
    // The workers go first; buffers go before the surfaces they may be attached to.
    ~State() {
        blends.clear();
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
        end_run(key);
        sweep();
        tell(book.remove_surface(key));
        surfaces.erase(key);
    }
    void pump(std::uint32_t key);
    void pump_all() {
        for (const auto& [key, surface] : surfaces) pump(key);
    }
    std::uint64_t attach(Surface& surface, const PaintCommit& commit);
    // After the loop's work: what the surfaces are to commit, sent, and the timers set again.
    void settle();

    std::pair<Blend*, Run*> run_on(std::uint32_t surface) const;
    // A transition from what a surface shows to a new picture of the same size.
    struct Change {
        std::uint32_t surface;
        PictureRef picture;
        Transition transition;
    };
    void start_blend(ShowId show, const std::vector<Change>& changes, PaintClock::time_point now);
    void advance(Blend& blend, Run& run, PaintClock::time_point now);
    void advance_all(PaintClock::time_point now);
    // The run lets go of its ring (each buffer goes once the compositor has let go of it too).
    void end_run(std::uint32_t surface);
    // Ends runs whose surface no longer waits for them, and workers without runs.
    void sweep();
    void attached(std::uint32_t surface, const PictureRef& picture);
    void on_blended(Blend& blend);
    void blend_stopped(Blend& blend, PaintClock::time_point now);
    void arm_pace();

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
    surface->refresh = output.refresh;
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

std::uint64_t WaylandPainter::State::attach(Surface& surface, const PaintCommit& commit) {
    WaylandOutputs& outputs = painter.outputs_;
    const Picture& picture = *commit.picture;
    // A ring's buffer is made once and attached again each time the compositor has let go of it.
    const auto ring = kept.find(&picture);
    Buffer* buffer = ring != kept.end() && ring->second != 0 ? buffers.at(ring->second).get() : nullptr;
    if (buffer == nullptr) {
        // The pool takes its own copy of the descriptor; it can go once its buffer is made.
        std::unique_ptr<wl_shm_pool, PoolDestroy> pool(made(
            wl_shm_create_pool(outputs.shm(), picture.memory.get(), static_cast<std::int32_t>(picture.bytes()))));
        auto made_buffer = std::make_unique<Buffer>();
        made_buffer->state = this;
        made_buffer->id = ++last_buffer;
        made_buffer->surface = surface.key;
        made_buffer->picture = &picture;
        made_buffer->buffer.reset(made(wl_shm_pool_create_buffer(
            pool.get(), 0, static_cast<std::int32_t>(picture.width), static_cast<std::int32_t>(picture.height),
            static_cast<std::int32_t>(picture.stride), WL_SHM_FORMAT_XRGB8888)));
        wl_buffer_add_listener(made_buffer->buffer.get(), &buffer_listener, made_buffer.get());
        buffer = made_buffer.get();
        if (ring != kept.end()) ring->second = buffer->id;
        buffers[buffer->id] = std::move(made_buffer);
    }
    buffer->held = true;
    // A scale that came after the picture was checked and does not divide it is not set.
    const std::uint32_t scale =
        picture.width % surface.scale == 0 && picture.height % surface.scale == 0 ? surface.scale : 1;
    if (scale != surface.buffer_scale) {
        wl_surface_set_buffer_scale(surface.surface.get(), static_cast<std::int32_t>(scale));
        surface.buffer_scale = scale;
    }
    wl_surface_attach(surface.surface.get(), buffer->buffer.get(), 0, 0);
    // Only what changed is damaged, in the buffer's own pixels; a compositor
    // too old for that gets all of it damaged.
    const bool in_buffer = wl_surface_get_version(surface.surface.get()) >= WL_SURFACE_DAMAGE_BUFFER_SINCE_VERSION;
    if (in_buffer && !commit.damage.empty()) {
        for (const PictureRect& rect : commit.damage)
            wl_surface_damage_buffer(surface.surface.get(), static_cast<std::int32_t>(rect.x),
                                     static_cast<std::int32_t>(rect.y), static_cast<std::int32_t>(rect.width),
                                     static_cast<std::int32_t>(rect.height));
    } else if (in_buffer) {
        wl_surface_damage_buffer(surface.surface.get(), 0, 0, INT32_MAX, INT32_MAX);
    } else {
        wl_surface_damage(surface.surface.get(), 0, 0, INT32_MAX, INT32_MAX);
    }
    surface.drawn = true;
    surface.on_screen = commit.picture;
    return buffer->id;
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
        const std::uint64_t buffer = commit->picture ? attach(surface, *commit) : 0;
        if (commit->frame) {
            surface.frame.reset(made(wl_surface_frame(surface.surface.get())));
            wl_callback_add_listener(surface.frame.get(), &frame_listener, &surface);
        }
        wl_surface_commit(surface.surface.get());
        book.committed(key, *commit, buffer);
        if (commit->picture) attached(key, commit->picture);
    }
}

void WaylandPainter::State::settle() {
    sweep();
    pump_all();
    painter.outputs_.flush();
    arm_deadline();
    arm_pace();
}

std::pair<WaylandPainter::State::Blend*, WaylandPainter::State::Run*> WaylandPainter::State::run_on(
    std::uint32_t surface) const {
    for (const std::unique_ptr<Blend>& blend : blends)
        for (const std::unique_ptr<Run>& run : blend->runs)
            if (run && run->surface == surface) return {blend.get(), run.get()};
    return {nullptr, nullptr};
}

void WaylandPainter::State::start_blend(ShowId show, const std::vector<Change>& changes, PaintClock::time_point now) {
    auto blend = std::make_unique<Blend>();
    blend->show = show;
    blend->start = now;
    std::vector<BlendOutput> outputs;
    std::string names;
    for (const Change& change : changes) {
        const Surface& surface = *surfaces.at(change.surface);
        const Picture& new_picture = *change.picture;
        const Transition& transition = change.transition;
        const std::uint32_t frames = transition_frames(transition, surface.refresh);
        if (frames < 2) continue;
        const BlendShape shape{transition.kind, new_picture.width, new_picture.height, transition.angle, transition.x,
                               transition.y};
        auto run = std::make_unique<Run>(Run{surface.key, static_cast<std::uint32_t>(outputs.size()), transition, frames,
                                             std::chrono::duration_cast<PaintClock::duration>(transition.time) / frames,
                                             FrameRing(shape, ring_slots), {}, 0, std::nullopt});
        BlendOutput output{shape, surface.on_screen.get(), &new_picture, {}};
        for (std::size_t slot = 0; slot < ring_slots; ++slot) {
            if (PictureRef picture = ring_picture(new_picture)) {
                output.ring.push_back(picture.get());
                run->slots.push_back(std::move(picture));
            }
        }
        if (run->slots.size() != ring_slots) continue;
        outputs.push_back(std::move(output));
        blend->runs.push_back(std::move(run));
        names += (names.empty() ? "" : ", ") + surface.name;
    }
    if (outputs.empty()) return;
    blend->worker = std::make_unique<BlendChild>(outputs);
    if (!blend->worker->started()) {
        report("Zelvo shows the new picture on %s at once: its transition could not start (%s)", names.c_str(),
               blend->worker->failure().c_str());
        return;
    }
    Blend& started = *blend;
    started.readable = std::make_unique<DescriptorEvent>(painter.base_, started.worker->descriptor(),
                                                         DescriptorEvent::Ready::read, [this, &started] {
                                                             on_blended(started);
                                                             settle();
                                                         });
    started.readable->start();
    for (const std::unique_ptr<Run>& run : started.runs) {
        book.hold(run->surface, run->frames);
        for (const PictureRef& slot : run->slots) kept[slot.get()] = 0;
    }
    blends.push_back(std::move(blend));
    for (const std::unique_ptr<Run>& run : started.runs) advance(started, *run, now);
}

void WaylandPainter::State::advance(Blend& blend, Run& run, PaintClock::time_point now) {
    if (!book.holding(run.surface)) return;  // swept away
    const PaintClock::duration elapsed = now - blend.start;
    const auto due = elapsed.count() <= 0 ? std::uint32_t{0}
                                          : static_cast<std::uint32_t>(std::min<std::int64_t>(
                                                elapsed / run.period, static_cast<std::int64_t>(run.frames)));
    if (due >= run.frames) {
        // The last frame is the new picture itself: no worker needed, only
        // what differs from the frame on screen damaged.
        book.let_last_go(run.surface, frame_changes(run.ring.shape(), run.progress(run.shown), 1), now);
        return;
    }
    if (run.pending && run.pending->written && !run.pending->offered && run.pending->frame <= due) {
        book.offer(run.surface, run.slots[run.pending->slot], run.pending->damage, now);
        run.pending->offered = true;
    }
    if (run.pending) return;
    // The frame due now, or the one after the frame on screen: when late,
    // the frames between are dropped.
    const std::uint32_t next = std::max(run.shown + 1, due);
    if (next >= run.frames) return;
    std::optional<FrameAsk> ask = run.ring.ask(next, run.progress(next), run.progress(run.shown));
    if (!ask) return;  // a buffer is yet to be released
    run.pending = Run::Pending{ask->slot, next, std::move(ask->damage)};
    if (!blend.worker->ask(BlendAsk{run.output, static_cast<std::uint32_t>(ask->slot), next, ask->progress,
                                    std::move(ask->write)}))
        blend_stopped(blend, now);
}

void WaylandPainter::State::advance_all(PaintClock::time_point now) {
    for (const std::unique_ptr<Blend>& blend : blends)
        for (const std::unique_ptr<Run>& run : blend->runs)
            if (run) advance(*blend, *run, now);
}

void WaylandPainter::State::end_run(std::uint32_t surface) {
    for (const std::unique_ptr<Blend>& blend : blends) {
        for (std::unique_ptr<Run>& run : blend->runs) {
            if (!run || run->surface != surface) continue;
            for (const PictureRef& slot : run->slots) {
                auto found = kept.find(slot.get());
                if (found == kept.end()) continue;
                const std::uint64_t buffer = found->second;
                kept.erase(found);
                if (auto made_buffer = buffers.find(buffer); made_buffer != buffers.end() && !made_buffer->second->held)
                    buffers.erase(made_buffer);
            }
            run.reset();
        }
    }
}

void WaylandPainter::State::sweep() {
    for (const std::unique_ptr<Blend>& blend : blends)
        for (const std::unique_ptr<Run>& run : blend->runs)
            if (run && !book.holding(run->surface)) end_run(run->surface);
    std::erase_if(blends, [](const std::unique_ptr<Blend>& blend) {
        return std::none_of(blend->runs.begin(), blend->runs.end(), [](const auto& run) { return run != nullptr; });
    });
}

void WaylandPainter::State::attached(std::uint32_t surface, const PictureRef& picture) {
    auto [blend, run] = run_on(surface);
    if (run == nullptr || !run->pending || run->slots[run->pending->slot] != picture) return;
    run->ring.attached(run->pending->slot);
    run->shown = run->pending->frame;
    run->pending.reset();
    advance(*blend, *run, PaintClock::now());
}

void WaylandPainter::State::on_blended(Blend& blend) {
    const std::optional<std::vector<BlendDone>> done = blend.worker->take();
    const PaintClock::time_point now = PaintClock::now();
    bool sound = done.has_value();
    for (std::size_t at = 0; sound && at < done->size(); ++at) {
        const BlendDone& frame = (*done)[at];
        Run* run = frame.output < blend.runs.size() ? blend.runs[frame.output].get() : nullptr;
        if (run == nullptr) continue;  // ended since it asked
        // A frame never asked is as bad as none.
        sound = run->pending && !run->pending->written && run->pending->slot == frame.slot &&
                run->pending->frame == frame.frame;
        if (!sound) break;
        run->ring.written(frame.slot);
        run->pending->written = true;
        advance(blend, *run, now);
    }
    if (!sound) blend_stopped(blend, now);
}

void WaylandPainter::State::blend_stopped(Blend& blend, PaintClock::time_point now) {
    // Each output shows its new picture at once, what it shows now damaged.
    std::string names;
    for (std::unique_ptr<Run>& run : blend.runs) {
        if (!run || !book.holding(run->surface)) continue;
        names += (names.empty() ? "" : ", ") + surfaces.at(run->surface)->name;
        book.let_last_go(run->surface, frame_changes(run->ring.shape(), run->progress(run->shown), 1), now);
    }
    if (!names.empty()) report("Zelvo shows the new picture on %s at once: its transition's worker stopped", names.c_str());
    blend.readable->stop();
    blend.worker->stop();
}

void WaylandPainter::State::arm_pace() {
    std::optional<PaintClock::time_point> earliest;
    const auto wake = [&earliest](PaintClock::time_point when) {
        if (!earliest || when < *earliest) earliest = when;
    };
    for (const std::unique_ptr<Blend>& blend : blends) {
        for (const std::unique_ptr<Run>& run : blend->runs) {
            if (!run) continue;
            wake(blend->due(*run, run->frames));
            if (run->pending && run->pending->written && !run->pending->offered)
                wake(blend->due(*run, run->pending->frame));
        }
    }
    if (earliest)
        painter.pace_.schedule_at(*earliest);
    else
        painter.pace_.cancel();
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
    state.painter.outputs_.flush();
    state.arm_deadline();
    state.arm_pace();
}

void WaylandPainter::State::on_release(void* data, wl_buffer*) {
    Buffer& buffer = *static_cast<Buffer*>(data);
    State& state = *buffer.state;
    const std::uint32_t surface = buffer.surface;
    if (!state.book.released(buffer.id)) return;
    buffer.held = false;
    const auto ring = state.kept.find(buffer.picture);
    if (ring == state.kept.end() || ring->second != buffer.id) {
        state.buffers.erase(buffer.id);
    } else if (auto [blend, run] = state.run_on(surface); run != nullptr) {
        // The ring's buffer may take the next frame now.
        for (std::size_t slot = 0; slot < run->slots.size(); ++slot)
            if (run->slots[slot].get() == buffer.picture) run->ring.released(slot);
        state.advance(*blend, *run, PaintClock::now());
    }
    // A picture that waited for a buffer to go may go now.
    state.pump(surface);
    state.painter.outputs_.flush();
    state.arm_pace();
}

WaylandPainter::WaylandPainter(WaylandOutputs& outputs, event_base* base, Shown shown)
    : outputs_(outputs),
      base_(base),
      shown_(std::move(shown)),
      state_(std::make_unique<State>(*this)),
      deadline_(base, [this] { on_deadline(); }),
      pace_(base, [this] { on_pace(); }),
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
    const PaintClock::time_point now = PaintClock::now();
    PaintBook::Frames frames;
    // The outputs with a transition from the picture on screen to a picture of the same size.
    std::vector<State::Change> changes;
    for (const OutputPictures& wanted : pictures) {
        const State::Surface* surface = state.surface_named(wanted.output);
        if (surface == nullptr || wanted.frames.empty()) continue;
        bool fit = true;
        for (const PictureRef& picture : wanted.frames) fit = fit && picture && picture_fits(*picture, surface->scale);
        if (!fit) continue;
        frames.emplace_back(surface->key, wanted.frames);
        // An output named again is shown as named last.
        std::erase_if(changes, [surface](const State::Change& change) { return change.surface == surface->key; });
        const PictureRef& old_picture = surface->on_screen;
        const PictureRef& new_picture = wanted.frames.front();
        if (wanted.transition.kind != Transition::Kind::none && wanted.transition.time.count() > 0 &&
            wanted.frames.size() == 1 && old_picture && old_picture->width == new_picture->width &&
            old_picture->height == new_picture->height) {
            changes.push_back(State::Change{surface->key, new_picture, wanted.transition});
        }
    }
    // Whatever is on screen now is where a newer show starts from: the
    // transitions there end, and their frames not yet attached go nowhere.
    for (const auto& [key, pictures_of_surface] : frames) state.end_run(key);
    std::vector<ShowEnded> ended;
    const std::optional<ShowId> id = state.book.show(std::move(frames), now, ended);
    state.tell(std::move(ended));
    if (id && !changes.empty()) state.start_blend(*id, changes, now);
    state.settle();
    return id;
}

void WaylandPainter::finish_transitions() {
    State& state = *state_;
    const PaintClock::time_point now = PaintClock::now();
    for (const std::unique_ptr<State::Blend>& blend : state.blends)
        for (const std::unique_ptr<State::Run>& run : blend->runs)
            if (run) state.book.skip_to_last(run->surface, now);
    state.settle();
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
    std::size_t transitions = 0;
    for (const std::unique_ptr<State::Blend>& blend : state_->blends)
        transitions += static_cast<std::size_t>(std::count_if(blend->runs.begin(), blend->runs.end(),
                                                              [](const auto& run) { return run != nullptr; }));
    return PainterCounts{state_->surfaces.size(), state_->book.buffers(), state_->book.frames_asked(),
                         state_->book.shows(), transitions, state_->blends.size()};
}

std::uint64_t WaylandPainter::frames_asked(const std::string& output) const {
    const State::Surface* surface = state_->surface_named(output);
    return surface == nullptr ? 0 : state_->book.pictures_asked(surface->key);
}

std::vector<pid_t> WaylandPainter::blend_workers() const {
    std::vector<pid_t> pids;
    for (const std::unique_ptr<State::Blend>& blend : state_->blends) pids.push_back(blend->worker->pid());
    return pids;
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
        if (found != state.surfaces.end()) {
            found->second->scale = output.monitor.scale;
            found->second->refresh = output.refresh;
        } else if (drawable) {
            state.make_surface(output);
        }
    }
    state.settle();
}

void WaylandPainter::on_connection_dropping() {
    // The proxies go before the connection does; the shows under way end lost.
    std::vector<ShowEnded> ended = state_->book.clear();
    std::vector<ShowEnded> earlier = std::move(state_->ended);
    state_ = std::make_unique<State>(*this);
    deadline_.cancel();
    pace_.cancel();
    state_->tell(std::move(earlier));
    state_->tell(std::move(ended));
}

void WaylandPainter::on_deadline() {
    State& state = *state_;
    // Surfaces that skip to their last picture leave their transitions.
    state.tell(state.book.expire(PaintClock::now()));
    state.settle();
}

void WaylandPainter::on_pace() {
    state_->advance_all(PaintClock::now());
    state_->settle();
}

void WaylandPainter::on_report() {
    // Whatever the callback does (a new show) tells its own news later.
    std::vector<ShowEnded> ended = std::move(state_->ended);
    state_->ended.clear();
    for (const ShowEnded& news : ended) shown_(news.show, news.end);
}

}  // namespace zelvo
