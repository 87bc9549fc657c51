#include "config/run_options.h"

#include "images/ring_edit.h"

namespace zelvo {

void apply_display_overrides(RunOptions& options, const Config& config) {
    if (config.xauthority) options.xauthority = *config.xauthority;
    if (config.display) options.display = *config.display;
}

void reload_config(RunOptions& options, ConfigPtr config, StringList images) {
    apply_display_overrides(options, *config);
    options.config = std::move(config);
    options.ring = ring_make(std::move(images), options.config->by_name);
}

}  // namespace zelvo
