#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "cycle/viewer.h"
#include "display/swaybg.h"
#include "process/worker_job.h"

namespace zelvo {

// What swaybg is given at a change.
struct SwaybgPlan {
    std::vector<SwaybgOutput> outputs;
    // The first URL among the images: swaybg reads only files.
    std::optional<std::string> url_passed_over;
};

// Each output, in order, gets the image of its monitor (an output beyond
// the images takes them again from the first, as feh does with its heads)
// in its monitor's mode: its group's "bg-style", else the main one. An
// output whose image is a URL keeps the image it had in `before`, or is left
// out.
SwaybgPlan plan_swaybg_outputs(const std::vector<Monitor>& outputs, const std::vector<std::string>& images,
                               const Config& config, const std::vector<SwaybgOutput>& before);

// Removes from the runtime directory the copies of URLs, whole or still
// being fetched, that daemons no longer running left there.
void remove_stale_swaybg_copies(const std::string& runtime_directory);

// The wallpapers on Wayland through swaybg: one swaybg for every output,
// kept running, and handed over to the next one at each change (see
// SwaybgHandover). swaybg reads only files: a URL is fetched first, in a
// bounded worker, into a private copy in the runtime directory, which goes
// once nothing shows it.
class SwaybgViewer final : public Viewer {
public:
    explicit SwaybgViewer(const ViewerSetting& setting);
    ~SwaybgViewer() override;

    bool show(const Change& change) override;
    std::string failure() const override { return "swaybg could not be started"; }
    void reconfigure() override;
    void child_ended() override;
    void quit() override;
    void after_loop() override;

private:
    void show_images();
    void arm_timer();
    const std::string* copy_of(const std::string& url) const;
    void remove_unused_copies();
    void fetch(const std::string& url);
    void fetched(const std::string& url, const std::string& file, const std::optional<std::string>& answer);

    event_base* base_;
    const RunOptions& options_;
    const Display& display_;
    const RuntimeDirectory* runtime_;
    std::string swaybg_program;
    ForkedProcesses processes_;
    // None once the loop has ended.
    std::unique_ptr<SwaybgHandover> handover_;
    TimerEvent timer_;
    // The image each output was given last.
    std::vector<SwaybgOutput> outputs_;
    // The images of the last change as asked for; the URLs among them
    // fetched to private copies (URL, file); the fetch under way and the file
    // it writes; and the URLs that could not be fetched for these images.
    std::vector<std::string> images_;
    std::vector<std::pair<std::string, std::string>> copies_;
    std::unique_ptr<WorkerJob> fetch_;
    std::string fetching_;
    std::vector<std::string> unfetched_;
    std::uint64_t copy_count_ = 0;
};

}  // namespace zelvo
