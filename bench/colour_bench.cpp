// Measures the colour step (write_color_file) on four generated images,
// through its child process as the daemon runs it and in-process, against
// one straightforward palette attempt in the same process and against the
// equivalent command line of the same ImageMagick; the fork of an empty
// child; and, with the palette cache, a step for an image seen before
// against its first. Prints "row\tname\tvalue\tunit\treference\tratio" lines for
// bench/run.sh, and first "version\tMagickCore's version".

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.h"
#include "colour/colour_child.h"
#include "colour/colour_file.h"
#include "colour/palette.h"
#include "support/magick.h"
#include "process/process.h"

namespace {

constexpr int runs = 5;
constexpr int palette_size = 16;
constexpr int largest_request = 38;

int fail(const std::string& message) { return bench::fail("zelvo_colour_bench", message); }

std::string read_text(const std::string& path) {
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

template <typename Action>
double median_ms(Action action) {
    return 1000 * bench::median_seconds(runs, action);
}

// The requested count (16, 17, ...) of the first straightforward attempt that
// gives exactly sixteen tuples, counted from 1; nothing when none does.
std::optional<int> attempts_needed(const std::string& path) {
    for (int requested = palette_size; requested <= largest_request; ++requested) {
        std::optional<zelvo::HexTuples> tuples = zelvo::extract_palette(path, requested);
        if (tuples && tuples->size() == palette_size) return requested - palette_size + 1;
    }
    return std::nullopt;
}

// Distinct colours of the image after the two halvings the palette search
// starts from; 0 when it cannot be read.
std::size_t quarter_colours(const std::string& path) {
    zelvo::ExceptionPtr exception = zelvo::magick_exception();
    zelvo::ImageInfoPtr info = zelvo::magick_image_info();
    zelvo::magick_set_filename(info.get(), path.c_str());
    zelvo::ImagePtr image = zelvo::magick_read(info.get(), exception.get());
    if (image) image = zelvo::magick_minify(image.get(), exception.get());
    if (image) image = zelvo::magick_minify(image.get(), exception.get());
    return image ? GetNumberColors(image.get(), nullptr, exception.get()) : 0;
}

struct Sample {
    const char* name;
    std::string file;
    std::vector<std::string> make;  // convert's arguments before the output file
    bool deep;
    // What the rows assume of the straightforward search: 1 attempt, never (0), or anything (-1).
    int expected_attempts;
};

// This process's resident set in KiB, from Linux's /proc; 0 where there is none.
long resident_kib() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

void print_row(const std::string& name, double value, double reference) {
    std::printf("row\t%s\t%.3f\tms\t%.3f\t%.2f\n", name.c_str(), value, reference, value / reference);
}

}  // namespace

int main(int, char** argv) {
    zelvo::magick_start(argv[0]);
    // As the daemon runs it.
    zelvo::magick_limit_threads(4);
    std::printf("version\t%s\n", zelvo::magick_version());

    const bench::TempDirectory dir("zelvo-colour-bench");
    if (dir.root.empty()) return fail("cannot make a temporary directory");
    const std::string home = dir.root + "/home";
    std::filesystem::create_directories(home + "/.zelvo");
    const std::string colour_file = home + "/.zelvo/colors";

    std::vector<Sample> samples = {
        {"photo JPEG 3840x2160", dir.root + "/photo.jpg",
         {"-size", "3840x2160", "-seed", "7", "plasma:fractal", "-blur", "0x3", "-quality", "90"}, false, 1},
        // Three flat bands: even after the halvings blend their edges it has
        // fewer than sixteen colours, so the search ends after counting them.
        {"flat PNG 3840x2160, three bands", dir.root + "/bands.png",
         {"-size", "3840x2160", "xc:#1d2b3a", "+antialias", "-fill", "#d9a441", "-draw", "rectangle 0,0 3839,719",
          "-fill", "#5b8c5a", "-draw", "rectangle 0,1440 3839,2159"},
         false, 0},
        // Five flat colours whose many blended edges leave dozens of colours
        // after the halvings: every attempt runs, and none gives sixteen.
        {"flat PNG 3840x2160, five rectangles", dir.root + "/flat.png",
         {"-size", "3840x2160", "xc:#1d2b3a", "+antialias", "-fill", "#d9a441", "-draw", "rectangle 0,1500 3839,2159",
          "-fill", "#5b8c5a", "-draw", "rectangle 400,300 1599,1199", "-fill", "#c0392b", "-draw",
          "rectangle 2200,600 3199,1899", "-fill", "#ecf0f1", "-draw", "rectangle 1800,100 2099,399"},
         false, 0},
        {"16-bit PNG 1920x1080", "PNG48:" + dir.root + "/deep.png",
         {"-size", "1920x1080", "-seed", "11", "plasma:fractal", "-blur", "0x2", "-depth", "16"}, true, -1},
    };
    for (Sample& sample : samples) {
        std::vector<std::string> arguments = {"convert"};
        arguments.insert(arguments.end(), sample.make.begin(), sample.make.end());
        arguments.push_back(sample.file);
        if (!bench::run_program(arguments, "/dev/null")) return fail(std::string("convert cannot make the ") + sample.name);
        if (sample.file.rfind("PNG48:", 0) == 0) sample.file.erase(0, 6);
        if (sample.deep) {
            const std::string depth = dir.root + "/depth.txt";
            if (!bench::run_program({"identify", "-format", "%z", sample.file}, depth) || read_text(depth) != "16")
                return fail(std::string("the ") + sample.name + " is not 16 bits deep: " + read_text(depth));
        }
    }

    // Through the child first, while this process is about as small as the
    // daemon: a fork copies the page tables of the whole process. Like the
    // daemon's start-up, a ping of each image first loads its coder.
    for (const Sample& sample : samples) {
        zelvo::ExceptionPtr exception = zelvo::magick_exception();
        zelvo::ImageInfoPtr info = zelvo::magick_image_info();
        zelvo::magick_set_filename(info.get(), sample.file.c_str());
        if (!zelvo::magick_ping(info.get(), exception.get())) return fail(std::string("cannot ping the ") + sample.name);
    }
    std::vector<double> child_steps;
    std::vector<std::string> child_files;
    for (const Sample& sample : samples) {
        child_steps.push_back(median_ms([&] { zelvo::write_color_file(home, zelvo::colour_step(sample.file, true).palette); }));
        child_files.push_back(read_text(colour_file));
    }
    // The palette cache: a step for an image seen before, against its first
    // step with the cache empty (which hashes the image, finds its colours and
    // keeps them). Both go through the child, as in the daemon.
    const std::string cache = dir.root + "/cache";
    std::vector<std::pair<double, double>> cached_steps;
    for (std::size_t index : {std::size_t{0}, std::size_t{2}}) {
        const Sample& sample = samples[index];
        zelvo::ColourResult first_result, seen_result;
        const double first = median_ms([&] {
            std::filesystem::remove_all(cache);
            std::filesystem::create_directory(cache);
            first_result = zelvo::colour_step(sample.file, true, cache);
        });
        const double seen = median_ms([&] { seen_result = zelvo::colour_step(sample.file, true, cache); });
        zelvo::write_palette(colour_file, seen_result.palette);
        if (first_result.palette != seen_result.palette || read_text(colour_file) != child_files[index])
            return fail(std::string("the cache gave another palette for the ") + sample.name);
        cached_steps.emplace_back(seen, first);
    }
    const long resident = resident_kib();
    const double fork_only = 1000 * bench::median_seconds(50, [] {
        const pid_t child = zelvo::fork_child();
        if (child == 0) _exit(0);
        int status = 0;
        waitpid(child, &status, 0);
    });
    std::printf("row\tfork and end of an empty child, median of 50\t%.3f\tms\t-\t-\n", fork_only);

    std::printf("note\twrite_color_file (dark; magick_limit_threads(4), MagickCore allows %lu) through its child "
                "and in-process against one extract_palette(path, 16) and `%s IMG -resize 25%% -colors 16 "
                "-unique-colors txt:-`; medians of %d runs after a warm-up; the empty child forked at %.1f MiB "
                "resident\n",
                zelvo::magick_thread_limit(), std::filesystem::path(ZELVO_MAGICK_CONVERT).filename().c_str(), runs,
                static_cast<double>(resident) / 1024);
    for (std::size_t index = 0; index < samples.size(); ++index) {
        const Sample& sample = samples[index];
        std::optional<int> attempts = attempts_needed(sample.file);
        const std::string outcome = attempts ? "needs " + std::to_string(*attempts) + " attempt(s)"
                                             : "never gives sixteen (" +
                                                   std::to_string(largest_request - palette_size + 1) + " attempts)";
        std::printf("note\t%s: the straightforward search %s; %zu distinct colours after two halvings\n", sample.name,
                    outcome.c_str(), quarter_colours(sample.file));
        if (sample.expected_attempts >= 0 && attempts.value_or(0) != sample.expected_attempts)
            return fail(std::string("the ") + sample.name + " is not the image its rows assume");

        double step = median_ms([&] { zelvo::write_color_file(home, zelvo::image_palette(sample.file, true).value_or(zelvo::default_palette())); });
        // The default palette's c1 is pure #CD0000; the image's palette is used exactly when a search succeeds.
        const std::string written = read_text(colour_file);
        const bool defaulted = written.find("#define c1 #CD0000\n") != std::string::npos;
        if (std::count(written.begin(), written.end(), '\n') != palette_size)
            return fail(std::string("the colour file for the ") + sample.name + " has not sixteen lines");
        if (defaulted == attempts.has_value())
            return fail(std::string("the colour file for the ") + sample.name +
                        (defaulted ? " holds the default palette" : " is not the default palette"));

        bool attempted = true;
        double one = median_ms([&] { attempted = attempted && zelvo::extract_palette(sample.file, 16).has_value(); });
        if (!attempted) return fail(std::string("extract_palette cannot read the ") + sample.name);

        bool piped = true;
        double pipeline = median_ms([&] {
            piped = piped && bench::run_program({ZELVO_MAGICK_CONVERT, sample.file, "-resize", "25%", "-colors", "16", "-unique-colors",
                                          "txt:-"},
                                         "/dev/null");
        });
        if (!piped) return fail(std::string("the convert pipeline failed on the ") + sample.name);

        if (written != child_files[index])
            return fail(std::string("the child wrote another colour file for the ") + sample.name);

        print_row(std::string("colour step through its child, ") + sample.name + ", vs one attempt",
                  child_steps[index], one);
        print_row(std::string("colour step in-process, ") + sample.name + ", vs one attempt", step, one);
        print_row(std::string("colour step through its child, ") + sample.name + ", vs convert pipeline",
                  child_steps[index], pipeline);
    }
    for (std::size_t at = 0; at < cached_steps.size(); ++at)
        std::printf("row\tcolour step through its child with cache = true, %s, seen before vs the first time\t%.3f\tms\t%.3f\t%.4f\n",
                    samples[at * 2].name, cached_steps[at].first, cached_steps[at].second,
                    cached_steps[at].first / cached_steps[at].second);
    zelvo::magick_stop();
    return 0;
}
