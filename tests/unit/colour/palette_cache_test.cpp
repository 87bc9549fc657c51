#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "colour/palette_cache.h"
#include "support/magick.h"
#include "../temp_folder.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;

HexTuples tuples(int shade) {
    HexTuples found;
    for (int i = 0; i < 16; ++i) {
        char text[8];
        std::snprintf(text, sizeof text, "#%02X%02x%02x", shade, i * 16, 255 - i);
        found.emplace_back(text);
    }
    return found;
}

// One key per number, as palette_cache_key would give them.
std::string key(int number) { return std::string(63, 'a') + static_cast<char>('0' + number % 10) + std::to_string(number / 10); }

void set_used(const std::string& path, time_t when) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

TEST(PaletteCache, KeepsWhatWasFoundUnderTheHashOfTheBytes) {
    TempFolder folder("zelvo-cache");
    std::ofstream(folder.at("abc")) << "abc";
    EXPECT_EQ(palette_cache_key(folder.at("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_FALSE(palette_cache_key(folder.at("missing")));

    EXPECT_FALSE(palette_cache_lookup(folder.path, key(1)));
    palette_cache_store(folder.path, key(1), tuples(1));
    palette_cache_store(folder.path, key(2), std::nullopt);  // an image that gives no palette
    const std::optional<PaletteFinding> one = palette_cache_lookup(folder.path, key(1));
    const std::optional<PaletteFinding> two = palette_cache_lookup(folder.path, key(2));
    ASSERT_TRUE(one && two);
    EXPECT_EQ(one->tuples, tuples(1));
    EXPECT_TRUE(two->read && !two->tuples);
    // The MagickCore that found them is part of the name.
    EXPECT_TRUE(fs::is_regular_file(folder.at(key(1) + "-" + magick_build_tag())));
}

TEST(PaletteCache, AnEntryThatDoesNotCheckIsNoEntry) {
    TempFolder folder("zelvo-cache");
    const std::string entry = folder.at(key(1) + "-" + magick_build_tag());
    palette_cache_store(folder.path, key(1), tuples(1));
    const std::string good = read_file(entry);
    std::string flipped = good;
    flipped[flipped.find("#01") + 2] = '2';
    std::string other_version = good;
    other_version.replace(0, 21, "zelvo palette cache 9");
    const std::string spoiled[] = {good.substr(0, good.size() - 1), good.substr(0, good.size() / 2), "", flipped,
                                   std::string(1000, '\x7f'), other_version, good + good};
    for (const std::string& text : spoiled) {
        std::ofstream(entry, std::ios::trunc) << text;
        EXPECT_FALSE(palette_cache_lookup(folder.path, key(1))) << text;
    }
    // Moved to another key's name, it does not check either.
    fs::rename(entry, folder.at(key(2) + "-" + magick_build_tag()));
    std::ofstream(folder.at(key(2) + "-" + magick_build_tag()), std::ios::trunc) << good;
    EXPECT_FALSE(palette_cache_lookup(folder.path, key(2)));
    // Made again, it is whole.
    palette_cache_store(folder.path, key(1), tuples(3));
    EXPECT_EQ(palette_cache_lookup(folder.path, key(1))->tuples, tuples(3));
}

TEST(PaletteCache, TheLeastRecentlyUsedGoFirst) {
    TempFolder folder("zelvo-cache");
    const auto entry = [&](int number) { return folder.at(key(number) + "-" + magick_build_tag()); };
    for (int number = 0; number < 10; ++number) {
        palette_cache_store(folder.path, key(number), tuples(number));
        set_used(entry(number), 1000000 + number);
    }
    EXPECT_EQ(palette_cache_prune(folder.path, 10), 0u);
    // A use makes the oldest the newest.
    ASSERT_TRUE(palette_cache_lookup(folder.path, key(0)));
    palette_cache_store(folder.path, key(10), tuples(10));
    // Eleven are more than ten: down to nine, the two least recently used gone.
    EXPECT_EQ(palette_cache_prune(folder.path, 10), 2u);
    for (int number = 0; number <= 10; ++number) EXPECT_EQ(fs::exists(entry(number)), number != 1 && number != 2) << number;
}

TEST(PaletteCache, APruneRemovesAtMostItsSliceAndTheOldestFirst) {
    TempFolder folder("zelvo-cache");
    const auto entry = [&](int number) { return folder.at(key(number) + "-" + magick_build_tag()); };
    constexpr int stored = 30;
    constexpr std::size_t most = 10, slice = 4;
    for (int number = 0; number < stored; ++number) {
        palette_cache_store(folder.path, key(number), tuples(number));
        set_used(entry(number), 1000000 + number);
    }
    // Storing prunes nothing: that is the prune's own work.
    for (int number = 0; number < stored; ++number) ASSERT_TRUE(fs::exists(entry(number))) << number;
    std::size_t left = stored;
    int runs = 0;
    while (const std::size_t removed = palette_cache_prune(folder.path, most, slice)) {
        ++runs;
        EXPECT_LE(removed, slice);
        left -= removed;
        for (int number = 0; number < stored; ++number)
            EXPECT_EQ(fs::exists(entry(number)), number >= stored - static_cast<int>(left)) << runs << " " << number;
    }
    // Runs of a slice each, until the folder is within the bound.
    EXPECT_LE(left, most);
    EXPECT_GE(left, most - most / 10);
    EXPECT_GT(runs, 1);
}

}  // namespace
}  // namespace zelvo
