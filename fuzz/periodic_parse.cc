// libFuzzer target: the schedule compiler on arbitrary text. Every input either compiles (and then
// dumps and frees) or fails with a message; variables come from a small file of its own, with two
// names that refer to each other, one that refers to itself and some that multiply their uses.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "telvi/cfgfile.h"
#include "telvi/id.h"
#include "telvi/periodic.h"

namespace {
int quiet(toe *, int, char **, void *, char **) { return 0; }

std::string directory;

void removeVariables() {
  unlink((directory + "/base-periodic-d.x").c_str());
  rmdir(directory.c_str());
}

void setUp() {
  setenv("TZ", "UTC", 1);
  tzset();
  idInit();
  cfgyaccRegisterAction("parse_error", quiet, nullptr);
  char pattern[] = "/tmp/telvi-fuzz-periodic-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  directory = pattern;
  std::atexit(removeVariables);
  FILE *file = std::fopen((directory + "/base-periodic-d.x").c_str(), "w");
  if (file == nullptr) std::abort();
  std::fputs(
      "w = \"hour >= 8 && hour < 18 && day_of_week = mon-fri\"\n"
      "n = \"time >= 22:00 || time < 6:00\"\n"
      "c = \"15 min && $w\"\n"
      "d = \"date >= 1/1/2001 && !$n\"\n"
      "e = \"hour = 25\"\n"
      "f = \"$e || minute = 1\"\n"
      "x = \"$y && hour = 1\"\n"
      "y = \"!$x\"\n"
      "s = \"$s\"\n"
      "t = \"$u && $u\"\n"
      "u = \"$v || $v\"\n"
      "v = \"$w && $w && $w && $w\"\n",
      file);
  std::fclose(file);
  setenv("INTERFACE_PATH", directory.c_str(), 1);
  if (periodic_init() != nullptr) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = (setUp(), true);
  (void)ready;
  std::string text(reinterpret_cast<const char *>(data), size);  // stops at an embedded NUL
  const char *message = nullptr;
  PeriodicSchedule *schedule = periodic_parse(text.c_str(), &message);
  if (schedule == nullptr) {
    if (message == nullptr || *message == '\0') std::abort();
    return 0;
  }
  if (message == nullptr || *message != '\0') std::abort();
  char *dump = periodic_dump(schedule);
  if (dump == nullptr || *dump == '\0') std::abort();
  std::free(dump);
  periodic_free(schedule);
  return 0;
}
