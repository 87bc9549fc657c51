#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "images/launch_vector.h"
#include "images/string_list.h"
#include "process/children.h"
#include "support/event.h"
#include "process/process.h"

namespace zelvo {

// How long the hook of the change before gets to end after SIGTERM, and
// again after SIGKILL, before the next one starts all the same.
inline constexpr std::chrono::milliseconds hook_grace{200};

// The hook of each change: a program started with the images just shown. It
// runs in a process group of its own, which its first process leads. That
// process is reaped only once the group will not be signalled again, so the
// group's id stays the hook's, and no signal to it can reach a stranger, even
// when that process has ended and left others behind (`setsid prog &` in a
// hook). Its processes alone hold the write end of a pipe whose read end the
// loop watches: when its first process has ended and the pipe is let go,
// nothing of the hook runs and it is reaped at once, unsignalled. Nothing here
// ever waits: ending a hook is a few steps that the loop's events drive.
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
    // group gets SIGTERM, then SIGKILL after hook_grace, unless it has ended
    // by then (its first process, and whatever held the pipe).
    void stop();

    // At the daemon's very end: whatever is left of the hook's group is killed at once.
    void kill_now();

    // A child of the daemon has ended: it may be the hook's first process.
    void on_child();

private:
    struct Start {
        std::vector<std::string> argv;
        LaunchVector envp;
    };

    void end_running();
    void settle();
    void let_go(ChildFate fate);
    void launch(Start& start);
    void on_watch();
    void on_grace();

    event_base* base_;
    pid_t group_ = -1;           // the hook's first process, unreaped, and its group
    UniqueDescriptor watch_;     // the pipe, until all of the hook let go of it
    std::unique_ptr<DescriptorEvent> watching_;
    TimerEvent grace_;
    int signals_sent_ = 0;       // 0, then SIGTERM, then SIGKILL
    bool ending_ = false;
    bool stopped_ = false;
    std::optional<Start> waiting_;  // the start asked for, once the running hook has ended
};

}  // namespace zelvo
