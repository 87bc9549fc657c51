#pragma once

struct event_base;

namespace zelvo {

// Before detaching, reports go to standard error with "\r\n" line ends;
// once log_open has run they go to the system log at LOG_NOTICE, as
// syslog(3) would send them, through a connection of the daemon's own that
// never blocks: lines the log socket cannot take wait in a bounded queue.
void log_open();
void log_close();

// The loop's start hands its base: from then on the loop sends the waiting
// lines as soon as the log socket takes them again. log_detach, before the
// base goes, lets go of it; log_close tries the last lines once more.
void log_attach(event_base* base);
void log_detach();

// A fixed sentence to the system log at LOG_NOTICE.
void log_notice(const char* message);

// One formatted line to wherever the process speaks now (see above).
void report(const char* format, ...) __attribute__((format(printf, 1, 2)));

// From now on, report hands each line to `sink` instead: a worker whose
// lines the daemon logs in its own name and in their place among its own.
void report_to(void (*sink)(const char* line, void* context), void* context);

}  // namespace zelvo
