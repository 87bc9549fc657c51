// The rescan: the sources of the Config in force expanded again in the
// background, then merged into the ring a slice at a time, so that the loop
// is never held up for long, however large the ring.

#include <chrono>
#include <cstdlib>

#include "cycle/cycle.h"
#include "support/log.h"

namespace zelvo {

namespace {

using Clock = std::chrono::steady_clock;

// The longest one slice of the merge may hold the loop up, and how much of
// the expansion's answer the loop takes at a time.
constexpr std::chrono::microseconds slice_time{500};
constexpr std::size_t expansion_bytes_at_once = 64 << 10;
const timeval at_once{0, 0};

void on_slice(evutil_socket_t, short, void* argument) {
    DaemonState& state = *static_cast<DaemonState*>(argument);
    PendingRescan& rescan = *state.rescan;
    const Clock::time_point until = Clock::now() + slice_time;
    const auto more = [until] { return Clock::now() < until; };
    if (!rescan.applied) {
        if (!rescan.merge->prepare(state.options.ring, state.place, state.ring_generation, more)) {
            event_add(rescan.slice.get(), &at_once);
            return;
        }
        const bool was_empty = state.options.ring.empty();
        const RingMergeCounts counts = rescan.merge->apply(state.options.ring, state.place);
        rescan.applied = true;
        ring_changed(state);
        report("Zelvo has rescanned its sources: %zu new images, %zu gone, %zu in the ring", counts.added, counts.gone,
               state.options.ring.size());
        // The ring had nothing left, and the last image on screen is banned: the new ones come at once.
        if (was_empty && !state.options.ring.empty()) {
            state.said_empty = false;
            show_next(state);
        } else {
            publish_status(state);
        }
        event_add(rescan.slice.get(), &at_once);
        return;
    }
    if (!rescan.merge->tidy(more)) {
        event_add(rescan.slice.get(), &at_once);
        return;
    }
    state.rescan.reset();
}

void on_rescan_readable(evutil_socket_t, short, void* argument) {
    DaemonState& state = *static_cast<DaemonState*>(argument);
    PendingRescan& rescan = *state.rescan;
    const ExpansionChild::Progress progress = rescan.expansion->take(expansion_bytes_at_once);
    if (progress == ExpansionChild::Progress::more) return;
    rescan.readable.reset();
    StringList images = rescan.expansion->take_images();
    const std::size_t count = rescan.expansion->entries();
    rescan.expansion.reset();
    if (progress == ExpansionChild::Progress::failed || images.empty()) {
        // An unmounted disk does not empty the ring.
        report(progress == ExpansionChild::Progress::failed
                   ? "Zelvo could not rescan its sources and keeps the ring as it is"
                   : "Zelvo found no suitable images in its sources and keeps the ring as it is");
        state.rescan.reset();
        return;
    }
    rescan.merge = std::make_unique<RingMerge>(std::move(images), count, state.options.config->by_name);
    rescan.slice.reset(event_new(state.events->base.get(), -1, 0, on_slice, &state));
    // A timer that is due at once lets the loop look at its sockets and signals between slices.
    if (!rescan.slice || event_add(rescan.slice.get(), &at_once) < 0) std::abort();
}

}  // namespace

void start_rescan(DaemonState& state) {
    if (state.reload || state.quitting) return;
    state.rescan.reset();
    auto rescan = std::make_unique<PendingRescan>();
    rescan->expansion =
        std::make_unique<ExpansionChild>(state.options.config->sources.first(), expand_options(state.options));
    if (rescan->expansion->descriptor() < 0) {
        report("Zelvo could not rescan its sources and keeps the ring as it is");
        return;
    }
    rescan->readable.reset(event_new(state.events->base.get(), rescan->expansion->descriptor(), EV_READ | EV_PERSIST,
                                     on_rescan_readable, &state));
    if (!rescan->readable || event_add(rescan->readable.get(), nullptr) < 0) std::abort();
    state.rescan = std::move(rescan);
}

}  // namespace zelvo
