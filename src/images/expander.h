#pragma once

#include <sys/types.h>

#include <cstddef>

#include "images/expand.h"
#include "images/string_list.h"
#include "support/event.h"
#include "process/worker_child.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zelvo {

// An expansion of sources in a worker process of its own, so that the
// daemon's loop goes on serving signals, the timer and zelvoctl while
// directories are listed and images probed. The worker leads a process group
// with its probers, so that ending it ends them all at once. It sends the
// images back through a pipe, each as its length and its bytes, and a last
// mark once the expansion is complete; the loop takes them a little at a time.
// The same worker checks files one by one, as check_image_files does: then
// each answer it sends is a file's verdict.
class ExpansionChild {
public:
    // Starts expanding the sources (a list as a Config holds it). When no
    // worker can be started, the expansion has failed at once.
    ExpansionChild(const StringNode* sources, const ExpandOptions& options);
    // Starts checking the files.
    explicit ExpansionChild(const std::vector<std::string>& files);
    // A worker still at work is killed, with its probers.
    ~ExpansionChild();
    ExpansionChild(const ExpansionChild&) = delete;
    ExpansionChild& operator=(const ExpansionChild&) = delete;

    enum class Progress { more, complete, failed };

    // The descriptor that becomes readable when the worker sends or ends; -1
    // once the expansion is over.
    int descriptor() const { return progress_ == Progress::more && worker_.started() ? worker_.descriptor() : -1; }
    // Takes what has come, at most `most` bytes of it, without blocking.
    Progress take(std::size_t most);
    // The images found, in the order expansion gives them; once complete.
    StringList take_images();
    // How many entries have come so far: images, or verdicts.
    std::size_t entries() const { return entries_; }
    // For each file checked, in order, its verdict (see check_image_files); once complete.
    std::vector<std::string> take_verdicts() const;

private:
    ExpansionChild(const WorkerChild::Work& work);
    void end(bool failed);

    // Its probers keep their files in its private folder, which goes once it
    // has ended, whatever became of them.
    WorkerChild worker_;
    std::string pending_;  // the bytes of an entry not yet whole
    StringList images_ = StringList::placeholder();
    StringNode* tail_ = images_.first();
    std::size_t received_ = 0;
    std::size_t entries_ = 0;
    Progress progress_ = Progress::more;
};

// An expansion that the loop watches: what its worker sends is taken a
// little at a time, so that a signal or a timer never waits long behind it,
// and `done` runs once it is complete or has failed; it may destroy the run.
// When the worker could not start, the expansion has failed at once, and
// `done` never runs: see started().
class ExpansionRun {
public:
    ExpansionRun(event_base* base, std::unique_ptr<ExpansionChild> child,
                 std::function<void(ExpansionChild::Progress)> done);
    ExpansionRun(const ExpansionRun&) = delete;
    ExpansionRun& operator=(const ExpansionRun&) = delete;

    bool started() const { return readable_ != nullptr; }
    ExpansionChild& child() { return *child_; }

private:
    std::unique_ptr<ExpansionChild> child_;
    std::unique_ptr<DescriptorEvent> readable_;
    std::function<void(ExpansionChild::Progress)> done_;
};

}  // namespace zelvo
