#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "images/expand.h"
#include "support/magick.h"
#include "support/url.h"

namespace zelvo {
namespace {

namespace fs = std::filesystem;
using Texts = std::vector<std::string>;

StringList list_of(const Texts& texts) {
    StringList list = StringList::placeholder();
    StringNode* tail = list.first();
    for (const std::string& text : texts) tail = string_list_append(tail, text);
    return list;
}

// The values of a linear list; a placeholder gives none.
Texts values(const StringNode* node) {
    Texts texts;
    for (; node != nullptr && texts.size() < 100; node = node->link)
        if (node->value) texts.push_back(*node->value);
    return texts;
}

Texts sorted(Texts texts) {
    std::sort(texts.begin(), texts.end());
    return texts;
}

// The directory's names in the order its stream gives them, "." and ".." left out.
Texts readdir_order(const std::string& directory) {
    Texts names;
    std::unique_ptr<DIR, int (*)(DIR*)> stream(opendir(directory.c_str()), closedir);
    while (const dirent* entry = stream ? readdir(stream.get()) : nullptr)
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..") names.push_back(entry->d_name);
    return names;
}

// Each test works in a fresh directory of its own, which is also the working
// directory, holding the real images a.png and b.jpg.
class Expansion : public ::testing::Test {
protected:
    static void SetUpTestSuite() { magick_start("zelvo_unit_tests"); }
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "zelvo-expand-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = fs::canonical(pattern).string();
        saved_ = fs::current_path();
        fs::current_path(root_);
        ASSERT_TRUE(image("a.png") && image("b.jpg"));
    }
    void TearDown() override {
        fs::current_path(saved_);
        fs::remove_all(root_);
    }
    std::string at(const std::string& name) const { return root_ + "/" + name; }
    std::string file(const std::string& name, const std::string& text) const {
        fs::create_directories(fs::path(at(name)).parent_path());
        std::ofstream(at(name)) << text;
        return at(name);
    }
    // A small real image, in the format that the name's extension chooses,
    // made by convert: zelvo's own MagickCore reads wallpapers only.
    bool image(const std::string& name) const {
        fs::create_directories(fs::path(at(name)).parent_path());
        return std::system(("convert -size 4x4 xc:teal -depth 8 '" + at(name) + "'").c_str()) == 0;
    }
    Texts expand(const Texts& sources) const { return values(expand_sources(list_of(sources).first()).first()); }

    std::string root_;
    fs::path saved_;
};

// The usual wallpaper formats stay images under the program's own policy, and a
// relative name means the file of that name: never standard input, a pipe or a
// descriptor, as MagickCore reads "-", "|command" and "fd:N".
TEST_F(Expansion, PingsRasterFormatsAndTakesEveryNameForAFile) {
    for (const char* name : {"c.gif", "d.webp", "e.tiff", "f.bmp", "g.ppm"}) {
        ASSERT_TRUE(image(name)) << name;
        EXPECT_EQ(classify_source(name), SOURCE_IMAGE) << name;
    }
    for (const char* name : {"-", "|touch piped", "fd:0"}) {
        fs::copy_file("a.png", name);
        EXPECT_EQ(classify_source(name), SOURCE_IMAGE) << name;
    }
    EXPECT_FALSE(fs::exists("piped"));
}

// A path that exists is classified by the file system and MagickCore even when it reads as a URL.
TEST_F(Expansion, ClassifiesByFileSystemThenUrlThenPing) {
    fs::create_directories("http:/www.example.com");
    file("ftp:/ab", "neither { an image nor a list");
    const std::vector<std::pair<const char*, SourceKind>> cases = {
        {nullptr, SOURCE_SKIPPED}, {"", SOURCE_SKIPPED}, {"a.png", SOURCE_IMAGE}, {"b.jpg", SOURCE_IMAGE},
        {".", SOURCE_DIRECTORY}, {"http://www.example.com", SOURCE_DIRECTORY}, {"ftp://ab", SOURCE_LIST_FILE},
        {"missing.png", SOURCE_SKIPPED}, {"hTTpS://Example.org/missing.png", SOURCE_IMAGE}};
    for (auto [source, kind] : cases) EXPECT_EQ(classify_source(source), kind) << (source ? source : "none");
    EXPECT_EQ(ping_image(at("b.jpg").c_str()), SOURCE_IMAGE);
    EXPECT_EQ(ping_image("ftp://ab"), SOURCE_LIST_FILE);
}

// The extended form must accept exactly what the classic basic pattern
// accepts, whoever asks: the expansion, the viewers' plans and the colour step.
TEST(SourceIsUrl, AcceptsWhatTheBasicPatternAccepts) {
    regex_t basic;
    ASSERT_EQ(regcomp(&basic, R"(^\(http\|https\|ftp\):\/\/\(www\.\)\?[a-z0-9A-z\.:]\{2,256\})", REG_ICASE), 0);
    Texts texts = {"HTTP://WWW.EXAMPLE.COM", "fTp://ab", "http://www.", "http://www.a", "http://a", "http:/ab",
                   "gopher://ab", " http://ab", "httpx://ab", "ftps://ab", "https://", "http://" + Texts::value_type(300, 'x'),
                   // A scheme alone once passed for a URL with the colour step.
                   "FTP://a", "http:// example.org", "https://%41b.org", "ftp://-ab", "HTTPS://"};
    for (char c = ' '; c < 127; ++c) texts.push_back(std::string("http://") + c + c);
    for (const std::string& text : texts)
        EXPECT_EQ(is_url(text), regexec(&basic, text.c_str(), 0, nullptr, 0) == 0) << text;
    regfree(&basic);
}

TEST_F(Expansion, OpendirFailuresOtherThanMissingAreSkipped) {
    fs::create_symlink("loop_b", "loop_a");
    fs::create_symlink("loop_a", "loop_b");
    for (auto [path, error] : std::vector<std::pair<std::string, int>>{{"loop_a", ELOOP}, {at(std::string(PATH_MAX, 'h')), ENAMETOOLONG}}) {
        errno = 0;
        EXPECT_TRUE(opendir(path.c_str()) == nullptr && errno == error) << error;
        EXPECT_EQ(classify_source(path.c_str()), SOURCE_SKIPPED) << error;
    }
    // Root reads any directory, so an ordinary user tries the unreadable one.
    ASSERT_TRUE(image("locked/x.png"));
    ASSERT_EQ(chmod("locked", 0) | chmod(root_.c_str(), 0755), 0);
    pid_t child = fork();
    if (child == 0) {
        if (getuid() == 0 && setuid(65534) != 0) _exit(10);
        if (opendir(at("locked").c_str()) != nullptr || errno != EACCES) _exit(11);
        _exit(classify_source(at("locked").c_str()) == SOURCE_SKIPPED && expand({at("locked")}).empty() ? 0 : 12);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(Expansion, ListsDirectoryEntriesResolvedInStreamOrder) {
    std::string d = at("d");
    ASSERT_TRUE(image("d/x.png") && image("d/.dot.png"));
    file("d/notes", "text");
    fs::create_directories("d/sub");
    fs::create_symlink(at("nowhere"), "d/dangling");
    fs::create_symlink("../a.png", "d/to_a");
    Texts expected;
    for (const std::string& name : readdir_order(d))
        if (name != "dangling") expected.push_back(name == "to_a" ? at("a.png") : d + "/" + name);
    EXPECT_EQ(values(list_directory(d.c_str()).first()), expected);
    EXPECT_EQ(list_directory("d/sub").first(), nullptr);
    EXPECT_EQ(list_directory("missing").first(), nullptr);
    EXPECT_EQ(join_and_resolve("x.png", "d/"), d + "/x.png");
    EXPECT_EQ(join_and_resolve("..", "d"), root_);
    EXPECT_EQ(join_and_resolve("dangling", "d"), std::nullopt);
}

TEST_F(Expansion, ReadsListFiles) {
    const std::vector<std::pair<std::string, std::optional<Texts>>> cases = {
        {"default = [\"a\", \"b\"];", Texts{"a", "b"}},
        {"list = \"groups.mine\"; groups = { mine = (\"x\", 7, \"y\"); }; default = [\"no\"];", Texts{"x", "y"}},
        {"list = 5; default = [\"a\"];", Texts{"a"}}, {"default = [];", Texts{}}, {"default = \"scalar\";", Texts{}},
        {"list = \"nope\"; default = [\"a\"];", std::nullopt}, {"other = [\"a\"];", std::nullopt},
        {"not { libconfig", std::nullopt}, {std::string("default = [\"a\"]; #\0", 19), std::nullopt},
        {"default = [\"a\", \"" + std::string(most_source_bytes + 1, 'x') + "\"];", std::nullopt},
        {"default = [\"" + std::string(most_source_bytes, 'x') + "\"];", Texts{std::string(most_source_bytes, 'x')}}};
    for (const auto& [text, expected] : cases) {
        std::optional<StringList> read = read_list_file(file("sources", text).c_str());
        ASSERT_EQ(read.has_value(), expected.has_value()) << text;
        EXPECT_TRUE(!read || (read->first() != nullptr && values(read->first()) == *expected)) << text;
    }
    EXPECT_FALSE(read_list_file("missing").has_value());
}

// Depth first: each source where it stands, a directory in stream order, a list file in element order.
TEST_F(Expansion, CollectsDepthFirstInSourceOrder) {
    ASSERT_TRUE(image("d/x.png") && image("d/y.jpg"));
    file("notes", "plain text, not a list");
    file("more", "default = (\"FTP://www.Example.com/m.jpg\", \"d/x.png\", \"gone.png\", 3, \"notes\");");
    Texts expected = {"a.png"};
    for (const std::string& name : readdir_order(at("d"))) expected.push_back(at("d/" + name));
    for (int twice = 0; twice < 2; ++twice) expected.insert(expected.end(), {"FTP://www.Example.com/m.jpg", "d/x.png"});
    expected.push_back("b.jpg");
    EXPECT_EQ(expand({"", "a.png", "d", "missing", "more", "more", "b.jpg"}), expected);
    EXPECT_EQ(expand({}), Texts{});
    EXPECT_EQ(expand_sources(list_of({""}).first()).first(), nullptr);
    EXPECT_EQ(expand({"nowhere", "notes", "sub"}), Texts{});
}

TEST_F(Expansion, CyclesAreNotEnteredAgain) {
    ASSERT_TRUE(image("loop/i.png") && image("p/c/c.png") && image("p/p.png") && image("s/s.png"));
    fs::create_symlink(".", "loop/self");
    fs::create_symlink("..", "p/c/up");
    fs::create_symlink("../../s", "p/c/side");
    EXPECT_EQ(expand({"loop"}), Texts{at("loop/i.png")});
    for (const char* start : {"p", "p/c"})
        EXPECT_EQ(sorted(expand({start})), sorted({at("p/c/c.png"), at("p/p.png"), at("s/s.png")})) << start;
    file("self", "default = [\"self\", \"a.png\"];");
    file("one", "default = [\"two\", \"a.png\"];");
    file("two", "default = [\"one\", \"b.jpg\"];");
    EXPECT_EQ(expand({"self"}), Texts{"a.png"});
    EXPECT_EQ(expand({"one", "two"}), (Texts{"b.jpg", "a.png", "a.png", "b.jpg"}));
}

}  // namespace
}  // namespace zelvo
