#include "display/paint_book.h"

#include <algorithm>
#include <climits>

namespace zelvo {

bool picture_fits(const Picture& picture, std::uint32_t scale) {
    if (picture.width == 0 || picture.height == 0 || scale == 0) return false;
    if (picture.width % scale != 0 || picture.height % scale != 0) return false;
    // wl_shm takes sizes, strides and the pool's length as signed 32-bit numbers.
    if (picture.width > INT32_MAX / 4 || picture.stride < picture.width * 4 || picture.stride > INT32_MAX) return false;
    if (picture.bytes() > static_cast<std::size_t>(INT32_MAX)) return false;
    return picture.memory.get() >= 0 && shared_memory_holds(picture.memory.get(), picture.bytes());
}

void PaintBook::add_surface(Surface surface) { surfaces_.try_emplace(surface); }

std::vector<ShowEnded> PaintBook::remove_surface(Surface surface) {
    std::vector<ShowEnded> ended;
    auto found = surfaces_.find(surface);
    if (found == surfaces_.end()) return ended;
    if (found->second.show) let_go(*found->second.show, surface, ShowEnd::lost, ended);
    surfaces_.erase(found);
    return ended;
}

void PaintBook::configured(Surface surface) {
    if (auto found = surfaces_.find(surface); found != surfaces_.end()) found->second.configured = true;
}

std::optional<ShowId> PaintBook::show(Frames frames, PaintClock::time_point now, std::vector<ShowEnded>& ended) {
    const ShowId id = last_show_ + 1;
    ShowEntry entry;
    for (auto& [surface, pictures] : frames) {
        auto found = surfaces_.find(surface);
        if (found == surfaces_.end() || pictures.empty()) continue;
        SurfaceEntry& entry_of_surface = found->second;
        if (entry_of_surface.show && *entry_of_surface.show != id)
            let_go(*entry_of_surface.show, surface, ShowEnd::superseded, ended);
        entry_of_surface.frames.clear();
        for (PictureRef& picture : pictures) entry_of_surface.frames.push_back(Frame{std::move(picture), {}});
        entry_of_surface.holding = false;
        entry_of_surface.may_attach = true;
        entry_of_surface.show = id;
        entry_of_surface.deadline = now + show_frame_bound;
        entry_of_surface.pictures_asked += entry_of_surface.frames.size();
        entry.waiting.insert(surface);
    }
    if (entry.waiting.empty()) return std::nullopt;
    last_show_ = id;
    shows_.emplace(id, std::move(entry));
    return id;
}

void PaintBook::hold(Surface surface, std::uint32_t frames) {
    auto found = surfaces_.find(surface);
    if (found == surfaces_.end() || found->second.frames.size() != 1 || frames == 0) return;
    SurfaceEntry& entry = found->second;
    entry.holding = true;
    // Until its first frame is offered the surface waits for the blending, not the compositor.
    entry.deadline.reset();
    entry.pictures_asked += frames - 1;
}

bool PaintBook::offer(Surface surface, PictureRef frame, std::vector<PictureRect> damage, PaintClock::time_point now) {
    auto found = surfaces_.find(surface);
    if (found == surfaces_.end() || !found->second.holding) return false;
    SurfaceEntry& entry = found->second;
    if (entry.frames.size() > 1) entry.frames.pop_front();
    entry.frames.push_front(Frame{std::move(frame), std::move(damage)});
    if (!entry.deadline) entry.deadline = now + transition_frame_bound;
    return true;
}

void PaintBook::let_last_go(Surface surface, std::vector<PictureRect> damage, PaintClock::time_point now) {
    auto found = surfaces_.find(surface);
    if (found == surfaces_.end() || !found->second.holding) return;
    SurfaceEntry& entry = found->second;
    entry.holding = false;
    if (entry.frames.size() > 1) entry.frames.pop_front();
    entry.frames.back().damage = std::move(damage);
    if (!entry.deadline) entry.deadline = now + transition_frame_bound;
}

void PaintBook::skip_to_last(Surface surface, PaintClock::time_point now) {
    auto found = surfaces_.find(surface);
    if (found == surfaces_.end() || found->second.frames.empty()) return;
    SurfaceEntry& entry = found->second;
    entry.frames.erase(entry.frames.begin(), entry.frames.end() - 1);
    entry.frames.back().damage.clear();
    entry.holding = false;
    entry.may_attach = true;
    if (!entry.deadline) entry.deadline = now + transition_frame_bound;
}

bool PaintBook::holding(Surface surface) const {
    auto found = surfaces_.find(surface);
    return found != surfaces_.end() && found->second.holding;
}

std::optional<PaintCommit> PaintBook::next_commit(Surface surface) const {
    auto found = surfaces_.find(surface);
    if (found == surfaces_.end() || !found->second.configured) return std::nullopt;
    const SurfaceEntry& entry = found->second;
    const bool frame = !entry.frame_asked;
    // A held last picture is not yet to go; a frame offered before it is.
    const bool held = entry.holding && entry.frames.size() == 1;
    if (!entry.frames.empty() && !held && entry.may_attach && entry.buffers < most_buffers_per_surface)
        return PaintCommit{entry.frames.front().picture, frame, entry.frames.front().damage};
    if (entry.confirm && frame) return PaintCommit{nullptr, true, {}};
    return std::nullopt;
}

void PaintBook::committed(Surface surface, const PaintCommit& commit, std::uint64_t buffer) {
    auto found = surfaces_.find(surface);
    if (found == surfaces_.end()) return;
    SurfaceEntry& entry = found->second;
    ++entry.commits;
    if (commit.picture) {
        if (!entry.frames.empty()) entry.frames.pop_front();
        entry.newest_picture = entry.commits;
        ++entry.buffers;
        buffer_surfaces_[buffer] = surface;
        // A transition's next frame waits for the frame after this one.
        if (!entry.frames.empty()) entry.may_attach = false;
    }
    if (commit.frame) {
        entry.frame_asked = FrameAsked{entry.commits, entry.newest_picture};
        entry.confirm = false;
    }
}

std::vector<ShowEnded> PaintBook::frame_done(Surface surface) {
    std::vector<ShowEnded> ended;
    auto found = surfaces_.find(surface);
    if (found == surfaces_.end() || !found->second.frame_asked) return ended;
    SurfaceEntry& entry = found->second;
    const FrameAsked asked = *entry.frame_asked;
    entry.frame_asked.reset();
    if (asked.picture > entry.delivered_picture) {
        entry.delivered_picture = asked.picture;
        ++entry.frames_delivered;
    }
    entry.may_attach = true;
    // A transition's surface now waits for its next frame, not for the compositor.
    if (entry.holding) entry.deadline.reset();
    if (!entry.frames.empty()) return ended;
    // A picture attached after the callback was asked may not be on screen yet.
    if (entry.newest_picture > asked.commit) {
        entry.confirm = true;
        return ended;
    }
    if (entry.show) let_go(*entry.show, surface, std::nullopt, ended);
    return ended;
}

bool PaintBook::released(std::uint64_t buffer) {
    auto found = buffer_surfaces_.find(buffer);
    if (found == buffer_surfaces_.end()) return false;
    if (auto surface = surfaces_.find(found->second); surface != surfaces_.end()) --surface->second.buffers;
    buffer_surfaces_.erase(found);
    return true;
}

std::optional<PaintClock::time_point> PaintBook::deadline() const {
    std::optional<PaintClock::time_point> earliest;
    for (const auto& [surface, entry] : surfaces_)
        if (entry.show && entry.deadline && (!earliest || *entry.deadline < *earliest)) earliest = entry.deadline;
    return earliest;
}

std::vector<ShowEnded> PaintBook::expire(PaintClock::time_point now) {
    std::vector<ShowEnded> ended;
    for (auto& [surface, entry] : surfaces_) {
        if (!entry.show || !entry.deadline || *entry.deadline > now) continue;
        // What a frame callback would have paced goes at once: the last picture.
        if (entry.frames.size() > 1) entry.frames.erase(entry.frames.begin(), entry.frames.end() - 1);
        if (!entry.frames.empty()) entry.frames.back().damage.clear();
        entry.holding = false;
        entry.may_attach = true;
        let_go(*entry.show, surface, ShowEnd::timed_out, ended);
    }
    return ended;
}

std::vector<ShowEnded> PaintBook::clear() {
    std::vector<ShowEnded> ended;
    for (const auto& [id, entry] : shows_) ended.push_back(ShowEnded{id, ShowEnd::lost});
    shows_.clear();
    surfaces_.clear();
    buffer_surfaces_.clear();
    return ended;
}

std::size_t PaintBook::buffers(Surface surface) const {
    auto found = surfaces_.find(surface);
    return found == surfaces_.end() ? 0 : found->second.buffers;
}

std::size_t PaintBook::frames_asked() const {
    return static_cast<std::size_t>(std::count_if(surfaces_.begin(), surfaces_.end(),
                                                  [](const auto& entry) { return entry.second.frame_asked.has_value(); }));
}

std::uint64_t PaintBook::frames_delivered(Surface surface) const {
    auto found = surfaces_.find(surface);
    return found == surfaces_.end() ? 0 : found->second.frames_delivered;
}

std::uint64_t PaintBook::pictures_asked(Surface surface) const {
    auto found = surfaces_.find(surface);
    return found == surfaces_.end() ? 0 : found->second.pictures_asked;
}

void PaintBook::let_go(ShowId show, Surface surface, std::optional<ShowEnd> why, std::vector<ShowEnded>& ended) {
    if (auto found = surfaces_.find(surface); found != surfaces_.end() && found->second.show == show)
        found->second.show.reset();
    auto found = shows_.find(show);
    if (found == shows_.end()) return;
    ShowEntry& entry = found->second;
    entry.waiting.erase(surface);
    if (why == ShowEnd::superseded) entry.superseded = true;
    if (why == ShowEnd::lost) entry.lost = true;
    if (why == ShowEnd::timed_out) entry.timed_out = true;
    if (!entry.waiting.empty()) return;
    const ShowEnd end = entry.superseded ? ShowEnd::superseded
                        : entry.lost     ? ShowEnd::lost
                        : entry.timed_out ? ShowEnd::timed_out
                                          : ShowEnd::framed;
    ended.push_back(ShowEnded{show, end});
    shows_.erase(found);
}

}  // namespace zelvo
