#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "desktop/desktop.h"
#include "images/launch_vector.h"
#include "support/event.h"
#include "process/process.h"
#include "process/worker_job.h"

namespace zelvo {

// How long one call of a desktop's tool may run before its process group is
// killed: gsettings takes a few milliseconds, pcmanfm-qt and
// plasma-apply-wallpaperimage, which start a Qt program, well under a second.
inline constexpr std::chrono::seconds desktop_tool_deadline{10};
// plasmashell owns its bus name before it has a desktop: a call that may
// have come too early is made again after this, at most desktop_repeats times.
inline constexpr std::chrono::seconds desktop_repeat_after{1};
inline constexpr int desktop_repeats = 30;
// The most of a tool's output that is read (Xfce's properties, one a line).
inline constexpr std::size_t most_tool_output = std::size_t{1} << 20;

// One monitor of a change, in feh's order: its name as the display gives it
// (empty when none is known) and its bg-style.
struct DesktopMonitor {
    std::string name;
    std::string bg_style;
};

// What the setter is given once.
struct DesktopSettings {
    std::optional<Desktop> desktop;
    std::string current_desktop;  // XDG_CURRENT_DESKTOP as it was, for the log
    DesktopTools tools;
    // The folder of the private copies and links, which outlives the session
    // so that the desktop still finds its picture at the next login.
    std::string folder;
    // The tools' whole environment (their session bus, their display).
    std::vector<std::string> environment;
};

// Sets the wallpaper through the running desktop's own tools, as a few
// steps that the loop drives: a change (show), the end of a child (on_child)
// and its own timers. One tool runs at a time, in a process group of its
// own, bounded by desktop_tool_deadline; a change asked for while one runs
// waits, and only the latest is carried out once it has ended. A URL is first
// fetched to a private copy, and a name the desktop's tool cannot take is
// given to it as a link of a plain name, both in the settings' folder, where
// whatever the desktop's settings no longer point at is removed. Nothing
// here ever waits.
class DesktopSetter {
public:
    DesktopSetter(event_base* base, DesktopSettings settings);
    ~DesktopSetter();
    DesktopSetter(const DesktopSetter&) = delete;
    DesktopSetter& operator=(const DesktopSetter&) = delete;

    // Shows the images (an absolute path, a path from "/", or a URL), the
    // first on the first monitor; `monitors` in the same order, as many as
    // there are images or fewer (a monitor beyond them is unnamed and takes
    // the first's style).
    void show(std::vector<std::string> images, std::vector<DesktopMonitor> monitors);
    // A child of the daemon has ended: it may be the tool that runs.
    void on_child();
    // Starts nothing more and ends the tool that runs (SIGTERM to its group).
    void quit();
    // After the loop: whatever is left of the tool is killed, to be reaped
    // with the daemon's other killed children.
    void after_loop();

    // The tool that runs, if any (for whoever watches the children).
    std::optional<pid_t> running() const;

private:
    struct Want {
        std::vector<std::string> images;
        std::vector<DesktopMonitor> monitors;
    };
    struct Plan {
        std::vector<ToolCall> calls;
        std::size_t next = 0;
        int repeats = 0;
        std::vector<DesktopPicture> pictures;
    };
    enum class Ending { exited, failed, overdue, unstarted };

    void advance();
    bool make_plan();
    std::optional<std::string> file_for(const std::string& image, std::size_t monitor);
    std::optional<std::string> plain_name_for(const std::string& path);
    void start_call(const ToolCall& call);
    void settle_call();
    void end_call(Ending ending, int status);
    void on_output();
    void on_deadline();
    void fetch(const std::string& url);
    void on_fetched(const std::string& url, const std::string& file, const std::optional<std::string>& answer);
    void complete_plan();
    void remove_unused();
    std::string private_name(const char* kind, const std::string& source);
    bool have_folder();

    event_base* base_;
    DesktopSettings settings_;
    LaunchVector environment_;
    std::optional<Want> wanted_;
    std::optional<Plan> plan_;
    // The files of the last plan carried out to its end, one per picture.
    std::vector<DesktopPicture> applied_;
    // The images asked for last, as they were asked for.
    std::vector<std::string> asked_;

    pid_t pid_ = -1;  // the tool that runs, unreaped, and its group
    UniqueDescriptor output_;
    std::unique_ptr<DescriptorEvent> output_watch_;
    std::string output_text_;
    TimerEvent deadline_;
    TimerEvent repeat_;

    // (URL, copy) and (name, link), in the folder.
    std::vector<std::pair<std::string, std::string>> copies_;
    std::vector<std::pair<std::string, std::string>> links_;
    std::unique_ptr<WorkerJob> fetch_;
    std::string fetching_;
    std::string fetching_file_;
    std::vector<std::string> unfetched_;
    std::uint64_t made_ = 0;
    bool quitting_ = false;
    bool said_unknown_ = false;
};

}  // namespace zelvo
