// A stand-in for feh and xrdb: each start appends one JSON line to the file
// named after its own executable plus ".log": the monotonic time of its
// start in nanoseconds, its process id, its blocked and ignored signal masks
// as it inherited them, its whole argument vector (argv[0] included, which a
// script could not see) and its whole environment.
#include <climits>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <unistd.h>

extern char** environ;

namespace {

void append_json_text(std::string& out, const char* text) {
    out += '"';
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
        if (*c == '"' || *c == '\\') {
            out += '\\';
            out += static_cast<char>(*c);
        } else if (*c < 0x20 || *c >= 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", *c);
            out += escaped;
        } else {
            out += static_cast<char>(*c);
        }
    }
    out += '"';
}

void append_json_array(std::string& out, char* const* entries) {
    out += '[';
    for (char* const* entry = entries; *entry != nullptr; ++entry) {
        if (entry != entries) out += ',';
        append_json_text(out, *entry);
    }
    out += ']';
}

// The hexadecimal mask of a "SigBlk:" or "SigIgn:" line of /proc/self/status.
std::string signal_mask(const char* key) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key, 0) == 0) return line.substr(line.find_first_not_of(" \t", std::string(key).size()));
    }
    return "";
}

}  // namespace

int main(int, char** argv) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 5);
    if (length <= 0) return 2;
    std::string log(self, static_cast<std::size_t>(length));
    log += ".log";

    std::string line = "{\"monotonic\":" + std::to_string(now.tv_sec * 1000000000LL + now.tv_nsec) +
                       ",\"pid\":" + std::to_string(getpid()) + ",\"sigblk\":\"" + signal_mask("SigBlk:") +
                       "\",\"sigign\":\"" + signal_mask("SigIgn:") + "\",\"argv\":";
    append_json_array(line, argv);
    line += ",\"env\":";
    append_json_array(line, environ);
    line += "}\n";
    // One write to an O_APPEND file: lines of concurrent starts never mix.
    int descriptor = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0) return 2;
    bool written = write(descriptor, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    close(descriptor);
    return written ? 0 : 2;
}
