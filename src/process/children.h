#pragma once

#include <sys/types.h>

#include <functional>

namespace zelvo {

// The daemon reaps its children itself, rather than letting the system reap
// them: a child that has ended but is not yet reaped keeps its pid, and with
// it the id of the process group it leads, from going to another process.
// So a child (or its group) that the daemon may still signal is reaped only
// once its owner has sent it the last signal and handed it over here: no
// signal of the daemon's can ever reach a stranger that took a freed number.

// What the daemon knows of a child it forgets.
enum class ChildFate {
    running,  // it may run on for as long as it likes (a viewer that never ends)
    killed,   // it has been sent SIGKILL and is on its way out
};

// The child will not be signalled again: it is reaped as soon as it has
// ended, and then `after` runs (for example to remove its private folder).
// Tries at once, without waiting.
void children_forget(pid_t pid, ChildFate fate, std::function<void()> after = {});

// Reaps every forgotten child that has ended, without waiting; the loop calls
// it on SIGCHLD.
void children_reap();

// Waits until every forgotten child that was killed has ended and is reaped,
// and reaps whatever else has ended; for the end of the daemon. A child that
// may run on is left to run: its viewer may still be drawing.
void children_reap_killed();

// Whether the child has ended, without reaping it, so that its pid stays its own.
bool child_ended(pid_t pid);

// How many forgotten children are still to be reaped.
std::size_t children_unreaped();

}  // namespace zelvo
