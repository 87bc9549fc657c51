#include "cycle/zelvo_viewer.h"

#include <algorithm>

#include "config/monitors.h"
#include "config/run_options.h"
#include "cycle/display.h"
#include "support/log.h"
#include "support/url.h"

namespace zelvo {

ZelvoViewer::ZelvoViewer(const ViewerSetting& setting)
    : base_(setting.base),
      options_(setting.options),
      display_(setting.display),
      on_screen_(setting.on_screen),
      later_(setting.base, [this] { painted(false); }) {
    if (!options_.wayland_display) x_ = std::make_unique<XPainter>(base_, options_.display, options_.xauthority);
    wayland();
}

ZelvoViewer::~ZelvoViewer() { after_loop(); }

void ZelvoViewer::reconfigure() {
    if (x_) x_->set_display(options_.display, options_.xauthority);
}

// The painter on the display's Wayland connection, made anew for each
// connection, so that its surfaces are there (and configured) before a
// change needs them; none on X or without a connection.
WaylandPainter* ZelvoViewer::wayland() {
    WaylandOutputs* outputs = display_.wayland_outputs();
    if (outputs != wayland_outputs_) {
        wayland_.reset();
        wayland_outputs_ = outputs;
        if (outputs != nullptr)
            wayland_ = std::make_unique<WaylandPainter>(*outputs, base_, [this](ShowId show, ShowEnd end) {
                if (!wayland_show_ || show != *wayland_show_ || end == ShowEnd::superseded) return;
                wayland_show_.reset();
                painted(end == ShowEnd::framed || end == ShowEnd::timed_out);
            });
    }
    return wayland_.get();
}

void ZelvoViewer::display_dropping() {
    wayland_.reset();
    wayland_outputs_ = nullptr;
    // A show under way there will never be told: it ends here.
    if (wayland_show_) {
        wayland_show_.reset();
        later_.schedule(std::chrono::microseconds(0));
    }
}

void ZelvoViewer::monitors_changed() {
    wayland();
    // Pictures made for the monitors as they were may fit none of them now.
    prepared_.clear();
}

std::vector<Monitor> ZelvoViewer::drawn_monitors() const { return display_.monitors(); }

// The distinct images of a change and the monitors that show each, in the
// order they first come; monitors beyond the images take them again from the
// first, as feh does with its heads.
std::vector<std::pair<std::string, std::vector<std::size_t>>> ZelvoViewer::images_of(
    const std::vector<std::string>& images, std::size_t monitors) const {
    std::vector<std::pair<std::string, std::vector<std::size_t>>> found;
    for (std::size_t monitor = 0; monitor < monitors && !images.empty(); ++monitor) {
        const std::string& image = images[monitor % images.size()];
        auto same = std::find_if(found.begin(), found.end(), [&image](const auto& one) { return one.first == image; });
        if (same == found.end()) same = found.insert(found.end(), {image, {}});
        same->second.push_back(monitor);
    }
    return found;
}

std::optional<PictureTarget> ZelvoViewer::target(const Monitor& monitor, std::size_t index) const {
    const std::string& style = monitor_bg_style(*options_.config, index);
    if (!x_) {
        if (!wayland_) return std::nullopt;
        const std::optional<PixelSize> size = wayland_->picture_size(monitor.name);
        if (!size) return std::nullopt;
        return PictureTarget{size->width, size->height, style};
    }
    return PictureTarget{monitor.width, monitor.height, style};
}

std::unique_ptr<ZelvoViewer::Making> ZelvoViewer::make(const std::string& image, std::vector<std::size_t> monitors,
                                                       std::vector<PictureTarget> targets, bool background) {
    auto making = std::make_unique<Making>();
    making->image = image;
    making->monitors = std::move(monitors);
    making->targets = targets;
    making->file = file_identity(image);
    making->child = std::make_unique<PictureChild>(image, std::move(targets), background);
    return making;
}

// The loop watches the worker until its pictures are known; those of a
// change go on to be painted once every image's are.
void ZelvoViewer::watch(Making& making, bool of_change) {
    if (making.child->known()) return;
    const auto known = [this, &making, of_change] {
        making.readable->stop();
        making.overdue->cancel();
        if (of_change) made();
    };
    making.readable = std::make_unique<DescriptorEvent>(base_, making.child->descriptor(), DescriptorEvent::Ready::read,
                                                        [&making, known] {
                                                            if (making.child->take()) known();
                                                        });
    making.overdue = std::make_unique<TimerEvent>(base_, [&making, known] {
        making.child->kill_overdue();
        known();
    });
    making.readable->start();
    making.overdue->schedule_at(making.child->deadline());
}

bool ZelvoViewer::show(const Change& change) {
    wayland();
    monitors_ = drawn_monitors();
    // A change left behind half-way through its frames leaves a screen that
    // shows none of the images recorded: every monitor moves on from it.
    if (painting_) on_screen_images_.clear();
    // A monitor whose image stays as it is changes by none; "random" picks
    // one kind for the whole change, so monitors that change together match.
    const std::uint32_t pick = static_cast<std::uint32_t>(random_());
    transitions_.assign(monitors_.size(), Transition{});
    showing_images_.assign(monitors_.size(), std::string());
    for (std::size_t monitor = 0; monitor < monitors_.size() && !change.images.empty(); ++monitor) {
        const std::string& image = change.images[monitor % change.images.size()];
        showing_images_[monitor] = image;
        const bool changes = monitor >= on_screen_images_.size() || on_screen_images_[monitor] != image;
        if (changes) transitions_[monitor] = monitor_transition(*options_.config, monitor, pick);
    }
    making_.clear();
    painting_ = false;
    ++change_;
    wayland_show_.reset();
    later_.cancel();
    std::vector<std::unique_ptr<Making>> prepared = std::move(prepared_);
    prepared_.clear();
    // Named apart, not bound: the lambdas below take the image, and a
    // structured binding cannot be captured by the clang of Debian 12.
    for (auto& found : images_of(change.images, monitors_.size())) {
        const std::string& image = found.first;
        std::vector<std::size_t>& monitors = found.second;
        std::vector<std::size_t> drawn;
        std::vector<PictureTarget> targets;
        for (const std::size_t monitor : monitors) {
            if (std::optional<PictureTarget> wanted = target(monitors_[monitor], monitor)) {
                drawn.push_back(monitor);
                targets.push_back(std::move(*wanted));
            }
        }
        if (drawn.empty()) continue;
        // The one prepared for this very image, unchanged since, for these very monitors.
        const auto fits = [&](const std::unique_ptr<Making>& ready) {
            const auto same = [](const PictureTarget& one, const PictureTarget& two) {
                return one.width == two.width && one.height == two.height && one.bg_style == two.bg_style;
            };
            return ready && ready->image == image && ready->file && ready->file == file_identity(image) &&
                   std::equal(ready->targets.begin(), ready->targets.end(), targets.begin(), targets.end(), same) &&
                   (!ready->child->known() || !ready->child->result().complaint);
        };
        const auto ready = std::find_if(prepared.begin(), prepared.end(), fits);
        std::unique_ptr<Making> making;
        if (ready != prepared.end()) {
            making = std::move(*ready);
            making->monitors = std::move(drawn);
        } else {
            making = make(image, std::move(drawn), std::move(targets), false);
        }
        making_.push_back(std::move(making));
    }
    for (const std::unique_ptr<Making>& making : making_) watch(*making, true);
    if (making_.empty()) {
        report("Zelvo has no monitor to draw on now");
        later_.schedule(std::chrono::microseconds(0));
        return true;
    }
    made();
    return true;
}

void ZelvoViewer::made() {
    if (painting_) return;
    for (const std::unique_ptr<Making>& making : making_)
        if (!making->child->known()) return;
    paint();
}

// Every picture of the change is known: they go to the display server together.
void ZelvoViewer::paint() {
    painting_ = true;
    std::vector<Picture> pictures(monitors_.size());
    std::vector<OutputPictures> outputs;
    showing_at_.assign(monitors_.size(), std::nullopt);
    bool any = false;
    for (const std::unique_ptr<Making>& making : making_) {
        PictureResult& result = making->child->result();
        if (result.complaint) {
            report("%s", result.complaint->c_str());
            continue;
        }
        for (std::size_t at = 0; at < making->monitors.size() && at < result.pictures.size(); ++at) {
            const std::size_t monitor = making->monitors[at];
            any = true;
            showing_at_[monitor] = 0;
            if (x_)
                pictures[monitor] = std::move(result.pictures[at]);
            else
                outputs.push_back(OutputPictures{monitors_[monitor].name,
                                                 {std::make_shared<const Picture>(std::move(result.pictures[at]))},
                                                 transitions_[monitor]});
        }
    }
    // An image that could not be drawn leaves the picture before on screen.
    if (!any) {
        later_.schedule(std::chrono::microseconds(0));
        return;
    }
    if (x_) {
        // The whole root is drawn at once: a monitor without a picture of its
        // own keeps what the root showed there. Each monitor that changes
        // goes from the picture on screen to its new one by its own
        // transition, all of them on one clock.
        // A show of a change since left behind goes on to its end while the
        // newer one's pictures are made: its end is not this change's.
        x_->show(monitors_, pictures, transitions_, [this, change = change_](const XShown& shown) {
            if (change != change_) return;
            frames_drawn_ = shown.frames_drawn;
            frames_asked_ = shown.frames_asked;
            // One clock for all: each monitor that moved had the show's frames.
            x_frames_.resize(transitions_.size());
            for (std::size_t monitor = 0; monitor < transitions_.size(); ++monitor) {
                if (transitions_[monitor].kind == Transition::Kind::none) continue;
                x_frames_[monitor].delivered += shown.frames_drawn;
                x_frames_[monitor].asked += shown.frames_asked;
            }
            painted(shown.on_screen);
        });
        making_.clear();
        return;
    }
    WaylandPainter* painter = wayland();
    wayland_show_ = painter != nullptr ? painter->show(outputs) : std::nullopt;
    making_.clear();
    if (!wayland_show_) later_.schedule(std::chrono::microseconds(0));
}

// The change is on screen, or could not be drawn (the picture before stays):
// either way what follows the change may follow now.
void ZelvoViewer::painted(bool drawn) {
    painting_ = false;
    making_.clear();
    if (drawn) {
        // A monitor whose image could not be drawn keeps the one before.
        const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
        shown_at_.resize(showing_at_.size());
        on_screen_images_.resize(showing_at_.size());
        for (std::size_t monitor = 0; monitor < showing_at_.size(); ++monitor) {
            if (!showing_at_[monitor]) continue;
            shown_at_[monitor] = now;
            if (monitor < showing_images_.size()) on_screen_images_[monitor] = showing_images_[monitor];
        }
    }
    const bool first_drawn = drawn && !showing_at_.empty() && showing_at_.front();
    showing_at_.clear();
    const OnScreen on_screen = on_screen_;
    on_screen(first_drawn);
    start_preparing();
}

std::vector<Viewer::Frames> ZelvoViewer::frames() const {
    if (x_) return x_frames_;
    std::vector<Frames> counted;
    const std::vector<Monitor>& monitors = display_.monitors();
    for (const Monitor& monitor : monitors) {
        Frames frames;
        if (wayland_) frames = Frames{wayland_->frames_delivered(monitor.name), wayland_->frames_asked(monitor.name)};
        counted.push_back(frames);
    }
    return counted;
}

void ZelvoViewer::prepare(const std::vector<std::string>& next) {
    next_ = next;
    if (!painting_ && making_.empty()) start_preparing();
}

// The next change's pictures, made in the background while this one rests;
// not for a URL, whose content may change before its turn, nor for a file
// that is not a regular file now.
void ZelvoViewer::start_preparing() {
    if (quitting_ || next_.empty()) return;
    const std::vector<Monitor> monitors = drawn_monitors();
    std::vector<std::unique_ptr<Making>> kept = std::move(prepared_);
    prepared_.clear();
    for (auto& found : images_of(next_, monitors.size())) {
        const std::string& image = found.first;
        std::vector<std::size_t>& drawn = found.second;
        if (is_url(image) || !file_identity(image)) continue;
        std::vector<std::size_t> at;
        std::vector<PictureTarget> targets;
        for (const std::size_t monitor : drawn) {
            if (std::optional<PictureTarget> wanted = target(monitors[monitor], monitor)) {
                at.push_back(monitor);
                targets.push_back(std::move(*wanted));
            }
        }
        if (at.empty()) continue;
        // One being prepared already for the very same is kept.
        const auto same = std::find_if(kept.begin(), kept.end(), [&](const std::unique_ptr<Making>& ready) {
            return ready && ready->image == image && ready->file == file_identity(image) && ready->monitors == at;
        });
        if (same != kept.end()) {
            prepared_.push_back(std::move(*same));
            continue;
        }
        prepared_.push_back(make(image, std::move(at), std::move(targets), true));
        watch(*prepared_.back(), false);
    }
}

void ZelvoViewer::quit() {
    quitting_ = true;
    // A transition under way ends at once, leaving a whole picture.
    if (x_) x_->finish_now();
    if (wayland_) wayland_->finish_transitions();
    // Pictures for a change that will not come are not worth a second more.
    prepared_.clear();
}

void ZelvoViewer::after_loop() {
    later_.cancel();
    making_.clear();
    prepared_.clear();
    wayland_.reset();
    x_.reset();
}

}  // namespace zelvo
