#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "process/process.h"

namespace zelvo {

// A picture as the display servers take it: XRGB8888 (one 32-bit word a
// pixel in the machine's byte order, blue in the low byte, the high byte
// unused), `height` rows of `stride` bytes, in shared memory that is sealed
// against shrinking, so that nothing can make a display server that maps it
// read past its end. The daemon passes the descriptor on and maps nothing.
struct Picture {
    UniqueDescriptor memory;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;

    std::size_t bytes() const { return static_cast<std::size_t>(stride) * height; }
};

// Anonymous shared memory of `bytes`, zeroed, that can be sealed
// (memfd_create on Linux, shm_open(SHM_ANON) on FreeBSD); none when it cannot
// be made.
std::optional<UniqueDescriptor> shared_memory_create(std::size_t bytes);

// Seals the memory against shrinking and growing, and the seals themselves;
// false when it cannot be sealed (then it must not be handed on).
bool shared_memory_seal(int memory);

// Whether the memory is sealed against shrinking and at least `bytes` long:
// what the receiving side checks before it hands the memory on.
bool shared_memory_holds(int memory, std::size_t bytes);

}  // namespace zelvo
