// Helpers shared by the log suites: a private temporary folder and whole-file reads.
#ifndef TELVI_TESTS_LOG_SUPPORT_H
#define TELVI_TESTS_LOG_SUPPORT_H

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

}  // namespace logtest

#endif
