#include "cycle/display.h"

#include <algorithm>

#include "cycle/desktop_viewer.h"
#include "support/log.h"
#include "process/worker.h"

namespace zelvo {

namespace {

// A display that has gone is tried again after a second, then after twice as
// long each time, up to this; the changes try it too.
constexpr int most_retry_seconds = 30;
// A display whose changes outran one reading is read again this soon.
constexpr std::chrono::milliseconds behind_retry{10};

// The viewers that name every output they draw on: without a number of
// their own, the count is the compositor's.
bool draws_each_output(const Config& config) { return config.viewer == ViewerKind::swaybg || config.viewer == ViewerKind::zelvo; }

}  // namespace

std::int32_t monitor_count(const RunOptions& options, int display_monitors) {
    std::int32_t count = 1;
    if (options.monitors >= 1)
        count = options.monitors;
    else if (options.config &&
             (options.config->monitors_auto || (draws_each_output(*options.config) && !options.config->monitors_counted)))
        count = std::max(display_monitors, 1);
    else if (options.config && options.config->monitors >= 1)
        count = options.config->monitors;
    // A mistyped count would otherwise make a change of billions of images.
    return std::min<std::int32_t>(count, static_cast<std::int32_t>(most_display_monitors));
}

Display::Display(event_base* base, RunOptions& options, Listener listener)
    : base_(base), options_(options), listener_(std::move(listener)), retry_(base, [this] { retried(); }) {}

Display::~Display() { drop(); }

bool Display::counting() const {
    const Config& config = *options_.config;
    return config.monitors_auto || draws_each_output(config);
}

// The viewers that draw on each output need the outputs' names whatever the
// count: they always have the connection.
bool Display::wanted() const {
    if (draws_each_output(*options_.config)) return true;
    // Xfce gives each monitor its picture by the monitor's name.
    if (options_.config->viewer == ViewerKind::desktop && desktop_wants_monitor_names(options_)) return true;
    return options_.monitors < 1 && options_.config->monitors_auto;
}

const std::vector<Monitor>& Display::monitors() const {
    static const std::vector<Monitor> none;
    return connected() ? source_->monitors() : none;
}

void Display::set_count(std::size_t count) {
    display_monitors_ = static_cast<int>(std::clamp<std::size_t>(count, 1, most_display_monitors));
}

// The loop lets go of the descriptor before the connection closes it.
void Display::unwatch(int descriptor) {
    if (!readable_ || readable_->descriptor() != descriptor) return;
    readable_.reset();
    forget_in_workers(descriptor);
}

void Display::connect(std::function<void()> then) {
    drop();
    if (!wanted()) {
        display_monitors_ = 0;
        then();
        return;
    }
    if (options_.config->viewer == ViewerKind::swaybg ||
        (options_.config->viewer == ViewerKind::zelvo && options_.wayland_display))
        source_ = wayland_monitor_source(options_.wayland_display.value_or(""));
    else
        source_ = x_monitor_source(base_, options_.display, options_.xauthority);
    source_->on_closing([this](int descriptor) { unwatch(descriptor); });
    then_ = std::move(then);
    reach();
}

// One try to reach the display; reached() follows, now or from the loop.
void Display::reach() {
    reaching_ = true;
    source_->connect([this](bool connected) { reached(connected); });
}

void Display::reached(bool connected) {
    reaching_ = false;
    if (!connected) {
        set_count(1);
        if (!away_said_)
            report("Zelvo cannot reach the display %s (%s) and counts one monitor until it can", source_->name().c_str(),
                   source_->failure().c_str());
        away_said_ = true;
        retry_seconds_ = std::clamp(retry_seconds_ * 2, 1, most_retry_seconds);
        retry_.schedule(std::chrono::seconds(retry_seconds_));
    } else {
        away_said_ = false;
        retry_seconds_ = 0;
        retry_.cancel();
        const int descriptor = source_->descriptor();
        close_in_workers(descriptor);
        readable_ = std::make_unique<DescriptorEvent>(base_, descriptor, DescriptorEvent::Ready::read,
                                                      [this] { take_events(); });
        readable_->start();
    }
    // The first try of a connect: what waited for it follows, with the monitors counted.
    if (then_) {
        if (connected) {
            heard_ = source_->monitors();
            set_count(heard_.size());
        }
        const std::function<void()> then = std::move(then_);
        then_ = nullptr;
        then();
        return;
    }
    if (!connected) return;
    // Reached right before a change: what it has now is counted, and the change shows them all.
    if (before_change_) {
        heard_ = source_->monitors();
        set_count(heard_.size());
        listener_.recounted();
        return;
    }
    // Back: whatever it shows now is laid out afresh.
    changed();
}

// The display's monitors changed (or it came back): each monitor that it
// still has keeps what it had, and a new one is new.
void Display::changed() {
    const std::vector<Monitor>& now = source_->monitors();
    const std::vector<std::optional<std::size_t>> matched = monitors_matched(heard_, now);
    set_count(now.size());
    heard_ = now;
    const std::size_t counted = static_cast<std::size_t>(count());
    report("Zelvo counts %zu %s on display %s", counted, counted == 1 ? "monitor" : "monitors", source_->name().c_str());
    std::vector<std::optional<std::size_t>> kept(matched.begin(), matched.end());
    kept.resize(counted);
    listener_.changed(kept);
}

void Display::take_events() {
    const bool news = source_->take_events();
    if (!source_->connected()) {
        report("Zelvo lost the display %s (%s) and counts one monitor until it is back", source_->name().c_str(),
               source_->failure().c_str());
        away_said_ = true;
        set_count(1);
        retry_seconds_ = 1;
        retry_.schedule(std::chrono::seconds(1));
        listener_.recounted();
        return;
    }
    if (source_->behind()) retry_.schedule(behind_retry);
    if (news) changed();
}

void Display::retried() {
    if (!source_ || reaching_) return;
    if (source_->connected()) {
        take_events();
        return;
    }
    reach();
}

void Display::reach_before_change() {
    if (!source_ || reaching_ || source_->connected()) return;
    before_change_ = true;
    reach();
    before_change_ = false;
}

void Display::drop() {
    if (source_ && listener_.dropping) listener_.dropping();
    if (source_) source_->disconnect();
    source_.reset();
    readable_.reset();
    retry_.cancel();
    retry_seconds_ = 0;
    away_said_ = false;
    reaching_ = false;
    then_ = nullptr;
}

}  // namespace zelvo
