#include "cycle/reload.h"

#include "support/log.h"

namespace zelvo {

Reload::Reload(event_base* base, const ExpandOptions& options, const std::string& config_path, ConfigPtr config,
               Finish finish)
    : base_(base), options_(options), config_path_(config_path), config_(std::move(config)), finish_(std::move(finish)) {
    run_ = std::make_unique<ExpansionRun>(base_, std::make_unique<ExpansionChild>(config_->sources.first(), options_),
                                          [this](ExpansionChild::Progress progress) { main_done(progress); });
}

void Reload::main_done(ExpansionChild::Progress progress) {
    StringList images = run_->child().take_images();
    if (progress == ExpansionChild::Progress::failed) {
        report("Zelvo could not expand the sources of %s and keeps the previous configuration", config_path_.c_str());
        finish(nullptr, StringList());
        return;
    }
    if (images.empty()) {
        report("Zelvo found no suitable images in %s and keeps the previous configuration", config_path_.c_str());
        finish(nullptr, StringList());
        return;
    }
    images_ = std::move(images);
    group_images_.resize(config_->per_monitor.size());
    if (expand_next_group()) return;
    finish(std::move(config_), std::move(images_));
}

// Starts expanding the sources of the next group of "per-monitor" that
// names some; false when none is left.
bool Reload::expand_next_group() {
    const std::vector<MonitorGroup>& groups = config_->per_monitor;
    for (; group_ < groups.size(); ++group_) {
        if (groups[group_].sources.first() == nullptr) continue;
        auto run = std::make_unique<ExpansionRun>(
            base_, std::make_unique<ExpansionChild>(groups[group_].sources.first(), options_),
            [this](ExpansionChild::Progress progress) { group_done(progress); });
        // One that cannot be expanded now gives no image, and its monitor the main ones.
        if (!run->started()) continue;
        run_ = std::move(run);
        return true;
    }
    return false;
}

void Reload::group_done(ExpansionChild::Progress progress) {
    if (progress == ExpansionChild::Progress::complete) group_images_[group_] = run_->child().take_images();
    ++group_;
    if (expand_next_group()) return;
    finish(std::move(config_), std::move(images_));
}

void Reload::finish(ConfigPtr config, StringList images) {
    // Its worker is over; then the reload may go with what the caller does.
    run_.reset();
    const Finish finish = std::move(finish_);
    finish(std::move(config), std::move(images), std::move(group_images_));
}

}  // namespace zelvo
