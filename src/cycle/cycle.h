#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <sys/time.h>

#include "config/run_options.h"
#include "control/runtime_directory.h"
#include "cycle/colours.h"
#include "cycle/history.h"
#include "cycle/hook.h"
#include "cycle/launch.h"
#include "images/launch_vector.h"
#include "images/string_list.h"
#include "support/event.h"

namespace zelvo {

// The event base and its eight events; the base is declared first so that
// it outlives the events whichever way the set is released.
struct EventSet {
    EventBasePtr base;
    EventPtr sigquit_event;
    EventPtr sigterm_event;
    EventPtr sigint_event;
    EventPtr sighup_event;
    EventPtr sigusr1_event;
    EventPtr sigusr2_event;
    EventPtr sigrtmin_event;  // previous_signal()
    EventPtr timer_event;
};

// The running cycle's state, one per process. Start-up sets `options`;
// run_cycle fills in the rest. Each launch vector keeps its own count.
struct DaemonState {
    explicit DaemonState(RunOptions& run_options) : options(run_options) {}

    RunOptions& options;
    StringNode* current = nullptr;  // borrowed from the ring
    std::string viewer_program;
    ViewerArgv viewer_argv;
    LaunchVector viewer_envp;
    std::string xrdb_program;
    LaunchVector xrdb_argv;
    timeval interval{0, 0};
    std::unique_ptr<EventSet> events;

    // What zelvoctl reads: the sets shown, when the last change came and the
    // next is due, published in the status file of the display whose lock
    // start-up took (none: nothing is published).
    ShownHistory shown;
    std::optional<std::time_t> last_change;
    std::time_t next_change = 0;
    const RuntimeDirectory* runtime = nullptr;
    std::string lock_display;

    // The colours of the next change, being made or made already.
    std::unique_ptr<PreparedColours> prepared;

    // The hook of the last change, which the next change ends if it still runs.
    std::optional<HookProcess> hook;
};

// Runs the wallpaper cycle until a quit signal has ended it; gives 0.
int run_cycle(DaemonState& state);

// The rotation period: -t minutes when 1 or more, else the Config's minutes
// when 1 or more, else 1800; never more than the 32-bit interval holds.
std::uint32_t interval_seconds(const RunOptions& options);

// Starts the rotation period afresh from now.
void restart_timer(DaemonState& state);

// One wallpaper change: start the viewer on the queued images, then move the
// ring on by the monitor count and queue the next images.
void show_step(DaemonState& state);

// Everything a change does, for the images in the viewer vector's slots
// (from entry 3 to its terminator): the viewer, then, when the Config enables
// them, the colour file from the first image, the exports, the terminals and
// xrdb, and last the hook. False, after a log line, when the viewer could not
// be started: then nothing changed.
bool show_images(DaemonState& state, char* const* viewer_argv);

// Replaces the status file with the state as it is now; a file that cannot
// be written is left for the next change to try again.
void publish_status(const DaemonState& state);

}  // namespace zelvo
