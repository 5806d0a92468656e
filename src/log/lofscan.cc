// The log scanner: new lines of a log that contain a fixed text, reported to a callback.
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "log/lof_internal.h"

struct LofScanner {
  lof *reader = nullptr;
  std::string path;
  char *text = nullptr;     // owned
  char *lastMsg = nullptr;  // owned
  int lastLine = 0;         // the last line examined
  void *clientData = nullptr;
  LofScanProc callback = nullptr;
};

namespace {

constexpr int kBatch = 1000;

void freeLines(std::vector<char *> &lines) {
  for (char *line : lines) std::free(line);
  std::fill(lines.begin(), lines.end(), nullptr);
}

// Keeps `line` (owned) as the last message and reports it.
void matched(LofScanner *scanner, char *line) {
  std::free(scanner->lastMsg);
  scanner->lastMsg = line;
  if (scanner->callback != nullptr) scanner->callback(scanner, line, scanner->clientData);
}

struct FastScan {
  LofScanner *scanner;
  bool failed;
};

void reportFast(void *argument, int, const char *text, size_t length) {
  auto *scan = static_cast<FastScan *>(argument);
  char *line = static_cast<char *>(std::malloc(length + 1));
  if (line == nullptr) {
    scan->failed = true;
    return;
  }
  std::memcpy(line, text, length);
  line[length] = '\0';
  matched(scan->scanner, line);
}

// A regular log that was replaced (rotated) or truncated since the last check is followed again
// from its first line, as a new file.
void followRotation(LofScanner *scanner) {
  if (lof_is_circular(scanner->reader)) return;
  auto *r = reinterpret_cast<lofRegular *>(scanner->reader);
  struct stat now, open;
  if (stat(scanner->path.c_str(), &now) != 0 || fstat(fileno(r->tail), &open) != 0) return;
  bool replaced = now.st_dev != open.st_dev || now.st_ino != open.st_ino;
  bool truncated = now.st_size < ftello(r->tail);
  if (!replaced && !truncated) return;
  lof *fresh = lof_open(scanner->path.c_str());
  if (fresh == nullptr) return;
  lof_close(scanner->reader);
  scanner->reader = fresh;
  scanner->lastLine = 0;
}

int checkLines(LofScanner *scanner, int maxLines, int maxMatches) {
  if (!lof_is_circular(scanner->reader) && scanner->text[0] != '\0') {
    auto *r = reinterpret_cast<lofRegular *>(scanner->reader);
    if (r->tailCount == scanner->lastLine) {
      FastScan scan{scanner, false};
      int examined = telvi::log::scanRegular(r, scanner->text, maxLines, maxMatches, reportFast, &scan);
      if (examined < 0 || scan.failed) {
        std::fprintf(stderr, "Error reading line #%d\n", r->tailCount + 1);
        scanner->lastLine = r->tailCount;
        return -1;
      }
      scanner->lastLine += examined;
      return examined;
    }
  }
  int matches = 0, examined = 0;
  std::vector<char *> lines(kBatch, nullptr);
  while (examined < maxLines && matches < maxMatches) {
    int want = std::min(kBatch, maxLines - examined), got = 0;
    if (!lof_get(scanner->reader, scanner->lastLine + 1, want, lines.data(), &got)) {
      std::fprintf(stderr, "Error reading line #%d\n", scanner->lastLine + 1);
      freeLines(lines);
      return -1;
    }
    if (got == 0) break;
    int i = 0;
    for (; i < got && matches < maxMatches; ++i) {
      ++examined;
      ++scanner->lastLine;
      if (lines[i] != nullptr && std::strstr(lines[i], scanner->text) != nullptr) {
        matched(scanner, lines[i]);
        lines[i] = nullptr;
        ++matches;
      }
    }
    freeLines(lines);
    if (got < want) break;
  }
  return examined;
}

int countMatches(LofScanner *scanner, int maxLines, int maxMatches) {
  struct Counter {
    LofScanProc inner;
    void *innerData;
    int matches;
  } counter{scanner->callback, scanner->clientData, 0};
  scanner->callback = [](LofScanner *s, const char *line, void *data) {
    auto *c = static_cast<Counter *>(data);
    ++c->matches;
    if (c->inner != nullptr) c->inner(s, line, c->innerData);
  };
  scanner->clientData = &counter;
  checkLines(scanner, maxLines, maxMatches);
  scanner->callback = counter.inner;
  scanner->clientData = counter.innerData;
  return counter.matches;
}

}  // namespace

extern "C" {

LofScanner *lofscan_open(const char *path, const char *text, int backlog, LofScanProc callback,
                         void *clientData) {
  if (text == nullptr) {
    std::fprintf(stderr, "Arg 2 cannot be NULL in function lofscan_open.\n");
    return nullptr;
  }
  auto *scanner = new (std::nothrow) LofScanner;
  if (scanner == nullptr || (scanner->text = strdup(text)) == nullptr) {
    delete scanner;
    std::fprintf(stderr, "Ran out of memory!\n");
    return nullptr;
  }
  scanner->callback = callback;
  scanner->clientData = clientData;
  int length = 0;
  if (path != nullptr) scanner->path = path;
  if (path == nullptr || (scanner->reader = lof_open(path)) == nullptr) {
    std::fprintf(stderr, "Error reading %s\n", path == nullptr ? "(null)" : path);
    lofscan_close(scanner);
    return nullptr;
  }
  if (backlog < 0 && !lof_is_circular(scanner->reader)) {
    // Every existing line of a regular file: one pass from the first line to the end, rather than
    // a pass to count the lines and another to search them.
    countMatches(scanner, INT_MAX, INT_MAX);
    return scanner;
  }
  if (!lof_length(scanner->reader, &length)) {
    std::fprintf(stderr, "Error reading %s\n", path);
    lofscan_close(scanner);
    return nullptr;
  }
  if (length == 0 || backlog == 0) {
    scanner->lastLine = length;
    return scanner;
  }
  if (backlog < 0) {
    scanner->lastLine = 0;
    countMatches(scanner, length, length);
    return scanner;
  }
  if (callback == nullptr) backlog = 1;
  // Backward from the last line, a batch of lines at a time, newest match first.
  std::vector<char *> found;
  std::vector<char *> lines(kBatch, nullptr);
  for (int end = length; end >= 1 && static_cast<int>(found.size()) < backlog;) {
    int start = std::max(1, end - kBatch + 1), got = 0;
    if (!lof_get(scanner->reader, start, end - start + 1, lines.data(), &got)) {
      std::fprintf(stderr, "Error reading line #%d\n", start);
      break;
    }
    if (got == 0) {
      std::fprintf(stderr, "Should not come to this case.\n");
      break;
    }
    for (int i = got - 1; i >= 0 && static_cast<int>(found.size()) < backlog; --i) {
      if (lines[i] != nullptr && std::strstr(lines[i], text) != nullptr) {
        found.push_back(lines[i]);
        lines[i] = nullptr;
      }
    }
    freeLines(lines);
    end = start - 1;
  }
  scanner->lastLine = length;
  if (!found.empty()) scanner->lastMsg = found.front();
  for (size_t i = found.size(); i-- > 0;) {
    if (callback != nullptr) callback(scanner, found[i], clientData);
    if (i != 0) std::free(found[i]);
  }
  return scanner;
}

int lofscan_check(LofScanner *scanner, int max_lines, int max_matches) {
  if (scanner == nullptr || max_lines < 1 || max_matches < 1) return -1;
  followRotation(scanner);
  return countMatches(scanner, max_lines, max_matches);
}

const char *lofscan_last_msg(LofScanner *scanner) {
  return scanner == nullptr ? nullptr : scanner->lastMsg;
}

void lofscan_close(LofScanner *scanner) {
  if (scanner == nullptr) return;
  if (scanner->reader != nullptr) lof_close(scanner->reader);
  std::free(scanner->text);
  std::free(scanner->lastMsg);
  delete scanner;
}

}  // extern "C"
