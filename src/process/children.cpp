#include "process/children.h"

#include <sys/wait.h>

#include <cerrno>
#include <utility>
#include <vector>

namespace zelvo {

namespace {

struct Forgotten {
    pid_t pid;
    ChildFate fate;
    std::function<void()> after;
};

// Few at a time: the viewer and xrdb of the last changes, a colour step
// being killed, a hook on its way out.
std::vector<Forgotten>& forgotten() {
    static std::vector<Forgotten> children;
    return children;
}

// Reaps the child when it has ended (or waits for it); true once it is gone,
// also when it was never this process's child.
bool reap(pid_t pid, bool wait) {
    int status = 0;
    for (;;) {
        const pid_t got = waitpid(pid, &status, wait ? 0 : WNOHANG);
        if (got == pid) return true;
        if (got == 0) return false;
        if (errno != EINTR) return true;
    }
}

void reap_forgotten(bool wait_for_killed) {
    std::vector<Forgotten>& children = forgotten();
    // What runs after a reap may forget another child: walk by index.
    for (std::size_t index = 0; index < children.size();) {
        if (!reap(children[index].pid, wait_for_killed && children[index].fate == ChildFate::killed)) {
            ++index;
            continue;
        }
        std::function<void()> after = std::move(children[index].after);
        children[index] = std::move(children.back());
        children.pop_back();
        if (after) after();
    }
}

}  // namespace

void children_forget(pid_t pid, ChildFate fate, std::function<void()> after) {
    if (pid <= 0) {
        if (after) after();
        return;
    }
    if (reap(pid, false)) {
        if (after) after();
        return;
    }
    forgotten().push_back(Forgotten{pid, fate, std::move(after)});
}

void children_reap() { reap_forgotten(false); }

void children_reap_killed() { reap_forgotten(true); }

bool child_ended(pid_t pid) {
    siginfo_t info{};
    for (;;) {
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0) return info.si_pid == pid;
        if (errno != EINTR) return true;
    }
}

std::size_t children_unreaped() { return forgotten().size(); }

}  // namespace zelvo
