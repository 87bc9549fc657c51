#include "display/monitor_source.h"

#include "display/wayland_outputs.h"
#include "display/x_connect.h"
#include "display/x_monitors.h"

namespace zelvo {

namespace {

// An X display, whose handshake runs on the connector's thread: a server
// that takes the connection and never answers costs the loop nothing but
// the connector's deadline, after which it counts as away. What follows the
// handshake (the monitors' first reading) is bounded by XMonitors.
class XMonitorSource final : public MonitorSource {
public:
    XMonitorSource(event_base* base, std::optional<std::string> display, std::optional<std::string> xauthority)
        : display_(std::move(display)), xauthority_(std::move(xauthority)), name_(display_.value_or(":0")),
          connector_(base) {
        monitors_.on_closing([this](int descriptor) { closing(descriptor); });
    }

    void connect(Reached reached) override {
        disconnect();
        // An empty name would have the handshake read the daemon's own $DISPLAY.
        if (name_.empty()) {
            failure_ = "the display name cannot be read";
            reached(false);
            return;
        }
        connector_.connect(name_, xauthority_, [this, reached = std::move(reached)](XConnected connected) {
            if (!connected.connection) {
                failure_ = connected.failure;
                reached(false);
                return;
            }
            const bool taken = monitors_.take_over(std::move(connected.connection), connected.screen);
            failure_ = monitors_.failure();
            reached(taken);
        });
    }
    void disconnect() override {
        connector_.cancel();
        monitors_.disconnect();
    }
    bool connected() const override { return monitors_.connected(); }
    int descriptor() const override { return monitors_.descriptor(); }
    const std::vector<Monitor>& monitors() const override { return monitors_.monitors(); }
    const std::string& failure() const override { return failure_; }
    bool take_events() override {
        const bool news = monitors_.take_events();
        if (!monitors_.connected()) failure_ = monitors_.failure();
        return news;
    }
    bool behind() const override { return monitors_.behind(); }
    const std::string& name() const override { return name_; }

private:
    std::optional<std::string> display_;
    std::optional<std::string> xauthority_;
    std::string name_;
    XConnector connector_;
    XMonitors monitors_;
    // Why the last connect failed or the connection was lost.
    std::string failure_;
};

class WaylandMonitorSource final : public MonitorSource {
public:
    explicit WaylandMonitorSource(std::string display) : display_(std::move(display)) {
        outputs_.on_closing([this](int descriptor) { closing(descriptor); });
    }

    void connect(Reached reached) override {
        disconnect();
        if (!outputs_.connect(display_)) {
            failure_ = "no compositor accepts the connection";
            reached(false);
            return;
        }
        // A compositor that answers slowly is followed through its events.
        outputs_.wait_ready(wayland_handshake);
        if (!outputs_.connected()) {
            failure_ = "the compositor ended the connection";
            reached(false);
            return;
        }
        reached(true);
    }
    void disconnect() override { outputs_.disconnect(); }
    bool connected() const override { return outputs_.connected(); }
    int descriptor() const override { return outputs_.descriptor(); }
    const std::vector<Monitor>& monitors() const override { return outputs_.monitors(); }
    const std::string& failure() const override { return failure_; }
    bool take_events() override {
        const bool news = outputs_.take_events();
        if (!outputs_.connected()) failure_ = "the connection was lost";
        return news;
    }
    bool behind() const override { return false; }
    const std::string& name() const override { return display_; }
    WaylandOutputs* wayland_outputs() override { return &outputs_; }

private:
    std::string display_;
    std::string failure_;
    WaylandOutputs outputs_;
};

}  // namespace

std::vector<std::optional<std::size_t>> monitors_matched(const std::vector<Monitor>& before,
                                                         const std::vector<Monitor>& now) {
    std::vector<std::optional<std::size_t>> matched(now.size());
    std::vector<bool> taken(before.size(), false);
    for (std::size_t index = 0; index < now.size(); ++index) {
        const std::string& name = now[index].name;
        for (std::size_t old = 0; old < before.size() && !matched[index]; ++old) {
            const bool same = name.empty() ? old == index && before[old].name.empty() : before[old].name == name;
            if (same && !taken[old]) {
                matched[index] = old;
                taken[old] = true;
            }
        }
    }
    return matched;
}

std::unique_ptr<MonitorSource> x_monitor_source(event_base* base, std::optional<std::string> display,
                                                std::optional<std::string> xauthority) {
    return std::make_unique<XMonitorSource>(base, std::move(display), std::move(xauthority));
}

std::unique_ptr<MonitorSource> wayland_monitor_source(std::string display) {
    return std::make_unique<WaylandMonitorSource>(std::move(display));
}

}  // namespace zelvo
