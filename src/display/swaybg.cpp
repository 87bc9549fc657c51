#include "display/swaybg.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>
#include <utility>

#include "support/log.h"
#include "process/process.h"

namespace zelvo {

const char* swaybg_mode(const std::string& bg_style) {
    static constexpr std::pair<const char*, const char*> modes[] = {
        {"--bg-scale", "stretch"}, {"--bg-fill", "fill"}, {"--bg-max", "fit"},
        {"--bg-center", "center"}, {"--bg-tile", "tile"},
    };
    for (const auto& [style, mode] : modes)
        if (bg_style == style) return mode;
    return "stretch";
}

LaunchVector build_swaybg_argv(const std::vector<SwaybgOutput>& outputs) {
    std::vector<std::string> entries = {"zelvo-swaybg"};
    for (const SwaybgOutput& output : outputs)
        entries.insert(entries.end(), {"-o", output.name, "-i", output.image, "-m", output.mode});
    return LaunchVector(std::move(entries));
}

LaunchVector build_swaybg_envp(const std::optional<std::string>& wayland_display,
                               const std::optional<std::string>& runtime_directory,
                               const std::optional<std::string>& home) {
    std::vector<std::string> entries;
    if (wayland_display) entries.push_back("WAYLAND_DISPLAY=" + *wayland_display);
    if (runtime_directory) entries.push_back("XDG_RUNTIME_DIR=" + *runtime_directory);
    if (home) entries.push_back("HOME=" + *home);
    return LaunchVector(std::move(entries));
}

std::optional<pid_t> ForkedProcesses::start(const SwaybgCall& call) {
    const pid_t child = fork_child();
    if (child < 0) {
        report("Zelvo could not start swaybg: fork failed: %s", std::strerror(errno));
        return std::nullopt;
    }
    if (child == 0) {
        // A group of its own, which it leads: whatever it starts ends with it.
        setpgid(0, 0);
        execve(call.program.c_str(), call.argv.entries(), call.envp.entries());
        // As after feh's failed exec: nothing of the daemon's may run here.
        log_notice("swaybg was not in your path. the swaybg path can also be defined in the config");
        _exit(127);
    }
    // Either side may set the group first; a signal to it needs it set.
    setpgid(child, child);
    return child;
}

// The child is unreaped until it has been told its last signal, so its group is still its own.
void ForkedProcesses::signal(pid_t child, int number) { kill(-child, number); }

SwaybgHandover::SwaybgHandover(ViewerProcesses& processes, std::chrono::milliseconds handover,
                               std::chrono::milliseconds grace)
    : processes_(processes), handover_(handover), grace_(grace) {}

std::size_t SwaybgHandover::alive() const {
    return (on_screen_ ? 1 : 0) + (incoming_ ? 1 : 0) + leaving_.size();
}

std::vector<pid_t> SwaybgHandover::children() const {
    std::vector<pid_t> pids;
    if (on_screen_) pids.push_back(*on_screen_);
    if (incoming_) pids.push_back(incoming_->pid);
    for (const Leaving& leaving : leaving_) pids.push_back(leaving.pid);
    return pids;
}

std::optional<pid_t> SwaybgHandover::taking_over() const {
    if (!incoming_) return std::nullopt;
    return incoming_->pid;
}

void SwaybgHandover::end(pid_t child, ViewerClock::time_point now) {
    processes_.signal(child, SIGTERM);
    leaving_.push_back(Leaving{child, now + grace_});
}

void SwaybgHandover::start_wanted(ViewerClock::time_point now) {
    if (!wanted_) return;
    // The one that has not taken over yet shows nothing that the one on
    // screen does not cover: it goes, and the newest change takes its place.
    if (incoming_) {
        end(incoming_->pid, now);
        incoming_.reset();
    }
    if (alive() >= 2) return;
    const std::optional<pid_t> child = processes_.start(*wanted_);
    wanted_.reset();
    if (!child) return;
    if (on_screen_)
        incoming_ = Incoming{*child, now + handover_};
    else
        on_screen_ = *child;  // nothing on screen to hand over from
}

void SwaybgHandover::show(SwaybgCall call, ViewerClock::time_point now) {
    wanted_ = std::move(call);
    start_wanted(now);
}

bool SwaybgHandover::on_child_ended(pid_t child, ViewerClock::time_point now) {
    if (incoming_ && incoming_->pid == child) {
        // It ended before it took over: the one on screen stays.
        incoming_.reset();
    } else if (on_screen_ && on_screen_ == child) {
        // Gone with its compositor, or crashed: one taking over does so now,
        // since nothing covers it any more; else the next change starts one.
        on_screen_.reset();
        if (incoming_) {
            on_screen_ = incoming_->pid;
            incoming_.reset();
        }
    } else {
        auto found = std::find_if(leaving_.begin(), leaving_.end(),
                                  [child](const Leaving& leaving) { return leaving.pid == child; });
        if (found == leaving_.end()) return false;
        leaving_.erase(found);
    }
    start_wanted(now);
    return true;
}

std::optional<ViewerClock::time_point> SwaybgHandover::deadline() const {
    std::optional<ViewerClock::time_point> first;
    if (incoming_) first = incoming_->takes_over;
    for (const Leaving& leaving : leaving_) {
        if (leaving.kill_at && (!first || *leaving.kill_at < *first)) first = leaving.kill_at;
    }
    return first;
}

void SwaybgHandover::on_deadline(ViewerClock::time_point now) {
    for (Leaving& leaving : leaving_) {
        if (leaving.kill_at && *leaving.kill_at <= now) {
            processes_.signal(leaving.pid, SIGKILL);
            leaving.kill_at.reset();
        }
    }
    if (incoming_ && incoming_->takes_over <= now) {
        const std::optional<pid_t> previous = on_screen_;
        on_screen_ = incoming_->pid;
        incoming_.reset();
        if (previous) end(*previous, now);
    }
    start_wanted(now);
}

void SwaybgHandover::end_all(ViewerClock::time_point now) {
    wanted_.reset();
    if (incoming_) end(incoming_->pid, now);
    if (on_screen_) end(*on_screen_, now);
    incoming_.reset();
    on_screen_.reset();
}

}  // namespace zelvo
