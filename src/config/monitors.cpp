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

std::vector<ImageRing> build_group_rings(const Config& config) {
    std::vector<ImageRing> rings(config.per_monitor.size());
    for (std::size_t index = 0; index < rings.size(); ++index) {
        const StringList& sources = config.per_monitor[index].sources;
        if (sources.first() == nullptr) continue;
        StringList images = expand_sources(sources.first());
        if (images.empty()) {
            // Monitors are counted from 1 where the user reads them.
            report("Zelvo found no suitable images for monitor %zu and shows the main images there", index + 1);
            continue;
        }
        rings[index] = ImageRing(ring_shuffle(images.release()));
    }
    return rings;
}

MonitorFeeds monitor_feeds(StringNode* main, const std::vector<ImageRing>& group_rings) {
    MonitorFeeds feeds{main, {}};
    feeds.groups.reserve(group_rings.size());
    for (const ImageRing& ring : group_rings) feeds.groups.push_back(ring.node());
    return feeds;
}

StringNode*& monitor_feed(MonitorFeeds& feeds, std::size_t monitor) {
    if (monitor < feeds.groups.size() && feeds.groups[monitor] != nullptr) return feeds.groups[monitor];
    return feeds.main;
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

void take_next_images(MonitorFeeds& feeds, const std::vector<bool>& changing, std::vector<StringNode*>& on_screen) {
    for (std::size_t monitor = 0; monitor < on_screen.size() && monitor < changing.size(); ++monitor) {
        if (!changing[monitor]) continue;
        StringNode*& feed = monitor_feed(feeds, monitor);
        on_screen[monitor] = feed;
        feed = ring_advance(feed, 1);
    }
}

std::vector<char*> viewer_images(const std::vector<StringNode*>& on_screen) {
    std::vector<char*> images;
    images.reserve(on_screen.size());
    for (StringNode* node : on_screen) images.push_back(node->value->data());
    return images;
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
