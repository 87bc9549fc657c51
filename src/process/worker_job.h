#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "support/event.h"
#include "process/worker_child.h"

namespace zelvo {

// A short task of the daemon's own, run in a worker so that nothing it does
// (a file of the user's read, parsed and replaced, a path resolved on a slow
// disk) holds up the loop. Its answer, a text, comes back through the
// worker's channel, which the loop watches; a task that overruns its
// deadline is killed. Ending a job never waits.
class WorkerJob {
public:
    // Starts the task; `done` runs in the loop with its answer, or with none
    // when the task failed, ended early or overran. It may destroy the job.
    // When no worker can be started (see started), `done` never runs.
    WorkerJob(event_base* base, const std::function<std::string()>& task, std::chrono::seconds deadline,
              std::function<void(std::optional<std::string>)> done);
    ~WorkerJob();
    WorkerJob(const WorkerJob&) = delete;
    WorkerJob& operator=(const WorkerJob&) = delete;

    bool started() const { return readable_ != nullptr; }
    // Runs once a worker that had to be killed (overrun, or the job ended
    // before it answered) has ended and is reaped: what it left half-way can
    // go then. It must not reach the job, which may be gone by then.
    void after_kill(std::function<void()> after) { after_kill_ = std::move(after); }

private:
    void on_readable();
    void finish(bool answered);

    WorkerChild worker_;
    std::unique_ptr<DescriptorEvent> readable_;
    TimerEvent overdue_;
    std::string received_;
    std::function<void(std::optional<std::string>)> done_;
    std::function<void()> after_kill_;
};

}  // namespace zelvo
