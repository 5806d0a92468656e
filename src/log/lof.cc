// Log-file readers: regular text files that only grow (followed as they grow, with the offset of
// every 1000th line saved) and circular log files, behind one table of operations.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "log/lof_internal.h"

namespace {

constexpr int kOffsetStep = 1000;

int lastError = LOF_ENONE;

int fail(int code) {
  lastError = code;
  return 0;
}

// ---- regular files -------------------------------------------------------------------------------

// One buffer for the lines of every regular reader; it grows as lines need.
char *lineBuffer = nullptr;
size_t lineCapacity = 0;

// A complete line into lineBuffer: its length; -1 when there is none yet (end of file, or a last
// line whose newline has not been written: the stream goes back to its start); -2 on a read error.
// The end-of-file indication is cleared so that later reads see what is appended meanwhile.
ssize_t readLine(FILE *stream) {
  errno = 0;
  ssize_t length = getline(&lineBuffer, &lineCapacity, stream);
  if (length < 0) {
    bool error = std::ferror(stream) != 0 && errno != 0 && errno != EAGAIN;
    std::clearerr(stream);
    return error ? -2 : -1;
  }
  if (lineBuffer[length - 1] != '\n') {
    fseeko(stream, -static_cast<off_t>(length), SEEK_CUR);
    std::clearerr(stream);
    return -1;
  }
  return length;
}

char *copyLine(size_t length) {
  char *text = static_cast<char *>(std::malloc(length + 1));
  if (text == nullptr) return nullptr;
  std::memcpy(text, lineBuffer, length);
  text[length] = '\0';
  return text;
}

lofRegular *regular(lof *reader) { return reinterpret_cast<lofRegular *>(reader); }

// Saves the tail stream's offset before it reads line k, k a multiple of 1000 (once per line).
void saveOffset(lofRegular *r, int line, long long offset) {
  if (line % kOffsetStep != 0) return;
  size_t index = static_cast<size_t>(line / kOffsetStep - 1);
  if (r->offsets.size() == index) r->offsets.push_back(offset);
}

// One more line with the tail stream; the result as readLine.
ssize_t readTail(lofRegular *r) {
  int line = r->tailCount + 1;
  if (line % kOffsetStep == 0) saveOffset(r, line, ftello(r->tail));
  ssize_t length = readLine(r->tail);
  if (length >= 0) ++r->tailCount;
  return length;
}

// Puts the head stream on line n: from the nearest saved offset at or before it (or from where
// the head already is, when that is nearer), skipping lines forward.
bool seekLine(lofRegular *r, int n) {
  if (r->headLine == n) return true;
  long long offset = 0;
  int at = 1;
  int index = n / kOffsetStep - 1;
  if (index >= 0 && !r->offsets.empty()) {
    size_t k = std::min(static_cast<size_t>(index), r->offsets.size() - 1);
    offset = r->offsets[k];
    at = static_cast<int>(k + 1) * kOffsetStep;
  }
  if (!(r->headLine < n && r->headLine > at)) {
    if (fseeko(r->head, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
    r->headLine = at;
  }
  while (r->headLine < n) {
    if (readLine(r->head) < 0) return false;
    ++r->headLine;
  }
  return true;
}

int regularGet(lof *reader, int first, int count, char **lines, int *got) {
  lofRegular *r = regular(reader);
  int filled = 0, line = first;
  auto finish = [&](int result) {
    *got = filled;
    return result;
  };
  auto take = [&](ssize_t length) {
    char *text = copyLine(static_cast<size_t>(length));
    if (text == nullptr) return false;
    lines[filled++] = text;
    return true;
  };
  if (first <= r->tailCount) {
    if (!seekLine(r, first)) return finish(fail(LOF_EREAD));
    while (filled < count && line <= r->tailCount) {
      ssize_t length = readLine(r->head);
      if (length == -2) return finish(fail(LOF_EREAD));
      if (length < 0) return finish(1);  // the file shrank under the reader
      if (!take(length)) return finish(fail(LOF_ENOMEM));
      ++line;
      ++r->headLine;
    }
  }
  if (filled < count) {
    while (r->tailCount + 1 < line) {
      ssize_t length = readTail(r);
      if (length == -2) return finish(fail(LOF_EREAD));
      if (length < 0) return finish(1);
    }
    while (filled < count) {
      ssize_t length = readTail(r);
      if (length == -2) return finish(fail(LOF_EREAD));
      if (length < 0) break;
      if (!take(length)) return finish(fail(LOF_ENOMEM));
    }
  }
  return finish(1);
}

int regularClose(lof *reader) {
  lofRegular *r = regular(reader);
  int code = 1;
  if (r->head != nullptr && std::fclose(r->head) != 0) code = fail(LOF_ESYSTEM);
  if (r->tail != nullptr && std::fclose(r->tail) != 0) code = fail(LOF_ESYSTEM);
  delete r;
  return code;
}

int regularReset(lof *reader) {
  lofRegular *r = regular(reader);
  if (fseeko(r->head, 0, SEEK_SET) != 0 || fseeko(r->tail, 0, SEEK_SET) != 0)
    return fail(LOF_ESYSTEM);
  r->headLine = 1;
  r->tailCount = 0;
  r->offsets.clear();
  return 1;
}

// Counts the lines to the end in large blocks, saving offsets as it goes.
int regularLength(lof *reader, int *lines) {
  lofRegular *r = regular(reader);
  if (telvi::log::scanRegular(r, nullptr, INT_MAX, INT_MAX, nullptr, nullptr) < 0) return fail(LOF_EREAD);
  *lines = r->tailCount;
  return 1;
}

int regularFd(lof *reader) { return fileno(regular(reader)->head); }

const lofOps regularOps = {regularGet, regularClose, regularReset, regularLength, regularFd};

// ---- circular files ------------------------------------------------------------------------------

lofCircular *circular(lof *reader) { return reinterpret_cast<lofCircular *>(reader); }

int clogFailure(int code) {
  return fail(code == -1 ? LOF_ESYSTEM : code == CLOG_ENOMEM ? LOF_ENOMEM : LOF_EREAD);
}

// Records into the slots: an overwritten one leaves its slot empty but counts; the end stops.
template <typename Read>
int collect(int count, char **lines, int *got, Read read) {
  int filled = 0;
  for (int i = 0; i < count; ++i) {
    char *text = nullptr;
    int code = read(i, &text);
    if (code == 0) {
      lines[i] = text;
    } else if (code != CLOG_SOF) {
      if (code == CLOG_EOF || code == CLOG_ENOLINES) break;
      *got = filled;
      return clogFailure(code);
    }
    filled = i + 1;
  }
  *got = filled;
  return 1;
}

int circularGet(lof *reader, int first, int count, char **lines, int *got) {
  clog *log = circular(reader)->log;
  return collect(count, lines, got, [&](int i, char **text) {
    return clog_read_rec(log, static_cast<long>(first) - 1 + i, text);
  });
}

int circularClose(lof *reader) {
  clog_destroy(circular(reader)->log);
  delete circular(reader);
  return 1;
}

int circularReset(lof *) { return 1; }

int circularLength(lof *reader, int *lines) {
  long last = 0;
  int code = clog_last_rec(circular(reader)->log, &last);
  if (code == CLOG_ENOLINES) {
    *lines = 0;
    return 1;
  }
  if (code != 0) return clogFailure(code);
  *lines = static_cast<int>(last + 1);
  return 1;
}

int circularFd(lof *reader) { return clog_get_fd(circular(reader)->log); }

const lofOps circularOps = {circularGet, circularClose, circularReset, circularLength, circularFd};

// ---- stream readers: not supported ----------------------------------------------------------------

int streamGet(lof *, int, int, char **, int *) { return fail(LOF_EREAD); }
int streamClose(lof *) { return fail(LOF_EREAD); }
int streamReset(lof *) { return fail(LOF_EREAD); }
int streamLength(lof *, int *) { return fail(LOF_EREAD); }
int streamFd(lof *) { return -1; }
[[maybe_unused]] const lofOps streamOps = {streamGet, streamClose, streamReset, streamLength,
                                           streamFd};

// Opened non-blocking from the start: a FIFO without a writer must not hold the agent at open.
FILE *openStream(const char *path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE *stream = fdopen(fd, "r");
  if (stream == nullptr) close(fd);
  return stream;
}

#if defined(__SSE2__)
size_t countNewlines(const char *p, const char *end) {
  size_t count = 0;
  const __m128i newline = _mm_set1_epi8('\n');
  for (; end - p >= 16; p += 16) {
    __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    count += static_cast<size_t>(
        __builtin_popcount(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)))));
  }
  for (; p < end; ++p) count += *p == '\n';
  return count;
}
#else
size_t countNewlines(const char *p, const char *end) {
  return static_cast<size_t>(std::count(p, end, '\n'));
}
#endif

}  // namespace

namespace telvi::log {

void setLofError(int code) { lastError = code; }

namespace {

// Moves over the complete lines in [from, to) of a block that starts at file offset `base`: counts
// them, saves the offset of every 1000th line and stops once `budget` lines are passed. Returns
// where it stopped (a line start).
const char *passLines(lofRegular *r, const char *block, long long base, const char *from,
                      const char *to, int *budget) {
  constexpr ptrdiff_t kPiece = 4096;
  while (from < to && *budget > 0) {
    const char *pieceEnd = to - from > kPiece ? from + kPiece : to;
    // Extend the piece to its line end so that it holds whole lines.
    if (pieceEnd < to) {
      const char *newline = static_cast<const char *>(std::memchr(pieceEnd, '\n', static_cast<size_t>(to - pieceEnd)));
      pieceEnd = newline == nullptr ? to : newline + 1;
    }
    size_t lines = countNewlines(from, pieceEnd);
    int nextSave = (r->tailCount / kOffsetStep + 1) * kOffsetStep;
    if (lines <= static_cast<size_t>(*budget) && r->tailCount + static_cast<long long>(lines) < nextSave) {
      r->tailCount += static_cast<int>(lines);
      *budget -= static_cast<int>(lines);
      from = pieceEnd;
      continue;
    }
    // Line by line through this piece: a saved offset or the budget falls inside it.
    while (from < pieceEnd && *budget > 0) {
      saveOffset(r, r->tailCount + 1, base + (from - block));
      const char *newline = static_cast<const char *>(std::memchr(from, '\n', static_cast<size_t>(pieceEnd - from)));
      from = newline + 1;
      ++r->tailCount;
      --*budget;
    }
  }
  return from;
}

std::vector<char> scanBlock;
// Blocks grow to hold a long line, up to this size; a longer line is passed over in pieces and
// matched within its first block only.
constexpr size_t kMaxScanBlock = size_t{64} << 20;

// The offset just past the newline that ends the line running through from, or -1 when the file
// ends first (or cannot be read).
off_t lineEndAfter(int fd, off_t from) {
  for (;;) {
    ssize_t size = pread(fd, scanBlock.data(), scanBlock.size(), from);
    if (size < 0 && errno == EINTR) continue;
    if (size <= 0) return -1;
    if (const void *newline = std::memchr(scanBlock.data(), '\n', static_cast<size_t>(size)))
      return from + (static_cast<const char *>(newline) - scanBlock.data()) + 1;
    from += size;
  }
}

}  // namespace

int scanRegular(lofRegular *r, const char *text, int maxLines, int maxMatches, ScanReport report,
                void *argument) {
  size_t textLength = text == nullptr ? 0 : std::strlen(text);
  int fd = fileno(r->tail);
  off_t position = ftello(r->tail);
  if (position < 0) return -1;
  if (scanBlock.empty()) scanBlock.resize(1 << 20);
  int budget = maxLines, matches = 0;
  while (budget > 0 && matches < maxMatches) {
    ssize_t size = pread(fd, scanBlock.data(), scanBlock.size(), position);
    if (size < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (size == 0) break;
    const char *block = scanBlock.data();
    const char *last = static_cast<const char *>(memrchr(block, '\n', static_cast<size_t>(size)));
    if (last == nullptr) {
      if (static_cast<size_t>(size) < scanBlock.size()) break;  // an unfinished last line
      if (scanBlock.size() < kMaxScanBlock) {
        scanBlock.resize(scanBlock.size() * 2);  // a line longer than the block
        continue;
      }
      bool matched = textLength > 0 && memmem(block, static_cast<size_t>(size), text, textLength) != nullptr;
      size_t shown = static_cast<size_t>(size);
      // The block is reused to find the line's end: a matched head is kept aside.
      std::string head = matched ? std::string(block, shown) : std::string();
      off_t end = lineEndAfter(fd, position + size);
      if (end < 0) break;
      saveOffset(r, r->tailCount + 1, position);
      ++r->tailCount;
      --budget;
      if (matched) {
        ++matches;
        report(argument, r->tailCount, head.data(), shown);
      }
      position = end;
      continue;
    }
    const char *limit = last + 1, *cursor = block;
    while (cursor < limit && budget > 0 && matches < maxMatches) {
      const char *match = nullptr;
      for (const char *from = cursor; textLength > 0 && from < limit;) {
        const char *found =
            static_cast<const char *>(memmem(from, static_cast<size_t>(limit - from), text, textLength));
        if (found == nullptr) break;
        // A text that runs over a line's end is no match of that line.
        if (std::memchr(found, '\n', textLength - 1) == nullptr) {
          match = found;
          break;
        }
        from = found + 1;
      }
      const char *lineStart = limit;
      if (match != nullptr) {
        const char *before = static_cast<const char *>(memrchr(cursor, '\n', static_cast<size_t>(match - cursor)));
        lineStart = before == nullptr ? cursor : before + 1;
      }
      cursor = passLines(r, block, position, cursor, lineStart, &budget);
      if (match == nullptr || cursor != lineStart || budget == 0) break;
      const char *lineEnd = static_cast<const char *>(std::memchr(match, '\n', static_cast<size_t>(limit - match))) + 1;
      saveOffset(r, r->tailCount + 1, position + (cursor - block));
      ++r->tailCount;
      --budget;
      ++matches;
      report(argument, r->tailCount, cursor, static_cast<size_t>(lineEnd - cursor));
      cursor = lineEnd;
    }
    position += cursor - block;
    if (cursor < limit) break;
  }
  int examined = maxLines - budget;
  if (fseeko(r->tail, position, SEEK_SET) != 0) return -1;
  return examined;
}

}  // namespace telvi::log

extern "C" {

lof *lof_open_regular(const char *path) {
  if (path == nullptr) return fail(LOF_EREAD), nullptr;
  struct stat info;
  if (stat(path, &info) != 0 || S_ISDIR(info.st_mode)) return fail(LOF_EREAD), nullptr;
  auto *r = new (std::nothrow) lofRegular{};
  if (r == nullptr) return fail(LOF_ENOMEM), nullptr;
  r->base.ops = &regularOps;
  r->head = openStream(path);
  r->tail = r->head == nullptr ? nullptr : openStream(path);
  r->headLine = 1;
  if (r->tail == nullptr) {
    regularClose(&r->base);
    return fail(LOF_EREAD), nullptr;
  }
  return &r->base;
}

lof *lof_open_circular(const char *path) {
  if (path == nullptr) return fail(LOF_EREAD), nullptr;
  clog *log = clog_create();
  if (log == nullptr) return fail(LOF_ENOMEM), nullptr;
  int code = clog_open_file(log, path, 0);
  if (code != 0) {
    clog_destroy(log);
    fail(code == CLOG_ENOTCLOG ? LOF_ENOTCLOG : code == -1 ? LOF_ESYSTEM : LOF_EREAD);
    return nullptr;
  }
  auto *c = new (std::nothrow) lofCircular{};
  if (c == nullptr) {
    clog_destroy(log);
    return fail(LOF_ENOMEM), nullptr;
  }
  c->base.ops = &circularOps;
  c->log = log;
  return &c->base;
}

lof *lof_open(const char *path) {
  lof *reader = lof_open_circular(path);
  if (reader == nullptr && lastError == LOF_ENOTCLOG) reader = lof_open_regular(path);
  return reader;
}

lof *lof_open_stream(const char *) { return fail(LOF_EREAD), nullptr; }

int lof_get(lof *reader, int first, int count, char **lines, int *got) {
  int ignored;
  if (got == nullptr) got = &ignored;
  *got = 0;
  if (reader == nullptr || lines == nullptr || first < 1 || count < 0) return fail(LOF_EREAD);
  for (int i = 0; i < count; ++i) lines[i] = nullptr;
  return reader->ops->get(reader, first, count, lines, got);
}

int lof_length(lof *reader, int *lines) {
  int ignored;
  if (reader == nullptr) return fail(LOF_EREAD);
  return reader->ops->length(reader, lines == nullptr ? &ignored : lines);
}

int lof_reset(lof *reader) { return reader == nullptr ? fail(LOF_EREAD) : reader->ops->reset(reader); }

int lof_get_fd(lof *reader) { return reader == nullptr ? -1 : reader->ops->getFd(reader); }

int lof_close(lof *reader) { return reader == nullptr ? fail(LOF_EREAD) : reader->ops->close(reader); }

int lof_error(void) { return lastError; }

int lof_is_circular(lof *reader) { return reader != nullptr && reader->ops == &circularOps; }

int lofc_get_abs(lof *reader, unsigned long first, int count, char **lines, int *got) {
  int ignored;
  if (got == nullptr) got = &ignored;
  *got = 0;
  if (!lof_is_circular(reader) || lines == nullptr || count < 0) return fail(LOF_EREAD);
  for (int i = 0; i < count; ++i) lines[i] = nullptr;
  clog *log = circular(reader)->log;
  return collect(count, lines, got, [&](int i, char **text) {
    return clog_read_abs_rec(log, first + static_cast<unsigned long>(i), text);
  });
}

int lofc_firstline_abs(lof *reader, unsigned long *number) {
  if (!lof_is_circular(reader) || number == nullptr) return fail(LOF_EREAD);
  int code = clog_first_abs_rec(circular(reader)->log, number);
  if (code == CLOG_ENOLINES) return *number = 0, 1;
  return code == 0 ? 1 : clogFailure(code);
}

int lofc_lastline_abs(lof *reader, unsigned long *number) {
  if (!lof_is_circular(reader) || number == nullptr) return fail(LOF_EREAD);
  int code = clog_last_abs_rec(circular(reader)->log, number);
  if (code == CLOG_ENOLINES) return *number = 0, 1;
  return code == 0 ? 1 : clogFailure(code);
}

unsigned long lofc_get_createtime(lof *reader) {
  if (!lof_is_circular(reader)) return 0;
  return static_cast<unsigned long>(clog_get_createtime(circular(reader)->log));
}

}  // extern "C"
