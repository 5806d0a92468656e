// Schedule evaluation against an independent model: random schedules (cron, relations on every
// field, cycles, and/or/not) and random moments from 1995 to 2037 in UTC and in two zones with
// daylight saving. periodic_inrange must match the model at every moment, RISING and FALLING must
// name the next moment at which the model changes that way (found by brute force over the local
// calendar), and BEAT must match where the beat is defined independently of the search: a lone
// cycle, a single equality, cron, and a cycle inside a window of whole hours. A failure prints the
// schedule, the zone and the moment, so that it can be replayed by hand.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "periodic_oracle.h"
#include "telvi/periodic.h"

namespace {

using namespace oracle;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kRounds = 2;  // the sanitizers make every call several times slower
#else
constexpr int kRounds = 6;
#endif

constexpr long kBudget = 3000000;  // model evaluations per search before it counts as undecided

std::string local(long t) {
  time_t tt = t;
  struct tm tm {};
  localtime_r(&tt, &tm);
  char buf[64];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %Z %a", &tm);
  return std::to_string(t) + " (" + buf + ")";
}

// Collects disagreements; the first two of each schedule, and 30 in all, are printed in full.
struct Findings {
  long checks = 0;
  long undecided = 0;
  long failures = 0;
  long shown = 0;
  long shownOfSchedule = 0;
  std::string report;
  void nextSchedule() { shownOfSchedule = 0; }
  void add(const std::string &what) {
    ++failures;
    if (shown >= 30 || shownOfSchedule >= 2) return;
    ++shown;
    ++shownOfSchedule;
    report += what + "\n";
  }
};

const char *edgeName(int edge) {
  return edge == PERIODIC_RISING ? "RISING" : edge == PERIODIC_FALLING ? "FALLING" : "BEAT";
}

class Oracle {
 public:
  explicit Oracle(const char *zone)
      : zone_(zone), guard_(zone), calendar_(utc(1994, 12, 25), utc(2039, 1, 3)),
        end2039_(localMoment(2039, 1, 1)) {}

  Findings findings;

  // The next moment after t at which the model becomes `value`; -1 none, -2 undecided.
  long nextEdge(const Node &model, long t, bool value) {
    long budget = kBudget;
    long from = t + 1;
    if (calendar_.holds(model, t) == value) {
      from = calendar_.findChange(model, from, value, budget);
      if (from < 0) return from;
    }
    return calendar_.findChange(model, from, !value, budget);
  }
  long expected(long edge, long t) const { return edge == -1 || edge >= end2039_ ? 0 : edge - t; }

  PeriodicSchedule *compile(const std::string &text) {
    const char *message = nullptr;
    PeriodicSchedule *s = periodic_parse(text.c_str(), &message);
    if (s == nullptr) findings.add(zone_ + ": the schedule does not compile: " + text + ": " + message);
    return s;
  }

  std::string where(const std::string &text, long t) const {
    return "TZ=" + zone_ + " schedule \"" + text + "\" at " + local(t);
  }
  // A wait from t as the library's answer or the model's: "0 (to none)", "60 (to 1234 (...))".
  static std::string waitText(long wait, long t) {
    return std::to_string(wait) + " (to " + (wait ? local(t + wait) : "none") + ")";
  }

  void checkError(PeriodicSchedule *s, const std::string &text, long t, const char *call) {
    const char *error = periodic_get_error(s);
    if (error != nullptr) findings.add(where(text, t) + ": " + call + " recorded \"" + error + "\"");
  }

  // inrange, RISING and FALLING at t; with follow, also around the edges found.
  void checkWindow(PeriodicSchedule *s, const Schedule &sc, long t, long periodStart, bool follow) {
    ++findings.checks;
    bool want = calendar_.holds(*sc.model, t);
    int got = periodic_inrange(s, t, periodStart);
    checkError(s, sc.text, t, "inrange");
    if (got != (want ? 1 : 0))
      findings.add(where(sc.text, t) + ": inrange " + std::to_string(got) + ", model " + std::to_string(want));
    for (int edge : {PERIODIC_RISING, PERIODIC_FALLING}) {
      long T = nextEdge(*sc.model, t, edge == PERIODIC_RISING);
      if (T == -2) {  // the model could not decide in its budget: nothing to compare with
        ++findings.undecided;
        continue;
      }
      long wait = periodic_secs_to_wait(s, edge, t, periodStart);
      checkError(s, sc.text, t, edgeName(edge));
      long exp = expected(T, t);
      if (wait != exp) {
        findings.add(where(sc.text, t) + ": " + edgeName(edge) + " " + waitText(wait, t) + ", model " +
                     waitText(exp, t));
      }
      if (follow && T > 0 && T < end2039_) {
        for (long d : {-1L, 0L, 1L}) checkWindow(s, sc, T + d, periodStart, false);
      }
    }
  }

  // A beat of a schedule without cycles is a moment inside it, and comes no later than the
  // next rising edge.
  void checkBeatProperties(PeriodicSchedule *s, const Schedule &sc, long t, long periodStart) {
    if (sc.hasCycle) return;
    long beat = periodic_secs_to_wait(s, PERIODIC_BEAT, t, periodStart);
    checkError(s, sc.text, t, "BEAT");
    if (beat < 0) {
      findings.add(where(sc.text, t) + ": BEAT negative " + std::to_string(beat));
      return;
    }
    if (beat > 0 && !calendar_.holds(*sc.model, t + beat))
      findings.add(where(sc.text, t) + ": BEAT " + std::to_string(beat) + " lands outside the schedule at " +
                   local(t + beat));
  }

  long predictBeat(const BeatSchedule &b, long t, long periodStart) {
    long budget = kBudget;
    const Cycle &c = b.cycle;
    long base = c.hasStart ? c.start : periodStart;
    auto nextMultiple = [&] { return t >= base ? t + c.period - (t - base) % c.period : base; };
    switch (b.beatClass) {
      case BeatClass::kCycle:
        return nextMultiple();
      case BeatClass::kRising:
        return nextEdge(*b.schedule.model, t, true);
      case BeatClass::kMinuteStart:  // the first moment inside that starts a minute
        for (long from = t + 1;;) {
          long y = calendar_.findChange(*b.schedule.model, from, false, budget);
          long second = (y - calendar_.begin()) % 60;
          if (y < 0 || second == 0) return y;
          from = y + 60 - second;
        }
      case BeatClass::kCycleInWindow:  // the first multiple inside the window
        for (long from = nextMultiple();;) {
          long y = calendar_.findChange(*b.window, from, false, budget);
          if (y < 0) return y;
          long m = y <= base ? base : base + (y - base + c.period - 1) / c.period * c.period;
          if (calendar_.holds(*b.window, m)) return m;
          from = m + 1;
        }
    }
    return -2;
  }

  // Returns the model's beat.
  long checkBeat(PeriodicSchedule *s, const BeatSchedule &b, long t, long periodStart) {
    ++findings.checks;
    long T = predictBeat(b, t, periodStart);
    if (T == -2) {
      ++findings.undecided;
      return T;
    }
    long got = periodic_secs_to_wait(s, PERIODIC_BEAT, t, periodStart);
    checkError(s, b.schedule.text, t, "BEAT");
    long exp = expected(T, t);
    if (got != exp)
      findings.add(where(b.schedule.text, t) + " period_start " + std::to_string(periodStart) + ": BEAT " +
                   waitText(got, t) + ", model " + waitText(exp, t));
    return T;
  }

  // Moments: uniform, and close to daylight-saving changes, month and year ends, leap days and the
  // first and last weeks of a year.
  long sample(Generator &g) {
    const std::vector<long> &tr = calendar_.transitions();
    switch (g.num(0, 9)) {
      case 4:
      case 5:
        if (!tr.empty()) {
          long at = g.pick(tr);
          return g.chance(30) ? at + g.num(-2, 1) : at + g.num(-7200, 7200);
        }
        break;
      case 6: {
        int y = static_cast<int>(g.num(1995, 2037)), m = static_cast<int>(g.num(1, 12));
        return localMoment(y, m, daysIn(m, y), 23, 58) + g.num(0, 179);
      }
      case 7: {
        int y = static_cast<int>(g.num(1995, 2036));
        long day = g.chance(50) ? localMoment(y, 12, static_cast<int>(g.num(24, 31)))
                                : localMoment(y + 1, 1, static_cast<int>(g.num(1, 9)));
        return day + (g.chance(30) ? g.num(-1, 1) : g.num(0, 86399));
      }
      case 8: {
        int y = 1996 + 4 * static_cast<int>(g.num(0, 10));
        return localMoment(y, 2, 28) + g.num(0, 3 * 86400 - 1);
      }
      case 9: {
        long t = g.num(utc(1995, 1, 1), utc(2038, 1, 1) - 1);
        return t - t % 3600 + g.num(-2, 2);
      }
      default:
        break;
    }
    return g.num(utc(1995, 1, 1), utc(2038, 1, 1) - 1);
  }

  void runWindows(uint64_t state, int schedules, int moments) {
    Generator g(state);
    for (int i = 0; i < schedules; ++i) {
      Schedule sc = g.schedule(static_cast<int>(g.num(0, 4)));
      findings.nextSchedule();
      PeriodicSchedule *s = compile(sc.text);
      if (s == nullptr) continue;
      for (int k = 0; k < moments; ++k) {
        long t = sample(g);
        long periodStart = t - g.num(0, 100000);
        checkWindow(s, sc, t, periodStart, true);
        checkBeatProperties(s, sc, t, periodStart);
      }
      periodic_free(s);
    }
  }

  void runBeats(uint64_t state, int schedules, int moments) {
    Generator g(state);
    for (int i = 0; i < schedules; ++i) {
      BeatSchedule b = g.beatSchedule();
      findings.nextSchedule();
      PeriodicSchedule *s = compile(b.schedule.text);
      if (s == nullptr) continue;
      for (int k = 0; k < moments; ++k) {
        long t = sample(g);
        // A cycle in a window of whole hours starts on a whole hour.
        long periodStart = b.beatClass == BeatClass::kCycleInWindow
                               ? t - (t - calendar_.begin()) % 3600 - 3600 * g.num(0, 240)
                               : t + g.num(-1000000, 1000);
        long T = checkBeat(s, b, t, periodStart);
        if (T > 0 && T < end2039_) {
          for (long d : {-1L, 0L}) checkBeat(s, b, T + d, periodStart);
        }
      }
      periodic_free(s);
    }
  }

  void expectClean() {
    std::printf("%ld checks, %ld undecided, %ld disagreements\n", findings.checks, findings.undecided,
                findings.failures);
    EXPECT_EQ(findings.failures, 0) << findings.failures << " disagreements in " << findings.checks
                                    << " checks; the first ones:\n"
                                    << findings.report;
    // A search that ran out of budget proves nothing; it must stay rare.
    EXPECT_LE(findings.undecided * 50, findings.checks) << findings.undecided << " undecided";
  }

 private:
  std::string zone_;
  ZoneGuard guard_;
  Calendar calendar_;
  long end2039_;
};

// The model itself, on cases worked out by hand: week numbers, the cron day rule, wrapping ranges.
TEST(PeriodicOracle, ModelSelfCheck) {
  ZoneGuard zone("UTC");
  Calendar cal(utc(2020, 12, 20), utc(2022, 1, 10));
  // 2021 starts on a Friday: 1-3 January are week 0, Monday 4 January starts week 1.
  Node woy0 = *in(kWoy, {{0, 0}});
  EXPECT_TRUE(cal.holds(woy0, utc(2021, 1, 3) + 86399));
  EXPECT_FALSE(cal.holds(woy0, utc(2021, 1, 4)));
  // {day of the year from 0, weekday, week}: Friday 31 December 2021; a year that starts on Monday,
  // its first Sunday and second Monday; one that starts on Thursday (week 1) and its first Monday;
  // one that starts on Sunday (week 0) and its first Monday.
  for (auto [yday, wday, week] : {std::array{364, 5, 52}, {0, 1, 1}, {6, 0, 1}, {7, 1, 2}, {0, 4, 1}, {4, 1, 2},
                                  {0, 0, 0}, {1, 1, 1}})
    EXPECT_EQ(weekOfYear(yday, wday), week) << yday << " " << wday;
  long budget = kBudget;
  // minute = 30 from 10:15:20 changes at 10:30:00 and back at 10:31:00.
  Node m30 = *in(kMin, {{30, 30}});
  long ten = utc(2021, 6, 1) + 10 * 3600;
  EXPECT_EQ(cal.findChange(m30, ten + 15 * 60 + 21, false, budget), ten + 30 * 60);
  EXPECT_EQ(cal.findChange(m30, ten + 30 * 60, true, budget), ten + 31 * 60);
  EXPECT_EQ(cal.findChange(*constant(true), ten, true, budget), -1);
}

// Each zone and kind is a test of its own, so that they run in parallel.
#define ORACLE_TEST(name, zone, run, state)  \
  TEST(PeriodicOracle, name) {               \
    Oracle o(zone);                          \
    o.run(state, 60 * kRounds, 6);           \
    o.expectClean();                         \
  }
ORACLE_TEST(WindowsUtc, "UTC", runWindows, 20261201ULL)
ORACLE_TEST(WindowsBerlin, "Europe/Berlin", runWindows, 20261202ULL)
ORACLE_TEST(WindowsNewYork, "America/New_York", runWindows, 20261203ULL)
ORACLE_TEST(BeatsUtc, "UTC", runBeats, 20261211ULL)
ORACLE_TEST(BeatsBerlin, "Europe/Berlin", runBeats, 20261212ULL)
ORACLE_TEST(BeatsNewYork, "America/New_York", runBeats, 20261213ULL)

}  // namespace
