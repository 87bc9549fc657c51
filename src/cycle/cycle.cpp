#include "cycle/cycle.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <unistd.h>

#include "cycle/colours.h"
#include "cycle/steering.h"
#include "cycle/swaybg_viewer.h"
#include "process/children.h"
#include "support/log.h"
#include "process/process.h"

namespace zelvo {

namespace {

bool change_monitors(DaemonState& state, std::vector<std::optional<std::string>> keep, const char* closing = nullptr,
                     bool redraw = false);
void ring_changed(DaemonState& state);
void next_changed(DaemonState& state);
void show_next(DaemonState& state);

std::size_t monitors_now(const DaemonState& state) { return static_cast<std::size_t>(state.display->count()); }

void say_nothing_left(DaemonState& state, const char* closing) {
    // Every image is banned: the last stay on screen until a rescan or a reload brings others.
    if (!state.rotation->said_empty) {
        report("Zelvo has no image left to show: a rescan or a reload may bring some");
        state.rotation->said_empty = true;
    }
    publish_status(state);
    if (closing != nullptr) log_notice(closing);
}

// With "per-monitor", the timer came: the monitors that are due change.
void monitors_due_now(DaemonState& state) {
    const std::vector<bool> due = state.schedule->take_due(monitors_now(state));
    if (std::find(due.begin(), due.end(), true) == due.end()) return;
    std::vector<std::optional<std::string>> keep = state.rotation->on_screen_kept(due.size());
    for (std::size_t monitor = 0; monitor < due.size(); ++monitor)
        if (due[monitor]) keep[monitor].reset();
    if (!state.quitting) state.display->reach_before_change();
    change_monitors(state, std::move(keep));
}

void on_timer(DaemonState& state) {
    if (state.schedule->apart()) {
        monitors_due_now(state);
        return;
    }
    state.schedule->came();
    show_step(state);
}

void on_child(DaemonState& state) {
    // The viewers look at their children before the ones let go of are reaped.
    state.viewer->child_ended();
    if (state.retired_viewer) state.retired_viewer->child_ended();
    children_reap();
    state.publisher->child_ended();
}

// The display's monitors changed, or it came back: each monitor that it
// still has keeps its image and its schedule, a new one gets its image at
// once, and the viewer lays them out again.
void on_monitors_changed(DaemonState& state, const std::vector<std::optional<std::size_t>>& matched) {
    const std::vector<std::string>* shown = state.rotation->on_screen();
    std::vector<std::optional<std::string>> keep(matched.size());
    for (std::size_t monitor = 0; monitor < matched.size(); ++monitor)
        if (matched[monitor] && shown != nullptr && *matched[monitor] < shown->size())
            keep[monitor] = (*shown)[*matched[monitor]];
    state.schedule->follow(matched);
    next_changed(state);
    state.viewer->monitors_changed();
    if (state.quitting) return;
    change_monitors(state, std::move(keep), nullptr, true);
}

void on_recounted(DaemonState& state) {
    next_changed(state);
    state.schedule->fit(monitors_now(state));
    state.viewer->monitors_changed();
}

// The viewer the Config in force names: the one there is, taking the new
// Config, or a new one, the old one ending what it runs meanwhile.
void choose_viewer(DaemonState& state) {
    const ViewerKind named = state.options.config->viewer;
    if (state.viewer && state.viewer_named == named) {
        state.viewer->reconfigure();
        return;
    }
    if (state.viewer) {
        state.viewer->quit();
        state.retired_viewer = std::move(state.viewer);
    }
    state.viewer = make_viewer(ViewerSetting{state.events->base.get(), state.options, *state.display, state.runtime,
                                             [&state](bool first_drawn) { state.publisher->on_screen(first_drawn); }});
    state.viewer_named = named;
}

// The rest of a reload, once its sources are expanded (or it kept the
// previous configuration): everything derived from the Config and the ring
// is made again, and the change follows at once.
void finish_reload(DaemonState& state, ConfigPtr config, StringList images, std::vector<StringList> group_images = {}) {
    RunOptions& options = state.options;
    // A reload that kept the previous Config also kept its ring, and with it
    // the current position: the next images stay the next ones.
    if (config && !images.empty()) {
        reload_config(options, std::move(config), std::move(images));
        state.current = ring_place_start(options.ring, options.ring.node());
        state.rotation->said_empty = false;
        const std::vector<MonitorGroup>& groups = options.config->per_monitor;
        group_images.resize(groups.size());
        options.monitor_rings.clear();
        for (std::size_t group = 0; group < groups.size(); ++group)
            options.monitor_rings.push_back(
                group_ring(groups[group], group, std::move(group_images[group]), options.config->by_name));
        state.rotation->start_group_places();
    }
    choose_viewer(state);
    state.schedule->arm_rescan();
    state.publisher->reconfigure();
    ring_changed(state);
    // The display's monitors are read again, as at start-up; the change
    // follows once they are counted.
    state.display->connect([&state] {
        restart_timer(state);
        next_changed(state);
        show_step(state, "config regened");
    });
}

// The signals that the loop takes over; the cycle cannot run without them.
std::unique_ptr<SignalEvent> take_signal(DaemonState& state, int number, void (*handler)(DaemonState&)) {
    return std::make_unique<SignalEvent>(state.events->base.get(), number, [&state, handler] { handler(state); });
}

void on_quit(DaemonState& state) { steer_quit(state); }
void on_reload(DaemonState& state) { steer_reload(state); }
void on_skip(DaemonState& state) { steer_next(state); }
void on_reshuffle(DaemonState& state) { steer_reshuffle(state); }
void on_previous(DaemonState& state) { steer_previous(state); }

bool change_monitors(DaemonState& state, std::vector<std::optional<std::string>> keep, const char* closing,
                     bool redraw) {
    const std::size_t count = monitors_now(state);
    keep.resize(count);
    const std::vector<std::string>* shown = state.rotation->on_screen();
    const std::optional<std::string> first_before =
        shown != nullptr && !shown->empty() ? std::optional<std::string>(shown->front()) : std::nullopt;
    const std::vector<std::optional<std::string>> taken = state.rotation->take_next(keep);
    bool wanted = false;
    bool fresh = false;
    for (std::size_t monitor = 0; monitor < count; ++monitor) {
        if (keep[monitor]) continue;
        wanted = true;
        fresh = fresh || taken[monitor].has_value();
    }
    if (wanted && !fresh && !redraw) {
        next_changed(state);
        say_nothing_left(state, closing);
        return false;
    }
    // A monitor whose ring has nothing left keeps what it showed, or shows what another does.
    Change change;
    change.images.reserve(count);
    const auto any = std::find_if(taken.begin(), taken.end(), [](const auto& image) { return image.has_value(); });
    for (std::size_t monitor = 0; monitor < count; ++monitor) {
        if (taken[monitor])
            change.images.push_back(*taken[monitor]);
        else if (shown != nullptr && monitor < shown->size())
            change.images.push_back((*shown)[monitor]);
        else if (any != taken.end())
            change.images.push_back(**any);
        else if (first_before)
            change.images.push_back(*first_before);
        else
            break;
    }
    if (change.images.size() < count) {
        next_changed(state);
        return false;
    }
    // The palette follows the first monitor, and only when its image changes.
    change.colours_stay = keep[0] && first_before && *keep[0] == *first_before;
    change.closing = closing;
    return apply_change(state, std::move(change));
}

void ring_changed(DaemonState& state) {
    state.rotation->links_changed();
    next_changed(state);
}

void next_changed(DaemonState& state) {
    state.publisher->next_changed();
    // A viewer that prepares the next change's pictures learns what they are.
    std::vector<std::string> next;
    for (std::optional<std::string>& image : state.rotation->peek_next(monitors_now(state)))
        if (image) next.push_back(std::move(*image));
    state.viewer->prepare(next);
}

void show_next(DaemonState& state) {
    if (state.current.current != nullptr) restart_timer(state);
    show_step(state);
}

}  // namespace

bool apply_change(DaemonState& state, Change change) {
    if (!state.viewer->show(change)) {
        publish_status(state);
        if (change.closing != nullptr) log_notice(change.closing);
        return false;
    }
    state.publisher->begin(change, !state.viewer->tells_on_screen());
    state.rotation->shown(change);
    next_changed(state);
    state.publisher->settle();
    return true;
}

void show_step(DaemonState& state, const char* closing) {
    if (!state.quitting) state.display->reach_before_change();
    if (state.schedule->apart()) {
        change_monitors(state, {}, closing);
        return;
    }
    if (state.current.current == nullptr) {
        say_nothing_left(state, closing);
        return;
    }
    // When the viewer cannot start, the images stay queued for the next change.
    const int count = state.display->count();
    Change change;
    change.images = state.rotation->peek_main(count);
    change.advance = count;
    change.closing = closing;
    apply_change(state, std::move(change));
}


void restart_timer(DaemonState& state) { state.schedule->restart(monitors_now(state)); }

bool steer_next(DaemonState& state) {
    log_notice("SIGUSR1 has been recived: skiping ahead");
    if (state.current.current == nullptr) {
        show_step(state);
        return false;
    }
    restart_timer(state);
    show_step(state);
    return true;
}

void steer_reshuffle(DaemonState& state) {
    log_notice("SIGUSR2 has been recived: reshuffling picture list");
    if (state.current.current == nullptr) {
        show_step(state);
        return;
    }
    state.rotation->reshuffle();
    next_changed(state);
    restart_timer(state);
    show_step(state);
}

// Shows the set before the one on screen again, with the Config in force;
// the ring and the images it queues stay as they are.
bool steer_previous(DaemonState& state) {
    const std::optional<std::size_t> earlier = state.rotation->earlier_set();
    if (!earlier) {
        log_notice("SIGRTMIN has been recived: nothing to go back to");
        return false;
    }
    log_notice("SIGRTMIN has been recived: going back");
    restart_timer(state);
    Change change;
    change.images = state.rotation->history().sets[*earlier];
    change.record = Change::Record::back_to;
    change.earlier = *earlier;
    apply_change(state, std::move(change));
    return true;
}

bool steer_next_monitor(DaemonState& state, std::size_t monitor) {
    report("Zelvo is skipping ahead on monitor %zu", monitor + 1);
    if (state.schedule->apart()) state.schedule->restart_monitor(monitor, monitors_now(state));
    std::vector<std::optional<std::string>> keep = state.rotation->on_screen_kept(monitors_now(state));
    keep[monitor].reset();
    return change_monitors(state, std::move(keep));
}

bool steer_previous_monitor(DaemonState& state, std::size_t monitor) {
    const std::optional<std::string> earlier = state.rotation->earlier_image(monitor);
    if (!earlier) {
        report("Zelvo has nothing to go back to on monitor %zu", monitor + 1);
        return false;
    }
    report("Zelvo is going back on monitor %zu", monitor + 1);
    if (state.schedule->apart()) state.schedule->restart_monitor(monitor, monitors_now(state));
    Change change;
    change.images = *state.rotation->on_screen();
    change.images.resize(monitors_now(state), change.images.front());
    change.images[monitor] = *earlier;
    change.colours_stay = monitor != 0;
    change.record = Change::Record::replacing;
    apply_change(state, std::move(change));
    return true;
}

// Reads the configuration again at once, then expands its sources in the
// background; a reload already under way starts again, and a rescan gives way.
void steer_reload(DaemonState& state) {
    log_notice("SIGHUP has been recived: regening config");
    state.reload.reset();
    state.rescan.reset();
    RunOptions& options = state.options;
    ConfigPtr config = load_config(options.config_path, options.home, options.source);
    // One that cannot be used has said why; the previous one stays.
    if (!config) {
        finish_reload(state, nullptr, StringList());
        return;
    }
    forget_unusable_cache(*config);
    auto reload = std::make_unique<Reload>(
        state.events->base.get(), expand_options(options), options.config_path, std::move(config),
        [&state](ConfigPtr loaded, StringList images, std::vector<StringList> group_images) {
            const std::unique_ptr<Reload> done = std::move(state.reload);
            finish_reload(state, std::move(loaded), std::move(images), std::move(group_images));
        });
    if (!reload->started()) {
        report("Zelvo could not expand the sources of %s and keeps the previous configuration",
               options.config_path.c_str());
        finish_reload(state, nullptr, StringList());
        return;
    }
    state.reload = std::move(reload);
}

void steer_quit(DaemonState& state) {
    if (!state.quitting) {
        state.quitting = true;
        // A ring that will not be shown is not worth a second more.
        state.publisher->quit();
        state.reload.reset();
        state.rescan.reset();
        state.steering->drop_set();
        state.lists->quit();
        state.viewer->quit();
    }
    const timeval delay{1, 0};
    event_base_loopexit(state.events->base.get(), &delay);
}

void steer_pause(DaemonState& state, bool paused) {
    if (state.schedule->paused() == paused) return;
    log_notice(paused ? "Zelvo is paused" : "Zelvo is resumed");
    state.schedule->set_paused(paused, monitors_now(state));
    publish_status(state);
}




bool start_rescan(DaemonState& state) {
    if (state.reload || state.quitting) return false;
    state.rescan.reset();
    auto rescan = std::make_unique<Rescan>(
        state.events->base.get(), state.options, state.current, *state.rotation, expand_options(state.options),
        Rescan::Listener{[&state](const RingMergeCounts&, bool was_empty) {
                             ring_changed(state);
                             // The ring had nothing left, and the last image on screen is banned: the new ones come at once.
                             if (was_empty && !state.options.ring.empty()) {
                                 state.rotation->said_empty = false;
                                 show_next(state);
                             } else {
                                 publish_status(state);
                             }
                         },
                         [&state] { state.rescan.reset(); }});
    if (!rescan->started()) return false;
    state.rescan = std::move(rescan);
    return true;
}

ExpandOptions expand_options(const RunOptions& options) {
    ExpandOptions expand;
    expand.home = options.home;
    expand.banned_file = options.home + "/.zelvo/banned";
    expand.by_name = options.config && options.config->by_name;
    return expand;
}

DaemonStatus daemon_status(const DaemonState& state) {
    DaemonStatus status;
    status.pid = getpid();
    status.display = state.lock_display;
    status.interval = static_cast<std::uint32_t>(state.schedule->interval().tv_sec);
    status.last_change = state.publisher->last_change();
    status.next_change = state.schedule->next_change();
    status.paused = state.schedule->paused();
    if (const std::vector<std::string>* images = state.rotation->on_screen()) status.images = *images;
    // Each monitor's timing, where the monitors are the display's or keep their own.
    if (state.display->counting() || state.schedule->apart())
        status.monitors = state.schedule->timings(monitors_now(state));
    // When each picture reached the screen, from a viewer that can tell, for the monitors there are now.
    status.drawn = state.viewer->on_screen_times();
    if (!status.drawn.empty()) status.drawn.resize(status.images.size());
    return status;
}

void publish_status(const DaemonState& state) {
    if (state.runtime == nullptr) return;
    // A runtime directory gone with the session costs nothing but the file.
    write_status_file(*state.runtime, daemon_status(state));
}

int run_cycle(DaemonState& state) {
    RunOptions& options = state.options;
    state.current = ring_place_start(options.ring, options.ring.node());

    state.events = std::make_unique<EventSet>();
    EventSet& events = *state.events;
    events.base.reset(event_base_new());
    if (!events.base) std::abort();
    event_base* base = events.base.get();
    // From here on the log's lines that its socket cannot take yet wait for the loop.
    log_attach(base);
    // Before the first child: the daemon reaps its children itself.
    events.sigchld_event = take_signal(state, SIGCHLD, on_child);
    events.sigquit_event = take_signal(state, SIGQUIT, on_quit);
    events.sigterm_event = take_signal(state, SIGTERM, on_quit);
    events.sigint_event = take_signal(state, SIGINT, on_quit);
    events.sighup_event = take_signal(state, SIGHUP, on_reload);
    events.sigusr1_event = take_signal(state, SIGUSR1, on_skip);
    events.sigusr2_event = take_signal(state, SIGUSR2, on_reshuffle);
    events.sigrtmin_event = take_signal(state, previous_signal(), on_previous);
    // Signals that came during start-up have waited for their events.
    release_steering_signals();

    state.rotation = std::make_unique<Rotation>(options, state.current);
    state.rotation->start_group_places();
    state.schedule = std::make_unique<Schedule>(base, options, [&state] { on_timer(state); },
                                                [&state] { start_rescan(state); });
    state.schedule->arm_rescan();
    state.publisher = std::make_unique<Publisher>(
        base, options,
        Publisher::Hooks{[&state]() -> const std::string* {
                             const StringNode* first = state.rotation->first_monitor_next();
                             return first != nullptr ? &*first->value : nullptr;
                         },
                         [&state] { publish_status(state); }});
    state.display = std::make_unique<Display>(
        base, options,
        Display::Listener{[&state](const std::vector<std::optional<std::size_t>>& matched) {
                              on_monitors_changed(state, matched);
                          },
                          [&state] { on_recounted(state); },
                          [&state] {
                              if (state.viewer) state.viewer->display_dropping();
                              if (state.retired_viewer) state.retired_viewer->display_dropping();
                          }});
    state.lists = std::make_unique<ListEditor>(
        base, options,
        ListEditor::Listener{[&state](std::uint64_t client, const std::string& reply) {
                                 if (state.control) state.control->reply(client, reply);
                             },
                             [&state](const std::vector<std::string>& images) {
                                 if (state.rotation->ban(images) > 0) next_changed(state);
                                 show_next(state);
                             },
                             [&state](const std::vector<std::string>& images) { state.rotation->unban(images); }});
    state.steering = std::make_unique<Steering>(state);
    if (state.runtime != nullptr) remove_stale_swaybg_copies(state.runtime->path());
    if (state.control_socket.get() >= 0)
        state.control = std::make_unique<ControlServer>(base, std::move(state.control_socket),
                                                        [&state](ControlRequest request) {
                                                            state.steering->request(std::move(request));
                                                        });
    choose_viewer(state);
    // After detaching, which closes every descriptor: the first change comes
    // once the display's monitors are counted (or it counts as away), while
    // the loop already answers zelvoctl.
    state.display->connect([&state] {
        if (state.schedule->apart()) restart_timer(state);
        show_step(state);
    });
    event_base_loop(base, EVLOOP_NO_EXIT_ON_EMPTY);

    // Whatever is still at work ends now: a colour step, an expansion, a hook.
    state.display->drop();
    state.control.reset();
    state.steering.reset();
    state.lists.reset();
    state.rescan.reset();
    state.reload.reset();
    state.publisher->after_loop();
    state.viewer->after_loop();
    if (state.retired_viewer) state.retired_viewer->after_loop();
    // The owners' events go before the signals', in the order they were taken, and the base last.
    state.retired_viewer.reset();
    state.viewer.reset();
    state.display.reset();
    state.publisher.reset();
    state.schedule.reset();
    state.rotation.reset();
    std::unique_ptr<SignalEvent>* in_order[] = {&events.sigquit_event, &events.sigint_event,  &events.sigterm_event,
                                                &events.sighup_event,  &events.sigusr1_event, &events.sigusr2_event,
                                                &events.sigrtmin_event, &events.sigchld_event};
    hold_daemon_signals();
    for (std::unique_ptr<SignalEvent>* handle : in_order) handle->reset();
    log_detach();
    events.base.reset();
    // Their private folders go once they have ended; a viewer may run on.
    children_reap_killed();
    state.events.reset();
    return 0;
}

}  // namespace zelvo
