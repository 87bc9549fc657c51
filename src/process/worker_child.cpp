#include "process/worker_child.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "process/children.h"

namespace zelvo {

WorkerChild::WorkerChild(const char* purpose, const Work& work) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        failure_ = std::string("socketpair failed: ") + std::strerror(errno);
        return;
    }
    UniqueDescriptor ours(ends[0]);
    UniqueDescriptor theirs(ends[1]);
    // Nothing else the daemon starts may hold either end.
    fcntl(ours.get(), F_SETFD, FD_CLOEXEC);
    fcntl(theirs.get(), F_SETFD, FD_CLOEXEC);
    if (purpose != nullptr) folder_ = std::make_shared<PrivateDirectory>(purpose);
    const pid_t child = fork_worker();
    if (child < 0) {
        failure_ = std::string("fork failed: ") + std::strerror(errno);
        folder_.reset();
        return;
    }
    if (child == 0) {
        ours.reset();
        work(theirs.get(), folder_ ? folder_->path() : nullptr);
        _exit(0);
    }
    pid_ = child;
    fcntl(ours.get(), F_SETFL, O_NONBLOCK);
    channel_ = std::move(ours);
}

WorkerChild::~WorkerChild() { kill(); }

void WorkerChild::finished() { forget(false, {}); }

void WorkerChild::kill(std::function<void()> after) { forget(true, std::move(after)); }

void WorkerChild::forget(bool killed, std::function<void()> after) {
    if (pid_ <= 0) return;
    if (killed) kill_worker(pid_);
    // The folder goes once the worker has ended, whatever became of it.
    std::shared_ptr<PrivateDirectory> folder = std::move(folder_);
    children_forget(pid_, ChildFate::killed, [folder, after = std::move(after)] {
        if (after) after();
    });
    pid_ = -1;
}

}  // namespace zelvo
