#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "display/transition.h"
#include "picture/picture_fit.h"

namespace zelvo {

// What a transition looks like on one output: its kind and where it goes,
// on a picture of width x height pixels.
struct BlendShape {
    Transition::Kind kind = Transition::Kind::fade;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    double angle = 0;  // wipe: degrees, 0 from left to right, 90 from top to bottom
    double x = 0.5;    // grow: the centre, as fractions of the width and height
    double y = 0.5;
};

// The frames a transition shows on an output refreshing `refresh_mhz` times
// a thousand seconds (0: not known): its time at its fps, never more often
// than the output refreshes; at least one, the last being the new picture.
std::uint32_t transition_frames(const Transition& transition, std::uint32_t refresh_mhz);

// How far frame `frame` of `frames` has come: the transition's easing at
// frame / frames, from 0 (the old picture) to exactly 1 (the new one).
double transition_progress(const Transition& transition, std::uint32_t frame, std::uint32_t frames);

// The pixels of one row that show the new picture at `progress`, from
// `begin` up to `end`; wipe and grow only (a fade mixes every pixel). They
// only ever grow with the progress: none at 0, the whole row at 1.
struct RowRun {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;

    bool operator==(const RowRun&) const = default;
};
RowRun frame_run(const BlendShape& shape, std::uint32_t row, double progress);

// No more rectangles than this describe what changes from one frame to another.
inline constexpr std::size_t most_frame_rects = 32;

// Rectangles that hold every pixel that differs between the frames at
// progress `from` and at `to` (a fade: the whole picture, unless they are
// equal), as few as most_frame_rects and not much larger than those pixels.
std::vector<PictureRect> frame_changes(const BlendShape& shape, double from, double to);

// A fade's row: each pixel `weight` / 256 of the new picture's, the rest of
// the old one's, channel by channel (the unused byte too). Weight 0 gives the
// old pixels exactly, 256 the new ones.
void blend_fade_row(const std::uint32_t* old_row, const std::uint32_t* new_row, std::uint32_t* out, std::size_t pixels,
                    std::uint32_t weight);

// Rows of XRGB8888 pixels from `pixels`, `stride` bytes apart.
struct PixelRows {
    const unsigned char* pixels;
    std::size_t stride;

    const std::uint32_t* row(std::uint32_t y) const {
        return reinterpret_cast<const std::uint32_t*>(pixels + static_cast<std::size_t>(y) * stride);
    }
};

// Writes the part `rect` of the frame at `progress` from the old and the new
// picture into `out` (rows of `out_stride` bytes), leaving the rest of it as
// it was.
void blend_rect(const BlendShape& shape, double progress, const PictureRect& rect, PixelRows old_picture,
                PixelRows new_picture, unsigned char* out, std::size_t out_stride);

// What to ask of the worker for one frame: the buffer to blend it into, the
// part of that buffer to write, and the part to damage when it is attached.
struct FrameAsk {
    std::size_t slot = 0;
    std::uint32_t frame = 0;
    double progress = 0;
    std::vector<PictureRect> write;
    std::vector<PictureRect> damage;
};

// The bookkeeping of one output's small ring of buffers: what each holds
// (the progress of the frame last written into it), and whether it is free,
// being written, written, or held by the compositor, which reads it from its
// attaching until its release. Only a free buffer is ever written. A buffer
// written before is rewritten only where its frame differs from the new one;
// the damage covers both that and where the new frame differs from what the
// surface shows, since a compositor may keep what it read of each buffer or
// only of the surface.
class FrameRing {
public:
    enum class Slot { free, writing, written, held };

    FrameRing(BlendShape shape, std::size_t slots);

    // Frame `frame` at `progress` into a free buffer, the surface showing the
    // frame at `shown`; none while every buffer is busy.
    std::optional<FrameAsk> ask(std::uint32_t frame, double progress, double shown);
    void written(std::size_t slot);
    // The compositor holds the buffer from now on, until released().
    void attached(std::size_t slot);
    void released(std::size_t slot);
    // A written frame that will never be attached: its buffer is free again.
    void dropped(std::size_t slot);

    Slot state(std::size_t slot) const { return slots_.at(slot).state; }
    std::optional<double> content(std::size_t slot) const { return slots_.at(slot).content; }
    std::size_t size() const { return slots_.size(); }
    const BlendShape& shape() const { return shape_; }

private:
    struct Entry {
        Slot state = Slot::free;
        std::optional<double> content;  // none: never written
        double writing = 0;
    };
    BlendShape shape_;
    std::vector<Entry> slots_;
};

}  // namespace zelvo
