#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "colour/colour_file.h"
#include "process/worker_child.h"

namespace zelvo {

// The longest a colour step may take; then its process is killed.
inline constexpr std::chrono::seconds colour_deadline{20};

// What a colour step gives: the palette for the colour file (the default one
// when the image gives none) and, when the step gave up on the image, the
// line that says why.
struct ColourResult {
    Palette palette;
    std::optional<std::string> complaint;
};

// One colour step in a worker process with bounded memory that gets
// colour_deadline to finish: the image may come from a stranger, and a
// decoder that hangs, overruns or crashes must not take the daemon with it.
// The step writes no file of the daemon's: it sends the palette back through
// a pipe, whose end the daemon's loop watches while the step runs. Once the
// step is over (answered, overrun or no longer wanted) its process is killed
// and handed to children_forget, which removes its private folder once it has
// ended: ending a step never waits.
class ColourChild {
public:
    // Starts the step for the image (a file path or a URL) with the dark flag;
    // at a lower scheduling priority when in the background; through the
    // palette cache in the folder `cache`, when there is one. When no process
    // can be made, the result is known at once.
    ColourChild(const std::string& image_path, bool dark, bool background,
                const std::optional<std::string>& cache = std::nullopt);
    // A step still running is killed.
    ~ColourChild();
    ColourChild(const ColourChild&) = delete;
    ColourChild& operator=(const ColourChild&) = delete;

    const std::string& image() const { return image_; }
    bool dark() const { return dark_; }
    std::chrono::steady_clock::time_point deadline() const { return until_; }
    // The descriptor that becomes readable when the step sends or ends; -1
    // once the result is known.
    int descriptor() const { return known() || !worker_ ? -1 : worker_->descriptor(); }
    bool known() const { return result_.has_value(); }
    // Takes what the step sent, without blocking; whether the result is known now.
    bool take();
    // Waits for the result until the deadline, and kills the step there; for
    // callers outside the daemon's loop.
    const ColourResult& wait();
    // Kills the step at once; its result is then that it overran.
    void kill_overdue();
    // The result, once it is known.
    const ColourResult& result() const { return *result_; }
    // Closes the pipe once the result is known, and whatever watched it has let go.
    void close_pipe() {
        if (known()) worker_.reset();
    }

private:
    void finish();
    void gave_up(const char* why);
    void end_child();

    std::string image_;
    bool dark_;
    std::chrono::steady_clock::time_point until_;
    // The step's worker, with its private folder; none once its channel is closed.
    std::unique_ptr<WorkerChild> worker_;
    std::string received_;
    bool closed_ = false;  // the child and all it started have let go of the pipe
    std::optional<ColourResult> result_;
};

// A colour step started and waited for, its child reaped and its folder
// removed before it returns; for callers outside the daemon's loop.
ColourResult colour_step(const std::string& image_path, bool dark, const std::optional<std::string>& cache = std::nullopt);

}  // namespace zelvo
