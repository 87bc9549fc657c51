#pragma once

#include <sys/types.h>
#include <time.h>

#include <memory>
#include <optional>
#include <string>

#include "colour/colour_child.h"
#include "config/run_options.h"
#include "support/event.h"

namespace zelvo {

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

// A Config whose palette cache's folder cannot be used (said in one line)
// goes without the cache; for start-up and every reload.
void forget_unusable_cache(Config& config);

// A colour step that the loop watches: its end comes through its channel,
// and its deadline through a timer. When its result is known, the callback
// given to watch() runs; the watch may be destroyed there.
class ColourWatch {
public:
    ColourWatch(event_base* base, std::unique_ptr<ColourChild> step);
    ColourWatch(const ColourWatch&) = delete;
    ColourWatch& operator=(const ColourWatch&) = delete;

    const ColourChild& step() const { return *step_; }
    bool known() const { return step_->known(); }
    // Runs `known` once the result is known, unless it is known already.
    void watch(EventCallback known);

    // Of the image when a prepared step began; none for a step of a change.
    std::optional<FileIdentity> file;

private:
    void stop_watching();

    std::unique_ptr<ColourChild> step_;
    DescriptorEvent readable_;
    TimerEvent overdue_;
    EventCallback known_;
};

// The colours of the change under way and of the next one: the step of a
// change's first image, taken from the one prepared for it when that fits,
// and the preparation of the next first image's colours.
class ColourSteps {
public:
    ColourSteps(event_base* base, const RunOptions& options) : base_(base), options_(options) {}

    // Right after a change is complete: starts preparing the colours of
    // `next` (the image the next change shows first), with the Config's dark
    // flag, unless they are being prepared already. Nothing for a URL, whose
    // content may change before its turn, for a path that is no regular file
    // now, for none, or with colours off.
    void prepare(const std::string* next);
    // Kills a preparation that is not for this image (none: any) with the Config's dark flag.
    void drop_unless(const std::string* image);
    void drop() { prepared_.reset(); }
    // The colour step of a change's first image: the prepared one when it is
    // for this very image, unchanged since, with the same dark flag, and did
    // not fail (one still at work is waited for, within what is left of its
    // deadline, and its result used whatever it is); else a step started now.
    std::unique_ptr<ColourWatch> take(const std::string& image, bool dark);

private:
    bool prepared_for(const std::string& image, bool dark) const;
    std::unique_ptr<ColourWatch> watched(std::unique_ptr<ColourChild> step);

    event_base* base_;
    const RunOptions& options_;
    std::unique_ptr<ColourWatch> prepared_;
};

}  // namespace zelvo
