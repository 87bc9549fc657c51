#include "colour/colour_child.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>

#include "colour/fetch.h"
#include "process/children.h"
#include "support/log.h"
#include "support/magick.h"
#include "process/process.h"
#include "support/url.h"

namespace zelvo {

namespace {

using Clock = std::chrono::steady_clock;

// A backstop behind the deadline, in case the daemon is stopped meanwhile:
// this much processor time for each thread MagickCore may use, since all of
// them count, and OpenMP's wait for work among them.
constexpr rlim_t processor_seconds = 30;
// How much further a step in the background steps back from the user's work.
constexpr int background_niceness = 10;
// What a step sends: a palette, "the default palette", or "the default
// palette, since the fetch failed", with the reason after it.
constexpr char sent_palette = 'P';
constexpr char sent_default = 'D';
constexpr char sent_fetch_failed = 'F';
constexpr std::size_t most_received = 1024;

// The child's whole life: it never returns into the daemon's code, runs none
// of its clean-up and flushes none of its buffers.
[[noreturn]] void run_colour_child(int sending, const std::string& image_path, bool dark,
                                   const std::optional<std::string>& cache, const char* temporary_directory,
                                   Clock::time_point until, bool background) {
    if (background) setpriority(PRIO_PROCESS, 0, getpriority(PRIO_PROCESS, 0) + background_niceness);
    // What a wallpaper needs at most: its pixels cached on disk, or the image fetched.
    limit_worker(static_cast<rlim_t>(std::max(magick_disk_bytes, most_fetched_bytes)));
    magick_limit_child(temporary_directory);
    limit_processor_time(processor_seconds * std::max<rlim_t>(magick_thread_limit(), 1));
    std::string image = image_path;
    if (is_url(image_path)) {
        // MagickCore's own readers of URLs are refused: the image is fetched
        // here and read from the private directory like any other file.
        std::optional<std::string> why = std::string("there is no private directory for it");
        if (temporary_directory != nullptr) {
            image = std::string(temporary_directory) + "/fetched";
            why = fetch_url(image_path, image, until);
        }
        if (why) {
            write_all(sending, sent_fetch_failed + why->substr(0, most_received / 2));
            _exit(0);
        }
    }
    // OpenMP keeps its threads per thread that starts them, and those of the
    // daemon's thread did not come along into this process: on a thread of
    // its own, MagickCore starts OpenMP afresh and may use every processor.
    std::optional<Palette> palette;
    std::thread([&] { palette = image_palette(image, dark, cache); }).join();
    std::string message(1, palette ? sent_palette : sent_default);
    if (palette)
        for (const std::string& entry : *palette) message += entry;
    write_all(sending, message);
    _exit(0);
}

bool is_entry(std::string_view text) {
    return text.size() == 7 && text[0] == '#' &&
           std::all_of(text.begin() + 1, text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
}

}  // namespace

ColourChild::ColourChild(const std::string& image_path, bool dark, bool background,
                         const std::optional<std::string>& cache)
    : image_(image_path), dark_(dark), until_(Clock::now() + colour_deadline) {
    worker_ = std::make_unique<WorkerChild>("colour", [&](int sending, const char* folder) {
        run_colour_child(sending, image_, dark, cache, folder, until_, background);
    });
    if (!worker_->started()) gave_up(worker_->failure().c_str());
}

ColourChild::~ColourChild() {
    if (!known()) kill_overdue();
}

void ColourChild::gave_up(const char* why) {
    result_ = ColourResult{default_palette(), "Zelvo gave up on the colours of " + image_ + ": " + why};
    worker_.reset();
}

bool ColourChild::take() {
    while (!known()) {
        char bytes[256];
        const ssize_t got = read(worker_->descriptor(), bytes, sizeof bytes);
        if (got > 0) {
            received_.append(bytes, static_cast<std::size_t>(std::min<ssize_t>(got, most_received - received_.size())));
            if (received_.size() >= most_received) finish();
        } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
            closed_ = true;
            finish();
        } else if (errno == EAGAIN) {
            return false;
        }
    }
    return true;
}

// Once the child has let go of its end, everything it sent is here.
void ColourChild::finish() {
    const std::string_view sent = received_;
    if (!sent.empty() && sent[0] == sent_palette && sent.size() == 1 + 16 * 7) {
        Palette palette;
        bool whole = true;
        for (std::size_t i = 0; i < palette.size(); ++i) {
            palette[i] = sent.substr(1 + 7 * i, 7);
            whole = whole && is_entry(palette[i]);
        }
        if (whole) {
            result_ = ColourResult{palette, std::nullopt};
            end_child();
            return;
        }
    } else if (sent == std::string_view(&sent_default, 1)) {
        result_ = ColourResult{default_palette(), std::nullopt};
        end_child();
        return;
    } else if (!sent.empty() && sent[0] == sent_fetch_failed) {
        // The reason is the step's; the line and the name in it are the daemon's own.
        std::string reason(sent.substr(1));
        std::replace_if(reason.begin(), reason.end(), [](char c) { return c == '\n' || c == '\0'; }, ' ');
        result_ = ColourResult{default_palette(),
                               "Zelvo gave up on the colours of " + image_ + ": fetching it failed: " + reason};
        end_child();
        return;
    }
    result_ = ColourResult{default_palette(),
                           "Zelvo gave up on the colours of " + image_ + ": reading it ended before it was done"};
    end_child();
}

// The child has answered or is being given up on: it goes, and its folder
// with it once it has ended. Its pid is reaped only then, so the kill can
// reach no other process.
void ColourChild::end_child() {
    if (!worker_) return;
    if (closed_)
        worker_->finished();
    else
        worker_->kill();
    // The channel stays open until the step is destroyed, or close_pipe: the
    // loop's event for it goes first, before its number can be another
    // descriptor's.
}

const ColourResult& ColourChild::wait() {
    while (!take()) {
        pollfd watched{worker_->descriptor(), POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until_ - Clock::now()).count();
        if (left <= 0) {
            kill_overdue();
            break;
        }
        if (poll(&watched, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            kill_overdue();
            break;
        }
    }
    return *result_;
}

void ColourChild::kill_overdue() {
    result_ = ColourResult{default_palette(), "Zelvo gave up on the colours of " + image_ +
                                                  ": reading it took longer than 20 seconds"};
    end_child();
}

ColourResult colour_step(const std::string& image_path, bool dark, const std::optional<std::string>& cache) {
    ColourResult result = ColourChild(image_path, dark, false, cache).wait();
    children_reap_killed();
    return result;
}

}  // namespace zelvo
