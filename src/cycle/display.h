#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/run_options.h"
#include "display/monitor.h"
#include "display/monitor_source.h"
#include "support/event.h"

namespace zelvo {

// The monitor count: -m when 1 or more; else, with "monitors" = "auto" (or a
// viewer that draws on every output and no number in "monitors"), the
// display's (`display_monitors`, at least 1); else the Config's when 1 or
// more; else 1; never more than most_display_monitors.
std::int32_t monitor_count(const RunOptions& options, int display_monitors);

// The display and its monitors: the one connection to the display server,
// whose descriptor the loop watches, kept with "monitors" = "auto" and always
// for a viewer that draws on each output; the monitors as the loop last heard
// of them; and the monitor count. A display that cannot be reached, or goes,
// counts one monitor after one line, and is tried again after a second, then
// after twice as long each time, up to 30 seconds. An X server is reached
// apart from the loop: one that takes the connection and never answers it
// counts as away after the connector's deadline, and the loop answers
// meanwhile.
class Display {
public:
    struct Listener {
        // The monitors changed, or the display came back: for each monitor
        // now, the one it was before (none: a monitor new to the display).
        std::function<void(const std::vector<std::optional<std::size_t>>& matched)> changed;
        // The count changed with no change of the wallpaper from here: the
        // display was lost, or reached again right before a change.
        std::function<void()> recounted;
        // The connection is about to go (a reload, the end): whatever is kept on it goes first.
        std::function<void()> dropping;
    };

    Display(event_base* base, RunOptions& options, Listener listener);
    ~Display();
    Display(const Display&) = delete;
    Display& operator=(const Display&) = delete;

    // Connects to the display, or connects again, and counts its monitors, as
    // the Config in force asks; for start-up and every reload. `then` runs
    // once the display is counted, or counts one monitor as away: at once
    // when no connection is wanted or its outcome is known at once, else
    // from the loop. A later connect, or a drop, abandons it unrun.
    void connect(std::function<void()> then);
    // A display that could not be reached is tried again before a change;
    // one reached only later lays its monitors out afresh then.
    void reach_before_change();
    // The connection goes, before the loop's events do.
    void drop();

    std::int32_t count() const { return monitor_count(options_, display_monitors_); }
    // The monitors of the connected display, in the order "monitor N" counts
    // them; none when it is not connected.
    const std::vector<Monitor>& monitors() const;
    bool connected() const { return source_ && source_->connected(); }
    // The Wayland connection, for a viewer that draws on it; none on X.
    WaylandOutputs* wayland_outputs() const { return source_ ? source_->wayland_outputs() : nullptr; }
    // Whether the count is the display's: "monitors" = "auto", or a viewer
    // that draws on every output.
    bool counting() const;

private:
    bool wanted() const;
    void reach();
    void reached(bool connected);
    void take_events();
    void retried();
    void unwatch(int descriptor);
    void set_count(std::size_t count);
    void changed();

    event_base* base_;
    RunOptions& options_;
    Listener listener_;
    std::unique_ptr<MonitorSource> source_;
    // The monitors as the loop last heard of them, to match the next ones against.
    std::vector<Monitor> heard_;
    // How many monitors the display has (1 while it cannot be reached); 0
    // until it has been asked.
    int display_monitors_ = 0;
    std::unique_ptr<DescriptorEvent> readable_;
    // Tries to reach a display that has gone, or reads one that is behind.
    TimerEvent retry_;
    int retry_seconds_ = 0;
    bool away_said_ = false;
    // A try to reach the display is under way.
    bool reaching_ = false;
    // reach_before_change is trying, and a change follows it.
    bool before_change_ = false;
    // What waits for the first try of a connect.
    std::function<void()> then_;
};

}  // namespace zelvo
