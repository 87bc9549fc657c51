#pragma once

// What the fuzz targets share: a failed check that libFuzzer sees as a crash,
// private temporary directories, and whole-file reads and writes.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace zelvo_fuzz {

// Where failed checks are told: standard error as it was at start-up, which
// stays open when libFuzzer's -close_fd_mask=2 silences the code under test.
inline int failure_descriptor = 2;

// Called first thing in LLVMFuzzerInitialize, before libFuzzer reads its flags.
inline void keep_standard_error() {
    const int kept = dup(2);
    if (kept >= 0) failure_descriptor = kept;
}

// Prints what did not hold and aborts, which libFuzzer reports with the input.
[[noreturn]] inline void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] inline void fail(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    dprintf(failure_descriptor, "fuzz check failed: ");
    vdprintf(failure_descriptor, format, arguments);
    dprintf(failure_descriptor, "\n");
    va_end(arguments);
    std::abort();
}

// A fresh directory under the system's temporary directory, removed when the
// process exits normally; an input that crashes leaves it behind for a look.
inline std::string temp_directory(const char* name) {
    static std::vector<std::string> made;
    std::string pattern = (std::filesystem::temp_directory_path() / name).string() + "-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) fail("cannot make a temporary directory %s", pattern.c_str());
    std::string path = std::filesystem::canonical(pattern).string();
    if (made.empty()) {
        std::atexit([] {
            std::error_code ignored;
            for (const std::string& directory : made) std::filesystem::remove_all(directory, ignored);
        });
    }
    made.push_back(path);
    return path;
}

// Removes the file first: on ext4, cutting a file that has data to zero length
// makes its close wait for the disk, which would throttle every run.
inline void write_file(const std::string& path, const std::string& bytes) {
    unlink(path.c_str());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << bytes;
    if (!file.flush()) fail("cannot write %s", path.c_str());
}

inline std::string read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) fail("cannot read %s", path.c_str());
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace zelvo_fuzz
