#include "display/x_monitors.h"

#include <xcb/randr.h>
#include <xcb/xcbext.h>
#include <xcb/xinerama.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <tuple>
#include <utility>

namespace zelvo {

namespace {

using Clock = std::chrono::steady_clock;

// An X server answers a query in well under a millisecond. One that has not
// answered after this long is hung, and the loop must not hang with it.
constexpr std::chrono::milliseconds answer_time{2000};

// Events taken in one go, and queries of the monitors in one take_events:
// a server that never stops announcing changes still lets the loop go on.
constexpr int most_events = 4096;
constexpr int most_readings = 4;

// A variable of the process's environment set to a value for the life of
// this object, then restored exactly; none leaves it alone.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (!value) return;
        if (const char* previous = std::getenv(name)) previous_ = previous;
        if (setenv(name, value->c_str(), 1) != 0) std::abort();
        set_ = true;
    }
    ~ScopedVariable() {
        if (!set_) return;
        if (previous_ ? setenv(name_, previous_->c_str(), 1) != 0 : unsetenv(name_) != 0) std::abort();
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
    bool set_ = false;
};

const char* connection_failure(int error) {
    switch (error) {
    case XCB_CONN_ERROR: return "no X server accepts the connection";
    case XCB_CONN_CLOSED_PARSE_ERR: return "the display name cannot be read";
    case XCB_CONN_CLOSED_INVALID_SCREEN: return "the display has no such screen";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT: std::abort();
    default: return "the X server closed the connection";
    }
}

// Waits, until the deadline at most, for the answer to the request with this
// sequence number. None when it does not come in time, when the server
// answers with an error, or when the connection fails.
template <typename Reply>
XcbReplyPtr<Reply> await_reply(xcb_connection_t* connection, unsigned int sequence, Clock::time_point deadline) {
    if (xcb_flush(connection) <= 0) return nullptr;
    for (;;) {
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        // Reads what the descriptor holds without waiting; events that come
        // with it are queued for take_events.
        if (xcb_poll_for_reply(connection, sequence, &reply, &error) != 0) {
            std::free(error);
            return XcbReplyPtr<Reply>(static_cast<Reply*>(reply));
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return nullptr;
        pollfd watched{xcb_get_file_descriptor(connection), POLLIN, 0};
        if (poll(&watched, 1, static_cast<int>(left)) < 0 && errno != EINTR) return nullptr;
    }
}

const xcb_screen_t* screen_of(const xcb_setup_t* setup, int number) {
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    for (int index = 0; screens.rem > 0; ++index, xcb_screen_next(&screens))
        if (index == number) return screens.data;
    return nullptr;
}

// The bytes of a reply as libxcb read them: 32 and its length in words. The
// lists in a reply are read no further, whatever their counts say.
std::size_t reply_size(std::uint32_t length) { return 32 + std::size_t{length} * 4; }

std::vector<Monitor> xinerama_heads(const xcb_xinerama_query_screens_reply_t& reply) {
    const xcb_xinerama_screen_info_t* info = xcb_xinerama_query_screens_screen_info(&reply);
    const std::size_t room = (reply_size(reply.length) - sizeof reply) / sizeof *info;
    const std::size_t listed = std::min({std::size_t{reply.number}, room, most_display_monitors});
    std::vector<Monitor> heads;
    for (std::size_t index = 0; index < listed; ++index)
        heads.push_back(Monitor{"", info[index].x_org, info[index].y_org, info[index].width, info[index].height});
    return heads;
}

// The RandR monitors of the reply, named by a second round trip for their names.
std::optional<std::vector<Monitor>> randr_monitors(xcb_connection_t* connection,
                                                   const xcb_randr_get_monitors_reply_t& reply,
                                                   Clock::time_point deadline) {
    const char* bytes = reinterpret_cast<const char*>(&reply);
    const std::size_t size = reply_size(reply.length);
    std::vector<Monitor> monitors;
    std::vector<xcb_get_atom_name_cookie_t> names;
    // Each monitor is followed by its outputs, so that only walking finds the next.
    for (std::size_t offset = sizeof reply, index = 0; index < reply.nMonitors &&
                                                       monitors.size() < most_display_monitors; ++index) {
        if (offset + sizeof(xcb_randr_monitor_info_t) > size) break;
        const auto* info = reinterpret_cast<const xcb_randr_monitor_info_t*>(bytes + offset);
        offset += sizeof *info + std::size_t{info->nOutput} * sizeof(xcb_randr_output_t);
        if (offset > size) break;
        monitors.push_back(Monitor{"", info->x, info->y, info->width, info->height});
        names.push_back(xcb_get_atom_name(connection, info->name));
    }
    for (std::size_t index = 0; index < monitors.size(); ++index) {
        XcbReplyPtr<xcb_get_atom_name_reply_t> name =
            await_reply<xcb_get_atom_name_reply_t>(connection, names[index].sequence, deadline);
        // An atom without a name is an error answer; the monitor stays unnamed.
        if (!name && xcb_connection_has_error(connection)) return std::nullopt;
        if (name && std::size_t{name->name_len} <= std::size_t{name->length} * 4)
            monitors[index].name.assign(xcb_get_atom_name_name(name.get()), name->name_len);
    }
    return monitors;
}

}  // namespace

std::vector<Monitor> monitors_in_feh_order(const std::vector<Monitor>& heads,
                                           const std::vector<Monitor>& randr_monitors,
                                           std::uint32_t screen_width, std::uint32_t screen_height) {
    if (heads.empty()) {
        if (!randr_monitors.empty()) return randr_monitors;
        return {Monitor{"", 0, 0, screen_width, screen_height}};
    }
    std::vector<Monitor> monitors = heads;
    std::vector<bool> taken(randr_monitors.size(), false);
    for (Monitor& head : monitors) {
        for (std::size_t index = 0; index < randr_monitors.size(); ++index) {
            const Monitor& named = randr_monitors[index];
            if (taken[index] || std::tie(named.x, named.y, named.width, named.height) !=
                                    std::tie(head.x, head.y, head.width, head.height))
                continue;
            head.name = named.name;
            taken[index] = true;
            break;
        }
    }
    return monitors;
}

bool XMonitors::connect(const std::optional<std::string>& display, const std::optional<std::string>& xauthority) {
    disconnect();
    // libxcb would take an empty name from the daemon's own $DISPLAY, which
    // is not the display that feh is given.
    const std::string name = display.value_or(":0");
    if (name.empty()) {
        failure_ = connection_failure(XCB_CONN_CLOSED_PARSE_ERR);
        return false;
    }
    int screen_number = 0;
    {
        // libxcb takes the cookie from the file that $XAUTHORITY names at the
        // moment of the call (through libXau): choosing the cookie ourselves
        // would mean redoing its address matching and XDM-AUTHORIZATION-1.
        // The daemon has one thread, and xrdb, which inherits the daemon's
        // environment, finds it as it was.
        ScopedVariable authority("XAUTHORITY", xauthority);
        connection_.reset(xcb_connect(name.c_str(), &screen_number));
    }
    if (const int error = xcb_connection_has_error(connection_.get())) {
        connection_.reset();
        failure_ = connection_failure(error);
        return false;
    }
    return take_over(std::move(connection_), screen_number);
}

bool XMonitors::take_over(XcbConnectionPtr taken, int screen_number) {
    disconnect();
    if (!taken || xcb_connection_has_error(taken.get()) != 0) {
        failure_ = connection_failure(XCB_CONN_ERROR);
        return false;
    }
    connection_ = std::move(taken);
    xcb_connection_t* connection = connection_.get();
    const xcb_screen_t* screen = screen_of(xcb_get_setup(connection), screen_number);
    if (screen == nullptr) {
        connection_.reset();
        failure_ = connection_failure(XCB_CONN_CLOSED_INVALID_SCREEN);
        return false;
    }
    root_ = screen->root;

    // Answers come in order: once this round trip is back, so are the
    // extensions' answers, and xcb_get_extension_data no longer waits.
    const Clock::time_point deadline = Clock::now() + answer_time;
    xcb_prefetch_extension_data(connection, &xcb_randr_id);
    xcb_prefetch_extension_data(connection, &xcb_xinerama_id);
    if (!await_reply<xcb_get_input_focus_reply_t>(connection, xcb_get_input_focus(connection).sequence, deadline)) {
        lose();
        return false;
    }
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(connection, &xcb_randr_id);
    const xcb_query_extension_reply_t* xinerama = xcb_get_extension_data(connection, &xcb_xinerama_id);
    randr_ = randr != nullptr && randr->present;
    xinerama_ = xinerama != nullptr && xinerama->present;
    randr_monitors_ = false;
    if (randr_) {
        randr_first_event_ = randr->first_event;
        XcbReplyPtr<xcb_randr_query_version_reply_t> version = await_reply<xcb_randr_query_version_reply_t>(
            connection, xcb_randr_query_version(connection, 1, 5).sequence, deadline);
        if (!version) {
            lose();
            return false;
        }
        randr_monitors_ = version->major_version > 1 || version->minor_version >= 5;
        // A changed mode or output is a screen or CRTC change; a monitor
        // made with `xrandr --setmonitor` is announced only by the root
        // window's ConfigureNotify below.
        xcb_randr_select_input(connection, root_,
                               XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                                   XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    }
    const std::uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, root_, XCB_CW_EVENT_MASK, &structure);

    // Read after asking for the changes, so that none falls between the two.
    std::optional<std::vector<Monitor>> monitors = read_monitors();
    if (!monitors) {
        lose();
        return false;
    }
    monitors_ = std::move(*monitors);
    failure_.clear();
    return true;
}

void XMonitors::disconnect() {
    if (connection_ && closing_) closing_(xcb_get_file_descriptor(connection_.get()));
    connection_.reset();
    monitors_.clear();
    behind_ = false;
}

int XMonitors::descriptor() const { return connected() ? xcb_get_file_descriptor(connection_.get()) : -1; }

bool XMonitors::take_events() {
    if (!connected()) return false;
    bool news = take_queue(false) || behind_;
    bool changed = false;
    for (int reading = 0; news && reading < most_readings; ++reading) {
        std::optional<std::vector<Monitor>> monitors;
        if (!xcb_connection_has_error(connection_.get())) monitors = read_monitors();
        if (!monitors) {
            lose();
            return true;
        }
        if (*monitors != monitors_) {
            monitors_ = std::move(*monitors);
            changed = true;
        }
        // Events that came in with the answers wait in libxcb's queue, where
        // the descriptor no longer shows them.
        news = take_queue(true);
    }
    if (xcb_connection_has_error(connection_.get())) {
        lose();
        return true;
    }
    behind_ = news;
    return changed;
}

bool XMonitors::take_queue(bool queued_only) {
    xcb_connection_t* connection = connection_.get();
    bool news = false;
    for (int taken = 0; taken < most_events; ++taken) {
        XcbReplyPtr<xcb_generic_event_t> event(queued_only ? xcb_poll_for_queued_event(connection)
                                                           : xcb_poll_for_event(connection));
        if (!event) return news;
        const int type = event->response_type & 0x7f;
        if (type == XCB_CONFIGURE_NOTIFY)
            news = news || reinterpret_cast<const xcb_configure_notify_event_t*>(event.get())->window == root_;
        else if (randr_ && (type == randr_first_event_ + XCB_RANDR_SCREEN_CHANGE_NOTIFY ||
                            type == randr_first_event_ + XCB_RANDR_NOTIFY))
            news = true;
    }
    // More may be waiting: the monitors are read again to be sure.
    return true;
}

void XMonitors::lose() {
    failure_ = xcb_connection_has_error(connection_.get()) ? "the X server closed the connection"
                                                           : "the X server did not answer in time";
    disconnect();
}

std::optional<std::vector<Monitor>> XMonitors::read_monitors() {
    xcb_connection_t* connection = connection_.get();
    const Clock::time_point deadline = Clock::now() + answer_time;
    // Every question goes out before the first answer is awaited.
    const xcb_get_geometry_cookie_t geometry_asked = xcb_get_geometry(connection, root_);
    xcb_xinerama_is_active_cookie_t active_asked{};
    xcb_xinerama_query_screens_cookie_t heads_asked{};
    if (xinerama_) {
        active_asked = xcb_xinerama_is_active(connection);
        heads_asked = xcb_xinerama_query_screens(connection);
    }
    xcb_randr_get_monitors_cookie_t monitors_asked{};
    if (randr_monitors_) monitors_asked = xcb_randr_get_monitors(connection, root_, 1);

    XcbReplyPtr<xcb_get_geometry_reply_t> geometry =
        await_reply<xcb_get_geometry_reply_t>(connection, geometry_asked.sequence, deadline);
    if (!geometry) return std::nullopt;
    std::vector<Monitor> heads;
    if (xinerama_) {
        XcbReplyPtr<xcb_xinerama_is_active_reply_t> active =
            await_reply<xcb_xinerama_is_active_reply_t>(connection, active_asked.sequence, deadline);
        XcbReplyPtr<xcb_xinerama_query_screens_reply_t> listed =
            await_reply<xcb_xinerama_query_screens_reply_t>(connection, heads_asked.sequence, deadline);
        if (!active || !listed) return std::nullopt;
        if (active->state != 0) heads = xinerama_heads(*listed);
    }
    std::vector<Monitor> named;
    if (randr_monitors_) {
        XcbReplyPtr<xcb_randr_get_monitors_reply_t> listed =
            await_reply<xcb_randr_get_monitors_reply_t>(connection, monitors_asked.sequence, deadline);
        if (!listed) return std::nullopt;
        std::optional<std::vector<Monitor>> monitors = randr_monitors(connection, *listed, deadline);
        if (!monitors) return std::nullopt;
        named = std::move(*monitors);
    }
    return monitors_in_feh_order(heads, named, geometry->width, geometry->height);
}

}  // namespace zelvo
