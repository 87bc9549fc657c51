#pragma once

#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "images/launch_vector.h"

namespace zelvo {

// The viewer's argument vector: "zelvo-feh", the bg-style, "--no-fehbg",
// then one image for each monitor, in monitor order.
LaunchVector build_viewer_argv(const std::string& bg_style, const std::vector<std::string>& images);

// The viewer's whole environment: DISPLAY (":0" when absent), then XAUTHORITY
// and HOME where present.
LaunchVector build_viewer_envp(const std::optional<std::string>& display,
                               const std::optional<std::string>& xauthority,
                               const std::optional<std::string>& home);

// The Config's xrdb_args as they stand: the first value is argv[0].
LaunchVector build_xrdb_argv(const Config& config);

void release_vector(LaunchVector& vector);

}  // namespace zelvo
