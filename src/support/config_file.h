#pragma once

#include <libconfig.h>

#include <cctype>
#include <cstdio>
#include <memory>
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

// Parses text read whole from a file exactly as libconfig parses the file
// itself, NUL bytes included, but from memory: libconfig's scanner ends the
// process when a read from a file fails.
inline bool config_read_text(config_t* config, const std::string& text) {
    // A stream over no bytes is not portable; the empty file parses as the empty text.
    if (text.empty()) return config_read_string(config, "") == CONFIG_TRUE;
    std::unique_ptr<FILE, int (*)(FILE*)> stream(fmemopen(const_cast<char*>(text.data()), text.size(), "r"),
                                                 &std::fclose);
    return stream && config_read(config, stream.get()) == CONFIG_TRUE;
}

// Whether the text holds an include directive, in any letter case, which
// would make libconfig open and read a file that the text names.
inline bool config_text_includes(const std::string& text) {
    static constexpr char directive[] = "@include";
    for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + 1)) {
        std::size_t matched = 0;
        while (directive[matched] != '\0' && at + matched < text.size() &&
               std::tolower(static_cast<unsigned char>(text[at + matched])) == directive[matched])
            ++matched;
        if (directive[matched] == '\0') return true;
    }
    return false;
}

}  // namespace zelvo
