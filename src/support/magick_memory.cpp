#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "support/magick.h"

// MagickCore's large blocks (pixel caches, the quantizer's colour cache of
// 128 MiB) are fresh memory each time it asks, and faulting that in costs
// more than the work done in it. A palette search quantizes the same image
// up to 23 times, so while a MagickScratch lives, the large blocks of one
// quantization are kept when freed and handed out again for the same size.

namespace zelvo {

namespace {

constexpr std::size_t large_block = std::size_t{1} << 20;
// The blocks of two quantizations side by side, each a copy of the image,
// the colour cache and the quantizer's own buffers.
constexpr std::size_t kept_most = 8;

struct Block {
    void* memory;
    std::size_t size;
};

// MagickCore may free blocks on threads of its own.
struct Scratch {
    std::mutex lock;
    bool active = false;
    bool keeping = false;
    std::vector<Block> live;  // large blocks handed out while a scratch lived
    std::vector<Block> kept;  // freed blocks waiting to be handed out again
};

Scratch& scratch() {
    static Scratch state;
    return state;
}

void* acquire_aligned(std::size_t size, std::size_t alignment) {
    if (size >= large_block) {
        Scratch& state = scratch();
        std::lock_guard guard(state.lock);
        if (state.active) {
            for (auto block = state.kept.begin(); block != state.kept.end(); ++block) {
                if (block->size == size && reinterpret_cast<std::uintptr_t>(block->memory) % alignment == 0) {
                    void* memory = block->memory;
                    state.kept.erase(block);
                    state.live.push_back({memory, size});
                    return memory;
                }
            }
        }
        void* memory = nullptr;
        if (posix_memalign(&memory, alignment, size) != 0) return nullptr;
        if (state.active) state.live.push_back({memory, size});
        return memory;
    }
    void* memory = nullptr;
    return posix_memalign(&memory, alignment, size) == 0 ? memory : nullptr;
}

void relinquish_aligned(void* memory) {
    if (memory == nullptr) return;
    Scratch& state = scratch();
    {
        std::lock_guard guard(state.lock);
        for (auto block = state.live.begin(); block != state.live.end(); ++block) {
            if (block->memory != memory) continue;
            const Block freed = *block;
            state.live.erase(block);
            if (!state.keeping) break;
            if (state.kept.size() == kept_most) {
                std::free(state.kept.front().memory);
                state.kept.erase(state.kept.begin());
            }
            state.kept.push_back(freed);
            return;
        }
    }
    std::free(memory);
}

}  // namespace

void magick_memory_install() {
    scratch().live.reserve(64);
    SetMagickAlignedMemoryMethods(acquire_aligned, relinquish_aligned);
}

MagickScratch::MagickScratch() {
    Scratch& state = scratch();
    std::lock_guard guard(state.lock);
    state.active = true;
}

void MagickScratch::keep_freed_blocks() {
    Scratch& state = scratch();
    std::lock_guard guard(state.lock);
    state.keeping = true;
}

MagickScratch::~MagickScratch() {
    Scratch& state = scratch();
    std::lock_guard guard(state.lock);
    state.active = false;
    state.keeping = false;
    for (const Block& block : state.kept) std::free(block.memory);
    state.kept.clear();
}

}  // namespace zelvo
