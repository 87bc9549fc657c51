// Measures source expansion over a generated tree of small images, against
// the same process's directory-walk floor and against one `identify -ping`.
// Prints "row\tname\tvalue\tunit\treference\tratio" lines for bench/run.sh.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "bench_support.h"
#include "images/expand.h"
#include "support/magick.h"

namespace {

// 10 x 10 x 10 leaf directories of 10 images each: 10,000 image files.
constexpr int fan_out = 10;
constexpr int image_files = fan_out * fan_out * fan_out * fan_out;
// Each list file names one middle directory, so its 100 images appear again.
constexpr int list_files = 4;
constexpr int repeated_images = list_files * fan_out * fan_out;
constexpr int runs = 5;

int fail(const std::string& message) { return bench::fail("zelvo_expand_bench", message); }

std::string middle_directory(const std::string& root, int index) {
    return root + "/a" + std::to_string(index) + "/b" + std::to_string(index);
}

struct Sample {
    const char* source;
    const char* size;
    const char* format;
    const char* extension;
    std::string bytes;
};

// Encodes one small generated image with convert (zelvo's own MagickCore
// reads wallpapers only); the tree copies these bytes.
std::string encode(const Sample& sample, const std::string& directory) {
    const std::string path = directory + "/sample" + sample.extension;
    if (!bench::run_program({"convert", "-size", sample.size, sample.source, std::string(sample.format) + ":" + path},
                            "/dev/null"))
        return {};
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

// root/aA/bB/cC/imageN.{png,jpg}, A, B and C being N's leading digits in base
// fan_out, plus root/lists/again-K, which names root/aK/bK.
bool make_tree(const std::string& root, const std::vector<Sample>& samples) {
    for (int index = 0; index < image_files; ++index) {
        std::string leaf = root + "/a" + std::to_string(index / (fan_out * fan_out * fan_out)) + "/b" +
                           std::to_string(index / (fan_out * fan_out) % fan_out) + "/c" +
                           std::to_string(index / fan_out % fan_out);
        if (index % fan_out == 0) std::filesystem::create_directories(leaf);
        const Sample& sample = samples[static_cast<std::size_t>(index) % samples.size()];
        if (!write_file(leaf + "/image" + std::to_string(index) + sample.extension, sample.bytes)) return false;
    }
    std::filesystem::create_directories(root + "/lists");
    for (int k = 0; k < list_files; ++k)
        if (!write_file(root + "/lists/again-" + std::to_string(k),
                        "default = [ \"" + middle_directory(root, k) + "\" ];\n"))
            return false;
    return true;
}

// What expansion cannot avoid: opendir, readdir, realpath of every entry and
// the opendir that tells a directory, recursing; gives the non-directories.
std::size_t walk_floor(const std::string& directory) {
    std::size_t files = 0;
    DIR* stream = opendir(directory.c_str());
    if (stream == nullptr) return 0;
    while (const dirent* entry = readdir(stream)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        char* resolved = realpath((directory + "/" + name).c_str(), nullptr);
        if (resolved == nullptr) continue;
        if (DIR* inner = opendir(resolved)) {
            closedir(inner);
            files += walk_floor(resolved);
        } else {
            ++files;
        }
        std::free(resolved);
    }
    closedir(stream);
    return files;
}

template <typename Action>
double median_seconds(Action action) {
    return bench::median_seconds(runs, action);
}

// One identify process over all files, its output to a file; its line count,
// or -1. The files go on its command line: Debian's ImageMagick policy forbids
// reading file names from an @listfile, and a user policy cannot lift that.
long run_identify(const std::vector<std::string>& files, const std::string& output) {
    std::vector<std::string> arguments = {"identify", "-ping", "-format", "%w\n"};
    arguments.insert(arguments.end(), files.begin(), files.end());
    if (!bench::run_program(std::move(arguments), output)) return -1;
    std::ifstream lines(output);
    long count = 0;
    for (std::string line; std::getline(lines, line);) count += !line.empty();
    return count;
}

// The hostile list files of one run: 400,000 copies of one image in one
// list, a chain of 50,000 list files each naming the next, and seven list
// files each naming the next twenty times, whose last names twenty long URLs.
// Each list also names the image itself, so that expansion always finds one.
struct HostileLists {
    std::string copies;
    std::string chain;
    std::string fan;
};

constexpr int copies = 400000;
constexpr int chain_length = 50000;
constexpr int fan_levels = 7;
constexpr int fan_width = 20;

std::string list_text(const std::vector<std::string>& sources) {
    std::string text = "default = (";
    for (std::size_t index = 0; index < sources.size(); ++index)
        text += (index ? ",\n\"" : "\n\"") + sources[index] + "\"";
    return text + "\n);\n";
}

bool make_hostile_lists(const std::string& root, const std::string& image, HostileLists& lists) {
    std::filesystem::create_directories(root + "/chain");
    std::filesystem::create_directories(root + "/fan");
    lists = {root + "/copies.list", root + "/chain/0", root + "/fan/0"};
    if (!write_file(lists.copies, list_text(std::vector<std::string>(copies, image)))) return false;
    for (int level = 0; level < chain_length; ++level) {
        const std::string next = level + 1 < chain_length ? root + "/chain/" + std::to_string(level + 1) : image;
        if (!write_file(root + "/chain/" + std::to_string(level), list_text({next}))) return false;
    }
    for (int level = 0; level < fan_levels; ++level) {
        std::vector<std::string> sources;
        for (int index = 0; index < fan_width; ++index)
            sources.push_back(level + 1 < fan_levels ? root + "/fan/" + std::to_string(level + 1)
                                                     : "http://www.example.com/" + std::string(200, 'x') + "/" +
                                                           std::to_string(index) + ".jpg");
        if (!write_file(root + "/fan/" + std::to_string(level), list_text(sources))) return false;
    }
    return true;
}

// Seconds of one expansion of the list and the image, and its entry count.
double expand_once(const std::string& list, const std::string& image, std::size_t& count) {
    zelvo::StringList sources = zelvo::StringList::placeholder();
    zelvo::string_list_append(zelvo::string_list_append(sources.first(), list), image);
    const auto start = std::chrono::steady_clock::now();
    zelvo::StringList result = zelvo::expand_sources(sources.first());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    count = 0;
    for (const zelvo::StringNode* node = result.first(); node != nullptr && node->value; node = node->link) ++count;
    return seconds;
}

void print_row(const char* name, double value, double reference) {
    if (reference > 0)
        std::printf("row\t%s\t%.2f\tµs/image\t%.2f\t%.2f\n", name, value, reference, value / reference);
    else
        std::printf("row\t%s\t%.2f\tµs/image\t-\t-\n", name, value);
}

}  // namespace

int main(int, char** argv) {
    zelvo::magick_start(argv[0]);
    zelvo::magick_limit_threads(1);

    const bench::TempDirectory tree("zelvo-expand-bench");
    if (tree.root.empty()) return fail("cannot make a temporary directory");
    const std::string root = tree.root + "/tree";

    std::vector<Sample> samples = {{"gradient:red-blue", "64x48", "PNG", ".png", {}},
                                   {"gradient:navy-orange", "80x60", "JPEG", ".jpg", {}},
                                   {"plasma:fractal", "48x48", "JPEG", ".jpg", {}},
                                   {"xc:teal", "32x32", "PNG", ".png", {}}};
    for (Sample& sample : samples)
        if ((sample.bytes = encode(sample, tree.root)).empty()) return fail(std::string("cannot encode ") + sample.source);
    if (!make_tree(root, samples)) return fail("cannot write the tree");

    zelvo::StringList sources = zelvo::StringList::placeholder();
    zelvo::string_list_append(sources.first(), root);
    std::vector<std::string> entries;
    double expansion = median_seconds([&] {
        zelvo::StringList result = zelvo::expand_sources(sources.first());
        entries.clear();
        for (const zelvo::StringNode* node = result.first(); node != nullptr && node->value; node = node->link)
            entries.push_back(*node->value);
    });
    const std::size_t expected = image_files + repeated_images;
    if (entries.size() != expected)
        return fail("expansion gave " + std::to_string(entries.size()) + " entries for " + std::to_string(expected));

    std::size_t walked = 0;
    double floor = median_seconds([&] {
        walked = walk_floor(root);
        for (int k = 0; k < list_files; ++k) walked += walk_floor(middle_directory(root, k));
    });
    if (walked != expected + list_files) return fail("the floor walk found " + std::to_string(walked) + " files");

    long identified = 0;
    double identify = median_seconds([&] { identified = run_identify(entries, tree.root + "/identify.out"); });
    if (identified != static_cast<long>(expected))
        return fail("identify -ping printed " + std::to_string(identified) + " widths for " + std::to_string(expected));

    const double per_image = 1e6 / static_cast<double>(expected);
    std::printf("note\t%d image files (PNG and JPEG) + %d seen again through %d list files = %zu entries, "
                "as expansion returned; identify -ping printed %ld widths; medians of %d runs after a warm-up\n",
                image_files, repeated_images, list_files, expected, identified, runs);
    print_row("expand_sources, in process (ref: identify -ping)", expansion * per_image, identify * per_image);
    print_row("expand_sources, in process (ref: walk floor)", expansion * per_image, floor * per_image);
    print_row("walk floor: opendir+readdir+realpath", floor * per_image, 0);
    print_row("identify -ping, one process over all files", identify * per_image, 0);

    // Once each: these are about bounds, not microseconds, and the chain's
    // 10,000 list files are each pinged before they are read.
    HostileLists lists;
    const std::string image = root + "/a0/b0/c0/image0.png";
    if (!make_hostile_lists(tree.root + "/hostile", image, lists)) return fail("cannot write the hostile lists");
    const struct {
        const char* name;
        const std::string& list;
    } hostile[] = {{"400,000 copies of one image in a list file", lists.copies},
                   {"a chain of 50,000 list files", lists.chain},
                   {"7 list files naming the next 20 times", lists.fan}};
    for (const auto& [name, list] : hostile) {
        std::size_t count = 0;
        const double seconds = expand_once(list, image, count);
        std::printf("row\texpand_sources: %s (%zu entries)\t%.2f\ts\t-\t-\n", name, count, seconds);
    }
    return 0;
}
