#pragma once

#include <chrono>
#include <ctime>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cycle/colours.h"
#include "cycle/viewer.h"
#include "display/transition.h"
#include "display/wayland_painter.h"
#include "display/x_painter.h"
#include "picture/picture_child.h"
#include "support/event.h"

namespace zelvo {

// The wallpaper drawn by zelvo itself, without feh or swaybg. Each image of a
// change is decoded and fitted to the monitors that show it by a bounded
// worker (PictureChild), which hands the pictures back in sealed shared
// memory; the daemon passes them to the display server and maps nothing: to
// the X root window (XPainter) or to one layer surface per Wayland output
// (WaylandPainter). It tells when the change is on screen, so that the
// palette and all that follows come in the same frame. The pictures of the
// next change are prepared while the one on screen rests, so that a change
// is only a swap; a prepared picture that no longer fits (a monitor changed,
// the file changed) is dropped.
class ZelvoViewer final : public Viewer {
public:
    explicit ZelvoViewer(const ViewerSetting& setting);
    ~ZelvoViewer() override;

    bool show(const Change& change) override;
    bool tells_on_screen() const override { return true; }
    std::string failure() const override { return "the picture could not be made"; }
    void prepare(const std::vector<std::string>& next) override;
    void reconfigure() override;
    void monitors_changed() override;
    void display_dropping() override;
    void quit() override;
    void after_loop() override;
    std::vector<std::optional<std::int64_t>> on_screen_times() const override { return shown_at_; }
    std::vector<Frames> frames() const override;

private:
    // What one image of a change becomes: the monitors that show it, in
    // monitor order, and the worker that makes their pictures.
    struct Making {
        std::string image;
        std::vector<std::size_t> monitors;
        std::vector<PictureTarget> targets;
        std::optional<FileIdentity> file;
        std::unique_ptr<PictureChild> child;
        std::unique_ptr<DescriptorEvent> readable;
        std::unique_ptr<TimerEvent> overdue;
    };

    // The monitors to draw on now: the display's, in the order "monitor N" counts them.
    std::vector<Monitor> drawn_monitors() const;
    std::vector<std::pair<std::string, std::vector<std::size_t>>> images_of(const std::vector<std::string>& images,
                                                                           std::size_t monitors) const;
    std::optional<PictureTarget> target(const Monitor& monitor, std::size_t index) const;
    std::unique_ptr<Making> make(const std::string& image, std::vector<std::size_t> monitors,
                                 std::vector<PictureTarget> targets, bool background);
    void watch(Making& making, bool of_change);
    void made();
    void paint();
    void painted(bool drawn);
    void start_preparing();
    WaylandPainter* wayland();

    event_base* base_;
    const RunOptions& options_;
    const Display& display_;
    OnScreen on_screen_;
    // On X: every show on a short-lived connection of its own.
    std::unique_ptr<XPainter> x_;
    // On Wayland: on the display's connection, for as long as it lasts.
    std::unique_ptr<WaylandPainter> wayland_;
    const WaylandOutputs* wayland_outputs_ = nullptr;
    std::optional<ShowId> wayland_show_;

    // The change being made, image by image, and its monitors as they were.
    std::vector<std::unique_ptr<Making>> making_;
    std::vector<Monitor> monitors_;
    bool painting_ = false;
    // Counts the changes shown, so that a show's end knows whether its change is still the one under way.
    std::uint64_t change_ = 0;
    // The next change's images, and their pictures made meanwhile.
    std::vector<std::string> next_;
    std::vector<std::unique_ptr<Making>> prepared_;
    // Each monitor's transition in the change being painted, and the frames
    // the last one drew against those it asked for.
    std::vector<Transition> transitions_;
    // What "random" draws from: a generator of the viewer's own, apart from
    // the one the ring's shuffles seed.
    std::minstd_rand random_{static_cast<std::minstd_rand::result_type>(std::time(nullptr))};
    std::uint32_t frames_drawn_ = 0;
    std::uint32_t frames_asked_ = 0;
    // On X, the frames each monitor has had, as the painter counts them.
    std::vector<Frames> x_frames_;
    // The image on each monitor, once a change is on screen.
    std::vector<std::string> on_screen_images_;
    std::vector<std::string> showing_images_;
    // When each monitor's picture reached the screen, in seconds since the Epoch.
    std::vector<std::optional<std::int64_t>> shown_at_;
    // Which monitors the change being painted draws on.
    std::vector<std::optional<std::int64_t>> showing_at_;
    // Tells, on the loop's next turn, that a change could not be drawn.
    TimerEvent later_;
    bool quitting_ = false;
};

}  // namespace zelvo
