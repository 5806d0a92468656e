// The one way out for the host subsystem's last-resort messages (the process table's "Can't open
// process list" and friends). They go to standard error today; when the diagnostic channels exist,
// this is the single place to send them there instead.
#ifndef TELVI_HOST_REPORT_H
#define TELVI_HOST_REPORT_H

namespace telvi::host {

void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace telvi::host

#endif
