// The painter on its own, for the tests and the benchmark: one connection to
// the compositor of WAYLAND_DISPLAY whose outputs it follows, the painter on
// it, and pictures that the probe makes itself in sealed shared memory,
// driven by one libevent loop as the daemon's would be.
//
// Usage: zelvo_wayland_painter_probe
// Commands on standard input, one a line:
//   show [KEY=VALUE...] OUTPUT=PICTURE...
//                           one picture for each output named, at its size in
//                           pixels; PICTURE is #rrggbb (solid) or xy:B (the
//                           pixel at x, y is red x % 256, green y % 256, blue B);
//                           with=fade|wipe|grow gives each a transition from
//                           what it shows, of ms=MS (1000) at fps=N (30),
//                           angle=DEGREES (0), at=X,Y (0.5,0.5), and
//                           ease=linear (else the default curve)
//   play OUTPUT PICTURE...  the pictures one after the other on one output,
//                           each on the frame after the one before
//   after MS COMMAND        the command, MS milliseconds from now
//   finish                  ends every transition at once
//   blend WIDTH HEIGHT N    blends N frames of a fade of that size here, in
//                           the probe, each one pass over every pixel (what a
//                           daemon that blends its own frames does)
//   counts                  what the painter and the probe hold now
//   connect                 connects again, as after the compositor went away
//   cover / uncover         a fullscreen window of the probe's own on the
//                           focused output, on a second connection, or none
//   quit                    exits (so does the end of the input)
// One JSON object a line on standard output, for each event; "at" is the
// monotonic clock in seconds:
//   {"outputs": [{"name", "x", "y", "width", "height", "scale", "pixels": [w, h]}, ...]}
//   {"show": ID or null, "at": T}       after each show and play
//   {"shown": ID, "end": "framed"|"timed_out"|"superseded"|"lost", "at": T}
//   {"counts": {"surfaces", "buffers", "frame_callbacks", "shows"}, "frames": {OUTPUT: N},
//    "asked": {OUTPUT: N}, "transitions": N, "blenders": [PID...], "descriptors": N, "rss": KIB,
//    "shared": BYTES of the shared memory it holds, "cpu": {"self": S, "children": S (reaped)}}
// Lines the painter reports go to syslog.
//   {"blended": {"frames": N, "cpu": S}}
//   {"lost": true}, {"unreachable": true}, {"covered": true}, {"uncovered": true}
#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <list>
#include <map>
#include <memory>
#include <set>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "display/wayland_outputs.h"
#include "display/wayland_painter.h"
#include "picture/frame_blend.h"
#include "process/children.h"
#include "support/event.h"
#include "support/log.h"
#include "xdg-shell-client-protocol.h"
#include "probe_memory.h"

namespace {

using namespace zelvo;

double monotonic_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string at() { return "\"at\": " + std::to_string(monotonic_now()); }

// The colour of the pixel at x, y of a picture described by `description`, as
// XRGB8888; none for a description of no picture.
std::optional<std::uint32_t> described_pixel(const std::string& description, std::uint32_t x, std::uint32_t y) {
    if (description.size() == 7 && description[0] == '#') return static_cast<std::uint32_t>(std::strtoul(description.c_str() + 1, nullptr, 16));
    if (description.rfind("xy:", 0) == 0)
        return ((x % 256) << 16) | ((y % 256) << 8) | (static_cast<std::uint32_t>(std::atoi(description.c_str() + 3)) & 0xFF);
    return std::nullopt;
}

// A picture in sealed shared memory, written row by row without mapping it.
PictureRef make_picture(const std::string& description, PixelSize size) {
    if (!described_pixel(description, 0, 0) || size.width == 0 || size.height == 0) return nullptr;
    auto picture = std::make_shared<Picture>();
    picture->width = size.width;
    picture->height = size.height;
    picture->stride = size.width * 4;
    std::optional<UniqueDescriptor> memory = shared_memory_create(picture->bytes());
    if (!memory) return nullptr;
    std::vector<std::uint32_t> row(size.width);
    for (std::uint32_t y = 0; y < size.height; ++y) {
        if (y == 0 || description[0] != '#')
            for (std::uint32_t x = 0; x < size.width; ++x) row[x] = *described_pixel(description, x, y);
        const off_t offset = static_cast<off_t>(y) * picture->stride;
        if (pwrite(memory->get(), row.data(), picture->stride, offset) != static_cast<ssize_t>(picture->stride))
            return nullptr;
    }
    if (!shared_memory_seal(memory->get())) return nullptr;
    picture->memory = std::move(*memory);
    return picture;
}

std::size_t open_descriptors() {
    std::size_t count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(folder)) count += entry->d_name[0] != '.';
        closedir(folder);
    }
    return count - 1;  // the listing's own
}

// The bytes of the distinct anonymous shared memory the process holds descriptors of.
std::size_t shared_bytes() {
    std::set<ino_t> seen;
    std::size_t bytes = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(folder)) {
            const std::string path = std::string("/proc/self/fd/") + entry->d_name;
            char target[256] = {};
            struct stat status{};
            if (readlink(path.c_str(), target, sizeof target - 1) > 0 && std::strncmp(target, "/memfd:", 7) == 0 &&
                stat(path.c_str(), &status) == 0 && seen.insert(status.st_ino).second)
                bytes += static_cast<std::size_t>(status.st_size);
        }
        closedir(folder);
    }
    return bytes;
}

double seconds_of(const timeval& time) { return static_cast<double>(time.tv_sec) + time.tv_usec / 1e6; }

std::string processor_seconds() {
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    return "{\"self\": " + std::to_string(seconds_of(self.ru_utime) + seconds_of(self.ru_stime)) +
           ", \"children\": " + std::to_string(seconds_of(children.ru_utime) + seconds_of(children.ru_stime)) + "}";
}

// A transition from the words of a show: with=KIND ms= fps= angle= at=X,Y ease=linear.
bool transition_word(const std::string& key, const std::string& value, Transition& transition) {
    if (key == "with") {
        transition.kind = value == "fade"   ? Transition::Kind::fade
                          : value == "wipe" ? Transition::Kind::wipe
                          : value == "grow" ? Transition::Kind::grow
                                            : Transition::Kind::none;
    } else if (key == "ms") {
        transition.time = std::chrono::milliseconds(std::atol(value.c_str()));
    } else if (key == "fps") {
        transition.fps = static_cast<std::uint32_t>(std::atol(value.c_str()));
    } else if (key == "angle") {
        transition.angle = std::atof(value.c_str());
    } else if (key == "at") {
        transition.x = std::atof(value.c_str());
        transition.y = std::atof(value.c_str() + value.find(',') + 1);
    } else if (key == "ease" && value == "linear") {
        transition.ease_x1 = transition.ease_y1 = 0;
        transition.ease_x2 = transition.ease_y2 = 1;
    } else {
        return false;
    }
    return true;
}

double processor_now() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// N frames of a fade between two pictures of width x height, each written whole; the processor time taken.
double blend_here(std::uint32_t width, std::uint32_t height, std::uint32_t frames) {
    const std::size_t stride = std::size_t{width} * 4;
    std::vector<unsigned char> old_picture(stride * height, 0x20), new_picture(stride * height, 0xE0), out(stride * height);
    const BlendShape shape{Transition::Kind::fade, width, height};
    const double began = processor_now();
    for (std::uint32_t frame = 1; frame <= frames; ++frame)
        blend_rect(shape, static_cast<double>(frame) / frames, PictureRect{0, 0, width, height},
                   PixelRows{old_picture.data(), stride}, PixelRows{new_picture.data(), stride}, out.data(), stride);
    return processor_now() - began;
}

const char* end_name(ShowEnd end) {
    switch (end) {
    case ShowEnd::framed: return "framed";
    case ShowEnd::timed_out: return "timed_out";
    case ShowEnd::superseded: return "superseded";
    case ShowEnd::lost: return "lost";
    }
    return "?";
}

// One owner for each proxy, which destroys it with the function given.
template <typename Proxy, void (*destroy)(Proxy*)>
struct ProxyDestroy {
    void operator()(Proxy* proxy) const noexcept { destroy(proxy); }
};
template <typename Proxy, void (*destroy)(Proxy*)>
using Owned = std::unique_ptr<Proxy, ProxyDestroy<Proxy, destroy>>;

// A fullscreen window on a connection of its own, with one grey buffer: what
// covers the wallpaper's surface so that it gets no frame callbacks.
class Cover {
public:
    explicit Cover(event_base* base) : base_(base) {}
    // The window goes before the connection, which is let go only once the compositor has seen it go.
    ~Cover() {
        watch_.reset();
        frame_.reset(), buffer_.reset(), toplevel_.reset(), xdg_surface_.reset(), surface_.reset();
        if (display_) wl_display_roundtrip(display_.get());
    }

    bool start() {
        display_.reset(wl_display_connect(nullptr));
        if (!display_) return false;
        registry_.reset(wl_display_get_registry(display_.get()));
        wl_registry_add_listener(registry_.get(), &registry_events, this);
        wl_display_roundtrip(display_.get());
        if (!compositor_ || !shm_ || !wm_base_) return false;
        surface_.reset(wl_compositor_create_surface(compositor_.get()));
        xdg_surface_.reset(xdg_wm_base_get_xdg_surface(wm_base_.get(), surface_.get()));
        xdg_surface_add_listener(xdg_surface_.get(), &xdg_surface_events, this);
        toplevel_.reset(xdg_surface_get_toplevel(xdg_surface_.get()));
        xdg_toplevel_add_listener(toplevel_.get(), &toplevel_events, this);
        xdg_toplevel_set_fullscreen(toplevel_.get(), nullptr);
        wl_surface_commit(surface_.get());
        // The fullscreen size comes once the window is mapped: the window
        // first takes a small buffer, then one of each size it is given.
        if (wl_display_roundtrip(display_.get()) < 0 || !configured_) return false;
        watch_ = std::make_unique<DescriptorEvent>(base_, wl_display_get_fd(display_.get()),
                                                   DescriptorEvent::Ready::read, [this] {
                                                       if (wl_display_dispatch(display_.get()) < 0) watch_->stop();
                                                       wl_display_flush(display_.get());
                                                   });
        watch_->start();
        return draw();
    }

private:
    static void on_global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
        Cover& cover = *static_cast<Cover*>(data);
        if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
            cover.compositor_.reset(
                static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4)));
        } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
            cover.shm_.reset(static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1)));
        } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
            cover.wm_base_.reset(static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1)));
            xdg_wm_base_add_listener(cover.wm_base_.get(), &wm_base_events, &cover);
        }
    }
    static void on_global_remove(void*, wl_registry*, std::uint32_t) {}
    static void on_ping(void*, xdg_wm_base* base, std::uint32_t serial) { xdg_wm_base_pong(base, serial); }
    static void on_xdg_configure(void* data, xdg_surface* surface, std::uint32_t serial) {
        Cover& cover = *static_cast<Cover*>(data);
        xdg_surface_ack_configure(surface, serial);
        cover.configured_ = true;
        if (cover.watch_ && cover.picture_ &&
            (cover.picture_->width != static_cast<std::uint32_t>(cover.width_) ||
             cover.picture_->height != static_cast<std::uint32_t>(cover.height_)))
            cover.draw();
    }

    // A grey buffer of the size last given (a small one before any), and a
    // frame callback that tells when a full-sized one is on screen.
    bool draw() {
        const PixelSize size{static_cast<std::uint32_t>(width_ > 0 ? width_ : 64),
                             static_cast<std::uint32_t>(height_ > 0 ? height_ : 64)};
        picture_ = make_picture("#404040", size);
        if (!picture_) return false;
        const Owned<wl_shm_pool, wl_shm_pool_destroy> pool(
            wl_shm_create_pool(shm_.get(), picture_->memory.get(), static_cast<std::int32_t>(picture_->bytes())));
        buffer_.reset(wl_shm_pool_create_buffer(pool.get(), 0, static_cast<std::int32_t>(size.width),
                                                static_cast<std::int32_t>(size.height),
                                                static_cast<std::int32_t>(picture_->stride), WL_SHM_FORMAT_XRGB8888));
        wl_surface_attach(surface_.get(), buffer_.get(), 0, 0);
        wl_surface_damage_buffer(surface_.get(), 0, 0, INT32_MAX, INT32_MAX);
        if (width_ > 0 && !frame_) {
            frame_.reset(wl_surface_frame(surface_.get()));
            wl_callback_add_listener(frame_.get(), &frame_events, this);
        }
        wl_surface_commit(surface_.get());
        return wl_display_flush(display_.get()) >= 0 || errno == EAGAIN;
    }
    static void on_toplevel_configure(void* data, xdg_toplevel*, std::int32_t width, std::int32_t height, wl_array*) {
        Cover& cover = *static_cast<Cover*>(data);
        if (width > 0 && height > 0) cover.width_ = width, cover.height_ = height;
    }
    static void on_toplevel_close(void*, xdg_toplevel*) {}
    static void on_toplevel_bounds(void*, xdg_toplevel*, std::int32_t, std::int32_t) {}
    static void on_toplevel_capabilities(void*, xdg_toplevel*, wl_array*) {}
    static void on_frame(void* data, wl_callback*, std::uint32_t) {
        static_cast<Cover*>(data)->frame_.reset();
        say("{\"covered\": true}");
    }

    static constexpr wl_registry_listener registry_events = {on_global, on_global_remove};
    static constexpr xdg_wm_base_listener wm_base_events = {on_ping};
    static constexpr xdg_surface_listener xdg_surface_events = {on_xdg_configure};
    static constexpr xdg_toplevel_listener toplevel_events = {on_toplevel_configure, on_toplevel_close,
                                                               on_toplevel_bounds, on_toplevel_capabilities};
    static constexpr wl_callback_listener frame_events = {on_frame};

    event_base* base_;
    // In the order they are made: each goes before those above it.
    Owned<wl_display, wl_display_disconnect> display_;
    Owned<wl_registry, wl_registry_destroy> registry_;
    Owned<wl_compositor, wl_compositor_destroy> compositor_;
    Owned<wl_shm, wl_shm_destroy> shm_;
    Owned<xdg_wm_base, xdg_wm_base_destroy> wm_base_;
    Owned<wl_surface, wl_surface_destroy> surface_;
    Owned<xdg_surface, xdg_surface_destroy> xdg_surface_;
    Owned<xdg_toplevel, xdg_toplevel_destroy> toplevel_;
    Owned<wl_buffer, wl_buffer_destroy> buffer_;
    Owned<wl_callback, wl_callback_destroy> frame_;
    PictureRef picture_;
    bool configured_ = false;
    std::int32_t width_ = 0, height_ = 0;
    std::unique_ptr<DescriptorEvent> watch_;
};

struct Probe {
    std::string display;
    EventBasePtr base{event_base_new()};
    WaylandOutputs outputs;
    std::unique_ptr<DescriptorEvent> watch;
    std::unique_ptr<WaylandPainter> painter;
    std::unique_ptr<DescriptorEvent> input;
    std::unique_ptr<Cover> cover;
    std::list<TimerEvent> later;
    // Pictures made once for each description and size, and shown again and again.
    std::map<std::pair<std::string, std::pair<std::uint32_t, std::uint32_t>>, PictureRef> pictures;
    std::string pending_input;

    void say_outputs() {
        std::string line = "{\"outputs\": [";
        for (const Monitor& monitor : outputs.monitors()) {
            const PixelSize pixels = painter->picture_size(monitor.name).value_or(monitor_pixel_size(monitor));
            if (line.back() != '[') line += ", ";
            line += "{\"name\": \"" + monitor.name + "\", \"x\": " + std::to_string(monitor.x) +
                    ", \"y\": " + std::to_string(monitor.y) + ", \"width\": " + std::to_string(monitor.width) +
                    ", \"height\": " + std::to_string(monitor.height) + ", \"scale\": " + std::to_string(monitor.scale) +
                    ", \"pixels\": [" + std::to_string(pixels.width) + ", " + std::to_string(pixels.height) + "]}";
        }
        say(line + "]}");
    }

    void connect() {
        watch.reset();
        if (!outputs.connect(display) || !outputs.wait_ready(std::chrono::seconds(5))) {
            outputs.disconnect();
            say("{\"unreachable\": true}");
            return;
        }
        watch = std::make_unique<DescriptorEvent>(base.get(), outputs.descriptor(), DescriptorEvent::Ready::read,
                                                  [this] { on_wayland(); });
        watch->start();
        say_outputs();
    }

    void on_wayland() {
        const bool news = outputs.take_events();
        if (!outputs.connected()) {
            watch.reset();
            say("{\"lost\": true}");
        } else if (news) {
            say_outputs();
        }
    }

    PictureRef picture_for(const std::string& output, const std::string& description) {
        const std::optional<PixelSize> size = painter->picture_size(output);
        if (!size) return nullptr;
        PictureRef& cached = pictures[{description, {size->width, size->height}}];
        if (!cached) cached = make_picture(description, *size);
        return cached;
    }

    void report_show(std::optional<ShowId> id) {
        say("{\"show\": " + (id ? std::to_string(*id) : std::string("null")) + ", " + at() + "}");
    }

    void counts() {
        const PainterCounts held = painter->counts();
        std::string frames, asked, blenders;
        for (const Monitor& monitor : outputs.monitors()) {
            frames += (frames.empty() ? "\"" : ", \"") + monitor.name +
                      "\": " + std::to_string(painter->frames_delivered(monitor.name));
            asked += (asked.empty() ? "\"" : ", \"") + monitor.name +
                     "\": " + std::to_string(painter->frames_asked(monitor.name));
        }
        for (pid_t pid : painter->blend_workers()) blenders += (blenders.empty() ? "" : ", ") + std::to_string(pid);
        say("{\"counts\": {\"surfaces\": " + std::to_string(held.surfaces) + ", \"buffers\": " +
            std::to_string(held.buffers) + ", \"frame_callbacks\": " + std::to_string(held.frame_callbacks) +
            ", \"shows\": " + std::to_string(held.shows) + "}, \"frames\": {" + frames + "}, \"asked\": {" + asked +
            "}, \"transitions\": " + std::to_string(held.transitions) + ", \"blenders\": [" + blenders +
            "], \"descriptors\": " + std::to_string(open_descriptors()) + ", \"rss\": " +
            std::to_string(probe_memory_kib()) + ", \"shared\": " + std::to_string(shared_bytes()) +
            ", \"cpu\": " + processor_seconds() + "}");
    }

    void command(const std::string& line) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        if (verb == "show") {
            std::vector<OutputPictures> wanted;
            Transition transition;
            for (std::string pair; words >> pair;) {
                const std::size_t equals = pair.find('=');
                if (equals == std::string::npos) continue;
                const std::string output = pair.substr(0, equals);
                if (transition_word(output, pair.substr(equals + 1), transition)) continue;
                wanted.push_back(OutputPictures{output, {picture_for(output, pair.substr(equals + 1))}, {}});
            }
            for (OutputPictures& one : wanted) one.transition = transition;
            report_show(painter->show(wanted));
        } else if (verb == "play") {
            OutputPictures wanted;
            words >> wanted.output;
            for (std::string description; words >> description;) wanted.frames.push_back(picture_for(wanted.output, description));
            report_show(painter->show({wanted}));
        } else if (verb == "after") {
            long milliseconds = 0;
            words >> milliseconds;
            std::string rest;
            std::getline(words, rest);
            // Each timer runs once, and stays until the probe ends.
            TimerEvent& timer = later.emplace_back(base.get(), [this, rest] { command(rest); });
            timer.schedule(std::chrono::milliseconds(milliseconds));
        } else if (verb == "blend") {
            std::uint32_t width = 0, height = 0, frames = 0;
            words >> width >> height >> frames;
            const double seconds = blend_here(width, height, frames);
            say("{\"blended\": {\"frames\": " + std::to_string(frames) + ", \"cpu\": " + std::to_string(seconds) + "}}");
        } else if (verb == "finish") {
            painter->finish_transitions();
        } else if (verb == "counts") {
            counts();
        } else if (verb == "connect") {
            connect();
        } else if (verb == "cover") {
            cover = std::make_unique<Cover>(base.get());
            if (!cover->start()) say("{\"uncovered\": true}");
        } else if (verb == "uncover") {
            cover.reset();
            say("{\"uncovered\": true}");
        } else if (verb == "quit") {
            event_base_loopbreak(base.get());
        }
    }

    void on_input() {
        char bytes[4096];
        const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) return;
        if (got <= 0) {
            event_base_loopbreak(base.get());
            return;
        }
        pending_input.append(bytes, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending_input.find('\n')) != std::string::npos;) {
            const std::string line = pending_input.substr(0, end);
            pending_input.erase(0, end + 1);
            command(line);
        }
    }
};

}  // namespace

int main() {
    log_open();
    Probe probe;
    const char* display = std::getenv("WAYLAND_DISPLAY");
    probe.display = display != nullptr ? display : "wayland-0";
    if (!probe.base) return 1;
    probe.painter = std::make_unique<WaylandPainter>(probe.outputs, probe.base.get(), [](ShowId id, ShowEnd end) {
        say("{\"shown\": " + std::to_string(id) + ", \"end\": \"" + end_name(end) + "\", " + at() + "}");
    });
    probe.input = std::make_unique<DescriptorEvent>(probe.base.get(), STDIN_FILENO, DescriptorEvent::Ready::read,
                                                    [&probe] { probe.on_input(); });
    probe.input->start();
    // The blending workers are reaped as they end, so that their processor time counts.
    const SignalEvent reaper(probe.base.get(), SIGCHLD, [] { children_reap(); });
    probe.connect();
    event_base_loop(probe.base.get(), EVLOOP_NO_EXIT_ON_EMPTY);
    // What rides on the connection and the loop's events go before them.
    probe.cover.reset();
    probe.later.clear();
    probe.input.reset();
    probe.painter.reset();
    probe.watch.reset();
    probe.outputs.disconnect();
    return 0;
}
