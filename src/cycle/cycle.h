#pragma once

// The wallpaper cycle: the daemon's state, the loop's handlers, and the one
// function that carries out a change. The state is a few owners, each with
// its own header and events:
//   Schedule   when changes come (schedule.h)
//   Rotation   which images come: the rings' places and the history (rotation.h)
//   Display    the display's monitors and their count (display.h)
//   Viewer     what puts the images on screen: feh, swaybg ... (viewer.h)
//   Publisher  what hears of a change: colours, exports, xrdb, hook, status (publisher.h)
// and the ways in: signals, the control socket's commands (steering.h), and
// the reload, the rescan and the edits of the lists in the background.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/run_options.h"
#include "control/runtime_directory.h"
#include "control/status_file.h"
#include "cycle/change.h"
#include "cycle/control_server.h"
#include "cycle/display.h"
#include "cycle/lists.h"
#include "cycle/publisher.h"
#include "cycle/reload.h"
#include "cycle/rescan.h"
#include "cycle/rotation.h"
#include "cycle/schedule.h"
#include "cycle/steering.h"
#include "cycle/viewer.h"
#include "images/ring_edit.h"
#include "support/event.h"

namespace zelvo {

class Steering;

// The event base and the signals the loop takes over; the base is declared
// first so that it outlives the events whichever way the set is released.
// The rotation timer is the schedule's.
struct EventSet {
    EventBasePtr base;
    std::unique_ptr<SignalEvent> sigquit_event;
    std::unique_ptr<SignalEvent> sigterm_event;
    std::unique_ptr<SignalEvent> sigint_event;
    std::unique_ptr<SignalEvent> sighup_event;
    std::unique_ptr<SignalEvent> sigusr1_event;
    std::unique_ptr<SignalEvent> sigusr2_event;
    std::unique_ptr<SignalEvent> sigrtmin_event;  // previous_signal()
    std::unique_ptr<SignalEvent> sigchld_event;   // the daemon reaps its children itself
};

// The running cycle's state, one per process. Start-up sets `options` and
// what it made for the display (its runtime directory, the display whose
// lock it holds, the control socket); run_cycle makes the rest. The
// viewer's launch vectors are the feh viewer's (feh_viewer.h), xrdb's the
// publisher's and the interval the schedule's.
struct DaemonState {
    explicit DaemonState(RunOptions& run_options) : options(run_options) {}

    RunOptions& options;
    // The current position: the node of the ring whose image the next change
    // shows first, borrowed from the ring, and the rest of its round.
    RingPlace current;
    std::unique_ptr<EventSet> events;

    const RuntimeDirectory* runtime = nullptr;
    std::string lock_display;
    UniqueDescriptor control_socket;

    std::unique_ptr<Schedule> schedule;
    std::unique_ptr<Rotation> rotation;
    std::unique_ptr<Display> display;
    std::unique_ptr<Viewer> viewer;
    ViewerKind viewer_named = ViewerKind::feh;  // the key that chose it
    // The viewer before a reload named another, while what it ends ends.
    std::unique_ptr<Viewer> retired_viewer;
    std::unique_ptr<Publisher> publisher;
    std::unique_ptr<ControlServer> control;
    std::unique_ptr<Steering> steering;
    std::unique_ptr<Reload> reload;
    std::unique_ptr<Rescan> rescan;
    std::unique_ptr<ListEditor> lists;
    // A quit signal has come: the loop ends within the second.
    bool quitting = false;
};

// Runs the wallpaper cycle until a quit signal has ended it; gives 0.
int run_cycle(DaemonState& state);

// Carries out a change: the viewer shows its images, the publisher begins
// its colours, the rotation records it; the rest follows once it is on
// screen and its colours are known. False when the viewer could not start it:
// then nothing changed, the status is published again and its closing line
// logged.
bool apply_change(DaemonState& state, Change change);

// Starts the rotation period afresh from now.
void restart_timer(DaemonState& state);

// One change of every monitor, from the ring (each monitor's own ring with
// "per-monitor"): the images that come next, after which the ring moves on.
// `closing` is logged once the change is complete, or at once when nothing
// could be shown.
void show_step(DaemonState& state, const char* closing = nullptr);

// What a signal or zelvoctl asks of the cycle; each logs what its signal
// logs. next and previous give false when there was nothing to show.
bool steer_next(DaemonState& state);
bool steer_previous(DaemonState& state);
void steer_reshuffle(DaemonState& state);
void steer_reload(DaemonState& state);
void steer_quit(DaemonState& state);
// Pauses or resumes the timer; a resumed timer starts a full period.
void steer_pause(DaemonState& state, bool paused);
// next and previous for one monitor (from 0); the others keep their images.
bool steer_next_monitor(DaemonState& state, std::size_t monitor);
bool steer_previous_monitor(DaemonState& state, std::size_t monitor);

// Starts a rescan of the Config's sources (one under way starts again),
// unless a reload, which expands them anyway, is under way; false when none
// could start.
bool start_rescan(DaemonState& state);

// The status as zelvoctl's status and current read it, and the status file
// replaced with it (a file that cannot be written is left for the next change).
DaemonStatus daemon_status(const DaemonState& state);
void publish_status(const DaemonState& state);

// The expansion's options for the Config in force.
ExpandOptions expand_options(const RunOptions& options);

}  // namespace zelvo
