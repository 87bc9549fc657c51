// The daemon's own X painting on its own, for the tests and the benchmark:
// pictures made by PictureChild, monitors read through XMonitors on a
// connection that XConnector made, and XPainter showing them, all driven by
// one libevent loop that reaps the workers as the daemon does.
//
// Usage: zelvo_x_painter_probe DISPLAY (XAUTHORITY from the environment)
// Commands on standard input, one a line; one line on standard output for each result:
//   picture NAME IMAGE STYLE:WxH...  makes one picture per target, kept as NAME:
//                                    "picture NAME ok COUNT MS" or "picture NAME complaint LINE"
//   monitors                         "monitors N WxH+X+Y ..." or "unreachable REASON"
//   show NAME [KIND MS FPS [angle=DEGREES] [at=X,Y] [ease=X1,Y1,X2,Y2]]
//                                    shows NAME's pictures on the monitors last read, each
//                                    monitor by the transition given (KIND fade, wipe, grow or none):
//                                    "shown SHM REFUSED MS DRAWN ASKED" (SHM 1 or 0, REFUSED "-"
//                                    or "0,1", the frames drawn and asked for) or "failed REASON"
//   finish                           ends the transition under way at once (its show answers)
//   repeat NAME N                    N shows one after another: "repeated N ON-SCREEN"
//   connect DISPLAY                  the connector alone, with a timer ticking every 10 ms
//                                    meanwhile: "connect ok MS TICKS" or "connect failed REASON MS TICKS" (MS to the microsecond)
//   set-root PROPERTY VALUE          sets a root window property of type PIXMAP: "set"
//   owner SELECTION                  "owner WINDOW" (0 when none), as a compositor's readiness shows
//   status                           "status DESCRIPTORS RSS-KIB CPU-MICROSECONDS" (user and system, all threads;
//                                    a sanitized probe gives its live heap for its resident set, which its
//                                    sanitizer's shadow memory and quarantine make grow)
//   quit                             (so does the end of the input)
// Lines the painter reports come as "report LINE".
#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "display/x_connect.h"
#include "display/x_monitors.h"
#include "display/x_painter.h"
#include "picture/picture_child.h"
#include "process/children.h"
#include "support/event.h"
#include "support/log.h"
#include "support/magick.h"
#include "probe_memory.h"

namespace {

using namespace zelvo;
using Clock = std::chrono::steady_clock;

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Milliseconds since start, to the microsecond.
std::string since(Clock::time_point start) {
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(micros) / 1000.0);
    return text;
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

// One picture step under way, watched by the loop until its result or its deadline.
struct Job {
    std::unique_ptr<PictureChild> child;
    std::unique_ptr<DescriptorEvent> readable;
    std::unique_ptr<TimerEvent> overdue;
    Clock::time_point started = Clock::now();
};

struct Probe {
    std::string display;
    EventBasePtr base{event_base_new()};
    XConnector monitors_connector{base.get()};
    XConnector lone_connector{base.get()};
    XMonitors monitors;
    XPainter painter{base.get(), display, environment("XAUTHORITY")};
    std::map<std::string, std::vector<Picture>> pictures;
    std::map<std::string, Job> jobs;
    std::string pending;
    int ticks = 0;
    TimerEvent ticker{base.get(), [this] { ++ticks; }, TimerEvent::Repeat::every};
    SignalEvent child_ended{base.get(), SIGCHLD, [] { children_reap(); }};
    std::unique_ptr<DescriptorEvent> input;

    explicit Probe(std::string name) : display(std::move(name)) { painter.set_display(display, environment("XAUTHORITY")); }

    void picture(std::istringstream& words) {
        std::string name, image;
        words >> name >> image;
        std::vector<PictureTarget> targets;
        for (std::string target; words >> target;) {
            PictureTarget wanted;
            const std::size_t colon = target.find(':'), times = target.find('x', colon);
            wanted.bg_style = target.substr(0, colon);
            wanted.width = static_cast<std::uint32_t>(std::stoul(target.substr(colon + 1, times - colon - 1)));
            wanted.height = static_cast<std::uint32_t>(std::stoul(target.substr(times + 1)));
            targets.push_back(wanted);
        }
        Job& job = jobs[name];
        job = Job{};
        job.child = std::make_unique<PictureChild>(image, std::move(targets), false);
        if (job.child->known()) {
            finish(name);
            return;
        }
        job.readable = std::make_unique<DescriptorEvent>(base.get(), job.child->descriptor(), DescriptorEvent::Ready::read,
                                                         [this, name] {
                                                             if (jobs[name].child->take()) finish(name);
                                                         });
        job.overdue = std::make_unique<TimerEvent>(base.get(), [this, name] {
            jobs[name].child->kill_overdue();
            finish(name);
        });
        job.readable->start();
        job.overdue->schedule_at(job.child->deadline());
    }

    void finish(const std::string& name) {
        Job job = std::move(jobs[name]);
        jobs.erase(name);
        job.readable.reset();
        job.overdue.reset();
        PictureResult& result = job.child->result();
        if (result.complaint) {
            say("picture " + name + " complaint " + *result.complaint);
            return;
        }
        say("picture " + name + " ok " + std::to_string(result.pictures.size()) + " " + since(job.started));
        pictures[name] = std::move(result.pictures);
    }

    void read_monitors() {
        monitors_connector.connect(display, environment("XAUTHORITY"), [this](XConnected connected) {
            if (!connected.connection || !monitors.take_over(std::move(connected.connection), connected.screen)) {
                say("unreachable " + (connected.failure.empty() ? monitors.failure() : connected.failure));
                return;
            }
            std::string line = "monitors " + std::to_string(monitors.monitors().size());
            for (const Monitor& monitor : monitors.monitors())
                line += " " + std::to_string(monitor.width) + "x" + std::to_string(monitor.height) + "+" +
                        std::to_string(monitor.x) + "+" + std::to_string(monitor.y);
            say(line);
            last_monitors = monitors.monitors();
            // The probe reads the monitors when told to, not as they change.
            monitors.disconnect();
        });
    }

    // The transition of a show command's further words; none without them.
    static Transition transition_of(std::istringstream& words) {
        Transition transition;
        std::string kind;
        long milliseconds = 0;
        if (!(words >> kind >> milliseconds >> transition.fps)) return transition;
        const std::string kinds[] = {"none", "fade", "wipe", "grow"};  // in Transition::Kind's order
        transition.kind = static_cast<Transition::Kind>(std::find(std::begin(kinds), std::end(kinds), kind) - kinds);
        transition.time = std::chrono::milliseconds(milliseconds);
        for (std::string option; words >> option;) {
            std::replace(option.begin(), option.end(), ',', ' ');
            std::istringstream value(option.substr(option.find('=') + 1));
            if (option.starts_with("angle=")) value >> transition.angle;
            else if (option.starts_with("at=")) value >> transition.x >> transition.y;
            else if (option.starts_with("ease=")) value >> transition.ease_x1 >> transition.ease_y1 >> transition.ease_x2 >> transition.ease_y2;
        }
        return transition;
    }

    void show(const std::string& name, int left, int on_screen, const Transition& transition = {}) {
        const Clock::time_point started = Clock::now();
        const std::vector<Transition> transitions(monitors_seen.size(), transition);
        painter.show(monitors_seen, pictures[name], transitions, [=, this](const XShown& shown) {
            if (left > 1) {
                show(name, left - 1, on_screen + (shown.on_screen ? 1 : 0));
                return;
            }
            if (left == 1 && repeating) {
                say("repeated " + std::to_string(repeating) + " " + std::to_string(on_screen + (shown.on_screen ? 1 : 0)));
                repeating = 0;
                return;
            }
            if (!shown.on_screen) {
                say("failed " + shown.failure);
                return;
            }
            std::string refused;
            for (std::size_t index : shown.refused) refused += (refused.empty() ? "" : ",") + std::to_string(index);
            say("shown " + std::string(shown.shared_memory ? "1" : "0") + " " + (refused.empty() ? "-" : refused) + " " +
                since(started) + " " + std::to_string(shown.frames_drawn) + " " + std::to_string(shown.frames_asked));
        });
    }
    std::vector<Monitor> monitors_seen;
    int repeating = 0;

    void connect_alone(const std::string& name) {
        const Clock::time_point started = Clock::now();
        ticks = 0;
        ticker.schedule(std::chrono::milliseconds(10));
        lone_connector.connect(name, environment("XAUTHORITY"), [this, started](XConnected connected) {
            ticker.cancel();
            const std::string timing = since(started) + " " + std::to_string(ticks);
            say(connected.connection ? "connect ok " + timing : "connect failed " + connected.failure + " " + timing);
        });
    }

    void set_root(const std::string& property, std::uint32_t value) {
        int screen = 0;
        XcbConnectionPtr connection(xcb_connect(display.c_str(), &screen));
        xcb_connection_t* c = connection.get();
        XcbReplyPtr<xcb_intern_atom_reply_t> atom(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, property.size(), property.c_str()), nullptr));
        if (!atom) {
            say("unset");
            return;
        }
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, root, atom->atom, XCB_ATOM_PIXMAP, 32, 1, &value);
        XcbReplyPtr<xcb_get_input_focus_reply_t> synced(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
        say(synced ? "set" : "unset");
    }

    void owner(const std::string& selection) {
        int screen = 0;
        XcbConnectionPtr connection(xcb_connect(display.c_str(), &screen));
        xcb_connection_t* c = connection.get();
        XcbReplyPtr<xcb_intern_atom_reply_t> atom(
            xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, selection.size(), selection.c_str()), nullptr));
        XcbReplyPtr<xcb_get_selection_owner_reply_t> owned(
            atom ? xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr) : nullptr);
        say("owner " + std::to_string(owned ? owned->owner : 0));
    }

    void status() {
        std::size_t descriptors = 0;
        if (DIR* folder = opendir("/proc/self/fd")) {
            while (const dirent* entry = readdir(folder))
                if (entry->d_name[0] != '.') ++descriptors;
            closedir(folder);
            --descriptors;  // the folder's own
        }
        const std::string rss = std::to_string(probe_memory_kib());
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const long long cpu = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000LL + usage.ru_utime.tv_usec +
                              usage.ru_stime.tv_usec;
        say("status " + std::to_string(descriptors) + " " + rss + " " + std::to_string(cpu));
    }

    void command(const std::string& line) {
        std::istringstream words(line);
        std::string verb, name;
        words >> verb;
        if (verb == "picture") {
            picture(words);
        } else if (verb == "monitors") {
            read_monitors();
        } else if (verb == "show" && words >> name) {
            monitors_seen = monitors_last();
            show(name, 1, 0, transition_of(words));
        } else if (verb == "finish") {
            painter.finish_now();
        } else if (verb == "repeat" && words >> name >> repeating) {
            monitors_seen = monitors_last();
            show(name, repeating, 0);
        } else if (verb == "connect" && words >> name) {
            connect_alone(name);
        } else if (verb == "set-root") {
            std::string value;
            words >> name >> value;
            set_root(name, static_cast<std::uint32_t>(std::stoul(value, nullptr, 0)));
        } else if (verb == "owner" && words >> name) {
            owner(name);
        } else if (verb == "status") {
            status();

        } else if (verb == "quit") {
            event_base_loopbreak(base.get());
        }
    }

    // The monitors as last read; kept when the probe let go of the connection.
    std::vector<Monitor> last_monitors;
    std::vector<Monitor> monitors_last() { return last_monitors; }

    void on_input() {
        char bytes[4096];
        const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
        if (got < 0 && errno == EINTR) return;
        if (got <= 0) {
            event_base_loopbreak(base.get());
            return;
        }
        pending.append(bytes, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            command(line);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DISPLAY\n", argv[0]);
        return 2;
    }
    magick_start(argv[0]);
    report_to([](const char* line, void*) { say(std::string("report ") + line); }, nullptr);
    {
        Probe probe(argv[1]);
        probe.input = std::make_unique<DescriptorEvent>(probe.base.get(), STDIN_FILENO, DescriptorEvent::Ready::read,
                                                        [&probe] { probe.on_input(); });
        probe.input->start();
        event_base_loop(probe.base.get(), EVLOOP_NO_EXIT_ON_EMPTY);
    }
    children_reap_killed();
    magick_stop();
    return 0;
}
