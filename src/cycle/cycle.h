#pragma once

#include "config/run_options.h"
#include "images/string_list.h"

namespace zelvo {

// The running cycle's state, one per process.
struct DaemonState {
    RunOptions& options;
    StringNode* current = nullptr;
};

// Runs the event loop until a quit signal has ended it; gives 0.
int run_cycle(DaemonState& state);

}  // namespace zelvo
