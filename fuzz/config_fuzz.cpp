// Fuzzes the configuration loader: the input is the configuration file of a
// private home directory, loaded with load_config. A first line
// "#source NAME" (a comment to libconfig) passes NAME as the -s option would.
// Every field of the loaded Config is checked against the file as libconfig
// alone reads it: a key of its documented type gives its value, a key of
// another type (or none) gives the documented default.

#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "fuzz_support.h"
#include "support/config_file.h"

using zelvo_fuzz::fail;

namespace {

std::string home;
std::string config_path;

using Texts = std::vector<std::string>;

bool is_directory(const std::string& path) {
    DIR* directory = opendir(path.c_str());
    if (directory != nullptr) closedir(directory);
    return directory != nullptr;
}

// Every node's value, in order, after an optional leading placeholder; a
// node without a value anywhere else fails.
Texts values(const zelvo::StringList& list, const char* what) {
    Texts texts;
    for (const zelvo::StringNode* node = list.first(); node != nullptr; node = node->link) {
        if (node->value)
            texts.push_back(*node->value);
        else if (node != list.first())
            fail("%s has a node without a value after its first", what);
    }
    return texts;
}

Texts string_elements(const config_setting_t* setting) {
    Texts texts;
    for (int index = 0; index < config_setting_length(setting); ++index)
        if (const char* text = config_setting_get_string_elem(setting, index)) texts.emplace_back(text);
    return texts;
}

std::optional<std::string> text_of(const config_t* file, const char* key) {
    const config_setting_t* setting = config_lookup(file, key);
    if (setting == nullptr || config_setting_type(setting) != CONFIG_TYPE_STRING) return std::nullopt;
    return std::string(config_setting_get_string(setting));
}

void check_flag(const config_t* file, const char* key, int got) {
    const config_setting_t* setting = config_lookup(file, key);
    const int expected =
        setting != nullptr && config_setting_type(setting) == CONFIG_TYPE_BOOL ? config_setting_get_bool(setting) : 0;
    if (got != expected || (got != 0 && got != 1)) fail("\"%s\" gave %d, expected %d", key, got, expected);
}

// libconfig converts 64-bit integers and floats by rules of its own, which are
// not checked here; any other type must give the default.
void check_number(const config_t* file, const char* key, int got, int fallback) {
    const config_setting_t* setting = config_lookup(file, key);
    const int type = setting != nullptr ? config_setting_type(setting) : CONFIG_TYPE_NONE;
    if (type == CONFIG_TYPE_INT64 || type == CONFIG_TYPE_FLOAT) return;
    const int expected = type == CONFIG_TYPE_INT ? config_setting_get_int(setting) : fallback;
    if (got != expected) fail("\"%s\" gave %d, expected %d", key, got, expected);
}

// A path as the file gives it: "~/" at its start names the home directory.
std::string from_home(const std::string& path) { return path.starts_with("~/") ? home + path.substr(1) : path; }

std::optional<std::string> path_of(const config_t* file, const char* key) {
    std::optional<std::string> path = text_of(file, key);
    if (path) *path = from_home(*path);
    return path;
}

void check_path(const config_t* file, const char* key, const std::optional<std::string>& got) {
    if (got != path_of(file, key)) fail("\"%s\" gave \"%s\"", key, got.value_or("(none)").c_str());
}

void check_config(const zelvo::Config& config, const std::optional<std::string>& source) {
    zelvo::ConfigFile file;
    if (config_read_file(file.get(), config_path.c_str()) != CONFIG_TRUE)
        fail("a file that libconfig cannot read was loaded");
    const config_t* settings = file.get();
    check_flag(settings, "colors", config.colors);
    check_flag(settings, "dark", config.dark);
    check_flag(settings, "use-xrdb", config.use_xrdb);
    check_number(settings, "minutes", config.minutes, 30);
    check_number(settings, "monitors", config.monitors, 1);
    if (config.bg_style != text_of(settings, "bg-style").value_or("--bg-scale"))
        fail("\"bg-style\" gave \"%s\"", config.bg_style.c_str());
    // An empty display or authority file names none, as X clients read them.
    for (auto [key, got] : {std::pair{"XAUTHORITY", &config.xauthority}, std::pair{"DISPLAY", &config.display}}) {
        std::optional<std::string> expected = text_of(settings, key);
        if (expected && expected->empty()) expected.reset();
        if (expected && key == std::string_view("XAUTHORITY")) expected = from_home(*expected);
        if (*got != expected) fail("\"%s\" gave \"%s\"", key, got->value_or("(none)").c_str());
    }
    check_path(settings, "feh-path", config.feh_path);
    check_path(settings, "xrdb-path", config.xrdb_path);
    check_path(settings, "swaybg-path", config.swaybg_path);
    // A number in "monitors" counts, whatever its value; libconfig's own
    // conversions of 64-bit integers and floats are not checked here.
    const config_setting_t* monitors = config_lookup(settings, "monitors");
    const int monitors_type = monitors != nullptr ? config_setting_type(monitors) : CONFIG_TYPE_NONE;
    if (monitors_type != CONFIG_TYPE_INT64 && monitors_type != CONFIG_TYPE_FLOAT &&
        config.monitors_counted != (monitors_type == CONFIG_TYPE_INT))
        fail("\"monitors\" counted %d", static_cast<int>(config.monitors_counted));
    const std::optional<std::string> named = text_of(settings, "viewer");
    const zelvo::ViewerKind viewer = named == "swaybg"    ? zelvo::ViewerKind::swaybg
                                     : named == "zelvo"   ? zelvo::ViewerKind::zelvo
                                     : named == "desktop" ? zelvo::ViewerKind::desktop
                                                          : zelvo::ViewerKind::feh;
    if (config.viewer != viewer) fail("\"viewer\" gave %d", static_cast<int>(config.viewer));

    const std::string list_name = source.value_or(text_of(settings, "source_to_use").value_or("default"));
    const config_setting_t* list = config_lookup(settings, list_name.c_str());
    const Texts sources = values(config.sources, "sources");
    if (config.sources.first() == nullptr) fail("sources has no node");
    Texts listed = list != nullptr ? string_elements(list) : Texts{home + "/.zelvo/images"};
    for (std::string& entry : listed) entry = from_home(entry);
    if (sources != listed)
        fail("sources from \"%s\" hold %zu entries", list_name.c_str(), sources.size());

    const config_setting_t* arguments = config_lookup(settings, "xrdb-args");
    Texts expected = arguments != nullptr ? string_elements(arguments) : Texts{"--load"};
    expected.push_back(path_of(settings, "xresources").value_or(home + "/.Xresources"));
    const Texts got = values(config.xrdb_args, "xrdb_args");
    if (config.xrdb_args.first() == nullptr || !config.xrdb_args.first()->value || got != expected)
        fail("xrdb_args hold %zu entries, expected %zu", got.size(), expected.size());
    if (!is_directory(home + "/.zelvo/images")) fail("the images directory is missing after a load");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zelvo_fuzz::keep_standard_error();
    home = zelvo_fuzz::temp_directory("zelvo-config-fuzz");
    config_path = home + "/.zelvo/.zelvorc";
    // A first run in the empty home makes the per-user directory and the default file.
    zelvo::ConfigPtr config = zelvo::load_config(config_path, home, std::nullopt);
    if (!config) fail("the first run in %s loaded nothing", home.c_str());
    check_config(*config, std::nullopt);
    zelvo::ConfigFile fresh;
    if (config_read_file(fresh.get(), config_path.c_str()) != CONFIG_TRUE ||
        config_setting_length(config_root_setting(fresh.get())) != 6)
        fail("the default file does not hold six settings");
    if (config->dark != 1 || config->minutes != 30 || config->monitors != 1 || config->colors != 0)
        fail("the default file does not read as the defaults");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    // An include would read the machine's own files, which is not what is fuzzed here.
    if (input.find("@include") != std::string::npos) return -1;
    std::optional<std::string> source;
    if (input.starts_with("#source ")) source = input.substr(8, input.find('\n') - 8);
    zelvo_fuzz::write_file(config_path, input);

    zelvo::ConfigPtr config = zelvo::load_config(config_path, home, source);
    zelvo::ConfigFile file;
    const bool parses = config_read_file(file.get(), config_path.c_str()) == CONFIG_TRUE;
    if (parses != (config != nullptr))
        fail("load_config gave %s for a file that libconfig %s", config ? "a Config" : "none",
             parses ? "reads" : "rejects");
    if (config) check_config(*config, source);
    return 0;
}
