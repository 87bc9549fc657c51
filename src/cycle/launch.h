#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "config/run_options.h"
#include "display/monitor.h"
#include "display/swaybg.h"
#include "images/launch_vector.h"
#include "images/string_list.h"

namespace zelvo {

// The viewer's argument vector: "zelvo-feh", the bg-style and "--no-fehbg"
// are its own copies; the image slots after them borrow the ring's strings,
// so the vector is valid only while the ring it was filled from exists.
// count() includes the terminator; a released vector has none.
class ViewerArgv {
public:
    ViewerArgv() = default;
    ViewerArgv(ViewerArgv&&) = default;
    ViewerArgv& operator=(ViewerArgv&&) = default;
    ViewerArgv(const ViewerArgv&) = delete;
    ViewerArgv& operator=(const ViewerArgv&) = delete;

    char* const* entries() const { return entries_.empty() ? nullptr : entries_.data(); }
    std::size_t count() const { return entries_.size(); }
    const char* operator[](std::size_t index) const { return entries_[index]; }

private:
    friend ViewerArgv build_viewer_argv(const std::string& bg_style, StringNode* start, int count);
    friend void refill_image_slots(ViewerArgv& argv, StringNode* start, std::size_t count);

    // Heap-held, so the pointers in entries_ survive a move of the vector.
    std::vector<std::string> fixed_;
    std::vector<char*> entries_;
};

// No X display drives more monitors than this, and the viewer's vector stays small.
inline constexpr std::int32_t max_monitors = 64;

// The monitor count: -m when 1 or more, else, with "monitors" = "auto" (or
// swaybg and no number in "monitors"), the display's, else the Config's when
// 1 or more, else 1; at most max_monitors.
std::int32_t monitor_count(const RunOptions& options);

// A viewer vector for count images from the start node onwards (count + 4 entries).
ViewerArgv build_viewer_argv(const std::string& bg_style, StringNode* start, int count);

// Rewrites the image slots 3 to count - 2 in place from the start node on;
// a count below 5 leaves the vector alone. Allocates nothing.
void refill_image_slots(ViewerArgv& argv, StringNode* start, std::size_t count);

void release_viewer_argv(ViewerArgv& argv);

// What swaybg is given at a change.
struct SwaybgPlan {
    std::vector<SwaybgOutput> outputs;
    // The first URL among the images: swaybg reads only files.
    std::optional<std::string> url_passed_over;
};

// Each output, in order, gets the image of its monitor (an output beyond
// the images takes them again from the first, as feh does with its heads)
// in its monitor's mode: its group's "bg-style", else the main one. An
// output whose image is a URL keeps the image it had in `before`, or is left
// out.
SwaybgPlan plan_swaybg_outputs(const std::vector<Monitor>& outputs, const std::vector<std::string>& images,
                               const Config& config, const std::vector<SwaybgOutput>& before);

// The viewer's whole environment: DISPLAY (":0" when absent), then XAUTHORITY
// and HOME where present.
LaunchVector build_viewer_envp(const std::optional<std::string>& display,
                               const std::optional<std::string>& xauthority,
                               const std::optional<std::string>& home);

// The Config's xrdb_args as they stand: the first value is argv[0].
LaunchVector build_xrdb_argv(const Config& config);

void release_vector(LaunchVector& vector);

}  // namespace zelvo
