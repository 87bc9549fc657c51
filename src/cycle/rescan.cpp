#include "cycle/rescan.h"

#include <chrono>

#include "support/log.h"

namespace zelvo {

namespace {

using Clock = std::chrono::steady_clock;

// The longest one slice of the merge may hold the loop up.
constexpr std::chrono::microseconds slice_time{500};

}  // namespace

Rescan::Rescan(event_base* base, RunOptions& options, RingPlace& place, Rotation& rotation, const ExpandOptions& expand,
               Listener listener)
    : options_(options),
      place_(place),
      rotation_(rotation),
      listener_(std::move(listener)),
      slice_(base, [this] { slice(); }) {
    run_ = std::make_unique<ExpansionRun>(base, std::make_unique<ExpansionChild>(options_.config->sources.first(), expand),
                                          [this](ExpansionChild::Progress progress) { expanded(progress); });
    if (!run_->started()) report("Zelvo could not rescan its sources and keeps the ring as it is");
}

void Rescan::expanded(ExpansionChild::Progress progress) {
    ExpansionChild& child = run_->child();
    StringList images = child.take_images();
    const std::size_t count = child.entries();
    run_.reset();
    if (progress == ExpansionChild::Progress::failed || images.empty()) {
        // An unmounted disk does not empty the ring.
        report(progress == ExpansionChild::Progress::failed
                   ? "Zelvo could not rescan its sources and keeps the ring as it is"
                   : "Zelvo found no suitable images in its sources and keeps the ring as it is");
        listener_.over();
        return;
    }
    merge_ = std::make_unique<RingMerge>(std::move(images), count, options_.config->by_name);
    // A timer that is due at once lets the loop look at its sockets and signals between slices.
    slice_.schedule(std::chrono::microseconds(0));
}

void Rescan::slice() {
    const Clock::time_point until = Clock::now() + slice_time;
    const auto more = [until] { return Clock::now() < until; };
    if (!applied_) {
        if (!merge_->prepare(options_.ring, place_, rotation_.generation(), more)) {
            slice_.schedule(std::chrono::microseconds(0));
            return;
        }
        const bool was_empty = options_.ring.empty();
        const RingMergeCounts counts = merge_->apply(options_.ring, place_);
        applied_ = true;
        report("Zelvo has rescanned its sources: %zu new images, %zu gone, %zu in the ring", counts.added, counts.gone,
               options_.ring.size());
        slice_.schedule(std::chrono::microseconds(0));
        listener_.merged(counts, was_empty);
        return;
    }
    if (!merge_->tidy(more)) {
        slice_.schedule(std::chrono::microseconds(0));
        return;
    }
    listener_.over();
}

}  // namespace zelvo
