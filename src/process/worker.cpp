#include "process/worker.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "support/directory.h"
#include "support/magick.h"
#include "process/process.h"

// GCC says so with a macro of its own, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define ZELVO_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZELVO_ADDRESS_SANITIZER 1
#endif
#endif
#ifndef ZELVO_ADDRESS_SANITIZER
#define ZELVO_ADDRESS_SANITIZER 0
#endif

namespace zelvo {

namespace {

// Where private directories go instead of $TMPDIR, when set.
std::string private_base;

// Empties and removes a private directory; the private directories of
// workers inside it go too, one level down.
void remove_folder(const std::string& path, int depth) {
    if (DirectoryPtr directory{opendir(path.c_str())}) {
        while (const dirent* entry = readdir(directory.get())) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
            const std::string inside = path + "/" + entry->d_name;
            if (unlink(inside.c_str()) != 0 && depth > 0) remove_folder(inside, depth - 1);
        }
    }
    rmdir(path.c_str());
}

}  // namespace

PrivateDirectory::PrivateDirectory(const char* purpose) {
    const char* base = std::getenv("TMPDIR");
    std::string folder = !private_base.empty() ? private_base : base != nullptr && *base == '/' ? base : "/tmp";
    std::string pattern = folder + "/zelvo-" + purpose + ".XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = std::move(pattern);
}

PrivateDirectory::~PrivateDirectory() {
    if (!path_.empty()) remove_folder(path_, 1);
}

void private_directories_in(const char* folder) {
    if (folder != nullptr) private_base = folder;
}

namespace {

// The daemon's own descriptors that its workers close: its lock, its
// control socket and its clients, a few dozen at most.
std::vector<int>& daemon_descriptors() {
    static std::vector<int> descriptors;
    return descriptors;
}

bool workers_in_own_groups = true;

}  // namespace

void close_in_workers(int descriptor) { daemon_descriptors().push_back(descriptor); }

void forget_in_workers(int descriptor) {
    std::vector<int>& descriptors = daemon_descriptors();
    descriptors.erase(std::remove(descriptors.begin(), descriptors.end(), descriptor), descriptors.end());
}

bool workers_lead_groups() { return workers_in_own_groups; }

void keep_workers_in_this_group() { workers_in_own_groups = false; }

void kill_worker(pid_t pid) {
    if (pid <= 0) return;
    if (workers_in_own_groups) kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
}

pid_t fork_worker() {
    const pid_t child = fork_child(DaemonSignals::ignore);
    if (child != 0) {
        if (child > 0 && workers_in_own_groups) setpgid(child, child);
        return child;
    }
    if (workers_in_own_groups) setpgid(0, 0);
    std::signal(SIGXFSZ, SIG_IGN);
    // Closed once, here: their numbers may be taken by the worker's own
    // descriptors, which a worker that it starts in turn must not close.
    for (const int descriptor : daemon_descriptors()) close(descriptor);
    daemon_descriptors().clear();
    return 0;
}

namespace {

void limit_resource(int resource, rlim_t most) {
    const rlimit limit{most, most};
    setrlimit(resource, &limit);
}

}  // namespace

void limit_worker(rlim_t file_bytes) {
#if !ZELVO_ADDRESS_SANITIZER
    // AddressSanitizer reserves terabytes of address space for its shadow.
    limit_resource(RLIMIT_AS, magick_child_address_space);
#endif
    limit_resource(RLIMIT_FSIZE, file_bytes);
}

void limit_processor_time(rlim_t seconds) { limit_resource(RLIMIT_CPU, seconds); }

}  // namespace zelvo
