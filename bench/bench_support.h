#pragma once

// What the benchmark programs share: a private temporary directory, the
// median of timed runs, and outside programs run to completion.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

// A fresh directory under TMPDIR (or /tmp), removed with everything in it
// however the program leaves main; root is empty when it could not be made.
class TempDirectory {
public:
    explicit TempDirectory(const std::string& name) {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + name + ".XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) root = pattern;
    }
    ~TempDirectory() {
        if (!root.empty()) std::filesystem::remove_all(root);
    }
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    std::string root;
};

// Says what went wrong on standard error, naming the program; gives the exit status.
inline int fail(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    return 1;
}

// Runs the action once to warm the caches, then gives the median of `runs`
// timed runs, in seconds.
template <typename Action>
double median_seconds(int runs, Action action) {
    action();
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        const auto start = std::chrono::steady_clock::now();
        action();
        seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    return seconds[static_cast<std::size_t>(runs / 2)];
}

// Runs a program found on PATH with its standard output sent to `output`;
// whether it ran and exited with status 0.
inline bool run_program(std::vector<std::string> arguments, const std::string& output) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t child = 0;
    const int failed = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    return failed == 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace bench
