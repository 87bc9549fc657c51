#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zelvo {

// The list files that zelvo keeps for the user, such as ~/.zelvo/favourites
// and ~/.zelvo/banned: list files as a source may name them (their setting
// "list" names the setting that holds the names, by default "default").
// Each is replaced whole through a temporary file beside it, so that a full
// disk or a fault leaves it as it was. A file that is a symbolic link or no
// regular file, that cannot be parsed, or that includes another file is
// never written: the edit is refused with the reason. The file keeps every
// setting it had; comments are not kept.

// Adds each of the paths that the list does not hold yet, in order, and
// notes them in `added`; the file is made when it is missing. None when
// done, else why not.
std::optional<std::string> list_file_add(const std::string& folder, const std::string& name,
                                         const std::vector<std::string>& paths, std::vector<std::string>& added);

// Takes every entry that equals one of the paths out of the list. None when
// done; else why not, also when the list holds none of them.
std::optional<std::string> list_file_remove(const std::string& folder, const std::string& name,
                                            const std::vector<std::string>& paths);

}  // namespace zelvo
