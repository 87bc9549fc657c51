#include "config/run_options.h"

#include "images/expand.h"
#include "images/ring_edit.h"
#include "support/log.h"

namespace zelvo {

void apply_display_overrides(RunOptions& options, const Config& config) {
    if (config.xauthority) options.xauthority = *config.xauthority;
    if (config.display) options.display = *config.display;
}

void reload_config(RunOptions& options) {
    // The previous Config and ring are released only once the new ones are
    // known to be usable: the daemon must always have a ring to show.
    ConfigPtr config = load_config(options.config_path, options.home, options.source);
    if (!config) return;  // load_config has said why
    ExpandOptions expand;
    expand.home = options.home;
    expand.banned_file = options.home + "/.zelvo/banned";
    expand.by_name = config->by_name;
    StringList images = expand_sources(config->sources.first(), expand);
    if (images.empty()) {
        report("Zelvo found no suitable images in %s and keeps the previous configuration",
               options.config_path.c_str());
        return;
    }
    apply_reload(options, std::move(config), std::move(images));
}

void apply_reload(RunOptions& options, ConfigPtr config, StringList images) {
    apply_display_overrides(options, *config);
    options.config = std::move(config);
    options.ring = ring_make(std::move(images), options.config->by_name);
}

}  // namespace zelvo
