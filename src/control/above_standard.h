#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace zelvo {

// The descriptor moved above the standard ones, close-on-exec, when it is one
// of 0 to 2 (a program started with a standard stream closed): detaching
// points those at /dev/null, which would close a lock kept there.
inline int above_standard(int descriptor) {
    if (descriptor < 0 || descriptor > 2) return descriptor;
    const int moved = fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
    close(descriptor);
    return moved;
}

}  // namespace zelvo
