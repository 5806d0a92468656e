// libFuzzer target: the schedule compiler and evaluation on arbitrary text. Every input either
// compiles (and then dumps, is evaluated at a moment taken from the text, and frees) or fails with
// a message; an edge that a search reports must be an edge; variables come from a small file of its own, with two
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
  setenv("TZ", "Europe/Berlin", 1);  // a zone with daylight saving
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
  // A moment from the text, spread over 1990-2037 and often close to a change of daylight saving.
  unsigned long hash = 5381;
  for (unsigned char c : text) hash = hash * 33 + c;
  long moment = 631152000L + static_cast<long>(hash % 1514764800UL);
  if (hash & 1) moment = 1711846800L + static_cast<long>(hash % 7200) - 3600;  // 2024-03-31 01:00 UTC
  auto evaluate = [&](auto call) {
    long result = call();
    return periodic_get_error(schedule) == nullptr ? result : -1;
  };
  for (int edge : {PERIODIC_RISING, PERIODIC_FALLING}) {
    long wait = evaluate([&] { return periodic_secs_to_wait(schedule, edge, moment, moment); });
    if (wait < -1) std::abort();
    if (wait > 0) {
      int before = periodic_inrange(schedule, moment + wait - 1, 0);
      int after = periodic_inrange(schedule, moment + wait, 0);
      if (before != (edge == PERIODIC_FALLING) || after != (edge == PERIODIC_RISING)) std::abort();
    }
  }
  long beat = evaluate([&] { return periodic_secs_to_wait(schedule, PERIODIC_BEAT, moment, moment - 100); });
  if (beat < -1) std::abort();
  int flag = 0;
  if (periodic_freq(schedule, &flag) < 0 || flag != 1) std::abort();
  periodic_free(schedule);
  return 0;
}
