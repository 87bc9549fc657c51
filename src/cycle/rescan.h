#pragma once

#include <functional>
#include <memory>

#include "config/run_options.h"
#include "cycle/rotation.h"
#include "images/expander.h"
#include "images/ring_edit.h"
#include "support/event.h"

namespace zelvo {

// A rescan: the sources of the Config in force expanded again in the
// background, then merged into the ring a slice at a time, so that the loop
// is never held up for long, however large the ring.
class Rescan {
public:
    struct Listener {
        // The merge is in the ring; `was_empty`: the ring had no image before it.
        std::function<void(const RingMergeCounts& counts, bool was_empty)> merged;
        // The rescan is over (merged, or given up after a line); it may be destroyed there.
        std::function<void()> over;
    };

    Rescan(event_base* base, RunOptions& options, RingPlace& place, Rotation& rotation, const ExpandOptions& expand,
           Listener listener);
    Rescan(const Rescan&) = delete;
    Rescan& operator=(const Rescan&) = delete;

    bool started() const { return run_ && run_->started(); }

private:
    void expanded(ExpansionChild::Progress progress);
    void slice();

    RunOptions& options_;
    RingPlace& place_;
    Rotation& rotation_;
    Listener listener_;
    std::unique_ptr<ExpansionRun> run_;
    std::unique_ptr<RingMerge> merge_;
    TimerEvent slice_;
    bool applied_ = false;
};

}  // namespace zelvo
