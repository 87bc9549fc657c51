#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "images/string_list.h"
#include "support/process.h"

namespace zelvo {

// How long the hook of the change before gets to end after SIGTERM, and
// again after SIGKILL, before the next one starts all the same.
inline constexpr std::chrono::milliseconds hook_grace{200};

// The hook of the last change, which may still run. Its processes form a
// process group of their own, and they alone hold the write end of a pipe
// whose read end this keeps: while that pipe is not at its end, some process
// of the hook still runs, so the group's id cannot have gone to a stranger
// and may be signalled.
struct HookProcess {
    pid_t group = -1;
    UniqueDescriptor watch;
};

// What a change hands its hook.
struct HookCall {
    const StringList& program;  // the program and its first arguments
    char* const* images;        // the images just shown, one per monitor, up to a terminator
    const std::string* colour_file;  // none with colours off
};

// Ends the hook of the change before when it still runs (see end_hook),
// then starts the program, when there is one, with the images appended as
// arguments, never through a shell: a name without a slash is searched for
// on PATH. Its environment is the daemon's own with ZELVO_MONITORS (the
// number of images) and, with colours on, ZELVO_COLORS; its standard streams are the daemon's, which
// lead to /dev/null. It is never waited for. A hook that cannot be started
// costs one line naming the program and the reason.
void start_hook(std::optional<HookProcess>& running, const HookCall& call);

// Ends a hook that still runs: its group gets SIGTERM, and SIGKILL when it
// is still there after hook_grace; gives up waiting after another. A hook
// whose processes have all let go of the pipe is never signalled.
void end_hook(HookProcess& hook);

}  // namespace zelvo
