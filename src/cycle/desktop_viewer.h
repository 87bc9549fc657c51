#pragma once

#include <memory>
#include <string>

#include "cycle/viewer.h"
#include "desktop/desktop_setter.h"

namespace zelvo {

// Whether the display's connection is wanted for the names of the monitors:
// a desktop that gives each monitor a picture of its own by its name (Xfce).
bool desktop_wants_monitor_names(const RunOptions& options);

// The wallpaper set through the running desktop's own settings (see
// DesktopSetter), which the desktop draws over the root window: each
// monitor's image and fit, the monitors named as the display names them.
class DesktopViewer final : public Viewer {
public:
    explicit DesktopViewer(const ViewerSetting& setting);

    bool show(const Change& change) override;
    std::string failure() const override { return "the desktop's settings could not be set"; }
    void child_ended() override { setter_.on_child(); }
    void quit() override { setter_.quit(); }
    void after_loop() override { setter_.after_loop(); }

private:
    const RunOptions& options_;
    const Display& display_;
    DesktopSetter setter_;
};

}  // namespace zelvo
