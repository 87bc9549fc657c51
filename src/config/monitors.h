#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "images/expand.h"
#include "images/ring_edit.h"
#include "images/string_list.h"

namespace zelvo {

// Monitors are counted from 0 here, in feh's order: monitor 0 is the first.

// The ring of the group at `index` (from 0) made of the images its sources
// gave: none (an empty ImageRing) for a group that names no sources, or
// whose sources gave no image, which one line names. Its monitor then takes
// the main ring's images.
ImageRing group_ring(const MonitorGroup& group, std::size_t index, StringList images, bool by_name);

// The rings of every group of "per-monitor", in group order, their sources
// expanded here (see group_ring).
std::vector<ImageRing> build_group_rings(const Config& config, const ExpandOptions& options);

// Where the monitors take their images from: the main ring and where the
// cycle stands in it, and each group's ring with its own place.
struct MonitorFeeds {
    const ImageRing& main_ring;
    RingPlace& main;
    const std::vector<ImageRing>& group_rings;
    std::vector<RingPlace>& groups;  // one for each group ring
};

// Whether the monitor takes its images from its group's own ring: the group
// has one, and it has images left.
bool monitor_has_own_ring(const std::vector<ImageRing>& group_rings, std::size_t monitor);

// The images of a change: a monitor with an image in `keep` keeps it; every
// other one, in monitor order, takes the image at its feed's place, which
// moves on by one, so that monitors sharing a ring show consecutive images
// and a ring's round is never repeated. None for a monitor whose feed has no
// image left.
std::vector<std::optional<std::string>> take_next_images(MonitorFeeds feeds,
                                                         const std::vector<std::optional<std::string>>& keep);

// The monitor's period: its group's "minutes" times 60 when 1 or more, else
// the main interval; never more than 32 bits hold.
std::uint32_t monitor_interval_seconds(const Config& config, std::size_t monitor, std::uint32_t main_seconds);

// The monitor's fit: its group's "bg-style", else the main one.
const std::string& monitor_bg_style(const Config& config, std::size_t monitor);

using MonitorClock = std::chrono::steady_clock;

// The monitor's transition: its group's transition keys over the main ones,
// each missing part at its default; `pick` chooses the kind where the style
// is "random" (one number for each change: monitors that change together
// with "random" run the same kind).
Transition monitor_transition(const Config& config, std::size_t monitor, std::uint32_t pick);

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
