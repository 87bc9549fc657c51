#pragma once

#include <event2/event.h>
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

}  // namespace zelvo
