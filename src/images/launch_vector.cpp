#include "images/launch_vector.h"

#include <utility>

namespace zelvo {

LaunchVector::LaunchVector(std::vector<std::string> texts) : texts_(std::move(texts)) {
    entries_.reserve(texts_.size() + 1);
    for (std::string& text : texts_) entries_.push_back(text.data());
    entries_.push_back(nullptr);
}

LaunchVector list_to_argv(const StringNode* list) {
    std::vector<std::string> texts;
    texts.reserve(ring_count(list));
    const StringNode* node = list;
    do {
        texts.push_back(node->value.value_or(std::string()));
        node = node->link;
    } while (node != nullptr && node != list);
    return LaunchVector(std::move(texts));
}

}  // namespace zelvo
