#include "cycle/hook.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "process/children.h"
#include "support/log.h"

// The environment the hook is started with: execvp takes it from here.
extern char** environ;

namespace zelvo {

namespace {

// The daemon's environment with the hook's own variables in place of any it
// inherited under those names.
LaunchVector hook_environment(std::size_t monitors, const std::string* colour_file) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view text = *entry;
        if (text.starts_with("ZELVO_COLORS=") || text.starts_with("ZELVO_MONITORS=")) continue;
        entries.emplace_back(text);
    }
    entries.push_back("ZELVO_MONITORS=" + std::to_string(monitors));
    if (colour_file != nullptr) entries.push_back("ZELVO_COLORS=" + *colour_file);
    return LaunchVector(std::move(entries));
}

}  // namespace

HookRunner::HookRunner(event_base* base) : base_(base), grace_(base, [this] { on_grace(); }) {}

HookRunner::~HookRunner() { kill_now(); }

void HookRunner::start(const StringList& program, const std::vector<std::string>& images,
                       const std::string* colour_file) {
    if (stopped_) return;
    waiting_.reset();
    if (!program.empty()) {
        Start start;
        for (StringNode* node = program.first(); node != nullptr; node = node->link)
            if (node->value) start.argv.push_back(*node->value);
        start.argv.insert(start.argv.end(), images.begin(), images.end());
        start.envp = hook_environment(images.size(), colour_file);
        waiting_ = std::move(start);
    }
    if (group_ > 0)
        end_running();
    else
        settle();
}

void HookRunner::stop() {
    stopped_ = true;
    waiting_.reset();
    if (group_ > 0) end_running();
}

void HookRunner::kill_now() {
    waiting_.reset();
    stopped_ = true;
    if (group_ <= 0) return;
    // Its first process is not reaped yet: the group is still the hook's.
    kill(-group_, SIGKILL);
    let_go(ChildFate::killed);
}

void HookRunner::on_child() {
    if (group_ > 0) settle();
}

// The first step of ending the running hook; the loop takes the next ones.
void HookRunner::end_running() {
    if (ending_) return;
    ending_ = true;
    settle();
    if (group_ <= 0) return;
    kill(-group_, SIGTERM);
    signals_sent_ = 1;
    grace_.schedule(hook_grace);
}

// The hook will not be signalled again: its first process is left to be reaped.
void HookRunner::let_go(ChildFate fate) {
    grace_.cancel();
    watching_.reset();
    watch_.reset();
    children_forget(group_, fate);
    group_ = -1;
    signals_sent_ = 0;
    ending_ = false;
}

// Moves on as far as the hook lets it: a hook of which nothing runs any more
// (its first process has ended, and the pipe is let go, or it was killed) is
// reaped; then the start asked for comes, unless one still runs.
void HookRunner::settle() {
    if (group_ > 0 && child_ended(group_) && (watch_.get() < 0 || signals_sent_ == 2)) let_go(ChildFate::killed);
    if (group_ > 0 || !waiting_ || stopped_) return;
    Start next = std::move(*waiting_);
    waiting_.reset();
    launch(next);
}

void HookRunner::on_watch() {
    // Whatever a hook writes to the pipe is read and dropped, a little at a time.
    for (int reads = 0; reads < 16; ++reads) {
        char bytes[512];
        const ssize_t got = read(watch_.get(), bytes, sizeof bytes);
        if (got > 0) continue;
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        // Every process of the hook has let go of it.
        watching_.reset();
        watch_.reset();
        settle();
        return;
    }
}

void HookRunner::on_grace() {
    if (signals_sent_ == 1) {
        kill(-group_, SIGKILL);
        signals_sent_ = 2;
        grace_.schedule(hook_grace);
        settle();
        return;
    }
    // Killed, and still not ended (a process in uninterruptible sleep): it
    // is reaped whenever it ends, and the next hook comes all the same.
    let_go(ChildFate::killed);
    settle();
}

void HookRunner::launch(Start& start) {
    std::vector<char*> argv;
    for (std::string& argument : start.argv) argv.push_back(argument.data());
    argv.push_back(nullptr);
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
        environ = const_cast<char**>(start.envp.entries());
        execvp(argv[0], argv.data());
        report("Zelvo could not start the hook %s: %s", argv[0], std::strerror(errno));
        _exit(127);
    }
    // Either side may set the group first; a signal to it needs it set.
    setpgid(child, child);
    fcntl(watch.get(), F_SETFL, O_NONBLOCK);
    group_ = child;
    watch_ = std::move(watch);
    watching_ = std::make_unique<DescriptorEvent>(base_, watch_.get(), DescriptorEvent::Ready::read, [this] { on_watch(); });
    watching_->start();
}

}  // namespace zelvo
