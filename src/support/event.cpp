#include "support/event.h"

#include <cstdlib>

namespace zelvo {

namespace {

// The loop cannot run without its events: one that cannot be made or added ends the daemon.
event* made(event* handle) {
    if (handle == nullptr) std::abort();
    return handle;
}

void added(event* handle, const timeval* after) {
    if (event_add(handle, after) < 0) std::abort();
}

}  // namespace

timeval duration_timeval(std::chrono::microseconds duration) {
    const long long micro = duration.count() > 0 ? duration.count() : 0;
    return timeval{static_cast<time_t>(micro / 1000000), static_cast<suseconds_t>(micro % 1000000)};
}

TimerEvent::TimerEvent(event_base* base, EventCallback callback, Repeat repeat)
    : callback_(std::move(callback)),
      event_(made(event_new(base, -1, repeat == Repeat::every ? EV_PERSIST : 0, on_event, this))) {}

void TimerEvent::schedule(std::chrono::microseconds after) {
    const timeval wait = duration_timeval(after);
    event_del(event_.get());
    added(event_.get(), &wait);
}

void TimerEvent::schedule_at(std::chrono::steady_clock::time_point when) {
    schedule(std::chrono::ceil<std::chrono::microseconds>(when - std::chrono::steady_clock::now()));
}

void TimerEvent::cancel() { event_del(event_.get()); }

bool TimerEvent::pending() const { return event_pending(event_.get(), EV_TIMEOUT, nullptr) != 0; }

void TimerEvent::on_event(evutil_socket_t, short, void* argument) {
    const EventCallback callback = static_cast<TimerEvent*>(argument)->callback_;
    callback();
}

DescriptorEvent::DescriptorEvent(event_base* base, int descriptor, Ready ready, EventCallback callback)
    : descriptor_(descriptor),
      callback_(std::move(callback)),
      event_(made(event_new(base, descriptor, (ready == Ready::read ? EV_READ : EV_WRITE) | EV_PERSIST, on_event,
                            this))) {}

void DescriptorEvent::start() {
    if (!watching()) added(event_.get(), nullptr);
}

void DescriptorEvent::stop() { event_del(event_.get()); }

bool DescriptorEvent::watching() const { return event_pending(event_.get(), EV_READ | EV_WRITE, nullptr) != 0; }

void DescriptorEvent::on_event(evutil_socket_t, short, void* argument) {
    const EventCallback callback = static_cast<DescriptorEvent*>(argument)->callback_;
    callback();
}

SignalEvent::SignalEvent(event_base* base, int number, EventCallback callback)
    : callback_(std::move(callback)), event_(made(event_new(base, number, EV_SIGNAL | EV_PERSIST, on_event, this))) {
    added(event_.get(), nullptr);
}

void SignalEvent::on_event(evutil_socket_t, short, void* argument) {
    const EventCallback callback = static_cast<SignalEvent*>(argument)->callback_;
    callback();
}

}  // namespace zelvo
