#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "control/runtime_directory.h"

namespace zelvo {

// One monitor's own period and next change, when the daemon keeps them one by one.
struct MonitorTiming {
    std::uint32_t interval = 0;
    std::optional<std::int64_t> next_change;  // none while paused

    bool operator==(const MonitorTiming&) const = default;
};

// What a running daemon publishes at every change, for zelvoctl.
struct DaemonStatus {
    pid_t pid = 0;
    std::string display;         // the display whose lock it holds
    std::uint32_t interval = 0;  // seconds between timer changes
    std::optional<std::int64_t> last_change;  // seconds since the Epoch
    std::optional<std::int64_t> next_change;
    std::vector<std::string> images;  // on screen now, one per monitor
    bool paused = false;              // the timer changes nothing
    // With the keys "monitors" = "auto" or "per-monitor": each monitor's
    // timing, in the order of `images`; empty otherwise.
    std::vector<MonitorTiming> monitors;
    // When each monitor's picture reached the screen, in seconds since the
    // Epoch, in the order of `images` (none for one not drawn yet); empty
    // for a viewer that cannot tell.
    std::vector<std::optional<std::int64_t>> drawn;
};

// The status file of a display: its display's file name followed by ".status".
std::string status_file_name(const std::string& display);

// The file's content: records "key=value", each ended by a NUL byte, which
// no file name holds. First "zelvo-status=1", then pid, display, interval,
// changed and next (when known), one image record per image, in order,
// paused=1 when paused, one record "monitor=INTERVAL NEXT" per monitor
// timed one by one (NEXT "-" when none), and one record "drawn=WHEN" per
// monitor whose viewer tells when its picture reached the screen (WHEN "-"
// for one not drawn yet).
std::string status_text(const DaemonStatus& status);

// The status that a file's content holds; none when it does not begin with
// "zelvo-status=1", lacks a pid, has a number that is not one, or ends
// inside a record. Unknown keys are passed over.
std::optional<DaemonStatus> parse_status(const std::string& text);

// Replaces the display's status file whole: the content goes to a temporary
// file in the same directory, which is then renamed over it, so that a
// reader sees the old file or the new one. False when it could not be done.
bool write_status_file(const RuntimeDirectory& directory, const DaemonStatus& status);


void remove_status_file(const RuntimeDirectory& directory, const std::string& display);

}  // namespace zelvo
