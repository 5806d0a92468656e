// Helpers shared by the log suites: forked children and the records of the load tests (the
// temporary folder and file helpers come from test_support.h).
#ifndef TELVI_TESTS_LOG_SUPPORT_H
#define TELVI_TESTS_LOG_SUPPORT_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace logtest {

using testsupport::slurp;
using testsupport::spit;
using testsupport::take;
using testsupport::TempDir;

// A forked process that tells through a pipe when it is ready; killed and reaped at the latest when
// it goes out of scope, so a failing test leaves no process behind and never waits for a dead one.
class Child {
 public:
  template <typename Body>
  explicit Child(Body body) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      body(fds[1]);
      _exit(0);
    }
    close(fds[1]);
    ready_ = fds[0];
  }
  ~Child() {
    if (ready_ >= 0) close(ready_);
    if (pid_ > 0) stop();
  }
  bool waitReady() {
    char byte;
    return pid_ > 0 && ready_ >= 0 && read(ready_, &byte, 1) == 1;
  }
  // SIGKILL; the wait status.
  int stop() {
    ::kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return status;
  }
  Child(const Child &) = delete;
  Child &operator=(const Child &) = delete;

 private:
  pid_t pid_ = -1;
  int ready_ = -1;
};

inline void signalReady(int fd) { (void)!write(fd, "x", 1); }

// Record s of writer w for the load tests: it names its writer and is fully determined by both, so
// that a torn or mixed record shows. With `spread`, lengths vary so that records take one to four
// lines of 64 characters.
inline std::string recordText(int writer, int sequence, bool spread = true) {
  std::string text = "w" + std::to_string(writer) + " s" + std::to_string(sequence) + " ";
  size_t length = spread ? 10 + static_cast<size_t>((sequence * 37 + writer * 11) % 200) : 40;
  while (text.size() < length) text += static_cast<char>('a' + (text.size() * 7 + static_cast<size_t>(sequence)) % 26);
  return text;
}

// Whether the text read back is a whole record (with its newline); its writer and sequence.
inline bool parseRecord(const std::string &text, int *writer, int *sequence, bool spread = true) {
  if (std::sscanf(text.c_str(), "w%d s%d ", writer, sequence) != 2) return false;
  return text == recordText(*writer, *sequence, spread) + "\n";
}

}  // namespace logtest

#endif
