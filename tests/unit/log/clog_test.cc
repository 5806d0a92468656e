// Circular log files: layout, numbering, wrapping, refusals, both I/O modes, the legacy binary
// layout, and real load: forked writers with a concurrent reader, and writers killed mid-write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "log_support.h"
#include "telvi/clog.h"

namespace {

using logtest::slurp;
using logtest::spit;
using logtest::take;
using logtest::Child;
using logtest::signalReady;
using logtest::parseRecord;
using logtest::recordText;

struct Handle {
  clog *log = clog_create();
  ~Handle() { clog_destroy(log); }
  operator clog *() const { return log; }
};

std::string readAbs(clog *log, unsigned long number, int *code = nullptr) {
  char *text = nullptr;
  int result = clog_read_abs_rec(log, number, &text);
  if (code != nullptr) *code = result;
  return result == 0 ? take(text) : "<" + std::to_string(result) + ">";
}

unsigned long first(clog *log) {
  unsigned long n = 0;
  clog_first_abs_rec(log, &n);
  return n;
}
unsigned long last(clog *log) {
  unsigned long n = 0;
  clog_last_abs_rec(log, &n);
  return n;
}


// Every test runs with memory mapping and with stream I/O.
class ClogTest : public ::testing::TestWithParam<int> {
 protected:
  logtest::TempDir dir;
  std::string path = dir.file("test.clog");
  int mode() const { return GetParam(); }
  int create(clog *log, unsigned long lines, unsigned long width) {
    clog_setAccessMode(log, mode());
    return clog_new_file_nl(log, path.c_str(), lines, width);
  }
  int open(clog *log, int how) {
    clog_setAccessMode(log, mode());
    return clog_open_file(log, path.c_str(), how);
  }
};

TEST_P(ClogTest, LayoutOfANewFile) {
  Handle log;
  ASSERT_EQ(create(log, 10, 80), 0);
  std::string bytes = slurp(path);
  ASSERT_EQ(bytes.size(), 1055u);  // 10 lines of 97 bytes after the 85-byte header, no tail
  EXPECT_EQ(bytes.substr(0, 21), "#!clog 0000041f 0061 ");
  EXPECT_EQ(bytes[29], ' ');
  EXPECT_EQ(bytes[30], '\n');
  EXPECT_EQ(bytes.substr(83, 2), " \n");
  EXPECT_EQ(bytes.substr(85, 16), "[              ]");
  EXPECT_EQ(bytes.substr(85 + 16, 81), std::string(80, '.') + "\n");
  EXPECT_EQ(clog_get_line_length(log), 80);
  unsigned long n = 99;
  EXPECT_EQ(clog_first_abs_rec(log, &n), CLOG_ENOLINES);
  EXPECT_EQ(n, 0u);

  ASSERT_EQ(clog_write_rec(log, "first record\n"), 0);
  bytes = slurp(path);
  EXPECT_EQ(bytes.substr(85, 30), "[00000000 000d ]first record..");
  EXPECT_EQ(readAbs(log, 0), "first record\n");

  // One line asked for: two lines made. A size with a remainder gets a tail line.
  Handle small;
  clog_setAccessMode(small, mode());
  ASSERT_EQ(clog_new_file_nl(small, dir.file("small").c_str(), 1, 20), 0);
  EXPECT_EQ(slurp(dir.file("small")).size(), 2u * 37 + 85);
  Handle tail;
  clog_setAccessMode(tail, mode());
  ASSERT_EQ(clog_new_file(tail, dir.file("tail").c_str(), 85 + 3 * 37 + 10, 20), 0);
  EXPECT_EQ(slurp(dir.file("tail")).substr(85 + 3 * 37), "[        \n");
  Handle reopened;
  ASSERT_EQ(clog_open_file(reopened, dir.file("tail").c_str(), 1), 0);
  ASSERT_EQ(clog_write_rec(reopened, "a\nb\nc\nd"), 0);
  EXPECT_EQ(slurp(dir.file("tail")).substr(85 + 3 * 37), "[        \n");
  EXPECT_EQ(readAbs(reopened, 3), "d\n");
}

TEST_P(ClogTest, ContinuationLinesAndRecordLimits) {
  Handle log;
  ASSERT_EQ(create(log, 10, 20), 0);  // L = 37, 20 characters a line, 18 on a continued line
  std::string fits(20, 'a'), spills(21, 'b'), longer(60, 'c');
  ASSERT_EQ(clog_write_rec(log, fits.c_str()), 0);
  ASSERT_EQ(clog_write_rec(log, spills.c_str()), 0);
  ASSERT_EQ(clog_write_rec(log, longer.c_str()), 0);
  std::string bytes = slurp(path);
  EXPECT_EQ(bytes.substr(85, 37), "[00000000 0015 ]" + fits + "\n");
  EXPECT_EQ(bytes.substr(85 + 37, 37), "[00000001 0016 ]" + std::string(18, 'b') + " \\\n");
  EXPECT_EQ(bytes.substr(85 + 74, 37), "[00000001 0004 ]bbb.................\n");
  EXPECT_EQ(readAbs(log, 0), fits + "\n");
  EXPECT_EQ(readAbs(log, 1), spills + "\n");
  EXPECT_EQ(readAbs(log, 2), longer + "\n");
  EXPECT_EQ(last(log), 2u);

  // A record the ring cannot hold beside one other line is refused, and the file stays as it was.
  std::string before = slurp(path);
  std::string huge(20 + 18 * 9, 'x');  // ten lines of ten
  EXPECT_EQ(clog_write_rec(log, ("ok\n" + huge).c_str()), CLOG_ETOOLONG);
  EXPECT_EQ(slurp(path), before);
  std::string largest(20 + 18 * 8, 'y');  // nine lines of ten
  EXPECT_EQ(clog_write_rec(log, largest.c_str()), 0);
  EXPECT_EQ(readAbs(log, 3), largest + "\n");
  // Lines 7 to 5 (wrapping) now hold it; line 6 keeps the last part of record 2, the oldest.
  EXPECT_EQ(first(log), 2u);
  EXPECT_EQ(readAbs(log, 2), "cccccc\n");
  Handle wide;
  clog_setAccessMode(wide, mode());
  ASSERT_EQ(clog_new_file_nl(wide, dir.file("wide").c_str(), 4, 65533), 0);
  EXPECT_EQ(clog_write_rec(wide, std::string(65535, 'z').c_str()), CLOG_ETOOLONG);
  EXPECT_EQ(clog_write_rec(wide, std::string(65534, 'z').c_str()), 0);
  EXPECT_EQ(readAbs(wide, 0).size(), 65535u);
}

TEST_P(ClogTest, WrappingNumbersAndGaps) {
  Handle log;
  ASSERT_EQ(create(log, 5, 20), 0);
  for (int i = 0; i < 12; ++i) ASSERT_EQ(clog_write_rec(log, ("r" + std::to_string(i)).c_str()), 0);
  EXPECT_EQ(first(log), 7u);
  EXPECT_EQ(last(log), 11u);
  int code;
  readAbs(log, 6, &code);
  EXPECT_EQ(code, CLOG_SOF);
  readAbs(log, 12, &code);
  EXPECT_EQ(code, CLOG_EOF);
  for (unsigned long n = 7; n <= 11; ++n) EXPECT_EQ(readAbs(log, n), "r" + std::to_string(n) + "\n");

  // An empty line in the middle uses up a number; a trailing newline adds nothing.
  ASSERT_EQ(clog_write_rec(log, "x\n\ny\n"), 0);
  EXPECT_EQ(last(log), 14u);
  EXPECT_EQ(readAbs(log, 12), "x\n");
  readAbs(log, 13, &code);
  EXPECT_EQ(code, CLOG_SOF);
  EXPECT_EQ(readAbs(log, 14), "y\n");
  EXPECT_EQ(first(log), 9u);

  // A second handle finds the same records; relative numbers count from its oldest at open.
  Handle reader;
  ASSERT_EQ(open(reader, 0), 0);
  long relFirst = -1, relLast = -1;
  EXPECT_EQ(clog_first_rec(reader, &relFirst), 0);
  EXPECT_EQ(clog_last_rec(reader, &relLast), 0);
  EXPECT_EQ(relFirst, 0);
  EXPECT_EQ(relLast, 5);
  char *text = nullptr;
  ASSERT_EQ(clog_read_rec(reader, 0, &text), 0);
  EXPECT_EQ(take(text), "r9\n");
  ASSERT_EQ(clog_write_rec(log, "z"), 0);
  EXPECT_EQ(clog_read_rec(reader, 0, &text), CLOG_SOF);
  EXPECT_EQ(clog_read_rec(reader, 7, &text), CLOG_EOF);
  EXPECT_EQ(clog_reset_recs(reader), 0);
  ASSERT_EQ(clog_read_rec(reader, 0, &text), 0);
  EXPECT_EQ(take(text), "r10\n");
  EXPECT_EQ(clog_write_rec(reader, "no"), CLOG_EWRITEPERM);
}

// A reader's handle never answers from bytes it read before another handle wrote, even where its
// next read lies just ahead of where its last one stopped.
TEST_P(ClogTest, ReaderSeesWhatAnotherHandleWroteSince) {
  Handle writer, reader;
  ASSERT_EQ(create(writer, 10, 20), 0);
  for (int n = 0; n <= 16; ++n) {
    char text[16];
    std::snprintf(text, sizeof text, "r%d", n);
    ASSERT_EQ(clog_write_rec(writer, text), 0);
  }
  ASSERT_EQ(open(reader, 0), 0);
  EXPECT_EQ(first(reader), 7u);  // on line 7, ahead of the line of record 15
  EXPECT_EQ(readAbs(reader, 15), "r15\n");
  ASSERT_EQ(clog_write_rec(writer, "r17"), 0);
  EXPECT_EQ(first(reader), 8u);
  EXPECT_EQ(last(reader), 17u);
  EXPECT_EQ(readAbs(reader, 17), "r17\n");
}

TEST_P(ClogTest, ForeignAndDamagedFilesAreRefused) {
  Handle log;
  clog_setAccessMode(log, mode());
  errno = 0;
  EXPECT_EQ(clog_open_file(log, dir.file("missing").c_str(), 0), -1);
  EXPECT_EQ(errno, ENOENT);
  spit(path, "#!clog 1");
  EXPECT_EQ(open(log, 0), CLOG_ENOTCLOG);
  spit(path, std::string("#!clogx") + std::string(200, ' '));
  EXPECT_EQ(open(log, 0), CLOG_ENOTCLOG);
  spit(path, "#!clog 0000041f 0061 zzzzzzzz \n" + std::string(1100, '.'));
  EXPECT_EQ(open(log, 0), CLOG_ENOTCLOG);
  ASSERT_EQ(create(log, 10, 80), 0);
  ASSERT_EQ(clog_write_rec(log, "kept"), 0);
  ASSERT_EQ(clog_close_file(log), 0);
  std::string good = slurp(path);
  spit(path, good.substr(0, 600));  // truncated: the header promises more than is there
  EXPECT_EQ(open(log, 1), CLOG_ENOTCLOG);
  spit(path, "#!clog 0000041f 0001 00000000 \n" + good.substr(31));  // lines too short for a header
  EXPECT_EQ(open(log, 1), CLOG_ENOTCLOG);
  std::string upper = good;
  upper.replace(7, 8, "0000041F");
  spit(path, upper);
  ASSERT_EQ(open(log, 1), 0);
  EXPECT_EQ(readAbs(log, 0), "kept\n");
  // Garbage in a line header reads as no record, never as data.
  std::string damaged = good;
  damaged.replace(85 + 1, 8, "zz!!zz!!");
  spit(path, damaged);
  ASSERT_EQ(open(log, 0), 0);
  int code;
  readAbs(log, 0, &code);
  EXPECT_EQ(code, CLOG_EOF);
  // Shrunk under an open handle (cut short, or recreated smaller by someone else): refused, never
  // a fault on the missing pages.
  ASSERT_EQ(open(log, 0), 0);
  ASSERT_EQ(truncate(path.c_str(), 300), 0);
  EXPECT_NE(readAbs(log, 0, &code), "kept\n");
  EXPECT_NE(code, 0);
  EXPECT_NE(clog_last_abs_rec(log, nullptr), 0);
  EXPECT_EQ(clog_write_rec(nullptr, "x"), CLOG_ENULL);
  EXPECT_EQ(clog_setAccessMode(nullptr, 1), 1);
  EXPECT_STREQ(clog_error_str(4), "Circular logging EOF.");
  EXPECT_STREQ(clog_error_str(13), "Unknown Error.");
  errno = ENOENT;
  EXPECT_STREQ(clog_error_str(-1), std::strerror(ENOENT));
}

TEST_P(ClogTest, LegacyBinaryLayoutIsReadAndWritten) {
  // 12-byte header (magic, size, line length), then lines of an 8-byte record header and data.
  const unsigned length = 24, lines = 4, size = 12 + length * lines;
  std::string bytes(size, '\0');
  auto put32 = [&](size_t at, unsigned v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (24 - 8 * i));
  };
  put32(0, 0x18675309);
  put32(4, size);
  put32(8, length);
  auto line = [&](unsigned index, unsigned number, const std::string &data) {
    size_t at = 12 + index * length;
    put32(at, number);
    bytes[at + 4] = 0;
    bytes[at + 5] = static_cast<char>(data.size() + 1);
    bytes.replace(at + 8, data.size(), data);
    bytes[at + 8 + data.size()] = '\n';
  };
  line(0, 5, "five");
  line(1, 6, "six");
  spit(path, bytes);
  Handle log;
  ASSERT_EQ(open(log, 1), 0);
  EXPECT_EQ(clog_get_line_length(log), 15);
  EXPECT_EQ(clog_get_createtime(log), 0);
  EXPECT_EQ(first(log), 5u);
  EXPECT_EQ(readAbs(log, 6), "six\n");
  ASSERT_EQ(clog_write_rec(log, "seven"), 0);
  EXPECT_EQ(readAbs(log, 7), "seven\n");
  std::string after = slurp(path);
  EXPECT_EQ(after.substr(12 + 2 * length, 15), std::string("\0\0\0\x07\0\x06\0\0seven\n\0", 15));
}

TEST_P(ClogTest, InterfaceOfAHandle) {
  Handle log;
  EXPECT_EQ(clog_get_fd(log), -1);
  EXPECT_EQ(clog_write_rec(log, "x"), CLOG_ENOTCLOG);
  ASSERT_EQ(create(log, 3, 10), 0);
  EXPECT_GE(clog_get_fd(log), 0);
  EXPECT_EQ(clog_get_num_retries(log), 200);
  clog_set_num_retries(log, -5);
  EXPECT_EQ(clog_get_num_retries(log), 0);
  EXPECT_NEAR(static_cast<double>(clog_get_createtime(log)), static_cast<double>(time(nullptr)), 5);
  // Another process holding a write lock: the write gives up after the retries.
  {
    Child holder([&](int ready) {
      int fd = ::open(path.c_str(), O_RDWR);
      struct flock lock {};
      lock.l_type = F_WRLCK;
      fcntl(fd, F_SETLK, &lock);
      signalReady(ready);
      pause();
    });
    ASSERT_TRUE(holder.waitReady());
    clog_set_num_retries(log, 2);
    EXPECT_EQ(clog_write_rec(log, "blocked"), CLOG_ELOCK);
  }
  EXPECT_EQ(clog_write_rec(log, "free again"), 0);
}

INSTANTIATE_TEST_SUITE_P(AccessModes, ClogTest, ::testing::Values(CLOG_ACCESS_MMAP, CLOG_ACCESS_STREAM),
                         [](const auto &info) { return info.param == CLOG_ACCESS_MMAP ? "mmap" : "stream"; });

// ---- real load ------------------------------------------------------------------------------------

void writerProcess(const std::string &path, int mode, int writer, int records) {
  clog *log = clog_create();
  clog_setAccessMode(log, mode);
  if (clog_open_file(log, path.c_str(), 1) != 0) _exit(2);
  for (int s = 0; s < records; ++s)
    if (clog_write_rec(log, recordText(writer, s).c_str()) != 0) _exit(3);
  clog_destroy(log);
  _exit(0);
}

class ClogLoadTest : public ::testing::TestWithParam<int> {
 protected:
  logtest::TempDir dir;
  std::string path = dir.file("load.clog");
};

// Four writers append while a reader follows: each record the ring still holds is read exactly once,
// whole, and each writer's records come in its order.
TEST_P(ClogLoadTest, ForkedWritersAndAFollowingReader) {
  constexpr int kWriters = 4, kRecords = 400;
  {
    clog *log = clog_create();
    ASSERT_EQ(clog_new_file_nl(log, path.c_str(), 300, 80), 0);
    clog_destroy(log);
  }
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    pid_t child = fork();
    if (child == 0) writerProcess(path, GetParam(), w, kRecords);
    children.push_back(child);
  }
  Handle reader;
  clog_setAccessMode(reader, GetParam());
  ASSERT_EQ(clog_open_file(reader, path.c_str(), 0), 0);
  std::set<std::pair<int, int>> seen;
  std::map<int, int> lastSequence;
  unsigned long next = 0;
  int running = kWriters, overwritten = 0;
  auto follow = [&] {
    while (true) {
      char *text = nullptr;
      int code = clog_read_abs_rec(reader, next, &text);
      if (code == CLOG_EOF) {
        unsigned long oldest = 0;
        if (clog_first_abs_rec(reader, &oldest) == 0 && oldest > next) {
          overwritten += static_cast<int>(oldest - next);
          next = oldest;
          continue;
        }
        return;
      }
      if (code == CLOG_SOF) {
        unsigned long oldest = 0;
        ASSERT_EQ(clog_first_abs_rec(reader, &oldest), 0);
        ASSERT_GT(oldest, next);
        overwritten += static_cast<int>(oldest - next);
        next = oldest;
        continue;
      }
      ASSERT_EQ(code, 0);
      std::string record = take(text);
      int w, s;
      // The oldest record may have lost its first lines to the ring (what is left does not start
      // with a writer's mark); every other record is whole.
      if (std::sscanf(record.c_str(), "w%d s%d ", &w, &s) != 2) {
        unsigned long oldest = 0;
        clog_first_abs_rec(reader, &oldest);
        ASSERT_LE(next, oldest) << "torn record " << next << ": " << record;
        ++overwritten;
        ++next;
        continue;
      }
      ASSERT_TRUE(parseRecord(record, &w, &s)) << "torn record " << next << ": " << record;
      ASSERT_TRUE(seen.insert({w, s}).second) << "read twice: " << record;
      auto previous = lastSequence.find(w);
      if (previous != lastSequence.end()) {
        ASSERT_GT(s, previous->second) << record;
      }
      lastSequence[w] = s;
      ++next;
    }
  };
  while (running > 0) {
    follow();
    if (HasFatalFailure()) break;
    int status;
    pid_t done = waitpid(-1, &status, WNOHANG);
    if (done > 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      --running;
    } else {
      usleep(200);
    }
  }
  for (pid_t child : children) waitpid(child, nullptr, 0);
  follow();
  EXPECT_EQ(next, static_cast<unsigned long>(kWriters * kRecords));
  EXPECT_EQ(static_cast<int>(seen.size()) + overwritten, kWriters * kRecords);
  // Whatever the ring holds now was read.
  unsigned long oldest = first(reader), newest = last(reader);
  EXPECT_EQ(newest, static_cast<unsigned long>(kWriters * kRecords - 1));
  for (unsigned long n = oldest + 1; n <= newest; ++n) {
    int w, s;
    ASSERT_TRUE(parseRecord(readAbs(reader, n), &w, &s)) << n;
    EXPECT_TRUE(seen.count({w, s})) << n;
  }
}

// A writer killed in the middle of its writes leaves a file that readers open and read, and that
// the next writer appends to.
TEST_P(ClogLoadTest, WriterKilledMidWrite) {
  {
    clog *log = clog_create();
    ASSERT_EQ(clog_new_file_nl(log, path.c_str(), 64, 40), 0);
    clog_destroy(log);
  }
  for (int round = 0; round < 6; ++round) {
    Child killed([&](int ready) {
      clog *log = clog_create();
      clog_setAccessMode(log, GetParam());
      if (clog_open_file(log, path.c_str(), 1) != 0) _exit(2);
      for (int s = 0;; ++s) {
        // Long records, several lines each, so that the kill often falls between two of a record's lines.
        std::string text = recordText(9, s) + std::string(static_cast<size_t>(100 + s % 90), '#');
        if (clog_write_rec(log, text.c_str()) != 0) _exit(3);
        if (s == 20) signalReady(ready);
      }
    });
    ASSERT_TRUE(killed.waitReady());
    usleep(static_cast<useconds_t>(round * 150));
    int status = killed.stop();
    ASSERT_TRUE(WIFSIGNALED(status));

    Handle reader;
    clog_setAccessMode(reader, GetParam());
    ASSERT_EQ(clog_open_file(reader, path.c_str(), 0), 0);
    unsigned long oldest = first(reader), newest = last(reader);
    ASSERT_LE(oldest, newest);
    for (unsigned long n = oldest; n <= newest; ++n) {
      int code;
      std::string text = readAbs(reader, n, &code);
      ASSERT_TRUE(code == 0 || code == CLOG_SOF) << n << " " << code;
      if (code == 0) {
        EXPECT_EQ(text.back(), '\n');
      }
    }
    Handle writer;
    clog_setAccessMode(writer, GetParam());
    ASSERT_EQ(clog_open_file(writer, path.c_str(), 1), 0);
    std::string marker = "after kill " + std::to_string(round);
    ASSERT_EQ(clog_write_rec(writer, marker.c_str()), 0);
    EXPECT_EQ(last(reader), newest + 1);
    EXPECT_EQ(readAbs(reader, newest + 1), marker + "\n");
  }
}

// A handle opened before a fork is used by both processes: they share the descriptor's file offset,
// which each moves under the other between its operations, and still every record lands whole.
TEST_P(ClogLoadTest, HandleSharedAcrossFork) {
  constexpr int kRecords = 300;
  Handle log;
  clog_setAccessMode(log, GetParam());
  ASSERT_EQ(clog_new_file_nl(log, path.c_str(), 2 * kRecords * 4, 80), 0);
  ASSERT_EQ(clog_write_rec(log, "before the fork"), 0);
  pid_t child = fork();
  if (child == 0) {
    for (int s = 0; s < kRecords; ++s)
      if (clog_write_rec(log, recordText(1, s).c_str()) != 0) _exit(3);
    _exit(0);
  }
  for (int s = 0; s < kRecords; ++s) {
    ASSERT_EQ(clog_write_rec(log, recordText(0, s).c_str()), 0);
    if (s % 50 == 0) {
      EXPECT_EQ(readAbs(log, 0), "before the fork\n");
    }
  }
  int status;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_EQ(last(log), static_cast<unsigned long>(2 * kRecords));
  std::map<int, int> next;
  for (unsigned long n = 1; n <= 2 * kRecords; ++n) {
    int w, s;
    ASSERT_TRUE(parseRecord(readAbs(log, n), &w, &s)) << n;
    EXPECT_EQ(s, next[w]++) << n;
  }
}

// Threads of one process share a handle, or use handles of their own on the same file: the
// process-wide mutex keeps every record whole and every number used once.
TEST_P(ClogLoadTest, ThreadsWithSharedAndOwnHandles) {
  constexpr int kThreads = 4, kRecords = 150;
  Handle shared;
  clog_setAccessMode(shared, GetParam());
  ASSERT_EQ(clog_new_file_nl(shared, path.c_str(), kThreads * kRecords * 4, 80), 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Handle own;
      clog_setAccessMode(own, GetParam());
      clog *log = t % 2 == 0 ? shared.log : (clog_open_file(own, path.c_str(), 1) == 0 ? own.log : nullptr);
      for (int s = 0; s < kRecords; ++s)
        if (clog_write_rec(log, recordText(t, s).c_str()) != 0) return;
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(first(shared), 0u);
  ASSERT_EQ(last(shared), static_cast<unsigned long>(kThreads * kRecords - 1));
  std::map<int, int> next;
  for (unsigned long n = 0; n < kThreads * kRecords; ++n) {
    int w, s;
    ASSERT_TRUE(parseRecord(readAbs(shared, n), &w, &s)) << n;
    EXPECT_EQ(s, next[w]++) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(AccessModes, ClogLoadTest, ::testing::Values(CLOG_ACCESS_MMAP, CLOG_ACCESS_STREAM),
                         [](const auto &info) { return info.param == CLOG_ACCESS_MMAP ? "mmap" : "stream"; });

}  // namespace
