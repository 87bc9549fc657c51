#pragma once

#include <libconfig.h>

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

}  // namespace zelvo
