#include "images/prober.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "process/children.h"
#include "support/log.h"
#include "support/magick.h"

namespace zelvo {

void Listing::add(std::string_view text) {
    starts_.push_back(texts_.size());
    texts_.append(text);
    texts_.push_back('\0');
}

namespace {

using Clock = std::chrono::steady_clock;

// Requests: one byte saying what to do, the path's length, the path. A ping
// is answered in the shared answers; a list file on the channel with
// answer_none, or with answer_sources, their count and each source as its
// length and its bytes. Whenever the prober has run out of requests it says
// so with a wake byte, which the daemon passes over wherever it comes.
constexpr char ping_request = 'P';
constexpr char list_request = 'L';
constexpr char answer_image = 'I';
constexpr char answer_list_file = 'F';
constexpr char answer_none = 'N';
constexpr char answer_sources = 'S';
constexpr char wake = 'W';
// Requests sent ahead of the answers, so that the prober never waits for the next path.
constexpr std::size_t ahead_bytes = 64 << 10;
// How often the daemon looks at the shared answers while it waits.
constexpr std::chrono::milliseconds look_again{200};
// How long a prober that was told to end may take to let go of its end.
constexpr std::chrono::seconds stop_grace = probe_deadline;

void put_length(std::string& out, std::size_t length) {
    const std::uint32_t value = static_cast<std::uint32_t>(length);
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void put_request(std::string& out, char what, const char* path) {
    const std::size_t length = std::strlen(path);
    out.push_back(what);
    put_length(out, length);
    out.append(path, length);
}

int milliseconds_until(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

// The prober's side of the channel: blocking reads and writes through
// buffers of its own. A daemon that went away ends it.
class WorkerChannel {
public:
    explicit WorkerChannel(int descriptor) : descriptor_(descriptor) {}

    void read(void* into, std::size_t length) {
        char* at = static_cast<char*>(into);
        while (length > 0) {
            if (in_at_ == in_end_) {
                // Out of requests: the daemon may be waiting for the last answers.
                out_.push_back(wake);
                flush();
                const ssize_t got = ::read(descriptor_, in_, sizeof in_);
                if (got < 0 && errno == EINTR) continue;
                if (got <= 0) _exit(0);
                in_at_ = 0;
                in_end_ = static_cast<std::size_t>(got);
            }
            const std::size_t taken = std::min(length, in_end_ - in_at_);
            std::memcpy(at, in_ + in_at_, taken);
            in_at_ += taken;
            at += taken;
            length -= taken;
        }
    }
    std::string& out() { return out_; }
    // Every answer goes out at once: the daemon's deadline runs from the last one it has.
    void flush() {
        std::size_t at = 0;
        while (at < out_.size()) {
            const ssize_t put = ::write(descriptor_, out_.data() + at, out_.size() - at);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) _exit(0);
            at += static_cast<std::size_t>(put);
        }
        out_.clear();
    }

private:
    int descriptor_;
    char in_[64 << 10];
    std::size_t in_at_ = 0;
    std::size_t in_end_ = 0;
    std::string out_;
};

// A backstop behind the daemon's deadline, should the daemon be stopped while
// a decoder spins: the prober may use this much more processor time than it
// has used so far. Set again every few requests, which take far less.
void allow_processor_time(std::chrono::seconds more) {
    rusage used{};
    rlimit limit{};
    if (getrusage(RUSAGE_SELF, &used) != 0 || getrlimit(RLIMIT_CPU, &limit) != 0) return;
    limit.rlim_cur = static_cast<rlim_t>(used.ru_utime.tv_sec + used.ru_stime.tv_sec + 1 + more.count());
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_cur > limit.rlim_max) limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_CPU, &limit);
}

void answer_ping(SharedAnswers& answers, std::uint64_t index, const char* path) {
    answers.kinds[index % SharedAnswers::slots] =
        ping_image(path) == SOURCE_IMAGE ? answer_image : answer_list_file;
    answers.count.store(index + 1, std::memory_order_release);
}

void answer_list(WorkerChannel& channel, const char* path) {
    std::string& out = channel.out();
    std::optional<ListFileSources> read = parse_list_file(path);
    if (!read) {
        out.push_back(answer_none);
        return;
    }
    out.push_back(answer_sources);
    put_length(out, read->sources.size());
    for (const char* source : read->sources) {
        const std::size_t length = std::strlen(source);
        put_length(out, length);
        out.append(source, length);
        if (out.size() >= ahead_bytes) channel.flush();
    }
}

// The prober's whole life: it never returns into the daemon's code, runs
// none of its clean-up and flushes none of its buffers.
[[noreturn]] void run_prober(int descriptor, SharedAnswers& answers, const char* temporary_directory) {
    // A ping reads headers and writes no file; what is left is room for the
    // reports of the tools that watch a process (memcheck, the sanitizers).
    limit_worker(rlim_t{1} << 20);
    // Two probers tell MagickCore's complaints side by side on the same
    // standard error: each line goes out in one write, never mixed.
    static char report_line[4096];
    std::setvbuf(stderr, report_line, _IOLBF, sizeof report_line);
    magick_limit_child(temporary_directory);
    magick_limit_threads(1);
    static WorkerChannel channel(descriptor);
    std::uint64_t pings = 0;
    for (std::size_t request = 0;; ++request) {
        char what = 0;
        std::uint32_t length = 0;
        channel.read(&what, 1);
        channel.read(&length, sizeof length);
        if (length > most_source_bytes) _exit(0);
        std::string path(length, '\0');
        channel.read(path.data(), length);
        if (request % 64 == 0) allow_processor_time(2 * probe_deadline);
        if (what == ping_request) {
            answer_ping(answers, pings++, path.c_str());
        } else if (what == list_request) {
            answer_list(channel, path.c_str());
            channel.flush();
        } else {
            _exit(0);
        }
    }
}

std::uint32_t take_length(const std::string& in, std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, in.data() + at, sizeof value);
    return value;
}

}  // namespace

bool ProbeWorker::start() {
    if (unavailable_) return false;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        report("Zelvo cannot start its prober: socketpair failed: %s", std::strerror(errno));
        unavailable_ = true;
        return false;
    }
    UniqueDescriptor mine(ends[0]);
    UniqueDescriptor theirs(ends[1]);
    fcntl(mine.get(), F_SETFD, FD_CLOEXEC);
    fcntl(theirs.get(), F_SETFD, FD_CLOEXEC);
    if (!answers_) {
        void* shared = mmap(nullptr, sizeof(SharedAnswers), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANON, -1, 0);
        if (shared == MAP_FAILED) {
            report("Zelvo cannot start its prober: mmap failed: %s", std::strerror(errno));
            unavailable_ = true;
            return false;
        }
        answers_.reset(new (shared) SharedAnswers{});
    }
    answers_->count.store(0, std::memory_order_relaxed);
    pinged_ = 0;
    temporary_ = std::make_unique<PrivateDirectory>("probe");
    const pid_t child = fork_worker();
    if (child < 0) {
        report("Zelvo cannot start its prober: fork failed: %s", std::strerror(errno));
        unavailable_ = true;
        temporary_.reset();
        return false;
    }
    if (child == 0) {
        mine.reset();
        run_prober(theirs.get(), *answers_, temporary_->path());
    }
    fcntl(mine.get(), F_SETFL, O_NONBLOCK);
    pid_ = child;
    channel_ = std::move(mine);
    return true;
}

void ProbeWorker::stop(bool kill) {
    if (pid_ < 0) return;
    if (kill) kill_worker(pid_);
    // The prober reads the end of its requests and ends; only once its end of
    // the channel is closed has it let go of its private directory.
    shutdown(channel_.get(), SHUT_WR);
    for (bool killed = kill;; killed = true) {
        until_ = Clock::now() + stop_grace;
        overran_ = false;
        std::string drained;
        while (pump(POLLIN, drained)) drained.clear();
        if (!overran_ || killed) break;
        kill_worker(pid_);
    }
    channel_.reset();
    // Reaped by the expansion's end (see expand_sources), once it has let go.
    children_forget(pid_, ChildFate::killed);
    pid_ = -1;
    temporary_.reset();
}

void ProbeWorker::give_up(const char* path) {
    report(overran_ ? "Zelvo gave up on %s: probing it took longer than %lld seconds"
                    : "Zelvo gave up on %s: probing it ended before it was done",
           path, static_cast<long long>(probe_deadline.count()));
    stop(true);
}

void ProbeWorker::send_queued() {
    if (out_at_ == out_.size()) return;
    const ssize_t put = send(channel_.get(), out_.data() + out_at_, out_.size() - out_at_, MSG_NOSIGNAL);
    if (put > 0) out_at_ += static_cast<std::size_t>(put);
    if (out_at_ == out_.size()) {
        out_.clear();
        out_at_ = 0;
    }
}

bool ProbeWorker::take(short ready, std::string& in) {
    if ((ready & POLLOUT) != 0) send_queued();
    if ((ready & (POLLIN | POLLHUP | POLLERR)) != 0) {
        char bytes[16 << 10];
        const ssize_t got = ::read(channel_.get(), bytes, sizeof bytes);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return false;
        if (got > 0) in.append(bytes, static_cast<std::size_t>(got));
    }
    if (milliseconds_until(until_) == 0) {
        overran_ = true;
        return false;
    }
    return true;
}

bool ProbeWorker::pump(short events, std::string& in) {
    pollfd watched{channel_.get(), static_cast<short>(events | (out_at_ < out_.size() ? POLLOUT : 0)), 0};
    const int ready = poll(&watched, 1, wait_milliseconds());
    if (ready < 0 && errno != EINTR) return false;
    return take(ready > 0 ? watched.revents : 0, in);
}

int ProbeWorker::wait_milliseconds() const {
    return std::min<int>(milliseconds_until(until_), static_cast<int>(look_again.count()));
}

void ProbeWorker::begin(std::span<const char* const> paths, std::span<SourceKind> kinds) {
    paths_ = paths;
    kinds_ = kinds;
    answered_ = 0;
    restart();
}

void ProbeWorker::restart() {
    sent_ = from_ = answered_;
    first_ = pinged_;
    out_.clear();
    out_at_ = 0;
    until_ = Clock::now() + probe_deadline;
    overran_ = false;
}

bool ProbeWorker::busy() {
    while (answered_ < paths_.size() && pid_ < 0) {
        if (start()) {
            restart();
            break;
        }
        std::fill(kinds_.begin() + static_cast<std::ptrdiff_t>(answered_), kinds_.end(), SOURCE_SKIPPED);
        answered_ = paths_.size();
    }
    if (answered_ == paths_.size()) return false;
    while (sent_ < paths_.size() && sent_ - answered_ < SharedAnswers::slots && out_.size() - out_at_ < ahead_bytes) {
        put_request(out_, ping_request, paths_[sent_++]);
        ++pinged_;
    }
    return true;
}

void ProbeWorker::collect(short ready) {
    std::string in;
    const bool going = take(ready, in);
    // The prober answers its pings in order; its count says how far it has come.
    const std::uint64_t count = answers_->count.load(std::memory_order_acquire);
    const std::size_t now = from_ + static_cast<std::size_t>(std::min<std::uint64_t>(count - first_, sent_ - from_));
    if (now > answered_) {
        for (; answered_ < now; ++answered_)
            kinds_[answered_] = answers_->kinds[(first_ + answered_ - from_) % SharedAnswers::slots] == answer_image
                                    ? SOURCE_IMAGE
                                    : SOURCE_LIST_FILE;
        until_ = Clock::now() + probe_deadline;
        overran_ = false;
    } else if (!going) {
        kinds_[answered_] = SOURCE_SKIPPED;
        give_up(paths_[answered_]);
        ++answered_;
    }
}

void Prober::ping(std::span<const char* const> paths, std::span<SourceKind> kinds) {
    // A few paths go to one prober; more are shared out between all of them.
    const std::size_t shares = paths.size() < 2 * least_share ? 1 : workers_.size();
    const std::size_t share = (paths.size() + shares - 1) / shares;
    for (std::size_t index = 0; index < workers_.size(); ++index) {
        const std::size_t from = std::min(paths.size(), index * share);
        const std::size_t count = std::min(share, paths.size() - from);
        workers_[index].begin(paths.subspan(from, count), kinds.subspan(from, count));
    }
    for (;;) {
        std::array<pollfd, workers> watched{};
        std::array<ProbeWorker*, workers> waiting{};
        std::size_t busy = 0;
        int wait = -1;
        for (ProbeWorker& worker : workers_) {
            if (!worker.busy()) continue;
            watched[busy] = pollfd{worker.channel(), static_cast<short>(POLLIN | (worker.sending() ? POLLOUT : 0)), 0};
            waiting[busy++] = &worker;
            wait = wait < 0 ? worker.wait_milliseconds() : std::min(wait, worker.wait_milliseconds());
        }
        if (busy == 0) return;
        const int ready = poll(watched.data(), busy, wait);
        for (std::size_t index = 0; index < busy; ++index)
            waiting[index]->collect(ready > 0 ? watched[index].revents : 0);
    }
}

ListReading Prober::read_list(const char* path, Listing& into, std::size_t most) {
    ProbeWorker& worker = workers_[0];
    if (!worker.running() && !worker.start()) return ListReading::none;
    return worker.read_list(path, into, most);
}

ListReading ProbeWorker::read_list(const char* path, Listing& into, std::size_t most) {
    out_.clear();
    out_at_ = 0;
    put_request(out_, list_request, path);
    until_ = Clock::now() + probe_deadline;
    overran_ = false;
    std::string in;
    // Parsed as it comes: the answer, the count, then each source.
    std::size_t at = 0;
    std::uint32_t left = 0;
    bool counted = false;
    for (;;) {
        if (!pump(POLLIN, in)) {
            give_up(path);
            return ListReading::none;
        }
        if (!counted) {
            in.erase(0, in.find_first_not_of(wake));
            if (in.empty()) continue;
            if (in[0] == answer_none) return ListReading::none;
            if (in.size() < 1 + sizeof left) continue;
            left = take_length(in, 1);
            at = 1 + sizeof left;
            counted = true;
        }
        while (left > 0 && in.size() - at >= sizeof left) {
            const std::uint32_t length = take_length(in, at);
            if (length > most_source_bytes) {
                give_up(path);
                return ListReading::none;
            }
            if (in.size() - at - sizeof length < length) break;
            into.add(std::string_view(in).substr(at + sizeof length, length));
            at += sizeof length + length;
            --left;
            if (into.bytes() > most) {
                // What is left of the answer would only be thrown away.
                stop(true);
                return ListReading::over_budget;
            }
        }
        in.erase(0, at);
        at = 0;
        if (left == 0) return ListReading::read;
    }
}

}  // namespace zelvo
