#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "cycle/change.h"
#include "support/event.h"

namespace zelvo {

class Display;
struct RunOptions;
class RuntimeDirectory;

// What puts a change's images on screen. Each viewer is an owner of its own:
// its programs or connections, their state and their events.
class Viewer {
public:
    virtual ~Viewer() = default;

    // Shows the change's images, one for each monitor in monitor order.
    // False, after a line, when nothing could be started: the screen is as
    // it was.
    virtual bool show(const Change& change) = 0;
    // Whether the viewer tells when a change is on screen (through the
    // callback it was made with); one that cannot tell has it on screen as
    // soon as show() returns.
    virtual bool tells_on_screen() const { return false; }
    // What a client that set images is told when show() failed.
    virtual std::string failure() const = 0;
    // The images the next change will show, as far as they are known now: a
    // viewer may prepare them.
    virtual void prepare(const std::vector<std::string>& /*next*/) {}
    // A reload put a new Config in force that names the same viewer: its
    // program and environment are taken again.
    virtual void reconfigure() {}
    // The display's monitors changed, or the display was lost or came back.
    virtual void monitors_changed() {}
    // The connection to the display is about to go: whatever the viewer
    // keeps on it goes first.
    virtual void display_dropping() {}
    // When each monitor's picture reached the screen, in seconds since the
    // Epoch, for a viewer that can tell; empty for one that cannot.
    virtual std::vector<std::optional<std::int64_t>> on_screen_times() const { return {}; }
    // The frames of transitions each monitor has had on screen, and those
    // asked for, since the start; empty for a viewer without transitions.
    struct Frames {
        std::uint64_t delivered = 0;
        std::uint64_t asked = 0;
    };
    virtual std::vector<Frames> frames() const { return {}; }
    // A child of the daemon has ended: it may be the viewer's. Called before
    // the daemon reaps the children it has let go of.
    virtual void child_ended() {}
    // A quit has come: whatever the viewer has under way ends within the second.
    virtual void quit() {}
    // The loop has ended: whatever is left is killed, or let run on to draw.
    virtual void after_loop() {}
};

// What runs when a change is on screen, for a viewer that tells; with
// first_drawn false when the first monitor's picture could not be drawn and
// the one before stays there (its palette stays with it).
using OnScreen = std::function<void(bool first_drawn)>;

// What the viewers are made with: the loop, the start-up record, the display
// and its monitors, the runtime directory (none: nothing is kept there) and
// what runs when a change is on screen.
struct ViewerSetting {
    event_base* base;
    const RunOptions& options;
    const Display& display;
    const RuntimeDirectory* runtime;
    OnScreen on_screen;
};

// The viewer that the Config in force names.
std::unique_ptr<Viewer> make_viewer(const ViewerSetting& setting);

}  // namespace zelvo
