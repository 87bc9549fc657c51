#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "images/string_list.h"

namespace zelvo {

// Where the cycle stands in the ring: the node whose image the next change
// shows first, and how many nodes from it on are still to be shown in this
// round. A round begins when the ring is built or shuffled, and again each
// time every node has been shown once since; so the first round_left nodes
// from current are those not yet shown in it. Both none for an empty ring.
struct RingPlace {
    StringNode* current = nullptr;
    std::size_t round_left = 0;
};

// The ring made of an expansion's images (not empty): shuffled, or, by name,
// closed into a circle in the order they came in.
ImageRing ring_make(StringList images, bool by_name);

// A new round begins at `current`, a node of the ring (none when it is empty).
RingPlace ring_place_start(const ImageRing& ring, StringNode* current);

// The cycle moves on by `count` nodes, into the next round where this one ends.
void ring_place_advance(RingPlace& place, const ImageRing& ring, int count);

// Takes the nodes whose value `doomed` names out of the ring and frees them;
// gives how many went. The place stays where it was, on the next node that
// is left when its own went; the round loses those of its nodes that went.
// A ring that loses every node is empty.
std::size_t ring_remove(ImageRing& ring, RingPlace& place, const std::function<bool(const std::string&)>& doomed);

// The entries of the rings, each once, that lead to one of the files, by
// device and inode, however they name it. It asks the file system about every
// entry: for a worker, never the daemon's loop.
std::vector<std::string> ring_entries_of_files(const std::vector<const ImageRing*>& rings,
                                               const std::vector<std::string>& files);

// A ring's sequence after an edit, and the links to write to make it so.
struct RingLinks {
    std::vector<StringNode*> sequence;
    std::vector<std::pair<StringNode*, StringNode*>> writes;  // (node, the node its link is to lead to)
};

// What a merge did.
struct RingMergeCounts {
    std::size_t added = 0;
    std::size_t gone = 0;
};

// Merges the images of a new expansion into the ring, in slices that the
// caller's loop runs one at a time, so that a large ring never holds it up:
// the nodes whose images the expansion no longer found leave the ring, and
// the images that are new to it come in. In random order a new image is
// placed at random among the nodes not yet shown in this round, so that each
// image is shown before any is shown twice; by name, where its name puts it.
// The place stays on its node unless that one goes. The ring may change
// between slices (a ban, a reshuffle): each change has a new generation
// number, and the merge then walks the ring again.
class RingMerge {
public:
    // The images found, about `count` of them (the index is made for as many).
    RingMerge(StringList found, std::size_t count, bool by_name);
    ~RingMerge();
    RingMerge(const RingMerge&) = delete;
    RingMerge& operator=(const RingMerge&) = delete;

    // Works towards the merge with the ring as it is in this generation for
    // as long as `more` says, its last step a plan for the place as it is,
    // made in a call of its own; true once a plan for this very place is
    // ready, and apply may run.
    bool prepare(const ImageRing& ring, const RingPlace& place, std::uint64_t generation,
                 const std::function<bool()>& more);
    // The merge itself, as planned: only the links that change are written,
    // and no node that stays is touched otherwise. (A place that moved since
    // is planned for again first.)
    RingMergeCounts apply(ImageRing& ring, RingPlace& place);
    // Frees what the merge leaves behind, for as long as `more` says; true once done.
    bool tidy(const std::function<bool()>& more);

private:
    enum class Phase { index, walk, fresh, place, ready, applied };

    void restart_walk(std::uint64_t generation);
    void make_plan(const RingPlace& place);

    // The merge worked out for a place: the links to write, and where the place goes.
    struct Plan {
        StringNode* current;
        std::size_t round_left;
        RingLinks links;
        StringNode* next_current;
        std::size_t next_round_left;
    };

    bool by_name_;
    Phase phase_ = Phase::index;
    // The found images, a linear list that the merge owns; the new ones are
    // unlinked from it into fresh_, and go into the ring as they are.
    StringNode* found_ = nullptr;
    StringNode* found_at_ = nullptr;     // the next node for the index
    StringNode** found_link_ = nullptr;  // the link to the next node for the phase that finds the new ones
    // The found images by text, with the attempt of the walk that last met them in the ring.
    std::unordered_map<std::string_view, std::uint32_t> found_index_;
    std::uint32_t attempt_ = 0;
    std::uint64_t generation_ = 0;
    // The ring's walk from its owner's node, and which of its nodes go.
    std::vector<StringNode*> order_;
    std::vector<char> gone_;
    StringNode* walk_at_ = nullptr;
    // The found nodes whose images are new, and by name where each goes.
    std::vector<StringNode*> fresh_;
    std::vector<std::size_t> positions_;
    std::optional<Plan> plan_;
    // The nodes that left the ring, to be freed.
    std::vector<StringNode*> doomed_;
};

}  // namespace zelvo
