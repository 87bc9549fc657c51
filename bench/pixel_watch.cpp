// Watches one pixel of an X display's root window for the benchmarks: it
// asks for that pixel (GetImage of 1x1) every millisecond, and prints
// "NANOSECONDS RRGGBB" (CLOCK_MONOTONIC, as the recording stand-in stamps
// its starts) each time the pixel changes, the first time included, until
// its standard input closes. A full xwd screenshot of a 3840x2160 root window
// takes tens of milliseconds; one pixel costs a round trip.
//
// Usage: zelvo_pixel_watch DISPLAY X Y

#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "support/xcb.h"

namespace {

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: zelvo_pixel_watch DISPLAY X Y\n");
        return 2;
    }
    int screen_number = 0;
    const zelvo::XcbConnectionPtr connection(xcb_connect(argv[1], &screen_number));
    if (xcb_connection_has_error(connection.get()) != 0) {
        std::fprintf(stderr, "zelvo_pixel_watch: cannot connect to %s\n", argv[1]);
        return 1;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int index = 0; index < screen_number; ++index) xcb_screen_next(&screens);
    const xcb_window_t root = screens.data->root;
    const auto x = static_cast<std::int16_t>(std::atoi(argv[2]));
    const auto y = static_cast<std::int16_t>(std::atoi(argv[3]));
    std::string last;
    for (;;) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (poll(&input, 1, 0) > 0) return 0;
        const xcb_get_image_cookie_t asked =
            xcb_get_image(connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, root, x, y, 1, 1, ~0u);
        const zelvo::XcbReplyPtr<xcb_get_image_reply_t> image(xcb_get_image_reply(connection.get(), asked, nullptr));
        if (!image || xcb_get_image_data_length(image.get()) < 4) {
            std::fprintf(stderr, "zelvo_pixel_watch: the server gave no pixel\n");
            return 1;
        }
        // 32 bits a pixel at depth 24, in the server's byte order, which is this machine's on Xvfb.
        std::uint32_t pixel = 0;
        const std::uint8_t* data = xcb_get_image_data(image.get());
        for (int byte = 3; byte >= 0; --byte) pixel = pixel << 8 | data[byte];
        char colour[8];
        std::snprintf(colour, sizeof colour, "%06x", pixel & 0xffffff);
        if (colour != last) {
            last = colour;
            std::printf("%lld %s\n", static_cast<long long>(monotonic_ns()), colour);
            std::fflush(stdout);
        }
        const timespec pause{0, 1'000'000};
        nanosleep(&pause, nullptr);
    }
}
