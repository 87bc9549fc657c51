#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "support/event.h"
#include "support/process.h"

namespace zelvo {

// A short task of the daemon's own, run in a worker so that nothing it does
// (a file of the user's read, parsed and replaced, a path resolved on a slow
// disk) holds up the loop. Its answer, a text, comes back through a pipe that
// the loop watches; a task that overruns its deadline is killed. Ending a job
// never waits: its process is handed to children_forget.
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

private:
    static void on_readable(evutil_socket_t, short, void* argument);
    static void on_overdue(evutil_socket_t, short, void* argument);
    void finish(bool answered);

    pid_t pid_ = -1;
    UniqueDescriptor reader_;
    EventPtr readable_;
    EventPtr overdue_;
    std::string received_;
    std::function<void(std::optional<std::string>)> done_;
};

}  // namespace zelvo
