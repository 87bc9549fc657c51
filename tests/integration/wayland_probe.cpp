// The daemon's Wayland side on its own, for the tests and the benchmark:
// one connection to the compositor of WAYLAND_DISPLAY whose outputs it
// follows, and the swaybg viewer, driven by one libevent loop that reaps the
// children itself, as the daemon does.
//
// Usage: zelvo_wayland_probe SWAYBG BG-STYLE
// Commands on standard input, one a line:
//   show IMAGE...  shows the images, one per output in order (taken again
//                  from the first when there are more outputs), and again
//                  whenever the outputs change
//   program PATH   the swaybg started from the next change on
//   connect        connects again, as after the compositor went away
//   quit           ends every swaybg and exits once all have ended (so does
//                  the end of the input)
// One JSON object a line on standard output, for each event:
//   {"outputs": [{"name": ..., "x": ..., "y": ..., "width": ..., "height": ...}, ...]}
//   {"lost": true}, {"unreachable": true}, {"started": PID}, {"ended": PID},
//   and after each of these {"on_screen": PID or null, "alive": N}.
#include <event2/event.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "display/swaybg.h"
#include "display/wayland_outputs.h"
#include "support/event.h"
#include "support/log.h"

namespace {

using namespace zelvo;

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string json_text(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

class NoisyProcesses : public ViewerProcesses {
public:
    std::optional<pid_t> start(const SwaybgCall& call) override {
        const std::optional<pid_t> child = forked_.start(call);
        if (child) say("{\"started\": " + std::to_string(*child) + "}");
        return child;
    }
    void signal(pid_t child, int number) override { forked_.signal(child, number); }

private:
    ForkedProcesses forked_;
};

struct Probe {
    std::string program;
    std::string bg_style;
    std::string display;
    std::vector<std::string> images;
    bool quitting = false;

    EventBasePtr base;
    EventPtr input_event;
    EventPtr child_event;
    EventPtr timer_event;
    EventPtr wayland_event;
    WaylandOutputs outputs;
    NoisyProcesses processes;
    SwaybgHandover viewer{processes};

    void report_viewer() {
        const std::optional<pid_t> shown = viewer.on_screen();
        say("{\"on_screen\": " + (shown ? std::to_string(*shown) : std::string("null")) +
            ", \"alive\": " + std::to_string(viewer.alive()) + "}");
    }

    // The loop's timer follows the viewer's deadline.
    void arm_timer() {
        event_del(timer_event.get());
        const std::optional<ViewerClock::time_point> when = viewer.deadline();
        if (!when) return;
        const auto wait = std::chrono::ceil<std::chrono::microseconds>(*when - ViewerClock::now());
        const long long micros = std::max<long long>(wait.count(), 0);
        const timeval delay{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
        event_add(timer_event.get(), &delay);
    }

    void show() {
        if (images.empty() || outputs.monitors().empty()) return;
        std::vector<SwaybgOutput> plan;
        for (std::size_t index = 0; index < outputs.monitors().size(); ++index)
            plan.push_back(SwaybgOutput{outputs.monitors()[index].name, images[index % images.size()], swaybg_mode(bg_style)});
        viewer.show(SwaybgCall{program, build_swaybg_argv(plan),
                               build_swaybg_envp(display, environment("XDG_RUNTIME_DIR"), environment("HOME"))},
                    ViewerClock::now());
        report_viewer();
        arm_timer();
    }

    void say_outputs() {
        std::string line = "{\"outputs\": [";
        for (const Monitor& monitor : outputs.monitors()) {
            if (line.back() != '[') line += ", ";
            line += "{\"name\": " + json_text(monitor.name) + ", \"x\": " + std::to_string(monitor.x) +
                    ", \"y\": " + std::to_string(monitor.y) + ", \"width\": " + std::to_string(monitor.width) +
                    ", \"height\": " + std::to_string(monitor.height) + "}";
        }
        say(line + "]}");
    }

    void connect() {
        wayland_event.reset();
        if (!outputs.connect(display) || !outputs.wait_ready(std::chrono::seconds(5))) {
            outputs.disconnect();
            say("{\"unreachable\": true}");
            return;
        }
        wayland_event.reset(event_new(base.get(), outputs.descriptor(), EV_READ | EV_PERSIST, on_wayland, this));
        event_add(wayland_event.get(), nullptr);
        say_outputs();
    }

    void end_if_done() {
        if (quitting && viewer.alive() == 0) event_base_loopbreak(base.get());
    }

    static void on_wayland(evutil_socket_t, short, void* argument) {
        Probe& probe = *static_cast<Probe*>(argument);
        if (!probe.outputs.take_events()) return;
        if (!probe.outputs.connected()) {
            probe.wayland_event.reset();
            say("{\"lost\": true}");
            return;
        }
        probe.say_outputs();
        if (!probe.quitting) probe.show();
    }

    static void on_child(evutil_socket_t, short, void* argument) {
        Probe& probe = *static_cast<Probe*>(argument);
        int status = 0;
        for (pid_t child; (child = waitpid(-1, &status, WNOHANG)) > 0;) {
            say("{\"ended\": " + std::to_string(child) + "}");
            probe.viewer.on_child_ended(child, ViewerClock::now());
            probe.report_viewer();
        }
        probe.arm_timer();
        probe.end_if_done();
    }

    static void on_timer(evutil_socket_t, short, void* argument) {
        Probe& probe = *static_cast<Probe*>(argument);
        probe.viewer.on_deadline(ViewerClock::now());
        probe.report_viewer();
        probe.arm_timer();
    }

    void quit() {
        quitting = true;
        event_del(input_event.get());
        viewer.end_all(ViewerClock::now());
        report_viewer();
        arm_timer();
        end_if_done();
    }

    void command(const std::string& line) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        if (verb == "show") {
            images.clear();
            for (std::string image; words >> image;) images.push_back(image);
            if (!outputs.connected()) connect();
            show();
        } else if (verb == "program") {
            words >> program;
        } else if (verb == "connect") {
            connect();
        } else if (verb == "quit") {
            quit();
        }
    }

    static void on_input(evutil_socket_t descriptor, short, void* argument) {
        Probe& probe = *static_cast<Probe*>(argument);
        static std::string pending;
        char bytes[4096];
        const ssize_t got = read(descriptor, bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) return;
        if (got <= 0) {
            probe.quit();
            return;
        }
        pending.append(bytes, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            probe.command(line);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SWAYBG BG-STYLE\n", argv[0]);
        return 2;
    }
    zelvo::log_open();
    Probe probe;
    probe.program = argv[1];
    probe.bg_style = argv[2];
    probe.display = environment("WAYLAND_DISPLAY").value_or("wayland-0");
    probe.base.reset(event_base_new());
    probe.input_event.reset(event_new(probe.base.get(), STDIN_FILENO, EV_READ | EV_PERSIST, Probe::on_input, &probe));
    probe.child_event.reset(event_new(probe.base.get(), SIGCHLD, EV_SIGNAL | EV_PERSIST, Probe::on_child, &probe));
    probe.timer_event.reset(event_new(probe.base.get(), -1, 0, Probe::on_timer, &probe));
    if (!probe.base || !probe.input_event || !probe.child_event || !probe.timer_event) return 1;
    event_add(probe.input_event.get(), nullptr);
    event_add(probe.child_event.get(), nullptr);
    probe.connect();
    event_base_loop(probe.base.get(), EVLOOP_NO_EXIT_ON_EMPTY);
    // Events go before the base they belong to.
    probe.wayland_event.reset();
    probe.timer_event.reset();
    probe.child_event.reset();
    probe.input_event.reset();
    probe.base.reset();
    zelvo::log_close();
    return 0;
}
