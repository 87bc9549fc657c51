#include "colour/colour_child.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include "colour/colour_file.h"
#include "colour/fetch.h"
#include "support/directory.h"
#include "support/log.h"
#include "support/magick.h"
#include "support/process.h"
#include "support/worker.h"

namespace zelvo {

namespace {

using Clock = std::chrono::steady_clock;

// A backstop behind the deadline, in case the daemon is stopped meanwhile:
// this much processor time for each thread MagickCore may use, since all of
// them count, and OpenMP's wait for work among them.
constexpr rlim_t processor_seconds = 30;
// How long a killed child may take to let go of its end of the pipe.
constexpr std::chrono::seconds kill_grace{2};
constexpr char done_byte = 'd';

// The child's whole life: it never returns into the daemon's code, runs none
// of its clean-up and flushes none of its buffers.
[[noreturn]] void run_colour_child(int done, const std::string& home, const std::string& image_path, bool dark,
                                   const char* temporary_directory, Clock::time_point until) {
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
            report("Zelvo gave up on the colours of %s: fetching it failed: %s", image_path.c_str(), why->c_str());
            image.clear();
        }
    }
    // OpenMP keeps its threads per thread that starts them, and those of the
    // daemon's thread did not come along into this process: on a thread of
    // its own, MagickCore starts OpenMP afresh and may use every processor.
    std::thread([&] {
        if (image.empty())
            write_default_colors(home + "/.zelvo/colors");
        else
            write_color_file(home, image, dark);
    }).join();
    while (write(done, &done_byte, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
}

struct ChildEnd {
    bool done = false;    // the colour file is complete
    bool closed = false;  // the child and all it started have let go of the pipe
};

// Reads the child's pipe until its end is closed or the time is up.
void await_child(int reader, Clock::time_point until, ChildEnd& end) {
    while (!end.closed) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) return;
        pollfd watched{reader, POLLIN, 0};
        const int ready = poll(&watched, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) return;
        if (ready <= 0) continue;
        char bytes[16];
        const ssize_t count = read(reader, bytes, sizeof bytes);
        if (count == 0) end.closed = true;
        if (count > 0 && std::memchr(bytes, done_byte, static_cast<std::size_t>(count)) != nullptr) end.done = true;
        if (count < 0 && errno != EINTR && errno != EAGAIN) return;
    }
}

// A descriptor that no program started from this process inherits.
UniqueDescriptor close_on_exec(int descriptor) {
    fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    return UniqueDescriptor(descriptor);
}

}  // namespace

void write_color_file_in_child(const std::string& home, const std::string& image_path, bool dark) {
    const std::string path = home + "/.zelvo/colors";
    const Clock::time_point until = Clock::now() + colour_deadline;
    const char* image = image_path.c_str();
    int ends[2];
    if (pipe(ends) != 0) {
        report("Zelvo gave up on the colours of %s: pipe failed: %s", image, std::strerror(errno));
        write_default_colors(path);
        return;
    }
    UniqueDescriptor reader = close_on_exec(ends[0]);
    UniqueDescriptor writer = close_on_exec(ends[1]);
    // Outlives the child: it is emptied only once the child has let go.
    const PrivateDirectory temporary("colour");

    const pid_t child = fork_worker();
    if (child < 0) {
        report("Zelvo gave up on the colours of %s: fork failed: %s", image, std::strerror(errno));
        write_default_colors(path);
        return;
    }
    if (child == 0) {
        reader.reset();
        run_colour_child(writer.get(), home, image_path, dark, temporary.path(), until);
    }
    // Either side may set the group first; the kill below needs it set.
    setpgid(child, child);
    writer.reset();

    ChildEnd end;
    await_child(reader.get(), until, end);
    const bool overran = !end.closed;
    if (overran) {
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
        // Only once its end of the pipe is closed is the child gone, and no
        // longer able to write the colour file after the default below.
        await_child(reader.get(), Clock::now() + kill_grace, end);
    }
    if (end.done) return;
    report(!overran ? "Zelvo gave up on the colours of %s: reading it ended before it was done"
                    : "Zelvo gave up on the colours of %s: reading it took longer than 20 seconds",
           image);
    write_default_colors(path);
}

}  // namespace zelvo
