#include "cycle/cycle.h"

#include <csignal>
#include <cstdlib>

#include "support/event.h"

namespace zelvo {

namespace {

void on_quit(evutil_socket_t, short, void* argument) {
    auto* base = static_cast<event_base*>(argument);
    const timeval delay{1, 0};
    event_base_loopexit(base, &delay);
}

}  // namespace

// Until the wallpaper cycle lands, the loop only waits for a quit signal.
int run_cycle(DaemonState& state) {
    state.current = state.options.ring.node();
    EventBasePtr base(event_base_new());
    if (!base) std::abort();
    EventPtr quit_events[] = {
        EventPtr(event_new(base.get(), SIGQUIT, EV_SIGNAL | EV_PERSIST, on_quit, base.get())),
        EventPtr(event_new(base.get(), SIGTERM, EV_SIGNAL | EV_PERSIST, on_quit, base.get())),
        EventPtr(event_new(base.get(), SIGINT, EV_SIGNAL | EV_PERSIST, on_quit, base.get())),
    };
    for (EventPtr& quit : quit_events) {
        if (!quit || event_add(quit.get(), nullptr) < 0) std::abort();
    }
    event_base_loop(base.get(), EVLOOP_NO_EXIT_ON_EMPTY);
    for (EventPtr& quit : quit_events) event_del(quit.get());
    return 0;
}

}  // namespace zelvo
