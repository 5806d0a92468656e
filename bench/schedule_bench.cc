// Compiling schedules: what a rule or job costs when its schedule text is parsed (the agent parses
// each schedule once, but configuration reloads parse them all again).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "telvi/periodic.h"

namespace {

const char *const kTexts[] = {
    "0,30 8-17 * * mon-fri",
    "15 minutes",
    "hour >= 8 && hour < 18 && day_of_week = mon-fri",
    "time >= 8:30 am && time <= 17:30:15 && !(month = dec && day_of_month = 24,25,26)",
    "cycle(period = 1 day, start = 1/1/2026 2:00 am) || date = dec 24 2026 5 pm",
    "$business && !$lunchtime",
};

void BM_PeriodicParse(benchmark::State &state) {
  static bool ready = [] {
    std::string dir = "/tmp/telvi-bench-periodic-" + std::to_string(getpid());
    std::string mkdir = "mkdir -p " + dir;
    if (std::system(mkdir.c_str()) != 0) return false;
    std::ofstream(dir + "/base-periodic-d.x")
        << "weekdays = \"day_of_week = mon-fri\"\nworkhours = \"time >= 8:00 && time < 18:00\"\n"
           "business = \"$weekdays && $workhours\"\nlunchtime = \"time >= 12:00 && time < 13:00\"\n";
    setenv("INTERFACE_PATH", dir.c_str(), 1);
    setenv("TZ", "UTC", 1);
    bool ok = periodic_init() == nullptr;
    std::remove((dir + "/base-periodic-d.x").c_str());
    rmdir(dir.c_str());
    return ok;
  }();
  if (!ready) {
    state.SkipWithError("variable file");
    return;
  }
  const char *text = kTexts[state.range(0)];
  for (auto _ : state) {
    const char *message;
    PeriodicSchedule *schedule = periodic_parse(text, &message);
    benchmark::DoNotOptimize(schedule);
    periodic_free(schedule);
  }
  state.SetLabel(text);
}
BENCHMARK(BM_PeriodicParse)->DenseRange(0, 5);

}  // namespace
