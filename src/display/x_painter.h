#pragma once

#include <event2/event.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "display/monitor.h"
#include "display/transition.h"
#include "display/x_connect.h"
#include "support/event.h"
#include "process/shared_memory.h"

namespace zelvo {

// What came of a show.
struct XShown {
    // The server has done everything: the picture is on screen.
    bool on_screen = false;
    // The monitors whose picture did not fit their region (or were no
    // pictures to trust), shown black instead.
    std::vector<std::size_t> refused;
    // Whether the pixels went through MIT-SHM rather than PutImage.
    bool shared_memory = false;
    // Why the picture is not on screen.
    std::string failure;
    // Of a show with transitions: the frames drawn (each on screen before
    // the next went), and those whose time came, the ones skipped while the
    // server was behind included.
    std::uint32_t frames_drawn = 0;
    std::uint32_t frames_asked = 0;
};

// Shows one picture per monitor on an X display's root window, as the
// desktop's conventions ask, driven by the loop: nothing waits on the server.
//
// Every show is one change on a short-lived connection of its own (made by
// XConnector): a pixmap of the screen's size is filled whole, black where no
// monitor is, each monitor's region from its picture (through MIT-SHM, the
// server reading the picture's shared memory itself; else PutImage in
// chunks), or, without one, from the root pixmap that the change replaces; then it becomes the root window's background and is named by
// _XROOTPMAP_ID and ESETROOT_PMAP_ID, so that compositors and
// pseudo-transparent terminals see it; the previous setter's pixmap is then
// freed by KillClient when both properties name it. The pixmap is retained
// (RetainPermanent) when the connection closes, holding nothing else, so the
// picture stays after zelvo quits, as feh's does. During a change the
// server holds both the old root pixmap and the new one.
//
// A show may carry a transition for each monitor: the server then composes
// every frame itself with RENDER from the pictures it holds (the old root
// pixmap and the new picture), into a third pixmap that is the root's while
// the frames run, and the daemon sends only requests: a fade through a solid
// mask of the frame's opacity, a wipe and a grow as the new picture through
// trapezoids that cover the part it has reached. Each frame names the pixmap
// in the properties again, so that compositors take it up, and clears the
// root where it changed. One clock paces the frames of every monitor of the
// show; only one frame's requests are ever unanswered, so that a frame whose
// time comes while the server is still behind is skipped, never queued. The
// last frame is the new picture exactly; then the old root pixmap is freed as
// above and the show's callback runs. A newer show starts from the frame on
// screen: the change under way keeps it as the root's pixmap and ends.
class XPainter {
public:
    using Shown = std::function<void(const XShown&)>;

    // The display (none: ":0") and the X authority file (none: the
    // environment's) of every show.
    XPainter(event_base* base, std::optional<std::string> display, std::optional<std::string> xauthority);
    ~XPainter();
    XPainter(const XPainter&) = delete;
    XPainter& operator=(const XPainter&) = delete;

    // Shows pictures[i] on monitors[i] (their geometry as XMonitors gives
    // it); a monitor without a picture keeps what the root window's pixmap
    // showed there, and one whose picture is not exactly its size is black.
    // The pictures are only borrowed: what the change needs of them it copies. `shown` runs once, in the loop, when the server has
    // done everything or the change failed. A newer show supersedes one under
    // way, whose callback then never runs.
    void show(const std::vector<Monitor>& monitors, const std::vector<Picture>& pictures, Shown shown);
    // The same, each monitor changing by transitions[i] (none where missing),
    // `shown` running once its last frame is on screen.
    void show(const std::vector<Monitor>& monitors, const std::vector<Picture>& pictures,
              const std::vector<Transition>& transitions, Shown shown);
    bool showing() const { return static_cast<bool>(change_); }

    // Ends the transition under way at once (for quit): the next frame is the
    // new picture whole, and the show's callback runs once it is on screen. A
    // show that has not reached its frames yet goes without them.
    void finish_now();

    // The display of the shows from the next one on.
    void set_display(std::optional<std::string> display, std::optional<std::string> xauthority);

    struct Change;

private:
    void on_connected(XConnected connected);
    void on_readable(Change& change);
    void on_overdue(Change& change);
    void ask(Change& change);
    void advance(Change& change);
    void draw(Change& change);
    void send_next_chunk(Change& change);
    void send_finish(Change& change);
    void finish_with(Change& change, std::uint32_t root_pixmap);
    bool start_frames(Change& change);
    void on_tick(Change& change);
    void draw_frame(Change& change, std::chrono::nanoseconds elapsed);
    void send_last(Change& change);
    void retire(Change& change);
    void await(Change& change);
    void end(Change& change, XShown shown);

    event_base* base_;
    std::optional<std::string> display_;
    std::optional<std::string> xauthority_;
    XConnector connector_;
    std::unique_ptr<Change> change_;
    // A superseded change whose last requests have gone: it is left to end,
    // so that the next change reads the root window's properties only once
    // the server has set them.
    std::unique_ptr<Change> retiring_;
    // The display was away at the last show: said once, until it is back.
    bool away_ = false;
};

}  // namespace zelvo
