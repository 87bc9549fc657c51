#include "support/log.h"

#include <cstdarg>
#include <cstdio>
#include <syslog.h>

namespace zelvo {

namespace {
// Whether syslog is open; the process has one voice at a time.
bool speaks_to_syslog = false;
void (*report_sink)(const char*, void*) = nullptr;
void* report_context = nullptr;
}  // namespace

void report_to(void (*sink)(const char* line, void* context), void* context) {
    report_sink = sink;
    report_context = context;
}

void log_open() {
    openlog("zelvo", LOG_PID, LOG_DAEMON);
    speaks_to_syslog = true;
}

void log_close() {
    closelog();
    speaks_to_syslog = false;
}

void log_notice(const char* message) { syslog(LOG_NOTICE, "%s", message); }

void report(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    if (report_sink != nullptr) {
        char line[2048];
        std::vsnprintf(line, sizeof line, format, arguments);
        report_sink(line, report_context);
    } else if (speaks_to_syslog) {
        vsyslog(LOG_NOTICE, format, arguments);
    } else {
        std::vfprintf(stderr, format, arguments);
        std::fputs("\r\n", stderr);
    }
    va_end(arguments);
}

}  // namespace zelvo
