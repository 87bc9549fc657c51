// What the daemon answers on its control socket: each request read against
// its command's form, carried out by the same steps that a signal takes, and
// answered at once or, for set and the lists, once its worker has answered.

#include "cycle/steering.h"

#include <unistd.h>

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "colour/exports.h"
#include "control/status_file.h"
#include "cycle/cycle.h"
#include "support/log.h"

namespace zelvo {

namespace {

// The longest the prober may take over the files of a set; then the set is refused.
constexpr int set_check_seconds = 30;

std::string json_number(std::optional<std::int64_t> value) {
    return value ? std::to_string(*value) : std::string("null");
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

std::vector<std::string> on_screen(const DaemonState& state) {
    const std::vector<std::string>* images = state.rotation->on_screen();
    return images != nullptr ? *images : std::vector<std::string>();
}

// The monitor that -n names, from 0: none without -n; the reason when it names none.
std::variant<std::optional<std::size_t>, std::string> monitor_option(const DaemonState& state, const Command& command) {
    const std::string* given = command.value("-n");
    if (given == nullptr) return std::optional<std::size_t>();
    const std::size_t monitors = static_cast<std::size_t>(state.display->count());
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
    if (!status.drawn.empty()) {
        text += ",\"drawn\":[";
        for (std::size_t index = 0; index < status.drawn.size(); ++index)
            text += (index > 0 ? "," : "") + json_number(status.drawn[index]);
        text += "]";
    }
    // The frames of transitions each monitor has had since the start, once there were some.
    const std::vector<Viewer::Frames> frames = state.viewer->frames();
    if (std::any_of(frames.begin(), frames.end(), [](const Viewer::Frames& one) { return one.asked > 0; })) {
        text += ",\"frames\":[";
        for (std::size_t index = 0; index < frames.size(); ++index)
            text += (index > 0 ? ",{" : "{") + std::string("\"delivered\":") + std::to_string(frames[index].delivered) +
                    ",\"asked\":" + std::to_string(frames[index].asked) + "}";
        text += "]";
    }
    const std::optional<Palette>& palette = state.publisher->palette();
    if (state.options.config->colors && palette) {
        text += ",\"palette\":[";
        for (std::size_t index = 0; index < palette->size(); ++index)
            text += (index > 0 ? "," : "") + json_string((*palette)[index].c_str());
        text += "]";
    }
    return text + "}";
}

void Steering::answer(std::uint64_t client, std::string reply) {
    if (state_.control) state_.control->reply(client, std::move(reply));
}

void Steering::request(ControlRequest request) {
    const auto parsed = parse_command(request.words);
    if (const std::string* reason = std::get_if<std::string>(&parsed)) {
        answer(request.client, reply_error(*reason));
        return;
    }
    const Command& command = std::get<Command>(parsed);
    if (state_.quitting && !command.form->while_quitting) {
        answer(request.client, reply_error("zelvo is quitting"));
        return;
    }
    const auto monitor = monitor_option(state_, command);
    if (const std::string* reason = std::get_if<std::string>(&monitor)) {
        answer(request.client, reply_error(*reason));
        return;
    }
    (this->*command.form->exec)(request.client, command);
}

void Steering::next(std::uint64_t client, const Command& command) {
    const std::optional<std::size_t> monitor = std::get<0>(monitor_option(state_, command));
    const bool shown = monitor ? steer_next_monitor(state_, *monitor) : steer_next(state_);
    answer(client, shown ? reply_ok() : reply_error("no image is left to show"));
}

void Steering::previous(std::uint64_t client, const Command& command) {
    const std::optional<std::size_t> monitor = std::get<0>(monitor_option(state_, command));
    const bool shown = monitor ? steer_previous_monitor(state_, *monitor) : steer_previous(state_);
    answer(client, shown ? reply_ok() : reply_error("there is nothing to go back to"));
}

void Steering::reshuffle(std::uint64_t client, const Command&) {
    steer_reshuffle(state_);
    answer(client, reply_ok());
}

void Steering::reload(std::uint64_t client, const Command&) {
    steer_reload(state_);
    answer(client, reply_ok());
}

void Steering::quit(std::uint64_t client, const Command&) {
    answer(client, reply_ok());
    steer_quit(state_);
}

void Steering::pause(std::uint64_t client, const Command& command) {
    const std::string name = command.form->name;
    steer_pause(state_, name == "pause" || (name == "toggle-pause" && !state_.schedule->paused()));
    answer(client, reply_ok());
}

void Steering::rescan(std::uint64_t client, const Command&) {
    // A reload under way expands the sources anyway.
    const bool under_way = state_.reload != nullptr || start_rescan(state_);
    answer(client, under_way ? reply_ok() : reply_error("the sources cannot be expanded now"));
}

void Steering::status(std::uint64_t client, const Command& command) {
    answer(client, reply_ok(command.has("--json") ? std::vector<std::string>{status_json(state_)}
                                                  : status_records(state_)));
}

void Steering::favourite(std::uint64_t client, const Command&) {
    std::vector<std::string> paths = on_screen(state_);
    if (paths.empty()) {
        answer(client, reply_error("nothing is on screen yet"));
        return;
    }
    state_.lists->ask(ListRequest{ListRequest::Kind::favourite, client, std::move(paths)});
}

void Steering::ban(std::uint64_t client, const Command&) {
    std::vector<std::string> paths = on_screen(state_);
    if (paths.empty()) {
        answer(client, reply_error("nothing is on screen yet"));
        return;
    }
    state_.lists->ask(ListRequest{ListRequest::Kind::ban, client, std::move(paths)});
}

void Steering::unban(std::uint64_t client, const Command& command) {
    state_.lists->ask(ListRequest{ListRequest::Kind::unban, client, command.arguments});
}

void Steering::set(std::uint64_t client, const Command& command) {
    const std::optional<std::size_t> monitor = std::get<0>(monitor_option(state_, command));
    const std::vector<std::string>& files = command.arguments;
    const int monitors = state_.display->count();
    if (monitor && files.size() != 1) {
        answer(client, reply_error("set -n takes one file"));
        return;
    }
    if (files.size() > static_cast<std::size_t>(monitors)) {
        answer(client, reply_error(std::to_string(files.size()) + " files for " + std::to_string(monitors) +
                                   (monitors == 1 ? " monitor" : " monitors")));
        return;
    }
    // A set still being checked gives way to the later one.
    if (set_) {
        answer(set_->client, reply_error("a later set came first"));
        set_.reset();
    }
    auto set = std::make_unique<PendingSet>();
    set->client = client;
    set->monitor = monitor;
    set->files = files;
    event_base* base = state_.events->base.get();
    set->check = std::make_unique<ExpansionRun>(base, std::make_unique<ExpansionChild>(set->files),
                                                [this](ExpansionChild::Progress progress) {
                                                    finish_set(progress == ExpansionChild::Progress::failed
                                                                   ? std::optional<std::string>("checking the files failed")
                                                                   : std::nullopt);
                                                });
    if (!set->check->started()) {
        answer(client, reply_error("the files cannot be checked now"));
        return;
    }
    set->overdue = std::make_unique<TimerEvent>(base, [this] {
        finish_set("checking the files took longer than " + std::to_string(set_check_seconds) + " seconds");
    });
    set->overdue->schedule(std::chrono::seconds(set_check_seconds));
    set_ = std::move(set);
}

// The set's files are checked: shown now when each passed, else refused whole.
void Steering::finish_set(std::optional<std::string> refusal) {
    const std::unique_ptr<PendingSet> set = std::move(set_);
    set->overdue->cancel();
    if (!refusal) {
        const std::vector<std::string> verdicts = set->check->child().take_verdicts();
        if (verdicts.size() != set->files.size()) refusal = "checking the files ended before it was done";
        for (std::size_t index = 0; index < verdicts.size() && !refusal; ++index)
            if (!verdicts[index].empty()) refusal = set->files[index] + ": " + verdicts[index];
    }
    if (refusal) {
        answer(set->client, reply_error(*refusal));
        return;
    }
    // One image a monitor in order; a monitor not named keeps its image.
    std::vector<std::string> images = set->monitor ? std::vector<std::string>() : set->files;
    const std::vector<std::string>* shown = state_.rotation->on_screen();
    const std::size_t monitors = static_cast<std::size_t>(state_.display->count());
    for (std::size_t index = images.size(); index < monitors; ++index)
        images.push_back(shown != nullptr && index < shown->size() ? (*shown)[index] : set->files.back());
    if (set->monitor && *set->monitor < images.size()) images[*set->monitor] = set->files.front();
    Change change;
    // The palette follows the first monitor only.
    change.colours_stay = set->monitor && *set->monitor != 0 && shown != nullptr && !shown->empty() &&
                          images.front() == shown->front();
    change.images = std::move(images);
    log_notice("Zelvo is showing the images it was set to");
    // One monitor set alone restarts its own period only, when it has one;
    // before the change, whose status tells the next change.
    if (!set->monitor)
        restart_timer(state_);
    else if (state_.schedule->apart())
        state_.schedule->restart_monitor(*set->monitor, monitors);
    if (!apply_change(state_, std::move(change))) {
        answer(set->client, reply_error(state_.viewer->failure()));
        return;
    }
    answer(set->client, reply_ok());
}

}  // namespace zelvo
