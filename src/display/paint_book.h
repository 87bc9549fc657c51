#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "picture/picture_fit.h"
#include "process/shared_memory.h"

namespace zelvo {

using PaintClock = std::chrono::steady_clock;
// A picture shared between whoever made it and the painter, which holds it
// only until the compositor has a buffer of it.
using PictureRef = std::shared_ptr<const Picture>;
using ShowId = std::uint64_t;

// How long a show waits for the frame callbacks of its surfaces. A surface
// that gets none (covered by a fullscreen window) counts as showing its
// picture once this has passed.
inline constexpr std::chrono::milliseconds show_frame_bound{100};
// How long a transition's surface waits for the frame callback of a frame
// before it skips to its last picture: longer than a show's, since a
// compositor busy composing large outputs in software may take that long
// for one frame, and a transition cut short for it is a transition lost.
inline constexpr std::chrono::milliseconds transition_frame_bound{250};
// The buffers that one surface may have alive at once: attached, and not yet
// released by the compositor. A compositor that holds every buffer costs
// this many for each output and no more: a newer picture waits for a release.
inline constexpr std::size_t most_buffers_per_surface = 4;

// How a show ended: its pictures are on screen (framed: every surface's frame
// callback came; timed_out: show_frame_bound passed first), or never will be
// (superseded: newer shows took its surfaces; lost: its outputs or the
// connection went).
enum class ShowEnd { framed, timed_out, superseded, lost };

struct ShowEnded {
    ShowId show;
    ShowEnd end;

    bool operator==(const ShowEnded&) const = default;
};

// What one surface is to commit now.
struct PaintCommit {
    PictureRef picture;  // attached; null: nothing new
    bool frame = false;  // a frame callback asked with the commit
    // The parts of the picture that differ from what the surface shows;
    // none: all of it.
    std::vector<PictureRect> damage;
};

// Whether the picture can be handed to the compositor for an output of this
// scale: XRGB8888 rows of at least its width, a size that the scale divides,
// a pool that wl_shm can address, and shared memory sealed against shrinking
// that holds every row.
bool picture_fits(const Picture& picture, std::uint32_t scale);

// The painter's bookkeeping, apart from the protocol: which pictures each
// surface is to attach and when, the buffers alive, the frame callbacks
// asked, and the shows under way with their deadline. Each show ends exactly
// once.
//
// Rules: a surface commits nothing before its first configure. A show's
// first picture on a surface goes at once; each further one (a transition's
// frames) on the frame callback after the one before. A surface has at most
// one frame callback asked at a time, so that a covered surface piles none up
// in the compositor; when the callback comes for an older commit than the
// newest picture, an empty commit asks another, so that a show counts as
// framed only once a frame came after its last picture. A newer show on a
// surface supersedes the older one there, and its pictures replace those not
// yet attached.
//
// A transition holds back the last picture of a show on a surface (the new
// picture) while it offers the frames before it one by one, each replacing
// one offered and not yet attached, each attached on the frame callback
// after the one before; it lets the last go when its time has come. Each
// surface of a show has show_frame_bound for its frame callbacks from the
// show, and a transition's surface transition_frame_bound from each frame
// offered or let go while it waits for one. A surface that overruns it
// skips to its last picture at once, and no longer holds up the show, which
// then ends timed out.
class PaintBook {
public:
    using Surface = std::uint32_t;
    using Frames = std::vector<std::pair<Surface, std::vector<PictureRef>>>;

    void add_surface(Surface surface);
    // Forgets the surface: its show no longer waits for it. Its buffers stay
    // counted until the compositor releases them.
    std::vector<ShowEnded> remove_surface(Surface surface);
    void configured(Surface surface);

    // A show of pictures on surfaces, ending by now + show_frame_bound;
    // unknown surfaces and empty lists are left out, and with none left there
    // is no show. Shows that lose their last surface to it end in `ended`.
    std::optional<ShowId> show(Frames frames, PaintClock::time_point now, std::vector<ShowEnded>& ended);

    // The show just made on the surface is a transition of `frames` frames
    // in all: its last picture waits for let_last_go, and the frames before
    // it come through offer.
    void hold(Surface surface, std::uint32_t frames);
    // The next frame of the surface's transition; false when the surface holds none.
    bool offer(Surface surface, PictureRef frame, std::vector<PictureRect> damage, PaintClock::time_point now);
    // The transition's last picture goes on the next frame callback (or at
    // once if one came since the last frame), with that damage; a frame
    // offered and not yet attached goes nowhere.
    void let_last_go(Surface surface, std::vector<PictureRect> damage, PaintClock::time_point now);
    // The surface's last picture goes at once, whatever came before it.
    void skip_to_last(Surface surface, PaintClock::time_point now);
    bool holding(Surface surface) const;

    std::optional<PaintCommit> next_commit(Surface surface) const;
    // The commit that next_commit gave was made; its picture, if any, became
    // the buffer numbered `buffer`.
    void committed(Surface surface, const PaintCommit& commit, std::uint64_t buffer);
    std::vector<ShowEnded> frame_done(Surface surface);
    // The compositor released the buffer: true when it was alive (it may go now).
    bool released(std::uint64_t buffer);

    // The earliest deadline of the surfaces that shows wait for.
    std::optional<PaintClock::time_point> deadline() const;
    // Each surface whose deadline has come counts as showing its show, and
    // skips to its last picture; gives the shows that end with it.
    std::vector<ShowEnded> expire(PaintClock::time_point now);
    // Every show under way ends lost, and nothing is left: the connection went.
    std::vector<ShowEnded> clear();

    std::size_t surfaces() const { return surfaces_.size(); }
    std::size_t buffers() const { return buffer_surfaces_.size(); }
    std::size_t buffers(Surface surface) const;
    std::size_t frames_asked() const;
    std::size_t shows() const { return shows_.size(); }
    // The pictures that a frame callback showed on the surface, one each.
    std::uint64_t frames_delivered(Surface surface) const;
    // The pictures asked for on the surface: each of every show, and each
    // frame of a transition.
    std::uint64_t pictures_asked(Surface surface) const;

private:
    struct FrameAsked {
        std::uint64_t commit;   // the commit it was asked with
        std::uint64_t picture;  // the commit of the newest picture then
    };
    struct Frame {
        PictureRef picture;
        std::vector<PictureRect> damage;
    };
    struct SurfaceEntry {
        bool configured = false;
        std::deque<Frame> frames;
        bool holding = false;  // the last of frames waits for let_last_go
        // When the surface's show stops waiting for it; none: it waits for its transition's frames.
        std::optional<PaintClock::time_point> deadline;
        std::uint64_t pictures_asked = 0;
        bool may_attach = false;
        bool confirm = false;
        std::uint64_t commits = 0;
        std::uint64_t newest_picture = 0;
        std::uint64_t delivered_picture = 0;
        std::uint64_t frames_delivered = 0;
        std::optional<FrameAsked> frame_asked;
        std::optional<ShowId> show;
        std::size_t buffers = 0;
    };
    struct ShowEntry {
        std::set<Surface> waiting;
        bool superseded = false;
        bool lost = false;
        bool timed_out = false;
    };

    // The show no longer waits for the surface; it ends when it waits for none.
    void let_go(ShowId show, Surface surface, std::optional<ShowEnd> why, std::vector<ShowEnded>& ended);

    std::map<Surface, SurfaceEntry> surfaces_;
    std::map<ShowId, ShowEntry> shows_;
    std::map<std::uint64_t, Surface> buffer_surfaces_;
    ShowId last_show_ = 0;
};

}  // namespace zelvo
