#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zelvo {

// The image sets of the last changes, oldest first, as copies of their own
// (a reload frees the ring they came from), and which of them is on screen.
// Going back moves only the place on screen: the ring goes on where it was.
struct ShownHistory {
    static constexpr std::size_t most_sets = 32;
    std::deque<std::vector<std::string>> sets;
    std::size_t on_screen = 0;
};

// A change showed these images: they become the newest set, on screen; the
// oldest is forgotten beyond most_sets.
void history_record(ShownHistory& history, std::vector<std::string> images);

// The nearest set before the one on screen whose every image is still there,
// by the test given; none when there is none.
std::optional<std::size_t> history_earlier(const ShownHistory& history,
                                           const std::function<bool(const std::string&)>& still_there);

// The images on screen, or none before the first change.
const std::vector<std::string>* history_on_screen(const ShownHistory& history);

}  // namespace zelvo
