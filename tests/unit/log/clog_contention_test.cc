// Circular logs shared by processes under load: lock waits that outlast a busy holder, the lock
// error as interface callers see it, creation that other processes never see half done, and four
// processes appending to one file at once.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "log/clog_internal.h"
#include "log_support.h"
#include "telvi/clog.h"
#include "telvi/ddl.h"
#include "telvi/interface.h"
#include "telvi/package.h"

namespace {

using logtest::take;

// Forked children that start together when released; each returns its exit status.
class Crowd {
 public:
  template <typename Body>
  void add(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
      close(gate_[1]);
      char byte;
      (void)!read(gate_[0], &byte, 1);  // end of file: released
      _exit(body());
    }
    pids_.push_back(pid);
  }
  Crowd() { (void)!pipe(gate_); }
  // Releases the children and waits for them; true when every one exited with 0.
  bool run() {
    close(gate_[1]);
    gate_[1] = -1;
    bool ok = true;
    for (pid_t pid : pids_) {
      int status = 0;
      waitpid(pid, &status, 0);
      ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    pids_.clear();
    return ok;
  }
  ~Crowd() {
    for (pid_t pid : pids_) kill(pid, SIGKILL);
    if (gate_[1] >= 0) close(gate_[1]);
    close(gate_[0]);
    for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
  }

 private:
  int gate_[2] = {-1, -1};
  std::vector<pid_t> pids_;
};

// A process that takes a write lock on the whole file and holds it for `hold`.
auto holdLock(const std::string &path, std::chrono::milliseconds hold) {
  return [path, hold](int ready) {
    int fd = ::open(path.c_str(), O_RDWR);
    struct flock lock {};
    lock.l_type = F_WRLCK;
    if (fcntl(fd, F_SETLK, &lock) != 0) _exit(1);
    logtest::signalReady(ready);
    usleep(static_cast<useconds_t>(hold.count() * 1000));
  };
}

std::vector<std::string> filesIn(const std::string &folder) {
  std::vector<std::string> names;
  if (DIR *dir = opendir(folder.c_str())) {
    while (dirent *entry = readdir(dir)) {
      std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
  }
  return names;
}

class ClogContention : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { Intclog_InitInternal(); }
  logtest::TempDir dir;
  std::string path = dir.file("shared.clog");
};

TEST_F(ClogContention, LockWaitOutlastsABusyHolder) {
  clog *log = clog_create();
  ASSERT_EQ(clog_new_file_nl(log, path.c_str(), 10, 40), 0);
  {
    // Held longer than a millisecond a retry would allow (200 ms): the write waits it out.
    logtest::Child holder(holdLock(path, std::chrono::milliseconds(600)));
    ASSERT_TRUE(holder.waitReady());
    EXPECT_EQ(clog_write_rec(log, "after the wait"), 0);
  }
  {
    // Each retry stands for 50 ms: two of them give up within a second, with the lock's code.
    logtest::Child holder(holdLock(path, std::chrono::seconds(30)));
    ASSERT_TRUE(holder.waitReady());
    clog_set_num_retries(log, 2);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(clog_write_rec(log, "given up"), CLOG_ELOCK);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  }
  char *text = nullptr;
  ASSERT_EQ(clog_read_abs_rec(log, 0, &text), 0);
  EXPECT_EQ(take(text), "after the wait\n");
  EXPECT_EQ(clog_read_abs_rec(log, 1, &text), CLOG_EOF);
  clog_destroy(log);
}

// An interface write that cannot get the lock fails with ENOLCK, and the "error" channel gets the
// log's own message with the file's name.
TEST_F(ClogContention, LockFailureThroughTheInterface) {
  Intfile_InitInternal();
  ddlInit("unitagent", nullptr);
  static std::string seen;
  ASSERT_EQ(ddlChannelCreateSpecial("error", ("file:" + dir.file("diag") + ":w").c_str(),
                                    [](const char *line, void *) { seen += line; }),
            0);
  ddlChannelEnable("error");
  int fd = interfaceOpen(("clog:" + path + ":10:40").c_str());
  ASSERT_GE(fd, 0);
  // The interface's private data starts with its log handle.
  clog_set_num_retries(*static_cast<clog **>(interfaceRecord(fd)->priv), 1);
  {
    logtest::Child holder(holdLock(path, std::chrono::seconds(30)));
    ASSERT_TRUE(holder.waitReady());
    errno = 0;
    EXPECT_EQ(interfaceWrite(fd, "lost?", 5, nullptr), -1);
    EXPECT_EQ(errno, ENOLCK);
  }
  EXPECT_NE(seen.find("clog write " + path + ": Could not lock file for writing."), std::string::npos) << seen;
  EXPECT_EQ(interfaceWrite(fd, "kept", 4, nullptr), 4);
  char buffer[64];
  EXPECT_EQ(interfaceRead(fd, buffer, sizeof buffer, nullptr), 5);
  EXPECT_STREQ(buffer, "kept\n");
  interfaceClose(fd);
  ddlChannelDestroy("error");
}

// Four processes open the same missing log at once, each through the interface (open or create)
// and each appending; one makes the file, the others open it, and nothing is lost or left over.
TEST_F(ClogContention, SimultaneousCreationIsAtomic) {
  constexpr int kTrials = 12, kProcesses = 4, kRecords = 50;
  for (int trial = 0; trial < kTrials; ++trial) {
    unlink(path.c_str());
    Crowd crowd;
    for (int p = 0; p < kProcesses; ++p) {
      crowd.add([&, p] {
        // Large enough that formatting takes a while: the window for a half-made file is wide.
        std::string url = "clog://localhost/" + path + ";lines=20000;width=40" + (p % 2 ? ";mmap=false" : "");
        int fd = interfaceOpen(url.c_str());
        if (fd < 0) return 10 + errno % 100;
        for (int r = 0; r < kRecords; ++r) {
          std::string text = "p" + std::to_string(p) + " r" + std::to_string(r);
          if (interfaceWrite(fd, text.c_str(), text.size(), nullptr) < 0) return 2;
        }
        interfaceClose(fd);
        return 0;
      });
    }
    ASSERT_TRUE(crowd.run()) << "trial " << trial;
    clog *log = clog_create();
    ASSERT_EQ(clog_open_file(log, path.c_str(), 0), 0);
    unsigned long first = 99, last = 0;
    EXPECT_EQ(clog_first_abs_rec(log, &first), 0);
    EXPECT_EQ(clog_last_abs_rec(log, &last), 0);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(last, static_cast<unsigned long>(kProcesses * kRecords - 1)) << "trial " << trial;
    clog_destroy(log);
    EXPECT_EQ(filesIn(path.substr(0, path.rfind('/'))), std::vector<std::string>{"shared.clog"});
  }
}

// A log made anew (truncating) while other processes open it: they find the old file or the new
// one, each whole, never an empty or half-formatted one.
TEST_F(ClogContention, RecreationNeverShowsAHalfFile) {
  clog *log = clog_create();
  ASSERT_EQ(clog_new_file_nl(log, path.c_str(), 5000, 40), 0);
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  clog_destroy(log);
  Crowd crowd;
  crowd.add([&] {
    for (int round = 0; round < 40; ++round) {
      clog *fresh = clog_create();
      if (clog_new_file_nl(fresh, path.c_str(), 5000, 40) != 0 || clog_write_rec(fresh, "x") != 0) return 1;
      clog_destroy(fresh);
    }
    return 0;
  });
  for (int p = 0; p < 2; ++p) {
    crowd.add([&] {
      for (int round = 0; round < 400; ++round) {
        clog *reader = clog_create();
        int code = clog_open_file(reader, path.c_str(), round % 2);
        clog_destroy(reader);
        if (code != 0) return 3;
      }
      return 0;
    });
  }
  ASSERT_TRUE(crowd.run());
  struct stat info;
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);  // the new file keeps the old one's permissions
  EXPECT_EQ(filesIn(path.substr(0, path.rfind('/'))).size(), 1u);
}

// A new file replaces what a symbolic link names, not the link; a file with other names is
// formatted in place, so that all of them still show it.
TEST_F(ClogContention, CreationKeepsLinksAndOtherNames) {
  std::string real = dir.file("real.clog"), link = dir.file("link.clog"), dangling = dir.file("dangling.clog");
  logtest::spit(real, "old contents");
  ASSERT_EQ(symlink("real.clog", link.c_str()), 0);
  ASSERT_EQ(symlink("later.clog", dangling.c_str()), 0);
  clog *log = clog_create();
  ASSERT_EQ(clog_new_file_nl(log, link.c_str(), 4, 20), 0);
  ASSERT_EQ(clog_write_rec(log, "through the link"), 0);
  struct stat info;
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_NE(logtest::slurp(real).find("through the link"), std::string::npos);
  // Open or create through a link that leads nowhere yet: the file appears where it points.
  ASSERT_EQ(clogOpenOrCreate(log, dangling.c_str(), 4, 20), 0);
  ASSERT_EQ(clog_write_rec(log, "made behind the link"), 0);
  EXPECT_NE(logtest::slurp(dir.file("later.clog")).find("made behind the link"), std::string::npos);
  // Two names for one file.
  std::string other = dir.file("other.clog");
  ASSERT_EQ(::link(real.c_str(), other.c_str()), 0);
  ASSERT_EQ(clog_new_file_nl(log, real.c_str(), 4, 20), 0);
  ASSERT_EQ(clog_write_rec(log, "seen by both names"), 0);
  EXPECT_EQ(logtest::slurp(other), logtest::slurp(real));
  clog_destroy(log);
  auto names = filesIn(path.substr(0, path.rfind('/')));
  EXPECT_EQ(names.size(), 5u);  // no temporary file left behind
}

// ---- four writers -------------------------------------------------------------------------------

// Four processes append kRecords each (two with the mapping, two with stream I/O); afterwards the
// log is read from its oldest record to its newest. Returns the records read as writer -> sequences
// in the order of their record numbers; a torn or foreign record fails the test.
void appendAndReadBack(const std::string &path, unsigned long lines, bool spread, int records,
                       std::map<int, std::vector<int>> *seen) {
  constexpr int kWriters = 4;
  clog *log = clog_create();
  EXPECT_EQ(clog_new_file_nl(log, path.c_str(), lines, 64), 0);
  clog_destroy(log);
  Crowd crowd;
  for (int w = 0; w < kWriters; ++w) {
    crowd.add([&, w] {
      clog *own = clog_create();
      clog_setAccessMode(own, w % 2 ? CLOG_ACCESS_STREAM : CLOG_ACCESS_MMAP);
      if (clog_open_file(own, path.c_str(), 1) != 0) return 1;
      for (int s = 0; s < records; ++s) {
        int code = clog_write_rec(own, logtest::recordText(w, s, spread).c_str());
        if (code != 0) return 20 + code;  // a record handed over and not written
      }
      clog_destroy(own);
      return 0;
    });
  }
  ASSERT_TRUE(crowd.run()) << "a writer failed";
  log = clog_create();
  EXPECT_EQ(clog_open_file(log, path.c_str(), 0), 0);
  unsigned long first = 0, last = 0;
  EXPECT_EQ(clog_first_abs_rec(log, &first), 0);
  EXPECT_EQ(clog_last_abs_rec(log, &last), 0);
  EXPECT_EQ(last, static_cast<unsigned long>(kWriters * records - 1));
  for (unsigned long n = first; n <= last && !::testing::Test::HasFailure(); ++n) {
    char *raw = nullptr;
    int code = clog_read_abs_rec(log, n, &raw);
    std::string text = code == 0 ? take(raw) : "";
    int w = -1, s = -1;
    // The oldest record of a full ring may have lost its first lines to the newest one.
    if (n == first && code == 0 && std::sscanf(text.c_str(), "w%d s%d ", &w, &s) != 2) continue;
    ASSERT_EQ(code, 0) << n;
    ASSERT_TRUE(logtest::parseRecord(text, &w, &s, spread)) << n << ": " << text;
    (*seen)[w].push_back(s);
  }
  clog_destroy(log);
}

// The stream keeps what it read, and gathers what it writes, between its system calls: what it
// holds must never outlive the lock. Two handles take turns on one file (each must see the other's
// records), a child process appends between two of the parent's appends, and a file cut short or
// made anew smaller under an open handle is refused rather than grown or overwritten past its end.
TEST_F(ClogContention, StreamBuffersNeverOutliveTheLock) {
  for (int mode : {CLOG_ACCESS_STREAM, CLOG_ACCESS_MMAP}) {
    SCOPED_TRACE(mode);
    clog *maker = clog_create();
    ASSERT_EQ(clog_new_file_nl(maker, path.c_str(), 50, 40), 0);
    clog_destroy(maker);
    clog *a = clog_create(), *b = clog_create();
    clog_setAccessMode(a, mode);
    clog_setAccessMode(b, CLOG_ACCESS_STREAM);
    ASSERT_EQ(clog_open_file(a, path.c_str(), 1), 0);
    ASSERT_EQ(clog_open_file(b, path.c_str(), 1), 0);
    for (int i = 0; i < 120; ++i) ASSERT_EQ(clog_write_rec(i % 3 ? a : b, ("turn " + std::to_string(i)).c_str()), 0);
    {
      logtest::Child child([&](int ready) {
        clog *own = clog_create();
        clog_setAccessMode(own, CLOG_ACCESS_STREAM);
        if (clog_open_file(own, path.c_str(), 1) != 0 || clog_write_rec(own, "turn 120") != 0) _exit(1);
        clog_destroy(own);
        logtest::signalReady(ready);
      });
      ASSERT_TRUE(child.waitReady());
    }
    ASSERT_EQ(clog_write_rec(a, "turn 121"), 0);
    unsigned long first = 0, last = 0;
    ASSERT_EQ(clog_first_abs_rec(b, &first), 0);
    ASSERT_EQ(clog_last_abs_rec(b, &last), 0);
    EXPECT_EQ(last, 121u);
    for (unsigned long n = first; n <= last; ++n) {
      char *text = nullptr;
      ASSERT_EQ(clog_read_abs_rec(b, n, &text), 0) << n;
      EXPECT_EQ(take(text), "turn " + std::to_string(n) + "\n");
    }
    // Cut to its header and two lines: the next append fails and the file stays as it was cut.
    struct stat info;
    ASSERT_EQ(truncate(path.c_str(), 85 + 2 * 57), 0);
    EXPECT_NE(clog_write_rec(b, "past the end"), 0);
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 85 + 2 * 57);
    // Made anew in place and smaller (no other name beside it: a hard link keeps it in place).
    std::string other = path + ".link";
    ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
    maker = clog_create();
    ASSERT_EQ(clog_new_file_nl(maker, path.c_str(), 5, 40), 0);
    ASSERT_EQ(clog_write_rec(maker, "fresh"), 0);
    EXPECT_NE(clog_write_rec(b, "into the new file"), 0);
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 85 + 5 * 57);
    char *text = nullptr;
    ASSERT_EQ(clog_read_abs_rec(maker, 0, &text), 0);
    EXPECT_EQ(take(text), "fresh\n");
    clog_destroy(maker);
    clog_destroy(a);
    clog_destroy(b);
    unlink(other.c_str());
    unlink(path.c_str());
  }
}

int loadRecords() {
#if defined(__SANITIZE_ADDRESS__)
  return 12500;  // the same contention at a quarter of the length under the sanitizers
#else
  return 50000;
#endif
}

TEST_F(ClogContention, FourWritersLoseNothing) {
  int records = loadRecords();
  std::map<int, std::vector<int>> seen;
  appendAndReadBack(path, 4UL * static_cast<unsigned long>(records), false, records, &seen);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(seen.size(), 4u);
  for (auto &[writer, sequences] : seen) {
    // Each writer's records, in the order they were appended, exactly once.
    ASSERT_EQ(sequences.size(), static_cast<size_t>(records)) << writer;
    for (int s = 0; s < records; ++s) ASSERT_EQ(sequences[static_cast<size_t>(s)], s) << writer;
  }
}

TEST_F(ClogContention, FourWritersOverASmallRing) {
  int records = loadRecords();
  std::map<int, std::vector<int>> seen;
  appendAndReadBack(path, static_cast<unsigned long>(records) * 2 / 5, true, records, &seen);
  ASSERT_FALSE(HasFatalFailure());
  size_t total = 0;
  for (auto &[writer, sequences] : seen) {
    for (size_t i = 1; i < sequences.size(); ++i) ASSERT_LT(sequences[i - 1], sequences[i]) << writer;
    total += sequences.size();
  }
  // A record takes four lines at most: the ring holds a quarter of its lines in records at least.
  EXPECT_GE(total, static_cast<size_t>(records) / 10 - 1);
}

}  // namespace
