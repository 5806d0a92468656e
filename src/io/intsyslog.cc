// Interface class "syslog": messages to the system log at a fixed priority. Syslog interfaces have no
// real descriptor; each takes a number counting down from 255.
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "io/class.h"
#include "io/intsyslog.h"
#include "telvi/interface.h"
#include "telvi/package.h"

namespace {

using telvi::io::specFields;

struct Word {
  const char *name;
  int value;
};

constexpr Word kPriorities[] = {{"LOG_EMERG", 0},   {"LOG_ALERT", 1},  {"LOG_CRIT", 2},
                                {"LOG_ERR", 3},     {"LOG_WARNING", 4}, {"LOG_NOTICE", 5},
                                {"LOG_INFO", 6},    {"LOG_DEBUG", 7}};
constexpr Word kFacilities[] = {{"LOG_KERN", 0},     {"LOG_USER", 8},     {"LOG_MAIL", 16},
                                {"LOG_DAEMON", 24},  {"LOG_AUTH", 32},    {"LOG_SYSLOG", 40},
                                {"LOG_LPR", 48},     {"LOG_NEWS", 56},    {"LOG_UUCP", 64},
                                {"LOG_CRON", 120},   {"LOG_LOCAL0", 128}, {"LOG_LOCAL1", 136},
                                {"LOG_LOCAL2", 144}, {"LOG_LOCAL3", 152}, {"LOG_LOCAL4", 160},
                                {"LOG_LOCAL5", 168}, {"LOG_LOCAL6", 176}, {"LOG_LOCAL7", 184}};
constexpr Word kOptions[] = {{"LOG_PID", 1}, {"LOG_CONS", 2}, {"LOG_NDELAY", 8}, {"LOG_NOWAIT", 16}};

// Process-wide: the first open that gives each setting fixes it.
struct State {
  std::string application;
  bool haveApplication = false;
  int facility = 8;
  bool haveFacility = false;
  int options = 0;
  bool haveOptions = false;
  bool logOpen = false;
  int next = 255;
} state;

template <size_t N>
int lookup(const Word (&table)[N], const std::string &word) {
  for (const Word &entry : table)
    if (word == entry.name) return entry.value;
  return -1;
}

int parseOptions(const std::string &text) {
  int options = 0;
  size_t pos = 0;
  while (true) {
    size_t bar = text.find('|', pos);
    int option = lookup(kOptions, text.substr(pos, bar == std::string::npos ? bar : bar - pos));
    if (option < 0) return -1;
    options |= option;
    if (bar == std::string::npos) return options;
    pos = bar + 1;
  }
}

// syslog://localhost/PRIORITY;app=NAME;facility=F;logopt=O1|O2 -> syslog:PRIORITY:app:facility:logopt
std::optional<std::string> toSpec(const char *urlOrSpec) {
  if (!isURL(urlOrSpec)) return std::string(urlOrSpec);
  return telvi::io::localSpec(urlOrSpec, "syslog", {"app", "facility", "logopt"});
}

int syslogOpen(const char *urlOrSpec) {
  std::optional<std::string> spec = toSpec(urlOrSpec);
  if (!spec) return errno = EINVAL, -1;
  auto fields = specFields(spec->c_str(), 4);
  const auto &priorityWord = fields[0], &app = fields[1], &facilityWord = fields[2],
             &optionWords = fields[3];
  int priority = priorityWord ? lookup(kPriorities, *priorityWord) : -1;
  int facility = facilityWord ? lookup(kFacilities, *facilityWord) : 0;
  int options = optionWords ? parseOptions(*optionWords) : 0;
  if (priority < 0 || facility < 0 || options < 0) return errno = EINVAL, -1;
  // The next free number below 256 that no interface holds.
  int fd = state.next;
  while (fd >= 0 && interfaceRecord(fd) != nullptr) --fd;
  if (fd < 0) return errno = EMFILE, -1;
  if (intAdd(interfaceFindClass("syslog"), fd, -1, -1, spec->c_str(), priority, -1) != 0) return -1;
  state.next = fd - 1;
  if (app && !state.haveApplication) state.application = *app, state.haveApplication = true;
  if (facilityWord && !state.haveFacility) state.facility = facility, state.haveFacility = true;
  if (optionWords && !state.haveOptions) state.options = options, state.haveOptions = true;
  return fd;
}

int syslogClose(int fd) {
  intRemove(fd);
  if (state.logOpen) closelog();
  state.logOpen = false;
  state.next = 255;
  return 0;
}

ssize_t syslogRead(int, void *, size_t, intPeer *) { return errno = EOPNOTSUPP, -1; }

ssize_t syslogWrite(int fd, const void *buf, size_t len, intPeer *) {
  intStruct *record = interfaceRecord(fd);
  if (record == nullptr) return errno = EBADF, -1;
  if (!state.logOpen) {
    openlog(state.haveApplication ? state.application.c_str() : nullptr, state.options,
            state.facility);
    state.logOpen = true;
  }
  // The buffer is the message itself, never a format.
  syslog(record->mode, "%.*s", static_cast<int>(len), static_cast<const char *>(buf));
  return static_cast<ssize_t>(len);
}

const intClass intSyslogClass = {"syslog",   syslogOpen, syslogClose, nullptr, nullptr,
                                 syslogRead, syslogRead, syslogWrite, nullptr, nullptr};

}  // namespace

telvi::io::SyslogSettings telvi::io::syslogSettings() {
  return {state.application, state.facility, state.options};
}

extern "C" int Intsyslog_InitInternal(void) {
  telvi::io::registerClass(&intSyslogClass);
  return TCL_OK;
}
