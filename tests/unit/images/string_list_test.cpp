#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include "images/string_list.h"

namespace zelvo {
namespace {

// A linear list of size nodes with the values "0", "1", ...
StringNode* make_chain(int size) {
    StringNode* first = new StringNode{};
    StringNode* tail = first;
    for (int index = 0; index < size; ++index) tail = string_list_append(tail, std::to_string(index));
    return first;
}

// The nodes met from start until a link is none or leads back to start.
std::vector<StringNode*> walk(StringNode* start) {
    std::vector<StringNode*> nodes{start};
    for (StringNode* node = start->link; node != nullptr && node != start && nodes.size() < 100; node = node->link)
        nodes.push_back(node);
    return nodes;
}

TEST(StringList, AppendFillsThePlaceholderThenLinksNewNodes) {
    StringList single(string_list_append(nullptr, "a"));
    EXPECT_EQ(single.first()->value, "a");
    EXPECT_EQ(single.first()->link, nullptr);
    StringList list = StringList::placeholder();
    EXPECT_TRUE(list.empty());
    StringNode* first = string_list_append(list.first(), "one");
    StringNode* second = string_list_append(first, "two");
    EXPECT_EQ(first, list.first());
    EXPECT_EQ(first->link, second);
    EXPECT_EQ(second->value, "two");
    EXPECT_EQ(string_list_last(first), second);
}

// A node released twice crashes the run; one never released shows under a leak checker.
TEST(StringList, OwnersReleaseNonePlaceholdersAndRingsOnce) {
    string_list_free(nullptr);
    string_list_free(new StringNode{});
    StringList moved = StringList::placeholder();
    StringList owner(std::move(moved));
    EXPECT_EQ(moved.first(), nullptr);
    ImageRing ring(ring_shuffle(make_chain(2)));
    ImageRing other(ring_shuffle(make_chain(1)));
    other = std::move(ring);
    EXPECT_EQ(ring.node(), nullptr);
    EXPECT_EQ(other.node()->link->link, other.node());
}

TEST(ImageRing, AdvanceFollowsLinksAndWrapsAround) {
    StringNode* first = make_chain(3);
    string_list_last(first)->link = first;
    ImageRing ring(first);
    std::vector<StringNode*> nodes = walk(first);
    for (auto [count, index] : std::vector<std::pair<int, int>>{{0, 0}, {-1, 0}, {-7, 0}, {1, 1}, {3, 0}, {7, 1}})
        EXPECT_EQ(ring_advance(first, count), nodes[index]) << count;
    ImageRing lone(ring_shuffle(make_chain(1)));
    for (int count : {-1, 0, 1, 5}) EXPECT_EQ(ring_advance(lone.node(), count), lone.node()) << count;
}

// The shuffle reseeds from time(), so a step that begins and ends in one
// second can be replayed: Fisher-Yates from the top over the walk from the
// given node, one draw per position above the first. With two nodes the
// start comes back when the one draw is odd, the other node when it is even.
TEST(ImageRing, ReshuffleFromAnyNodeReplaysTheSeededDraws) {
    for (int size : {1, 2, 7}) {
        StringNode* held = ring_shuffle(make_chain(size));
        StringNode* current = ring_advance(held, size / 2);
        std::vector<StringNode*> expected;
        long next = 0;
        std::time_t second;
        do {
            second = std::time(nullptr);
            expected = walk(current);
            current = ring_shuffle(current);
            next = lrand48();
        } while (std::time(nullptr) != second);
        srand48(static_cast<long>(second));
        EXPECT_TRUE(size != 2 || (lrand48() % 2 == 1) == (current == expected[0]));
        srand48(static_cast<long>(second));
        for (std::size_t m = expected.size(); m >= 2; --m) std::swap(expected[m - 1], expected[lrand48() % m]);
        EXPECT_EQ(next, lrand48()) << size;  // reseeded, and exactly size - 1 draws
        EXPECT_EQ(walk(current), expected) << size;
        EXPECT_EQ(walk(current).back()->link, current) << size;
        std::vector<StringNode*> from_held = walk(held);
        EXPECT_EQ(std::set(from_held.begin(), from_held.end()), std::set(expected.begin(), expected.end()));
        ring_free(current);
    }
}

}  // namespace
}  // namespace zelvo
