#include "cycle/cycle.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <sys/stat.h>
#include <vector>

#include "control/status_file.h"
#include "images/expand.h"
#include "support/children.h"
#include "support/log.h"
#include "support/process.h"
#include "support/url.h"

namespace zelvo {

namespace {

// The period when neither -t nor the file gives a minute or more: a file's 0
// would start the viewer in a tight loop, and a negative value names none.
constexpr std::uint32_t fallback_seconds = 1800;
// How much of a background expansion's answer the loop takes at a time, so
// that a signal or a timer never waits long behind it.
constexpr std::size_t expansion_bytes_at_once = 64 << 10;

std::uint32_t minutes_to_seconds(int minutes) {
    const std::int64_t seconds = std::int64_t{minutes} * 60;
    const std::int64_t most = std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(seconds < most ? seconds : most);
}

// The two programs: the Config's paths where it names them, else the ones
// found on PATH at start-up.
void choose_programs(DaemonState& state) {
    const RunOptions& options = state.options;
    state.viewer_program = options.config->feh_path.value_or(options.feh_path);
    state.xrdb_program = options.config->xrdb_path.value_or(options.xrdb_path);
    state.swaybg_program = options.config->swaybg_path.value_or(options.swaybg_path);
}

// The viewer's vectors from the Config and RunOptions in force and from the
// place in the ring; with an empty ring, no image slots (going back and set
// take the vector's first entries and slots of their own).
void fill_viewer_argv(DaemonState& state) {
    const RunOptions& options = state.options;
    const int count = state.place.current != nullptr ? monitor_count(options) : 0;
    state.viewer_argv = build_viewer_argv(options.config->bg_style, state.place.current, count);
}

void fill_viewer_envp(DaemonState& state) {
    const RunOptions& options = state.options;
    state.viewer_envp = build_viewer_envp(options.display, options.xauthority, options.home);
}

DaemonState& state_of(void* argument) { return *static_cast<DaemonState*>(argument); }

void on_quit(evutil_socket_t, short, void* argument) { steer_quit(state_of(argument)); }

void on_child(evutil_socket_t, short, void* argument) {
    swaybg_children_ended(state_of(argument));
    children_reap();
    state_of(argument).hooks->on_child();
}

// The next change shows other images first now: colours prepared for the old ones go.
void forget_prepared_colours(DaemonState& state) {
    const StringNode* first = first_monitor_next(state);
    if (first == nullptr) {
        state.prepared.reset();
        return;
    }
    drop_prepared_colours_unless(state, *first->value, state.options.config->dark != 0);
}

// The rest of a reload, once its sources are expanded (or it kept the
// previous configuration): everything derived from the Config and the ring
// is made again, and the change follows at once.
void finish_reload(DaemonState& state, ConfigPtr config, StringList images,
                   std::vector<StringList> group_images = {}) {
    RunOptions& options = state.options;
    // A reload that kept the previous Config also kept its ring, and with it
    // the current position: the next images stay the next ones.
    const bool replaced = config && !images.empty();
    if (replaced) {
        apply_reload(options, std::move(config), std::move(images));
        state.place = ring_place_start(options.ring, options.ring.node());
        state.said_empty = false;
        const std::vector<MonitorGroup>& groups = options.config->per_monitor;
        group_images.resize(groups.size());
        options.monitor_rings.clear();
        for (std::size_t group = 0; group < groups.size(); ++group)
            options.monitor_rings.push_back(
                group_ring(groups[group], group, std::move(group_images[group]), options.config->by_name));
        start_group_places(state);
        state.monitor_next.clear();
    }
    // Back to feh: swaybg's wallpaper goes with its processes.
    if (options.config->viewer == Viewer::feh) end_swaybg(state);
    // The display's monitors are read again, as at start-up.
    connect_display(state);
    restart_timer(state);
    arm_rescan_timer(state);
    release_vector(state.viewer_envp);
    fill_viewer_envp(state);
    release_vector(state.xrdb_argv);
    state.xrdb_argv = build_xrdb_argv(*options.config);
    choose_programs(state);
    release_viewer_argv(state.viewer_argv);
    ring_changed(state);
    show_step(state, "config regened");
}

void on_expansion_readable(evutil_socket_t, short, void* argument);

// Starts expanding the sources of the next group of "per-monitor" that
// names some; false when none is left.
bool expand_next_group(DaemonState& state) {
    PendingReload& reload = *state.reload;
    const std::vector<MonitorGroup>& groups = reload.config->per_monitor;
    for (; reload.group < groups.size(); ++reload.group) {
        if (groups[reload.group].sources.first() == nullptr) continue;
        reload.readable.reset();
        reload.expansion =
            std::make_unique<ExpansionChild>(groups[reload.group].sources.first(), expand_options(state.options));
        // One that cannot be expanded now gives no image, and its monitor the main ones.
        if (reload.expansion->descriptor() < 0) continue;
        reload.readable.reset(event_new(state.events->base.get(), reload.expansion->descriptor(),
                                        EV_READ | EV_PERSIST, on_expansion_readable, &state));
        if (!reload.readable || event_add(reload.readable.get(), nullptr) < 0) std::abort();
        return true;
    }
    return false;
}

void on_expansion_readable(evutil_socket_t, short, void* argument) {
    DaemonState& state = state_of(argument);
    PendingReload& reload = *state.reload;
    const ExpansionChild::Progress progress = reload.expansion->take(expansion_bytes_at_once);
    if (progress == ExpansionChild::Progress::more) return;
    if (reload.main_done) {
        reload.readable.reset();
        if (progress == ExpansionChild::Progress::complete)
            reload.group_images[reload.group] = reload.expansion->take_images();
        ++reload.group;
        if (expand_next_group(state)) return;
        const std::unique_ptr<PendingReload> done = std::move(state.reload);
        done->expansion.reset();
        finish_reload(state, std::move(done->config), std::move(done->images), std::move(done->group_images));
        return;
    }
    StringList main_images = reload.expansion->take_images();
    const bool main_usable = progress == ExpansionChild::Progress::complete && !main_images.empty();
    if (main_usable && !reload.config->per_monitor.empty()) {
        reload.readable.reset();
        reload.main_done = true;
        reload.images = std::move(main_images);
        reload.group_images.resize(reload.config->per_monitor.size());
        if (expand_next_group(state)) return;
        const std::unique_ptr<PendingReload> done = std::move(state.reload);
        done->expansion.reset();
        finish_reload(state, std::move(done->config), std::move(done->images), std::move(done->group_images));
        return;
    }
    // Its events go before anything else happens; the reload is over.
    const std::unique_ptr<PendingReload> done = std::move(state.reload);
    done->readable.reset();
    StringList images = std::move(main_images);
    ConfigPtr config = std::move(done->config);
    if (progress == ExpansionChild::Progress::failed) {
        report("Zelvo could not expand the sources of %s and keeps the previous configuration",
               state.options.config_path.c_str());
        config.reset();
    } else if (images.empty()) {
        report("Zelvo found no suitable images in %s and keeps the previous configuration",
               state.options.config_path.c_str());
        config.reset();
    }
    finish_reload(state, std::move(config), std::move(images));
}

void on_reload(evutil_socket_t, short, void* argument) { steer_reload(state_of(argument)); }

void on_skip(evutil_socket_t, short, void* argument) { steer_next(state_of(argument)); }

void on_reshuffle(evutil_socket_t, short, void* argument) { steer_reshuffle(state_of(argument)); }

void on_previous(evutil_socket_t, short, void* argument) { steer_previous(state_of(argument)); }

void on_timer(evutil_socket_t, short, void* argument) {
    DaemonState& state = state_of(argument);
    if (monitors_timed_apart(state)) {
        monitors_due_now(state);
        return;
    }
    // The persistent timer has just been armed again for one interval.
    state.next_change = std::time(nullptr) + state.interval.tv_sec;
    show_step(state);
}

void on_rescan_timer(evutil_socket_t, short, void* argument) { start_rescan(state_of(argument)); }

// A signal event, added at once; the cycle cannot run without it.
EventPtr add_signal_event(DaemonState& state, int number, event_callback_fn callback) {
    EventPtr handle(event_new(state.events->base.get(), number, EV_SIGNAL | EV_PERSIST, callback, &state));
    if (!handle || event_add(handle.get(), nullptr) < 0) std::abort();
    return handle;
}

}  // namespace

bool image_still_there(const DaemonState& state, const std::string& image) {
    if (std::find(state.banned.begin(), state.banned.end(), image) != state.banned.end()) return false;
    struct stat status{};
    return stat(image.c_str(), &status) == 0 || is_url(image);
}

bool steer_next(DaemonState& state) {
    log_notice("SIGUSR1 has been recived: skiping ahead");
    if (state.place.current == nullptr) {
        show_step(state);
        return false;
    }
    restart_timer(state);
    show_step(state);
    return true;
}

void steer_reshuffle(DaemonState& state) {
    log_notice("SIGUSR2 has been recived: reshuffling picture list");
    if (state.place.current == nullptr) {
        show_step(state);
        return;
    }
    // By name the ring keeps its order and starts again from the first name.
    StringNode* first = state.options.config->by_name ? state.options.ring.node() : ring_shuffle(state.place.current);
    state.place = ring_place_start(state.options.ring, first);
    reshuffle_group_rings(state);
    ring_changed(state);
    restart_timer(state);
    show_step(state);
}

// Shows the set before the one on screen again, with the Config in force;
// the ring and its queued images stay as they are.
bool steer_previous(DaemonState& state) {
    const std::optional<std::size_t> earlier =
        history_earlier(state.shown, [&state](const std::string& image) { return image_still_there(state, image); });
    if (!earlier) {
        log_notice("SIGRTMIN has been recived: nothing to go back to");
        return false;
    }
    log_notice("SIGRTMIN has been recived: going back");
    restart_timer(state);
    std::vector<char*> argv(state.viewer_argv.entries(), state.viewer_argv.entries() + 3);
    for (std::string& image : state.shown.sets[*earlier]) argv.push_back(image.data());
    argv.push_back(nullptr);
    if (!begin_change(state, argv.data())) {
        publish_status(state);
        return true;
    }
    state.shown.on_screen = *earlier;
    settle_change(state);
    return true;
}

// Reads the configuration again at once, then expands its sources in the
// background; a reload already under way starts again, and a rescan gives way.
void steer_reload(DaemonState& state) {
    log_notice("SIGHUP has been recived: regening config");
    state.reload.reset();
    state.rescan.reset();
    ConfigPtr config = load_config(state.options.config_path, state.options.home, state.options.source);
    // One that cannot be used has said why; the previous one stays.
    if (!config) {
        finish_reload(state, nullptr, StringList());
        return;
    }
    forget_unusable_cache(*config);
    auto reload = std::make_unique<PendingReload>();
    reload->expansion = std::make_unique<ExpansionChild>(config->sources.first(), expand_options(state.options));
    reload->config = std::move(config);
    if (reload->expansion->descriptor() < 0) {
        report("Zelvo could not expand the sources of %s and keeps the previous configuration",
               state.options.config_path.c_str());
        finish_reload(state, nullptr, StringList());
        return;
    }
    reload->readable.reset(event_new(state.events->base.get(), reload->expansion->descriptor(),
                                     EV_READ | EV_PERSIST, on_expansion_readable, &state));
    if (!reload->readable || event_add(reload->readable.get(), nullptr) < 0) std::abort();
    state.reload = std::move(reload);
}

void steer_quit(DaemonState& state) {
    if (!state.quitting) {
        state.quitting = true;
        // Colours for a change that will not come, and a ring that will not
        // be shown, are not worth a second more; the hook gets its grace.
        state.prepared.reset();
        state.reload.reset();
        state.rescan.reset();
        state.set.reset();
        state.list_job.reset();
        state.hooks->stop();
        end_swaybg(state);
    }
    const timeval delay{1, 0};
    event_base_loopexit(state.events->base.get(), &delay);
}

void steer_pause(DaemonState& state, bool paused) {
    if (state.paused == paused) return;
    state.paused = paused;
    log_notice(paused ? "Zelvo is paused" : "Zelvo is resumed");
    restart_timer(state);
    publish_status(state);
}

void ring_changed(DaemonState& state) {
    ++state.ring_generation;
    queue_changed(state);
}

void queue_changed(DaemonState& state) {
    release_viewer_argv(state.viewer_argv);
    fill_viewer_argv(state);
    forget_prepared_colours(state);
}

void show_next(DaemonState& state) {
    if (state.place.current != nullptr) restart_timer(state);
    show_step(state);
}

ExpandOptions expand_options(const RunOptions& options) {
    ExpandOptions expand;
    expand.home = options.home;
    expand.banned_file = options.home + "/.zelvo/banned";
    expand.by_name = options.config && options.config->by_name;
    return expand;
}

std::uint32_t interval_seconds(const RunOptions& options) {
    if (options.minutes >= 1) return minutes_to_seconds(options.minutes);
    if (options.config->minutes >= 1) return minutes_to_seconds(options.config->minutes);
    return fallback_seconds;
}

void restart_timer(DaemonState& state) {
    state.interval.tv_sec = interval_seconds(state.options);
    state.interval.tv_usec = 0;
    event_del(state.events->timer_event.get());
    if (state.paused) {
        state.next_change.reset();
        return;
    }
    if (monitors_timed_apart(state)) {
        restart_monitor_timers(state);
        return;
    }
    event_add(state.events->timer_event.get(), &state.interval);
    state.next_change = std::time(nullptr) + state.interval.tv_sec;
}

void arm_rescan_timer(DaemonState& state) {
    event_del(state.events->rescan_event.get());
    if (state.options.config->rescan < 1) return;
    const timeval period{static_cast<time_t>(minutes_to_seconds(state.options.config->rescan)), 0};
    event_add(state.events->rescan_event.get(), &period);
}

DaemonStatus daemon_status(const DaemonState& state) {
    DaemonStatus status;
    status.pid = getpid();
    status.display = state.lock_display;
    status.interval = static_cast<std::uint32_t>(state.interval.tv_sec);
    status.last_change = state.last_change;
    status.next_change = state.next_change;
    status.paused = state.paused;
    if (const std::vector<std::string>* images = history_on_screen(state.shown)) status.images = *images;
    status.monitors = monitor_timings(state);
    return status;
}

void publish_status(const DaemonState& state) {
    if (state.runtime == nullptr) return;
    // A runtime directory gone with the session costs nothing but the file.
    write_status_file(*state.runtime, daemon_status(state));
}

int run_cycle(DaemonState& state) {
    RunOptions& options = state.options;
    state.place = ring_place_start(options.ring, options.ring.node());
    start_group_places(state);
    choose_programs(state);

    state.events = std::make_unique<EventSet>();
    EventSet& events = *state.events;
    events.base.reset(event_base_new());
    if (!events.base) std::abort();
    log_attach(events.base.get());
    state.hooks = std::make_unique<HookRunner>(events.base.get());
    // Before the first child: the daemon reaps its children itself.
    events.sigchld_event = add_signal_event(state, SIGCHLD, on_child);
    events.sigquit_event = add_signal_event(state, SIGQUIT, on_quit);
    events.sigterm_event = add_signal_event(state, SIGTERM, on_quit);
    events.sigint_event = add_signal_event(state, SIGINT, on_quit);
    events.sighup_event = add_signal_event(state, SIGHUP, on_reload);
    events.sigusr1_event = add_signal_event(state, SIGUSR1, on_skip);
    events.sigusr2_event = add_signal_event(state, SIGUSR2, on_reshuffle);
    events.sigrtmin_event = add_signal_event(state, previous_signal(), on_previous);
    // Signals that came during start-up have waited for their events.
    release_steering_signals();
    events.timer_event.reset(event_new(events.base.get(), -1, EV_PERSIST, on_timer, &state));
    events.rescan_event.reset(event_new(events.base.get(), -1, EV_PERSIST, on_rescan_timer, &state));
    if (!events.timer_event || !events.rescan_event) std::abort();
    state.interval = timeval{static_cast<time_t>(interval_seconds(options)), 0};
    if (event_add(events.timer_event.get(), &state.interval) < 0) std::abort();
    state.next_change = std::time(nullptr) + state.interval.tv_sec;
    arm_rescan_timer(state);
    // After detaching, which closes every descriptor, and before the first change.
    connect_display(state);
    if (monitors_timed_apart(state)) restart_timer(state);
    if (state.control_socket.get() >= 0)
        state.control = std::make_unique<ControlServer>(events.base.get(), std::move(state.control_socket),
                                                        [&state](ControlRequest request) {
                                                            control_request(state, std::move(request));
                                                        });

    fill_viewer_argv(state);
    fill_viewer_envp(state);
    state.xrdb_argv = build_xrdb_argv(*options.config);
    show_step(state);
    event_base_loop(events.base.get(), EVLOOP_NO_EXIT_ON_EMPTY);

    // Whatever is still at work ends now: a colour step, an expansion, a hook.
    drop_display(state);
    state.control.reset();
    state.set.reset();
    state.list_job.reset();
    state.cache_pruner.stop();
    state.rescan.reset();
    state.change.reset();
    state.prepared.reset();
    state.reload.reset();
    state.hooks->kill_now();
    state.hooks.reset();
    swaybg_after_loop(state);
    EventPtr* in_order[] = {&events.sigquit_event, &events.sigint_event,   &events.sigterm_event,
                            &events.sighup_event,  &events.sigusr1_event,  &events.sigusr2_event,
                            &events.sigrtmin_event, &events.timer_event,   &events.rescan_event,
                            &events.sigchld_event};
    for (EventPtr* handle : in_order) event_del(handle->get());
    for (EventPtr* handle : in_order) handle->reset();
    log_detach();
    events.base.reset();
    // Their private folders go once they have ended; a viewer may run on.
    children_reap_killed();
    release_viewer_argv(state.viewer_argv);
    release_vector(state.viewer_envp);
    release_vector(state.xrdb_argv);
    state.events.reset();
    return 0;
}

}  // namespace zelvo
