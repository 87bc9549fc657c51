#include "images/ring_edit.h"

#include <algorithm>
#include <cstdlib>
#include <unordered_set>

#include "images/file_inode.h"

namespace zelvo {

namespace {

// A node that comes into the ring before the node at `position` of its walk
// (at the walk's end when the position is its size); among those at one
// position, by rank.
struct Insertion {
    std::size_t position;
    long rank;
    StringNode* node;
};

// The ring's walk from `start`, the nodes as they are linked.
std::vector<StringNode*> ring_walk(StringNode* start, std::size_t size) {
    std::vector<StringNode*> order;
    order.reserve(size);
    StringNode* node = start;
    for (std::size_t index = 0; index < size; ++index, node = node->link) order.push_back(node);
    return order;
}

// The sequence that the ring becomes: its walk without the nodes that go,
// and the insertions (in order) before their positions; and the links that
// differ from those the walk had, found without touching a node.
RingLinks plan_links(const std::vector<StringNode*>& order, const std::vector<char>& gone,
                     const std::vector<Insertion>& insertions) {
    std::vector<StringNode*> sequence;
    std::vector<std::size_t> from;  // for each of the sequence, its index in the walk, or none for a new node
    constexpr std::size_t none = static_cast<std::size_t>(-1);
    sequence.reserve(order.size() + insertions.size());
    from.reserve(order.size() + insertions.size());
    std::size_t next = 0;
    for (std::size_t index = 0; index <= order.size(); ++index) {
        for (; next < insertions.size() && insertions[next].position == index; ++next) {
            sequence.push_back(insertions[next].node);
            from.push_back(none);
        }
        if (index < order.size() && !gone[index]) {
            sequence.push_back(order[index]);
            from.push_back(index);
        }
    }
    RingLinks links;
    // Without a division in the loop: a large ring would spend most of its time there.
    for (std::size_t at = 0; at < sequence.size(); ++at) {
        StringNode* following = sequence[at + 1 < sequence.size() ? at + 1 : 0];
        if (from[at] == none || order[from[at] + 1 < order.size() ? from[at] + 1 : 0] != following)
            links.writes.emplace_back(sequence[at], following);
    }
    links.sequence = std::move(sequence);
    return links;
}

// Writes the links that change, and no other node is touched.
void write_links(const RingLinks& links) {
    for (const auto& [node, following] : links.writes) node->link = following;
}

}  // namespace

ImageRing ring_make(StringList images, bool by_name) {
    if (!by_name) return ImageRing(ring_shuffle(images.release()));
    StringNode* first = images.release();
    string_list_last(first)->link = first;
    return ImageRing(first);
}

RingPlace ring_place_start(const ImageRing& ring, StringNode* current) {
    if (ring.empty() || current == nullptr) return RingPlace{};
    return RingPlace{current, ring.size()};
}

void ring_place_advance(RingPlace& place, const ImageRing& ring, int count) {
    if (place.current == nullptr || count <= 0) return;
    long long left = static_cast<long long>(place.round_left) - count;
    while (left <= 0) left += static_cast<long long>(ring.size());
    place.round_left = static_cast<std::size_t>(left);
    place.current = ring_advance(place.current, count);
}

std::size_t ring_remove(ImageRing& ring, RingPlace& place, const std::function<bool(const std::string&)>& doomed) {
    if (ring.empty() || place.current == nullptr) return 0;
    const std::vector<StringNode*> order = ring_walk(place.current, ring.size());
    std::vector<char> gone(order.size());
    std::size_t count = 0;
    std::size_t unshown = 0;  // of the round's nodes, those that go
    for (std::size_t index = 0; index < order.size(); ++index) {
        gone[index] = doomed(*order[index]->value);
        count += gone[index] != 0;
        unshown += gone[index] != 0 && index < place.round_left;
    }
    if (count == 0) return 0;
    const std::size_t owner = static_cast<std::size_t>(std::find(order.begin(), order.end(), ring.node()) - order.begin());
    const RingLinks links = plan_links(order, gone, {});
    write_links(links);
    const std::vector<StringNode*>& sequence = links.sequence;
    if (sequence.empty()) {
        ring.reseat(nullptr, 0);
        place = RingPlace{};
    } else {
        // The owner's node, or the first after it that stays: by name, still the first name.
        std::size_t kept = owner;
        while (gone[kept % order.size()]) ++kept;
        ring.reseat(order[kept % order.size()], sequence.size());
        place.current = sequence.front();
        place.round_left = place.round_left > unshown ? place.round_left - unshown : sequence.size();
    }
    for (std::size_t index = 0; index < order.size(); ++index)
        if (gone[index]) delete order[index];
    return count;
}

RingMerge::RingMerge(StringList found, std::size_t count, bool by_name)
    : by_name_(by_name), found_(found.empty() ? nullptr : found.release()), found_at_(found_) {
    // Made for them all at once: growing, it would hash every text again in one step.
    found_index_.reserve(count);
}

RingMerge::~RingMerge() {
    if (phase_ != Phase::applied)
        for (StringNode* node : fresh_) delete node;
    for (StringNode* node : doomed_) delete node;
    string_list_free(found_);
}

void RingMerge::restart_walk(std::uint64_t generation) {
    generation_ = generation;
    plan_.reset();
    ++attempt_;
    order_.clear();
    gone_.clear();
    // The new ones found before go back among the found, to be told apart again.
    for (StringNode* node : fresh_) {
        node->link = found_;
        found_ = node;
    }
    fresh_.clear();
    positions_.clear();
    walk_at_ = nullptr;
    phase_ = Phase::walk;
}

bool RingMerge::prepare(const ImageRing& ring, const RingPlace& place, std::uint64_t generation,
                        const std::function<bool()>& more) {
    if (phase_ == Phase::applied) return false;
    // Every phase looks at the clock only now and then.
    unsigned steps = 0;
    const auto busy = [&] { return (++steps & 63) != 0 || more(); };
    if (phase_ == Phase::index) {
        for (; found_at_ != nullptr && busy(); found_at_ = found_at_->link) found_index_.emplace(*found_at_->value, 0);
        if (found_at_ != nullptr) return false;
        restart_walk(generation);
    }
    if (generation != generation_) restart_walk(generation);
    if (phase_ == Phase::walk) {
        if (order_.empty() && !ring.empty()) {
            order_.reserve(ring.size());
            gone_.reserve(ring.size());
            walk_at_ = ring.node();
        }
        for (; walk_at_ != nullptr && order_.size() < ring.size() && busy(); walk_at_ = walk_at_->link) {
            const auto found = found_index_.find(*walk_at_->value);
            order_.push_back(walk_at_);
            gone_.push_back(found == found_index_.end());
            if (found != found_index_.end()) found->second = attempt_;
        }
        if (order_.size() < ring.size()) return false;
        phase_ = Phase::fresh;
        found_link_ = &found_;
    }
    if (phase_ == Phase::fresh) {
        while (*found_link_ != nullptr && busy()) {
            StringNode* node = *found_link_;
            if (found_index_.find(*node->value)->second == attempt_) {
                found_link_ = &node->link;
                continue;
            }
            *found_link_ = node->link;
            node->link = nullptr;
            fresh_.push_back(node);
        }
        if (*found_link_ != nullptr) return false;
        phase_ = by_name_ ? Phase::place : Phase::ready;
        if (by_name_)
            std::stable_sort(fresh_.begin(), fresh_.end(),
                             [](const StringNode* one, const StringNode* two) { return *one->value < *two->value; });
    }
    if (phase_ == Phase::place) {
        // The walk from the owner is in the order of the names.
        const auto before = [](const std::string& value, const StringNode* node) { return value < *node->value; };
        while (positions_.size() < fresh_.size() && busy()) {
            const std::string& value = *fresh_[positions_.size()]->value;
            positions_.push_back(static_cast<std::size_t>(std::upper_bound(order_.begin(), order_.end(), value, before) -
                                                          order_.begin()));
        }
        if (positions_.size() < fresh_.size()) return false;
        phase_ = Phase::ready;
    }
    // A plan for this very place is ready; one for another is made again, in a call of its own.
    if (plan_ && plan_->current == place.current && plan_->round_left == place.round_left) return true;
    if (steps == 0) make_plan(place);
    return false;
}

void RingMerge::make_plan(const RingPlace& place) {
    plan_.reset();
    Plan plan{place.current, place.round_left, {}, nullptr, 0};
    const std::size_t size = order_.size();
    std::vector<Insertion> insertions;
    insertions.reserve(fresh_.size());
    for (std::size_t index = 0; index < fresh_.size(); ++index)
        insertions.push_back(Insertion{by_name_ ? positions_[index] : 0, 0, fresh_[index]});
    const std::size_t current = size == 0 ? 0
                                          : static_cast<std::size_t>(std::find(order_.begin(), order_.end(), place.current) -
                                                                     order_.begin());
    StringNode* next_current = nullptr;
    std::size_t round_left = 0;
    if (size == 0) {
        // An empty ring takes the new images alone: shuffled, or by name as they are.
        if (!by_name_)
            for (std::size_t left = insertions.size(); left >= 2; --left)
                std::swap(insertions[left - 1], insertions[static_cast<std::size_t>(lrand48()) % left]);
    } else if (!by_name_) {
        // The round's nodes that stay, from the current one on, and a gap for
        // each new image: before the t-th of them, or after the last (t = L).
        std::vector<std::size_t> unshown;
        for (std::size_t step = 0, index = current; step < place.round_left && step < size; ++step) {
            if (!gone_[index]) unshown.push_back(index);
            index = index + 1 < size ? index + 1 : 0;
        }
        const std::size_t kept = unshown.size();
        for (Insertion& insertion : insertions) {
            const std::size_t gap = static_cast<std::size_t>(lrand48()) % (kept + 1);
            if (kept == 0) {
                insertion.position = current;
            } else if (gap < kept) {
                insertion.position = unshown[gap];
                insertion.rank = static_cast<long>(gap);
            } else {
                // After the round's last node: before whatever follows it, and
                // before the round's first new images should both fall here.
                insertion.position = unshown.back() + 1;
                insertion.rank = -1;
            }
        }
        std::stable_sort(insertions.begin(), insertions.end(), [](const Insertion& one, const Insertion& two) {
            return one.position != two.position ? one.position < two.position : one.rank < two.rank;
        });
        // The first new image of the round's first gap, whichever was drawn first.
        for (const Insertion& insertion : insertions)
            if (kept == 0 || (insertion.rank == 0 && insertion.position == unshown.front())) {
                next_current = insertion.node;
                break;
            }
        if (next_current == nullptr && kept > 0) next_current = order_[unshown.front()];
        round_left = kept + insertions.size();
    }
    plan.links = plan_links(order_, gone_, insertions);
    const std::vector<StringNode*>& sequence = plan.links.sequence;
    if (sequence.empty()) {
        plan_ = std::move(plan);
        return;
    }
    if (size == 0) {
        next_current = sequence.front();
        round_left = sequence.size();
    } else if (by_name_ || next_current == nullptr) {
        // The place stays on its node, or goes to whatever now follows where it was.
        if (!gone_[current]) {
            next_current = order_[current];
        } else {
            std::size_t emitted = 0;
            for (const Insertion& insertion : insertions) emitted += insertion.position <= current;
            for (std::size_t index = 0; index <= current; ++index) emitted += !gone_[index];
            next_current = sequence[emitted % sequence.size()];
        }
        std::size_t unshown_gone = 0;
        for (std::size_t step = 0, index = current; step < place.round_left && step < size; ++step) {
            unshown_gone += gone_[index] != 0;
            index = index + 1 < size ? index + 1 : 0;
        }
        round_left = place.round_left > unshown_gone ? place.round_left - unshown_gone : sequence.size();
    }
    plan.next_current = next_current;
    plan.next_round_left = std::clamp<std::size_t>(round_left, 1, sequence.size());
    plan_ = std::move(plan);
}

RingMergeCounts RingMerge::apply(ImageRing& ring, RingPlace& place) {
    // A place that moved since the plan was made needs another.
    if (!plan_ || plan_->current != place.current || plan_->round_left != place.round_left) make_plan(place);
    phase_ = Phase::applied;
    RingMergeCounts counts{fresh_.size(), static_cast<std::size_t>(std::count(gone_.begin(), gone_.end(), 1))};
    write_links(plan_->links);
    for (std::size_t index = 0; index < order_.size(); ++index)
        if (gone_[index]) doomed_.push_back(order_[index]);
    const std::vector<StringNode*>& sequence = plan_->links.sequence;
    if (sequence.empty()) {
        ring.reseat(nullptr, 0);
        place = RingPlace{};
    } else {
        ring.reseat(sequence.front(), sequence.size());
        place.current = plan_->next_current;
        place.round_left = plan_->next_round_left;
    }
    plan_.reset();
    return counts;
}

bool RingMerge::tidy(const std::function<bool()>& more) {
    unsigned steps = 0;
    const auto busy = [&] { return (++steps & 63) != 0 || more(); };
    // The index, whose texts are those of nodes now in the ring or about to be freed, is only freed.
    while (!found_index_.empty() && busy()) found_index_.erase(found_index_.begin());
    while (!doomed_.empty() && busy()) {
        delete doomed_.back();
        doomed_.pop_back();
    }
    while (found_ != nullptr && busy()) {
        StringNode* first = found_;
        found_ = first->link;
        delete first;
    }
    return found_index_.empty() && doomed_.empty() && found_ == nullptr;
}

std::vector<std::string> ring_entries_of_files(const std::vector<const ImageRing*>& rings,
                                               const std::vector<std::string>& files) {
    std::unordered_set<FileInode, FileInodeHash> wanted;
    for (const std::string& file : files)
        if (const std::optional<FileInode> identity = file_inode(file.c_str())) wanted.insert(*identity);
    std::vector<std::string> found;
    if (wanted.empty()) return found;
    std::unordered_set<std::string> seen;
    for (const ImageRing* ring : rings) {
        const StringNode* start = ring->node();
        if (start == nullptr) continue;
        const StringNode* node = start;
        do {
            const std::string& entry = *node->value;
            if (!seen.contains(entry)) {
                seen.insert(entry);
                const std::optional<FileInode> identity = file_inode(entry.c_str());
                if (identity && wanted.contains(*identity)) found.push_back(entry);
            }
            node = node->link;
        } while (node != nullptr && node != start);
    }
    return found;
}

}  // namespace zelvo
