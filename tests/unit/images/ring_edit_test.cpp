#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "images/ring_edit.h"

namespace zelvo {
namespace {

using Texts = std::vector<std::string>;

StringList list_of(const Texts& values) {
    StringList list = StringList::placeholder();
    StringNode* tail = list.first();
    for (const std::string& value : values) tail = string_list_append(tail, value);
    return list;
}

Texts names(const std::string& prefix, int from, int to) {
    Texts found;
    for (int index = from; index < to; ++index) found.push_back(prefix + std::to_string(1000 + index));
    return found;
}

// The ring's values from the node, once round, checked to close where it began and to hold `size` nodes.
Texts walk(const ImageRing& ring, const StringNode* from) {
    Texts found;
    const StringNode* node = from;
    do {
        found.push_back(*node->value);
        node = node->link;
    } while (node != from && found.size() <= ring.size());
    EXPECT_EQ(node, from);
    EXPECT_EQ(found.size(), ring.size());
    return found;
}

// Runs a merge to its end in slices of a few steps, the ring unchanged meanwhile.
RingMergeCounts merge(ImageRing& ring, RingPlace& place, const Texts& found, bool by_name) {
    RingMerge merging(list_of(found), found.size(), by_name);
    int slices = 0;
    const auto few = [&slices] { return ++slices % 3 != 0; };
    while (!merging.prepare(ring, place, 7, few)) {
    }
    const RingMergeCounts counts = merging.apply(ring, place);
    while (!merging.tidy(few)) {
    }
    return counts;
}

TEST(RingEdit, NewImagesComeAmongThoseNotYetShownInTheRoundAndGoneOnesLeave) {
    for (int trial = 0; trial < 50; ++trial) {
        srand48(trial);
        const Texts first = names("/old/", 0, 100);
        ImageRing ring = ring_make(list_of(first), false);
        RingPlace place = ring_place_start(ring, ring.node());
        for (int change = 0; change < 13; ++change) ring_place_advance(place, ring, 3);  // 39 shown, 61 left
        const Texts from_start = walk(ring, ring.node());
        const Texts shown(from_start.begin(), from_start.begin() + 39);
        const Texts from_place = walk(ring, place.current);
        const Texts unshown(from_place.begin(), from_place.begin() + 61);
        // 20 of each kind go, one of them on the place itself; 30 come.
        std::set<std::string> gone(shown.begin(), shown.begin() + 20);
        gone.insert(unshown.begin(), unshown.begin() + 20);
        Texts found = names("/new/", 0, 30);
        for (const std::string& image : first)
            if (gone.count(image) == 0) found.push_back(image);
        std::reverse(found.begin(), found.end());  // the order the expansion gives does not count
        const RingMergeCounts counts = merge(ring, place, found, false);
        EXPECT_EQ(std::make_tuple(counts.added, counts.gone, ring.size(), place.round_left), std::make_tuple(30u, 40u, 90u, 71u));
        const Texts after = walk(ring, place.current);
        EXPECT_EQ(std::set<std::string>(after.begin(), after.end()), std::set<std::string>(found.begin(), found.end()));
        // The round's rest: the 41 old ones still to show in their order, and the 30 new ones among them.
        const Texts round(after.begin(), after.begin() + 71);
        Texts old_rest;
        std::copy_if(round.begin(), round.end(), std::back_inserter(old_rest), [](const std::string& image) {
            return image.starts_with("/old/");
        });
        EXPECT_EQ(old_rest, Texts(unshown.begin() + 20, unshown.end()));
        EXPECT_EQ(std::count_if(round.begin(), round.end(), [](const std::string& image) { return image.starts_with("/new/"); }), 30);
        // What was shown in this round comes after it, in its order, less what went.
        EXPECT_EQ(Texts(after.begin() + 71, after.end()), Texts(shown.begin() + 20, shown.end()));
    }
}

TEST(RingEdit, ByNameEveryImageTakesItsPlaceInTheOrderOfTheNames) {
    ImageRing ring = ring_make(list_of({"/b", "/d", "/f", "/h"}), true);
    RingPlace place = ring_place_start(ring, ring.node());
    ring_place_advance(place, ring, 2);  // on /f
    merge(ring, place, {"/a", "/b", "/e", "/g", "/h", "/i"}, true);
    EXPECT_EQ(walk(ring, ring.node()), (Texts{"/a", "/b", "/e", "/g", "/h", "/i"}));
    EXPECT_EQ(*place.current->value, "/g");  // /f went: the name after it
    merge(ring, place, {"/0", "/g", "/z"}, true);
    EXPECT_EQ(walk(ring, ring.node()), (Texts{"/0", "/g", "/z"}));
    EXPECT_EQ(*place.current->value, "/g");
}

TEST(RingEdit, AnEmptyRingTakesWhatComesAndRemovingEverythingEmptiesIt) {
    ImageRing ring = ring_make(list_of({"/a", "/b", "/c"}), false);
    RingPlace place = ring_place_start(ring, ring.node());
    ring_place_advance(place, ring, 1);
    EXPECT_EQ(ring_remove(ring, place, [](const std::string& image) { return image == "/b"; }), 1u);
    EXPECT_EQ(ring.size(), 2u);
    EXPECT_EQ(walk(ring, place.current).size(), 2u);
    EXPECT_EQ(ring_remove(ring, place, [](const std::string&) { return true; }), 2u);
    EXPECT_EQ(std::make_tuple(ring.empty(), ring.size(), place.current, place.round_left),
              std::make_tuple(true, 0u, static_cast<StringNode*>(nullptr), 0u));
    EXPECT_EQ(ring_remove(ring, place, [](const std::string&) { return true; }), 0u);
    const RingMergeCounts counts = merge(ring, place, {"/x", "/y"}, false);
    EXPECT_EQ(std::make_tuple(counts.added, counts.gone, ring.size(), place.round_left), std::make_tuple(2u, 0u, 2u, 2u));
    const Texts after = walk(ring, place.current);
    EXPECT_EQ(std::set<std::string>(after.begin(), after.end()), (std::set<std::string>{"/x", "/y"}));
}

TEST(RingEdit, AChangedRingIsWalkedAgainBeforeTheMergeApplies) {
    ImageRing ring = ring_make(list_of(names("/", 0, 500)), false);
    RingPlace place = ring_place_start(ring, ring.node());
    RingMerge merging(list_of(names("/", 100, 600)), 500, false);
    // A slice of 64 steps: the index takes 8 slices, the walk 8 more.
    const auto few = [] { return false; };
    std::uint64_t generation = 1;
    bool ready = false;
    for (int slice = 0; !ready; ++slice) {
        if (slice == 12) {
            // A reshuffle and a removal between two slices, as the loop may run them.
            place = ring_place_start(ring, ring_shuffle(place.current));
            ring_remove(ring, place, [](const std::string& image) { return image == "/1200"; });
            ++generation;
        }
        ready = merging.prepare(ring, place, generation, few);
    }
    const RingMergeCounts counts = merging.apply(ring, place);
    while (!merging.tidy(few)) {
    }
    EXPECT_EQ(std::make_tuple(counts.added, counts.gone), std::make_tuple(101u, 100u));
    const Texts after = walk(ring, place.current);
    EXPECT_EQ(std::set<std::string>(after.begin(), after.end()).size(), 500u);
    EXPECT_EQ(*std::min_element(after.begin(), after.end()), "/1100");
}

TEST(RingEdit, RoundsRunOnAcrossItsEndAndMonitorsWiderThanTheRing) {
    ImageRing ring = ring_make(list_of({"/a", "/b", "/c"}), true);
    RingPlace place = ring_place_start(ring, ring.node());
    // (steps, where they lead, what is left of the round there); the second two are /c, then /a of the next round
    for (const auto& [steps, at, left] : {std::tuple{2, "/c", 1u}, {2, "/b", 2u}, {7, "/c", 1u}}) {
        ring_place_advance(place, ring, steps);
        EXPECT_EQ(std::make_tuple(*place.current->value, place.round_left), std::make_tuple(at, left)) << steps;
    }
}

}  // namespace
}  // namespace zelvo
