#pragma once

#include <optional>
#include <string>

#include "process/process.h"

namespace zelvo {

// Where the user's daemons keep their pid and status files: a folder "zelvo"
// in $XDG_RUNTIME_DIR, or, when that is unset or empty, a folder "run" in
// home + "/.zelvo". Every zelvo and zelvoctl of one environment finds the
// same place by these rules.
struct RuntimePlace {
    std::string base;    // the folder that holds it
    std::string folder;  // its name inside base
    bool in_home = false;
};

RuntimePlace runtime_place(const char* xdg_runtime_dir, const std::string& home);

// An open runtime directory, owned by the user and writable by nobody else,
// or why it cannot be used. Everything in it is reached through the
// descriptor, so that no path can be swapped under the daemon.
class RuntimeDirectory {
public:
    bool usable() const { return descriptor_.get() >= 0; }
    // The folder does not exist, nor ~/.zelvo for the one in the home (and
    // neither was to be created).
    bool absent() const { return absent_; }
    int descriptor() const { return descriptor_.get(); }
    const std::string& path() const { return path_; }
    // When unusable: the path that failed and why, as "PATH: reason".
    const std::string& problem() const { return problem_; }

private:
    friend RuntimeDirectory open_runtime_directory(const RuntimePlace& place, bool create);

    UniqueDescriptor descriptor_;
    std::string path_;
    std::string problem_;
    bool absent_ = false;
};

// Opens the runtime directory of the place; with create, makes the folder
// (and, in the home, ~/.zelvo) where it is missing. Refused: a base or a
// folder that is not a directory, that another user owns, that the group or
// others may write to, or that cannot be made.
RuntimeDirectory open_runtime_directory(const RuntimePlace& place, bool create);

// The file name that stands for a display in the runtime directory: its
// letters, digits and ":", ".", "_", "-" as they are (so ":0" is ":0"), every
// other byte and a leading "." as "%XX".
std::string display_file_name(const std::string& display);

}  // namespace zelvo
