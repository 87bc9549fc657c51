#pragma once

#include <event2/event.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/monitor.h"
#include "display/paint_book.h"
#include "display/wayland_outputs.h"
#include "support/event.h"

namespace zelvo {

// One output's pictures in a show, each already at the output's size in
// pixels (picture_size): one to show it, or several to show one after the
// other, each on the frame after the one before (a transition's frames),
// the last staying.
struct OutputPictures {
    std::string output;  // the output's name
    std::vector<PictureRef> frames;
};

// What the painter holds now, for the tests and the benchmarks.
struct PainterCounts {
    std::size_t surfaces = 0;         // layer surfaces: one for each output
    std::size_t buffers = 0;          // wl_buffers attached and not yet released
    std::size_t frame_callbacks = 0;  // asked and not yet come
    std::size_t shows = 0;            // under way
};

// Draws the wallpaper itself, on the connection that follows the outputs:
// one layer surface for each output, in the background layer, anchored to
// every edge, taking no room from others (exclusive zone -1), no keyboard
// and no input at all. A show hands each surface a buffer made from the
// picture's shared memory (the painter maps nothing), and tells `shown` once
// how it ended, from the loop, after the frame callback that put it on
// screen (or show_frame_bound, or when it could not be). Surfaces follow the
// outputs as they come and go; when the connection goes, everything of the
// painter goes with it, and the next connection gets new surfaces.
//
// Lives on `base`, and no longer than `outputs`.
class WaylandPainter final : private ConnectionRider {
public:
    using Shown = std::function<void(ShowId, ShowEnd)>;

    WaylandPainter(WaylandOutputs& outputs, event_base* base, Shown shown);
    ~WaylandPainter();
    WaylandPainter(const WaylandPainter&) = delete;
    WaylandPainter& operator=(const WaylandPainter&) = delete;

    // Shows the pictures on the outputs that have a surface; a picture that
    // does not fit its output (picture_fits) leaves that output out. None
    // when nothing is shown. A newer show on an output supersedes this one
    // there: nothing queues.
    std::optional<ShowId> show(const std::vector<OutputPictures>& pictures);
    // The size in pixels a picture must have to cover the output sharply: its
    // logical size times its scale; none for an output without a surface.
    std::optional<PixelSize> picture_size(const std::string& output) const;

    PainterCounts counts() const;
    // The pictures that frame callbacks showed on the output since its
    // surface was made.
    std::uint64_t frames_delivered(const std::string& output) const;

    struct State;

private:
    void on_outputs_changed() override;
    void on_connection_dropping() override;
    void on_deadline();
    void on_report();

    WaylandOutputs& outputs_;
    Shown shown_;
    std::unique_ptr<State> state_;
    TimerEvent deadline_;
    TimerEvent report_;
};

}  // namespace zelvo
