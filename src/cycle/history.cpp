#include "cycle/history.h"

#include <algorithm>
#include <utility>

namespace zelvo {

void history_record(ShownHistory& history, std::vector<std::string> images) {
    history.sets.push_back(std::move(images));
    if (history.sets.size() > ShownHistory::most_sets) history.sets.pop_front();
    history.on_screen = history.sets.size() - 1;
}

std::optional<std::size_t> history_earlier(const ShownHistory& history,
                                           const std::function<bool(const std::string&)>& still_there) {
    for (std::size_t index = std::min(history.on_screen, history.sets.size()); index-- > 0;) {
        const std::vector<std::string>& set = history.sets[index];
        if (std::all_of(set.begin(), set.end(), still_there)) return index;
    }
    return std::nullopt;
}

const std::vector<std::string>* history_on_screen(const ShownHistory& history) {
    return history.sets.empty() ? nullptr : &history.sets[history.on_screen];
}

}  // namespace zelvo
