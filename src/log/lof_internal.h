// The log-file readers' records, shared by the readers, the scanner and the viewer.
#ifndef TELVI_LOG_LOF_INTERNAL_H
#define TELVI_LOG_LOF_INTERNAL_H

#include <cstdio>
#include <vector>

#include "telvi/clog.h"
#include "telvi/lof.h"

struct lofOps {
  int (*get)(lof *reader, int first, int count, char **lines, int *got);
  int (*close)(lof *reader);
  int (*reset)(lof *reader);
  int (*length)(lof *reader, int *lines);
  int (*getFd)(lof *reader);
};

// Every reader starts with its operation table.
struct lof {
  const lofOps *ops;
};

struct lofRegular {
  lof base;
  FILE *head;  // random access
  FILE *tail;  // always after the last complete line seen
  int headLine;   // the line the head stream reads next, from 1
  int tailCount;  // complete lines seen
  std::vector<long long> offsets;  // offsets[k]: where line 1000 * (k + 1) starts
};

struct lofCircular {
  lof base;
  clog *log;
};

namespace telvi::log {

void setLofError(int code);

// Called for each matching line: its number, its bytes (newline included) and the caller's argument.
typedef void (*ScanReport)(void *argument, int line, const char *text, size_t length);

// Reads the regular reader's new lines (from line tailCount + 1) in large blocks, reporting each
// line that contains `text` (none when text is null or empty); stops after maxLines lines or maxMatches matches, or at the end of the
// file. Returns the number of lines examined, -1 on a read failure. The reader's line count, saved
// offsets and tail stream advance as if the lines had been read one by one.
int scanRegular(lofRegular *reader, const char *text, int maxLines, int maxMatches,
                ScanReport report, void *argument);

}  // namespace telvi::log

#endif
