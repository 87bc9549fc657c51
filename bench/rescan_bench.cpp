// Times, from inside, each step that the daemon's loop takes for a rescan of
// 10,000 images of which 1,000 are new and 1,000 gone: every take of the
// expansion's answer (64 KiB at a time, as the loop takes it), every slice
// of the merge (half a millisecond of work at most, as the loop runs them,
// the last of them its plan), the merge's apply, which writes the links that
// the plan found, and the slices that free what it leaves. The expansion
// itself runs in its worker, as in the daemon; between the steps the loop
// is free. Prints the longest step, wall clock and processor time, and the
// time from the rescan's start until the new images are in the ring.
// Prints "row" and "note" lines for bench/run.sh.

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "bench_support.h"
#include "images/expander.h"
#include "images/ring_edit.h"
#include "process/children.h"
#include "support/magick.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int images = 10000;
constexpr int changed = 1000;
// As the daemon's loop: a slice's budget and how much of the answer it takes at a time.
constexpr std::chrono::microseconds slice_time{500};
constexpr std::size_t bytes_at_once = 64 << 10;
constexpr int runs = 5;

int fail(const std::string& message) { return bench::fail("zelvo_rescan_bench", message); }

double thread_seconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The longest step of one kind, by the wall clock and by this thread's processor time.
struct Longest {
    double wall = 0;
    double processor = 0;
    int steps = 0;

    template <typename Step>
    auto time(Step step) {
        const auto began = Clock::now();
        const double used = thread_seconds();
        auto result = step();
        processor = std::max(processor, thread_seconds() - used);
        wall = std::max(wall, std::chrono::duration<double>(Clock::now() - began).count());
        ++steps;
        return result;
    }
};

struct Run {
    Longest take, prepare, apply, tidy;
    double merged = 0;  // seconds from the start of the rescan until the new images are in the ring
    std::size_t ring = 0;
    zelvo::RingMergeCounts counts;
};

std::string image_path(const std::string& folder, const char* kind, int index) {
    return folder + "/" + kind + std::to_string(100000 + index) + ".png";
}

// One rescan of the folder into a ring made of it before the change, as the daemon's loop runs it.
bool rescan(const std::string& folder, const std::string& sample, Run& run) {
    zelvo::StringList sources = zelvo::StringList::placeholder();
    zelvo::string_list_append(sources.first(), folder);
    for (int index = 0; index < images; ++index) link(sample.c_str(), image_path(folder, "a", index).c_str());
    zelvo::ImageRing ring = zelvo::ring_make(zelvo::expand_sources(sources.first()), false);
    zelvo::RingPlace place = zelvo::ring_place_start(ring, ring.node());
    for (int change = 0; change < 40; ++change) zelvo::ring_place_advance(place, ring, 1);
    for (int index = 0; index < changed; ++index) {
        unlink(image_path(folder, "a", index).c_str());
        link(sample.c_str(), image_path(folder, "b", index).c_str());
    }

    const auto began = Clock::now();
    zelvo::ExpansionChild expansion(sources.first(), zelvo::ExpandOptions{});
    auto progress = zelvo::ExpansionChild::Progress::more;
    while (progress == zelvo::ExpansionChild::Progress::more) {
        pollfd watched{expansion.descriptor(), POLLIN, 0};
        if (poll(&watched, 1, -1) < 0) return false;
        progress = run.take.time([&] { return expansion.take(bytes_at_once); });
    }
    zelvo::StringList found = expansion.take_images();
    if (progress != zelvo::ExpansionChild::Progress::complete || found.empty()) return false;
    zelvo::RingMerge merge(std::move(found), expansion.entries(), false);
    for (;;) {
        const bool ready = run.prepare.time([&] {
            const Clock::time_point until = Clock::now() + slice_time;
            return merge.prepare(ring, place, 1, [until] { return Clock::now() < until; });
        });
        if (ready) break;
    }
    run.counts = run.apply.time([&] { return merge.apply(ring, place); });
    run.merged = std::chrono::duration<double>(Clock::now() - began).count();
    for (;;) {
        const bool done = run.tidy.time([&] {
            const Clock::time_point until = Clock::now() + slice_time;
            return merge.tidy([until] { return Clock::now() < until; });
        });
        if (done) break;
    }
    run.ring = ring.size();
    // What the ring holds is the folder as it is now.
    std::set<std::string> held;
    const zelvo::StringNode* node = ring.node();
    for (std::size_t index = 0; index < ring.size(); ++index, node = node->link) held.insert(*node->value);
    for (int index = changed; index < images; ++index)
        if (held.count(image_path(folder, "a", index)) == 0) return false;
    for (int index = 0; index < changed; ++index)
        if (held.count(image_path(folder, "b", index)) == 0) return false;
    zelvo::children_reap_killed();
    return held.size() == static_cast<std::size_t>(images);
}

void print_row(const std::string& name, double seconds, const char* unit, double scale) {
    std::printf("row\t%s\t%.3f\t%s\t-\t-\n", name.c_str(), seconds * scale, unit);
}

}  // namespace

int main(int, char** argv) {
    zelvo::magick_start(argv[0]);
    zelvo::magick_limit_threads(1);
    const bench::TempDirectory top("zelvo-rescan-bench");
    if (top.root.empty()) return fail("cannot make a temporary directory");
    const std::string sample = top.root + "/sample.png";
    if (!bench::run_program({"convert", "-size", "32x24", "xc:teal", "PNG:" + sample}, "/dev/null"))
        return fail("cannot encode the sample image");
    std::vector<Run> done;
    for (int attempt = 0; attempt < runs; ++attempt) {
        const std::string folder = top.root + "/run" + std::to_string(attempt);
        std::filesystem::create_directory(folder);
        Run run;
        if (!rescan(folder, sample, run))
            return fail("the rescan did not bring the ring to the folder as it is (" + std::to_string(run.ring) +
                        " images)");
        if (run.counts.added != changed || run.counts.gone != changed)
            return fail("the merge added " + std::to_string(run.counts.added) + " and took out " +
                        std::to_string(run.counts.gone));
        done.push_back(run);
        std::filesystem::remove_all(folder);
    }
    const auto most = [&done](auto field) {
        double found = 0;
        for (const Run& run : done) found = std::max(found, field(run));
        return found;
    };
    std::vector<double> merged;
    for (const Run& run : done) merged.push_back(run.merged);
    std::sort(merged.begin(), merged.end());
    const Run& last = done.back();
    std::printf("note\trescan of %d images, %d new and %d gone, merged into a ring of %d made before the change, "
                "%d runs: %d takes of the expansion's answer, %d slices to prepare the merge, %d to free what it "
                "leaves (the last run)\n",
                images, changed, changed, images, runs, last.take.steps, last.prepare.steps, last.tidy.steps);
    const std::pair<const char*, Longest Run::*> kinds[] = {{"a take of the expansion's answer", &Run::take},
                                                            {"a slice of the merge's preparation", &Run::prepare},
                                                            {"the merge's apply", &Run::apply},
                                                            {"a slice freeing what the merge leaves", &Run::tidy}};
    double longest = 0;
    double longest_wall = 0;
    for (const auto& [name, member] : kinds) {
        // Named apart from the binding: clang 14 cannot capture a structured binding.
        const auto kind = member;
        const double wall = most([kind](const Run& run) { return (run.*kind).wall; });
        const double processor = most([kind](const Run& run) { return (run.*kind).processor; });
        longest = std::max(longest, processor);
        longest_wall = std::max(longest_wall, wall);
        print_row(std::string("rescan: the longest ") + name + ", wall clock, of " + std::to_string(runs) + " runs",
                  wall, "ms", 1e3);
        print_row(std::string("rescan: the longest ") + name + ", processor time", processor, "ms", 1e3);
    }
    print_row("rescan: from its start to the new images in the ring, median of " + std::to_string(runs), merged[runs / 2],
              "s", 1);
    std::printf("note\trescan: the loop held up at most 1 ms at a time by its own work: %s (%.3f ms of processor "
                "time; %.3f ms by the wall clock, which adds whatever else the machine ran meanwhile)\n",
                longest < 1e-3 ? "met" : "MISSED", longest * 1e3, longest_wall * 1e3);
    return 0;
}
