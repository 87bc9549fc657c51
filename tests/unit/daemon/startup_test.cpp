#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>

#include "daemon/startup.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;

TEST(FindProgram, TakesTheFirstExecutableOnTheSearchList) {
    std::string pattern = testing::TempDir() + "zelvo-path-XXXXXX";
    const std::string top = mkdtemp(pattern.data());
    // a/feh is there but not executable; b has feh and c has xrdb.
    for (const char* name : {"a/feh", "b/feh", "c/xrdb"}) {
        fs::create_directories(fs::path(top + "/" + name).parent_path());
        std::ofstream(top + "/" + name) << "#!/bin/sh\n";
        fs::permissions(top + "/" + name, name[0] == 'a' ? fs::perms::owner_read | fs::perms::owner_write
                                                         : fs::perms::owner_all);
    }
    const std::string a = top + "/a", b = top + "/b", c = top + "/c", abc = a + ":" + b + ":" + c;
    struct Case {
        std::optional<std::string> search_list;
        const char* suffix;
        std::string found;
    } cases[] = {
        {abc, "/feh", b + "/feh"},
        {abc, "/xrdb", c + "/xrdb"},
        {"::" + b + ":", "/feh", b + "/feh"},
        {"::" + b + ":", "/xrdb", "fallback"},
        {a, "/feh", "fallback"},
        {a + ":" + c, "/feh", "fallback"},
        {"", "/feh", "fallback"},
        {std::nullopt, "/feh", "fallback"},
    };
    for (const Case& row : cases) {
        const char* list = row.search_list ? row.search_list->c_str() : nullptr;
        EXPECT_EQ(find_program(list, row.suffix, "fallback"), row.found)
            << row.search_list.value_or("(unset)") << " " << row.suffix;
    }
    fs::remove_all(top);
}

TEST(OptionNumber, ReadsLikeAtoiWithinTheRangeOfInt) {
    const std::pair<const char*, int> cases[] = {
        {"5", 5}, {"-3", -3}, {"+4", 4}, {" 7", 7}, {"12min", 12}, {"abc", 0}, {"", 0},
        {"2147483647", INT_MAX}, {"2147483648", INT_MAX}, {"-2147483649", INT_MIN},
        {"99999999999999999999999", INT_MAX}, {"-99999999999999999999999", INT_MIN},
    };
    for (const auto& [text, number] : cases) EXPECT_EQ(option_number(text), number) << text;
}

}  // namespace
}  // namespace zelvo
