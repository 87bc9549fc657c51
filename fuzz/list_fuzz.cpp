// Fuzzes list files: the input is a list file, read with read_list_file, and
// the sources it names are expanded with expand_sources.
//
// The sources name real paths, and "/" would make every run walk (and ping)
// the whole file system. So expansion stays inside a sandbox: a private
// temporary directory holding three small real images, a sub-directory, an
// empty one, two list files that name each other (one also itself), a file
// that is no list, a symbolic link back to the sandbox and one that leads
// nowhere. Of the input's sources, the first eight that cannot leave the
// sandbox are expanded: a relative path without a ".." component is taken
// inside the sandbox, and a text that starts with a URL scheme is kept as
// written when nothing on disk can answer for it; absolute paths and ".." are
// dropped. The input itself lies outside the sandbox, so expansion never hands
// it to MagickCore's ping: that would fuzz MagickCore's format detection, not
// zelvo.

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "fuzz_support.h"
#include "images/expand.h"
#include "support/c_text.h"
#include "support/config_file.h"
#include "support/magick.h"

using zelvo_fuzz::fail;

namespace {

constexpr std::size_t expanded_sources = 8;

std::string sandbox;
std::string input_path;
std::set<std::string> planted_images;
const std::set<std::string> planted_urls = {"http://www.example.com/x.png", "ftp://mirror.example.org/y.jpg"};

// A small real image at the sandbox path, in the format of its extension,
// made by convert: zelvo's own MagickCore reads wallpapers only.
void plant_image(const std::string& name, const char* colour) {
    const std::string path = sandbox + "/" + name;
    if (std::system(("convert -size 4x4 " + std::string(colour) + " '" + path + "'").c_str()) != 0)
        fail("convert cannot make %s", path.c_str());
    planted_images.insert(path);
}

std::optional<std::string> resolved(const std::string& path) {
    zelvo::CTextPtr text(realpath(path.c_str(), nullptr));
    if (!text) return std::nullopt;
    return std::string(text.get());
}

// Whether a text starts like a URL, the scheme in any letter case; a superset
// of what the URL pattern accepts, and cheaper than compiling it.
bool has_url_scheme(const std::string& text) {
    std::string start = text.substr(0, 8);
    for (char& c : start) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return start.starts_with("http://") || start.starts_with("https://") || start.starts_with("ftp://");
}

// The path inside the sandbox that stands for a source, or none when the
// source could lead out of it.
std::optional<std::string> contained(const std::string& source) {
    if (has_url_scheme(source)) {
        // Relative to the working directory: no file may stand in for the scheme.
        struct stat status;
        const std::string scheme = source.substr(0, source.find('/'));
        if (lstat(scheme.c_str(), &status) != 0 && errno == ENOENT) return source;
    }
    if (source.empty() || source[0] == '/') return std::nullopt;
    for (std::size_t at = 0; at <= source.size();) {
        std::size_t end = source.find('/', at);
        if (end == std::string::npos) end = source.size();
        if (source.compare(at, end - at, "..") == 0) return std::nullopt;
        at = end + 1;
    }
    return sandbox + "/" + source;
}

// The strings of a list-file setting, read here with libconfig alone.
std::vector<std::string> string_elements(const config_setting_t* setting) {
    std::vector<std::string> texts;
    for (int index = 0; index < config_setting_length(setting); ++index)
        if (const char* text = config_setting_get_string_elem(setting, index)) texts.emplace_back(text);
    return texts;
}

// What read_list_file gives must be the named setting's strings, in order,
// after a placeholder when there are none; none when libconfig finds no list.
std::vector<std::string> check_read(const std::optional<zelvo::StringList>& read) {
    zelvo::ConfigFile file;
    const config_setting_t* setting = nullptr;
    // A text with an include or a NUL byte is refused whole, before libconfig sees it.
    const std::string text = zelvo_fuzz::read_file(input_path);
    if (!zelvo::config_text_includes(text) && text.find('\0') == std::string::npos &&
        config_read_file(file.get(), input_path.c_str()) == CONFIG_TRUE) {
        const char* name = "default";
        config_lookup_string(file.get(), "list", &name);
        setting = config_lookup(file.get(), name);
    }
    // So is a list that names a source longer than any path.
    if (setting != nullptr)
        for (const std::string& source : string_elements(setting))
            if (source.size() > zelvo::most_source_bytes) setting = nullptr;
    if (setting == nullptr) {
        if (read) fail("read_list_file gave a list where libconfig finds none");
        return {};
    }
    if (!read || read->first() == nullptr) fail("read_list_file gave none for a list that libconfig reads");
    const std::vector<std::string> expected = string_elements(setting);
    std::vector<std::string> got;
    for (const zelvo::StringNode* node = read->first(); node != nullptr; node = node->link) {
        if (node->value) {
            got.push_back(*node->value);
        } else if (node != read->first() || node->link != nullptr) {
            fail("read_list_file gave a node without a value that is not a lone placeholder");
        }
    }
    if (got != expected)
        fail("read_list_file gave %zu sources where libconfig reads %zu strings", got.size(), expected.size());
    return got;
}

// Every entry of an expansion is one of the sandbox's images (found through
// whatever path) or a URL kept exactly as it was given, by the input or by a
// planted list file.
void check_expansion(const zelvo::StringList& images, const std::set<std::string>& given) {
    for (const zelvo::StringNode* node = images.first(); node != nullptr; node = node->link) {
        if (!node->value) {
            if (node != images.first() || node->link != nullptr)
                fail("expand_sources gave a node without a value inside a list");
            fail("expand_sources gave a lone placeholder where it should give none");
        }
        const std::string& entry = *node->value;
        const std::optional<std::string> target = resolved(entry);
        const bool url = planted_urls.count(entry) != 0 || (given.count(entry) != 0 && has_url_scheme(entry));
        if (target ? planted_images.count(*target) == 0 : !url)
            fail("expand_sources gave \"%s\", neither a sandbox image nor a URL it was given", entry.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    zelvo_fuzz::keep_standard_error();
    zelvo::magick_start(*argc > 0 ? (*argv)[0] : "list_fuzz");
    zelvo::magick_limit_threads(1);
    // The sandbox's parent holds nothing else, and the input lies elsewhere.
    sandbox = zelvo_fuzz::temp_directory("zelvo-list-fuzz") + "/sandbox";
    input_path = zelvo_fuzz::temp_directory("zelvo-list-input") + "/input.list";
    if (mkdir(sandbox.c_str(), 0755) != 0 || mkdir((sandbox + "/sub").c_str(), 0755) != 0 ||
        mkdir((sandbox + "/empty").c_str(), 0755) != 0)
        fail("cannot make the sandbox %s", sandbox.c_str());
    plant_image("red.png", "xc:red");
    plant_image("dot.jpg", "xc:navy");
    plant_image("sub/teal.gif", "xc:teal");
    zelvo_fuzz::write_file(sandbox + "/notes.txt", "not { a list");
    auto quoted = [](const char* name) { return "\"" + sandbox + name + "\""; };
    const std::string outer = "list = \"group.items\";\ngroup = { items = (" + quoted("/dot.jpg") + ", " +
                              quoted("/sub") + ", 5, \"http://www.example.com/x.png\", " + quoted("/missing.png") +
                              ", " + quoted("/sub/inner.list") + "); };\n";
    const std::string inner = "default = [" + quoted("/red.png") + ", " + quoted("/outer.list") + ", " +
                              quoted("/sub/inner.list") + ", \"ftp://mirror.example.org/y.jpg\"];\n";
    zelvo_fuzz::write_file(sandbox + "/outer.list", outer);
    zelvo_fuzz::write_file(sandbox + "/sub/inner.list", inner);
    if (symlink(".", (sandbox + "/loop").c_str()) != 0 || symlink("nowhere", (sandbox + "/dangling").c_str()) != 0)
        fail("cannot make the sandbox's links");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    zelvo_fuzz::write_file(input_path, input);

    const std::optional<zelvo::StringList> read = zelvo::read_list_file(input_path.c_str());
    const std::vector<std::string> sources = check_read(read);

    zelvo::StringList inside = zelvo::StringList::placeholder();
    zelvo::StringNode* tail = inside.first();
    std::set<std::string> given;
    std::size_t taken = 0;
    for (const std::string& source : sources) {
        if (taken == expanded_sources) break;
        if (std::optional<std::string> path = contained(source)) {
            tail = zelvo::string_list_append(tail, *path);
            given.insert(std::move(*path));
            ++taken;
        }
    }
    check_expansion(zelvo::expand_sources(inside.first()), given);
    return 0;
}
