// The log viewer: lines, or multi-line records of the agent's own logs, that match a regular
// expression within a time window; and a follower that reports what was added since its last call.
#include <regex.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "log/lof_internal.h"

struct LofViewer {
  lof *reader = nullptr;
  char *pattern = nullptr;  // owned
  regex_t regex{};
  bool compiled = false;
  bool ownLog = false;  // the agent's own log type: records of several lines
  int type = 0;         // 0 lines, 1 own log, 2 syslog
  const char *firstMatch = nullptr;
  std::vector<char *> matches;  // owned
  int nextLine = 1;
  int examined = 0;
  int length = 0;
  void *clientData = nullptr;
  LofViewProc callback = nullptr;
};

namespace {

constexpr const char *kOwnLogType = "kovralog";
constexpr const char *kFailure = "-0000001";

// The moment of a time stamp at `text`: "%b %d %T" or "%b %d %Y %T". The year, when absent, is
// the current one unless the day lies after today (then the previous one). 0 when the text is no
// stamp (with a debug message), -1 when it names no moment.
time_t stampTime(const char *text, bool yearAllowed, bool *parsed) {
  struct tm when {};
  const char *end = yearAllowed ? strptime(text, "%b %d %Y %T", &when) : nullptr;
  bool hasYear = end != nullptr;
  if (!hasYear) {
    when = {};
    end = strptime(text, "%b %d %T", &when);
  }
  *parsed = end != nullptr;
  if (!*parsed) return 0;
  if (!hasYear) {
    time_t now = time(nullptr);
    struct tm today;
    localtime_r(&now, &today);
    when.tm_year = today.tm_year;
    if (when.tm_mon > today.tm_mon || (when.tm_mon == today.tm_mon && when.tm_mday > today.tm_mday))
      --when.tm_year;
  }
  when.tm_isdst = -1;
  return mktime(&when);
}

// The text after a line's first blank or tab.
const char *afterFirstBlank(const char *line) {
  const char *blank = std::strpbrk(line, " \t");
  return blank == nullptr ? nullptr : blank + 1;
}

bool stamped(const char *line) {
  const char *rest = afterFirstBlank(line);
  if (rest == nullptr) return false;
  bool parsed;
  stampTime(rest, true, &parsed);
  return parsed;
}

char *readLineAt(LofViewer *viewer, int line) {
  char *text = nullptr;
  int got = 0;
  if (line < 1 || line > viewer->length) return nullptr;
  if (!lof_get(viewer->reader, line, 1, &text, &got)) return nullptr;
  return text;
}

void report(LofViewer *viewer, const char *message, const char *argument) {
  std::fprintf(stderr, message, argument);
  syslog(LOG_ERR, message, argument);
  if (viewer != nullptr && viewer->callback != nullptr)
    viewer->callback(viewer, kFailure, viewer->clientData);
}

bool matches(LofViewer *viewer, const char *text) {
  return regexec(&viewer->regex, text, 0, nullptr, 0) == 0;
}

// Walks the log from viewer->nextLine, keeping matches; `window` applies the time window.
void walk(LofViewer *viewer, int maxMatches, int maxLines, time_t start, time_t end, int direction,
          bool window) {
  if (maxMatches < 1) maxMatches = 1;
  while (static_cast<int>(viewer->matches.size()) < maxMatches &&
         (maxLines <= 0 || viewer->examined < maxLines)) {
    int line = viewer->nextLine, used = 0;
    if (line < 1 || line > viewer->length) break;
    LofRecord *record = lofview_read_record(viewer, &viewer->nextLine, &used, direction);
    if (record == nullptr) break;
    viewer->examined += record->lines;
    bool keep = true;
    if (viewer->type != 0 && window) {
      const char *stampText = viewer->type == 1 ? afterFirstBlank(record->text) : record->text;
      bool parsed = false;
      time_t moment = stampText == nullptr ? 0 : stampTime(stampText, viewer->type == 1, &parsed);
      if (!parsed) {
        std::string message = std::string("There is an unparsable date in syslog: <") + record->text + ">";
        ls_debug(message.c_str());
        lofview_free_record(record);
        break;
      }
      if (moment == static_cast<time_t>(-1)) {
        ls_debug("Insufficient data to translate the time");
        lofview_free_record(record);
        break;
      }
      keep = moment >= start && (end == 0 || moment <= end);
    }
    if (keep && matches(viewer, record->text)) {
      viewer->matches.push_back(record->text);
      if (viewer->firstMatch == nullptr) viewer->firstMatch = record->text;
      record->text = nullptr;
    } else if (keep && viewer->type == 0) {
      ls_debug("No match");
    }
    lofview_free_record(record);
  }
}

LofViewer *openViewer(const char *logType, const char *path, const char *pattern,
                      LofViewProc callback, void *clientData) {
  auto *viewer = new (std::nothrow) LofViewer;
  if (viewer == nullptr || pattern == nullptr || (viewer->pattern = strdup(pattern)) == nullptr) {
    delete viewer;
    report(nullptr, "%s", "Ran out of memory!\n");
    if (callback != nullptr) callback(nullptr, kFailure, clientData);
    return nullptr;
  }
  viewer->callback = callback;
  viewer->clientData = clientData;
  viewer->type = logType == nullptr                        ? 0
                 : std::strcmp(logType, kOwnLogType) == 0 ? 1
                 : std::strcmp(logType, "syslog") == 0    ? 2
                                                          : 0;
  if (regcomp(&viewer->regex, pattern, REG_EXTENDED | REG_NEWLINE) != 0) {
    std::string message = std::string("Unable to compile regular expression <<") + pattern + ">>";
    syslog(LOG_ERR, "%s", message.c_str());
    std::fprintf(stderr, "%s\n", message.c_str());
    if (callback != nullptr) callback(viewer, kFailure, clientData);
    lofview_close(viewer);
    return nullptr;
  }
  viewer->compiled = true;
  if (path == nullptr || (viewer->reader = lof_open(path)) == nullptr ||
      !lof_length(viewer->reader, &viewer->length)) {
    report(viewer, "Error reading %s\n", path == nullptr ? "(null)" : path);
    lofview_close(viewer);
    return nullptr;
  }
  return viewer;
}

// Where lofview_monitor got to, and the circular file's relative base at that time.
int monitorLine = 0;
unsigned long monitorBase = 0;
bool monitorBaseKnown = false;

}  // namespace

extern "C" {

LofRecord *lofview_read_record(LofViewer *viewer, int *line, int *lines_used, int direction) {
  if (viewer == nullptr || line == nullptr) return nullptr;
  std::string text;
  int used = 0;
  if (viewer->type != 1) {
    char *one = readLineAt(viewer, *line);
    if (one == nullptr) return nullptr;
    text = one;
    std::free(one);
    used = 1;
    *line += direction == 1 ? -1 : 1;
  } else if (direction == 1) {
    // Backward: prepend lines until a stamped line has been prepended.
    while (*line >= 1) {
      char *one = readLineAt(viewer, *line);
      if (one == nullptr) break;
      bool head = stamped(one);
      text.insert(0, one);
      std::free(one);
      ++used;
      --*line;
      if (head) break;
    }
  } else {
    // Forward: continuation lines met before any stamped line are skipped; the record is the
    // stamped line and the lines after it up to the next stamped one.
    while (*line <= viewer->length) {
      char *one = readLineAt(viewer, *line);
      if (one == nullptr) break;
      bool head = stamped(one);
      if (head && used > 0) {
        std::free(one);
        break;
      }
      if (head || used > 0) {
        text += one;
        ++used;
      }
      std::free(one);
      ++*line;
    }
  }
  if (lines_used != nullptr) *lines_used = used;
  if (used == 0) return nullptr;
  auto *record = static_cast<LofRecord *>(std::malloc(sizeof(LofRecord)));
  if (record == nullptr) return nullptr;
  record->lines = used;
  record->text = strdup(text.c_str());
  if (record->text == nullptr) {
    std::free(record);
    return nullptr;
  }
  return record;
}

void lofview_free_record(LofRecord *record) {
  if (record == nullptr) return;
  std::free(record->text);
  std::free(record);
}

LofViewer *lofview_open(const char *logType, const char *path, const char *pattern, int max_matches,
                        int max_lines, time_t start, time_t end, int direction, int /*follow*/,
                        LofViewProc callback, void *clientData) {
  LofViewer *viewer = openViewer(logType, path, pattern, callback, clientData);
  if (viewer == nullptr) return nullptr;
  if (viewer->length == 0) return viewer;
  if (callback == nullptr) max_matches = 1;
  viewer->nextLine = direction == 1 ? viewer->length : 1;
  walk(viewer, max_matches, max_lines, start, end, direction, true);
  if (callback != nullptr) {
    char *packed = logview_combine_data(viewer->matches.data(), static_cast<int>(viewer->matches.size()),
                                        direction, 0);
    callback(viewer, packed == nullptr ? kFailure : packed, clientData);
    std::free(packed);
  }
  return viewer;
}

int lofview_monitor(const char *logType, const char *path, const char *pattern, int max_matches,
                    int max_lines, LofViewProc callback, void *clientData) {
  LofViewer *viewer = openViewer(logType, path, pattern, callback, clientData);
  if (viewer == nullptr) return -1;
  int from = monitorLine;
  if (viewer->type == 1 && lof_is_circular(viewer->reader)) {
    unsigned long base = 0;
    lofc_firstline_abs(viewer->reader, &base);
    // A circular log numbers its lines from the oldest record: when that moved, so did the lines.
    if (monitorBaseKnown && base != monitorBase) {
      long adjusted = static_cast<long>(from) - static_cast<long>(base - monitorBase);
      from = adjusted > 0 ? static_cast<int>(adjusted) : 0;
    }
    monitorBase = base;
    monitorBaseKnown = true;
  }
  if (from > viewer->length) from = 0;  // the file was replaced by a shorter one
  viewer->nextLine = from + 1;
  walk(viewer, max_matches < 1 ? 1 : max_matches, max_lines, 0, 0, 0, false);
  monitorLine = std::min(viewer->nextLine - 1, viewer->length);
  int found = static_cast<int>(viewer->matches.size());
  if (callback != nullptr) {
    char *packed = logview_combine_data(viewer->matches.data(), found, 0, 1);
    callback(viewer, packed == nullptr ? kFailure : packed, clientData);
    std::free(packed);
  }
  lofview_close(viewer);
  return found;
}

int lofview_matches(LofViewer *viewer, const char *const **list) {
  if (viewer == nullptr) return 0;
  if (list != nullptr) *list = const_cast<const char *const *>(viewer->matches.data());
  return static_cast<int>(viewer->matches.size());
}

void lofview_close(LofViewer *viewer) {
  if (viewer == nullptr) return;
  if (viewer->reader != nullptr) lof_close(viewer->reader);
  if (viewer->compiled) regfree(&viewer->regex);
  for (char *match : viewer->matches) std::free(match);
  std::free(viewer->pattern);
  delete viewer;
}

char *logview_combine_data(char **matches, int count, int direction, int follow) {
  if (count < 0 || (count > 0 && matches == nullptr)) count = 0;
  std::string packed;
  char number[16];
  std::snprintf(number, sizeof number, "%08x", static_cast<unsigned>(count));
  packed += number;
  for (int k = 0; k < count; ++k) {
    int i = direction == 1 && follow == 0 ? count - 1 - k : k;
    std::string text = matches[i] == nullptr ? "" : matches[i];
    if (!text.empty() && text.back() == '\n') text.pop_back();
    for (size_t at = 0; (at = text.find("\\\\\\\\", at)) != std::string::npos; ++at)
      text.replace(at, 4, "\n");
    std::snprintf(number, sizeof number, "%08x", static_cast<unsigned>(text.size()));
    packed += number;
    packed += text;
  }
  return strdup(packed.c_str());
}

void ls_debug(const char *text) {
  if (text == nullptr) return;
  syslog(LOG_DEBUG, "%s", text);
  char path[256];
  std::snprintf(path, sizeof path, "%s/ls_debug.%d", "/var/opt/KRTXtelvi/LS", static_cast<int>(getpid()));
  FILE *file = std::fopen(path, "ae");
  if (file == nullptr) {
    syslog(LOG_WARNING, "Debug open failed");
    return;
  }
  std::fprintf(file, "%s\n", text);
  std::fclose(file);
}

}  // extern "C"
