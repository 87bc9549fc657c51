#include "config/monitors.h"

#include <algorithm>
#include <limits>

#include "images/expand.h"
#include "support/log.h"

namespace zelvo {

namespace {

const MonitorGroup* group_of(const Config& config, std::size_t monitor) {
    return monitor < config.per_monitor.size() ? &config.per_monitor[monitor] : nullptr;
}

}  // namespace

ImageRing group_ring(const MonitorGroup& group, std::size_t index, StringList images, bool by_name) {
    if (group.sources.first() == nullptr) return ImageRing();
    if (images.empty()) {
        // Monitors are counted from 1 where the user reads them.
        report("Zelvo found no suitable images for monitor %zu and shows the main images there", index + 1);
        return ImageRing();
    }
    return ring_make(std::move(images), by_name);
}

std::vector<ImageRing> build_group_rings(const Config& config, const ExpandOptions& options) {
    std::vector<ImageRing> rings;
    rings.reserve(config.per_monitor.size());
    for (std::size_t index = 0; index < config.per_monitor.size(); ++index) {
        const MonitorGroup& group = config.per_monitor[index];
        StringList images;
        if (group.sources.first() != nullptr) images = expand_sources(group.sources.first(), options);
        rings.push_back(group_ring(group, index, std::move(images), options.by_name));
    }
    return rings;
}

bool monitor_has_own_ring(const std::vector<ImageRing>& group_rings, std::size_t monitor) {
    return monitor < group_rings.size() && !group_rings[monitor].empty();
}

std::vector<std::optional<std::string>> take_next_images(MonitorFeeds feeds,
                                                         const std::vector<std::optional<std::string>>& keep) {
    std::vector<std::optional<std::string>> images = keep;
    for (std::size_t monitor = 0; monitor < images.size(); ++monitor) {
        if (images[monitor]) continue;
        const bool own = monitor_has_own_ring(feeds.group_rings, monitor) && monitor < feeds.groups.size();
        const ImageRing& ring = own ? feeds.group_rings[monitor] : feeds.main_ring;
        RingPlace& place = own ? feeds.groups[monitor] : feeds.main;
        if (place.current == nullptr) continue;
        images[monitor] = *place.current->value;
        ring_place_advance(place, ring, 1);
    }
    return images;
}

std::uint32_t monitor_interval_seconds(const Config& config, std::size_t monitor, std::uint32_t main_seconds) {
    const MonitorGroup* group = group_of(config, monitor);
    if (group == nullptr || !group->minutes || *group->minutes < 1) return main_seconds;
    const std::int64_t seconds = std::int64_t{*group->minutes} * 60;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(seconds, std::numeric_limits<std::uint32_t>::max()));
}

const std::string& monitor_bg_style(const Config& config, std::size_t monitor) {
    const MonitorGroup* group = group_of(config, monitor);
    return group != nullptr && group->bg_style ? *group->bg_style : config.bg_style;
}

Transition monitor_transition(const Config& config, std::size_t monitor, std::uint32_t pick) {
    const MonitorGroup* group = group_of(config, monitor);
    return transition_of(group != nullptr ? transition_keys_over(config.transition, group->transition) : config.transition,
                         pick);
}

std::vector<bool> monitors_due(const std::vector<MonitorClock::time_point>& next_changes,
                               MonitorClock::time_point now) {
    std::vector<bool> due;
    due.reserve(next_changes.size());
    for (MonitorClock::time_point next : next_changes) due.push_back(next <= now);
    return due;
}

MonitorClock::time_point first_change(const std::vector<MonitorClock::time_point>& next_changes,
                                      MonitorClock::time_point now) {
    if (next_changes.empty()) return now;
    return *std::min_element(next_changes.begin(), next_changes.end());
}

MonitorClock::time_point next_change_after(MonitorClock::time_point due, std::chrono::seconds period,
                                           MonitorClock::time_point now) {
    const MonitorClock::time_point next = due + period;
    return next > now ? next : now + period;
}

}  // namespace zelvo
