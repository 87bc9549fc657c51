#include "daemon/startup.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

#include "config/run_options.h"
#include "control/control_socket.h"
#include "control/pid_lock.h"
#include "control/runtime_directory.h"
#include "control/status_file.h"
#include "control/version.h"
#include "config/monitors.h"
#include "cycle/cycle.h"
#include "desktop/desktop.h"
#include "display/monitor_source.h"
#include "display/wayland_outputs.h"
#include "images/expand.h"
#include "images/ring_edit.h"
#include "support/c_text.h"
#include "support/log.h"
#include "support/magick.h"
#include "process/process.h"
#include "process/worker.h"

namespace zelvo {

namespace {

constexpr const char* version = zelvo_version;

// glibc's getopt permutes arguments unless told otherwise; the "+" keeps
// the POSIX rule that parsing stops at the first non-option argument.
#ifdef __GLIBC__
constexpr const char* option_letters = "+c:t:s:m:v";
#else
constexpr const char* option_letters = "c:t:s:m:v";
#endif

struct Arguments {
    std::optional<std::string> config_path;
    std::optional<std::string> source;
    int minutes = 0;
    int monitors = 0;
};

std::optional<std::string> environment_text(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

// DISPLAY and XAUTHORITY as X clients read them: an empty one names nothing.
std::optional<std::string> environment_setting(const char* name) {
    std::optional<std::string> value = environment_text(name);
    if (value && value->empty()) return std::nullopt;
    return value;
}

std::optional<std::string> home_directory() {
    if (std::optional<std::string> home = environment_text("HOME")) return home;
    if (const passwd* entry = getpwuid(getuid())) return std::string(entry->pw_dir);
    return std::nullopt;
}

// Keeps the user's umask but never lets the group or others write what the
// daemon creates: xrdb loads the colour file, and the per-user directory and
// the default configuration file are made before detaching.
void harden_umask() {
    const mode_t mask = umask(0);
    umask(mask | S_IWGRP | S_IWOTH);
}

// Forks once; the parent ends with status 0 and the child goes on.
void fork_and_leave_parent() {
    pid_t child = fork();
    if (child < 0) std::exit(1);
    if (child > 0) std::exit(0);
}

// The process the user started waits for this byte: the daemon sends it once
// the pid file names it, so that whoever reads the file after the command
// has returned (systemd, zelvoctl) finds the daemon's own pid.
constexpr char ready_byte = 'r';
// Or this one, and the error number, when the pid file could not take the pid.
constexpr char no_pid_byte = 'p';

std::string pid_file_path(const RuntimeDirectory& runtime, const std::string& display) {
    return runtime.path() + "/" + pid_file_name(display);
}

void report_unwritten_pid(const std::string& path, int error) {
    report("Zelvo cannot write its pid to the pid file %s: %s", path.c_str(), std::strerror(error));
}

[[noreturn]] void wait_for_daemon(int reader, const std::string& pid_path) {
    char answer[1 + sizeof(int)] = {};
    std::size_t got = 0;
    while (got < sizeof answer) {
        const ssize_t part = read(reader, answer + got, sizeof answer - got);
        if (part < 0 && errno == EINTR) continue;
        if (part <= 0) break;
        got += static_cast<std::size_t>(part);
    }
    if (got == sizeof answer && answer[0] == no_pid_byte) {
        int error = 0;
        std::memcpy(&error, answer + 1, sizeof error);
        report_unwritten_pid(pid_path, error);
    }
    // An end without the byte: a fork or setsid after the first one failed.
    std::exit(got >= 1 && answer[0] == ready_byte ? 0 : 1);
}

// Detaches from the terminal, keeping the lock, the runtime directory and
// the control socket open through both forks; the daemon then writes its
// pid into the file.
void detach(const PidLock& lock, const RuntimeDirectory& runtime, int control_socket, const std::string& pid_path) {
    int ready[2];
    if (pipe(ready) != 0) std::exit(1);
    // Unwritten output would otherwise be written once by each parent.
    std::fflush(nullptr);
    pid_t child = fork();
    if (child < 0) std::exit(1);
    if (child > 0) {
        close(ready[1]);
        wait_for_daemon(ready[0], pid_path);
    }
    if (setsid() < 0) std::exit(1);
    // SIGCHLD keeps its default: the daemon reaps its children itself, so
    // that none it may still signal is reaped, and its number reused, first.
    std::signal(SIGHUP, SIG_IGN);
    fork_and_leave_parent();

    // The umask stays the one hardened at the start.
    if (chdir("/") != 0) std::exit(1);

    const std::initializer_list<int> kept = {lock.descriptor(), runtime.descriptor(), control_socket, ready[1]};
    long open_max = sysconf(_SC_OPEN_MAX);
    for (long descriptor = open_max - 1; descriptor >= 0; --descriptor) {
        if (std::find(kept.begin(), kept.end(), descriptor) == kept.end()) close(static_cast<int>(descriptor));
    }
    // A daemon that no pid file names could be found by no zelvoctl and
    // stopped by no second start: it ends here, and the launcher says why.
    if (!lock.write_pid(getpid())) {
        char answer[1 + sizeof(int)] = {no_pid_byte};
        const int error = errno;
        std::memcpy(answer + 1, &error, sizeof error);
        write_all(ready[1], std::string_view(answer, sizeof answer));
        std::_Exit(1);
    }
    // Before the standard streams are reopened: the pipe may have taken one
    // of their descriptors when the program was started without it.
    while (write(ready[1], &ready_byte, 1) < 0 && errno == EINTR) {
    }
    close(ready[1]);
    // The standard streams stay usable but lead to /dev/null: no file opened
    // later takes descriptors 0 to 2, and a library's stray warning is lost
    // harmlessly.
    if (std::freopen("/dev/null", "r", stdin) == nullptr ||
        std::freopen("/dev/null", "w", stdout) == nullptr ||
        std::freopen("/dev/null", "w", stderr) == nullptr)
        std::exit(1);
}

// The display whose lock a start takes: with swaybg WAYLAND_DISPLAY, and
// with zelvo's own drawing when it is set; else
// the configuration file's "DISPLAY" (read before anything is created, so
// that a start refused for it changes nothing), else the environment's, else
// the viewer's default ":0".
std::string lock_display(const RunOptions& options, const SessionKeys& keys) {
    if (keys.viewer == ViewerKind::swaybg) return options.wayland_display.value_or("");
    if (keys.viewer == ViewerKind::zelvo && options.wayland_display) return *options.wayland_display;
    if (keys.display) return *keys.display;
    // A desktop on Wayland without Xwayland is known by its Wayland display.
    if (keys.viewer == ViewerKind::desktop && !options.display && options.wayland_display) return *options.wayland_display;
    return options.display.value_or(":0");
}

// The path as seen from the working directory of the start, made absolute.
std::string absolute_path(const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    CTextPtr directory(getcwd(nullptr, 0));
    if (!directory) return path;
    return std::string(directory.get()) + "/" + path;
}

}  // namespace

std::string find_program(const char* search_list, const char* suffix, const char* fallback) {
    if (search_list != nullptr) {
        std::string list = search_list;
        std::size_t start = 0;
        while (start <= list.size()) {
            std::size_t end = list.find(':', start);
            if (end == std::string::npos) end = list.size();
            if (end > start) {
                std::string candidate = list.substr(start, end - start) + suffix;
                if (access(candidate.c_str(), X_OK) == 0) return candidate;
            }
            start = end + 1;
        }
    }
    return fallback;
}

std::optional<RunOptions> capture_environment() {
    RunOptions options;
    std::optional<std::string> home = home_directory();
    if (!home) {
        report("Zelvo cannot find a home directory: HOME is unset and user %u has no password entry",
               static_cast<unsigned>(getuid()));
        return std::nullopt;
    }
    options.home = std::move(*home);
    options.xauthority = environment_setting("XAUTHORITY");
    options.display = environment_setting("DISPLAY");
    options.wayland_display = environment_setting("WAYLAND_DISPLAY");
    options.runtime_directory = environment_setting("XDG_RUNTIME_DIR");
    options.current_desktop = environment_text("XDG_CURRENT_DESKTOP");
    // Both searches walk the same, unchanged PATH.
    const char* search_list = std::getenv("PATH");
    options.feh_path = find_program(search_list, "/feh", "/usr/bin/feh");
    options.xrdb_path = find_program(search_list, "/xrdb", "/usr/bin/xrdb");
    options.swaybg_path = find_program(search_list, "/swaybg", "/usr/bin/swaybg");
    return options;
}

int option_number(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int zelvo_main(int argc, char** argv) {
    // Exhausted memory ends the process at once, without a message.
    std::set_new_handler([] { std::abort(); });
    harden_umask();
    const char* invocation = argv[0] != nullptr ? argv[0] : "zelvo";

    Arguments arguments;
    int letter = 0;
    while ((letter = getopt(argc, argv, option_letters)) != -1) {
        switch (letter) {
        case 'c':
            arguments.config_path = optarg;
            break;
        case 't':
            arguments.minutes = option_number(optarg);
            break;
        case 's':
            arguments.source = optarg;
            break;
        case 'm':
            arguments.monitors = option_number(optarg);
            break;
        case 'v':
            std::printf("%s: version: %s\r\n", invocation, version);
            return 0;
        default:
            std::fprintf(stderr, "Usage: %s [-c config] [-t time] [-s source] [-m monitors] [-v]\r\n",
                         invocation);
            return 1;
        }
    }

    magick_start(invocation);
    magick_limit_threads(1);
    // MagickCore is stopped on every way out from here on.
    struct MagickStop {
        ~MagickStop() { magick_stop(); }
    } magick_stop_guard;

    std::optional<RunOptions> captured = capture_environment();
    if (!captured) return 1;
    RunOptions options = std::move(*captured);
    // The daemon works from "/" once detached: a relative -c path must keep
    // naming the same file when SIGHUP reloads it.
    options.config_path = arguments.config_path ? absolute_path(*arguments.config_path)
                                                : options.home + "/.zelvo/.zelvorc";
    options.source = std::move(arguments.source);

    // One daemon per user and display, decided before the sources are expanded.
    hold_steering_signals();
    // A viewer that cannot reach the session's display would show nothing.
    const SessionKeys keys = config_session_keys(options.config_path);
    if (keys.viewer == ViewerKind::swaybg && !options.wayland_display) {
        report("Zelvo cannot start swaybg: WAYLAND_DISPLAY is not set");
        return 1;
    }
    if (keys.viewer == ViewerKind::feh && options.wayland_display && !options.display && !keys.display) {
        report("Zelvo cannot start feh on the Wayland display %s: DISPLAY is not set (viewer = \"swaybg\" shows "
               "wallpapers on Wayland)",
               options.wayland_display->c_str());
        return 1;
    }
    // zelvo draws on Wayland through the compositor's layer shell: a
    // compositor without it is said now, rather than left to a daemon that
    // would draw nothing. One that does not answer is left to the daemon,
    // which waits for its display.
    if (keys.viewer == ViewerKind::zelvo && options.wayland_display) {
        const std::optional<std::vector<std::string>> missing =
            wayland_missing_for_painting(*options.wayland_display, wayland_handshake);
        if (missing && !missing->empty()) {
            std::string names;
            for (const std::string& name : *missing) names += (names.empty() ? "" : ", ") + name;
            // Neither zelvo nor swaybg draws there: the line names what may.
            report("Zelvo cannot draw on the Wayland display %s: its compositor offers no %s, which viewer = "
                   "\"zelvo\" and viewer = \"swaybg\" both need (viewer = \"desktop\" sets the wallpaper through "
                   "a full desktop's own settings)",
                   options.wayland_display->c_str(), names.c_str());
            return 1;
        }
    }
    if (keys.viewer == ViewerKind::desktop && !desktop_of(options.current_desktop ? options.current_desktop->c_str() : nullptr)) {
        if (!options.current_desktop)
            report("Zelvo cannot set the wallpaper through the desktop: XDG_CURRENT_DESKTOP is not set "
                   "(viewer = \"feh\" or \"zelvo\" shows wallpapers on X, viewer = \"swaybg\" or \"zelvo\" on sway)");
        else
            report("Zelvo cannot set the wallpaper through the desktop \"%s\": it knows GNOME, Budgie, Cinnamon, MATE, "
                   "XFCE, LXQt and KDE (viewer = \"feh\" or \"zelvo\" shows wallpapers on X, viewer = \"swaybg\" or \"zelvo\" on sway)",
                   options.current_desktop->c_str());
        return 1;
    }
    const std::string display = lock_display(options, keys);
    const RuntimeDirectory runtime =
        open_runtime_directory(runtime_place(std::getenv("XDG_RUNTIME_DIR"), options.home), true);
    if (!runtime.usable()) {
        report("Zelvo cannot use the runtime directory %s", runtime.problem().c_str());
        return 1;
    }
    LockAttempt attempt = take_pid_lock(runtime, display);
    if (const LockHeld* held = std::get_if<LockHeld>(&attempt)) {
        if (held->pid)
            report("Zelvo is already running on display %s, as pid %ld", display.c_str(),
                   static_cast<long>(*held->pid));
        else
            report("Zelvo is already running on display %s; its pid file names no pid", display.c_str());
        return 1;
    }
    if (const LockRefused* refused = std::get_if<LockRefused>(&attempt)) {
        report("Zelvo cannot lock the pid file %s", refused->problem.c_str());
        return 1;
    }
    const PidLock& lock = std::get<PidLock>(attempt);
    // A prober or a colour step left behind by a killed daemon holds neither.
    close_in_workers(lock.descriptor());
    close_in_workers(runtime.descriptor());
    // Until it detaches, the pid of this process: a second start names it.
    if (!lock.write_pid(getpid())) {
        report_unwritten_pid(pid_file_path(runtime, display), errno);
        return 1;
    }
    remove_status_file(runtime, display);
    // Only the holder of the display's lock replaces a socket left by a daemon that crashed.
    std::variant<UniqueDescriptor, std::string> listening = listen_control_socket(runtime, display);
    if (const std::string* problem = std::get_if<std::string>(&listening)) {
        report("Zelvo cannot make its control socket %s", problem->c_str());
        return 1;
    }
    UniqueDescriptor control_socket = std::move(std::get<UniqueDescriptor>(listening));
    // The probers of the first expansion do not hold it either.
    close_in_workers(control_socket.get());
    // Removed on every way out from here on, before the lock is let go.
    struct SocketRemoval {
        const RuntimeDirectory& runtime;
        const std::string& display;
        ~SocketRemoval() { remove_control_socket(runtime, display); }
    } socket_removal{runtime, display};

    options.config = load_config(options.config_path, options.home, options.source);
    if (!options.config) return 1;
    forget_unusable_cache(*options.config);
    options.minutes = arguments.minutes;
    options.monitors = arguments.monitors;
    apply_display_overrides(options, *options.config);

    StringList images = expand_sources(options.config->sources.first(), expand_options(options));
    if (images.empty()) {
        static const char no_images[] = "Zelvo found no suitable images to use\r\n";
        std::fwrite(no_images, 1, sizeof no_images - 1, stderr);
        return 1;
    }
    options.ring = ring_make(std::move(images), options.config->by_name);
    // Each group of "per-monitor" with sources of its own gets a ring of its own.
    options.monitor_rings = build_group_rings(*options.config, expand_options(options));

    detach(lock, runtime, control_socket.get(), pid_file_path(runtime, display));
    log_open();
    log_notice("Zelvo is inited");
    magick_limit_threads(4);

    DaemonState state(options);
    state.control_socket = std::move(control_socket);
    state.runtime = &runtime;
    state.lock_display = display;
    log_notice("Zelvo is started");
    run_cycle(state);

    remove_status_file(runtime, display);
    lock.clear();
    options.config.reset();
    options.ring = ImageRing();
    log_notice("Zelvo has quit");
    log_close();
    return 0;
}

}  // namespace zelvo
