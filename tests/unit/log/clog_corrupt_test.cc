// Circular log files that are damaged: cut short at every byte, one byte changed at every
// position, headers with absurd values. Each gives "File is not Circular Log file." or reads
// cleanly: numbers in order, texts whole lines, no fault, no endless walk, no growth of the file.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "log/clog_internal.h"
#include "log_support.h"
#include "telvi/clog.h"
#include "telvi/lof.h"

namespace {

using logtest::slurp;
using logtest::take;

// A fresh file each time: ext4 flushes a file that is truncated and written again to the disk at
// once, and these suites rewrite their file thousands of times.
void spit(const std::string &path, const std::string &bytes) {
  unlink(path.c_str());
  logtest::spit(path, bytes);
}

// A small wrapped log: six lines of 37 bytes, records of one to three lines, a number left unused
// by an empty line, and the oldest record torn by the newest.
std::string validLog(const std::string &path) {
  clog *log = clog_create();
  EXPECT_EQ(clog_new_file_nl(log, path.c_str(), 6, 20), 0);
  for (const char *text : {"alpha", "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", "c\n\nd",
                           "eeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeeee"})
    EXPECT_EQ(clog_write_rec(log, text), 0);
  clog_destroy(log);
  return slurp(path);
}

// The same in the legacy binary layout: 12-byte header, lines of 24 bytes.
std::string binaryLog() {
  const unsigned length = 24, lines = 4, size = 12 + length * lines;
  std::string bytes(size, '\0');
  auto put32 = [&](size_t at, unsigned v) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<char>(v >> (24 - 8 * i));
  };
  put32(0, 0x18675309);
  put32(4, size);
  put32(8, length);
  unsigned index = 0;
  for (const char *data : {"three", "four", "five"}) {
    size_t at = 12 + index * length, count = std::strlen(data);
    put32(at, 3 + index++);
    bytes[at + 5] = static_cast<char>(count + 1);
    bytes.replace(at + 8, count, data);
    bytes[at + 8 + count] = '\n';
  }
  return bytes;
}

std::string describe(const std::string &bytes) {
  std::string out;
  for (unsigned char c : bytes.substr(0, 31)) out += c >= 32 && c < 127 ? static_cast<char>(c) : '?';
  return out;
}

// Opens the file as it is and reads everything the usual ways; with `write`, appends a record too.
void readsCleanly(const std::string &path, int mode, bool write) {
  std::string bytes = slurp(path);
  SCOPED_TRACE(describe(bytes));
  {
    clog *log = clog_create();
    clog_setAccessMode(log, mode);
    int code = clog_open_file(log, path.c_str(), 0);
    ASSERT_TRUE(code == 0 || code == CLOG_ENOTCLOG) << code;
    if (code != 0) {
      clog_destroy(log);
      return;
    }
    unsigned long first = 0, last = 0;
    int firstCode = clog_first_abs_rec(log, &first), lastCode = clog_last_abs_rec(log, &last);
    ASSERT_TRUE(firstCode == 0 || firstCode == CLOG_ENOLINES);
    ASSERT_EQ(firstCode, lastCode);
    if (firstCode == 0) {
      ASSERT_LE(first, last);
      // The ends and some numbers beyond them (a damaged number may leave a huge span).
      std::vector<unsigned long> numbers;
      for (unsigned long n = first; n <= last && n - first < 16; ++n) numbers.push_back(n);
      for (unsigned long n = last > 16 ? last - 16 : 0; n <= last; ++n) numbers.push_back(n);
      numbers.push_back(last + 1);
      if (first > 0) numbers.push_back(first - 1);
      for (unsigned long n : numbers) {
        char *text = nullptr;
        code = clog_read_abs_rec(log, n, &text);
        if (n > last) {
          EXPECT_EQ(code, CLOG_EOF) << n;
        } else if (n < first) {
          EXPECT_EQ(code, CLOG_SOF) << n;
        } else if (code == 0) {
          std::string got = take(text);
          EXPECT_TRUE(!got.empty() && got.find('\n') == got.size() - 1) << n;
        } else {
          EXPECT_TRUE(code == CLOG_EOF || code == CLOG_SOF) << n << " " << code;
        }
      }
      // A follower reads ascending numbers and comes to an end.
      unsigned long next = first, previous = 0;
      int records = 0;
      for (bool any = false;; any = true) {
        char *text = nullptr;
        code = clogReadNext(log, &next, &text);
        if (code != 0) break;
        free(text);
        ASSERT_TRUE(!any || next > previous);
        ASSERT_LE(next, last);
        previous = next++;
        ASSERT_LE(++records, 64);
      }
      EXPECT_TRUE(code == CLOG_EOF || code == CLOG_SOF) << code;
    }
    clog_destroy(log);
  }
  if (lof *reader = lof_open(path.c_str())) {
    int count = 0, got = 0;
    if (lof_length(reader, &count) == 1 && count > 0) {
      std::vector<char *> lines(static_cast<size_t>(std::min(count, 20)), nullptr);
      if (lof_get(reader, 1, static_cast<int>(lines.size()), lines.data(), &got) == 1)
        for (int i = 0; i < got; ++i) free(lines[static_cast<size_t>(i)]);
    }
    lof_close(reader);
  }
  if (write) {
    clog *log = clog_create();
    if (clog_open_file(log, path.c_str(), 1) == 0) {
      int code = clog_write_rec(log, "appended\nto a damaged log");
      EXPECT_TRUE(code == 0 || code == CLOG_ETOOLONG) << code;
    }
    clog_destroy(log);
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(static_cast<size_t>(info.st_size), bytes.size());  // never extended
  }
}

class ClogCorrupt : public ::testing::Test {
 protected:
  logtest::TempDir dir;
  std::string path = dir.file("damaged.clog");
};

TEST_F(ClogCorrupt, CutShortAtEveryByte) {
  for (const std::string &good : {validLog(path), binaryLog()}) {
    for (size_t size = 0; size < good.size(); ++size) {
      spit(path, good.substr(0, size));
      clog *log = clog_create();
      EXPECT_EQ(clog_open_file(log, path.c_str(), 0), CLOG_ENOTCLOG) << size;
      clog_destroy(log);
      // Not a circular log: read as a regular file.
      lof *reader = lof_open(path.c_str());
      ASSERT_NE(reader, nullptr) << size;
      lof_close(reader);
    }
  }
}

TEST_F(ClogCorrupt, OneByteChangedAtEveryPosition) {
  // A bit that flips (a digit becomes another, a letter changes case, a blank becomes NUL), a byte
  // turned to its complement, and a line end in the middle of a line.
  auto variants = [](char c) { return std::string{static_cast<char>(c ^ 0x01), static_cast<char>(c ^ 0x20),
                                                  static_cast<char>(c ^ 0xff), '\n'}; };
  for (const std::string &good : {validLog(path), binaryLog()}) {
    for (size_t at = 0; at < good.size(); ++at) {
      for (char value : variants(good[at])) {
        if (good[at] == value) continue;
        std::string bad = good;
        bad[at] = value;
        spit(path, bad);
        // The access modes take turns; the complement is also written to.
        bool complement = value == static_cast<char>(good[at] ^ 0xff);
        readsCleanly(path, at % 2 ? CLOG_ACCESS_STREAM : CLOG_ACCESS_MMAP, complement);
        if (HasFatalFailure()) return;
      }
    }
  }
}

// Text headers and line headers with values no writer makes.
TEST_F(ClogCorrupt, AbsurdHeaderValues) {
  std::string good = validLog(path);
  auto header = [&](const char *size, const char *length, const char *created) {
    std::string bytes = good;
    bytes.replace(7, 8, size);
    bytes.replace(16, 4, length);
    bytes.replace(21, 8, created);
    return bytes;
  };
  auto lines = [&](const std::string &line) {
    std::string bytes = good.substr(0, 85);
    for (int i = 0; i < 6; ++i) bytes += line;
    return bytes;
  };
  // Geometry the file cannot have: refused.
  for (const std::string &bytes :
       {header("00000133", "0000", "00000000"), header("00000133", "0010", "00000000"),
        header("00000133", "ffff", "00000000"), header("00000000", "0025", "00000000"),
        header("ffffffff", "0025", "00000000"), header("00000134", "0025", "00000000"),
        header("00000133", "0025", "-1234567"), header("0000 133", "0025", "00000000"),
        header("00000133", "25  ", "00000000")}) {
    spit(path, bytes);
    clog *log = clog_create();
    EXPECT_EQ(clog_open_file(log, path.c_str(), 0), CLOG_ENOTCLOG) << describe(bytes);
    clog_destroy(log);
  }
  // Geometry that fits inside the file: read with it.
  std::vector<std::string> readable = {
      header("000000ab", "0025", "ffffffff"),  // two lines only; the rest of the file is ignored
      header("00000133", "0011", "00000000"),  // 17-byte lines: no room for data
      header("00000133", "0012", "00000000"),  // 18-byte lines: no room to continue
      lines("[ffffffff 0001 ]" + std::string(20, '.') + "\n"),
      lines("[ffffffff ffff ]" + std::string(18, 'x') + " \\\n"),
      lines("[00000007 0014 ]" + std::string(18, 'x') + " \\\n"),
      lines("[00000007 0000 ]" + std::string(20, '.') + "\n"),
      lines("[00000000 0005 ]" + std::string(20, '.') + "\n"),
      lines("[         0005 ]" + std::string(20, '.') + "\n"),
  };
  // Numbers that fall at every line, and a jump of four thousand million.
  std::string falling = good.substr(0, 85), jump = good.substr(0, 85);
  for (int i = 0; i < 6; ++i) {
    char line[40];
    std::snprintf(line, sizeof line, "[%08x 0002 ]x%s\n", 50 - i, std::string(19, '.').c_str());
    falling += line;
    std::snprintf(line, sizeof line, "[%08x 0002 ]y%s\n", i < 3 ? i : 0xfffffff0 + i, std::string(19, '.').c_str());
    jump += line;
  }
  readable.push_back(falling);
  readable.push_back(jump);
  for (const std::string &bytes : readable) {
    spit(path, bytes);
    clog *log = clog_create();
    EXPECT_EQ(clog_open_file(log, path.c_str(), 0), 0) << describe(bytes);
    clog_destroy(log);
    readsCleanly(path, CLOG_ACCESS_MMAP, true);
    readsCleanly(path, CLOG_ACCESS_STREAM, false);
  }
  spit(path, jump);
  clog *log = clog_create();
  ASSERT_EQ(clog_open_file(log, path.c_str(), 0), 0);
  unsigned long number = 3;  // after record 2 the next one there is 0xfffffff3
  char *text = nullptr;
  ASSERT_EQ(clogReadNext(log, &number, &text), 0);
  EXPECT_EQ(number, 0xfffffff3UL);
  EXPECT_EQ(take(text), "y\n");
  clog_destroy(log);

  // Legacy binary headers: lines too short for a record header, or longer than the file.
  std::string binary = binaryLog();
  for (unsigned length : {0u, 8u, 9u, 10u, 0x10000u, 0xffffffffu}) {
    std::string bytes = binary;
    for (int i = 0; i < 4; ++i) bytes[8 + static_cast<size_t>(i)] = static_cast<char>(length >> (24 - 8 * i));
    spit(path, bytes);
    readsCleanly(path, CLOG_ACCESS_MMAP, true);
  }
}

}  // namespace
