#pragma once

namespace zelvo {

// The version that zelvo -v and zelvoctl --version print.
inline constexpr const char* zelvo_version = "1.4.4";

}  // namespace zelvo
