// Measures what the templates cost a change: render_templates on a folder of
// 30 templates of 2 KiB each, every line with a placeholder or two, written
// to their outputs as the daemon writes them (a temporary file, renamed over
// the output), with the palette of every change another than the one
// before. Against the target of 2 ms, and against what the file system alone
// costs for as many files: each created, written and renamed over the last,
// with nothing read or rendered. Prints "row\tname\tvalue\tunit\treference\t
// ratio" lines for bench/run.sh.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <variant>
#include <vector>

#include "bench_support.h"
#include "colour/colour_file.h"
#include "colour/templates.h"

namespace {

constexpr int templates = 30;
constexpr std::size_t template_bytes = 2048;
constexpr int runs = 101;
constexpr double target_ms = 2.0;

int fail(const std::string& message) { return bench::fail("zelvo_template_bench", message); }

// A template of about `bytes` bytes in the style of a terminal's colour file.
std::string template_text(int number, std::size_t bytes) {
    std::string text = "# colours of template " + std::to_string(number) + " {{generated}}\n";
    for (int line = 0; text.size() < bytes; ++line) {
        const std::string entry = std::to_string(line % 16);
        switch (line % 4) {
        case 0: text += "color" + entry + "  {color" + entry + "}\n"; break;
        case 1: text += "selection_" + std::to_string(line) + " #{color" + entry + ".lighten(20)}\n"; break;
        case 2: text += "rgba_" + std::to_string(line) + " {color" + entry + ".rgba}\n"; break;
        default: text += "background {background} foreground {foreground.strip} wallpaper {wallpaper}\n"; break;
        }
    }
    return text;
}

// Two palettes that differ in every entry, for changes in turn.
std::vector<zelvo::Palette> palettes() {
    zelvo::Palette other = zelvo::default_palette();
    for (std::string& entry : other) entry = "#1a2b3c";
    return {zelvo::default_palette(), other};
}

// render_templates from `folder` into `output`, a change after another; in ms.
double render_ms(const std::string& folder, const std::string& output) {
    const std::vector<zelvo::Palette> both = palettes();
    int change = 0;
    return 1000 * bench::median_seconds(runs, [&] {
        zelvo::render_templates(folder, output, zelvo::TemplateValues{both[change++ % 2], "/home/user/sea.jpg", 90});
    });
}

// What the file system costs for the outputs alone: each file created under
// a temporary name, written and renamed over the last; in ms.
double files_ms(const std::string& output, std::size_t bytes) {
    std::filesystem::create_directories(output);
    std::string content(bytes, 'x');
    int change = 0;
    return 1000 * bench::median_seconds(runs, [&] {
        content[0] = static_cast<char>('a' + change++ % 2);
        for (int number = 0; number < templates; ++number) {
            const std::string name = output + "/out-" + std::to_string(number);
            const int file = open((name + ".tmp").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (file < 0) continue;
            if (write(file, content.data(), content.size()) < 0) std::perror("write");
            close(file);
            std::rename((name + ".tmp").c_str(), name.c_str());
        }
    });
}

}  // namespace

int main() {
    const bench::TempDirectory dir("zelvo-template-bench");
    if (dir.root.empty()) return fail("cannot make a temporary directory");
    const std::string folder = dir.root + "/templates";
    std::filesystem::create_directories(folder);
    std::vector<std::string> texts;
    std::size_t total = 0;
    for (int number = 0; number < templates; ++number) {
        texts.push_back(template_text(number, template_bytes));
        total += texts.back().size();
        std::ofstream(folder + "/colors-" + std::to_string(number) + ".conf") << texts.back();
    }
    const std::size_t average = total / templates;
    // A fault would be a line on standard error, and an output missing.
    zelvo::render_templates(folder, dir.root + "/check", zelvo::TemplateValues{palettes()[0], "/sea.jpg", 90});
    std::size_t rendered = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.root + "/check")) rendered += entry.is_regular_file();
    if (rendered != templates) return fail("not every template was rendered");

    const std::string name = std::to_string(templates) + " templates of " + std::to_string(average) + " bytes";
    const double disk = render_ms(folder, dir.root + "/outputs");
    const double disk_files = files_ms(dir.root + "/files", average);
    std::printf("row\trender_templates, %s, outputs in TMPDIR, vs creating and renaming as many files there\t%.3f\tms\t%.3f\t%.2f\n",
                name.c_str(), disk, disk_files, disk / disk_files);
    std::printf("row\trender_templates, %s, outputs in TMPDIR, vs the target\t%.3f\tms\t%.3f\t%.2f\n", name.c_str(), disk,
                target_ms, disk / target_ms);
    // A file system in memory, where creating a file costs no journal.
    const char* memory_root = "/dev/shm";
    if (std::filesystem::is_directory(memory_root)) {
        setenv("TMPDIR", memory_root, 1);
        const bench::TempDirectory shm("zelvo-template-bench");
        if (!shm.root.empty()) {
            const double memory = render_ms(folder, shm.root + "/outputs");
            std::printf("row\trender_templates, %s, outputs in /dev/shm (tmpfs), vs the target\t%.3f\tms\t%.3f\t%.2f\n",
                        name.c_str(), memory, target_ms, memory / target_ms);
        }
    }
    const std::vector<zelvo::Palette> both = palettes();
    int change = 0;
    const double alone = 1000 * bench::median_seconds(runs, [&] {
        const zelvo::TemplateValues values{both[change++ % 2], "/home/user/sea.jpg", 90};
        for (const std::string& text : texts)
            if (!std::holds_alternative<std::string>(zelvo::template_render(text, values))) std::abort();
    });
    std::printf("row\ttemplate_render alone, %s in memory, vs the target\t%.3f\tms\t%.3f\t%.2f\n", name.c_str(), alone,
                target_ms, alone / target_ms);
    std::printf("note\tzelvo_template_bench: medians of %d changes after a warm-up, the palette another at each change; "
                "TMPDIR is %s\n", runs, dir.root.substr(0, dir.root.rfind('/')).c_str());
    return 0;
}
