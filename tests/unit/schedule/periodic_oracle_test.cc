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
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr int kRounds = 2;
#else
constexpr int kRounds = 6;
#endif
#else
constexpr int kRounds = 6;
#endif

constexpr long kBudget = 3000000;  // model evaluations per search before it counts as undecided

// The zone is the process's: every test sets its own and puts the caller's back.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char *zone) {
    const char *old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) saved_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_) setenv("TZ", saved_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  ZoneGuard(const ZoneGuard &) = delete;
  ZoneGuard &operator=(const ZoneGuard &) = delete;

 private:
  bool had_ = false;
  std::string saved_;
};

long utc(int year, int mon, int mday) {
  struct tm tm {};
  tm.tm_year = year - 1900;
  tm.tm_mon = mon - 1;
  tm.tm_mday = mday;
  return timegm(&tm);
}

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

  const Calendar &calendar() const { return calendar_; }
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
        findings.add(where(sc.text, t) + ": " + edgeName(edge) + " " + std::to_string(wait) + " (to " +
                     (wait ? local(t + wait) : "none") + "), model " + std::to_string(exp) + " (to " +
                     (exp ? local(t + exp) : "none") + ")");
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
    switch (b.beatClass) {
      case BeatClass::kCycle: {
        long base = b.hasStart ? b.start : periodStart;
        return t >= base ? t + b.period - (t - base) % b.period : base;
      }
      case BeatClass::kRising:
        return nextEdge(*b.schedule.model, t, true);
      case BeatClass::kMinuteStart: {
        long from = t + 1;
        for (;;) {
          long y = calendar_.findChange(*b.schedule.model, from, false, budget);
          if (y < 0) return y;
          if ((y - calendar_.begin()) % 60 == 0) return y;
          from = y + 60 - (y - calendar_.begin()) % 60;
        }
      }
      case BeatClass::kCycleInWindow: {
        long base = b.hasStart ? b.start : periodStart;
        long from = t >= base ? t + b.period - (t - base) % b.period : base;
        for (;;) {
          long y = calendar_.findChange(*b.window, from, false, budget);
          if (y < 0) return y;
          long m = y <= base ? base : base + (y - base + b.period - 1) / b.period * b.period;
          if (calendar_.holds(*b.window, m)) return m;
          from = m + 1;
        }
      }
      case BeatClass::kNone:
        break;
    }
    return -2;
  }

  void checkBeat(PeriodicSchedule *s, const BeatSchedule &b, long t, long periodStart) {
    ++findings.checks;
    long T = predictBeat(b, t, periodStart);
    if (T == -2) {
      ++findings.undecided;
      return;
    }
    long got = periodic_secs_to_wait(s, PERIODIC_BEAT, t, periodStart);
    checkError(s, b.schedule.text, t, "BEAT");
    long exp = expected(T, t);
    if (got != exp)
      findings.add(where(b.schedule.text, t) + " period_start " + std::to_string(periodStart) + ": BEAT " +
                   std::to_string(got) + " (to " + (got ? local(t + got) : "none") + "), model " +
                   std::to_string(exp) + " (to " + (exp ? local(t + exp) : "none") + ")");
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
        long t = g.moment(utc(1995, 1, 1), utc(2038, 1, 1));
        return t - t % 3600 + g.num(-2, 2);
      }
      default:
        break;
    }
    return g.moment(utc(1995, 1, 1), utc(2038, 1, 1));
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
        long periodStart;
        if (b.beatClass == BeatClass::kCycleInWindow) {
          long hour = t - (t - calendar_.begin()) % 3600;
          periodStart = hour - 3600 * g.num(0, 240);
        } else {
          periodStart = t + g.num(-1000000, 1000);
        }
        checkBeat(s, b, t, periodStart);
        long T = predictBeat(b, t, periodStart);
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
  ASSERT_TRUE(cal.wholeHours());
  // 2021 starts on a Friday: 1-3 January are week 0, Monday 4 January starts week 1.
  Node woy0 = *in(kWoy, {{0, 0}});
  EXPECT_TRUE(cal.holds(woy0, utc(2021, 1, 3) + 86399));
  EXPECT_FALSE(cal.holds(woy0, utc(2021, 1, 4)));
  EXPECT_EQ(weekOfYear(364, 5), 52);   // Friday 31 December 2021
  EXPECT_EQ(weekOfYear(0, 1), 1);      // a year starting on Monday
  EXPECT_EQ(weekOfYear(6, 0), 1);      // its first Sunday
  EXPECT_EQ(weekOfYear(7, 1), 2);
  EXPECT_EQ(weekOfYear(0, 4), 1);      // Thursday 1 January: week 1
  EXPECT_EQ(weekOfYear(4, 1), 2);      // and the Monday after starts week 2
  EXPECT_EQ(weekOfYear(0, 0), 0);      // Sunday 1 January: week 0
  EXPECT_EQ(weekOfYear(1, 1), 1);
  long budget = kBudget;
  // minute = 30 from 10:15:20 changes at 10:30:00 and back at 10:31:00.
  Node m30 = *in(kMin, {{30, 30}});
  long t = utc(2021, 6, 1) + 10 * 3600 + 15 * 60 + 20;
  EXPECT_EQ(cal.findChange(m30, t + 1, false, budget), utc(2021, 6, 1) + 10 * 3600 + 30 * 60);
  EXPECT_EQ(cal.findChange(m30, utc(2021, 6, 1) + 10 * 3600 + 30 * 60, true, budget),
            utc(2021, 6, 1) + 10 * 3600 + 31 * 60);
  EXPECT_EQ(cal.findChange(*constant(true), t, true, budget), -1);
}

long wait(const char *text, int edge, long t, long periodStart = 0) {
  const char *message = nullptr;
  PeriodicSchedule *s = periodic_parse(text, &message);
  if (s == nullptr) {
    ADD_FAILURE() << text << ": " << message;
    return -1;
  }
  long result = edge < 0 ? periodic_inrange(s, t, periodStart) : periodic_secs_to_wait(s, edge, t, periodStart);
  const char *error = periodic_get_error(s);
  EXPECT_TRUE(error == nullptr) << text << ": " << error;
  periodic_free(s);
  return result;
}
constexpr int kInrange = -1;

// Cases worked out by hand, among them the ones where searches are easily off by a unit.
TEST(PeriodicOracle, FixedCases) {
  {
    ZoneGuard zone("UTC");
    long day = utc(2026, 6, 1);
    EXPECT_EQ(wait("minute = 30", PERIODIC_RISING, day + 10 * 3600 + 15 * 60 + 20), 880);
    EXPECT_EQ(wait("minute = 30", PERIODIC_FALLING, day + 10 * 3600 + 15 * 60 + 20), 940);
    EXPECT_EQ(wait("minute = 30", PERIODIC_RISING, day + 10 * 3600 + 30 * 60 + 20), 3580);
    // the 31st skips the shorter months; day 366 waits for a leap year
    EXPECT_EQ(wait("day_of_month = 31", PERIODIC_RISING, utc(2026, 4, 5)), utc(2026, 5, 31) - utc(2026, 4, 5));
    EXPECT_EQ(wait("day_of_month = 31", PERIODIC_RISING, utc(2026, 5, 31) + 43200),
              utc(2026, 7, 31) - utc(2026, 5, 31) - 43200);
    EXPECT_EQ(wait("day_of_year = 366", PERIODIC_RISING, utc(2025, 3, 1)), utc(2028, 12, 31) - utc(2025, 3, 1));
    // a cycle without a start counts from period_start
    EXPECT_EQ(wait("300", PERIODIC_BEAT, 1000, 1000), 300);
    EXPECT_EQ(wait("300", PERIODIC_BEAT, 900, 1000), 100);
    // nothing ever changes: no edge
    EXPECT_EQ(wait("hour >= 0", PERIODIC_RISING, day), 0);
    EXPECT_EQ(wait("hour >= 0", PERIODIC_FALLING, day), 0);
    EXPECT_EQ(wait("date = 1/1/2000", PERIODIC_RISING, day), 0);
    EXPECT_EQ(wait("hour = 5 && hour = 6", kInrange, day + 5 * 3600), 0);
    EXPECT_EQ(wait("hour = 5 && hour = 6", PERIODIC_RISING, day), 0);
    EXPECT_EQ(wait("hour = 5 && hour = 6", PERIODIC_FALLING, day), 0);
    // searches end with 2038
    EXPECT_EQ(wait("month = feb && day_of_month = 30", PERIODIC_RISING, day), 0);
    EXPECT_EQ(wait("year = 2038", PERIODIC_FALLING, utc(2038, 6, 1)), 0);
    // Saturday 5 December 2026, noon: the window opens on Monday at 9:00 and closes at 17:00
    long saturday = utc(2026, 12, 5) + 12 * 3600;
    const char *work = "hour >= 9 && hour < 17 && day_of_week = mon-fri";
    EXPECT_EQ(wait(work, PERIODIC_RISING, saturday), 2 * 86400 - 3 * 3600);
    EXPECT_EQ(wait(work, PERIODIC_FALLING, saturday), 2 * 86400 + 5 * 3600);
    EXPECT_EQ(wait("0 12 * * *", PERIODIC_BEAT, day + 11 * 3600), 3600);
    EXPECT_EQ(wait("0 12 * * *", PERIODIC_BEAT, day + 12 * 3600 + 30), 86400 - 30);
    EXPECT_EQ(wait("* 12 * * *", PERIODIC_BEAT, day + 12 * 3600 + 30), 30);
    // A part that always holds must not cost the search anything: lists that cover the whole
    // field, complementary comparisons.
    long tuesday = utc(2002, 10, 22) + 7 * 3600 + 49 * 60 + 41;
    EXPECT_EQ(wait("cron(16,25-15,58-29 * 16 * *)", PERIODIC_RISING, tuesday), utc(2002, 11, 16) - tuesday);
    EXPECT_EQ(wait("(second >= 5 || second < 5) && day_of_month = 16", PERIODIC_RISING, tuesday),
              utc(2002, 11, 16) - tuesday);
  }
  {
    ZoneGuard zone("Europe/Berlin");
    // 29 March 2026: 2:00 CET jumps to 3:00 CEST. Hour 2 that day does not exist.
    long one = localMoment(2026, 3, 29, 1);
    EXPECT_EQ(wait("hour = 2", PERIODIC_RISING, one), localMoment(2026, 3, 30, 2) - one);
    EXPECT_EQ(wait("minute = 30", PERIODIC_RISING, one + 45 * 60), localMoment(2026, 3, 29, 3, 30) - one - 45 * 60);
    // ... but hour >= 2 begins to hold at 3:00 that very day.
    EXPECT_EQ(wait("hour >= 2", kInrange, localMoment(2026, 3, 29, 3)), 1);
    EXPECT_EQ(wait("hour >= 2", PERIODIC_RISING, one), 3600);
    EXPECT_EQ(wait("hour < 2", PERIODIC_FALLING, one), 3600);
    // 25 October 2026: 3:00 CEST falls back to 2:00 CET; minute 30 comes twice in hour 2.
    long first = localMoment(2026, 10, 25, 1) + 3600 + 45 * 60;  // 2:45 CEST
    EXPECT_EQ(wait("minute = 30", PERIODIC_RISING, first), 45 * 60);
    EXPECT_EQ(wait("hour = 2", PERIODIC_FALLING, first), 3600 + 15 * 60);
  }
  {
    ZoneGuard zone("America/New_York");
    long one = localMoment(2026, 3, 8, 1);  // 2:00 EST jumps to 3:00 EDT
    EXPECT_EQ(wait("hour < 2", PERIODIC_FALLING, one + 1800), 1800);
    EXPECT_EQ(wait("time >= 2:30", PERIODIC_RISING, one + 1800), 1800);
  }
}

TEST(PeriodicOracle, Frequency) {
  struct Case {
    const char *text;
    long period;
  };
  for (const Case &c : std::vector<Case>{{"15 min", 900},
                                         {"hour = 5", 86400},
                                         {"minute = 5 || hour = 3", 3600},
                                         {"hour = 5 && minute = 3", 86400},
                                         {"15 min && hour >= 8", 900},
                                         {"day_of_week = mon", 604800},
                                         {"year = 2030", 0},
                                         {"date >= 1/1/2030", 0},
                                         {"year = 2030 || 300", 300}}) {
    const char *message = nullptr;
    PeriodicSchedule *s = periodic_parse(c.text, &message);
    ASSERT_NE(s, nullptr) << c.text << ": " << message;
    int flag = 0;
    EXPECT_EQ(periodic_freq(s, &flag), c.period) << c.text;
    EXPECT_EQ(flag, 1);
    periodic_free(s);
  }
}

TEST(PeriodicOracle, WindowsUtc) {
  Oracle o("UTC");
  o.runWindows(20261201ULL, 60 * kRounds, 6);
  o.expectClean();
}

TEST(PeriodicOracle, WindowsBerlin) {
  Oracle o("Europe/Berlin");
  ASSERT_TRUE(o.calendar().wholeHours());
  o.runWindows(20261202ULL, 60 * kRounds, 6);
  o.expectClean();
}

TEST(PeriodicOracle, WindowsNewYork) {
  Oracle o("America/New_York");
  ASSERT_TRUE(o.calendar().wholeHours());
  o.runWindows(20261203ULL, 60 * kRounds, 6);
  o.expectClean();
}

TEST(PeriodicOracle, BeatsUtc) {
  Oracle o("UTC");
  o.runBeats(20261211ULL, 60 * kRounds, 6);
  o.expectClean();
}

TEST(PeriodicOracle, BeatsBerlin) {
  Oracle o("Europe/Berlin");
  o.runBeats(20261212ULL, 60 * kRounds, 6);
  o.expectClean();
}

TEST(PeriodicOracle, BeatsNewYork) {
  Oracle o("America/New_York");
  o.runBeats(20261213ULL, 60 * kRounds, 6);
  o.expectClean();
}

}  // namespace
