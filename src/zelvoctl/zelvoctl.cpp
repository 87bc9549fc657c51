#include "zelvoctl/zelvoctl.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <clocale>
#include <ctime>
#include <optional>
#include <pwd.h>
#include <string>
#include <unistd.h>

#include "control/pid_lock.h"
#include "control/printable.h"
#include "control/runtime_directory.h"
#include "control/status_file.h"
#include "support/process.h"

namespace zelvo {

namespace {

#ifdef __GLIBC__
constexpr const char* option_letters = "+d:";
#else
constexpr const char* option_letters = "d:";
#endif

// What each command does: a signal to send, or, with none, a report to print.
struct Command {
    const char* name;
    int signal_number;
};

// How long quit waits for the daemon to let go of its lock; it ends about
// one second after the signal, later only when a colour step holds it up.
constexpr int quit_wait_ms = 5000;
constexpr long quit_poll_ns = 10'000'000;

std::string home_directory() {
    if (const char* home = std::getenv("HOME")) return home;
    if (const passwd* entry = getpwuid(getuid())) return entry->pw_dir;
    return "";
}

// A span of seconds for a person: "45 s", "27 min 30 s", "1 h 5 min".
std::string span_text(std::int64_t seconds) {
    if (seconds < 0) seconds = -seconds;
    const std::int64_t parts[] = {seconds / 3600, seconds / 60 % 60, seconds % 60};
    const char* units[] = {"h", "min", "s"};
    std::string text;
    for (int index = 0; index < 3; ++index) {
        if (parts[index] == 0) continue;
        if (!text.empty()) text += ' ';
        text += std::to_string(parts[index]) + " " + units[index];
    }
    return text.empty() ? "0 s" : text;
}

// A moment for a person, local time, and how far from now it is.
std::string moment_text(std::int64_t when, std::int64_t now) {
    const std::time_t moment = static_cast<std::time_t>(when);
    std::tm local{};
    char clock[64] = "?";
    if (localtime_r(&moment, &local) != nullptr) std::strftime(clock, sizeof clock, "%Y-%m-%d %H:%M:%S", &local);
    const std::string span = span_text(when - now);
    return std::string(clock) + (when <= now ? " (" + span + " ago)" : " (in " + span + ")");
}

void print_status(const DaemonStatus& status) {
    const std::int64_t now = std::time(nullptr);
    std::printf("pid:         %ld\n", static_cast<long>(status.pid));
    std::printf("display:     %s\n", status.display.c_str());
    std::printf("interval:    %s\n", span_text(status.interval).c_str());
    std::printf("last change: %s\n", status.last_change ? moment_text(*status.last_change, now).c_str() : "none yet");
    std::printf("next change: %s\n", status.next_change ? moment_text(*status.next_change, now).c_str() : "not known");
    if (status.images.empty()) std::printf("on screen:   nothing\n");
    for (std::size_t index = 0; index < status.images.size(); ++index)
        std::printf("%s%s\n", index == 0 ? "on screen:   " : "             ",
                    printable_name(status.images[index]).c_str());
}

// Waits until the daemon has let go of its lock, at most quit_wait_ms.
bool wait_for_release(const LockedPid& daemon) {
    const timespec pause{0, quit_poll_ns};
    for (long waited_ms = 0; waited_ms <= quit_wait_ms; waited_ms += quit_poll_ns / 1'000'000) {
        if (pid_lock_released(daemon)) return true;
        nanosleep(&pause, nullptr);
    }
    return false;
}

}  // namespace

int zelvoctl_main(int argc, char** argv) {
    // What the terminal shows as a character of a name (UTF-8 letters, say) is the locale's to say.
    std::setlocale(LC_CTYPE, "");
    const char* invocation = argv[0] != nullptr ? argv[0] : "zelvoctl";
    const Command commands[] = {{"next", SIGUSR1}, {"previous", previous_signal()}, {"reshuffle", SIGUSR2},
                                {"reload", SIGHUP}, {"quit", SIGTERM},             {"status", 0},
                                {"current", 0}};
    std::optional<std::string> display_option;
    int letter = 0;
    bool bad_call = false;
    while ((letter = getopt(argc, argv, option_letters)) != -1) {
        if (letter == 'd')
            display_option = optarg;
        else
            bad_call = true;
    }
    const Command* command = nullptr;
    if (!bad_call && optind == argc - 1) {
        for (const Command& known : commands) {
            if (std::strcmp(argv[optind], known.name) == 0) command = &known;
        }
    }
    if (command == nullptr) {
        std::fprintf(stderr, "Usage: %s [-d display] next | previous | reshuffle | reload | quit | status | current\n",
                     invocation);
        return 2;
    }

    // The same display a zelvo started here takes when its configuration
    // names none.
    const char* environment_display = std::getenv("DISPLAY");
    const std::string display = display_option.value_or(environment_display != nullptr ? environment_display : ":0");
    const RuntimeDirectory runtime =
        open_runtime_directory(runtime_place(std::getenv("XDG_RUNTIME_DIR"), home_directory()), false);
    std::optional<LockedPid> daemon;
    if (runtime.usable()) {
        daemon = find_locked_pid(runtime, display);
    } else if (!runtime.absent()) {
        std::fprintf(stderr, "zelvoctl: cannot use the runtime directory %s\n", runtime.problem().c_str());
        return 1;
    }
    if (!daemon) {
        std::fprintf(stderr, "zelvoctl: no zelvo runs on display %s\n", display.c_str());
        return 1;
    }
    const long pid = static_cast<long>(daemon->pid);

    if (command->signal_number == 0) {
        const std::optional<DaemonStatus> status = read_status_file(runtime, display);
        if (!status || status->pid != daemon->pid) {
            std::fprintf(stderr, "zelvoctl: zelvo (pid %ld) on display %s has published no status yet\n", pid,
                         display.c_str());
            return 1;
        }
        if (std::strcmp(command->name, "status") == 0) {
            print_status(*status);
        } else {
            // Scripts get the bytes of each name; a terminal gets nothing it would act on.
            const bool terminal = isatty(STDOUT_FILENO) != 0;
            for (const std::string& image : status->images)
                std::printf("%s\n", terminal ? printable_name(image).c_str() : image.c_str());
        }
        return std::fflush(stdout) == 0 ? 0 : 1;
    }

    if (kill(daemon->pid, command->signal_number) != 0) {
        if (errno == ESRCH) {
            std::fprintf(stderr, "zelvoctl: no zelvo runs on display %s\n", display.c_str());
        } else {
            std::fprintf(stderr, "zelvoctl: cannot signal zelvo (pid %ld) on display %s: %s\n", pid, display.c_str(),
                         std::strerror(errno));
        }
        return 1;
    }
    // So that "zelvoctl quit; zelvo" starts the new daemon, not a refusal.
    if (command->signal_number == SIGTERM && !wait_for_release(*daemon)) {
        std::fprintf(stderr, "zelvoctl: zelvo (pid %ld) on display %s has not quit within %d seconds\n", pid,
                     display.c_str(), quit_wait_ms / 1000);
        return 1;
    }
    return 0;
}

}  // namespace zelvo
