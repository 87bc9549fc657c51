#pragma once

#include <libconfig.h>

#include <cctype>
#include <string>

namespace zelvo {

// Owns one libconfig configuration: config_init on construction,
// config_destroy on destruction. The root setting points back at the
// config_t, so the owner can be neither copied nor moved.
class ConfigFile {
public:
    ConfigFile() { config_init(&config_); }
    ~ConfigFile() { config_destroy(&config_); }
    ConfigFile(const ConfigFile&) = delete;
    ConfigFile& operator=(const ConfigFile&) = delete;

    config_t* get() { return &config_; }
    const config_t* get() const { return &config_; }

private:
    config_t config_;
};

// Whether libconfig can parse the text as it stands and read nothing else: a
// NUL byte would end the text early, and an include directive, in any letter
// case, would make libconfig open and read a file the text names.
inline bool config_text_is_plain(const std::string& text) {
    if (text.find('\0') != std::string::npos) return false;
    static constexpr char directive[] = "@include";
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
        std::size_t matched = 0;
        while (directive[matched] != '\0' && at + matched < text.size() &&
               std::tolower(static_cast<unsigned char>(text[at + matched])) == directive[matched])
            ++matched;
        if (directive[matched] == '\0') return false;
    }
    return true;
}

}  // namespace zelvo
