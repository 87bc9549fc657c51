#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "colour/colour_child.h"
#include "cycle/cycle.h"
#include "support/log.h"
#include "support/process.h"

namespace zelvo {

namespace {

// The child of a failed exec says so and ends at once: it must not return
// into the daemon's code, run its clean-up or flush its buffered output.
[[noreturn]] void end_failed_child(const char* first, const char* second) {
    log_notice(first);
    if (second != nullptr) log_notice(second);
    _exit(127);
}

// Starts xrdb on the daemon's own environment; its program path is searched
// for on PATH when it has no slash.
void start_xrdb(const DaemonState& state) {
    const pid_t child = fork_child();
    if (child < 0) {
        report("Zelvo could not start xrdb: fork failed: %s", std::strerror(errno));
        return;
    }
    if (child > 0) return;
    execvp(state.xrdb_program.c_str(), state.xrdb_argv.entries());
    end_failed_child("xrdb was not in your path. the xrdb path can also be defined in the config",
                     "Could xrdb not be installed?");
}

}  // namespace

void show_step(DaemonState& state) {
    const pid_t child = fork_child();
    if (child < 0) {
        // The images stay queued: the next change tries them again.
        report("Zelvo could not start feh: fork failed: %s", std::strerror(errno));
        return;
    }
    if (child == 0) {
        execve(state.viewer_program.c_str(), state.viewer_argv.entries(), state.viewer_envp.entries());
        end_failed_child("feh was not in your path. the feh path can also be defined in the config", nullptr);
    }

    const Config& config = *state.options.config;
    if (config.colors) {
        // From the image of the first monitor, and complete before xrdb loads it.
        write_color_file_in_child(state.options.home, *state.current->value, config.dark != 0);
        if (config.use_xrdb) start_xrdb(state);
    }

    state.current = ring_advance(state.current, monitor_count(state.options));
    refill_image_slots(state.viewer_argv, state.current, state.viewer_argv.count());
}

}  // namespace zelvo
