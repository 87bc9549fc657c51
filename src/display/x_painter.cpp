#include "display/x_painter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xcb/randr.h>
#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xcbext.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "display/x_root.h"
#include "support/log.h"

namespace zelvo {

namespace {

// An X server answers in well under a millisecond; one that has not after
// this long is hung, and the change is given up.
constexpr std::chrono::milliseconds answer_time{2000};
// The most pixel bytes PutImage sends before the server is asked to answer:
// less than a socket's send buffer takes, so that no write waits on the server.
constexpr std::size_t unanswered_bytes = 64 * 1024;
constexpr std::uint32_t pixel_bytes = 4;

template <typename Reply>
XcbReplyPtr<Reply> taken_reply(xcb_connection_t* connection, unsigned int sequence) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(connection, sequence, &reply, &error) == 0) return nullptr;
    std::free(error);
    return XcbReplyPtr<Reply>(static_cast<Reply*>(reply));
}

using Clock = std::chrono::steady_clock;

// A coordinate in RENDER's 16.16 fixed point.
xcb_render_fixed_t fixed(double value) { return static_cast<xcb_render_fixed_t>(std::lround(value * 65536)); }

// The time from a transition's start at which frame `frame` of a clock at
// `fps` comes: rounded up, so that the frame counted at that time is it.
std::chrono::nanoseconds frame_time(std::int64_t frame, std::uint32_t fps) {
    return std::chrono::nanoseconds((frame * 1'000'000'000 + fps - 1) / fps);
}

// The frames of a clock at `fps` whose time has come after `elapsed`.
std::int64_t frames_at(std::chrono::nanoseconds elapsed, std::uint32_t fps) {
    return elapsed.count() * fps / 1'000'000'000;
}

// The pixmap that a root window property names, when it names one.
std::optional<std::uint32_t> named_pixmap(const xcb_get_property_reply_t* reply) {
    if (reply == nullptr || reply->type != XCB_ATOM_PIXMAP || reply->format != 32 ||
        xcb_get_property_value_length(reply) != 4)
        return std::nullopt;
    std::uint32_t pixmap;
    std::memcpy(&pixmap, xcb_get_property_value(reply), 4);
    return pixmap;
}

// The RENDER format of the screen's visual.
xcb_render_pictformat_t visual_format(const xcb_render_query_pict_formats_reply_t& formats, xcb_visualid_t visual) {
    for (auto screens = xcb_render_query_pict_formats_screens_iterator(&formats); screens.rem > 0;
         xcb_render_pictscreen_next(&screens))
        for (auto depths = xcb_render_pictscreen_depths_iterator(screens.data); depths.rem > 0;
             xcb_render_pictdepth_next(&depths))
            for (auto visuals = xcb_render_pictdepth_visuals_iterator(depths.data); visuals.rem > 0;
                 xcb_render_pictvisual_next(&visuals))
                if (visuals.data->visual == visual) return visuals.data->format;
    return 0;
}

// The format of eight bits of alpha alone, in which the trapezoids' coverage is drawn.
xcb_render_pictformat_t alpha_format(const xcb_render_query_pict_formats_reply_t& formats) {
    for (auto format = xcb_render_query_pict_formats_formats_iterator(&formats); format.rem > 0;
         xcb_render_pictforminfo_next(&format)) {
        const xcb_render_pictforminfo_t& info = *format.data;
        if (info.type == XCB_RENDER_PICT_TYPE_DIRECT && info.depth == 8 && info.direct.alpha_mask == 0xff &&
            info.direct.red_mask == 0 && info.direct.green_mask == 0 && info.direct.blue_mask == 0)
            return info.id;
    }
    return 0;
}

// The refresh of each CRTC that scans out a mode, from the answers about them.
std::vector<CrtcRefresh> crtc_refreshes(xcb_connection_t* connection,
                                        const xcb_randr_get_screen_resources_current_reply_t* resources,
                                        const std::vector<xcb_randr_get_crtc_info_cookie_t>& asked) {
    std::vector<CrtcRefresh> crtcs;
    if (resources == nullptr) return crtcs;
    const xcb_randr_mode_info_t* modes = xcb_randr_get_screen_resources_current_modes(resources);
    const int mode_count = xcb_randr_get_screen_resources_current_modes_length(resources);
    for (const xcb_randr_get_crtc_info_cookie_t& cookie : asked) {
        XcbReplyPtr<xcb_randr_get_crtc_info_reply_t> crtc = taken_reply<xcb_randr_get_crtc_info_reply_t>(connection, cookie.sequence);
        if (!crtc || crtc->mode == XCB_NONE) continue;
        CrtcRefresh refresh{crtc->x, crtc->y, crtc->width, crtc->height, std::nullopt};
        for (int index = 0; index < mode_count; ++index)
            if (modes[index].id == crtc->mode)
                refresh.refresh = mode_refresh(modes[index].dot_clock, modes[index].htotal, modes[index].vtotal,
                                               modes[index].mode_flags);
        crtcs.push_back(refresh);
    }
    return crtcs;
}

}  // namespace

// One picture's part of a change: what of its memory goes where on the pixmap.
struct Placed {
    UniqueDescriptor memory;
    std::uint32_t stride = 0;
    std::uint32_t rows = 0;
    std::uint32_t from_x = 0;
    std::uint32_t from_y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::int32_t to_x = 0;
    std::int32_t to_y = 0;
};

// One monitor's transition within a change.
struct Moving {
    Transition transition;
    Monitor monitor;
    // Its part of the screen.
    std::int32_t left = 0;
    std::int32_t top = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // Its own frames a second: the transition's, at most its refresh.
    std::uint32_t fps = 0;
    // Its last frame drawn (0: the old picture, as the change began) and that frame's progress.
    std::int64_t frame = 0;
    double progress = 0;
    bool done = false;
};

namespace {

// The parts of a screen that no placed picture covers, as the cells of a
// grid made of every picture's edges.
std::vector<xcb_rectangle_t> uncovered(std::uint16_t width, std::uint16_t height, const std::vector<Placed>& placed) {
    std::vector<std::int32_t> xs{0, width}, ys{0, height};
    for (const Placed& one : placed) {
        xs.insert(xs.end(), {one.to_x, one.to_x + static_cast<std::int32_t>(one.width)});
        ys.insert(ys.end(), {one.to_y, one.to_y + static_cast<std::int32_t>(one.height)});
    }
    for (std::vector<std::int32_t>* edges : {&xs, &ys}) {
        std::sort(edges->begin(), edges->end());
        edges->erase(std::unique(edges->begin(), edges->end()), edges->end());
    }
    std::vector<xcb_rectangle_t> cells;
    for (std::size_t row = 0; row + 1 < ys.size(); ++row)
        for (std::size_t column = 0; column + 1 < xs.size(); ++column) {
            const bool covered = std::any_of(placed.begin(), placed.end(), [&](const Placed& one) {
                return one.to_x <= xs[column] && xs[column + 1] <= one.to_x + static_cast<std::int32_t>(one.width) &&
                       one.to_y <= ys[row] && ys[row + 1] <= one.to_y + static_cast<std::int32_t>(one.height);
            });
            if (!covered)
                cells.push_back(xcb_rectangle_t{static_cast<std::int16_t>(xs[column]), static_cast<std::int16_t>(ys[row]),
                                                static_cast<std::uint16_t>(xs[column + 1] - xs[column]),
                                                static_cast<std::uint16_t>(ys[row + 1] - ys[row])});
        }
    return cells;
}

}  // namespace

struct XPainter::Change {
    enum class Stage { connecting, held, asking, reading, drawing, frames, finishing };

    Stage stage = Stage::connecting;
    std::vector<Monitor> monitors;
    std::vector<Picture> pictures;  // copies of the descriptors, until placed
    Shown callback;
    XShown shown;

    XcbConnectionPtr connection;
    const xcb_screen_t* screen = nullptr;
    bool local = false;
    std::unique_ptr<DescriptorEvent> readable;
    std::unique_ptr<TimerEvent> overdue;
    unsigned int sync = 0;

    xcb_intern_atom_cookie_t root_atom_asked{};
    xcb_intern_atom_cookie_t esetroot_atom_asked{};
    xcb_atom_t root_atom = XCB_ATOM_NONE;
    xcb_atom_t esetroot_atom = XCB_ATOM_NONE;
    xcb_shm_query_version_cookie_t shm_asked{};
    bool shm_asked_sent = false;
    xcb_get_property_cookie_t root_asked{};
    xcb_get_property_cookie_t esetroot_asked{};

    xcb_pixmap_t pixmap = 0;
    xcb_gcontext_t gc = 0;
    std::optional<std::uint32_t> old_root;
    std::optional<std::uint32_t> old_esetroot;

    std::vector<Placed> placed;
    std::size_t placing = 0;
    std::vector<PutChunk> chunks;
    std::size_t chunk = 0;
    std::vector<unsigned char> rows;

    // The transitions asked for, and whether any has frames: RENDER, RandR
    // and the old root pixmap are asked about only then.
    std::vector<Transition> transitions;
    bool moves = false;
    // finish_now came before the frames: the change goes without them.
    bool at_once = false;
    xcb_render_query_version_cookie_t render_version_asked{};
    xcb_render_query_pict_formats_cookie_t formats_asked{};
    bool render_asked = false;
    xcb_randr_get_screen_resources_current_cookie_t resources_asked{};
    bool randr_asked = false;
    XcbReplyPtr<xcb_randr_get_screen_resources_current_reply_t> resources;
    std::vector<xcb_randr_get_crtc_info_cookie_t> crtcs_asked;
    xcb_get_geometry_cookie_t old_asked{};
    bool old_asked_sent = false;
    xcb_render_pictformat_t root_format = 0;
    xcb_render_pictformat_t alpha_format = 0;

    // While the frames run: `pixmap` holds the new picture whole, `frame` is
    // the root's pixmap, each frame composed into it from the old root
    // pixmap and `pixmap`.
    std::vector<Moving> moving;
    xcb_pixmap_t frame = 0;
    xcb_render_picture_t old_picture = 0;
    xcb_render_picture_t new_picture = 0;
    xcb_render_picture_t frame_picture = 0;
    std::unique_ptr<TimerEvent> ticker;
    Clock::time_point started;
    // The show's one clock: as fast as its fastest monitor, as long as its longest transition.
    std::uint32_t fps = 0;
    std::chrono::nanoseconds length{0};
    std::int64_t ticked = 0;
    bool outstanding = false;
    bool last_due = false;
    std::uint32_t drawn = 0;
    std::uint32_t asked = 0;
};

XPainter::XPainter(event_base* base, std::optional<std::string> display, std::optional<std::string> xauthority)
    : base_(base), display_(std::move(display)), xauthority_(std::move(xauthority)), connector_(base) {}

// A transition under way ends on its last frame: the server takes the
// requests before the connection closes, and the root keeps the new picture.
XPainter::~XPainter() {
    if (!change_ || change_->stage != Change::Stage::frames) return;
    change_->callback = nullptr;
    send_last(*change_);
    xcb_flush(change_->connection.get());
}

void XPainter::finish_now() {
    if (!change_) return;
    if (change_->stage == Change::Stage::frames) {
        send_last(*change_);
        await(*change_);
    } else if (change_->stage != Change::Stage::finishing) {
        change_->at_once = true;
    }
}

void XPainter::set_display(std::optional<std::string> display, std::optional<std::string> xauthority) {
    display_ = std::move(display);
    xauthority_ = std::move(xauthority);
}

void XPainter::show(const std::vector<Monitor>& monitors, const std::vector<Picture>& pictures, Shown shown) {
    show(monitors, pictures, {}, std::move(shown));
}

void XPainter::show(const std::vector<Monitor>& monitors, const std::vector<Picture>& pictures,
                    const std::vector<Transition>& transitions, Shown shown) {
    // A change whose frames run leaves the one on screen as the root's
    // picture, which the new change starts from.
    if (change_ && change_->stage == Change::Stage::frames) retire(*change_);
    if (change_ && change_->stage == Change::Stage::finishing) {
        change_->callback = nullptr;
        retiring_ = std::move(change_);
    }
    change_ = std::make_unique<Change>();
    change_->monitors = monitors;
    change_->callback = std::move(shown);
    change_->transitions = transitions;
    change_->moves = std::any_of(transitions.begin(), transitions.end(), transition_runs);
    for (const Picture& picture : pictures) {
        Picture copy{UniqueDescriptor(fcntl(picture.memory.get(), F_DUPFD_CLOEXEC, 0)), picture.width, picture.height,
                     picture.stride};
        change_->pictures.push_back(std::move(copy));
    }
    connector_.connect(display_, xauthority_, [this](XConnected connected) { on_connected(std::move(connected)); });
}

void XPainter::on_connected(XConnected connected) {
    Change& change = *change_;
    if (!connected.connection) {
        end(change, XShown{false, {}, false, connected.failure});
        return;
    }
    change.connection = std::move(connected.connection);
    change.local = connected.local;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(change.connection.get()));
    for (int index = 0; index < connected.screen; ++index) xcb_screen_next(&screens);
    change.screen = screens.data;
    Change* self = &change;
    change.readable = std::make_unique<DescriptorEvent>(base_, xcb_get_file_descriptor(change.connection.get()),
                                                        DescriptorEvent::Ready::read, [this, self] { on_readable(*self); });
    change.overdue = std::make_unique<TimerEvent>(base_, [this, self] { on_overdue(*self); });
    change.readable->start();
    if (retiring_) {
        change.stage = Change::Stage::held;
        return;
    }
    ask(change);
}

// The first questions: the atoms of the properties and whether MIT-SHM is there.
void XPainter::ask(Change& change) {
    xcb_connection_t* connection = change.connection.get();
    // MIT-SHM takes descriptors, which only a Unix socket carries.
    if (change.local) xcb_prefetch_extension_data(connection, &xcb_shm_id);
    if (change.moves) {
        xcb_prefetch_extension_data(connection, &xcb_render_id);
        xcb_prefetch_extension_data(connection, &xcb_randr_id);
    }
    change.root_atom_asked = xcb_intern_atom(connection, 0, std::strlen("_XROOTPMAP_ID"), "_XROOTPMAP_ID");
    change.esetroot_atom_asked = xcb_intern_atom(connection, 0, std::strlen("ESETROOT_PMAP_ID"), "ESETROOT_PMAP_ID");
    change.stage = Change::Stage::asking;
    await(change);
}

// Asks the server to answer once it has done everything sent so far.
void XPainter::await(Change& change) {
    xcb_connection_t* connection = change.connection.get();
    change.sync = xcb_get_input_focus(connection).sequence;
    if (xcb_flush(connection) <= 0) {
        end(change, XShown{false, {}, false, "the X server closed the connection"});
        return;
    }
    change.overdue->schedule(answer_time);
}

void XPainter::on_readable(Change& change) {
    xcb_connection_t* connection = change.connection.get();
    // Nothing is asked of the server but answers; what comes besides them
    // (the errors of a KillClient on a pixmap already gone) is let go.
    while (XcbReplyPtr<xcb_generic_event_t> event{xcb_poll_for_event(connection)}) {
    }
    if (xcb_connection_has_error(connection)) {
        end(change, XShown{false, {}, false, "the X server closed the connection"});
        return;
    }
    if (change.stage == Change::Stage::held || !taken_reply<xcb_get_input_focus_reply_t>(connection, change.sync))
        return;
    change.overdue->cancel();
    advance(change);
}

void XPainter::on_overdue(Change& change) {
    end(change, XShown{false, {}, false, "the X server did not answer in time"});
}

void XPainter::advance(Change& change) {
    xcb_connection_t* connection = change.connection.get();
    switch (change.stage) {
    case Change::Stage::asking: {
        XcbReplyPtr<xcb_intern_atom_reply_t> root = taken_reply<xcb_intern_atom_reply_t>(connection, change.root_atom_asked.sequence);
        XcbReplyPtr<xcb_intern_atom_reply_t> esetroot =
            taken_reply<xcb_intern_atom_reply_t>(connection, change.esetroot_atom_asked.sequence);
        if (!root || !esetroot) {
            end(change, XShown{false, {}, false, "the X server refused the root window's properties"});
            return;
        }
        change.root_atom = root->atom;
        change.esetroot_atom = esetroot->atom;
        // Answered by now: the round trip above came after the question.
        const xcb_query_extension_reply_t* shm = change.local ? xcb_get_extension_data(connection, &xcb_shm_id) : nullptr;
        if (shm != nullptr && shm->present) {
            change.shm_asked = xcb_shm_query_version(connection);
            change.shm_asked_sent = true;
        }
        const xcb_window_t root_window = change.screen->root;
        // What the frames need: RENDER's formats, and the refresh of each CRTC.
        const xcb_query_extension_reply_t* render = change.moves ? xcb_get_extension_data(connection, &xcb_render_id) : nullptr;
        if (render != nullptr && render->present) {
            change.render_version_asked = xcb_render_query_version(connection, 0, 11);
            change.formats_asked = xcb_render_query_pict_formats(connection);
            change.render_asked = true;
        }
        const xcb_query_extension_reply_t* randr = change.moves ? xcb_get_extension_data(connection, &xcb_randr_id) : nullptr;
        if (randr != nullptr && randr->present) {
            xcb_discard_reply(connection, xcb_randr_query_version(connection, 1, 3).sequence);
            change.resources_asked = xcb_randr_get_screen_resources_current(connection, root_window);
            change.randr_asked = true;
        }
        change.root_asked =
            xcb_get_property(connection, 0, root_window, change.root_atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 1);
        change.esetroot_asked =
            xcb_get_property(connection, 0, root_window, change.esetroot_atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 1);
        change.stage = Change::Stage::reading;
        await(change);
        return;
    }
    case Change::Stage::reading:
        draw(change);
        return;
    case Change::Stage::drawing:
        send_next_chunk(change);
        return;
    case Change::Stage::frames:
        change.outstanding = false;
        if (change.last_due) {
            send_last(change);
            await(change);
        }
        return;
    case Change::Stage::finishing:
        change.shown.on_screen = true;
        change.shown.frames_drawn = change.drawn;
        change.shown.frames_asked = change.asked;
        end(change, std::move(change.shown));
        return;
    case Change::Stage::connecting:
    case Change::Stage::held:
        return;
    }
}

// Makes the pixmap, black, and puts each picture that fits its monitor on it.
void XPainter::draw(Change& change) {
    xcb_connection_t* connection = change.connection.get();
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const xcb_screen_t& screen = *change.screen;
    XcbReplyPtr<xcb_get_property_reply_t> root = taken_reply<xcb_get_property_reply_t>(connection, change.root_asked.sequence);
    XcbReplyPtr<xcb_get_property_reply_t> esetroot =
        taken_reply<xcb_get_property_reply_t>(connection, change.esetroot_asked.sequence);
    change.old_root = named_pixmap(root.get());
    change.old_esetroot = named_pixmap(esetroot.get());
    bool shm = false;
    if (change.shm_asked_sent) {
        // Attaching a descriptor came with version 1.2.
        XcbReplyPtr<xcb_shm_query_version_reply_t> version =
            taken_reply<xcb_shm_query_version_reply_t>(connection, change.shm_asked.sequence);
        shm = version && (version->major_version > 1 || (version->major_version == 1 && version->minor_version >= 2));
    }
    // The pictures are XRGB8888 in this machine's byte order: the server
    // must keep 32 bits a pixel at the root's depth, in the same order.
    bool fits = (screen.root_depth == 24 || screen.root_depth == 32) &&
                setup->image_byte_order ==
                    (std::endian::native == std::endian::little ? XCB_IMAGE_ORDER_LSB_FIRST : XCB_IMAGE_ORDER_MSB_FIRST);
    bool bits = false;
    for (xcb_format_iterator_t formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0;
         xcb_format_next(&formats))
        if (formats.data->depth == screen.root_depth) bits = formats.data->bits_per_pixel == 32;
    if (!fits || !bits) {
        end(change, XShown{false, {}, false, "the display keeps no 32-bit pixels of 24 bits"});
        return;
    }

    const std::int64_t screen_width = screen.width_in_pixels, screen_height = screen.height_in_pixels;
    // The monitors without a picture of this change keep what they show.
    std::vector<xcb_rectangle_t> kept;
    for (std::size_t index = 0; index < change.monitors.size(); ++index) {
        const Monitor& monitor = change.monitors[index];
        const std::int64_t left = std::max<std::int64_t>(monitor.x, 0), top = std::max<std::int64_t>(monitor.y, 0);
        const std::int64_t right = std::min<std::int64_t>(std::int64_t{monitor.x} + monitor.width, screen_width);
        const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{monitor.y} + monitor.height, screen_height);
        if (right <= left || bottom <= top) continue;
        if (index >= change.pictures.size() || change.pictures[index].memory.get() < 0) {
            kept.push_back(xcb_rectangle_t{static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
                                           static_cast<std::uint16_t>(right - left),
                                           static_cast<std::uint16_t>(bottom - top)});
            continue;
        }
        Picture& picture = change.pictures[index];
        // A picture is drawn only when it is exactly its monitor's size and
        // its memory holds it whole: the server reads no further than that.
        if (picture.width != monitor.width || picture.height != monitor.height ||
            picture.stride < std::uint64_t{picture.width} * pixel_bytes || picture.stride % pixel_bytes != 0 ||
            !shared_memory_holds(picture.memory.get(), picture.bytes())) {
            change.shown.refused.push_back(index);
            continue;
        }
        change.placed.push_back(Placed{std::move(picture.memory), picture.stride, picture.height,
                                       static_cast<std::uint32_t>(left - monitor.x),
                                       static_cast<std::uint32_t>(top - monitor.y),
                                       static_cast<std::uint32_t>(right - left), static_cast<std::uint32_t>(bottom - top),
                                       static_cast<std::int32_t>(left), static_cast<std::int32_t>(top)});
    }
    change.pictures.clear();

    // For the frames: RENDER's formats; the old root pixmap's size and
    // depth, which the frames are composed from; and each CRTC's mode.
    if (change.render_asked && !change.at_once) {
        XcbReplyPtr<xcb_render_query_version_reply_t> version =
            taken_reply<xcb_render_query_version_reply_t>(connection, change.render_version_asked.sequence);
        XcbReplyPtr<xcb_render_query_pict_formats_reply_t> formats =
            taken_reply<xcb_render_query_pict_formats_reply_t>(connection, change.formats_asked.sequence);
        // Solid fills came with version 0.10.
        if (version && formats && (version->major_version > 0 || version->minor_version >= 10)) {
            change.root_format = visual_format(*formats, screen.root_visual);
            change.alpha_format = alpha_format(*formats);
        }
        if (change.root_format != 0 && change.alpha_format != 0 && change.old_root && *change.old_root != 0) {
            change.old_asked = xcb_get_geometry(connection, *change.old_root);
            change.old_asked_sent = true;
        }
    }
    if (change.old_asked_sent && change.randr_asked) {
        change.resources =
            taken_reply<xcb_randr_get_screen_resources_current_reply_t>(connection, change.resources_asked.sequence);
        if (change.resources) {
            const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(change.resources.get());
            const int count = xcb_randr_get_screen_resources_current_crtcs_length(change.resources.get());
            for (int index = 0; index < count && index < static_cast<int>(most_display_monitors); ++index)
                change.crtcs_asked.push_back(
                    xcb_randr_get_crtc_info(connection, crtcs[index], change.resources->config_timestamp));
        }
    }

    change.pixmap = xcb_generate_id(connection);
    xcb_create_pixmap(connection, screen.root_depth, change.pixmap, screen.root, screen.width_in_pixels,
                      screen.height_in_pixels);
    change.gc = xcb_generate_id(connection);
    const std::uint32_t values[] = {0, 0};  // black, and no exposures
    xcb_create_gc(connection, change.gc, change.pixmap, XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, values);
    // Black where no picture goes: filling what the pictures cover anyway
    // would cost the server a pass over the whole screen's pixels.
    const std::vector<xcb_rectangle_t> bare = uncovered(screen.width_in_pixels, screen.height_in_pixels, change.placed);
    if (!bare.empty())
        xcb_poly_fill_rectangle(connection, change.pixmap, change.gc, static_cast<std::uint32_t>(bare.size()), bare.data());
    // From the root pixmap this change replaces, which the server still holds;
    // one that is gone, or of another depth, costs an error that is let go,
    // and the monitor stays black.
    if (change.old_root)
        for (const xcb_rectangle_t& region : kept)
            xcb_copy_area(connection, *change.old_root, change.pixmap, change.gc, region.x, region.y, region.x, region.y,
                          region.width, region.height);
    change.shown.shared_memory = shm;
    change.stage = Change::Stage::drawing;
    if (!shm) {
        send_next_chunk(change);
        return;
    }
    // The server reads each picture from its memory while it takes the
    // request; the segment goes at once after.
    for (const Placed& placed : change.placed) {
        const xcb_shm_seg_t segment = xcb_generate_id(connection);
        const int copy = fcntl(placed.memory.get(), F_DUPFD_CLOEXEC, 0);
        if (copy < 0) continue;
        xcb_shm_attach_fd(connection, segment, copy, 1);  // libxcb sends and closes the copy
        xcb_shm_put_image(connection, change.pixmap, change.gc, static_cast<std::uint16_t>(placed.stride / pixel_bytes),
                          static_cast<std::uint16_t>(placed.rows), static_cast<std::uint16_t>(placed.from_x),
                          static_cast<std::uint16_t>(placed.from_y), static_cast<std::uint16_t>(placed.width),
                          static_cast<std::uint16_t>(placed.height), static_cast<std::int16_t>(placed.to_x),
                          static_cast<std::int16_t>(placed.to_y), screen.root_depth, XCB_IMAGE_FORMAT_Z_PIXMAP, 0,
                          segment, 0);
        xcb_shm_detach(connection, segment);
    }
    change.placed.clear();
    // The frames begin from the answers about the old root pixmap and the CRTCs.
    if (change.old_asked_sent) {
        await(change);
        return;
    }
    send_finish(change);
}

// Without MIT-SHM the pixels travel in PutImage requests, a chunk under the
// server's request limit at a time, each sent once the server has taken the
// one before, so that a write never waits on it.
void XPainter::send_next_chunk(Change& change) {
    xcb_connection_t* connection = change.connection.get();
    const std::size_t request_bytes =
        std::min<std::size_t>(std::size_t{xcb_get_setup(connection)->maximum_request_length} * 4,
                              unanswered_bytes + put_image_header_bytes);
    while (change.placing < change.placed.size()) {
        const Placed& placed = change.placed[change.placing];
        if (change.chunk == 0 && change.chunks.empty())
            change.chunks = put_image_chunks(placed.width, placed.height, request_bytes);
        if (change.chunk >= change.chunks.size()) {
            ++change.placing;
            change.chunks.clear();
            change.chunk = 0;
            continue;
        }
        const PutChunk part = change.chunks[change.chunk++];
        // The one place where the daemon reads pixels: the picture is mapped
        // read-only, only the rows of this chunk, copied into the request
        // (libxcb copies or writes them before it returns) and unmapped at once.
        static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t offset = std::size_t{placed.from_y + part.y} * placed.stride;
        const std::size_t start = offset / page * page;
        const std::size_t length = offset - start + std::size_t{part.height} * placed.stride;
        void* mapped = mmap(nullptr, length, PROT_READ, MAP_SHARED, placed.memory.get(), static_cast<off_t>(start));
        if (mapped == MAP_FAILED) {
            end(change, XShown{false, {}, false, "a picture could not be read"});
            return;
        }
        const unsigned char* first =
            static_cast<const unsigned char*>(mapped) + (offset - start) + std::size_t{placed.from_x + part.x} * pixel_bytes;
        const std::size_t row_bytes = std::size_t{part.width} * pixel_bytes;
        const unsigned char* data = first;
        if (row_bytes != placed.stride) {
            change.rows.resize(row_bytes * part.height);
            for (std::uint32_t row = 0; row < part.height; ++row)
                std::memcpy(change.rows.data() + row * row_bytes, first + std::size_t{row} * placed.stride, row_bytes);
            data = change.rows.data();
        }
        xcb_put_image(connection, XCB_IMAGE_FORMAT_Z_PIXMAP, change.pixmap, change.gc, static_cast<std::uint16_t>(part.width),
                      static_cast<std::uint16_t>(part.height), static_cast<std::int16_t>(placed.to_x + part.x),
                      static_cast<std::int16_t>(placed.to_y + part.y), 0, change.screen->root_depth,
                      static_cast<std::uint32_t>(row_bytes * part.height), data);
        munmap(mapped, length);
        await(change);
        return;
    }
    change.placed.clear();
    send_finish(change);
}

// The pixmap becomes the root window's picture, and the connection is left
// holding nothing else; with transitions, the frames lead there.
void XPainter::send_finish(Change& change) {
    if (change.moves && !change.at_once && start_frames(change)) return;
    finish_with(change, change.pixmap);
}

void XPainter::finish_with(Change& change, std::uint32_t root_pixmap) {
    xcb_connection_t* connection = change.connection.get();
    const xcb_window_t root = change.screen->root;
    xcb_free_gc(connection, change.gc);
    xcb_set_close_down_mode(connection, XCB_CLOSE_DOWN_RETAIN_PERMANENT);
    for (const xcb_atom_t atom : {change.root_atom, change.esetroot_atom})
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, atom, XCB_ATOM_PIXMAP, 32, 1, &root_pixmap);
    xcb_change_window_attributes(connection, root, XCB_CW_BACK_PIXMAP, &root_pixmap);
    xcb_clear_area(connection, 0, root, 0, 0, 0, 0);
    if (root_pixmap_freeable(change.old_root, change.old_esetroot) && *change.old_root != root_pixmap)
        xcb_kill_client(connection, *change.old_root);
    change.stage = Change::Stage::finishing;
    await(change);
}

// Sets up the frames: the pictures RENDER composes with, and the frame
// pixmap, the new picture where nothing moves and the old one where it will,
// named as the root's. False, with nothing sent, when no monitor can move:
// no RENDER, no old root pixmap of the screen's depth that covers a moving
// monitor, or no transition with frames.
bool XPainter::start_frames(Change& change) {
    xcb_connection_t* connection = change.connection.get();
    const xcb_screen_t& screen = *change.screen;
    if (!change.old_asked_sent) return false;
    XcbReplyPtr<xcb_get_geometry_reply_t> old = taken_reply<xcb_get_geometry_reply_t>(connection, change.old_asked.sequence);
    const std::vector<CrtcRefresh> crtcs = crtc_refreshes(connection, change.resources.get(), change.crtcs_asked);
    if (!old || old->depth != screen.root_depth) return false;
    for (std::size_t index = 0; index < change.monitors.size() && index < change.transitions.size(); ++index) {
        const Transition& transition = change.transitions[index];
        const Monitor& monitor = change.monitors[index];
        if (!transition_runs(transition)) continue;
        const std::int64_t left = std::max<std::int64_t>(monitor.x, 0), top = std::max<std::int64_t>(monitor.y, 0);
        const std::int64_t right = std::min<std::int64_t>(std::int64_t{monitor.x} + monitor.width, screen.width_in_pixels);
        const std::int64_t bottom =
            std::min<std::int64_t>(std::int64_t{monitor.y} + monitor.height, screen.height_in_pixels);
        // The old picture must be there wherever the monitor is on screen.
        if (right <= left || bottom <= top || right > old->width || bottom > old->height) continue;
        Moving moving;
        moving.transition = transition;
        moving.monitor = monitor;
        moving.left = static_cast<std::int32_t>(left);
        moving.top = static_cast<std::int32_t>(top);
        moving.width = static_cast<std::uint32_t>(right - left);
        moving.height = static_cast<std::uint32_t>(bottom - top);
        moving.fps = std::min(transition.fps, monitor_refresh(monitor, crtcs));
        change.fps = std::max(change.fps, moving.fps);
        change.length = std::max<std::chrono::nanoseconds>(change.length, transition.time);
        change.moving.push_back(moving);
    }
    if (change.moving.empty()) return false;

    change.frame = xcb_generate_id(connection);
    xcb_create_pixmap(connection, screen.root_depth, change.frame, screen.root, screen.width_in_pixels,
                      screen.height_in_pixels);
    change.old_picture = xcb_generate_id(connection);
    change.new_picture = xcb_generate_id(connection);
    change.frame_picture = xcb_generate_id(connection);
    xcb_render_create_picture(connection, change.old_picture, *change.old_root, change.root_format, 0, nullptr);
    xcb_render_create_picture(connection, change.new_picture, change.pixmap, change.root_format, 0, nullptr);
    xcb_render_create_picture(connection, change.frame_picture, change.frame, change.root_format, 0, nullptr);
    xcb_copy_area(connection, change.pixmap, change.frame, change.gc, 0, 0, 0, 0, screen.width_in_pixels,
                  screen.height_in_pixels);
    for (const Moving& moving : change.moving)
        xcb_copy_area(connection, *change.old_root, change.frame, change.gc, static_cast<std::int16_t>(moving.left),
                      static_cast<std::int16_t>(moving.top), static_cast<std::int16_t>(moving.left),
                      static_cast<std::int16_t>(moving.top), static_cast<std::uint16_t>(moving.width),
                      static_cast<std::uint16_t>(moving.height));
    // Kept from now on: should the daemon end in the middle, the root keeps its frame.
    xcb_set_close_down_mode(connection, XCB_CLOSE_DOWN_RETAIN_PERMANENT);
    const xcb_window_t root = screen.root;
    for (const xcb_atom_t atom : {change.root_atom, change.esetroot_atom})
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, atom, XCB_ATOM_PIXMAP, 32, 1, &change.frame);
    xcb_change_window_attributes(connection, root, XCB_CW_BACK_PIXMAP, &change.frame);
    xcb_clear_area(connection, 0, root, 0, 0, 0, 0);

    change.stage = Change::Stage::frames;
    change.started = Clock::now();
    Change* self = &change;
    change.ticker = std::make_unique<TimerEvent>(base_, [this, self] { on_tick(*self); });
    change.ticker->schedule_at(change.started + frame_time(1, change.fps));
    change.outstanding = true;
    await(change);
    return true;
}

// A frame's time has come: drawn unless the one before is still unanswered,
// the last drawn once it is.
void XPainter::on_tick(Change& change) {
    const std::chrono::nanoseconds elapsed = Clock::now() - change.started;
    const std::int64_t due = elapsed >= change.length ? frames_at(change.length - std::chrono::nanoseconds(1), change.fps) + 1
                                                      : frames_at(elapsed, change.fps);
    if (due > change.ticked) {
        change.asked += static_cast<std::uint32_t>(due - change.ticked);
        change.ticked = due;
    }
    change.last_due = elapsed >= change.length;
    if (!change.outstanding) {
        if (change.last_due) {
            send_last(change);
            await(change);
            return;
        }
        draw_frame(change, elapsed);
    }
    if (!change.last_due) change.ticker->schedule_at(change.started + frame_time(change.ticked + 1, change.fps));
}

// Composes each monitor whose own frame has come, from the old picture and
// the new, into the root's pixmap.
void XPainter::draw_frame(Change& change, std::chrono::nanoseconds elapsed) {
    xcb_connection_t* connection = change.connection.get();
    std::int64_t left = INT64_MAX, top = INT64_MAX, right = INT64_MIN, bottom = INT64_MIN;
    for (Moving& moving : change.moving) {
        if (moving.done) continue;
        const std::int16_t x = static_cast<std::int16_t>(moving.left), y = static_cast<std::int16_t>(moving.top);
        const std::uint16_t width = static_cast<std::uint16_t>(moving.width), height = static_cast<std::uint16_t>(moving.height);
        const std::int64_t own = frames_at(elapsed, moving.fps);
        if (elapsed >= moving.transition.time) {
            xcb_copy_area(connection, change.pixmap, change.frame, change.gc, x, y, x, y, width, height);
            moving.done = true;
        } else if (own > moving.frame) {
            const double progress = transition_progress(moving.transition, elapsed);
            if (moving.transition.kind == Transition::Kind::fade) {
                xcb_render_composite(connection, XCB_RENDER_PICT_OP_SRC, change.old_picture, XCB_NONE,
                                     change.frame_picture, x, y, 0, 0, x, y, width, height);
                const xcb_render_picture_t opacity = xcb_generate_id(connection);
                const xcb_render_color_t colour{0, 0, 0, static_cast<std::uint16_t>(std::lround(progress * 0xffff))};
                xcb_render_create_solid_fill(connection, opacity, colour);
                xcb_render_composite(connection, XCB_RENDER_PICT_OP_OVER, change.new_picture, opacity,
                                     change.frame_picture, x, y, 0, 0, x, y, width, height);
                xcb_render_free_picture(connection, opacity);
            } else {
                const double monitor_width = moving.monitor.width, monitor_height = moving.monitor.height;
                Shape shape = transition_shape(moving.transition, monitor_width, monitor_height, progress);
                if (progress < moving.progress) {
                    // An easing that turns back: the old picture again, and the shape whole on it.
                    xcb_copy_area(connection, *change.old_root, change.frame, change.gc, x, y, x, y, width, height);
                } else if (moving.transition.kind == Transition::Kind::wipe && moving.progress > 0) {
                    // Only the band the edge swept since the last frame, from a
                    // pixel behind that frame's edge, which it drew in part.
                    const WipeEdge before = wipe_edge(moving.transition.angle, monitor_width, monitor_height, moving.progress);
                    shape = shape_cut(shape, {-before.along.x, -before.along.y}, 1 - before.offset);
                }
                for (ShapePoint& point : shape) {
                    point.x += moving.monitor.x;
                    point.y += moving.monitor.y;
                }
                shape = shape_cut(shape, {-1, 0}, -moving.left);
                shape = shape_cut(shape, {1, 0}, moving.left + moving.width);
                shape = shape_cut(shape, {0, -1}, -moving.top);
                shape = shape_cut(shape, {0, 1}, moving.top + moving.height);
                std::vector<xcb_render_trapezoid_t> trapezoids;
                for (const Trapezoid& trapezoid : shape_trapezoids(shape))
                    trapezoids.push_back({fixed(trapezoid.top), fixed(trapezoid.bottom),
                                          {{fixed(trapezoid.left_from.x), fixed(trapezoid.left_from.y)},
                                           {fixed(trapezoid.left_to.x), fixed(trapezoid.left_to.y)}},
                                          {{fixed(trapezoid.right_from.x), fixed(trapezoid.right_from.y)},
                                           {fixed(trapezoid.right_to.x), fixed(trapezoid.right_to.y)}}});
                // The server takes the source from where the first trapezoid's
                // left line begins: the whole pixel of it in both pictures.
                if (!trapezoids.empty())
                    xcb_render_trapezoids(connection, XCB_RENDER_PICT_OP_OVER, change.new_picture, change.frame_picture,
                                          change.alpha_format,
                                          static_cast<std::int16_t>(trapezoids.front().left.p1.x >> 16),
                                          static_cast<std::int16_t>(trapezoids.front().left.p1.y >> 16),
                                          static_cast<std::uint32_t>(trapezoids.size()), trapezoids.data());
            }
            moving.frame = own;
            moving.progress = progress;
        } else {
            continue;
        }
        left = std::min<std::int64_t>(left, moving.left);
        top = std::min<std::int64_t>(top, moving.top);
        right = std::max<std::int64_t>(right, std::int64_t{moving.left} + moving.width);
        bottom = std::max<std::int64_t>(bottom, std::int64_t{moving.top} + moving.height);
    }
    if (right <= left) return;
    const xcb_window_t root = change.screen->root;
    for (const xcb_atom_t atom : {change.root_atom, change.esetroot_atom})
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, atom, XCB_ATOM_PIXMAP, 32, 1, &change.frame);
    xcb_clear_area(connection, 0, root, static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
                   static_cast<std::uint16_t>(right - left), static_cast<std::uint16_t>(bottom - top));
    ++change.drawn;
    change.outstanding = true;
    await(change);
}

// The last frame, the new picture whole, with what ends the change: the
// requests only, which the caller awaits.
void XPainter::send_last(Change& change) {
    xcb_connection_t* connection = change.connection.get();
    change.ticker->cancel();
    // A frame still unanswered is passed over: the last one's answer comes after it.
    if (change.outstanding) xcb_discard_reply(connection, change.sync);
    change.outstanding = false;
    // Asked by finish_now before its time: one frame more than the clock's.
    if (!change.last_due) ++change.asked;
    ++change.drawn;
    xcb_copy_area(connection, change.pixmap, change.frame, change.gc, 0, 0, 0, 0, change.screen->width_in_pixels,
                  change.screen->height_in_pixels);
    for (const xcb_render_picture_t picture : {change.old_picture, change.new_picture, change.frame_picture})
        xcb_render_free_picture(connection, picture);
    xcb_free_pixmap(connection, change.pixmap);
    change.stage = Change::Stage::finishing;
    const xcb_window_t root = change.screen->root;
    xcb_free_gc(connection, change.gc);
    for (const xcb_atom_t atom : {change.root_atom, change.esetroot_atom})
        xcb_change_property(connection, XCB_PROP_MODE_REPLACE, root, atom, XCB_ATOM_PIXMAP, 32, 1, &change.frame);
    xcb_clear_area(connection, 0, root, 0, 0, 0, 0);
    if (root_pixmap_freeable(change.old_root, change.old_esetroot) && *change.old_root != change.frame)
        xcb_kill_client(connection, *change.old_root);
}

// A newer show comes while the frames run: the frame on screen stays the
// root's picture, and what only the frames needed goes.
void XPainter::retire(Change& change) {
    xcb_connection_t* connection = change.connection.get();
    change.callback = nullptr;
    change.ticker->cancel();
    if (change.outstanding) xcb_discard_reply(connection, change.sync);
    change.outstanding = false;
    for (const xcb_render_picture_t picture : {change.old_picture, change.new_picture, change.frame_picture})
        xcb_render_free_picture(connection, picture);
    xcb_free_pixmap(connection, change.pixmap);
    xcb_free_gc(connection, change.gc);
    if (root_pixmap_freeable(change.old_root, change.old_esetroot) && *change.old_root != change.frame)
        xcb_kill_client(connection, *change.old_root);
    change.stage = Change::Stage::finishing;
    await(change);
}

void XPainter::end(Change& change, XShown shown) {
    std::unique_ptr<Change> ended;
    if (retiring_.get() == &change) ended = std::move(retiring_);
    else if (change_.get() == &change) ended = std::move(change_);
    // Its events go before its connection, and the connection before the callback.
    ended->readable.reset();
    ended->overdue.reset();
    ended->ticker.reset();
    ended->connection.reset();
    if (!shown.on_screen && !away_) {
        report("Zelvo cannot draw on the display %s (%s) until it is back", display_.value_or(":0").c_str(),
               shown.failure.c_str());
        away_ = true;
    } else if (shown.on_screen && away_) {
        report("Zelvo draws on the display %s again", display_.value_or(":0").c_str());
        away_ = false;
    }
    // A change held for the one that retired goes on.
    if (change_ && change_->stage == Change::Stage::held && !retiring_) ask(*change_);
    if (ended->callback) ended->callback(shown);
}

}  // namespace zelvo
