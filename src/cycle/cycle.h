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
#include "images/expander.h"
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
    EventPtr sigchld_event;   // the daemon reaps its children itself
    EventPtr timer_event;
};

// A change whose viewer has started and whose colours are still being made:
// the colour file, the exports, the terminals, xrdb and the hook follow once
// they are known. A newer change supersedes it: its colour step is ended and
// its colours are never published.
struct PendingChange {
    std::vector<std::string> images;        // on screen, one per monitor
    std::unique_ptr<ColourWatch> colours;   // none with colours off
    std::vector<const char*> closing;       // lines logged once it is complete
};

// A reload whose new configuration is read and whose sources are being
// expanded in the background, while the old ring goes on serving.
struct PendingReload {
    ConfigPtr config;
    std::unique_ptr<ExpansionChild> expansion;
    EventPtr readable;
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
    std::unique_ptr<ColourWatch> prepared;
    // The last change, while its colours are being made.
    std::unique_ptr<PendingChange> change;
    // A reload under way.
    std::unique_ptr<PendingReload> reload;
    // The hook of each change.
    std::unique_ptr<HookRunner> hooks;
    // A quit signal has come: the loop ends within the second.
    bool quitting = false;
};

// Runs the wallpaper cycle until a quit signal has ended it; gives 0.
int run_cycle(DaemonState& state);

// The rotation period: -t minutes when 1 or more, else the Config's minutes
// when 1 or more, else 1800; never more than the 32-bit interval holds.
std::uint32_t interval_seconds(const RunOptions& options);

// Starts the rotation period afresh from now.
void restart_timer(DaemonState& state);

// One wallpaper change: start the viewer on the queued images, then move the
// ring on by the monitor count and queue the next images; the rest of the
// change follows (see begin_change). `closing` is logged once the change is
// complete, or at once when the viewer could not be started.
void show_step(DaemonState& state, const char* closing = nullptr);

// The start of every change, for the images in the viewer vector's slots
// (from entry 3 to its terminator): the viewer starts at once, and, when the
// Config enables colours, the colour step of the first image begins. A
// change still under way is superseded. False, after a log line, when the
// viewer could not be started: then nothing changed.
bool begin_change(DaemonState& state, char* const* viewer_argv);

// Completes the change begun last once its colours are known (at once with
// colours off): the colour file, the exports, the terminals and xrdb, then
// the hook, the status and the preparation of the next colours.
void settle_change(DaemonState& state);

// Replaces the status file with the state as it is now; a file that cannot
// be written is left for the next change to try again.
void publish_status(const DaemonState& state);

}  // namespace zelvo
