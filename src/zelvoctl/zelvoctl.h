#pragma once

namespace zelvo {

// The whole life of zelvoctl: finds the daemon of a display through its pid
// file and lock, and signals it or prints what it shows. Gives the exit
// status: 0, 1 when no daemon runs there (or it cannot be reached), 2 on a
// bad call.
int zelvoctl_main(int argc, char** argv);

}  // namespace zelvo
