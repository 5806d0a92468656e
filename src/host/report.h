// The one way out for the host subsystem's last-resort messages (the process table's "Can't open
// process list" and friends). They go to standard error: the process table is a C interface of the
// host agent, which may use it before any diagnostic channel is set up.
#ifndef TELVI_HOST_REPORT_H
#define TELVI_HOST_REPORT_H

namespace telvi::host {

void report(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace telvi::host

#endif
