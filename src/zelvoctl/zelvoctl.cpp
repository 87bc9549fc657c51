#include "zelvoctl/zelvoctl.h"

#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <getopt.h>
#include <optional>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <variant>
#include <vector>

#include "control/control_socket.h"
#include "control/pid_lock.h"
#include "control/printable.h"
#include "control/protocol.h"
#include "control/runtime_directory.h"
#include "control/status_file.h"
#include "control/version.h"
#include "process/process.h"

namespace zelvo {

namespace {

// The "+" keeps the POSIX rule, in glibc's getopt_long and in the BSDs' as
// well, that parsing stops at the first word that is no option: the command's
// own options ("--json") are the command's.
constexpr const char* option_letters = "+d:h";
constexpr int version_option = 1;
const option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, version_option},
    {nullptr, 0, nullptr, 0},
};

// How long zelvoctl waits for the daemon's answer: it answers at once,
// except for set, whose files it checks within 30 seconds.
constexpr int answer_wait_ms = 40000;
// How long quit waits for the daemon to let go of its lock; it ends about
// one second after it was asked to.
constexpr int quit_wait_ms = 5000;
constexpr long poll_pause_ns = 10'000'000;
// No answer comes near this.
constexpr std::size_t most_answer_bytes = std::size_t{16} << 20;

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
    if (status.paused)
        std::printf("next change: none, paused\n");
    else
        std::printf("next change: %s\n", status.next_change ? moment_text(*status.next_change, now).c_str() : "not known");
    if (status.images.empty()) std::printf("on screen:   nothing\n");
    // Each monitor with its own period and next change, when the daemon times them one by one.
    if (!status.monitors.empty()) {
        for (std::size_t index = 0; index < status.monitors.size(); ++index) {
            const MonitorTiming& monitor = status.monitors[index];
            const std::string label = "monitor " + std::to_string(index + 1) + ":";
            const std::string image = index < status.images.size() ? printable_name(status.images[index]) : "nothing";
            std::printf("%-13s%s\n", label.c_str(), image.c_str());
            std::printf("             every %s, next change %s\n", span_text(monitor.interval).c_str(),
                        monitor.next_change ? moment_text(*monitor.next_change, now).c_str()
                                            : (status.paused ? "none, paused" : "not known"));
            if (index < status.drawn.size() && status.drawn[index])
                std::printf("             drawn %s\n", moment_text(*status.drawn[index], now).c_str());
        }
        return;
    }
    for (std::size_t index = 0; index < status.images.size(); ++index)
        std::printf("%s%s\n", index == 0 ? "on screen:   " : "             ",
                    printable_name(status.images[index]).c_str());
    // When each picture reached the screen, from a viewer that can tell, in the order of the images.
    for (std::size_t index = 0; index < status.drawn.size(); ++index)
        std::printf("%s%s\n", index == 0 ? "drawn:       " : "             ",
                    status.drawn[index] ? moment_text(*status.drawn[index], now).c_str() : "not yet");
}

void pause_briefly() {
    const timespec pause{0, poll_pause_ns};
    nanosleep(&pause, nullptr);
}

// Waits until the daemon has let go of its lock, at most quit_wait_ms.
bool wait_for_release(const LockedPid& daemon) {
    for (long waited_ms = 0; waited_ms <= quit_wait_ms; waited_ms += poll_pause_ns / 1'000'000) {
        if (pid_lock_released(daemon)) return true;
        pause_briefly();
    }
    return false;
}

// A file named on the command line as the daemon, working from "/", must
// see it: a relative path goes after the working directory. A URL stays as
// it is, for the daemon to say that it takes files only.
std::string absolute(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.find("://") != std::string::npos) return path;
    char* directory = getcwd(nullptr, 0);
    if (directory == nullptr) return path;
    std::string joined = std::string(directory) + "/" + path;
    std::free(directory);
    return joined;
}

// The daemon's answer: its data lines, and its status line last. Nothing
// (with why) when it did not answer in time or in the protocol.
struct Answer {
    std::vector<std::string> data;
    std::optional<std::string> error;
};

std::variant<Answer, std::string> exchange(int connection, const std::string& request) {
    std::size_t sent = 0;
    std::string received;
    const std::int64_t deadline = static_cast<std::int64_t>(std::time(nullptr)) + answer_wait_ms / 1000;
    for (;;) {
        pollfd watched{connection, static_cast<short>(POLLIN | (sent < request.size() ? POLLOUT : 0)), 0};
        const int ready = poll(&watched, 1, 1000);
        if (ready < 0 && errno != EINTR) return std::string(std::strerror(errno));
        if (std::time(nullptr) > deadline) return std::string("it did not answer within 40 seconds");
        if (ready <= 0) continue;
        if ((watched.revents & POLLOUT) != 0) {
            const ssize_t put = send(connection, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
            if (put < 0 && errno != EAGAIN && errno != EINTR) return std::string(std::strerror(errno));
            if (put > 0) sent += static_cast<std::size_t>(put);
        }
        if ((watched.revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        char bytes[16 << 10];
        const ssize_t got = read(connection, bytes, sizeof bytes);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got > 0) received.append(bytes, static_cast<std::size_t>(got));
        if (received.size() > most_answer_bytes) return std::string("its answer is too long");
        // Each line as it is whole; the status line ends the answer.
        Answer answer;
        for (std::size_t start = 0, end = 0; (end = received.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string_view line = std::string_view(received).substr(start, end - start);
            if (line == "ok") return answer;
            const bool error = line.starts_with("error: ");
            std::optional<std::string> text = protocol_unescape(error ? line.substr(7) : line, false);
            if (!text) return std::string("its answer holds a line it may not hold");
            if (error) {
                answer.error = std::move(*text);
                return answer;
            }
            answer.data.push_back(std::move(*text));
        }
        if (got <= 0) return std::string("it closed the connection without an answer");
    }
}

void print_help(const char* invocation) {
    std::printf("Usage: %s [-d display] %s\n", invocation, commands_usage().c_str());
    std::printf("       %s -h | --help | --version\n\n", invocation);
    std::printf("Steers the zelvo wallpaper daemon of a display, or prints what it shows.\n\nCommands:\n");
    for (const CommandForm& form : command_forms()) {
        const std::string call = std::string(form.name) + form.usage;
        std::printf("  %-28s %s\n", call.c_str(), form.summary);
    }
    std::printf(
        "\nOptions:\n"
        "  -d display                   the daemon of this display; else of $DISPLAY or $WAYLAND_DISPLAY\n"
        "                               (the first on which one runs; empty counts as unset), else of :0\n"
        "  -n N                         (next, previous, set) monitor N alone, from 1; the others keep theirs\n"
        "  --json                       (status, current) one JSON object, for a bar\n"
        "  -h, --help                   print this help\n"
        "  --version                    print the version\n"
        "\nExit status: 0 done; 1 no daemon runs on the display, it cannot be reached, or it refused the\n"
        "command (one line on standard error says which); 2 a bad call, with the usage line.\n"
        "\nThe manual: zelvoctl(1) (man zelvoctl), and docs/zelvoctl.1 in zelvo's source.\n");
}

// The records of a plain status, as the status file holds them.
std::optional<DaemonStatus> status_of(const std::vector<std::string>& records) {
    std::string text = "zelvo-status=1";
    text += '\0';
    for (const std::string& record : records) {
        if (record.find('\0') != std::string::npos) return std::nullopt;
        text += record;
        text += '\0';
    }
    return parse_status(text);
}

}  // namespace

int zelvoctl_main(int argc, char** argv) {
    // What the terminal shows as a character of a name (UTF-8 letters, say) is the locale's to say.
    std::setlocale(LC_CTYPE, "");
    const char* invocation = argv[0] != nullptr ? argv[0] : "zelvoctl";
    std::optional<std::string> display_option;
    int letter = 0;
    bool bad_call = false;
    bool help = false;
    bool version = false;
    while ((letter = getopt_long(argc, argv, option_letters, long_options, nullptr)) != -1) {
        if (letter == 'd')
            display_option = optarg;
        else if (letter == 'h')
            help = true;
        else if (letter == version_option)
            version = true;
        else
            bad_call = true;
    }
    if (!bad_call && (help || version)) {
        if (help)
            print_help(invocation);
        else
            std::printf("%s: version: %s\n", invocation, zelvo_version);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    const std::vector<std::string> words(argv + optind, argv + argc);
    const auto parsed = parse_command(words);
    if (bad_call || std::holds_alternative<std::string>(parsed)) {
        if (!bad_call && !words.empty()) std::fprintf(stderr, "%s: %s\n", invocation, std::get<std::string>(parsed).c_str());
        std::fprintf(stderr, "Usage: %s [-d display] %s\n", invocation, commands_usage().c_str());
        return 2;
    }
    const Command& command = std::get<Command>(parsed);
    const std::string name = command.form->name;
    // The request names its options, then "--", then its arguments, so that a file may begin with "-".
    std::vector<std::string> request = {name};
    for (const auto& [option, value] : command.options) {
        request.push_back(option);
        if (!value.empty()) request.push_back(value);
    }
    if (!command.arguments.empty()) request.push_back("--");
    for (const std::string& argument : command.arguments) request.push_back(absolute(argument));

    // The same display a zelvo started here takes when its configuration
    // names none: DISPLAY with feh, WAYLAND_DISPLAY with swaybg. Without -d
    // the first of them that a zelvo runs on is the one. An empty one counts
    // as unset, as it does for zelvo, which then takes :0.
    std::vector<std::string> displays;
    if (display_option) {
        displays.push_back(*display_option);
    } else {
        const auto variable = [](const char* variable_name) {
            const char* value = std::getenv(variable_name);
            return value != nullptr && *value != '\0' ? value : nullptr;
        };
        const char* environment_display = variable("DISPLAY");
        const char* wayland_display = variable("WAYLAND_DISPLAY");
        if (environment_display != nullptr) displays.emplace_back(environment_display);
        if (wayland_display != nullptr) displays.emplace_back(wayland_display);
        if (environment_display == nullptr) displays.emplace_back(":0");
    }
    std::string display = displays.front();
    const RuntimeDirectory runtime =
        open_runtime_directory(runtime_place(std::getenv("XDG_RUNTIME_DIR"), home_directory()), false);
    std::optional<LockedPid> daemon;
    if (runtime.usable()) {
        for (const std::string& candidate : displays) {
            daemon = find_locked_pid(runtime, candidate);
            if (!daemon) continue;
            display = candidate;
            break;
        }
    } else if (!runtime.absent()) {
        std::fprintf(stderr, "zelvoctl: cannot use the runtime directory %s\n", runtime.problem().c_str());
        return 1;
    }
    if (!daemon) {
        std::fprintf(stderr, "zelvoctl: no zelvo runs on display %s\n", display.c_str());
        return 1;
    }
    const long pid = static_cast<long>(daemon->pid);

    // A daemon whose queue of connections is full takes this one a moment later.
    std::variant<UniqueDescriptor, int> connection = EAGAIN;
    for (int attempt = 0; attempt < 500; ++attempt) {
        connection = connect_control_socket(runtime, display);
        if (!std::holds_alternative<int>(connection) || std::get<int>(connection) != EAGAIN) break;
        pause_briefly();
    }
    if (const int* error = std::get_if<int>(&connection)) {
        // Still full after all that while: more clients at once than it takes,
        // in the words the daemon uses when it lets a slow client go.
        if (*error == EAGAIN) {
            std::fprintf(stderr, "zelvoctl: too many clients at once\n");
            return 1;
        }
        std::fprintf(stderr, "zelvoctl: cannot reach zelvo (pid %ld) on display %s: %s\n", pid, display.c_str(),
                     std::strerror(*error));
        return 1;
    }
    const auto exchanged = exchange(std::get<UniqueDescriptor>(connection).get(), request_line(request));
    if (const std::string* problem = std::get_if<std::string>(&exchanged)) {
        std::fprintf(stderr, "zelvoctl: zelvo (pid %ld) on display %s: %s\n", pid, display.c_str(), problem->c_str());
        return 1;
    }
    const Answer& answer = std::get<Answer>(exchanged);
    if (answer.error) {
        std::fprintf(stderr, "zelvoctl: %s\n", printable_name(*answer.error).c_str());
        return 1;
    }

    if (name == "status" || name == "current") {
        if (command.has("--json")) {
            for (const std::string& line : answer.data) std::printf("%s\n", line.c_str());
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        const std::optional<DaemonStatus> status = status_of(answer.data);
        if (!status) {
            std::fprintf(stderr, "zelvoctl: zelvo (pid %ld) on display %s: its status cannot be read\n", pid,
                         display.c_str());
            return 1;
        }
        if (name == "status") {
            print_status(*status);
        } else {
            // Scripts get the bytes of each name; a terminal gets nothing it would act on.
            const bool terminal = isatty(STDOUT_FILENO) != 0;
            for (const std::string& image : status->images) {
                const std::string shown = terminal ? printable_name(image) : image;
                std::fwrite(shown.data(), 1, shown.size(), stdout);
                std::fputc('\n', stdout);
            }
        }
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    // So that "zelvoctl quit; zelvo" starts the new daemon, not a refusal.
    if (name == "quit" && !wait_for_release(*daemon)) {
        std::fprintf(stderr, "zelvoctl: zelvo (pid %ld) on display %s has not quit within %d seconds\n", pid,
                     display.c_str(), quit_wait_ms / 1000);
        return 1;
    }
    return 0;
}

}  // namespace zelvo
