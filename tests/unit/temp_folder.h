#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace zelvo {

// A private folder of the test's own, removed with everything in it.
struct TempFolder {
    std::string path;
    explicit TempFolder(const std::string& name) {
        std::string pattern = testing::TempDir() + name + "-XXXXXX";
        path = mkdtemp(pattern.data());
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() { std::filesystem::remove_all(path); }
    std::string at(const std::string& name) const { return path + "/" + name; }
};

inline std::string read_file(const std::string& path) {
    return std::string(std::istreambuf_iterator<char>(std::ifstream(path).rdbuf()), {});
}

}  // namespace zelvo
