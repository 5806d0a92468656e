// An environment variable set for a scope: suites that change the process's environment put the
// caller's value back, so that the order the suites run in never matters.
#ifndef TELVI_TESTS_ENV_GUARD_H
#define TELVI_TESTS_ENV_GUARD_H

#include <cstdlib>
#include <string>

namespace testenv {

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

}  // namespace testenv

#endif
