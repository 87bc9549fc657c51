// Watches an X display's monitors for the tests, one line on standard output
// for each thing seen.
//
// `zelvo_xmonitors watch DISPLAY [XAUTHORITY]` connects through XMonitors and
// prints "monitors N NAME WxH+X+Y ..." (an unnamed monitor as "-") at the
// start and at every change, "unreachable REASON" when a connect fails and
// "lost REASON" when the connection is lost. A line "connect" on standard
// input connects again; the end of standard input ends it.
//
// `zelvo_xmonitors events DISPLAY` listens to the root window as a program
// that asked only for RandR's screen changes and StructureNotify would, and
// prints "ready", then "screen-change" or "configure-notify" for each event.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <poll.h>
#include <string>
#include <unistd.h>
#include <xcb/randr.h>

#include "display/x_monitors.h"

namespace {

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void say_monitors(const zelvo::XMonitors& display) {
    std::string line = "monitors " + std::to_string(display.monitors().size());
    for (const zelvo::Monitor& monitor : display.monitors())
        line += " " + (monitor.name.empty() ? "-" : monitor.name) + " " + std::to_string(monitor.width) + "x" +
                std::to_string(monitor.height) + "+" + std::to_string(monitor.x) + "+" + std::to_string(monitor.y);
    say(line);
}

int watch(const std::string& name, const std::optional<std::string>& xauthority) {
    zelvo::XMonitors display;
    auto connect = [&] {
        if (display.connect(name, xauthority))
            say_monitors(display);
        else
            say("unreachable " + display.failure());
    };
    connect();
    std::string input;
    for (;;) {
        // poll leaves out the descriptor -1 of a display not connected.
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {display.descriptor(), POLLIN, 0}};
        if (poll(watched, 2, display.behind() ? 0 : -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if ((watched[1].revents != 0 || display.behind()) && display.take_events()) {
            if (display.connected())
                say_monitors(display);
            else
                say("lost " + display.failure());
        }
        if (watched[0].revents == 0) continue;
        char bytes[256];
        const ssize_t got = read(STDIN_FILENO, bytes, sizeof bytes);
        if (got <= 0) return 0;
        input.append(bytes, static_cast<std::size_t>(got));
        for (std::size_t end; (end = input.find('\n')) != std::string::npos; input.erase(0, end + 1))
            if (input.compare(0, end, "connect") == 0) connect();
    }
}

int events(const std::string& name) {
    int screen_number = 0;
    zelvo::XcbConnectionPtr connection(xcb_connect(name.c_str(), &screen_number));
    xcb_connection_t* c = connection.get();
    if (xcb_connection_has_error(c)) return 2;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (; screen_number > 0 && screens.rem > 0; --screen_number) xcb_screen_next(&screens);
    const xcb_window_t root = screens.data->root;
    const xcb_query_extension_reply_t* randr = xcb_get_extension_data(c, &xcb_randr_id);
    if (randr == nullptr || !randr->present) return 2;
    zelvo::XcbReplyPtr<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
    if (!version) return 2;
    xcb_randr_select_input(c, root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
    const std::uint32_t structure = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &structure);
    // Once this answer is back, the server has taken both selections.
    zelvo::XcbReplyPtr<xcb_get_input_focus_reply_t> synced(
        xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (!synced) return 2;
    say("ready");
    while (zelvo::XcbReplyPtr<xcb_generic_event_t> event{xcb_wait_for_event(c)}) {
        const int type = event->response_type & 0x7f;
        if (type == randr->first_event + XCB_RANDR_SCREEN_CHANGE_NOTIFY)
            say("screen-change");
        else if (type == XCB_CONFIGURE_NOTIFY)
            say("configure-notify");
        else
            say("other " + std::to_string(type));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "watch") == 0 && argc <= 4)
        return watch(argv[2], argc == 4 ? std::optional<std::string>(argv[3]) : std::nullopt);
    if (argc == 3 && std::strcmp(argv[1], "events") == 0) return events(argv[2]);
    std::fputs("usage: zelvo_xmonitors watch DISPLAY [XAUTHORITY] | events DISPLAY\n", stderr);
    return 2;
}
