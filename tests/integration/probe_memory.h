// The memory a probe reports of itself, in KiB: its resident set, or, in a
// sanitized build, its live heap, since the sanitizer's shadow memory and
// quarantine of freed blocks make the resident set grow without a leak.
#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

// Kept by the allocator's hooks in a sanitized build (see the sanitizer
// options); absent, and so at address zero, in any other.
extern "C" __attribute__((weak)) volatile long long zelvo_live_heap_bytes;

inline long probe_memory_kib() {
    if (&zelvo_live_heap_bytes != nullptr) return static_cast<long>(zelvo_live_heap_bytes / 1024);
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}
