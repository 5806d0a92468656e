// Helpers shared by the log suites: a private temporary folder and whole-file reads.
#ifndef TELVI_TESTS_LOG_SUPPORT_H
#define TELVI_TESTS_LOG_SUPPORT_H

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace logtest {

class TempDir {
 public:
  TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/telvi-log-XXXXXX";
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void spit(const std::string &path, const std::string &text, bool append = false) {
  std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  out << text;
}

// Takes a heap text and returns it as a string ("<none>" for null).
inline std::string take(char *text) {
  if (text == nullptr) return "<none>";
  std::string result(text);
  std::free(text);
  return result;
}

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

}  // namespace logtest

#endif
