#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "colour/colour_child.h"
#include "colour/colour_file.h"
#include "support/magick.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;

const char default_file[] =
    "#define c0 #000000\n#define c1 #CD0000\n#define c2 #00CD00\n#define c3 #CDCD00\n"
    "#define c4 #0000CD\n#define c5 #CD00CD\n#define c6 #00CDCD\n#define c7 #e5e5e5\n"
    "#define c8 #7f7f7f\n#define c9 #FF0000\n#define c10 #00FF00\n#define c11 #FFFF00\n"
    "#define c12 #ADD8E6\n#define c13 #FF00FF\n#define c14 #00FFFF\n#define c15 #FFFFFF\n";

// A private HOME with its .zelvo directory, removed afterwards.
class ColourFile : public ::testing::Test {
protected:
    static void SetUpTestSuite() { magick_start("zelvo_unit_tests"); }
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zelvo-colours-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        fs::create_directory(home_ + "/.zelvo");
        path_ = home_ + "/.zelvo/colors";
    }
    void TearDown() override { fs::remove_all(home_); }
    std::string contents() const {
        std::ostringstream text;
        text << std::ifstream(path_).rdbuf();
        return text.str();
    }
    // The entry of each line, after checking the line's exact form and length.
    std::vector<std::string> entries() const {
        std::vector<std::string> found;
        std::istringstream lines(contents());
        for (std::string line; std::getline(lines, line);) {
            const std::string name = "#define c" + std::to_string(found.size()) + " ";
            EXPECT_EQ(line.size() + 1, found.size() < 10 ? 19u : 20u) << line;
            EXPECT_EQ(line.rfind(name, 0), 0u) << line;
            found.push_back(line.substr(name.size()));
        }
        EXPECT_EQ(found.size(), 16u);
        return found;
    }
    std::string home_;
    std::string path_;
};

TEST_F(ColourFile, DarkShapingMixesTheForegroundsWithLightGrey) {
    HexTuples tuples = {"#010203", "#A0B0C0", "#ABCDEF", "#123456", "#0f0f0f", "#FEDCBA", "#00ff00", "#808080",
                        "#999999", "#FFFFFF", "#101112", "#202122", "#303132", "#404142", "#505152", "#FFFFFF"};
    // A longer tuple (more digits or an alpha channel) is cut to its first seven characters.
    tuples[1] = "#A0B0C0D0";
    write_color_file(home_, shape_palette(tuples, true));
    std::vector<std::string> expected(tuples.begin(), tuples.end());
    expected[1] = "#A0B0C0";
    expected[7] = "#b7b7b7";
    expected[8] = "#808080";
    expected[15] = "#f6f6f6";
    EXPECT_EQ(entries(), expected);
}

TEST_F(ColourFile, LightShapingHalvesSaturationAroundTheFirstColour) {
    HexTuples tuples(16, "#FF0000");
    tuples[0] = "#1A2B3C";
    tuples[3] = "#00cdcd";
    tuples[12] = "#808080";
    write_color_file(home_, shape_palette(tuples, false));
    std::vector<std::string> expected(16, "#bf3f3f");
    expected[0] = "#dcdfe1";
    expected[3] = "#339999";
    expected[12] = "#bf4040";
    expected[7] = expected[15] = "#1A2B3C";
    expected[8] = "#0f1924";
    EXPECT_EQ(entries(), expected);
}

TEST_F(ColourFile, NoPaletteGivesTheDefaultFileOverAnyOldOne) {
    const std::string solid = home_ + "/solid.png";
    ASSERT_EQ(std::system(("convert -size 64x64 xc:teal '" + solid + "'").c_str()), 0);
    for (const std::string& image : {solid, home_ + "/missing.png"}) {
        for (bool dark : {true, false}) {
            std::ofstream(path_) << std::string(1000, 'x') << "\n";
            write_color_file(home_, colour_step(image, dark).palette);
            EXPECT_EQ(contents(), default_file) << image << " dark " << dark;
            entries();
        }
    }
}

// OpenMP keeps its threads for the thread that started them. Once the
// daemon's thread has had a team of two, a child forked from it that starts a
// team on that same thread waits for ever for threads that did not come along.
TEST_F(ColourFile, ChildGivesThePaletteAfterOpenMpRanInTheDaemon) {
    const std::string image = home_ + "/plasma.png";
    ASSERT_EQ(std::system(("convert -size 1024x1024 -seed 5 plasma:fractal '" + image + "'").c_str()), 0);
    const MagickThreadLimit daemon(4);
    ASSERT_GE(magick_thread_limit(), 2u) << "OpenMP needs two processors to start a team";
    write_color_file(home_, image_palette(image, true).value_or(default_palette()));
    const std::string in_process = contents();
    ASSERT_NE(in_process, default_file);

    using Parallel = void (*)(void (*)(void*), void*, unsigned, unsigned);
    const auto parallel = reinterpret_cast<Parallel>(dlsym(RTLD_DEFAULT, "GOMP_parallel"));
    ASSERT_NE(parallel, nullptr) << "MagickCore brought no libgomp";
    parallel([](void*) {}, nullptr, 2, 0);
    const auto began = std::chrono::steady_clock::now();
    write_color_file(home_, colour_step(image, true).palette);
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10));
    EXPECT_EQ(contents(), in_process);
}

TEST_F(ColourFile, FileThatCannotBeWrittenIsReportedInOneLine) {
    const std::pair<std::string, std::string> cases[] = {
        {home_ + "/none/colors", "No such file or directory"},
        {"/dev/full", "not a regular file"},
    };
    for (const auto& [path, reason] : cases) {
        testing::internal::CaptureStderr();
        write_default_colors(path);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Zelvo could not write the colour file " + path + ": " + reason + "\r\n");
    }
    // Without its directory, the colour file of a HOME cannot be written either; the call returns.
    fs::remove(home_ + "/.zelvo");
    testing::internal::CaptureStderr();
    write_color_file(home_, default_palette());
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Zelvo could not write the colour file " + path_),
              std::string::npos);
}

}  // namespace
}  // namespace zelvo
