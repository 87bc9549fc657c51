#pragma once

#include <sys/types.h>
#include <time.h>

#include <memory>
#include <optional>
#include <string>

#include "colour/colour_child.h"
#include "support/event.h"

namespace zelvo {

struct DaemonState;

// What tells whether an image file is still the one whose colours were
// prepared: its device, inode, size, modification time, and the time its
// status last changed, which a chmod or chown moves too (a file the daemon
// may no longer read gives no colours, whatever was prepared from it).
struct FileIdentity {
    dev_t device;
    ino_t inode;
    off_t size;
    timespec modified;
    timespec changed;
    bool operator==(const FileIdentity& other) const;
};

// The identity of the regular file at `path`; none for anything else.
std::optional<FileIdentity> file_identity(const std::string& path);

// The colours of the next change's first image, made in the background by a
// colour step of their own, which the loop learns the end of through its pipe.
struct PreparedColours {
    std::unique_ptr<ColourChild> step;
    FileIdentity file;
    EventPtr readable;  // the step's pipe
    EventPtr overdue;   // its deadline
};

// Right after a change: starts preparing the colours of the image that the
// next change shows first, with the Config's dark flag, unless they are being
// prepared already. Nothing for a URL, whose content may change before its
// turn, for a path that is no regular file now, or with colours off.
void prepare_next_colours(DaemonState& state);

// Kills a preparation that is not for this image and dark flag: the next
// change will not show it first.
void drop_prepared_colours_unless(DaemonState& state, const std::string& image, bool dark);

// The colours of a change's first image: the prepared ones when they are for
// this very image, unchanged since, with the same dark flag, and did not fail
// (a preparation still running is waited for, within what is left of its
// deadline, and its result used whatever it is); else a colour step run now.
ColourResult change_colours(DaemonState& state, const std::string& image, bool dark);

}  // namespace zelvo
