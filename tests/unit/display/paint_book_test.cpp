#include <gtest/gtest.h>

#include "display/paint_book.h"

namespace zelvo {
namespace {

using namespace std::chrono_literals;

// A picture of width x height in real sealed shared memory (sealed unless told).
PictureRef picture(std::uint32_t width, std::uint32_t height, bool sealed = true, std::size_t bytes = 0) {
    auto made = std::make_shared<Picture>();
    made->width = width;
    made->height = height;
    made->stride = width * 4;
    std::optional<UniqueDescriptor> memory = shared_memory_create(bytes != 0 ? bytes : made->bytes());
    EXPECT_TRUE(memory.has_value());
    if (memory && sealed) {
        EXPECT_TRUE(shared_memory_seal(memory->get()));
    }
    if (memory) made->memory = std::move(*memory);
    return made;
}

// Does what the painter does with each commit the book asks for; gives the
// number of the buffer made, 0 for none.
std::uint64_t commit_next(PaintBook& book, PaintBook::Surface surface, std::uint64_t& buffers) {
    const std::optional<PaintCommit> commit = book.next_commit(surface);
    if (!commit) return 0;
    const std::uint64_t buffer = commit->picture ? ++buffers : 0;
    book.committed(surface, *commit, buffer);
    return buffer;
}

TEST(PictureFits, RefusesWhatTheCompositorCouldNotTakeOrWouldReadPastTheEndOf) {
    EXPECT_TRUE(picture_fits(*picture(64, 32), 1));
    EXPECT_TRUE(picture_fits(*picture(64, 32), 2));
    struct Case {
        const char* what;
        PictureRef picture;
        std::uint32_t scale;
    };
    auto narrow = std::make_shared<Picture>(Picture{std::move(*shared_memory_create(64 * 32 * 4)), 64, 32, 63 * 4});
    shared_memory_seal(narrow->memory.get());
    const Case cases[] = {
        {"no width", picture(0, 32, true, 4096), 1},
        {"no height", picture(64, 0, true, 4096), 1},
        {"a width the scale does not divide", picture(63, 32), 2},
        {"a height the scale does not divide", picture(64, 33), 2},
        {"no scale", picture(64, 32), 0},
        {"rows narrower than the width", narrow, 1},
        {"memory not sealed", picture(64, 32, false), 1},
        {"memory shorter than its rows", picture(64, 32, true, 64 * 31 * 4), 1},
        {"more than a pool can hold", std::make_shared<Picture>(Picture{UniqueDescriptor(), 32768, 32768, 131072}), 1},
        {"no memory", std::make_shared<Picture>(Picture{UniqueDescriptor(), 64, 32, 256}), 1},
    };
    for (const Case& refused : cases) EXPECT_FALSE(picture_fits(*refused.picture, refused.scale)) << refused.what;
}

TEST(PaintBook, ASurfaceDrawsNothingBeforeItsConfigureAndAShowNeedsAKnownSurface) {
    PaintBook book;
    std::vector<ShowEnded> ended;
    const PaintClock::time_point now{};
    EXPECT_EQ(book.show({{7, {picture(8, 8)}}}, now, ended), std::nullopt) << "no such surface";
    book.add_surface(7);
    EXPECT_EQ(book.show({{7, {}}}, now, ended), std::nullopt) << "no picture";
    const std::optional<ShowId> show = book.show({{7, {picture(8, 8)}}, {9, {picture(8, 8)}}}, now, ended);
    ASSERT_TRUE(show.has_value());
    EXPECT_EQ(book.next_commit(7), std::nullopt) << "a commit before the first configure";
    book.configured(7);
    const std::optional<PaintCommit> first = book.next_commit(7);
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(first->picture && first->frame);
    EXPECT_EQ(ended, std::vector<ShowEnded>{});
}

TEST(PaintBook, AShowIsFramedOnlyByAFrameAfterItsLastPictureOnEverySurface) {
    PaintBook book;
    std::uint64_t buffers = 0;
    std::vector<ShowEnded> ended;
    for (PaintBook::Surface surface : {1u, 2u}) {
        book.add_surface(surface);
        book.configured(surface);
    }
    const PaintClock::time_point now{};
    const ShowId first = *book.show({{1, {picture(8, 8)}}, {2, {picture(8, 8)}}}, now, ended);
    commit_next(book, 1, buffers);
    commit_next(book, 2, buffers);
    EXPECT_EQ(book.frames_asked(), 2u);
    // A second show on surface 1 before its frame came: its picture goes at
    // once, without a second frame callback.
    const ShowId second = *book.show({{1, {picture(8, 8)}}}, now + 10ms, ended);
    const std::optional<PaintCommit> without_frame = book.next_commit(1);
    ASSERT_TRUE(without_frame && without_frame->picture);
    EXPECT_FALSE(without_frame->frame);
    book.committed(1, *without_frame, ++buffers);
    EXPECT_EQ(book.frames_asked(), 2u);
    // The frame for the older picture does not show the newer one: an empty commit asks another.
    EXPECT_EQ(book.frame_done(1), std::vector<ShowEnded>{});
    const std::optional<PaintCommit> confirm = book.next_commit(1);
    ASSERT_TRUE(confirm.has_value());
    EXPECT_EQ(confirm->picture, nullptr);
    EXPECT_TRUE(confirm->frame);
    book.committed(1, *confirm, 0);
    EXPECT_EQ(book.frame_done(2), (std::vector<ShowEnded>{{first, ShowEnd::superseded}}))
        << "the first show lost surface 1 to the second";
    EXPECT_EQ(book.frame_done(1), (std::vector<ShowEnded>{{second, ShowEnd::framed}}));
    EXPECT_EQ(book.frame_done(1), std::vector<ShowEnded>{}) << "a frame never asked";
    EXPECT_EQ(book.frames_delivered(1), 2u);
    EXPECT_EQ(book.shows(), 0u);
    EXPECT_EQ(book.deadline(), std::nullopt);
}

TEST(PaintBook, ACompositorThatHoldsEveryBufferCostsABoundedNumberAndNewerPicturesWait) {
    PaintBook book;
    std::uint64_t buffers = 0;
    std::vector<ShowEnded> ended;
    book.add_surface(3);
    book.configured(3);
    PaintClock::time_point now{};
    std::vector<ShowId> shows;
    std::vector<std::uint64_t> made;
    for (int show = 0; show < 12; ++show) {
        const PictureRef wanted = picture(8, 8);
        shows.push_back(*book.show({{3, {wanted}}}, now, ended));
        if (const std::optional<PaintCommit> commit = book.next_commit(3)) {
            EXPECT_EQ(commit->picture, wanted);
            book.committed(3, *commit, ++buffers);
            made.push_back(buffers);
        }
        EXPECT_LE(book.buffers(3), most_buffers_per_surface);
        now += 1ms;
    }
    EXPECT_EQ(made.size(), most_buffers_per_surface);
    // Every show but the last was superseded, each once.
    ASSERT_EQ(ended.size(), shows.size() - 1);
    for (std::size_t show = 0; show + 1 < shows.size(); ++show)
        EXPECT_EQ(ended[show], (ShowEnded{shows[show], ShowEnd::superseded}));
    // A release lets the newest picture go, and only it.
    EXPECT_TRUE(book.released(made.front()));
    EXPECT_FALSE(book.released(made.front())) << "released twice";
    EXPECT_FALSE(book.released(999)) << "a buffer never made";
    EXPECT_NE(commit_next(book, 3, buffers), 0u);
    EXPECT_EQ(book.next_commit(3), std::nullopt);
    EXPECT_EQ(book.buffers(3), most_buffers_per_surface);
    // The surface going leaves its buffers counted until the compositor lets them go.
    ended.clear();
    EXPECT_EQ(book.remove_surface(3), (std::vector<ShowEnded>{{shows.back(), ShowEnd::lost}}));
    EXPECT_EQ(book.buffers(), most_buffers_per_surface);
    for (std::uint64_t buffer = made[1]; buffer <= buffers; ++buffer) EXPECT_TRUE(book.released(buffer));
    EXPECT_EQ(book.buffers(), 0u);
    EXPECT_EQ(book.surfaces(), 0u);
}

TEST(PaintBook, ASurfaceWithoutFramesCountsAsShowingAtTheDeadlineAndPilesNothingUp) {
    PaintBook book;
    std::uint64_t buffers = 0;
    std::vector<ShowEnded> ended;
    book.add_surface(1);
    book.configured(1);
    const PaintClock::time_point start{};
    const ShowId covered = *book.show({{1, {picture(8, 8)}}}, start, ended);
    commit_next(book, 1, buffers);
    EXPECT_EQ(book.deadline(), start + show_frame_bound);
    EXPECT_EQ(book.expire(start + show_frame_bound - 1us), std::vector<ShowEnded>{});
    EXPECT_EQ(book.expire(start + show_frame_bound), (std::vector<ShowEnded>{{covered, ShowEnd::timed_out}}));
    EXPECT_EQ(book.deadline(), std::nullopt);
    // Shows go on while the frame never comes: one frame callback stays asked, one show at most under way.
    for (int show = 1; show <= 5; ++show) {
        const PaintClock::time_point at = start + show * 200ms;
        const ShowId next = *book.show({{1, {picture(8, 8)}}}, at, ended);
        const std::optional<PaintCommit> commit = book.next_commit(1);
        ASSERT_TRUE(commit && commit->picture);
        EXPECT_FALSE(commit->frame);
        book.committed(1, *commit, ++buffers);
        book.released(buffers - 1);
        EXPECT_EQ(book.frames_asked(), 1u);
        EXPECT_EQ(book.shows(), 1u);
        EXPECT_EQ(book.expire(at + show_frame_bound), (std::vector<ShowEnded>{{next, ShowEnd::timed_out}}));
    }
    EXPECT_EQ(book.buffers(1), 1u);
    EXPECT_EQ(ended, std::vector<ShowEnded>{});
    // The connection goes: whatever was under way ends lost, and nothing is left.
    const ShowId last = *book.show({{1, {picture(8, 8)}}}, start + 2s, ended);
    EXPECT_EQ(book.clear(), (std::vector<ShowEnded>{{last, ShowEnd::lost}}));
    EXPECT_EQ(book.surfaces() + book.buffers() + book.shows() + book.frames_asked(), 0u);
}

TEST(PaintBook, ATransitionAttachesOneFrameOnEachFrameCallbackAndSkipsToItsLastAtTheDeadline) {
    PaintBook book;
    std::uint64_t buffers = 0;
    std::vector<ShowEnded> ended;
    book.add_surface(1);
    book.configured(1);
    const PaintClock::time_point start{};
    std::vector<PictureRef> frames;
    for (int frame = 0; frame < 5; ++frame) frames.push_back(picture(8, 8));
    const ShowId transition = *book.show({{1, frames}}, start, ended);
    for (std::size_t frame = 0; frame < 3; ++frame) {
        const std::optional<PaintCommit> commit = book.next_commit(1);
        ASSERT_TRUE(commit.has_value());
        EXPECT_EQ(commit->picture, frames[frame]);
        EXPECT_TRUE(commit->frame);
        book.committed(1, *commit, ++buffers);
        EXPECT_EQ(book.next_commit(1), std::nullopt) << "frame " << frame + 1 << " before its frame callback";
        EXPECT_EQ(book.frame_done(1), std::vector<ShowEnded>{});
        book.released(buffers);
    }
    EXPECT_EQ(book.frames_delivered(1), 3u);
    // Covered now: the deadline skips the fourth frame, and the last goes at once.
    commit_next(book, 1, buffers);
    EXPECT_EQ(book.expire(start + show_frame_bound), (std::vector<ShowEnded>{{transition, ShowEnd::timed_out}}));
    const std::optional<PaintCommit> last = book.next_commit(1);
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->picture, frames.back());
}

TEST(PaintBook, AHeldTransitionTakesOfferedFramesOnePerFrameCallbackAndItsLastWhenLetGo) {
    PaintBook book;
    std::uint64_t buffers = 0;
    std::vector<ShowEnded> ended;
    book.add_surface(1);
    book.configured(1);
    const PaintClock::time_point start{};
    const PictureRef last = picture(8, 8);
    const ShowId transition = *book.show({{1, {last}}}, start, ended);
    book.hold(1, 30);
    EXPECT_TRUE(book.holding(1));
    EXPECT_EQ(book.next_commit(1), std::nullopt) << "the new picture waits";
    EXPECT_EQ(book.deadline(), std::nullopt) << "waiting for the first frame is not waiting for the compositor";
    const std::vector<PictureRect> damage{{0, 0, 3, 8}};
    const PictureRef first = picture(8, 8), late = picture(8, 8), next = picture(8, 8);
    EXPECT_TRUE(book.offer(1, first, damage, start + 1s));
    const std::optional<PaintCommit> commit = book.next_commit(1);
    ASSERT_TRUE(commit.has_value());
    EXPECT_EQ(commit->picture, first) << "the first frame goes at once";
    EXPECT_EQ(commit->damage, damage);
    book.committed(1, *commit, ++buffers);
    // Two frames offered before the frame callback: the later replaces the earlier.
    EXPECT_TRUE(book.offer(1, late, {}, start + 1s + 10ms));
    EXPECT_TRUE(book.offer(1, next, {}, start + 1s + 20ms));
    EXPECT_EQ(book.next_commit(1), std::nullopt);
    EXPECT_EQ(book.frame_done(1), std::vector<ShowEnded>{});
    EXPECT_EQ(commit_next(book, 1, buffers), buffers);
    EXPECT_EQ(book.frame_done(1), std::vector<ShowEnded>{});
    book.let_last_go(1, damage, start + 2s);
    EXPECT_FALSE(book.holding(1));
    EXPECT_FALSE(book.offer(1, picture(8, 8), {}, start + 2s)) << "nothing offered after the last";
    const std::optional<PaintCommit> final_commit = book.next_commit(1);
    ASSERT_TRUE(final_commit && final_commit->picture == last);
    EXPECT_EQ(final_commit->damage, damage);
    book.committed(1, *final_commit, ++buffers);
    EXPECT_EQ(book.frame_done(1), (std::vector<ShowEnded>{{transition, ShowEnd::framed}}));
    EXPECT_EQ(book.frames_delivered(1), 3u);
    EXPECT_EQ(book.pictures_asked(1), 30u);
}

TEST(PaintBook, ATransitionsSurfaceWithoutFrameCallbacksSkipsToItsLastAtTheBoundAndOneEndsAtOnce) {
    PaintBook book;
    std::uint64_t buffers = 0;
    std::vector<ShowEnded> ended;
    for (PaintBook::Surface surface : {1u, 2u}) {
        book.add_surface(surface);
        book.configured(surface);
    }
    const PaintClock::time_point start{};
    const PictureRef one = picture(8, 8), two = picture(8, 8);
    const ShowId covered = *book.show({{1, {one}}, {2, {two}}}, start, ended);
    book.hold(1, 10);
    book.hold(2, 10);
    const PaintClock::time_point offered = start + 500ms;
    for (PaintBook::Surface surface : {1u, 2u}) {
        EXPECT_TRUE(book.offer(surface, picture(8, 8), {}, offered));
        commit_next(book, surface, buffers);
    }
    // Surface 2 gets its frame callbacks; surface 1 none: it waits the bound from its frame, then skips.
    EXPECT_EQ(book.frame_done(2), std::vector<ShowEnded>{});
    EXPECT_EQ(book.deadline(), offered + transition_frame_bound);
    EXPECT_EQ(book.expire(offered + transition_frame_bound - 1us), std::vector<ShowEnded>{});
    EXPECT_EQ(book.expire(offered + transition_frame_bound), std::vector<ShowEnded>{});
    EXPECT_FALSE(book.holding(1));
    const std::optional<PaintCommit> skipped = book.next_commit(1);
    ASSERT_TRUE(skipped && skipped->picture == one);
    EXPECT_FALSE(skipped->frame) << "no second frame callback piles up";
    // Ending at once (quitting) puts the last picture up without a frame callback.
    EXPECT_TRUE(book.offer(2, picture(8, 8), {}, offered + 200ms));
    commit_next(book, 2, buffers);
    book.skip_to_last(2, offered + 210ms);
    const std::optional<PaintCommit> at_once = book.next_commit(2);
    ASSERT_TRUE(at_once && at_once->picture == two);
    book.committed(2, *at_once, ++buffers);
    // The frame callback for the frame before asks one more, for the last picture.
    EXPECT_EQ(book.frame_done(2), std::vector<ShowEnded>{});
    commit_next(book, 2, buffers);
    EXPECT_EQ(book.frame_done(2), (std::vector<ShowEnded>{{covered, ShowEnd::timed_out}}));
}

}  // namespace
}  // namespace zelvo
