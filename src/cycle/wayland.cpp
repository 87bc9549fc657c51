// The viewer step on Wayland: one swaybg for every output, kept running, and
// handed over to the next one at each change.

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "colour/colour_child.h"
#include "colour/fetch.h"
#include "cycle/cycle.h"
#include "support/children.h"
#include "support/log.h"
#include "support/worker.h"

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

bool among(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

const std::string* copy_of(const DaemonState& state, const std::string& url) {
    for (const auto& [from, file] : state.swaybg_copies)
        if (from == url) return &file;
    return nullptr;
}

// Copies that neither the swaybg just started nor the images asked for use go.
void remove_unused_copies(DaemonState& state) {
    std::erase_if(state.swaybg_copies, [&state](const std::pair<std::string, std::string>& copy) {
        const bool shown = std::any_of(state.swaybg_outputs.begin(), state.swaybg_outputs.end(),
                                       [&copy](const SwaybgOutput& output) { return output.image == copy.second; });
        if (shown || among(state.swaybg_images, copy.first)) return false;
        unlink(copy.second.c_str());
        return true;
    });
}

void show_swaybg(DaemonState& state);

// The copy of a URL has come, or could not: swaybg is given what there is now.
void on_fetched(DaemonState& state, const std::string& url, const std::string& file,
                const std::optional<std::string>& answer) {
    state.swaybg_fetch.reset();
    if (answer && answer->empty()) {
        state.swaybg_copies.emplace_back(url, file);
    } else {
        unlink(file.c_str());
        report("Zelvo could not fetch %s for swaybg (%s) and keeps the image before", url.c_str(),
               answer ? answer->c_str() : "it took too long");
        state.swaybg_unfetched.push_back(url);
    }
    if (among(state.swaybg_images, url)) show_swaybg(state);
    remove_unused_copies(state);
}

// Fetches the URL into a private file of the runtime directory, in a worker
// bounded as the colour step's fetch is, while the loop goes on.
void fetch_for_swaybg(DaemonState& state, const std::string& url) {
    if (state.runtime == nullptr) {
        report("Zelvo cannot show the URL %s with swaybg and keeps the image before", url.c_str());
        state.swaybg_unfetched.push_back(url);
        return;
    }
    const std::string file = state.runtime->path() + "/swaybg-" + std::to_string(getpid()) + "-" +
                             std::to_string(++state.swaybg_copy_count);
    const auto until = std::chrono::steady_clock::now() + colour_deadline;
    auto task = [&url, &file, until]() -> std::string {
        limit_worker(static_cast<rlim_t>(most_fetched_bytes));
        const std::string part = file + ".part";
        if (std::optional<std::string> why = fetch_url(url, part, until)) {
            unlink(part.c_str());
            return *why;
        }
        // swaybg never sees half a file.
        if (rename(part.c_str(), file.c_str()) != 0) return std::strerror(errno);
        return "";
    };
    state.swaybg_fetch = std::make_unique<WorkerJob>(
        state.events->base.get(), task, colour_deadline,
        [&state, url, file](std::optional<std::string> answer) { on_fetched(state, url, file, answer); });
    if (!state.swaybg_fetch->started()) {
        state.swaybg_fetch.reset();
        state.swaybg_unfetched.push_back(url);
    }
}

// Gives swaybg the images asked for last: a URL by its copy, else, while it
// is fetched or when it could not be, the output keeps the image before.
void show_swaybg(DaemonState& state) {
    std::vector<std::string> images = state.swaybg_images;
    for (std::string& image : images)
        if (const std::string* copy = copy_of(state, image)) image = *copy;
    // Not connected: no output to draw on, and swaybg would end at once. The
    // compositor that comes back gets every output drawn.
    static const std::vector<Monitor> none;
    const std::vector<Monitor>& outputs =
        state.display && state.display->connected() ? state.display->monitors() : none;
    SwaybgPlan plan = plan_swaybg_outputs(outputs, images, *state.options.config, state.swaybg_outputs);
    if (plan.url_passed_over && !state.swaybg_fetch && !among(state.swaybg_unfetched, *plan.url_passed_over))
        fetch_for_swaybg(state, *plan.url_passed_over);
    if (plan.outputs.empty()) return;
    SwaybgViewer& viewer = swaybg_viewer(state);
    const RunOptions& options = state.options;
    viewer.show(SwaybgCall{state.swaybg_program, build_swaybg_argv(plan.outputs),
                           build_swaybg_envp(options.wayland_display, options.runtime_directory, options.home)},
                ViewerClock::now());
    state.swaybg_outputs = std::move(plan.outputs);
    arm_swaybg_timer(state);
    remove_unused_copies(state);
}

}  // namespace

bool start_swaybg(DaemonState& state, char* const* viewer_argv) {
    std::vector<std::string> images;
    for (char* const* image = &viewer_argv[3]; *image != nullptr; ++image) images.emplace_back(*image);
    // A URL that failed is tried again at a change that asks for it again.
    if (images != state.swaybg_images) state.swaybg_unfetched.clear();
    state.swaybg_images = std::move(images);
    show_swaybg(state);
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
    state.swaybg_fetch.reset();
    state.swaybg_images.clear();
    state.swaybg_outputs.clear();
    remove_unused_copies(state);
    if (!state.swaybg) return;
    state.swaybg->end_all(ViewerClock::now());
    arm_swaybg_timer(state);
}

void swaybg_after_loop(DaemonState& state) {
    state.swaybg_fetch.reset();
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
