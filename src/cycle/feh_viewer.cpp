#include "cycle/feh_viewer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "config/run_options.h"
#include "cycle/launch.h"
#include "process/children.h"
#include "support/log.h"
#include "process/process.h"

namespace zelvo {

FehViewer::FehViewer(const ViewerSetting& setting)
    : options_(setting.options), bound_(setting.base, [this] { overdue(); }) {
    reconfigure();
}

FehViewer::~FehViewer() { after_loop(); }

void FehViewer::reconfigure() {
    // The Config's path where it names one, else the one found on PATH at start-up.
    viewer_program = options_.config->feh_path.value_or(options_.feh_path);
    release_vector(viewer_envp);
    viewer_envp = build_viewer_envp(options_.display, options_.xauthority, options_.home);
}

bool FehViewer::show(const Change& change) {
    LaunchVector viewer_argv = build_viewer_argv(options_.config->bg_style, change.images);
    if (running_ <= 0) return start(viewer_argv);
    waiting_ = std::move(viewer_argv);
    const auto at_work = std::chrono::steady_clock::now() - started_;
    if (at_work >= feh_bound)
        overdue();
    else
        bound_.schedule(feh_bound - at_work);
    return true;
}

bool FehViewer::start(const LaunchVector& viewer_argv) {
    const pid_t child = fork_child();
    if (child < 0) {
        report("Zelvo could not start feh: fork failed: %s", std::strerror(errno));
        return false;
    }
    if (child == 0) {
        execve(viewer_program.c_str(), viewer_argv.entries(), viewer_envp.entries());
        // The child of a failed exec says so and ends at once: it must not
        // return into the daemon's code, run its clean-up or flush its output.
        log_notice("feh was not in your path. the feh path can also be defined in the config");
        _exit(127);
    }
    running_ = child;
    started_ = std::chrono::steady_clock::now();
    return true;
}

// The feh at work has taken too long while a change waits: it goes, and the
// change follows once it has ended. Unreaped until then, its pid is its own.
void FehViewer::overdue() {
    if (running_ > 0 && waiting_) kill(running_, SIGKILL);
}

void FehViewer::child_ended() {
    if (running_ <= 0 || !zelvo::child_ended(running_)) return;
    // It has ended: it is reaped at once.
    children_forget(running_, ChildFate::running);
    running_ = -1;
    bound_.cancel();
    if (!waiting_) return;
    const LaunchVector viewer_argv = std::move(*waiting_);
    waiting_.reset();
    start(viewer_argv);
}

void FehViewer::after_loop() {
    bound_.cancel();
    if (running_ <= 0) return;
    if (waiting_) {
        // The last change asked for is drawn last, after the one at work,
        // which goes now rather than after it.
        kill(running_, SIGKILL);
        while (waitpid(running_, nullptr, 0) < 0 && errno == EINTR) {
        }
        running_ = -1;
        LaunchVector viewer_argv = std::move(*waiting_);
        waiting_.reset();
        if (!start(viewer_argv)) return;
    }
    // It is left to finish drawing, and reaped whenever it ends.
    children_forget(running_, ChildFate::running);
    running_ = -1;
}

}  // namespace zelvo
