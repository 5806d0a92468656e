// Compiling schedules: what a rule or job costs when its schedule text is parsed (the agent parses
// each schedule once, but configuration reloads parse them all again).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
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

// Searching: a wait must cost about the same whether the edge is a second or a year away, since
// the searches jump from one calendar boundary to the next.
struct Search {
  const char *label;
  const char *text;
  int edge;
  long time;
  const char *zone = "UTC";
};
const Search kSearches[] = {
    {"yearly date, edge 1 s away", "month = mar && day_of_month = 5", PERIODIC_RISING, 1772668799},  // 03-04 23:59:59
    {"yearly date, edge 1 year away", "month = mar && day_of_month = 5", PERIODIC_RISING, 1772712000},  // 03-05 12:00
    {"second = 0, edge 1 s away", "second = 0", PERIODIC_RISING, 1772708459},  // 2026-03-05 11:00:59
    {"day_of_year = 64, edge 1 year away", "day_of_year = 64", PERIODIC_RISING, 1772712000},
    {"weekend to Monday 9:00", "hour >= 9 && hour < 17 && day_of_week = mon-fri", PERIODIC_RISING, 1772884800},
    {"beat of a cron line", "0,30 8-17 * * mon-fri", PERIODIC_BEAT, 1772884800},
    // A zone with daylight saving: its changes are learnt once, and the moves between them cost
    // what they cost in UTC (BM_PeriodicZoneRatio compares the two).
    {"Berlin, yearly date, edge 1 s away", "month = mar && day_of_month = 5", PERIODIC_RISING, 1772665199,
     "Europe/Berlin"},
    {"Berlin, yearly date, edge 1 year away", "month = mar && day_of_month = 5", PERIODIC_RISING, 1772708400,
     "Europe/Berlin"},
};

void BM_PeriodicSecsToWait(benchmark::State &state) {
  const Search &search = kSearches[state.range(0)];
  setenv("TZ", search.zone, 1);
  tzset();
  const char *message;
  PeriodicSchedule *schedule = periodic_parse(search.text, &message);
  if (schedule == nullptr || periodic_secs_to_wait(schedule, search.edge, search.time, 0) <= 0) {
    state.SkipWithError("schedule");
    periodic_free(schedule);
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(periodic_secs_to_wait(schedule, search.edge, search.time, 0));
  state.SetLabel(std::string(search.label) + ": " + std::to_string(periodic_secs_to_wait(schedule, search.edge,
                                                                                       search.time, 0)) + " s");
  periodic_free(schedule);
}
BENCHMARK(BM_PeriodicSecsToWait)->DenseRange(0, 7);

// The same search in UTC and in Europe/Berlin (rows 1 and 7 above), timed in alternating batches
// within one run, so that the load of a shared machine falls on both zones alike. The counters are
// CPU nanoseconds per search in each zone and their ratio.
void BM_PeriodicZoneRatio(benchmark::State &state) {
  const Search *pair[2] = {&kSearches[1], &kSearches[7]};
  PeriodicSchedule *schedules[2] = {};
  const char *message;
  for (int i = 0; i < 2; ++i) {
    setenv("TZ", pair[i]->zone, 1);
    tzset();
    schedules[i] = periodic_parse(pair[i]->text, &message);
    if (schedules[i] == nullptr || periodic_secs_to_wait(schedules[i], pair[i]->edge, pair[i]->time, 0) <= 0) {
      state.SkipWithError("schedule");
      periodic_free(schedules[0]);
      periodic_free(schedules[1]);
      return;
    }
  }
  auto cpuNow = [] {
    struct timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1e9 + now.tv_nsec;
  };
  constexpr int kBatch = 200;
  double spent[2] = {0, 0};
  for (auto _ : state) {
    for (int i = 0; i < 2; ++i) {
      setenv("TZ", pair[i]->zone, 1);
      tzset();
      double start = cpuNow();
      for (int n = 0; n < kBatch; ++n)
        benchmark::DoNotOptimize(periodic_secs_to_wait(schedules[i], pair[i]->edge, pair[i]->time, 0));
      spent[i] += cpuNow() - start;
    }
  }
  double searches = static_cast<double>(state.iterations()) * kBatch;
  state.counters["UTC_ns"] = spent[0] / searches;
  state.counters["Berlin_ns"] = spent[1] / searches;
  state.counters["ratio"] = spent[0] > 0 ? spent[1] / spent[0] : 0;
  state.SetLabel("yearly date, edge 1 year away: Berlin / UTC");
  periodic_free(schedules[0]);
  periodic_free(schedules[1]);
}
BENCHMARK(BM_PeriodicZoneRatio);

}  // namespace
