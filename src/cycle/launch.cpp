#include "cycle/launch.h"

#include <algorithm>
#include <utility>

#include "colour/fetch.h"
#include "config/monitors.h"

namespace zelvo {

namespace {

// swaybg names every output it draws on: without a number of its own the
// count is the compositor's.
bool counts_outputs(const Config& config) { return config.viewer == Viewer::swaybg && !config.monitors_counted; }

}  // namespace

std::int32_t monitor_count(const RunOptions& options) {
    std::int32_t count = 1;
    if (options.monitors >= 1)
        count = options.monitors;
    else if (options.config && (options.config->monitors_auto || counts_outputs(*options.config)))
        count = std::max(options.display_monitors, 1);
    else if (options.config && options.config->monitors >= 1)
        count = options.config->monitors;
    // A mistyped count would otherwise build a vector of billions of entries.
    return std::min(count, max_monitors);
}

ViewerArgv build_viewer_argv(const std::string& bg_style, StringNode* start, int count) {
    ViewerArgv argv;
    argv.fixed_ = {"zelvo-feh", bg_style, "--no-fehbg"};
    argv.entries_.reserve(static_cast<std::size_t>(count) + 4);
    for (std::string& text : argv.fixed_) argv.entries_.push_back(text.data());
    StringNode* node = start;
    for (int slot = 0; slot < count; ++slot, node = node->link) argv.entries_.push_back(node->value->data());
    argv.entries_.push_back(nullptr);
    return argv;
}

void refill_image_slots(ViewerArgv& argv, StringNode* start, std::size_t count) {
    if (count < 5 || count > argv.entries_.size()) return;
    StringNode* node = start;
    for (std::size_t slot = 3; slot <= count - 2; ++slot, node = node->link) argv.entries_[slot] = node->value->data();
}

void release_viewer_argv(ViewerArgv& argv) { argv = ViewerArgv(); }

SwaybgPlan plan_swaybg_outputs(const std::vector<Monitor>& outputs, const std::vector<std::string>& images,
                               const Config& config, const std::vector<SwaybgOutput>& before) {
    SwaybgPlan plan;
    for (std::size_t index = 0; index < outputs.size() && !images.empty(); ++index) {
        const std::string& name = outputs[index].name;
        std::string image = images[index % images.size()];
        if (is_url(image)) {
            if (!plan.url_passed_over) plan.url_passed_over = image;
            const auto kept = std::find_if(before.begin(), before.end(),
                                           [&name](const SwaybgOutput& output) { return output.name == name; });
            if (kept == before.end()) continue;
            image = kept->image;
        }
        plan.outputs.push_back(SwaybgOutput{name, std::move(image), swaybg_mode(monitor_bg_style(config, index))});
    }
    return plan;
}

LaunchVector build_viewer_envp(const std::optional<std::string>& display,
                               const std::optional<std::string>& xauthority,
                               const std::optional<std::string>& home) {
    std::vector<std::string> entries;
    entries.reserve(3);
    entries.push_back("DISPLAY=" + display.value_or(":0"));
    if (xauthority) entries.push_back("XAUTHORITY=" + *xauthority);
    if (home) entries.push_back("HOME=" + *home);
    return LaunchVector(std::move(entries));
}

LaunchVector build_xrdb_argv(const Config& config) { return list_to_argv(config.xrdb_args.first()); }

void release_vector(LaunchVector& vector) { vector = LaunchVector(); }

}  // namespace zelvo
