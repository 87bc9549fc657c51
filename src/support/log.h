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

}  // namespace zelvo
