// Helpers the unit suites share: a private temporary folder, whole-file reads and writes, heap
// texts taken over, and environment variables set for a scope (suites that change the process's
// environment put the caller's value back, so that the order the suites run in never matters).
#ifndef TELVI_TESTS_TEST_SUPPORT_H
#define TELVI_TESTS_TEST_SUPPORT_H

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

// A private folder under TMPDIR (or /tmp), removed with all it holds when the test is done.
class TempDir {
 public:
  TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/telvi-test-XXXXXX";
    path_ = mkdtemp(pattern.data()) != nullptr ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string &path() const { return path_; }
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

// Sets an environment variable for the guard's lifetime, then puts the caller's value back;
// `changed` runs after each change (tzset for TZ).
class EnvGuard {
 public:
  EnvGuard(const char *name, const char *value, void (*changed)() = nullptr) : name_(name), changed_(changed) {
    const char *old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) saved_ = old;
    setenv(name, value, 1);
    if (changed_ != nullptr) changed_();
  }
  ~EnvGuard() {
    if (had_) setenv(name_.c_str(), saved_.c_str(), 1);
    else unsetenv(name_.c_str());
    if (changed_ != nullptr) changed_();
  }
  EnvGuard(const EnvGuard &) = delete;
  EnvGuard &operator=(const EnvGuard &) = delete;

 private:
  std::string name_;
  void (*changed_)();
  bool had_ = false;
  std::string saved_;
};

}  // namespace testsupport

#endif
