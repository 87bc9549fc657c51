#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "support/magick.h"

namespace zelvo {
namespace {

constexpr std::size_t mib = std::size_t{1} << 20;

// How many of the block's pages are in memory now.
std::size_t resident_pages(void* memory, std::size_t size) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    auto start = reinterpret_cast<std::uintptr_t>(memory) / page * page;
    const std::size_t length = reinterpret_cast<std::uintptr_t>(memory) + size - start;
    std::vector<unsigned char> pages((length + page - 1) / page);
    EXPECT_EQ(mincore(reinterpret_cast<void*>(start), length, pages.data()), 0) << std::strerror(errno);
    std::size_t resident = 0;
    for (unsigned char flags : pages) resident += flags & 1;
    return resident;
}

TEST(MagickScratch, HandsFreedBlocksOfTheSameSizeOutAgain) {
    magick_start("zelvo_unit_tests");
    MagickScratch scratch;
    void* early = AcquireAlignedMemory(1, 3 * mib);
    ASSERT_NE(early, nullptr);
    RelinquishAlignedMemory(early);
    scratch.keep_freed_blocks();
    void* first = AcquireAlignedMemory(1, 3 * mib);
    std::memset(first, 0x5a, 3 * mib);
    RelinquishAlignedMemory(first);
    // The same size comes back as the same, already used block; another size does not.
    void* again = AcquireAlignedMemory(1, 3 * mib);
    void* other = AcquireAlignedMemory(1, 5 * mib);
    EXPECT_EQ(again, first);
    EXPECT_NE(other, first);
    EXPECT_EQ(static_cast<unsigned char*>(again)[3 * mib - 1], 0x5a);
    RelinquishAlignedMemory(again);
    RelinquishAlignedMemory(other);
}

// Each search runs in a fresh colour process, so nothing of an earlier one
// is faulted in ahead: a huge block is in memory only once it is used.
TEST(MagickScratch, FaultsNothingInAhead) {
    magick_start("zelvo_unit_tests");
    const std::size_t huge = 96 * mib;
    {
        MagickScratch scratch;
        RelinquishAlignedMemory(AcquireAlignedMemory(1, huge));
    }
    MagickScratch scratch;
    void* block = AcquireAlignedMemory(1, huge);
    ASSERT_NE(block, nullptr);
    EXPECT_LT(resident_pages(block, huge) * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)), mib);
    RelinquishAlignedMemory(block);
}

}  // namespace
}  // namespace zelvo
