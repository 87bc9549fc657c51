#pragma once

#include <event2/event.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/monitor.h"
#include "display/paint_book.h"
#include "display/transition.h"
#include "display/wayland_outputs.h"
#include "support/event.h"

namespace zelvo {

// One output's pictures in a show, each already at the output's size in
// pixels (picture_size): one to show it, or several to show one after the
// other, each on the frame after the one before, the last staying. One
// picture may come with a transition from what the output shows now; an
// output that shows nothing yet, or a picture of another size, shows it at
// once.
struct OutputPictures {
    std::string output;  // the output's name
    std::vector<PictureRef> frames;
    Transition transition{};
};

// What the painter holds now, for the tests and the benchmarks.
struct PainterCounts {
    std::size_t surfaces = 0;         // layer surfaces: one for each output
    std::size_t buffers = 0;          // wl_buffers attached and not yet released
    std::size_t frame_callbacks = 0;  // asked and not yet come
    std::size_t shows = 0;            // under way
    std::size_t transitions = 0;      // outputs in a transition
    std::size_t blend_workers = 0;    // the workers that blend their frames
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
// A show's transitions run on one clock, from the show on: frame k of n on
// each output at k / n of the transition's time, n being its time at its
// fps and never more often than the output refreshes. A worker
// (BlendChild) blends the frames of all the show's outputs into a ring of
// buffers for each, one frame ahead; each goes on the frame callback after
// the one before once its time has come, a late one making way for the
// frame due then (frames are dropped, never queued), and the last is the
// new picture itself. A surface covered so that no frame callback comes
// skips to the new picture at transition_frame_bound; a newer show starts from
// whatever is on screen; a worker that stops leaves the new picture shown
// at once, with one line said.
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

    // Every transition under way ends at once: its output shows its new
    // picture whole (on quitting).
    void finish_transitions();

    PainterCounts counts() const;
    // The pictures that frame callbacks showed on the output since its
    // surface was made.
    std::uint64_t frames_delivered(const std::string& output) const;
    // The pictures asked for on the output since its surface was made: each
    // picture of every show, and each frame of every transition.
    std::uint64_t frames_asked(const std::string& output) const;
    // The workers blending frames now, by pid.
    std::vector<pid_t> blend_workers() const;

    struct State;

private:
    void on_outputs_changed() override;
    void on_connection_dropping() override;
    void on_deadline();
    void on_pace();
    void on_report();

    WaylandOutputs& outputs_;
    event_base* base_;
    Shown shown_;
    std::unique_ptr<State> state_;
    TimerEvent deadline_;
    TimerEvent pace_;
    TimerEvent report_;
};

}  // namespace zelvo
