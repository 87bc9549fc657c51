#include "images/list_edit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/config_file.h"
#include "process/process.h"
#include "support/publish.h"

namespace zelvo {

namespace {

// No list of the user's comes near this; a larger one is not read.
constexpr std::size_t most_list_bytes = std::size_t{32} << 20;

struct FileClose {
    void operator()(FILE* file) const noexcept { std::fclose(file); }
};

std::string why(int error) { return std::strerror(error); }

// The list file open for an edit: its folder, its parsed settings, and the setting that holds its names.
struct OpenList {
    UniqueDescriptor folder;
    ConfigFile file;
    config_setting_t* names = nullptr;
};

// Reads the list for an edit, without ever following a link or blocking on
// what stands at its name; with `create`, a missing file or setting is made.
std::optional<std::string> open_list(const std::string& folder_path, const std::string& name, bool create,
                                     OpenList& list) {
    list.folder.reset(open(folder_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (list.folder.get() < 0) return folder_path + ": " + why(errno);
    const int folder = list.folder.get();
    std::string text;
    struct stat status{};
    if (fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(status.st_mode)) return std::string("it is a symbolic link");
        if (!S_ISREG(status.st_mode)) return std::string("it is no regular file");
        const UniqueDescriptor file(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (file.get() < 0 || fstat(file.get(), &status) != 0) return why(errno);
        if (!S_ISREG(status.st_mode)) return std::string("it is no regular file");
        if (static_cast<std::size_t>(status.st_size) > most_list_bytes) return std::string("it is larger than 32 MiB");
        char block[16 << 10];
        for (;;) {
            const ssize_t got = read(file.get(), block, sizeof block);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) return why(errno);
            if (got == 0) break;
            text.append(block, static_cast<std::size_t>(got));
            if (text.size() > most_list_bytes) return std::string("it is larger than 32 MiB");
        }
    } else if (errno != ENOENT || !create) {
        return why(errno);
    }
    // libconfig would stop reading at a NUL byte, and open what an include names.
    if (text.find('\0') != std::string::npos) return std::string("it holds a NUL byte, so zelvo cannot parse it");
    if (config_text_includes(text)) return std::string("it includes another file, which zelvo does not edit");
    if (config_read_string(list.file.get(), text.c_str()) != CONFIG_TRUE)
        return "zelvo cannot parse it: line " + std::to_string(config_error_line(list.file.get())) + ": " +
               config_error_text(list.file.get());
    const char* setting = "default";
    config_lookup_string(list.file.get(), "list", &setting);
    const std::string setting_name = setting;
    list.names = config_lookup(list.file.get(), setting_name.c_str());
    if (list.names == nullptr && create)
        list.names = config_setting_add(config_root_setting(list.file.get()), setting_name.c_str(), CONFIG_TYPE_ARRAY);
    if (list.names == nullptr) return "it has no setting " + setting_name + " that zelvo can make";
    if (!config_setting_is_array(list.names) && !config_setting_is_list(list.names))
        return "its setting " + setting_name + " is no list";
    return std::nullopt;
}

// Replaces the file whole with the settings as they are now.
std::optional<std::string> write_list(const std::string& name, OpenList& list) {
    char* bytes = nullptr;
    std::size_t length = 0;
    {
        std::unique_ptr<FILE, FileClose> stream(open_memstream(&bytes, &length));
        if (!stream) std::abort();
        config_write(list.file.get(), stream.get());
    }
    const std::string text(bytes, length);
    std::free(bytes);
    return replace_entry(list.folder.get(), name, text, 0666);
}

}  // namespace

std::optional<std::string> list_file_add(const std::string& folder, const std::string& name,
                                         const std::vector<std::string>& paths, std::vector<std::string>& added) {
    OpenList list;
    if (std::optional<std::string> refused = open_list(folder, name, true, list)) return refused;
    std::vector<std::string> held;
    for (int index = 0; index < config_setting_length(list.names); ++index)
        if (const char* entry = config_setting_get_string_elem(list.names, index)) held.emplace_back(entry);
    for (const std::string& path : paths) {
        if (std::find(held.begin(), held.end(), path) != held.end()) continue;
        config_setting_t* entry = config_setting_add(list.names, nullptr, CONFIG_TYPE_STRING);
        // An array of numbers takes no name.
        if (entry == nullptr || config_setting_set_string(entry, path.c_str()) != CONFIG_TRUE)
            return std::string("its list holds other things than names");
        held.push_back(path);
        added.push_back(path);
    }
    if (added.empty()) return std::nullopt;
    std::optional<std::string> refused = write_list(name, list);
    if (refused) added.clear();
    return refused;
}

std::optional<std::string> list_file_remove(const std::string& folder, const std::string& name,
                                            const std::vector<std::string>& paths) {
    OpenList list;
    if (std::optional<std::string> refused = open_list(folder, name, false, list))
        return *refused == why(ENOENT) ? std::string("it is not there") : *refused;
    bool removed = false;
    for (int index = config_setting_length(list.names); index-- > 0;) {
        const char* entry = config_setting_get_string_elem(list.names, index);
        if (entry == nullptr || std::find(paths.begin(), paths.end(), entry) == paths.end()) continue;
        config_setting_remove_elem(list.names, static_cast<unsigned>(index));
        removed = true;
    }
    if (!removed) return std::string("it does not hold it");
    return write_list(name, list);
}

}  // namespace zelvo
