#include "cycle/schedule.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace zelvo {

namespace {

using Clock = MonitorClock;

// The period when neither -t nor the file gives a minute or more: a file's 0
// would start the viewer in a tight loop, and a negative value names none.
constexpr std::uint32_t fallback_seconds = 1800;

std::uint32_t minutes_to_seconds(int minutes) {
    const std::int64_t seconds = std::int64_t{minutes} * 60;
    const std::int64_t most = std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(seconds < most ? seconds : most);
}

// The wall-clock second of a moment of the steady clock, as the status tells it.
std::int64_t wall_time(Clock::time_point when, Clock::time_point now) {
    const auto left = std::chrono::round<std::chrono::seconds>(when - now).count();
    return static_cast<std::int64_t>(std::time(nullptr)) + left;
}

}  // namespace

std::uint32_t interval_seconds(const RunOptions& options) {
    if (options.minutes >= 1) return minutes_to_seconds(options.minutes);
    if (options.config->minutes >= 1) return minutes_to_seconds(options.config->minutes);
    return fallback_seconds;
}

Schedule::Schedule(event_base* base, const RunOptions& options, EventCallback due, EventCallback rescan)
    : options_(options),
      interval_{static_cast<time_t>(interval_seconds(options)), 0},
      timer_(base, std::move(due), TimerEvent::Repeat::every),
      rescan_(base, std::move(rescan), TimerEvent::Repeat::every) {
    timer_.schedule(std::chrono::seconds(interval_.tv_sec));
    next_change_ = std::time(nullptr) + interval_.tv_sec;
}

bool Schedule::apart() const { return !options_.config->per_monitor.empty(); }

std::chrono::seconds Schedule::monitor_period(std::size_t monitor) const {
    const std::uint32_t main = interval_seconds(options_);
    // -t wins over every "minutes" of the file, as it does over the main one.
    if (options_.minutes >= 1) return std::chrono::seconds(main);
    return std::chrono::seconds(monitor_interval_seconds(*options_.config, monitor, main));
}

void Schedule::restart(std::size_t monitors) {
    interval_ = timeval{static_cast<time_t>(interval_seconds(options_)), 0};
    timer_.cancel();
    if (paused_) {
        next_change_.reset();
        return;
    }
    if (apart()) {
        fit(monitors);
        const Clock::time_point now = Clock::now();
        for (std::size_t monitor = 0; monitor < monitor_next_.size(); ++monitor)
            monitor_next_[monitor] = now + monitor_period(monitor);
        arm_monitor_timer();
        return;
    }
    timer_.schedule(std::chrono::seconds(interval_.tv_sec));
    next_change_ = std::time(nullptr) + interval_.tv_sec;
}

void Schedule::restart_monitor(std::size_t monitor, std::size_t monitors) {
    fit(monitors);
    if (monitor < monitor_next_.size()) monitor_next_[monitor] = Clock::now() + monitor_period(monitor);
    arm_monitor_timer();
}

void Schedule::set_paused(bool paused, std::size_t monitors) {
    paused_ = paused;
    restart(monitors);
}

void Schedule::came() {
    // The persistent timer has just been armed again for one interval.
    next_change_ = std::time(nullptr) + interval_.tv_sec;
}

void Schedule::arm_monitor_timer() {
    timer_.cancel();
    if (paused_ || monitor_next_.empty()) {
        next_change_.reset();
        return;
    }
    const Clock::time_point now = Clock::now();
    const Clock::time_point first = first_change(monitor_next_, now);
    timer_.schedule(first - now);
    next_change_ = wall_time(first, now);
}

std::vector<bool> Schedule::take_due(std::size_t monitors) {
    if (monitor_next_.size() != monitors) fit(monitors);
    const Clock::time_point now = Clock::now();
    const std::vector<bool> due = monitors_due(monitor_next_, now);
    for (std::size_t monitor = 0; monitor < due.size(); ++monitor)
        if (due[monitor]) monitor_next_[monitor] = next_change_after(monitor_next_[monitor], monitor_period(monitor), now);
    arm_monitor_timer();
    return due;
}

void Schedule::fit(std::size_t monitors) {
    if (!apart()) return;
    const Clock::time_point now = Clock::now();
    for (std::size_t monitor = monitor_next_.size(); monitor < monitors; ++monitor)
        monitor_next_.push_back(now + monitor_period(monitor));
    monitor_next_.resize(monitors);
    arm_monitor_timer();
}

void Schedule::follow(const std::vector<std::optional<std::size_t>>& matched) {
    if (!apart()) return;
    const Clock::time_point now = Clock::now();
    std::vector<Clock::time_point> next(matched.size());
    for (std::size_t monitor = 0; monitor < matched.size(); ++monitor) {
        const std::optional<std::size_t> before = matched[monitor];
        next[monitor] = before && *before < monitor_next_.size() ? monitor_next_[*before] : now + monitor_period(monitor);
    }
    monitor_next_ = std::move(next);
    arm_monitor_timer();
}

std::vector<MonitorTiming> Schedule::timings(std::size_t monitors) const {
    const Clock::time_point now = Clock::now();
    std::vector<MonitorTiming> timings(monitors);
    for (std::size_t monitor = 0; monitor < monitors; ++monitor) {
        MonitorTiming& timing = timings[monitor];
        timing.interval = apart() ? static_cast<std::uint32_t>(monitor_period(monitor).count())
                                  : static_cast<std::uint32_t>(interval_.tv_sec);
        if (paused_) continue;
        if (!apart())
            timing.next_change = next_change_;
        else if (monitor < monitor_next_.size())
            timing.next_change = wall_time(monitor_next_[monitor], now);
    }
    return timings;
}

void Schedule::arm_rescan() {
    rescan_.cancel();
    if (options_.config->rescan < 1) return;
    rescan_.schedule(std::chrono::seconds(minutes_to_seconds(options_.config->rescan)));
}

}  // namespace zelvo
