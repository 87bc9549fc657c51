// The sanitizers' options, built into every program of a sanitizer build.
// The daemon detaches with its standard streams on /dev/null and is started
// with an environment of its own, so neither stderr nor ASAN_OPTIONS would
// reach it: every report goes to a file in the directory
// ZELVO_SANITIZER_REPORTS (asan.<pid>, ubsan.<pid>), and the test run fails
// when any such file exists. Options in the environment are read after these
// and win.
#include <dlfcn.h>

#ifndef ZELVO_SANITIZER_REPORTS
#error "ZELVO_SANITIZER_REPORTS must name the directory of the report files"
#endif
#ifndef ZELVO_SANITIZER_SUPPRESSIONS
#error "ZELVO_SANITIZER_SUPPRESSIONS must name the leak suppression file"
#endif

#define ZELVO_ASAN_REPORTS ZELVO_SANITIZER_REPORTS "/asan"
#define ZELVO_UBSAN_REPORTS ZELVO_SANITIZER_REPORTS "/ubsan"

// The runtimes call these before main and before any constructor; they must
// not touch anything that needs initialising.
extern "C" {

// The first report ends the process (a later one could follow from it), and
// the exit status stays ASan's 1 rather than an abort's core file.
const char* __asan_default_options() {
    return "log_path=" ZELVO_ASAN_REPORTS
           ":halt_on_error=1:abort_on_error=0:detect_leaks=1:detect_stack_use_after_return=1"
           ":check_initialization_order=1:strict_init_order=1:print_suppressions=0";
}

const char* __ubsan_default_options() {
    return "log_path=" ZELVO_UBSAN_REPORTS ":halt_on_error=1:print_stacktrace=1:print_suppressions=0";
}

// Leaks are checked at the normal end of every process, the daemon's
// intermediate forks included; only libraries' own one-time allocations are
// suppressed, each with its reason in the file.
const char* __lsan_default_options() {
    return "suppressions=" ZELVO_SANITIZER_SUPPRESSIONS ":print_suppressions=0";
}

}  // extern "C"

// The bytes the program holds from its allocator, kept by the allocator's
// own hooks, so that a debugger can read the figure without calling into the
// process (which gdb cannot do on every processor). Frees of blocks taken
// before the hooks were set make it a constant off: only its changes count.
extern "C" {
__attribute__((used)) volatile long long zelvo_live_heap_bytes = 0;

// The sanitizers' allocator interface, which GCC's headers do not declare.
using MallocHook = void (*)(const volatile void*, __SIZE_TYPE__);
using FreeHook = void (*)(const volatile void*);
int __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);
__SIZE_TYPE__ __sanitizer_get_allocated_size(const volatile void*);
}

namespace {

void count_malloc(const volatile void*, __SIZE_TYPE__ size) {
    __atomic_fetch_add(&zelvo_live_heap_bytes, static_cast<long long>(size), __ATOMIC_RELAXED);
}

void count_free(const volatile void* block) {
    if (block == nullptr) return;
    __atomic_fetch_sub(&zelvo_live_heap_bytes, static_cast<long long>(__sanitizer_get_allocated_size(block)),
                       __ATOMIC_RELAXED);
}

__attribute__((constructor)) void count_live_heap() { __sanitizer_install_malloc_and_free_hooks(count_malloc, count_free); }

// GCC links UBSan as a runtime of its own, libubsan, which applies its
// log_path through a call that binds to libasan's function of the same name:
// UBSan itself would go on writing to stderr. Its own copy is set here.
__attribute__((constructor)) void ubsan_report_to_files() {
    void* ubsan = dlopen("libubsan.so.1", RTLD_NOW | RTLD_NOLOAD);
    if (ubsan == nullptr) return;  // UBSan inside ASan's runtime, which log_path already covers
    using SetReportPath = void (*)(const char*);
    if (auto set = reinterpret_cast<SetReportPath>(dlsym(ubsan, "__sanitizer_set_report_path")))
        set(ZELVO_UBSAN_REPORTS);
    dlclose(ubsan);
}

}  // namespace
