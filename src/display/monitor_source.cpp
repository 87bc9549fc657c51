#include "display/monitor_source.h"

#include "display/x_monitors.h"

namespace zelvo {

namespace {

class XMonitorSource final : public MonitorSource {
public:
    XMonitorSource(std::optional<std::string> display, std::optional<std::string> xauthority)
        : display_(std::move(display)), xauthority_(std::move(xauthority)), name_(display_.value_or(":0")) {
        monitors_.on_closing([this](int descriptor) { closing(descriptor); });
    }

    bool connect() override { return monitors_.connect(display_, xauthority_); }
    void disconnect() override { monitors_.disconnect(); }
    bool connected() const override { return monitors_.connected(); }
    int descriptor() const override { return monitors_.descriptor(); }
    const std::vector<Monitor>& monitors() const override { return monitors_.monitors(); }
    const std::string& failure() const override { return monitors_.failure(); }
    bool take_events() override { return monitors_.take_events(); }
    bool behind() const override { return monitors_.behind(); }
    const std::string& name() const override { return name_; }

private:
    std::optional<std::string> display_;
    std::optional<std::string> xauthority_;
    std::string name_;
    XMonitors monitors_;
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

std::unique_ptr<MonitorSource> x_monitor_source(std::optional<std::string> display,
                                                std::optional<std::string> xauthority) {
    return std::make_unique<XMonitorSource>(std::move(display), std::move(xauthority));
}

}  // namespace zelvo
