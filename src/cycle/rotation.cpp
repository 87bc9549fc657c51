#include "cycle/rotation.h"

#include <sys/stat.h>

#include <algorithm>

#include "config/monitors.h"
#include "images/expand.h"
#include "support/url.h"

namespace zelvo {

Rotation::Rotation(RunOptions& options, RingPlace& place) : options_(options), place_(place) {}

void Rotation::start_group_places() {
    group_places_.clear();
    for (const ImageRing& ring : options_.monitor_rings) group_places_.push_back(ring_place_start(ring, ring.node()));
}

void Rotation::reshuffle() {
    const bool by_name = options_.config->by_name;
    if (place_.current != nullptr) {
        // By name the ring keeps its order and starts again from the first name.
        StringNode* first = by_name ? options_.ring.node() : ring_shuffle(place_.current);
        place_ = ring_place_start(options_.ring, first);
    }
    for (std::size_t group = 0; group < group_places_.size(); ++group) {
        RingPlace& place = group_places_[group];
        if (place.current == nullptr) continue;
        const ImageRing& ring = options_.monitor_rings[group];
        place = ring_place_start(ring, by_name ? ring.node() : ring_shuffle(place.current));
    }
    links_changed();
}

std::vector<std::string> Rotation::peek_main(int count) const {
    std::vector<std::string> images;
    StringNode* node = place_.current;
    for (int slot = 0; slot < count && node != nullptr; ++slot, node = node->link) images.push_back(*node->value);
    return images;
}

std::vector<std::optional<std::string>> Rotation::take_next(const std::vector<std::optional<std::string>>& keep) {
    return take_next_images(MonitorFeeds{options_.ring, place_, options_.monitor_rings, group_places_}, keep);
}

std::vector<std::optional<std::string>> Rotation::peek_next(std::size_t monitors) const {
    RingPlace main = place_;
    std::vector<RingPlace> groups = group_places_;
    return take_next_images(MonitorFeeds{options_.ring, main, options_.monitor_rings, groups},
                            std::vector<std::optional<std::string>>(monitors));
}

StringNode* Rotation::first_monitor_next() const {
    if (monitor_has_own_ring(options_.monitor_rings, 0) && !group_places_.empty()) return group_places_[0].current;
    return place_.current;
}

void Rotation::shown(const Change& change) {
    switch (change.record) {
    case Change::Record::as_new:
        history_record(history_, change.images);
        break;
    case Change::Record::back_to:
        history_.on_screen = change.earlier;
        break;
    case Change::Record::replacing:
        // The set on screen is this one now; going back further walks on from it.
        history_.sets[history_.on_screen] = change.images;
        break;
    }
    if (change.advance > 0) ring_place_advance(place_, options_.ring, change.advance);
}

std::vector<std::optional<std::string>> Rotation::on_screen_kept(std::size_t monitors) const {
    std::vector<std::optional<std::string>> keep(monitors);
    if (const std::vector<std::string>* shown = on_screen())
        for (std::size_t monitor = 0; monitor < keep.size() && monitor < shown->size(); ++monitor)
            keep[monitor] = (*shown)[monitor];
    return keep;
}

std::optional<std::size_t> Rotation::earlier_set() const {
    return history_earlier(history_, [this](const std::string& image) { return still_there(image); });
}

std::optional<std::string> Rotation::earlier_image(std::size_t monitor) const {
    const std::vector<std::string>* shown = on_screen();
    if (shown == nullptr || monitor >= shown->size()) return std::nullopt;
    const std::string& present = (*shown)[monitor];
    for (std::size_t set = history_.on_screen; set-- > 0;) {
        const std::vector<std::string>& images = history_.sets[set];
        if (monitor < images.size() && images[monitor] != present && still_there(images[monitor]))
            return images[monitor];
    }
    return std::nullopt;
}

bool Rotation::still_there(const std::string& image) const {
    if (std::find(banned_.begin(), banned_.end(), image) != banned_.end()) return false;
    struct stat status{};
    return stat(image.c_str(), &status) == 0 || is_url(image);
}

std::size_t Rotation::ban(const std::vector<std::string>& images) {
    banned_.insert(banned_.end(), images.begin(), images.end());
    const auto doomed = [&images](const std::string& image) {
        return std::find(images.begin(), images.end(), image) != images.end();
    };
    std::size_t removed = ring_remove(options_.ring, place_, doomed);
    // The groups' own rings too; a monitor whose ring loses its last image takes the main ones.
    for (std::size_t group = 0; group < group_places_.size(); ++group)
        removed += ring_remove(options_.monitor_rings[group], group_places_[group], doomed);
    if (removed > 0) links_changed();
    return removed;
}

void Rotation::unban(const std::vector<std::string>& images) {
    std::erase_if(banned_, [&images](const std::string& image) {
        return std::find(images.begin(), images.end(), image) != images.end();
    });
}

}  // namespace zelvo
