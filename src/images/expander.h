#pragma once

#include <sys/types.h>

#include <cstddef>

#include "images/expand.h"
#include "images/string_list.h"
#include "support/process.h"
#include "support/worker.h"

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
    int descriptor() const { return progress_ == Progress::more ? reader_.get() : -1; }
    // Takes what has come, at most `most` bytes of it, without blocking.
    Progress take(std::size_t most);
    // The images found, in the order expansion gives them; once complete.
    StringList take_images();
    // How many entries have come so far: images, or verdicts.
    std::size_t entries() const { return entries_; }
    // For each file checked, in order, its verdict (see check_image_files); once complete.
    std::vector<std::string> take_verdicts() const;

private:
    void start(const std::function<void(int sending, std::string& out)>& work);
    void end(bool failed);

    pid_t pid_ = -1;
    UniqueDescriptor reader_;
    // Where its probers keep their files: removed once the worker has ended,
    // whatever became of them.
    std::shared_ptr<PrivateDirectory> temporary_;
    std::string pending_;  // the bytes of an entry not yet whole
    StringList images_ = StringList::placeholder();
    StringNode* tail_ = images_.first();
    std::size_t received_ = 0;
    std::size_t entries_ = 0;
    Progress progress_ = Progress::more;
};

}  // namespace zelvo
