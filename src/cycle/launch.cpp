#include "cycle/launch.h"

#include <utility>

namespace zelvo {

LaunchVector build_viewer_argv(const std::string& bg_style, const std::vector<std::string>& images) {
    std::vector<std::string> entries{"zelvo-feh", bg_style, "--no-fehbg"};
    entries.insert(entries.end(), images.begin(), images.end());
    return LaunchVector(std::move(entries));
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
