#pragma once

#include <optional>
#include <string>

namespace zelvo {

// One entry of a list of strings, and of the image ring. A node owns its
// value; a node without a value is the placeholder that starts a list.
struct StringNode {
    std::optional<std::string> value;
    StringNode* link = nullptr;
};

// Puts the value into a placeholder tail, or links a new node after the tail
// (a new lone node when the tail is none); returns the node that got it.
StringNode* string_list_append(StringNode* tail, std::string value);

// The node of a linear list whose link is none.
StringNode* string_list_last(StringNode* start);

// Releases every node from the first until a link is none; none is accepted.
void string_list_free(StringNode* first);

// Follows count links; a count of zero or less gives the start node itself.
StringNode* ring_advance(StringNode* start, int count);

// Releases every node reachable from the start until a link is none or leads
// back to the start: a ring from any node, a linear list from its first.
void ring_free(StringNode* start);

// Shuffles a linear list or a ring into a ring in random order and returns
// the node that becomes the current position.
StringNode* ring_shuffle(StringNode* start);

void swap_entries(StringNode*& a, StringNode*& b);

// Counts nodes from the start until a link is none or returns to the start.
std::size_t ring_count(const StringNode* start);

// Owns a linear StringList; none, a placeholder or filled.
class StringList {
public:
    StringList() = default;
    explicit StringList(StringNode* first) : first_(first) {}
    ~StringList() { string_list_free(first_); }
    StringList(StringList&& other) noexcept : first_(other.release()) {}
    StringList& operator=(StringList&& other) noexcept {
        if (this != &other) {
            string_list_free(first_);
            first_ = other.release();
        }
        return *this;
    }
    StringList(const StringList&) = delete;
    StringList& operator=(const StringList&) = delete;

    // A list that starts as a lone placeholder, ready for appending.
    static StringList placeholder() { return StringList(new StringNode{}); }

    StringNode* first() const { return first_; }
    StringNode* release() {
        StringNode* first = first_;
        first_ = nullptr;
        return first;
    }
    // True when the list holds no value: none, or a lone placeholder.
    bool empty() const { return first_ == nullptr || !first_->value; }

private:
    StringNode* first_ = nullptr;
};

// Owns the image ring through any one of its nodes, and knows its size. An
// empty ring (every image banned) holds no node.
class ImageRing {
public:
    ImageRing() = default;
    explicit ImageRing(StringNode* node) : node_(node), size_(node != nullptr ? ring_count(node) : 0) {}
    ~ImageRing() {
        if (node_ != nullptr) ring_free(node_);
    }
    ImageRing(ImageRing&& other) noexcept : node_(other.node_), size_(other.size_) {
        other.node_ = nullptr;
        other.size_ = 0;
    }
    ImageRing& operator=(ImageRing&& other) noexcept {
        if (this != &other) {
            if (node_ != nullptr) ring_free(node_);
            node_ = other.node_;
            size_ = other.size_;
            other.node_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }
    ImageRing(const ImageRing&) = delete;
    ImageRing& operator=(const ImageRing&) = delete;

    StringNode* node() const { return node_; }
    std::size_t size() const { return size_; }
    bool empty() const { return node_ == nullptr; }
    // After an edit has relinked the ring: it is now the ring through `node`,
    // of `size` nodes (none: empty). Frees nothing.
    void reseat(StringNode* node, std::size_t size) {
        node_ = node;
        size_ = node != nullptr ? size : 0;
    }

private:
    StringNode* node_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace zelvo
