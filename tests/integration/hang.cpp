// A stand-in for a decoder that never returns, loaded with LD_PRELOAD: a
// process that opens a file whose name holds "zelvo-hang" first makes an
// empty file of that name followed by ".hanging-" and its pid (it may be
// allowed to write no byte), then waits for ever.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

template <typename Function>
Function next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

void hang_on(const char* path) {
    if (path == nullptr || std::strstr(path, "zelvo-hang") == nullptr) return;
    using Open = int (*)(const char*, int, ...);
    static const Open real_open = next<Open>("open");
    const std::string marker = std::string(path) + ".hanging-" + std::to_string(getpid());
    const int file = real_open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (file >= 0) close(file);
    for (;;) pause();
}

// The real open of that name, called once the path has had its chance to hang.
int open_through(const char* name, const char* path, int flags, va_list arguments) {
    hang_on(path);
    const int mode = (flags & O_CREAT) != 0 ? va_arg(arguments, int) : 0;
    using Open = int (*)(const char*, int, ...);
    return next<Open>(name)(path, flags, mode);
}

FILE* fopen_through(const char* name, const char* path, const char* mode) {
    hang_on(path);
    using Fopen = FILE* (*)(const char*, const char*);
    return next<Fopen>(name)(path, mode);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const int descriptor = open_through("open", path, flags, arguments);
    va_end(arguments);
    return descriptor;
}

int open64(const char* path, int flags, ...) {
    va_list arguments;
    va_start(arguments, flags);
    const int descriptor = open_through("open64", path, flags, arguments);
    va_end(arguments);
    return descriptor;
}

FILE* fopen(const char* path, const char* mode) { return fopen_through("fopen", path, mode); }

FILE* fopen64(const char* path, const char* mode) { return fopen_through("fopen64", path, mode); }

}  // extern "C"
