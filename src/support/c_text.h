#pragma once

#include <cstdlib>
#include <memory>

namespace zelvo {

// Owns a text that a C library call allocated with malloc (realpath, getcwd).
struct FreeDelete {
    void operator()(char* text) const noexcept { std::free(text); }
};
using CTextPtr = std::unique_ptr<char, FreeDelete>;

}  // namespace zelvo
