#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "config/config.h"
#include "images/string_list.h"

namespace zelvo {

// Monitors are counted from 0 here, in feh's order: monitor 0 is the first.

// The rings of the groups of "per-monitor", in group order: a shuffled ring
// for each group whose sources give an image, and none (an empty ImageRing)
// for a group that names no sources or whose sources give no image; one line
// names each monitor of the latter. Those monitors take the main ring's images.
std::vector<ImageRing> build_group_rings(const Config& config);

// Where the monitors' next images come from: the current position of the
// main ring, and of each group's ring (none where the group has no ring).
struct MonitorFeeds {
    StringNode* main = nullptr;
    std::vector<StringNode*> groups;
};

// Feeds that start at the given node of the main ring and at the node that
// each group's ring holds.
MonitorFeeds monitor_feeds(StringNode* main, const std::vector<ImageRing>& group_rings);

// The position that feeds the monitor: its group's ring when it has one,
// else the main ring.
StringNode*& monitor_feed(MonitorFeeds& feeds, std::size_t monitor);

// The monitor's period: its group's "minutes" times 60 when 1 or more, else
// the main interval; never more than 32 bits hold.
std::uint32_t monitor_interval_seconds(const Config& config, std::size_t monitor, std::uint32_t main_seconds);

// The monitor's fit: its group's "bg-style", else the main one.
const std::string& monitor_bg_style(const Config& config, std::size_t monitor);

// Puts the next images on the monitors that change now (changing[m]): in
// monitor order each takes the image at its feed and moves that feed on by
// one, so that monitors sharing a ring show consecutive images. The others
// keep what on_screen holds for them. on_screen has one entry per monitor.
void take_next_images(MonitorFeeds& feeds, const std::vector<bool>& changing, std::vector<StringNode*>& on_screen);

// The viewer's image slots: every monitor's image on screen, in feh's order,
// borrowed from the rings.
std::vector<char*> viewer_images(const std::vector<StringNode*>& on_screen);

using MonitorClock = std::chrono::steady_clock;

// Which monitors change at now: those whose next change is not later.
std::vector<bool> monitors_due(const std::vector<MonitorClock::time_point>& next_changes, MonitorClock::time_point now);

// The time the rotation timer waits for: the earliest next change (now when
// there is none).
MonitorClock::time_point first_change(const std::vector<MonitorClock::time_point>& next_changes,
                                      MonitorClock::time_point now);

// A monitor's next change after the change that was due: one period after
// the due time, so that periods neither drift nor part (monitors of 1 and 2
// minutes change together every 2 minutes); one period after now when the
// loop was held up past that time.
MonitorClock::time_point next_change_after(MonitorClock::time_point due, std::chrono::seconds period,
                                           MonitorClock::time_point now);

}  // namespace zelvo
