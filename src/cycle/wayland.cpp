// The viewer step on Wayland: one swaybg for every output, kept running, and
// handed over to the next one at each change.

#include <chrono>
#include <csignal>
#include <cstdlib>

#include "cycle/cycle.h"
#include "support/children.h"
#include "support/log.h"

namespace zelvo {

namespace {

void on_swaybg_timer(evutil_socket_t, short, void* argument);

// The timer follows the viewer's next step, or rests.
void arm_swaybg_timer(DaemonState& state) {
    if (!state.swaybg_timer) return;
    event_del(state.swaybg_timer.get());
    const std::optional<ViewerClock::time_point> deadline = state.swaybg->deadline();
    if (!deadline) return;
    const auto left = std::chrono::ceil<std::chrono::microseconds>(*deadline - ViewerClock::now()).count();
    const long long micro = left > 0 ? left : 0;
    const timeval wait{static_cast<time_t>(micro / 1000000), static_cast<suseconds_t>(micro % 1000000)};
    event_add(state.swaybg_timer.get(), &wait);
}

void on_swaybg_timer(evutil_socket_t, short, void* argument) {
    DaemonState& state = *static_cast<DaemonState*>(argument);
    state.swaybg->on_deadline(ViewerClock::now());
    arm_swaybg_timer(state);
}

SwaybgViewer& swaybg_viewer(DaemonState& state) {
    if (!state.swaybg) {
        state.swaybg = std::make_unique<SwaybgViewer>(state.swaybg_processes);
        state.swaybg_timer.reset(event_new(state.events->base.get(), -1, 0, on_swaybg_timer, &state));
        if (!state.swaybg_timer) std::abort();
    }
    return *state.swaybg;
}

}  // namespace

bool start_swaybg(DaemonState& state, char* const* viewer_argv) {
    std::vector<std::string> images;
    for (char* const* image = &viewer_argv[3]; *image != nullptr; ++image) images.emplace_back(*image);
    // Not connected: no output to draw on, and swaybg would end at once. The
    // compositor that comes back gets every output drawn.
    static const std::vector<Monitor> none;
    const std::vector<Monitor>& outputs =
        state.display && state.display->connected() ? state.display->monitors() : none;
    SwaybgPlan plan = plan_swaybg_outputs(outputs, images, *state.options.config, state.swaybg_outputs);
    if (plan.url_passed_over)
        report("Zelvo cannot show the URL %s with swaybg and keeps the image before", plan.url_passed_over->c_str());
    if (plan.outputs.empty()) return true;
    SwaybgViewer& viewer = swaybg_viewer(state);
    const RunOptions& options = state.options;
    viewer.show(SwaybgCall{state.swaybg_program, build_swaybg_argv(plan.outputs),
                           build_swaybg_envp(options.wayland_display, options.runtime_directory, options.home)},
                ViewerClock::now());
    state.swaybg_outputs = std::move(plan.outputs);
    arm_swaybg_timer(state);
    return true;
}

void swaybg_children_ended(DaemonState& state) {
    if (!state.swaybg) return;
    bool any = false;
    for (const pid_t child : state.swaybg->children()) {
        if (!child_ended(child)) continue;
        state.swaybg->on_child_ended(child, ViewerClock::now());
        children_forget(child, ChildFate::killed);
        any = true;
    }
    if (any) arm_swaybg_timer(state);
}

void end_swaybg(DaemonState& state) {
    if (!state.swaybg) return;
    state.swaybg->end_all(ViewerClock::now());
    state.swaybg_outputs.clear();
    arm_swaybg_timer(state);
}

void swaybg_after_loop(DaemonState& state) {
    if (!state.swaybg) return;
    state.swaybg_timer.reset();
    // Unreaped until here, so that each pid is still the swaybg's own.
    for (const pid_t child : state.swaybg->children()) {
        state.swaybg_processes.signal(child, SIGKILL);
        children_forget(child, ChildFate::killed);
    }
    state.swaybg.reset();
}

}  // namespace zelvo
