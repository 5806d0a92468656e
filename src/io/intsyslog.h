// The process-wide settings of the "syslog" interface class, for inspection.
#ifndef TELVI_IO_INTSYSLOG_H
#define TELVI_IO_INTSYSLOG_H

#include <string>

namespace telvi::io {

struct SyslogSettings {
  std::string application;  // empty until an open gives one
  int facility;
  int options;
};

SyslogSettings syslogSettings();

}  // namespace telvi::io

#endif
