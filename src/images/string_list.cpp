#include "images/string_list.h"

#include <cstdlib>
#include <ctime>
#include <utility>
#include <vector>

namespace zelvo {

StringNode* string_list_append(StringNode* tail, std::string value) {
    StringNode* node = tail;
    if (node == nullptr) {
        node = new StringNode{};
    } else if (node->value) {
        node = new StringNode{};
        tail->link = node;
    }
    node->value = std::move(value);
    node->link = nullptr;
    return node;
}

StringNode* string_list_last(StringNode* start) {
    StringNode* node = start;
    while (node->link != nullptr) node = node->link;
    return node;
}

void string_list_free(StringNode* first) {
    while (first != nullptr) {
        StringNode* next = first->link;
        delete first;
        first = next;
    }
}

StringNode* ring_advance(StringNode* start, int count) {
    StringNode* node = start;
    for (int step = 0; step < count; ++step) node = node->link;
    return node;
}

std::size_t ring_count(const StringNode* start) {
    std::size_t count = 1;
    for (const StringNode* node = start->link; node != nullptr && node != start; node = node->link)
        ++count;
    return count;
}

void ring_free(StringNode* start) {
    StringNode* node = start->link;
    while (node != nullptr && node != start) {
        StringNode* next = node->link;
        delete node;
        node = next;
    }
    delete start;
}

void swap_entries(StringNode*& a, StringNode*& b) { std::swap(a, b); }

StringNode* ring_shuffle(StringNode* start) {
    std::size_t count = ring_count(start);
    std::vector<StringNode*> slots;
    slots.reserve(count);
    StringNode* node = start;
    for (std::size_t index = 0; index < count; ++index) {
        slots.push_back(node);
        node = node->link;
    }

    srand48(static_cast<long>(std::time(nullptr)));
    for (std::size_t remaining = count; remaining >= 2; --remaining) {
        auto drawn = static_cast<std::size_t>(lrand48());
        swap_entries(slots[remaining - 1], slots[drawn % remaining]);
    }

    for (std::size_t index = 0; index + 1 < count; ++index) slots[index]->link = slots[index + 1];
    slots[count - 1]->link = slots[0];
    return slots[0];
}

}  // namespace zelvo
