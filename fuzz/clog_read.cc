// libFuzzer target: arbitrary bytes as a circular log file. The file is opened with both I/O
// implementations and read the usual ways (the ends, records by number, a follower that goes from
// the oldest record to the newest, the log-file reader), then appended to. Besides not failing,
// the reads must agree with each other:
// - the oldest number is at most the newest; numbers past either end give EOF and SOF;
// - every record read is one line of text ending with its newline;
// - the follower reads ascending numbers between the ends, at most one record per line;
// - the mapping and stream I/O find the same numbers and the same texts;
// - an append never changes the file's size.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "log/clog_internal.h"
#include "telvi/clog.h"
#include "telvi/lof.h"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// A record as read: its number and text ("" with the code for a failed read).
struct Read {
  unsigned long number;
  int code;
  std::string text;
  bool operator==(const Read &other) const {
    return number == other.number && code == other.code && text == other.text;
  }
};

bool oneLine(const char *text) {
  size_t length = std::strlen(text);
  return length > 0 && std::memchr(text, '\n', length) == text + length - 1;
}

// Everything one handle reads from the file, checked on the way.
std::vector<Read> readAll(const char *path, int mode) {
  std::vector<Read> out;
  clog *log = clog_create();
  clog_setAccessMode(log, mode);
  int code = clog_open_file(log, path, 0);
  out.push_back({0, code, ""});
  if (code != 0) {
    require(code == CLOG_ENOTCLOG || code == -1);
    clog_destroy(log);
    return out;
  }
  unsigned long first = 0, last = 0;
  int firstCode = clog_first_abs_rec(log, &first), lastCode = clog_last_abs_rec(log, &last);
  require(firstCode == lastCode && (firstCode == 0 || firstCode == CLOG_ENOLINES));
  out.push_back({first, firstCode, ""});
  out.push_back({last, lastCode, ""});
  if (firstCode == 0) {
    require(first <= last);
    auto read = [&](unsigned long n) {
      char *text = nullptr;
      int result = clog_read_abs_rec(log, n, &text);
      if (n > last) require(result == CLOG_EOF);
      if (n < first) require(result == CLOG_SOF);
      require(result == 0 || result == CLOG_EOF || result == CLOG_SOF);
      if (result == 0) require(oneLine(text));
      out.push_back({n, result, result == 0 ? text : ""});
      std::free(text);
    };
    for (unsigned long n = first; n <= last && n - first < 8; ++n) read(n);
    read(last);
    read(last + 1);
    if (first > 0) read(first - 1);
    if (last - first > 2) read(first + (last - first) / 2);

    unsigned long next = first, records = 0;
    for (;;) {
      char *text = nullptr;
      unsigned long before = next;
      code = clogReadNext(log, &next, &text);
      if (code != 0) break;
      require(next >= before && next >= first && next <= last);
      require(oneLine(text));
      out.push_back({next, 0, text});
      std::free(text);
      require(++records <= log->lineCount);
      ++next;
    }
    require(code == CLOG_EOF || code == CLOG_SOF);
  }
  clog_destroy(log);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::string path = "/tmp/clog_read-" + std::to_string(getpid()) + ".clog";
  // A new file each time: ext4 would write a truncated and rewritten file out to the disk at once.
  unlink(path.c_str());
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  bool written = write(fd, data, size) == static_cast<ssize_t>(size);
  close(fd);
  if (!written) return 0;

  std::vector<Read> mapped = readAll(path.c_str(), CLOG_ACCESS_MMAP);
  std::vector<Read> streamed = readAll(path.c_str(), CLOG_ACCESS_STREAM);
  require(mapped == streamed);

  if (lof *reader = lof_open(path.c_str())) {
    int lines = 0, got = 0;
    if (lof_length(reader, &lines) == 1 && lines > 0) {
      char *slots[8] = {};
      int count = lines < 8 ? lines : 8;
      if (lof_get(reader, 1, count, slots, &got) == 1)
        for (int i = 0; i < count; ++i) std::free(slots[i]);
    }
    lof_close(reader);
  }

  clog *log = clog_create();
  if (clog_open_file(log, path.c_str(), 1) == 0) {
    int code = clog_write_rec(log, "appended\n\nto what was there");
    require(code == 0 || code == CLOG_ETOOLONG);
    struct stat info;
    require(stat(path.c_str(), &info) == 0 && static_cast<size_t>(info.st_size) == size);
  }
  clog_destroy(log);
  unlink(path.c_str());
  return 0;
}
