#include "process/worker_job.h"

#include <unistd.h>

#include <cerrno>

#include "support/log.h"
#include "process/process.h"

namespace zelvo {

namespace {

// The answer ends with this byte: a task that died half-way sent none.
constexpr char answer_end = '\x04';
// No answer of a task comes near this; one that does is no answer.
constexpr std::size_t most_answer_bytes = std::size_t{4} << 20;

}  // namespace

WorkerJob::WorkerJob(event_base* base, const std::function<std::string()>& task, std::chrono::seconds deadline,
                     std::function<void(std::optional<std::string>)> done)
    : worker_(nullptr,
              [&task](int sending, const char*) {
                  // The worker never returns into the daemon's code.
                  const std::string answer = task() + answer_end;
                  _exit(write_all(sending, answer) ? 0 : 1);
              }),
      overdue_(base, [this] { finish(false); }),
      done_(std::move(done)) {
    if (!worker_.started()) {
        report("Zelvo cannot start a worker: %s", worker_.failure().c_str());
        return;
    }
    readable_ = std::make_unique<DescriptorEvent>(base, worker_.descriptor(), DescriptorEvent::Ready::read,
                                                  [this] { on_readable(); });
    readable_->start();
    overdue_.schedule(deadline);
}

WorkerJob::~WorkerJob() { worker_.kill(std::move(after_kill_)); }

void WorkerJob::on_readable() {
    char bytes[16 << 10];
    const ssize_t got = read(worker_.descriptor(), bytes, sizeof bytes);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (got > 0 && received_.size() + static_cast<std::size_t>(got) <= most_answer_bytes) {
        received_.append(bytes, static_cast<std::size_t>(got));
        return;
    }
    finish(got == 0 && !received_.empty() && received_.back() == answer_end);
}

void WorkerJob::finish(bool answered) {
    readable_->stop();
    overdue_.cancel();
    // It has ended when it answered; else it goes now.
    if (answered)
        worker_.finished();
    else
        worker_.kill(std::move(after_kill_));
    std::optional<std::string> answer;
    if (answered) answer = received_.substr(0, received_.size() - 1);
    // Last: it may destroy this job.
    std::function<void(std::optional<std::string>)> done = std::move(done_);
    done(std::move(answer));
}

}  // namespace zelvo
