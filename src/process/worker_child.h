#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>

#include "process/process.h"
#include "process/worker.h"

namespace zelvo {

// A worker process (see fork_worker) with a channel back to the daemon. The
// worker runs its work with one end of a Unix socket pair, which carries bytes
// and, when needed, descriptors; the daemon reads the other end without
// blocking, when the loop says it is ready. The worker's pid is held unreaped
// until the worker has ended on its own or been killed, and only then handed
// to children_forget: no signal meant for it can reach a stranger that took
// its number. Its private folder, when it has one, goes once it has ended.
class WorkerChild {
public:
    // What the worker runs: the sending end of the channel, and its private
    // folder (null without one). The worker ends when it returns, through
    // _exit: nothing of the daemon's clean-up runs in it.
    using Work = std::function<void(int sending, const char* folder)>;

    // Starts the work in a worker with a private folder named after
    // `purpose` (none when null). When no worker can be made, started() is
    // false and failure() says why.
    WorkerChild(const char* purpose, const Work& work);
    // A worker still running is killed.
    ~WorkerChild();
    WorkerChild(const WorkerChild&) = delete;
    WorkerChild& operator=(const WorkerChild&) = delete;

    bool started() const { return channel_.get() >= 0; }
    const std::string& failure() const { return failure_; }
    // The daemon's end of the channel, non-blocking; -1 when none was made.
    // It stays open until the worker is destroyed, so that whatever watches
    // it can let go first, before its number can be another descriptor's.
    int descriptor() const { return channel_.get(); }
    pid_t pid() const { return pid_; }
    // The worker has let go of the channel: it ends on its own, and is reaped
    // unsignalled once it has.
    void finished();
    // Ends the worker now, with whatever it started in its group; `after`
    // runs once it has ended and is reaped (to remove what it left behind).
    void kill(std::function<void()> after = {});

private:
    void forget(bool killed, std::function<void()> after);

    pid_t pid_ = -1;
    UniqueDescriptor channel_;
    // Shared with whatever removes it once the worker has ended.
    std::shared_ptr<PrivateDirectory> folder_;
    std::string failure_;
};

}  // namespace zelvo
