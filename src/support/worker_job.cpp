#include "support/worker_job.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "support/children.h"
#include "support/log.h"
#include "support/worker.h"

namespace zelvo {

namespace {

// The answer ends with this byte: a task that died half-way sent none.
constexpr char answer_end = '\x04';
// No answer of a task comes near this; one that does is no answer.
constexpr std::size_t most_answer_bytes = std::size_t{4} << 20;

}  // namespace

WorkerJob::WorkerJob(event_base* base, const std::function<std::string()>& task, std::chrono::seconds deadline,
                     std::function<void(std::optional<std::string>)> done)
    : done_(std::move(done)) {
    int ends[2];
    if (pipe(ends) != 0) {
        report("Zelvo cannot start a worker: pipe failed: %s", std::strerror(errno));
        return;
    }
    reader_.reset(ends[0]);
    UniqueDescriptor writer(ends[1]);
    fcntl(reader_.get(), F_SETFD, FD_CLOEXEC);
    fcntl(writer.get(), F_SETFD, FD_CLOEXEC);
    const pid_t child = fork_worker();
    if (child < 0) {
        report("Zelvo cannot start a worker: fork failed: %s", std::strerror(errno));
        reader_.reset();
        return;
    }
    if (child == 0) {
        reader_.reset();
        // The worker never returns into the daemon's code.
        const std::string answer = task() + answer_end;
        _exit(write_all(writer.get(), answer) ? 0 : 1);
    }
    pid_ = child;
    fcntl(reader_.get(), F_SETFL, O_NONBLOCK);
    readable_.reset(event_new(base, reader_.get(), EV_READ | EV_PERSIST, on_readable, this));
    overdue_.reset(event_new(base, -1, 0, on_overdue, this));
    const timeval limit{static_cast<time_t>(deadline.count()), 0};
    if (!readable_ || !overdue_ || event_add(readable_.get(), nullptr) < 0 || event_add(overdue_.get(), &limit) < 0)
        std::abort();
}

WorkerJob::~WorkerJob() {
    readable_.reset();
    overdue_.reset();
    if (pid_ > 0) {
        kill_worker(pid_);
        children_forget(pid_, ChildFate::killed);
    }
}

void WorkerJob::on_readable(evutil_socket_t, short, void* argument) {
    WorkerJob& job = *static_cast<WorkerJob*>(argument);
    char bytes[16 << 10];
    const ssize_t got = read(job.reader_.get(), bytes, sizeof bytes);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (got > 0 && job.received_.size() + static_cast<std::size_t>(got) <= most_answer_bytes) {
        job.received_.append(bytes, static_cast<std::size_t>(got));
        return;
    }
    job.finish(got == 0 && !job.received_.empty() && job.received_.back() == answer_end);
}

void WorkerJob::on_overdue(evutil_socket_t, short, void* argument) { static_cast<WorkerJob*>(argument)->finish(false); }

void WorkerJob::finish(bool answered) {
    readable_.reset();
    overdue_.reset();
    if (pid_ > 0) {
        // It has ended when it answered; else it goes now.
        if (!answered) kill_worker(pid_);
        children_forget(pid_, ChildFate::killed);
        pid_ = -1;
    }
    std::optional<std::string> answer;
    if (answered) answer = received_.substr(0, received_.size() - 1);
    // Last: it may destroy this job.
    std::function<void(std::optional<std::string>)> done = std::move(done_);
    done(std::move(answer));
}

}  // namespace zelvo
