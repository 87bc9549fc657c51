#include "cycle/hook.h"

#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string_view>
#include <vector>

#include "images/launch_vector.h"
#include "support/log.h"

// The environment the hook is started with: execvp takes it from here.
extern char** environ;

namespace zelvo {

namespace {

using Clock = std::chrono::steady_clock;

// Whether some process still holds the pipe's write end. Whatever a hook
// writes to it is read and dropped, a little at a time.
bool holds_pipe(const HookProcess& hook) {
    for (int reads = 0; reads < 16; ++reads) {
        char bytes[512];
        const ssize_t got = read(hook.watch.get(), bytes, sizeof bytes);
        if (got == 0) return false;
        if (got < 0) return errno == EAGAIN || errno == EINTR;
    }
    return true;
}

bool group_gone(const HookProcess& hook) { return kill(-hook.group, 0) != 0 && errno == ESRCH; }

// Waits until the hook's group has no process left, or until `until`;
// `released` becomes true once the pipe is at its end, after which the group
// may no longer be signalled.
bool wait_group_gone(const HookProcess& hook, Clock::time_point until, bool& released) {
    while (true) {
        if (!released && !holds_pipe(hook)) released = true;
        if (group_gone(hook)) return true;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return false;
        if (released) {
            // Its last processes are on their way out: only the group is left to watch.
            const timespec pause{0, 1000000};
            nanosleep(&pause, nullptr);
        } else {
            pollfd watched{hook.watch.get(), POLLIN, 0};
            poll(&watched, 1, static_cast<int>(std::min<long long>(left, 5)));
        }
    }
}

// The daemon's environment with the hook's own variables in place of any it
// inherited under those names.
LaunchVector hook_environment(const HookCall& call, std::size_t monitors) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        if (text.starts_with("ZELVO_COLORS=") || text.starts_with("ZELVO_MONITORS=")) continue;
        entries.emplace_back(text);
    }
    entries.push_back("ZELVO_MONITORS=" + std::to_string(monitors));
    if (call.colour_file != nullptr) entries.push_back("ZELVO_COLORS=" + *call.colour_file);
    return LaunchVector(std::move(entries));
}

}  // namespace

void end_hook(HookProcess& hook) {
    bool released = !holds_pipe(hook);
    if (released) return;
    if (kill(-hook.group, SIGTERM) != 0 && errno == ESRCH) return;
    if (wait_group_gone(hook, Clock::now() + hook_grace, released) || released) return;
    kill(-hook.group, SIGKILL);
    wait_group_gone(hook, Clock::now() + hook_grace, released);
}

void start_hook(std::optional<HookProcess>& running, const HookCall& call) {
    if (running) {
        end_hook(*running);
        running.reset();
    }
    if (call.program.empty()) return;
    std::vector<char*> argv;
    for (StringNode* node = call.program.first(); node != nullptr; node = node->link) {
        if (node->value) argv.push_back(node->value->data());
    }
    const std::size_t first_image = argv.size();
    for (char* const* image = call.images; *image != nullptr; ++image) argv.push_back(*image);
    const std::size_t monitors = argv.size() - first_image;
    argv.push_back(nullptr);
    const LaunchVector envp = hook_environment(call, monitors);

    int ends[2];
    if (pipe(ends) != 0) {
        report("Zelvo could not start the hook %s: pipe failed: %s", argv[0], std::strerror(errno));
        return;
    }
    UniqueDescriptor watch(ends[0]);
    UniqueDescriptor held(ends[1]);
    // Nothing else the daemon starts may hold either end.
    fcntl(watch.get(), F_SETFD, FD_CLOEXEC);
    fcntl(held.get(), F_SETFD, FD_CLOEXEC);
    const pid_t child = fork_child();
    if (child < 0) {
        report("Zelvo could not start the hook %s: fork failed: %s", argv[0], std::strerror(errno));
        return;
    }
    if (child == 0) {
        setpgid(0, 0);
        // The one descriptor the hook inherits: while it or its processes hold it, they run.
        fcntl(held.get(), F_SETFD, 0);
        environ = const_cast<char**>(envp.entries());
        execvp(argv[0], argv.data());
        report("Zelvo could not start the hook %s: %s", argv[0], std::strerror(errno));
        _exit(127);
    }
    // Either side may set the group first; a signal to it needs it set.
    setpgid(child, child);
    fcntl(watch.get(), F_SETFL, O_NONBLOCK);
    running = HookProcess{child, std::move(watch)};
}

}  // namespace zelvo
