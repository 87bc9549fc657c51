#pragma once

#include <sys/types.h>
#include <time.h>

#include <memory>
#include <optional>
#include <string>

#include "colour/colour_child.h"
#include "config/config.h"
#include "support/event.h"

namespace zelvo {

struct DaemonState;

// What tells whether an image file is still the one whose colours were
// prepared: its device, inode, size and modification time, and the time of
// its last change of any kind, which a change of permissions also sets: a
// file that the daemon may read no more gets the default palette, as feh
// shows nothing of it.
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

// A colour step that the loop watches: its end comes through its pipe, and
// its deadline through a timer. When its result is known, `on_known` (when
// set) runs; the watch may be destroyed there.
struct ColourWatch {
    DaemonState* state = nullptr;
    std::unique_ptr<ColourChild> step;
    std::optional<FileIdentity> file;  // of the image when the step began; prepared steps only
    EventPtr readable;
    EventPtr overdue;
    void (*on_known)(DaemonState&) = nullptr;
};

// A Config whose palette cache's folder cannot be used (said in one line)
// goes without the cache; for start-up and every reload.
void forget_unusable_cache(Config& config);

// Right after a change is complete: starts preparing the colours of the image
// that the next change shows first, with the Config's dark flag, unless they
// are being prepared already. Nothing for a URL, whose content may change
// before its turn, for a path that is no regular file now, or with colours off.
void prepare_next_colours(DaemonState& state);

// Kills a preparation that is not for this image and dark flag: the next
// change will not show it first.
void drop_prepared_colours_unless(DaemonState& state, const std::string& image, bool dark);

// The colour step of a change's first image: the prepared one when it is for
// this very image, unchanged since, with the same dark flag, and did not fail
// (one still at work is waited for, within what is left of its deadline, and
// its result used whatever it is); else a step started now. `on_known` runs
// once its result is known, unless it is known already.
std::unique_ptr<ColourWatch> change_colours(DaemonState& state, const std::string& image, bool dark,
                                            void (*on_known)(DaemonState&));

}  // namespace zelvo
