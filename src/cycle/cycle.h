#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/time.h>

#include "config/run_options.h"
#include "cycle/launch.h"
#include "images/launch_vector.h"
#include "images/string_list.h"
#include "support/event.h"

namespace zelvo {

// The event base and its seven events; the base is declared first so that
// it outlives the events whichever way the set is released.
struct EventSet {
    EventBasePtr base;
    EventPtr sigquit_event;
    EventPtr sigterm_event;
    EventPtr sigint_event;
    EventPtr sighup_event;
    EventPtr sigusr1_event;
    EventPtr sigusr2_event;
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

}  // namespace zelvo
