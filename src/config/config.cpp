#include "config/config.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <dirent.h>
#include <sys/stat.h>

#include "images/expand.h"
#include "support/config_file.h"
#include "support/log.h"
#include "support/regular_file.h"

namespace zelvo {

namespace {

// No configuration comes near this; a larger file is refused before it is read.
constexpr std::size_t most_config_bytes = std::size_t{128} << 20;

bool is_directory(const std::string& path) {
    DIR* directory = opendir(path.c_str());
    if (directory == nullptr) return false;
    closedir(directory);
    return true;
}

std::optional<std::string> lookup_text(const config_t* file, const char* key) {
    const char* value = nullptr;
    if (config_lookup_string(file, key, &value) != CONFIG_TRUE) return std::nullopt;
    return std::string(value);
}

// "DISPLAY" and "XAUTHORITY" as X clients read them: an empty one names nothing.
std::optional<std::string> lookup_setting(const config_t* file, const char* key) {
    std::optional<std::string> value = lookup_text(file, key);
    if (value && value->empty()) return std::nullopt;
    return value;
}

// Only the exact names pick a viewer; anything else is the default, feh.
ViewerKind viewer_named(const config_t* file) {
    const std::optional<std::string> name = lookup_text(file, "viewer");
    if (name == "swaybg") return ViewerKind::swaybg;
    if (name == "zelvo") return ViewerKind::zelvo;
    if (name == "desktop") return ViewerKind::desktop;
    return ViewerKind::feh;
}

void lookup_flag(const config_t* file, const char* key, int& field) {
    int value = 0;
    if (config_lookup_bool(file, key, &value) == CONFIG_TRUE) field = value;
}

void lookup_number(const config_t* file, const char* key, int& field) {
    int value = 0;
    if (config_lookup_int(file, key, &value) == CONFIG_TRUE) field = value;
}

// A number written either way, 4.5 or 7.
std::optional<double> lookup_real(const config_t* file, const char* key) {
    double real = 0;
    if (config_lookup_float(file, key, &real) == CONFIG_TRUE) return real;
    int whole = 0;
    if (config_lookup_int(file, key, &whole) == CONFIG_TRUE) return whole;
    return std::nullopt;
}

// A path that the file gives, "~/" at its start taken as the home directory.
std::optional<std::string> lookup_path(const config_t* file, const char* key, const std::string& home) {
    std::optional<std::string> path = lookup_text(file, key);
    if (path) *path = home_path(*path, home);
    return path;
}

// Appends copies of the setting's string elements; others are skipped. With
// a home directory, the first `paths` of them (all: -1) are paths, "~/" at
// their start taken as the home directory.
StringNode* append_strings(StringNode* tail, const config_setting_t* setting, const std::string* home = nullptr,
                           int paths = -1) {
    int length = config_setting_length(setting);
    int taken = 0;
    for (int index = 0; index < length; ++index) {
        const char* element = config_setting_get_string_elem(setting, index);
        if (element == nullptr) continue;
        const bool path = home != nullptr && (paths < 0 || taken < paths);
        tail = string_list_append(tail, path ? home_path(element, *home) : std::string(element));
        ++taken;
    }
    return tail;
}

// The formats that a list names; names of no format are passed over, so that
// a file written for a later version still loads.
void read_exports(const config_setting_t* setting, ColourExports& exports) {
    const int length = config_setting_length(setting);
    for (int index = 0; index < length; ++index) {
        const char* name = config_setting_get_string_elem(setting, index);
        if (name == nullptr) continue;
        const std::string_view format = name;
        if (format == "json") exports.json = true;
        else if (format == "sh") exports.shell = true;
        else if (format == "sequences") exports.sequences = true;
    }
}

bool is_sequence(const config_setting_t* setting) {
    return config_setting_is_list(setting) || config_setting_is_array(setting);
}

// The groups of "per-monitor", a list; an element of another type takes its
// place as an empty group.
std::vector<MonitorGroup> read_monitor_groups(const config_setting_t* list, const std::string& home,
                                             bool transitions) {
    std::vector<MonitorGroup> groups;
    if (!is_sequence(list)) return groups;
    const int length = std::min<int>(config_setting_length(list), static_cast<int>(most_monitor_groups));
    groups.resize(static_cast<std::size_t>(length));
    for (int index = 0; index < length; ++index) {
        const config_setting_t* setting = config_setting_get_elem(list, static_cast<unsigned int>(index));
        if (config_setting_type(setting) != CONFIG_TYPE_GROUP) continue;
        MonitorGroup& group = groups[static_cast<std::size_t>(index)];
        const config_setting_t* sources = config_setting_get_member(setting, "sources");
        if (sources != nullptr && is_sequence(sources)) {
            group.sources = StringList::placeholder();
            append_strings(group.sources.first(), sources, &home);
        }
        int minutes = 0;
        if (config_setting_lookup_int(setting, "minutes", &minutes) == CONFIG_TRUE) group.minutes = minutes;
        const char* style = nullptr;
        if (config_setting_lookup_string(setting, "bg-style", &style) == CONFIG_TRUE) group.bg_style = style;
        group.transition = read_transition_keys(setting, static_cast<std::size_t>(index), transitions);
    }
    return groups;
}

// Makes sure the configuration file exists; false (reported) when it is
// there but unreadable, or cannot be created.
bool ensure_config_file(const std::string& config_path, const std::string& home) {
    // Only asks whether something is there: opening a FIFO would wait for a writer.
    struct stat status{};
    if (stat(config_path.c_str(), &status) == 0) return true;
    if (errno != ENOENT) {
        // An existing file is never overwritten with the defaults.
        report("Zelvo cannot read the configuration file %s: %s", config_path.c_str(),
               std::strerror(errno));
        return false;
    }
    std::string user_directory = home + "/.zelvo";
    if (!is_directory(user_directory) && mkdir(user_directory.c_str(), 0777) != 0) {
        report("Zelvo cannot create the directory %s: %s", user_directory.c_str(),
               std::strerror(errno));
        return false;
    }
    if (!write_default_config(config_path, home)) {
        report("Zelvo cannot write the configuration file %s: %s", config_path.c_str(),
               std::strerror(errno));
        return false;
    }
    return true;
}

}  // namespace

void release_config(Config* config) { delete config; }

SessionKeys config_session_keys(const std::string& config_path) {
    std::optional<std::string> text = read_regular_file(config_path.c_str(), most_config_bytes);
    ConfigFile file;
    if (!text || !config_read_text(file.get(), *text)) return {};
    return {lookup_setting(file.get(), "DISPLAY"), viewer_named(file.get())};
}

bool write_default_config(const std::string& config_path, const std::string& home) {
    ConfigFile file;
    config_setting_t* root = config_root_setting(file.get());
    config_setting_set_bool(config_setting_add(root, "colors", CONFIG_TYPE_BOOL), 0);
    config_setting_set_bool(config_setting_add(root, "dark", CONFIG_TYPE_BOOL), 1);
    config_setting_set_int(config_setting_add(root, "minutes", CONFIG_TYPE_INT), 30);
    config_setting_set_int(config_setting_add(root, "monitors", CONFIG_TYPE_INT), 1);
    config_setting_set_string(config_setting_add(root, "source_to_use", CONFIG_TYPE_STRING),
                              "default");
    config_setting_t* sources = config_setting_add(root, "default", CONFIG_TYPE_ARRAY);
    std::string images = home + "/.zelvo/images";
    config_setting_set_string(config_setting_add(sources, nullptr, CONFIG_TYPE_STRING),
                              images.c_str());
    return config_write_file(file.get(), config_path.c_str()) == CONFIG_TRUE;
}

ConfigPtr load_config(const std::string& config_path, const std::string& home,
                      const std::optional<std::string>& source) {
    if (!ensure_config_file(config_path, home)) return nullptr;

    // A missing images directory only means the default source finds nothing.
    std::string images = home + "/.zelvo/images";
    if (!is_directory(images)) mkdir(images.c_str(), 0777);

    // Read here, not by libconfig, whose scanner ends the process on a read
    // error; its includes still work, from the user's own file.
    std::optional<std::string> text = read_regular_file(config_path.c_str(), most_config_bytes);
    if (!text) {
        const char* why = errno == EINVAL ? "not a regular file"
                          : errno == EFBIG ? "larger than 128 MiB"
                                           : std::strerror(errno);
        report("Zelvo cannot read the configuration file %s: %s", config_path.c_str(), why);
        return nullptr;
    }
    ConfigFile file;
    if (!config_read_text(file.get(), *text)) {
        if (config_error_type(file.get()) == CONFIG_ERR_PARSE) {
            const char* where = config_error_file(file.get());
            report("Zelvo cannot parse the configuration file %s: line %d: %s",
                   where != nullptr ? where : config_path.c_str(), config_error_line(file.get()),
                   config_error_text(file.get()));
        } else {
            report("Zelvo cannot read the configuration file %s: %s", config_path.c_str(),
                   config_error_text(file.get()));
        }
        return nullptr;
    }
    const config_t* settings = file.get();

    ConfigPtr config(new Config{});
    lookup_flag(settings, "colors", config->colors);
    lookup_flag(settings, "dark", config->dark);
    lookup_flag(settings, "use-xrdb", config->use_xrdb);
    config->bg_style = lookup_text(settings, "bg-style").value_or("--bg-scale");
    config->xauthority = lookup_setting(settings, "XAUTHORITY");
    if (config->xauthority) config->xauthority = home_path(*config->xauthority, home);
    config->display = lookup_setting(settings, "DISPLAY");
    lookup_number(settings, "monitors", config->monitors);
    int counted = 0;
    config->monitors_counted = config_lookup_int(settings, "monitors", &counted) == CONFIG_TRUE;
    config->monitors_auto = lookup_text(settings, "monitors") == "auto";
    config->feh_path = lookup_path(settings, "feh-path", home);
    lookup_number(settings, "minutes", config->minutes);

    std::string list_name = source ? *source
                                   : lookup_text(settings, "source_to_use").value_or("default");
    if (const config_setting_t* list = config_lookup(settings, list_name.c_str())) {
        config->sources = StringList::placeholder();
        append_strings(config->sources.first(), list, &home);
    } else {
        config->sources = StringList(string_list_append(nullptr, images));
    }

    config->xrdb_path = lookup_path(settings, "xrdb-path", home);

    config->xrdb_args = StringList::placeholder();
    StringNode* tail = config->xrdb_args.first();
    if (const config_setting_t* arguments = config_lookup(settings, "xrdb-args"))
        tail = append_strings(tail, arguments);
    else
        tail = string_list_append(tail, "--load");
    string_list_append(tail, lookup_path(settings, "xresources", home).value_or(home + "/.Xresources"));

    config->hook = StringList::placeholder();
    // Its program is a path; its arguments are the user's own words.
    if (const config_setting_t* hook = config_lookup(settings, "hook"))
        append_strings(config->hook.first(), hook, &home, 1);
    if (const config_setting_t* exports = config_lookup(settings, "exports")) read_exports(exports, config->exports);
    lookup_flag(settings, "terminals", config->terminals);

    if (std::optional<std::string> templates = lookup_text(settings, "templates"); templates && !templates->empty())
        config->templates = home_path(*templates, home);
    lookup_number(settings, "alpha", config->alpha);
    config->alpha = std::clamp(config->alpha, 0, 100);
    int cache = 0;
    lookup_flag(settings, "cache", cache);
    if (cache) config->cache = home + "/.zelvo/cache";
    config->contrast = lookup_real(settings, "contrast");
    lookup_number(settings, "rescan", config->rescan);
    config->by_name = lookup_text(settings, "order") == "name";
    config->viewer = viewer_named(settings);
    const bool transitions = config->viewer == ViewerKind::zelvo;
    config->transition = read_transition_keys(config_root_setting(settings), std::nullopt, transitions);
    if (const config_setting_t* groups = config_lookup(settings, "per-monitor"))
        config->per_monitor = read_monitor_groups(groups, home, transitions);
    config->swaybg_path = lookup_path(settings, "swaybg-path", home);
    return config;
}

}  // namespace zelvo
