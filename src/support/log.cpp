#include "support/log.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>

#include "support/event.h"
#include "process/process.h"

namespace zelvo {

namespace {

// syslog(3) blocks while the log socket is full (a journal that stalls, ten
// lines on Linux), and the loop with it; so the daemon sends its lines itself,
// without blocking, and keeps those the socket cannot take yet. The queue
// holds far more than any burst of the daemon's, and never much memory.
constexpr std::size_t most_waiting_lines = 256;
constexpr std::size_t most_waiting_bytes = 64 << 10;
// What the last lines may cost: at the end, and in a child, which has no loop to wait in.
constexpr std::chrono::milliseconds closing_patience{50};
constexpr std::chrono::milliseconds child_patience{2000};
// A socket that answers ENOBUFS (FreeBSD's when its reader lags) says it is
// writable all the same: the loop tries again after a while instead.
constexpr std::chrono::milliseconds retry_after{50};

enum class Sent { yes, full, lost };

struct LogChannel {
    ~LogChannel() {
        // A child's copies of the events are its parent's (see log_take_over).
        if (getpid() != owner) {
            (void)writable.release();
            (void)retry.release();
        }
    }

    bool open = false;
    pid_t owner = -1;    // the process whose queue this is
    bool child = false;  // a process forked from the daemon, without a loop
    UniqueDescriptor socket;
    std::deque<std::string> waiting;
    std::size_t waiting_bytes = 0;
    unsigned long long dropped = 0;
    bool no_buffers = false;  // the last refusal was ENOBUFS rather than EAGAIN
    event_base* base = nullptr;
    std::unique_ptr<DescriptorEvent> writable;
    std::unique_ptr<TimerEvent> retry;
};

LogChannel channel;

// Where a worker's report goes instead (see report_to).
void (*report_sink)(const char*, void*) = nullptr;
void* report_context = nullptr;

void log_arm(LogChannel& c);

// The bytes syslog(3) sends for LOG_NOTICE | LOG_DAEMON under "zelvo" with
// LOG_PID: "<29>Dec  8 17:10:00 zelvo[4242]: text", the month's name in the
// C locale and the day padded with a space, with neither a newline nor a NUL
// after the text. The pid is the sender's own, a child's too.
std::string log_datagram(const char* text) {
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char header[64];
    const int length = std::snprintf(header, sizeof header, "<%d>%s %2d %02d:%02d:%02d zelvo[%ld]: ",
                                     LOG_NOTICE | LOG_DAEMON, months[(local.tm_mon % 12 + 12) % 12], local.tm_mday,
                                     local.tm_hour, local.tm_min, local.tm_sec, static_cast<long>(getpid()));
    std::string datagram(header, static_cast<std::size_t>(length));
    datagram += text;
    return datagram;
}

std::string dropped_notice(unsigned long long dropped) {
    char text[96];
    std::snprintf(text, sizeof text, "Zelvo dropped %llu log lines while the log socket was full", dropped);
    return log_datagram(text);
}

void log_disconnect(LogChannel& c) {
    // Its event first: the descriptor's number may come back for the next socket.
    c.writable.reset();
    c.socket.reset();
}

bool log_connect(LogChannel& c) {
    UniqueDescriptor made(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (made.get() < 0) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, _PATH_LOG, sizeof address.sun_path - 1);
    if (connect(made.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
    c.socket = std::move(made);
    return true;
}

Sent log_send(LogChannel& c, const std::string& datagram) {
    // A socket whose reader has gone (ECONNREFUSED, ENOTCONN) is connected
    // again once, as syslog(3) does; a line that reaches no socket is lost.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (c.socket.get() < 0 && !log_connect(c)) return Sent::lost;
        ssize_t sent;
        do sent = send(c.socket.get(), datagram.data(), datagram.size(), MSG_NOSIGNAL);
        while (sent < 0 && errno == EINTR);
        if (sent >= 0) return Sent::yes;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) {
            c.no_buffers = errno == ENOBUFS;
            return Sent::full;
        }
        log_disconnect(c);
    }
    return Sent::lost;
}

void log_push(LogChannel& c, std::string datagram) {
    c.waiting_bytes += datagram.size();
    c.waiting.push_back(std::move(datagram));
}

// A line joins the queue when it has room for it (and for the count of the
// lines dropped before it, which goes first, in their place); else it is dropped and counted.
void log_queue(LogChannel& c, std::string datagram) {
    const std::string notice = c.dropped > 0 ? dropped_notice(c.dropped) : std::string();
    const std::size_t lines = c.waiting.size() + 1 + (notice.empty() ? 0 : 1);
    if (lines > most_waiting_lines || c.waiting_bytes + notice.size() + datagram.size() > most_waiting_bytes) {
        ++c.dropped;
        return;
    }
    if (!notice.empty()) {
        log_push(c, notice);
        c.dropped = 0;
    }
    log_push(c, std::move(datagram));
}

// Sends the waiting lines in order until the socket takes no more, and once
// it has taken them all, the count of those dropped.
void log_drain(LogChannel& c) {
    for (;;) {
        if (c.waiting.empty()) {
            if (c.dropped == 0) return;
            log_push(c, dropped_notice(c.dropped));
            c.dropped = 0;
        }
        if (log_send(c, c.waiting.front()) == Sent::full) return;
        c.waiting_bytes -= c.waiting.front().size();
        c.waiting.pop_front();
    }
}

// Without a loop to wait in: waits for the socket at most `patience` in all,
// then lets the rest go.
void log_flush_within(LogChannel& c, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        log_drain(c);
        const auto now = std::chrono::steady_clock::now();
        if (c.waiting.empty() || now >= deadline || c.socket.get() < 0) break;
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        pollfd watched{c.socket.get(), POLLOUT, 0};
        // ENOBUFS comes with a socket that polls writable: a short sleep instead.
        poll(c.no_buffers ? nullptr : &watched, c.no_buffers ? 0 : 1, static_cast<int>(c.no_buffers ? 10 : remaining + 1));
    }
    c.waiting.clear();
    c.waiting_bytes = 0;
    c.dropped = 0;
}

// A process forked from the daemon speaks for itself: the waiting lines are
// its parent's, which sends them, and so are the events, whose loop shares
// its event descriptor with the child: freeing them here would take the
// parent's socket out of the parent's loop, so they are let go unfreed.
void log_take_over(LogChannel& c) {
    (void)c.writable.release();
    (void)c.retry.release();
    c.base = nullptr;
    c.waiting.clear();
    c.waiting_bytes = 0;
    c.dropped = 0;
    c.owner = getpid();
    c.child = true;
}

void log_line(const char* text) {
    LogChannel& c = channel;
    if (getpid() != c.owner) log_take_over(c);
    // Even when the socket would take it, a line waits behind those before it.
    log_queue(c, log_datagram(text));
    log_drain(c);
    if (c.waiting.empty()) return;
    if (c.child)
        log_flush_within(c, child_patience);
    else
        log_arm(c);
}

std::string format_line(const char* format, va_list arguments) {
    va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length < 0) return std::string();
    std::string line(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, arguments);
    line.pop_back();
    return line;
}

// The loop's part: the one place of this file that speaks to the loop.
void on_log_writable() {
    log_drain(channel);
    log_arm(channel);
}

void log_arm(LogChannel& c) {
    if (c.base == nullptr || c.socket.get() < 0) return;
    // Nothing waits: the socket is not watched, or its watch would wake the loop for nothing.
    if (c.waiting.empty() || c.no_buffers) {
        if (c.writable) c.writable->stop();
    }
    if (c.waiting.empty()) return;
    if (c.no_buffers) {
        if (!c.retry) c.retry = std::make_unique<TimerEvent>(c.base, on_log_writable);
        // A timer scheduled again would start again: lines that keep coming would put it off for good.
        if (!c.retry->pending()) c.retry->schedule(retry_after);
        return;
    }
    if (!c.writable || c.writable->descriptor() != c.socket.get())
        c.writable = std::make_unique<DescriptorEvent>(c.base, c.socket.get(), DescriptorEvent::Ready::write,
                                                       on_log_writable);
    c.writable->start();
}

}  // namespace

void log_attach(event_base* base) {
    channel.base = base;
    log_arm(channel);
}

void log_detach() {
    channel.writable.reset();
    channel.retry.reset();
    channel.base = nullptr;
}

void report_to(void (*sink)(const char* line, void* context), void* context) {
    report_sink = sink;
    report_context = context;
}

void log_open() {
    channel.open = true;
    channel.owner = getpid();
    channel.child = false;
    log_connect(channel);
}

void log_close() {
    if (channel.owner == getpid()) {
        log_detach();
        log_flush_within(channel, closing_patience);
    }
    channel.socket.reset();
    channel.open = false;
}

void log_notice(const char* message) {
    if (channel.open)
        log_line(message);
    else
        syslog(LOG_NOTICE, "%s", message);
}

void report(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (report_sink != nullptr) {
        char line[2048];
        std::vsnprintf(line, sizeof line, format, arguments);
        report_sink(line, report_context);
    } else if (channel.open) {
        log_line(format_line(format, arguments).c_str());
    } else {
        std::vfprintf(stderr, format, arguments);
        std::fputs("\r\n", stderr);
    }
    va_end(arguments);
}

}  // namespace zelvo
