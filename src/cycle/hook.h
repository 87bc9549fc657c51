#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "images/launch_vector.h"
#include "images/string_list.h"
#include "support/event.h"
#include "support/process.h"

namespace zelvo {

// How long the hook of the change before gets to end after SIGTERM, and
// again after SIGKILL, before the next one starts all the same.
inline constexpr std::chrono::milliseconds hook_grace{200};

// The hook of each change: a program started with the images just shown. It
// runs in a process group of its own, and its processes alone hold the write
// end of a pipe whose read end the loop watches: while the pipe is held, some
// process of the hook still runs. The hook's first process leads the group
// and is reaped only once the group will not be signalled again, so the
// group's id cannot go to a stranger meanwhile, even when that process has
// ended and left others behind (`setsid prog &` in a hook). Nothing here ever
// waits: ending a hook is a few steps that the loop's events drive.
class HookRunner {
public:
    explicit HookRunner(event_base* base);
    ~HookRunner();
    HookRunner(const HookRunner&) = delete;
    HookRunner& operator=(const HookRunner&) = delete;

    // Starts the program (none when empty) with the images appended as
    // arguments, never through a shell: a name without a slash is searched
    // for on PATH. Its environment is the daemon's own with ZELVO_MONITORS
    // (the number of images) and, with a colour file, ZELVO_COLORS; its
    // standard streams are the daemon's, which lead to /dev/null. A hook of an
    // earlier change that still runs is ended first (see stop); the latest
    // start asked for wins, so starts asked for meanwhile never run. A hook
    // that cannot be started costs one line naming the program and the reason.
    void start(const StringList& program, const std::vector<std::string>& images, const std::string* colour_file);

    // Ends the hook that runs, if any, and starts none from now on: its
    // group gets SIGTERM, then SIGKILL after hook_grace, unless all its
    // processes have let go of the pipe, which no signal then follows.
    void stop();

    // At the daemon's very end: whatever still holds the pipe is killed at once.
    void kill_now();

    // Whether a hook is still being ended or still holds its pipe.
    bool busy() const { return group_ > 0; }

private:
    struct Start {
        std::vector<std::string> argv;
        LaunchVector envp;
    };

    void end_running();
    void launch(Start& start);
    void ended();
    void released();
    static void on_watch(evutil_socket_t, short, void* argument);
    static void on_grace(evutil_socket_t, short, void* argument);

    event_base* base_;
    pid_t group_ = -1;           // the hook's first process and its group
    UniqueDescriptor watch_;     // the pipe, until all of the hook let go of it
    EventPtr watching_;
    EventPtr grace_;
    int signals_sent_ = 0;       // 0, then SIGTERM, then SIGKILL
    bool ending_ = false;
    bool stopped_ = false;
    std::optional<Start> waiting_;  // the start asked for, once the running hook has ended
};

}  // namespace zelvo
