#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "config/config.h"
#include "images/expander.h"
#include "images/string_list.h"

namespace zelvo {

// A reload whose new configuration is read and whose sources are being
// expanded in the background, while the old ring goes on serving: the main
// sources first, then the groups of "per-monitor" that name sources of their
// own, one after the other.
class Reload {
public:
    // Runs with the new Config and its images (none, after a line that says
    // why, when the reload keeps the previous configuration), and the images
    // of each group; the reload may be destroyed there.
    using Finish = std::function<void(ConfigPtr config, StringList images, std::vector<StringList> group_images)>;

    Reload(event_base* base, const ExpandOptions& options, const std::string& config_path, ConfigPtr config,
           Finish finish);
    Reload(const Reload&) = delete;
    Reload& operator=(const Reload&) = delete;

    // False when the expansion could not start; then `finish` never runs.
    bool started() const { return run_ && run_->started(); }

private:
    void main_done(ExpansionChild::Progress progress);
    bool expand_next_group();
    void group_done(ExpansionChild::Progress progress);
    void finish(ConfigPtr config, StringList images);

    event_base* base_;
    ExpandOptions options_;
    std::string config_path_;
    ConfigPtr config_;
    Finish finish_;
    std::unique_ptr<ExpansionRun> run_;
    StringList images_;
    std::size_t group_ = 0;
    std::vector<StringList> group_images_;
};

}  // namespace zelvo
