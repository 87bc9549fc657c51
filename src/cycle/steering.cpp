// What the daemon answers on its control socket: each request read against
// its command's form, carried out by the same steps that a signal takes, and
// answered at once or, for set and the lists, once its worker has answered.

#include <cstring>
#include <ctime>
#include <string>
#include <variant>
#include <vector>

#include "colour/exports.h"
#include "control/protocol.h"
#include "control/status_file.h"
#include "cycle/cycle.h"
#include "support/log.h"

namespace zelvo {

namespace {

// The longest the prober may take over the files of a set; then the set is refused.
constexpr int set_check_seconds = 30;
constexpr std::size_t check_bytes_at_once = 64 << 10;

std::string json_number(std::optional<std::int64_t> value) {
    return value ? std::to_string(*value) : std::string("null");
}

// status --json and current --json: one object, on one line.
std::string status_json(const DaemonState& state) {
    const DaemonStatus status = daemon_status(state);
    std::string text = "{\"display\":" + json_string(status.display) + ",\"pid\":" + std::to_string(status.pid) +
                       ",\"images\":[";
    for (std::size_t index = 0; index < status.images.size(); ++index)
        text += (index > 0 ? "," : "") + json_string(status.images[index]);
    text += "],\"paused\":" + std::string(status.paused ? "true" : "false");
    text += ",\"interval\":" + std::to_string(status.interval);
    text += ",\"last_change\":" + json_number(status.last_change);
    text += ",\"next_change\":" + json_number(status.next_change);
    text += ",\"ring\":" + std::to_string(state.options.ring.size());
    if (!status.monitors.empty()) {
        text += ",\"monitors\":[";
        for (std::size_t index = 0; index < status.monitors.size(); ++index) {
            const MonitorTiming& monitor = status.monitors[index];
            text += (index > 0 ? ",{" : "{") + std::string("\"monitor\":") + std::to_string(index + 1);
            text += ",\"image\":" + (index < status.images.size() ? json_string(status.images[index]) : "null");
            text += ",\"interval\":" + std::to_string(monitor.interval);
            text += ",\"next_change\":" + json_number(monitor.next_change) + "}";
        }
        text += "]";
    }
    if (state.options.config->colors && state.palette) {
        text += ",\"palette\":[";
        for (std::size_t index = 0; index < state.palette->size(); ++index)
            text += (index > 0 ? "," : "") + json_string((*state.palette)[index].c_str());
        text += "]";
    }
    return text + "}";
}

// Plain status and current: the records of the status file, one a line, for zelvoctl to print.
std::vector<std::string> status_records(const DaemonState& state) {
    const std::string text = status_text(daemon_status(state));
    std::vector<std::string> records;
    // After the record that names the format, which zelvoctl knows.
    for (std::size_t start = text.find('\0') + 1; start < text.size();) {
        const std::size_t end = text.find('\0', start);
        records.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return records;
}

void answer(DaemonState& state, std::uint64_t client, std::string reply) {
    if (state.control) state.control->reply(client, std::move(reply));
}

// The set's files are checked: shown now when each passed, else refused whole.
void finish_set(DaemonState& state, std::optional<std::string> refusal) {
    const std::unique_ptr<PendingSet> set = std::move(state.set);
    set->readable.reset();
    set->overdue.reset();
    if (!refusal) {
        const std::vector<std::string> verdicts = set->check->take_verdicts();
        if (verdicts.size() != set->files.size()) refusal = "checking the files ended before it was done";
        for (std::size_t index = 0; index < verdicts.size() && !refusal; ++index)
            if (!verdicts[index].empty()) refusal = set->files[index] + ": " + verdicts[index];
    }
    if (refusal) {
        answer(state, set->client, reply_error(*refusal));
        return;
    }
    // One image a monitor in order; a monitor not named keeps its image.
    std::vector<std::string> images = set->monitor ? std::vector<std::string>() : set->files;
    const std::vector<std::string>* on_screen = history_on_screen(state.shown);
    const std::size_t monitors = static_cast<std::size_t>(monitor_count(state.options));
    for (std::size_t index = images.size(); index < monitors; ++index)
        images.push_back(on_screen != nullptr && index < on_screen->size() ? (*on_screen)[index] : set->files.back());
    if (set->monitor && *set->monitor < images.size()) images[*set->monitor] = set->files.front();
    // The palette follows the first monitor only.
    const bool colours_stay = set->monitor && *set->monitor != 0 && on_screen != nullptr && !on_screen->empty() &&
                              images.front() == on_screen->front();
    std::vector<char*> argv(state.viewer_argv.entries(), state.viewer_argv.entries() + 3);
    for (std::string& image : images) argv.push_back(image.data());
    argv.push_back(nullptr);
    log_notice("Zelvo is showing the images it was set to");
    if (!begin_change(state, argv.data(), colours_stay)) {
        publish_status(state);
        answer(state, set->client, reply_error("feh could not be started"));
        return;
    }
    history_record(state.shown, state.change->images);
    // One monitor set alone restarts its own period only, when it has one.
    if (!set->monitor)
        restart_timer(state);
    else if (monitors_timed_apart(state))
        restart_monitor_timers(state, *set->monitor);
    answer(state, set->client, reply_ok());
    settle_change(state);
}

void on_set_readable(evutil_socket_t, short, void* argument) {
    DaemonState& state = *static_cast<DaemonState*>(argument);
    const ExpansionChild::Progress progress = state.set->check->take(check_bytes_at_once);
    if (progress == ExpansionChild::Progress::more) return;
    finish_set(state, progress == ExpansionChild::Progress::failed
                          ? std::optional<std::string>("checking the files failed")
                          : std::nullopt);
}

void on_set_overdue(evutil_socket_t, short, void* argument) {
    finish_set(*static_cast<DaemonState*>(argument),
               "checking the files took longer than " + std::to_string(set_check_seconds) + " seconds");
}

void start_set(DaemonState& state, std::uint64_t client, const std::vector<std::string>& files,
               std::optional<std::size_t> monitor) {
    const int monitors = monitor_count(state.options);
    if (monitor && files.size() != 1) {
        answer(state, client, reply_error("set -n takes one file"));
        return;
    }
    if (files.size() > static_cast<std::size_t>(monitors)) {
        answer(state, client, reply_error(std::to_string(files.size()) + " files for " + std::to_string(monitors) +
                                          (monitors == 1 ? " monitor" : " monitors")));
        return;
    }
    // A set still being checked gives way to the later one.
    if (state.set) {
        answer(state, state.set->client, reply_error("a later set came first"));
        state.set.reset();
    }
    auto set = std::make_unique<PendingSet>();
    set->client = client;
    set->monitor = monitor;
    set->files = files;
    set->check = std::make_unique<ExpansionChild>(set->files);
    if (set->check->descriptor() < 0) {
        answer(state, client, reply_error("the files cannot be checked now"));
        return;
    }
    event_base* base = state.events->base.get();
    set->readable.reset(event_new(base, set->check->descriptor(), EV_READ | EV_PERSIST, on_set_readable, &state));
    set->overdue.reset(event_new(base, -1, 0, on_set_overdue, &state));
    const timeval limit{set_check_seconds, 0};
    if (!set->readable || !set->overdue || event_add(set->readable.get(), nullptr) < 0 ||
        event_add(set->overdue.get(), &limit) < 0)
        std::abort();
    state.set = std::move(set);
}

void ask_list(DaemonState& state, ListRequest::Kind kind, std::uint64_t client, std::vector<std::string> paths) {
    if (paths.empty()) {
        answer(state, client, reply_error("nothing is on screen yet"));
        return;
    }
    state.list_requests.push_back(ListRequest{kind, client, std::move(paths)});
    run_list_requests(state);
}

std::vector<std::string> on_screen(const DaemonState& state) {
    const std::vector<std::string>* images = history_on_screen(state.shown);
    return images != nullptr ? *images : std::vector<std::string>();
}

// The monitor that -n names, from 0: none without -n; the reason when it names none.
std::variant<std::optional<std::size_t>, std::string> monitor_option(const DaemonState& state, const Command& command) {
    const std::string* given = command.value("-n");
    if (given == nullptr) return std::optional<std::size_t>();
    const std::size_t monitors = static_cast<std::size_t>(monitor_count(state.options));
    std::size_t number = 0;
    bool digits = !given->empty() && given->size() <= 9;
    for (const char digit : *given) {
        digits = digits && digit >= '0' && digit <= '9';
        if (digits) number = number * 10 + static_cast<std::size_t>(digit - '0');
    }
    if (!digits || number < 1 || number > monitors)
        return "there is no monitor " + *given + ": zelvo counts " + std::to_string(monitors) +
               (monitors == 1 ? " monitor" : " monitors");
    return std::optional<std::size_t>(number - 1);
}

}  // namespace

void control_request(DaemonState& state, ControlRequest request) {
    const auto parsed = parse_command(request.words);
    if (const std::string* reason = std::get_if<std::string>(&parsed)) {
        answer(state, request.client, reply_error(*reason));
        return;
    }
    const Command& command = std::get<Command>(parsed);
    const std::string name = command.form->name;
    const std::uint64_t client = request.client;
    if (state.quitting && name != "quit" && name != "status" && name != "current") {
        answer(state, client, reply_error("zelvo is quitting"));
        return;
    }
    const auto monitor_given = monitor_option(state, command);
    if (const std::string* reason = std::get_if<std::string>(&monitor_given)) {
        answer(state, client, reply_error(*reason));
        return;
    }
    const std::optional<std::size_t> monitor = std::get<std::optional<std::size_t>>(monitor_given);
    if (name == "next") {
        const bool shown = monitor ? steer_next_monitor(state, *monitor) : steer_next(state);
        answer(state, client, shown ? reply_ok() : reply_error("no image is left to show"));
    } else if (name == "previous") {
        const bool shown = monitor ? steer_previous_monitor(state, *monitor) : steer_previous(state);
        answer(state, client, shown ? reply_ok() : reply_error("there is nothing to go back to"));
    } else if (name == "reshuffle") {
        steer_reshuffle(state);
        answer(state, client, reply_ok());
    } else if (name == "reload") {
        steer_reload(state);
        answer(state, client, reply_ok());
    } else if (name == "quit") {
        answer(state, client, reply_ok());
        steer_quit(state);
    } else if (name == "pause" || name == "resume" || name == "toggle-pause") {
        steer_pause(state, name == "pause" || (name == "toggle-pause" && !state.paused));
        answer(state, client, reply_ok());
    } else if (name == "rescan") {
        // A reload under way expands the sources anyway.
        if (!state.reload) start_rescan(state);
        answer(state, client, state.rescan || state.reload ? reply_ok() : reply_error("the sources cannot be expanded now"));
    } else if (name == "status" || name == "current") {
        answer(state, client, reply_ok(command.has("--json") ? std::vector<std::string>{status_json(state)}
                                                             : status_records(state)));
    } else if (name == "set") {
        start_set(state, client, command.arguments, monitor);
    } else if (name == "favourite") {
        ask_list(state, ListRequest::Kind::favourite, client, on_screen(state));
    } else if (name == "ban") {
        ask_list(state, ListRequest::Kind::ban, client, on_screen(state));
    } else if (name == "unban") {
        ask_list(state, ListRequest::Kind::unban, client, command.arguments);
    }
}

}  // namespace zelvo
