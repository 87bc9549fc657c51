#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "picture/frame_blend.h"
#include "process/shared_memory.h"
#include "process/worker_child.h"

namespace zelvo {

// One output of a change with a transition: the picture on screen, the new
// one (both of the shape's size), and the ring of buffers its frames go
// into, all in sealed shared memory.
struct BlendOutput {
    BlendShape shape;
    const Picture* old_picture = nullptr;
    const Picture* new_picture = nullptr;
    std::vector<const Picture*> ring;
};

// Frame `frame` of an output at `progress`, to write into the part `write`
// of its ring buffer `slot`.
struct BlendAsk {
    std::uint32_t output = 0;
    std::uint32_t slot = 0;
    std::uint32_t frame = 0;
    double progress = 0;
    std::vector<PictureRect> write;
};

// The worker wrote the frame into the buffer.
struct BlendDone {
    std::uint32_t output = 0;
    std::uint32_t slot = 0;
    std::uint32_t frame = 0;

    bool operator==(const BlendDone&) const = default;
};

// No buffers in an output's ring beyond this.
inline constexpr std::size_t most_ring_slots = 4;

// The frames of a change's transitions, blended in a worker process with the
// picture step's bounds (its memory and processor time), which maps the
// pictures and the rings and writes each frame asked into its buffer, one
// frame at a time, in the order asked; the daemon maps nothing. The worker
// gets the memory by inheritance when it starts, and answers each frame
// once it is written, over its socket.
class BlendChild {
public:
    // Starts the worker; started() says whether it runs.
    explicit BlendChild(const std::vector<BlendOutput>& outputs);
    // A worker still running is killed.
    ~BlendChild() = default;
    BlendChild(const BlendChild&) = delete;
    BlendChild& operator=(const BlendChild&) = delete;

    bool started() const { return worker_.started(); }
    const std::string& failure() const { return worker_.failure(); }
    pid_t pid() const { return worker_.pid(); }
    // Readable when the worker has answered or ended.
    int descriptor() const { return worker_.descriptor(); }
    // Sends the ask without blocking; false when the worker takes no more.
    bool ask(const BlendAsk& ask);
    // What the worker has answered since, without blocking; none once it
    // has ended or answered what it could not have (then it is killed).
    std::optional<std::vector<BlendDone>> take();
    // Ends the worker now; it takes no more.
    void stop();

private:
    WorkerChild worker_;
    std::string received_;
    bool gone_ = false;
};

}  // namespace zelvo
