#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <vector>

#include "config/monitors.h"
#include "config/run_options.h"
#include "control/status_file.h"
#include "support/event.h"

namespace zelvo {

// The rotation period: -t minutes when 1 or more, else the Config's minutes
// when 1 or more, else 1800; never more than the 32-bit interval holds.
std::uint32_t interval_seconds(const RunOptions& options);

// When the changes come: the rotation timer and its period (the interval),
// the pause, and, with "per-monitor", each monitor's own next change, all on
// the one timer, which waits for the earliest; and the "rescan" key's timer.
class Schedule {
public:
    // `due` runs when the timer comes, `rescan` when a rescan is due.
    Schedule(event_base* base, const RunOptions& options, EventCallback due, EventCallback rescan);

    // The rotation timer's period, as libevent takes it.
    const timeval& interval() const { return interval_; }
    // Whether the monitors keep schedules of their own: "per-monitor" is in force.
    bool apart() const;
    bool paused() const { return paused_; }
    // The next change of the timer, in seconds since the Epoch; none while paused.
    std::optional<std::time_t> next_change() const { return next_change_; }

    // Starts the rotation period afresh from now (every monitor's, when they
    // keep their own), with the interval of the Config in force; a paused
    // schedule waits for nothing.
    void restart(std::size_t monitors);
    // With "per-monitor": this monitor's period starts afresh from now.
    void restart_monitor(std::size_t monitor, std::size_t monitors);
    void set_paused(bool paused, std::size_t monitors);

    // The timer came without "per-monitor": the next change is a period away.
    void came();
    // With "per-monitor", after the timer came: the monitors that are due now
    // (none may be), each of which has its next change one period on; the
    // timer waits for the earliest next change.
    std::vector<bool> take_due(std::size_t monitors);
    // The count of monitors changed: a monitor new to it starts its period
    // now, and the timer follows.
    void fit(std::size_t monitors);
    // The display's monitors changed: each keeps the next change of the
    // monitor it was (see monitors_matched); a new one starts its period now.
    void follow(const std::vector<std::optional<std::size_t>>& matched);

    // Each monitor's period and next change, for the status.
    std::vector<MonitorTiming> timings(std::size_t monitors) const;

    // Arms the "rescan" key's timer as the Config in force says.
    void arm_rescan();

private:
    std::chrono::seconds monitor_period(std::size_t monitor) const;
    void arm_monitor_timer();

    const RunOptions& options_;
    timeval interval_{0, 0};
    TimerEvent timer_;
    TimerEvent rescan_;
    bool paused_ = false;
    std::optional<std::time_t> next_change_;
    // With "per-monitor": each monitor's next change, in feh's order.
    std::vector<MonitorClock::time_point> monitor_next_;
};

}  // namespace zelvo
