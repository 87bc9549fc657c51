#include "control/status_file.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>

#include "process/process.h"

namespace zelvo {

namespace {

constexpr char format_record[] = "zelvo-status=1";

void add_record(std::string& text, const char* key, const std::string& value) {
    text += key;
    text += '=';
    text += value;
    text += '\0';
}

// A decimal number, "-" allowed in front, within least and most.
std::optional<std::int64_t> parse_number(const std::string& text, std::int64_t least, std::int64_t most) {
    const bool negative = !text.empty() && text[0] == '-';
    std::size_t at = negative ? 1 : 0;
    if (at == text.size()) return std::nullopt;
    std::int64_t value = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9') return std::nullopt;
        const int digit = text[at] - '0';
        if (value > (INT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (negative) value = -value;
    if (value < least || value > most) return std::nullopt;
    return value;
}

}  // namespace

std::string status_file_name(const std::string& display) { return display_file_name(display) + ".status"; }

std::string status_text(const DaemonStatus& status) {
    std::string text;
    text += format_record;
    text += '\0';
    add_record(text, "pid", std::to_string(status.pid));
    add_record(text, "display", status.display);
    add_record(text, "interval", std::to_string(status.interval));
    if (status.last_change) add_record(text, "changed", std::to_string(*status.last_change));
    if (status.next_change) add_record(text, "next", std::to_string(*status.next_change));
    for (const std::string& image : status.images) add_record(text, "image", image);
    if (status.paused) add_record(text, "paused", "1");
    for (const MonitorTiming& monitor : status.monitors)
        add_record(text, "monitor",
                   std::to_string(monitor.interval) + " " +
                       (monitor.next_change ? std::to_string(*monitor.next_change) : std::string("-")));
    for (const std::optional<std::int64_t>& drawn : status.drawn)
        add_record(text, "drawn", drawn ? std::to_string(*drawn) : std::string("-"));
    return text;
}

std::optional<DaemonStatus> parse_status(const std::string& text) {
    // Every record ends with its NUL: a file cut short is no status.
    if (text.empty() || text.back() != '\0') return std::nullopt;
    DaemonStatus status;
    bool pid_found = false;
    std::size_t start = 0;
    for (std::size_t index = 0; start < text.size(); ++index) {
        const std::size_t end = text.find('\0', start);
        const std::string record = text.substr(start, end - start);
        start = end + 1;
        if (index == 0) {
            if (record != format_record) return std::nullopt;
            continue;
        }
        const std::size_t equals = record.find('=');
        if (equals == std::string::npos) return std::nullopt;
        const std::string key = record.substr(0, equals);
        std::string value = record.substr(equals + 1);
        if (key == "image") {
            status.images.push_back(std::move(value));
        } else if (key == "paused") {
            status.paused = value == "1";
        } else if (key == "display") {
            status.display = std::move(value);
        } else if (key == "pid") {
            const std::optional<std::int64_t> number = parse_number(value, 1, INT_MAX);
            if (!number) return std::nullopt;
            status.pid = static_cast<pid_t>(*number);
            pid_found = true;
        } else if (key == "interval") {
            const std::optional<std::int64_t> number = parse_number(value, 0, UINT32_MAX);
            if (!number) return std::nullopt;
            status.interval = static_cast<std::uint32_t>(*number);
        } else if (key == "monitor") {
            const std::size_t space = value.find(' ');
            if (space == std::string::npos) return std::nullopt;
            MonitorTiming monitor;
            const std::optional<std::int64_t> interval = parse_number(value.substr(0, space), 0, UINT32_MAX);
            const std::string next = value.substr(space + 1);
            const std::optional<std::int64_t> when = parse_number(next, -INT64_MAX, INT64_MAX);
            if (!interval || (!when && next != "-")) return std::nullopt;
            monitor.interval = static_cast<std::uint32_t>(*interval);
            monitor.next_change = when;
            status.monitors.push_back(monitor);
        } else if (key == "drawn") {
            const std::optional<std::int64_t> when = parse_number(value, -INT64_MAX, INT64_MAX);
            if (!when && value != "-") return std::nullopt;
            status.drawn.push_back(when);
        } else if (key == "changed" || key == "next") {
            const std::optional<std::int64_t> number = parse_number(value, -INT64_MAX, INT64_MAX);
            if (!number) return std::nullopt;
            (key == "changed" ? status.last_change : status.next_change) = *number;
        }
    }
    if (!pid_found) return std::nullopt;
    return status;
}

bool write_status_file(const RuntimeDirectory& directory, const DaemonStatus& status) {
    const int folder = directory.descriptor();
    const std::string name = status_file_name(status.display);
    // Only the holder of the display's lock writes here: a fixed name is safe.
    const std::string temporary = name + ".new";
    UniqueDescriptor file(openat(folder, temporary.c_str(),
                                 O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600));
    if (file.get() < 0) return false;
    const bool written = write_all(file.get(), status_text(status));
    const bool closed = close(file.release()) == 0;
    if (written && closed && renameat(folder, temporary.c_str(), folder, name.c_str()) == 0) return true;
    unlinkat(folder, temporary.c_str(), 0);
    return false;
}

void remove_status_file(const RuntimeDirectory& directory, const std::string& display) {
    unlinkat(directory.descriptor(), status_file_name(display).c_str(), 0);
}

}  // namespace zelvo
