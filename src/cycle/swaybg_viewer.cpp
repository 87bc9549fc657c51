#include "cycle/swaybg_viewer.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "colour/colour_child.h"
#include "colour/fetch.h"
#include "config/monitors.h"
#include "control/runtime_directory.h"
#include "cycle/display.h"
#include "process/children.h"
#include "support/directory.h"
#include "support/log.h"
#include "support/url.h"
#include "process/worker.h"

namespace zelvo {

namespace {

bool among(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

// What a copy is called in the runtime directory: "swaybg-PID-N", and ".part" while it is fetched.
constexpr const char* copy_prefix = "swaybg-";

}  // namespace

SwaybgPlan plan_swaybg_outputs(const std::vector<Monitor>& outputs, const std::vector<std::string>& images,
                               const Config& config, const std::vector<SwaybgOutput>& before) {
    SwaybgPlan plan;
    for (std::size_t index = 0; index < outputs.size() && !images.empty(); ++index) {
        const std::string& name = outputs[index].name;
        std::string image = images[index % images.size()];
        if (is_url(image)) {
            if (!plan.url_passed_over) plan.url_passed_over = image;
            const auto kept = std::find_if(before.begin(), before.end(),
                                           [&name](const SwaybgOutput& output) { return output.name == name; });
            if (kept == before.end()) continue;
            image = kept->image;
        }
        plan.outputs.push_back(SwaybgOutput{name, std::move(image), swaybg_mode(monitor_bg_style(config, index))});
    }
    return plan;
}

void remove_stale_swaybg_copies(const std::string& runtime_directory) {
    const DirectoryPtr folder(opendir(runtime_directory.c_str()));
    if (!folder) return;
    while (const dirent* entry = readdir(folder.get())) {
        const std::string_view name = entry->d_name;
        if (!name.starts_with(copy_prefix)) continue;
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name + std::strlen(copy_prefix), &end, 10);
        if (pid <= 0 || end == nullptr || *end != '-') continue;
        // A daemon that still runs keeps its copies; a number that no process has is a dead one's.
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        unlinkat(dirfd(folder.get()), entry->d_name, 0);
    }
}

SwaybgViewer::SwaybgViewer(const ViewerSetting& setting)
    : base_(setting.base),
      options_(setting.options),
      display_(setting.display),
      runtime_(setting.runtime),
      handover_(std::make_unique<SwaybgHandover>(processes_)),
      timer_(setting.base, [this] {
          handover_->on_deadline(ViewerClock::now());
          arm_timer();
      }) {
    reconfigure();
}

SwaybgViewer::~SwaybgViewer() { after_loop(); }

void SwaybgViewer::reconfigure() {
    swaybg_program = options_.config->swaybg_path.value_or(options_.swaybg_path);
}

// The timer follows the handover's next step, or rests.
void SwaybgViewer::arm_timer() {
    timer_.cancel();
    if (const std::optional<ViewerClock::time_point> deadline = handover_->deadline()) timer_.schedule_at(*deadline);
}

bool SwaybgViewer::show(const Change& change) {
    // A URL that failed is tried again at a change that asks for it again.
    if (change.images != images_) unfetched_.clear();
    images_ = change.images;
    show_images();
    return true;
}

const std::string* SwaybgViewer::copy_of(const std::string& url) const {
    for (const auto& [from, file] : copies_)
        if (from == url) return &file;
    return nullptr;
}

// Copies that neither the swaybg just started nor the images asked for use go.
void SwaybgViewer::remove_unused_copies() {
    std::erase_if(copies_, [this](const std::pair<std::string, std::string>& copy) {
        const bool shown = std::any_of(outputs_.begin(), outputs_.end(),
                                       [&copy](const SwaybgOutput& output) { return output.image == copy.second; });
        if (shown || among(images_, copy.first)) return false;
        unlink(copy.second.c_str());
        return true;
    });
}

// The copy of a URL has come, or could not: swaybg is given what there is now.
void SwaybgViewer::fetched(const std::string& url, const std::string& file, const std::optional<std::string>& answer) {
    fetch_.reset();
    fetching_.clear();
    if (answer && answer->empty()) {
        copies_.emplace_back(url, file);
    } else {
        unlink(file.c_str());
        report("Zelvo could not fetch %s for swaybg (%s) and keeps the image before", url.c_str(),
               answer ? answer->c_str() : "it took too long");
        unfetched_.push_back(url);
    }
    if (among(images_, url)) show_images();
    remove_unused_copies();
}

// Fetches the URL into a private file of the runtime directory, in a worker
// bounded as the colour step's fetch is, while the loop goes on.
void SwaybgViewer::fetch(const std::string& url) {
    if (runtime_ == nullptr) {
        report("Zelvo cannot show the URL %s with swaybg and keeps the image before", url.c_str());
        unfetched_.push_back(url);
        return;
    }
    const std::string file =
        runtime_->path() + "/" + copy_prefix + std::to_string(getpid()) + "-" + std::to_string(++copy_count_);
    const auto until = std::chrono::steady_clock::now() + colour_deadline;
    auto task = [&url, &file, until]() -> std::string {
        limit_worker(static_cast<rlim_t>(most_fetched_bytes));
        return fetch_url_whole(url, file, until).value_or("");
    };
    fetch_ = std::make_unique<WorkerJob>(
        base_, task, colour_deadline,
        [this, url, file](std::optional<std::string> answer) { fetched(url, file, answer); });
    if (!fetch_->started()) {
        fetch_.reset();
        unfetched_.push_back(url);
        return;
    }
    fetching_ = file;
}

// Gives swaybg the images asked for last: a URL by its copy, else, while it
// is fetched or when it could not be, the output keeps the image before.
void SwaybgViewer::show_images() {
    std::vector<std::string> images = images_;
    for (std::string& image : images)
        if (const std::string* copy = copy_of(image)) image = *copy;
    // Not connected: no output to draw on, and swaybg would end at once. The
    // compositor that comes back gets every output drawn.
    SwaybgPlan plan = plan_swaybg_outputs(display_.monitors(), images, *options_.config, outputs_);
    if (plan.url_passed_over && !fetch_ && !among(unfetched_, *plan.url_passed_over)) fetch(*plan.url_passed_over);
    if (plan.outputs.empty()) return;
    handover_->show(SwaybgCall{swaybg_program, build_swaybg_argv(plan.outputs),
                              build_swaybg_envp(options_.wayland_display, options_.runtime_directory, options_.home)},
                   ViewerClock::now());
    outputs_ = std::move(plan.outputs);
    arm_timer();
    remove_unused_copies();
}

void SwaybgViewer::child_ended() {
    if (!handover_) return;
    bool any = false;
    for (const pid_t child : handover_->children()) {
        if (!zelvo::child_ended(child)) continue;
        handover_->on_child_ended(child, ViewerClock::now());
        // Whatever it started and left behind ends with it, while its group is still its own.
        processes_.signal(child, SIGKILL);
        children_forget(child, ChildFate::killed);
        any = true;
    }
    if (any) arm_timer();
}

void SwaybgViewer::quit() {
    fetch_.reset();
    // A fetch that was killed leaves its part behind.
    if (!fetching_.empty()) unlink((fetching_ + ".part").c_str());
    fetching_.clear();
    images_.clear();
    outputs_.clear();
    remove_unused_copies();
    handover_->end_all(ViewerClock::now());
    arm_timer();
}

void SwaybgViewer::after_loop() {
    fetch_.reset();
    if (!fetching_.empty()) unlink((fetching_ + ".part").c_str());
    fetching_.clear();
    timer_.cancel();
    if (!handover_) return;
    // Unreaped until here, so that each group is still the swaybg's own.
    for (const pid_t child : handover_->children()) {
        processes_.signal(child, SIGKILL);
        children_forget(child, ChildFate::killed);
    }
    handover_.reset();
}

}  // namespace zelvo
