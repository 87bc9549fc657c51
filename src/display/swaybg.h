#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "display/monitor.h"
#include "images/launch_vector.h"

namespace zelvo {

using ViewerClock = std::chrono::steady_clock;

// How long a new swaybg is given to draw before the one it replaces is
// ended. swaybg never says that it has drawn, no protocol of sway's shows
// another client's surfaces, and sway stacks a new wallpaper below the one
// already there, so that no screenshot can see it either: the wait is a
// bound. Measured from swaybg's start to its first frame on sway 1.7 with
// swaybg 1.2 (bench/wayland_bench.py, 20 runs each): a 64x48 PNG 19 ms
// (93 ms at most), a 3840x2160 JPEG 159 ms (403 ms at most); with both cores
// busy 36 ms (57) and 303 ms (447). The bound is twice the slowest of these,
// rounded up; every change reaches the screen that much later.
inline constexpr std::chrono::milliseconds swaybg_handover{1000};

// How long an ended swaybg has between SIGTERM and SIGKILL.
inline constexpr std::chrono::milliseconds swaybg_grace{500};

// The swaybg mode that does what a feh bg-style does: "--bg-scale" is
// "stretch", "--bg-fill" "fill", "--bg-max" "fit", "--bg-center" "center",
// "--bg-tile" "tile"; any other style is feh's default, "stretch".
const char* swaybg_mode(const std::string& bg_style);

// One output of a swaybg call: its name, its image and its mode.
struct SwaybgOutput {
    std::string name;
    std::string image;
    std::string mode;
};

// swaybg's argument vector: "zelvo-swaybg", then "-o NAME -i IMAGE -m MODE"
// for each output in turn.
LaunchVector build_swaybg_argv(const std::vector<SwaybgOutput>& outputs);

// swaybg's whole environment: WAYLAND_DISPLAY, XDG_RUNTIME_DIR and HOME,
// each where it is present.
LaunchVector build_swaybg_envp(const std::optional<std::string>& wayland_display,
                               const std::optional<std::string>& runtime_directory,
                               const std::optional<std::string>& home);

// One start of swaybg; kept until it can be made.
struct SwaybgCall {
    std::string program;
    LaunchVector argv;
    LaunchVector envp;
};

// What the viewer asks of processes. Whoever implements it reaps the
// children and tells the viewer of each end (SwaybgHandover::on_child_ended);
// until then the child's pid is still its own, and safe to signal.
class ViewerProcesses {
public:
    virtual ~ViewerProcesses() = default;
    // Starts the call's program, never searched for on PATH, as the leader
    // of a process group of its own. A child whose
    // exec fails logs "swaybg was not in your path. the swaybg path can also
    // be defined in the config" and ends. Gives the child's pid; none, after
    // a line, when no process could be made.
    virtual std::optional<pid_t> start(const SwaybgCall& call) = 0;
    // Signals the child's whole group.
    virtual void signal(pid_t child, int number) = 0;
};

// Processes made by fork and execve, and signalled with kill.
class ForkedProcesses final : public ViewerProcesses {
public:
    std::optional<pid_t> start(const SwaybgCall& call) override;
    void signal(pid_t child, int number) override;
};

// The swaybg processes of one Wayland display, as a state machine that the
// loop drives: a change (show), the end of a child (on_child_ended) and a
// timer at deadline() (on_deadline). Every step returns at once.
//
// One swaybg is on screen. A change starts a new one; the one on screen is
// ended only when the new one has had swaybg_handover to draw, so that the
// screen goes from one wallpaper to the next. A new one that ends before
// then leaves the one on screen as it is. Never more than two are alive: a
// change during a handover ends the swaybg that has not taken over yet, and
// a change that finds two alive waits until one has ended.
class SwaybgHandover {
public:
    explicit SwaybgHandover(ViewerProcesses& processes, std::chrono::milliseconds handover = swaybg_handover,
                          std::chrono::milliseconds grace = swaybg_grace);
    SwaybgHandover(const SwaybgHandover&) = delete;
    SwaybgHandover& operator=(const SwaybgHandover&) = delete;

    // Shows the call's images: starts its swaybg now, or as soon as one of
    // two alive has ended. A later call replaces one still waiting.
    void show(SwaybgCall call, ViewerClock::time_point now);
    // A child has ended and been reaped; false when it was none of the viewer's.
    bool on_child_ended(pid_t child, ViewerClock::time_point now);
    // The time of the next step, when one is due: on_deadline then.
    std::optional<ViewerClock::time_point> deadline() const;
    void on_deadline(ViewerClock::time_point now);
    // Ends every swaybg and forgets a change still waiting: on quit. The
    // children are told with SIGTERM now and SIGKILL at deadline().
    void end_all(ViewerClock::time_point now);

    // The swaybg processes not yet reported ended.
    std::size_t alive() const;
    // Their pids, for whoever reaps them.
    std::vector<pid_t> children() const;
    // The swaybg that shows the wallpaper, or took over last.
    std::optional<pid_t> on_screen() const { return on_screen_; }
    // The swaybg that is to take over at the end of its handover.
    std::optional<pid_t> taking_over() const;

private:
    struct Incoming {
        pid_t pid;
        ViewerClock::time_point takes_over;
    };
    struct Leaving {
        pid_t pid;
        std::optional<ViewerClock::time_point> kill_at;  // none once SIGKILL is sent
    };

    void start_wanted(ViewerClock::time_point now);
    void end(pid_t child, ViewerClock::time_point now);

    ViewerProcesses& processes_;
    std::chrono::milliseconds handover_;
    std::chrono::milliseconds grace_;
    std::optional<pid_t> on_screen_;
    std::optional<Incoming> incoming_;
    std::vector<Leaving> leaving_;
    std::optional<SwaybgCall> wanted_;
};

}  // namespace zelvo
