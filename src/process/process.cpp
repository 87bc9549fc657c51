#include "process/process.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>

namespace zelvo {

// Until it execs or ends, a child is still named zelvo and carries the
// daemon's handlers, which would pass a signal meant for the daemon (pkill -x
// zelvo) on to the daemon's loop a second time; so it first puts the
// dispositions back to their defaults, or ignores those signals, before any
// can reach it.
pid_t fork_child(DaemonSignals signals) {
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &previous);
    const pid_t child = fork();
    const int fork_error = errno;
    if (child == 0) {
        const auto disposition = signals == DaemonSignals::ignore ? SIG_IGN : SIG_DFL;
        for (int number : {SIGQUIT, SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, previous_signal()})
            std::signal(number, disposition);
        std::signal(SIGCHLD, SIG_DFL);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    errno = fork_error;
    return child;
}

namespace {

sigset_t steering_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int number : {SIGUSR1, SIGUSR2, previous_signal()}) sigaddset(&set, number);
    return set;
}

void block(const sigset_t& set) { sigprocmask(SIG_BLOCK, &set, nullptr); }

}  // namespace

void hold_steering_signals() { block(steering_signals()); }

void hold_daemon_signals() {
    sigset_t set = steering_signals();
    for (int number : {SIGQUIT, SIGTERM, SIGINT, SIGHUP}) sigaddset(&set, number);
    block(set);
}

void release_steering_signals() {
    const sigset_t set = steering_signals();
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace zelvo
