#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "config/run_options.h"
#include "support/event.h"
#include "process/worker_job.h"

namespace zelvo {

// An edit of the favourites or the banned images, asked for by a client.
struct ListRequest {
    enum class Kind { favourite, ban, unban } kind;
    std::uint64_t client = 0;
    std::vector<std::string> paths;  // the images on screen, or the one to unban
};

// The favourites and the banned images: each edit of ~/.zelvo/favourites or
// ~/.zelvo/banned runs in a worker of its own, one after the other, in the
// order asked for, so that neither a slow disk nor a large list holds the
// loop up.
class ListEditor {
public:
    struct Listener {
        // The reply to the client that asked.
        std::function<void(std::uint64_t client, const std::string& reply)> reply;
        // The list holds these images now: by the names asked for and by their real paths.
        std::function<void(const std::vector<std::string>& images)> banned;
        std::function<void(const std::vector<std::string>& images)> unbanned;
    };

    // The rings are the start-up record's: a ban's worker finds in its copy
    // of them every entry that leads to a banned file.
    ListEditor(event_base* base, const RunOptions& options, Listener listener);

    void ask(ListRequest request);
    // A quit: the edit at work goes, and none starts from now on.
    void quit();

private:
    void run_next();
    void finish(const ListRequest& request, std::optional<std::string> answer);

    event_base* base_;
    const RunOptions& options_;
    Listener listener_;
    std::deque<ListRequest> requests_;
    std::unique_ptr<WorkerJob> job_;
    bool quitting_ = false;
};

}  // namespace zelvo
