#pragma once

namespace zelvo {

// Before detaching, reports go to standard error with "\r\n" line ends;
// once log_open has run they go to syslog at LOG_NOTICE.
void log_open();
void log_close();

// A fixed sentence to syslog at LOG_NOTICE.
void log_notice(const char* message);

// One formatted line to wherever the process speaks now (see above).
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// From now on, report hands each line to `sink` instead: a worker whose
// lines the daemon logs in its own name and in their place among its own.
void report_to(void (*sink)(const char* line, void* context), void* context);

}  // namespace zelvo
