#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "display/monitor.h"
#include "process/process.h"
#include "process/shared_memory.h"
#include "process/worker_child.h"

namespace zelvo {

// What one monitor needs of a picture: its size in pixels, and the bg-style
// that fits the image to it.
struct PictureTarget {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::string bg_style;
};

// No more targets than the monitors a display may have.
inline constexpr std::size_t most_picture_targets = most_display_monitors;

// What a picture step gives: one picture for each target, in their order,
// or, when it gave up on the image, none and the line that says why.
struct PictureResult {
    std::vector<Picture> pictures;
    std::optional<std::string> complaint;
};

// The pictures of one image, made in a worker process with the colour
// step's bounds (its deadline, memory, processor time, formats and private
// folder): the worker decodes the image once (a URL is fetched first), fits
// it to each target as feh would, on black, and hands each picture back in
// sealed shared memory through the worker's socket. The daemon reads the
// socket without blocking when the loop says it is ready, and maps nothing.
class PictureChild {
public:
    // Starts the step; at a lower scheduling priority when in the
    // background. A step that cannot start, or targets beyond
    // most_picture_targets or without pixels, give the result at once.
    PictureChild(const std::string& image, std::vector<PictureTarget> targets, bool background);
    // A step still running is killed.
    ~PictureChild() = default;
    PictureChild(const PictureChild&) = delete;
    PictureChild& operator=(const PictureChild&) = delete;

    const std::string& image() const { return image_; }
    std::chrono::steady_clock::time_point deadline() const { return until_; }
    // The descriptor that becomes readable when the step sends or ends; -1
    // once the result is known. It stays open until the step is destroyed.
    int descriptor() const { return known() || !worker_ ? -1 : worker_->descriptor(); }
    bool known() const { return result_.has_value(); }
    // Takes what the step sent, without blocking; whether the result is known now.
    bool take();
    // Kills the step at once; its result is then that it overran.
    void kill_overdue();
    // Waits for the result until the deadline, and kills the step there; for
    // callers outside the daemon's loop.
    PictureResult& wait();
    // The result, once it is known; its pictures may be moved out.
    PictureResult& result() { return *result_; }

private:
    bool take_records();
    void gave_up(const std::string& why);

    std::string image_;
    std::vector<PictureTarget> targets_;
    std::chrono::steady_clock::time_point until_;
    std::optional<WorkerChild> worker_;
    std::string received_;
    std::vector<UniqueDescriptor> memories_;
    std::vector<Picture> pictures_;
    std::optional<PictureResult> result_;
};

}  // namespace zelvo
