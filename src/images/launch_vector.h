#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "images/string_list.h"

namespace zelvo {

// A null-terminated array of strings as execve takes it. The texts are the
// vector's own copies; count() includes the terminator.
class LaunchVector {
public:
    LaunchVector() = default;
    explicit LaunchVector(std::vector<std::string> texts);
    LaunchVector(LaunchVector&&) = default;
    LaunchVector& operator=(LaunchVector&&) = default;
    LaunchVector(const LaunchVector&) = delete;
    LaunchVector& operator=(const LaunchVector&) = delete;

    char* const* entries() const { return entries_.data(); }
    std::size_t count() const { return entries_.size(); }
    const char* operator[](std::size_t index) const { return entries_[index]; }

private:
    std::vector<std::string> texts_;
    std::vector<char*> entries_;
};

// Copies each value met by the ring walk from the given node, in walk order,
// then the terminator: a linear list and a ring are both copied once.
LaunchVector list_to_argv(const StringNode* list);

}  // namespace zelvo
