#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "cycle/viewer.h"
#include "images/launch_vector.h"

namespace zelvo {

// How long feh may take over one change before a change that waits behind
// it ends it: a feh that hangs (a file that never finishes loading) must not
// hold every later change back. A feh that is still at work then is
// superseded anyway: what it would draw is no longer what was asked for.
inline constexpr std::chrono::seconds feh_bound{2};

// feh, started at every change with the images of every monitor, which it
// lays out on the root window and ends. One feh at a time: two started close
// together may paint in either order, so the next one starts only once the one
// before has ended. Changes asked for meanwhile coalesce: the latest is drawn,
// and what is drawn last is always what was asked for last.
class FehViewer final : public Viewer {
public:
    explicit FehViewer(const ViewerSetting& setting);
    ~FehViewer() override;

    bool show(const Change& change) override;
    std::string failure() const override { return "feh could not be started"; }
    void reconfigure() override;
    void child_ended() override;
    void after_loop() override;

private:
    bool start(const LaunchVector& argv);
    void overdue();

    const RunOptions& options_;
    // The program started as the viewer, and its whole environment.
    std::string viewer_program;
    LaunchVector viewer_envp;
    // The feh at work, unreaped until it has ended, and when it started.
    pid_t running_ = -1;
    std::chrono::steady_clock::time_point started_;
    // The argument vector of the latest change asked for while one was at work.
    std::optional<LaunchVector> waiting_;
    TimerEvent bound_;
};

}  // namespace zelvo
