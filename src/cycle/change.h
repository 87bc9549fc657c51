#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zelvo {

// One change of the wallpaper, whatever asked for it: the timer, a signal,
// next, previous or set, a monitor's own timer, a monitor plugged in, a
// reload. It is a value that apply_change (cycle.h) carries out.
struct Change {
    // The image each monitor shows, in monitor order: one for each monitor.
    std::vector<std::string> images;
    // The first monitor keeps the image it shows: its palette, the colour
    // file and what follows from them stay as they are.
    bool colours_stay = false;

    // How the change enters the history of the sets shown.
    enum class Record {
        as_new,     // the newest set, on screen (next, the timer, set ...)
        back_to,    // the earlier set `earlier`, on screen again (previous)
        replacing,  // the set on screen becomes this one (one monitor going back)
    };
    Record record = Record::as_new;
    std::size_t earlier = 0;

    // How far the main ring moves on once the change is shown: the monitor
    // count for a change of every monitor from the ring; 0 for a change whose
    // images were taken already, or come from elsewhere.
    int advance = 0;

    // Logged once the change is complete ("config regened" of a reload), or
    // at once when it could not be shown.
    const char* closing = nullptr;
};

}  // namespace zelvo
