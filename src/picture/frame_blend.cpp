#include "picture/frame_blend.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace zelvo {

namespace {

// Sixteen bytes (four pixels), and the same widened.
typedef std::uint8_t ByteLanes __attribute__((vector_size(16)));
typedef std::uint16_t WideLanes __attribute__((vector_size(32)));

// Rows of the changed region are gathered into at most this many strips,
// each one or two rectangles.
constexpr std::size_t most_strips = most_frame_rects / 2;

double clamp_unit(double value) { return std::isfinite(value) ? std::clamp(value, 0.0, 1.0) : 0.0; }

// A cubic Bézier from (0, 0) to (1, 1) through two control points, as CSS's
// cubic-bezier(): the y for `t` on the x axis.
double bezier_ease(double x1, double y1, double x2, double y2, double t) {
    x1 = clamp_unit(x1);
    x2 = clamp_unit(x2);
    const auto at = [](double p1, double p2, double u) {
        const double v = 1 - u;
        return 3 * v * v * u * p1 + 3 * v * u * u * p2 + u * u * u;
    };
    // x grows with u on [0, 1] when both x are there: bisection always finds it.
    double low = 0, high = 1, u = t;
    for (int round = 0; round < 60; ++round) {
        u = (low + high) / 2;
        if (at(x1, x2, u) < t)
            low = u;
        else
            high = u;
    }
    return at(std::isfinite(y1) ? y1 : 0, std::isfinite(y2) ? y2 : 1, u);
}

std::uint32_t clamp_column(double column, std::uint32_t width) {
    if (!(column > 0)) return 0;
    return column >= width ? width : static_cast<std::uint32_t>(column);
}

struct Span {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    bool empty() const { return begin >= end; }
};

// The strip's rectangles, merged with the one above when they are the same columns.
void add_strip(std::vector<PictureRect>& rects, std::uint32_t top, std::uint32_t bottom, Span left, Span right) {
    if (!left.empty() && !right.empty() && left.end >= right.begin) {
        left = Span{std::min(left.begin, right.begin), std::max(left.end, right.end)};
        right = Span{};
    }
    for (const Span& span : {left, right}) {
        if (span.empty()) continue;
        const PictureRect rect{span.begin, top, span.end - span.begin, bottom - top};
        auto above = std::find_if(rects.begin(), rects.end(), [&](const PictureRect& one) {
            return one.y + one.height == top && one.x == rect.x && one.width == rect.width;
        });
        if (above != rects.end())
            above->height += rect.height;
        else
            rects.push_back(rect);
    }
}

}  // namespace

std::uint32_t transition_frames(const Transition& transition, std::uint32_t refresh_mhz) {
    double rate = std::max<std::uint32_t>(transition.fps, 1);
    if (refresh_mhz > 0) rate = std::min(rate, refresh_mhz / 1000.0);
    const double frames = std::round(static_cast<double>(transition.time.count()) / 1000.0 * rate);
    return frames < 1 ? 1 : frames > 100000 ? 100000 : static_cast<std::uint32_t>(frames);
}

double transition_progress(const Transition& transition, std::uint32_t frame, std::uint32_t frames) {
    if (frames == 0 || frame >= frames) return 1;
    if (frame == 0) return 0;
    const double t = static_cast<double>(frame) / frames;
    return clamp_unit(bezier_ease(transition.ease_x1, transition.ease_y1, transition.ease_x2, transition.ease_y2, t));
}

RowRun frame_run(const BlendShape& shape, std::uint32_t row, double progress) {
    const std::uint32_t width = shape.width;
    if (!(progress > 0)) return RowRun{0, 0};
    if (progress >= 1) return RowRun{0, width};
    const double centre_y = row + 0.5;
    if (shape.kind == Transition::Kind::grow) {
        const double cx = shape.x * shape.width, cy = shape.y * shape.height;
        const double far_x = std::max(cx, shape.width - cx), far_y = std::max(cy, shape.height - cy);
        const double radius = progress * std::sqrt(far_x * far_x + far_y * far_y);
        const double rise = centre_y - cy, room = radius * radius - rise * rise;
        if (!(room > 0)) return RowRun{0, 0};
        // |x + 0.5 - cx| < half, for whole x.
        const double half = std::sqrt(room);
        const RowRun run{clamp_column(std::floor(cx - half - 0.5) + 1, width), clamp_column(std::ceil(cx + half - 0.5), width)};
        return run.begin < run.end ? run : RowRun{0, 0};
    }
    // A wipe: the new picture where a pixel's centre lies before the edge
    // along the direction, the edge sweeping from the first corner to the last.
    const double radians = shape.angle * std::numbers::pi / 180;
    double dx = std::cos(radians), dy = std::sin(radians);
    if (std::abs(dx) < 1e-9) dx = 0;
    if (std::abs(dy) < 1e-9) dy = 0;
    const double first = std::min(0.0, width * dx) + std::min(0.0, shape.height * dy);
    const double last = std::max(0.0, width * dx) + std::max(0.0, shape.height * dy);
    const double left = first + progress * (last - first) - centre_y * dy;  // (x + 0.5) * dx < left
    if (dx == 0) return left > 0 ? RowRun{0, width} : RowRun{0, 0};
    if (dx > 0) return RowRun{0, clamp_column(std::ceil(left / dx - 0.5), width)};
    const std::uint32_t begin = clamp_column(std::floor(left / dx - 0.5) + 1, width);
    return begin < width ? RowRun{begin, width} : RowRun{0, 0};
}

std::vector<PictureRect> frame_changes(const BlendShape& shape, double from, double to) {
    std::vector<PictureRect> rects;
    if (shape.width == 0 || shape.height == 0 || from == to) return rects;
    if (shape.kind != Transition::Kind::wipe && shape.kind != Transition::Kind::grow) {
        rects.push_back(PictureRect{0, 0, shape.width, shape.height});
        return rects;
    }
    const std::uint32_t strip = static_cast<std::uint32_t>((shape.height + most_strips - 1) / most_strips);
    for (std::uint32_t top = 0; top < shape.height; top += strip) {
        const std::uint32_t bottom = std::min(shape.height, top + strip);
        Span left{shape.width, 0}, right{shape.width, 0};
        // The rows of the strip that change at all.
        std::uint32_t first = bottom, last = top;
        const auto widen = [](Span& span, std::uint32_t begin, std::uint32_t end) {
            if (begin >= end) return;
            span.begin = std::min(span.begin, begin);
            span.end = std::max(span.end, end);
        };
        for (std::uint32_t row = top; row < bottom; ++row) {
            const RowRun one = frame_run(shape, row, from), two = frame_run(shape, row, to);
            const bool has_one = one.begin < one.end, has_two = two.begin < two.end;
            if (!has_one && !has_two) continue;
            if (one != two) first = std::min(first, row), last = std::max(last, row + 1);
            if (!has_one || !has_two) {
                const RowRun& only = has_one ? one : two;
                widen(left, only.begin, only.end);
                continue;
            }
            // Two runs in a row differ at their starts and at their ends.
            widen(left, std::min(one.begin, two.begin), std::max(one.begin, two.begin));
            widen(right, std::min(one.end, two.end), std::max(one.end, two.end));
        }
        if (first < last) add_strip(rects, first, last, left, right);
    }
    return rects;
}

void blend_fade_row(const std::uint32_t* old_row, const std::uint32_t* new_row, std::uint32_t* out, std::size_t pixels,
                    std::uint32_t weight) {
    weight = std::min<std::uint32_t>(weight, 256);
    const std::uint32_t keep = 256 - weight;
    // Four pixels at a time, each byte widened to 16 bits, which a byte
    // times 256 fits: the compiler's vectors (GCC's and Clang's alike) make
    // one pass over a 4K frame about three times faster than a pixel at a time.
    std::size_t x = 0;
    for (; x + 4 <= pixels; x += 4) {
        ByteLanes was, will;
        std::memcpy(&was, old_row + x, sizeof was);
        std::memcpy(&will, new_row + x, sizeof will);
        const WideLanes mixed = (__builtin_convertvector(was, WideLanes) * static_cast<std::uint16_t>(keep) +
                                 __builtin_convertvector(will, WideLanes) * static_cast<std::uint16_t>(weight)) >>
                                8;
        const ByteLanes result = __builtin_convertvector(mixed, ByteLanes);
        std::memcpy(out + x, &result, sizeof result);
    }
    // The rest two channels at a time, 16 bits apart: a channel times 256
    // never reaches into the next.
    for (; x < pixels; ++x) {
        const std::uint32_t was = old_row[x], will = new_row[x];
        const std::uint32_t low = ((was & 0x00FF00FFu) * keep + (will & 0x00FF00FFu) * weight) >> 8;
        const std::uint32_t high = ((was >> 8) & 0x00FF00FFu) * keep + ((will >> 8) & 0x00FF00FFu) * weight;
        out[x] = (low & 0x00FF00FFu) | (high & 0xFF00FF00u);
    }
}

void blend_rect(const BlendShape& shape, double progress, const PictureRect& rect, PixelRows old_picture,
                PixelRows new_picture, unsigned char* out, std::size_t out_stride) {
    const std::uint32_t weight = static_cast<std::uint32_t>(std::lround(clamp_unit(progress) * 256));
    const bool fade = shape.kind != Transition::Kind::wipe && shape.kind != Transition::Kind::grow;
    for (std::uint32_t y = rect.y; y < rect.y + rect.height; ++y) {
        std::uint32_t* row = reinterpret_cast<std::uint32_t*>(out + static_cast<std::size_t>(y) * out_stride);
        const std::uint32_t* was = old_picture.row(y);
        const std::uint32_t* will = new_picture.row(y);
        const std::uint32_t left = rect.x, right = rect.x + rect.width;
        if (fade) {
            blend_fade_row(was + left, will + left, row + left, rect.width, weight);
            continue;
        }
        const RowRun run = frame_run(shape, y, progress);
        const std::uint32_t begin = std::clamp(run.begin, left, right), end = std::clamp(run.end, left, right);
        const auto copy = [row](const std::uint32_t* from, std::uint32_t first, std::uint32_t last) {
            if (first < last) std::memcpy(row + first, from + first, (last - first) * sizeof(std::uint32_t));
        };
        if (begin >= end) {
            copy(was, left, right);
            continue;
        }
        copy(was, left, begin);
        copy(will, begin, end);
        copy(was, end, right);
    }
}

FrameRing::FrameRing(BlendShape shape, std::size_t slots) : shape_(shape), slots_(slots) {}

std::optional<FrameAsk> FrameRing::ask(std::uint32_t frame, double progress, double shown) {
    auto found = std::find_if(slots_.begin(), slots_.end(), [](const Entry& entry) { return entry.state == Slot::free; });
    if (found == slots_.end()) return std::nullopt;
    FrameAsk ask;
    ask.slot = static_cast<std::size_t>(found - slots_.begin());
    ask.frame = frame;
    ask.progress = progress;
    if (!found->content) {
        // A buffer never written is written whole; as a buffer the compositor
        // has never seen, only what differs from the surface is damaged.
        ask.write.push_back(PictureRect{0, 0, shape_.width, shape_.height});
        ask.damage = frame_changes(shape_, std::min(shown, progress), std::max(shown, progress));
    } else {
        const double held = *found->content;
        ask.write = frame_changes(shape_, std::min(held, progress), std::max(held, progress));
        ask.damage = frame_changes(shape_, std::min({held, shown, progress}), std::max({held, shown, progress}));
    }
    found->state = Slot::writing;
    found->writing = progress;
    return ask;
}

void FrameRing::written(std::size_t slot) {
    Entry& entry = slots_.at(slot);
    if (entry.state != Slot::writing) return;
    entry.state = Slot::written;
    entry.content = entry.writing;
}

void FrameRing::attached(std::size_t slot) {
    if (Entry& entry = slots_.at(slot); entry.state == Slot::written) entry.state = Slot::held;
}

void FrameRing::released(std::size_t slot) {
    if (Entry& entry = slots_.at(slot); entry.state == Slot::held) entry.state = Slot::free;
}

void FrameRing::dropped(std::size_t slot) {
    if (Entry& entry = slots_.at(slot); entry.state == Slot::written) entry.state = Slot::free;
}

}  // namespace zelvo
