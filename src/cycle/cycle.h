#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <vector>
#include <memory>
#include <optional>
#include <string>
#include <sys/time.h>

#include "colour/colour_file.h"
#include "colour/palette_cache.h"
#include "config/monitors.h"
#include "config/run_options.h"
#include "control/runtime_directory.h"
#include "control/status_file.h"
#include "cycle/colours.h"
#include "cycle/control_server.h"
#include "cycle/history.h"
#include "cycle/hook.h"
#include "cycle/launch.h"
#include "display/monitor_source.h"
#include "display/swaybg.h"
#include "images/expander.h"
#include "images/launch_vector.h"
#include "images/ring_edit.h"
#include "images/string_list.h"
#include "support/event.h"
#include "support/process.h"
#include "support/worker_job.h"

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
    EventPtr rescan_event;    // the "rescan" key's period
};

// A change whose viewer has started and whose colours are still being made:
// the colour file, the exports, the terminals, xrdb and the hook follow once
// they are known. A newer change supersedes it: its colour step is ended and
// its colours are never published.
struct PendingChange {
    std::vector<std::string> images;        // on screen, one per monitor
    std::unique_ptr<ColourWatch> colours;   // none with colours off
    // The first monitor keeps its image: the palette, the colour file and
    // what follows from them stay as they are.
    bool colours_stay = false;
    std::vector<const char*> closing;       // lines logged once it is complete
};

// A reload whose new configuration is read and whose sources are being
// expanded in the background, while the old ring goes on serving.
struct PendingReload {
    ConfigPtr config;
    std::unique_ptr<ExpansionChild> expansion;
    EventPtr readable;
    // The main sources come first; then the groups of "per-monitor" that
    // name sources of their own, one after the other.
    bool main_done = false;
    StringList images;
    std::size_t group = 0;
    std::vector<StringList> group_images;
};

// A rescan: the sources expanded again in the background, then merged into
// the ring a slice at a time.
struct PendingRescan {
    std::unique_ptr<ExpansionChild> expansion;
    EventPtr readable;
    std::unique_ptr<RingMerge> merge;
    EventPtr slice;
    bool applied = false;
};

// A set whose files are being checked by the prober; its client waits.
struct PendingSet {
    std::uint64_t client = 0;
    std::optional<std::size_t> monitor;  // -n: this monitor alone (from 0)
    std::vector<std::string> files;
    std::unique_ptr<ExpansionChild> check;
    EventPtr readable;
    EventPtr overdue;
};

// An edit of the favourites or the banned images, asked for by a client.
struct ListRequest {
    enum class Kind { favourite, ban, unban } kind;
    std::uint64_t client = 0;
    std::vector<std::string> paths;  // the images on screen, or the one to unban
};

// The running cycle's state, one per process. Start-up sets `options`;
// run_cycle fills in the rest. Each launch vector keeps its own count.
struct DaemonState {
    explicit DaemonState(RunOptions& run_options) : options(run_options) {}

    RunOptions& options;
    // Where the cycle stands in the ring; its node is borrowed from the ring.
    RingPlace place;
    // Counts the edits of the ring's links (a shuffle, a ban, a merge, a
    // reload), so that a merge under way knows to walk it again.
    std::uint64_t ring_generation = 0;
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
    std::optional<std::time_t> next_change;  // none while paused
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

    // While paused the timer changes nothing.
    bool paused = false;
    // The ring lost its last image, and the daemon said so.
    bool said_empty = false;
    // The palette of the last complete change, as the colour file has it;
    // none with colours off.
    std::optional<Palette> palette;
    // The control socket, listening once start-up has taken the display's lock.
    UniqueDescriptor control_socket;
    std::unique_ptr<ControlServer> control;
    std::unique_ptr<PendingRescan> rescan;
    std::unique_ptr<PendingSet> set;
    // Edits of the lists, one at a time, in the order asked for.
    std::deque<ListRequest> list_requests;
    std::unique_ptr<WorkerJob> list_job;
    PaletteCachePruner cache_pruner;
    // The images banned while the daemon runs: going back passes over them.
    std::vector<std::string> banned;

    // Where the cycle stands in each group's ring of "per-monitor", as
    // `place` does in the main ring; one for each of options.monitor_rings.
    std::vector<RingPlace> group_places;
    // With "per-monitor": each monitor's next change, in feh's order.
    std::vector<MonitorClock::time_point> monitor_next;
    // With "monitors" = "auto": the one connection to the display, and its
    // monitors as the loop last heard of them.
    std::unique_ptr<MonitorSource> display;
    std::vector<Monitor> monitors;
    int display_descriptor = -1;  // the descriptor that display_readable watches
    EventPtr display_readable;
    // Tries to reach a display that has gone, or reads one that is behind.
    EventPtr display_retry;
    int display_retry_seconds = 0;
    bool display_away_said = false;

    // With "viewer" = "swaybg": its swaybg processes, the timer of their
    // handovers, and the image each output was given last.
    std::string swaybg_program;
    ForkedProcesses swaybg_processes;
    std::unique_ptr<SwaybgViewer> swaybg;
    EventPtr swaybg_timer;
    std::vector<SwaybgOutput> swaybg_outputs;
    // swaybg reads only files: the images of the last change as asked for,
    // the URLs among them fetched to private copies in the runtime
    // directory (URL, file), the fetch under way, and the URLs that could
    // not be fetched for these images.
    std::vector<std::string> swaybg_images;
    std::vector<std::pair<std::string, std::string>> swaybg_copies;
    std::unique_ptr<WorkerJob> swaybg_fetch;
    std::vector<std::string> swaybg_unfetched;
    std::uint64_t swaybg_copy_count = 0;
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

// Starts the viewer with this vector (its image slots from entry 3 on); false,
// after a log line, when it could not be started.
bool start_viewer(DaemonState& state, char* const* viewer_argv);

// The start of every change, for the images in the viewer vector's slots
// (from entry 3 to its terminator): the viewer starts at once, and, when the
// Config enables colours, the colour step of the first image begins. A
// change still under way is superseded. With `colours_stay` the first image
// is the one on screen already: its colours are not made again (one still
// being made for it goes on). False, after a log line, when the viewer could
// not be started: then nothing changed.
bool begin_change(DaemonState& state, char* const* viewer_argv, bool colours_stay = false);

// The viewer step with swaybg: every output gets its monitor's image from
// the slots (from entry 3 to the terminator; an output beyond them takes
// them again from the first) in its monitor's mode, and the swaybg on screen
// is handed over to the new one. False, after a line, when none could start.
bool start_swaybg(DaemonState& state, char* const* viewer_argv);
// On SIGCHLD: the swaybg processes that have ended are told to the viewer,
// and only then reaped.
void swaybg_children_ended(DaemonState& state);
// Ends every swaybg (on quit, or when a reload goes back to feh).
void end_swaybg(DaemonState& state);
// After the loop: the swaybg processes still alive are killed, to be reaped
// with the daemon's other killed children.
void swaybg_after_loop(DaemonState& state);

// Completes the change begun last once its colours are known (at once with
// colours off): the colour file, the exports, the terminals and xrdb, then
// the hook, the status and the preparation of the next colours.
void settle_change(DaemonState& state);

// Replaces the status file with the state as it is now; a file that cannot
// be written is left for the next change to try again.
void publish_status(const DaemonState& state);

// The status as zelvoctl's status and current read it.
DaemonStatus daemon_status(const DaemonState& state);

// What a signal or zelvoctl asks of the cycle; each logs what its signal
// logs. next and previous give false when there was nothing to show.
bool steer_next(DaemonState& state);
bool steer_previous(DaemonState& state);
void steer_reshuffle(DaemonState& state);
void steer_reload(DaemonState& state);
void steer_quit(DaemonState& state);
// Pauses or resumes the timer; a resumed timer starts a full period.
void steer_pause(DaemonState& state, bool paused);

// After every edit of the ring's links: a new generation, the viewer's
// image slots filled from the place, colours prepared for other images dropped.
void ring_changed(DaemonState& state);
// After the place or the monitor count moved: the viewer's vector filled
// afresh, colours prepared for other images dropped.
void queue_changed(DaemonState& state);

// An image of an earlier set can still be shown: a file that is there, or a
// URL, and not banned since.
bool image_still_there(const DaemonState& state, const std::string& image);

// Whether the monitors keep schedules of their own: "per-monitor" is in force.
bool monitors_timed_apart(const DaemonState& state);

// The node whose image the first monitor shows at its next change; none
// when its ring is empty.
StringNode* first_monitor_next(const DaemonState& state);

// A change of some monitors: each monitor without an image in `keep` takes
// the next image of its ring (its group's, else the main one) and the others
// keep theirs; the viewer is given every monitor's image. The palette is
// made again only when the first monitor's image changes. With `redraw`,
// the viewer starts even when no monitor has a new image (the monitors
// moved). False when nothing was shown.
bool change_monitors(DaemonState& state, std::vector<std::optional<std::string>> keep, const char* closing,
                     bool redraw = false);

// With "per-monitor": every monitor's period starts afresh from now, or only
// this one's; the timer waits for the earliest change.
void restart_monitor_timers(DaemonState& state, std::optional<std::size_t> only = std::nullopt);
// The timer came: the monitors that are due change.
void monitors_due_now(DaemonState& state);

// next, previous and set for one monitor (from 0); the others keep their images.
bool steer_next_monitor(DaemonState& state, std::size_t monitor);
bool steer_previous_monitor(DaemonState& state, std::size_t monitor);

// Reshuffles the rings of the groups, each on its own.
void reshuffle_group_rings(DaemonState& state);
// The group rings of the Config in force take their new images: their places start anew.
void start_group_places(DaemonState& state);

// With "monitors" = "auto" (and no -m): connects to the display, or connects
// again, and counts its monitors; one that cannot be reached counts one
// monitor, after one line, and is tried again. Without them: no connection.
// For start-up and every reload; the change follows.
void connect_display(DaemonState& state);
// A display that could not be reached is tried again before a change.
void reach_display_before_change(DaemonState& state);
// The connection goes, before the loop's events do.
void drop_display(DaemonState& state);

// Each monitor's period and next change, for the status; none without the
// keys "monitors" = "auto" and "per-monitor".
std::vector<MonitorTiming> monitor_timings(const DaemonState& state);

// What a change after a ban needs: the next images, or, when the ring is
// empty, one line that says so.
void show_next(DaemonState& state);

// The expansion's options for the Config in force.
ExpandOptions expand_options(const RunOptions& options);

// Starts a rescan of the Config's sources (one under way starts again),
// unless a reload, which expands them anyway, is under way.
void start_rescan(DaemonState& state);
// Arms the "rescan" key's timer as the Config in force says.
void arm_rescan_timer(DaemonState& state);

// Answers a request that came through the control socket.
void control_request(DaemonState& state, ControlRequest request);

// Starts the next edit of a list that waits, unless one is at work.
void run_list_requests(DaemonState& state);

}  // namespace zelvo
