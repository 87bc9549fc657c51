#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>

namespace zelvo {

// A directory of its own for a worker's temporary files (MagickCore's disk
// pixel caches, a fetched image), emptied and removed when it ends: a killed
// worker leaves its files behind. Empty when none could be made; the worker
// then uses MagickCore's usual place.
class PrivateDirectory {
public:
    // Made in $TMPDIR (or /tmp), or in the folder that private_directories_in names.
    explicit PrivateDirectory(const char* purpose);
    ~PrivateDirectory();
    PrivateDirectory(const PrivateDirectory&) = delete;
    PrivateDirectory& operator=(const PrivateDirectory&) = delete;

    const char* path() const { return path_.empty() ? nullptr : path_.c_str(); }

private:
    std::string path_;
};

// From now on this process makes its private directories inside `folder`
// (which is removed with them): a worker whose own workers may be killed
// with it before they could remove theirs.
void private_directories_in(const char* folder);

// Forks a worker: a child that runs this program's own code on a stranger's
// file, without exec. It gets a process group of its own (see
// workers_lead_groups), so that whatever it starts is killed with it, and
// ignores the signals that steer the daemon, so that a signal meant for the
// daemon (pkill -x zelvo) neither costs its work nor reaches the daemon's
// loop a second time. A write past its file size limit fails instead of
// ending it. Gives the child's pid, 0 in the child, or -1 with errno set.
pid_t fork_worker();

// Whether the workers of this process lead process groups of their own; the
// parent then sets the group too (either side may be first) before it
// signals the group.
bool workers_lead_groups();

// From now on the workers of this process stay in its own process group: a
// worker that starts workers of its own (the expansion in the background, with
// its probers) is then ended with all of them by one signal to its group.
void keep_workers_in_this_group();

// Ends a worker at once: its group when it leads one, else the worker alone.
void kill_worker(pid_t pid);

// Descriptors that a worker closes at once: those that stand for the daemon
// itself, such as its pid file's lock, which a worker that outlives a killed
// daemon must not hold, and its control socket and clients, which would
// otherwise wait for an end that a worker holds off. A descriptor stays in
// the set until forget_in_workers, which its owner calls before it closes it.
void close_in_workers(int descriptor);
void forget_in_workers(int descriptor);

// The worker's own ceilings: its address space (what MagickCore may take and
// the libraries) and the largest file it may write.
void limit_worker(rlim_t file_bytes);

// Sets the processor time the worker may use in all, in seconds.
void limit_processor_time(rlim_t seconds);

}  // namespace zelvo
