#pragma once

#include <event2/event.h>
#include <sys/time.h>

#include <chrono>
#include <functional>
#include <memory>

namespace zelvo {

struct EventBaseDelete {
    void operator()(event_base* base) const noexcept { event_base_free(base); }
};
struct EventDelete {
    void operator()(event* handle) const noexcept { event_free(handle); }
};
using EventBasePtr = std::unique_ptr<event_base, EventBaseDelete>;
using EventPtr = std::unique_ptr<event, EventDelete>;

// A duration as libevent takes it, rounded up to the microsecond so that a
// timer never comes before what it waits for; a negative one is none.
timeval duration_timeval(std::chrono::microseconds duration);

template <typename Rep, typename Period>
timeval to_timeval(std::chrono::duration<Rep, Period> duration) {
    return duration_timeval(std::chrono::ceil<std::chrono::microseconds>(duration));
}

// What an event runs, bound to its owner (a lambda that captures it). The
// owner may destroy the event from inside its own callback: the event runs a
// copy, and touches nothing of itself after it.
using EventCallback = std::function<void()>;

// A timer of the loop: once, after schedule(); or, made repeating, every
// period from schedule() until cancel().
class TimerEvent {
public:
    enum class Repeat { once, every };

    TimerEvent(event_base* base, EventCallback callback, Repeat repeat = Repeat::once);
    TimerEvent(const TimerEvent&) = delete;
    TimerEvent& operator=(const TimerEvent&) = delete;

    // Runs the callback after `after` (a repeating timer: every `after`), in
    // place of whatever was scheduled before.
    void schedule(std::chrono::microseconds after);
    template <typename Rep, typename Period>
    void schedule(std::chrono::duration<Rep, Period> after) {
        schedule(std::chrono::ceil<std::chrono::microseconds>(after));
    }
    void schedule_at(std::chrono::steady_clock::time_point when);
    void cancel();
    bool pending() const;

private:
    static void on_event(evutil_socket_t, short, void* argument);
    EventCallback callback_;
    EventPtr event_;
};

// Watches a descriptor, for reading or writing, from start() until stop().
// The descriptor stays its owner's: the watch goes before it is closed.
class DescriptorEvent {
public:
    enum class Ready { read, write };

    DescriptorEvent(event_base* base, int descriptor, Ready ready, EventCallback callback);
    DescriptorEvent(const DescriptorEvent&) = delete;
    DescriptorEvent& operator=(const DescriptorEvent&) = delete;

    void start();
    void stop();
    bool watching() const;
    int descriptor() const { return descriptor_; }

private:
    static void on_event(evutil_socket_t, short, void* argument);
    int descriptor_;
    EventCallback callback_;
    EventPtr event_;
};

// A signal taken over by the loop for as long as this lives: its callback runs
// in the loop, never inside an asynchronous handler.
class SignalEvent {
public:
    SignalEvent(event_base* base, int number, EventCallback callback);
    SignalEvent(const SignalEvent&) = delete;
    SignalEvent& operator=(const SignalEvent&) = delete;

private:
    static void on_event(evutil_socket_t, short, void* argument);
    EventCallback callback_;
    EventPtr event_;
};

}  // namespace zelvo
