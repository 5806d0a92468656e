// Evaluating compiled schedules at known moments: edges, beats and frequencies whose answers are
// worked out by hand, the hour that daylight saving skips or repeats, what simplification decides
// at compile time, and schedules big enough to test the search's limits. (Random schedules against
// a brute-force model are in periodic_oracle_test.cc.)
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "periodic_oracle.h"
#include "telvi/periodic.h"

namespace {

using oracle::ZoneGuard;

// Local time "YYYY-MM-DD HH:MM:SS" to seconds; isdst picks the occurrence of a repeated hour.
long at(const char *text, int isdst = -1) {
  struct tm t = {};
  if (strptime(text, "%Y-%m-%d %H:%M:%S", &t) == nullptr) ADD_FAILURE() << text;
  t.tm_isdst = isdst;
  return static_cast<long>(mktime(&t));
}

struct Compiled {
  explicit Compiled(const char *text) {
    const char *message;
    schedule = periodic_parse(text, &message);
    EXPECT_NE(schedule, nullptr) << text << ": " << message;
  }
  ~Compiled() { periodic_free(schedule); }
  long wait(int edge, long time, long periodStart = 0) {
    long seconds = periodic_secs_to_wait(schedule, edge, time, periodStart);
    EXPECT_EQ(periodic_get_error(schedule), nullptr);
    return seconds;
  }
  int inside(long time) { return periodic_inrange(schedule, time, 0); }
  PeriodicSchedule *schedule;
};

// Seconds to the next edge of each kind, as moments ("HH:MM:SS" on the day asked): "-" for none.
struct Waits {
  const char *text;
  const char *asked;
  const char *rising, *falling, *beat;
};

void expectWaits(const Waits &w) {
  Compiled compiled(w.text);
  long time = at(w.asked);
  const char *expected[3] = {w.rising, w.falling, w.beat};
  for (int edge : {PERIODIC_RISING, PERIODIC_FALLING, PERIODIC_BEAT}) {
    std::string moment = expected[edge];
    if (moment.size() == 8) moment = std::string(w.asked, 11) + moment;
    long want = moment == "-" ? 0 : at(moment.c_str()) - time;
    EXPECT_EQ(compiled.wait(edge, time), want) << w.text << " at " << w.asked << ", edge " << edge;
  }
}

TEST(PeriodicEval, EdgesAndBeatsInUtc) {
  ZoneGuard zone("UTC");
  const Waits cases[] = {
      {"minute = 30", "2026-03-05 10:15:20", "10:30:00", "10:31:00", "10:30:00"},
      {"minute = 30", "2026-03-05 10:30:20", "11:30:00", "10:31:00", "11:30:00"},
      {"day_of_month = 31", "2026-05-31 12:00:00", "2026-07-31 00:00:00", "2026-06-01 00:00:00", "2026-07-31 00:00:00"},
      {"day_of_year = 366", "2025-04-05 10:00:00", "2028-12-31 00:00:00", "2029-01-01 00:00:00", "2028-12-31 00:00:00"},
      {"month = feb && day_of_month = 29", "2025-04-05 10:00:00", "2028-02-29 00:00:00", "2028-03-01 00:00:00",
       "2028-02-29 00:00:00"},
      {"hour >= 9 && hour < 17 && day_of_week = mon-fri", "2026-12-05 12:00:00", "2026-12-07 09:00:00",
       "2026-12-07 17:00:00", "2026-12-07 09:00:00"},
      {"0 12 * * *", "2026-12-05 12:00:30", "2026-12-06 12:00:00", "12:01:00", "2026-12-06 12:00:00"},
      {"* 12 * * *", "2026-12-05 12:00:30", "2026-12-06 12:00:00", "13:00:00", "12:01:00"},
      // Parts that always hold (a minute list covering the hour, complementary comparisons) cost nothing.
      {"cron(16,25-15,58-29 * 16 * *)", "2002-10-22 07:49:41", "2002-11-16 00:00:00", "2002-11-17 00:00:00",
       "2002-11-16 00:00:00"},
      {"(second >= 5 || second < 5) && day_of_month = 16", "2002-10-22 07:49:41", "2002-11-16 00:00:00",
       "2002-11-17 00:00:00", "2002-11-16 00:00:00"},
      // Always true, in the past, past 2038: no edge (always false is under simplification).
      {"hour >= 0", "2026-12-05 12:00:00", "-", "-", "13:00:00"},
      {"date = jan 1 2020", "2026-12-05 12:00:00", "-", "-", "-"},
      {"year = 2038", "2037-06-01 00:00:00", "2038-01-01 00:00:00", "-", "2038-01-01 00:00:00"},
      {"minute = 30", "2038-12-31 23:45:00", "-", "-", "-"},
      // Week 0 exists only in years that start Friday to Sunday: 2027 is the next after 2025.
      {"week_of_year >= 1", "2025-03-03 00:00:00", "2027-01-04 00:00:00", "2027-01-01 00:00:00", "2025-03-10 00:00:00"},
      {"week_of_year = 53", "2025-03-03 00:00:00", "2025-12-29 00:00:00", "2026-01-01 00:00:00", "2025-12-29 00:00:00"},
      {"week_of_month = 5", "2026-02-03 00:00:00", "2026-03-29 00:00:00", "2026-04-01 00:00:00", "2026-03-29 00:00:00"},
      // The other side of an or adds its field: in hour 9 every minute fires.
      {"hour = 9 || minute = 30", "2026-12-05 09:00:30", "10:30:00", "10:00:00", "09:01:00"},
      {"time >= 8:30 && time < 17:45", "2026-12-05 17:44:10", "2026-12-06 08:30:00", "17:45:00", "2026-12-06 08:30:00"},
  };
  for (const Waits &w : cases) expectWaits(w);
}

// (A cycle's beats are the oracle's: periodic_oracle_test.cc predicts them with and without a start.)
TEST(PeriodicEval, Frequency) {
  ZoneGuard zone("UTC");
  struct {
    const char *text;
    long frequency;
  } const frequencies[] = {
      {"0 12 * * *", 86400}, {"15 minutes", 900}, {"minute = 5 || hour = 3", 3600},
      {"hour = 9 && cycle(period = 10 minutes)", 600}, {"date >= jan 1 2026", 0}, {"second = *", 0},
      {"day_of_week = mon", 604800}, {"hour = 5 && minute = 3", 86400}, {"year = 2030 || 300", 300},
  };
  for (const auto &f : frequencies) {
    Compiled compiled(f.text);
    int flag = 0;
    EXPECT_EQ(periodic_freq(compiled.schedule, &flag), f.frequency) << f.text;
    EXPECT_EQ(flag, 1);
  }
}

TEST(PeriodicEval, DaylightSavingInBerlin) {
  ZoneGuard zone("Europe/Berlin");
  // 2026-03-29: 02:00 CET jumps to 03:00 CEST. Times in the gap are stepped over.
  expectWaits({"hour = 2", "2026-03-29 01:30:00", "2026-03-30 02:00:00", "2026-03-30 03:00:00", "2026-03-30 02:00:00"});
  expectWaits({"minute = 30", "2026-03-29 01:45:00", "03:30:00", "03:31:00", "03:30:00"});
  expectWaits({"hour = 1", "2026-03-29 01:30:00", "2026-03-30 01:00:00", "03:00:00", "2026-03-30 01:00:00"});
  expectWaits({"hour >= 2", "2026-03-29 01:30:00", "03:00:00", "2026-03-30 00:00:00", "03:00:00"});
  expectWaits({"hour < 2", "2026-03-29 01:30:00", "2026-03-30 00:00:00", "03:00:00", "2026-03-30 00:00:00"});

  // 2026-10-25: 03:00 CEST goes back to 02:00 CET; the hour 2 runs twice and holds throughout.
  Compiled half("minute = 30");
  long firstPass = at("2026-10-25 02:40:00", 1);
  EXPECT_EQ(half.wait(PERIODIC_RISING, firstPass), 50 * 60);  // 02:30 CET
  EXPECT_EQ(half.wait(PERIODIC_RISING, firstPass + 3600), 50 * 60);  // 03:30 CET
  Compiled two("hour = 2");
  EXPECT_EQ(two.wait(PERIODIC_RISING, at("2026-10-25 01:30:00")), 30 * 60);
  EXPECT_EQ(two.wait(PERIODIC_FALLING, at("2026-10-25 01:30:00")), 150 * 60);
  Compiled late("minute >= 30");
  EXPECT_EQ(late.wait(PERIODIC_FALLING, firstPass), 20 * 60);  // 02:00 CET
  Compiled everyMinute("* * * * *");
  EXPECT_EQ(everyMinute.wait(PERIODIC_BEAT, at("2026-10-25 02:59:30", 1)), 30);
}

TEST(PeriodicEval, DaylightSavingInNewYork) {
  ZoneGuard zone("America/New_York");
  // 2026-03-08: 02:00 EST jumps to 03:00 EDT; 2:30 never comes, but the times after it do.
  expectWaits({"time >= 2:30", "2026-03-08 01:30:00", "03:00:00", "2026-03-09 00:00:00", "03:00:00"});
}

TEST(PeriodicEval, GapsLongerThanAnHour) {
  {
    ZoneGuard zone("Antarctica/Troll");  // 2025-03-30: 01:00 +00 jumps to 03:00 +02
    Compiled midnight("hour = 0");
    EXPECT_EQ(midnight.wait(PERIODIC_FALLING, at("2025-03-30 00:00:00")), 3600);
  }
  ZoneGuard zone("Pacific/Apia");  // 2011-12-30 was skipped
  Compiled late("hour = 23");
  EXPECT_EQ(late.wait(PERIODIC_FALLING, at("2011-12-29 23:00:00")), 3600);
}

TEST(PeriodicEval, SimplificationDecidesAtCompileTime) {
  ZoneGuard zone("UTC");
  long noon = at("2026-12-05 12:00:00");
  // Contradictions, also through the days a month or week covers.
  for (const char *never : {"hour = 5 && hour = 6", "month = feb && day_of_year >= 70",
                            "month = feb && day_of_month = 30", "month = jan && day_of_year = 100",
                            "week_of_month = 5 && day_of_month < 29",
                            "hour = 6 && (hour = 5 && minute = 1 || hour = 5 && minute = 2)"}) {
    Compiled compiled(never);
    EXPECT_EQ(compiled.inside(noon), 0) << never;
    for (int edge : {PERIODIC_RISING, PERIODIC_FALLING, PERIODIC_BEAT})
      EXPECT_EQ(compiled.wait(edge, noon), 0) << never << ", edge " << edge;
  }
  // An impossible side of an or drops out: what remains decides.
  Compiled either("hour = 12 && (minute = 5 || hour = 13)");
  EXPECT_EQ(either.wait(PERIODIC_RISING, noon), 5 * 60);
  EXPECT_EQ(either.wait(PERIODIC_BEAT, noon), 5 * 60);
  // Always true, also when only the conjunction under an or's negation shows it: inside, no edges.
  for (const char *always : {"hour >= 0 || cycle(period = 5 minutes)", "second < 30 || second >= 30",
                             "!(second = 29 && second = 27)"}) {
    Compiled compiled(always);
    EXPECT_EQ(compiled.inside(noon), 1) << always;
    EXPECT_EQ(compiled.wait(PERIODIC_RISING, noon), 0) << always;
    EXPECT_EQ(compiled.wait(PERIODIC_FALLING, noon), 0) << always;
  }
  Compiled near("hour = 7 && !(second = 29 && second = 27)");
  EXPECT_EQ(near.wait(PERIODIC_RISING, at("2021-10-29 06:59:30")), 30);
  // What can hold must stay: week 0 is missing in years that start Monday to Thursday, and day 366
  // of 2016 (which began on a Friday) lies in week 52.
  Compiled notWeekZero("week_of_year != 0 && day_of_year = 1");
  EXPECT_EQ(notWeekZero.inside(at("2025-01-01 12:00:00")), 1);
  for (const char *lastDay : {"week_of_year != 53 && day_of_year = 366", "week_of_year < 53 && day_of_year = 366"}) {
    Compiled compiled(lastDay);
    EXPECT_EQ(compiled.inside(at("2016-12-31 12:00:00")), 1) << lastDay;
  }
  // How an or's operands are bracketed does not change when it fires.
  Compiled chain("hour = 9 || minute = 30 || day_of_week = 3");
  Compiled nested("hour = 9 || (minute = 30 || day_of_week = 3)");
  long nine = at("2020-06-01 09:00:00");
  EXPECT_EQ(chain.wait(PERIODIC_BEAT, nine), 60);
  EXPECT_EQ(nested.wait(PERIODIC_BEAT, nine), 60);
}

TEST(PeriodicEval, MomentsOutsideTheYearsHandled) {
  ZoneGuard zone("UTC");
  Compiled minute("minute = 5");
  EXPECT_EQ(minute.wait(PERIODIC_RISING, 9223372036854775797L), 0);
  EXPECT_EQ(minute.inside(-9223372036854775807L - 1), 0);
  Compiled cycle("300 seconds");
  EXPECT_EQ(cycle.wait(PERIODIC_BEAT, 0, -9223372036854775807L - 1), 0);
  EXPECT_EQ(cycle.wait(PERIODIC_BEAT, -9223372036854775807L - 1, 9223372036854775807L), 0);
  EXPECT_EQ(cycle.wait(PERIODIC_BEAT, at("2038-12-31 23:58:00"), 0), 0);
  {
    // Local 2038 runs to its end in a zone behind UTC.
    ZoneGuard york("America/New_York");
    Compiled second("second = 5");
    EXPECT_EQ(second.wait(PERIODIC_RISING, at("2038-12-31 23:00:00")), 5);
  }
}

TEST(PeriodicEval, LongSchedulesStayBounded) {
  ZoneGuard zone("UTC");
  long noon = at("2026-12-05 12:00:00");
  std::string chain = "hour >= 1", list = "minute = 59";
  for (int i = 0; i < 3000; ++i) {
    chain += " && hour >= " + std::to_string(i % 20);
    list += " || minute = " + std::to_string(i % 50);
  }
  Compiled longChain(chain.c_str());
  EXPECT_EQ(longChain.wait(PERIODIC_RISING, noon), 7 * 3600);
  EXPECT_EQ(longChain.wait(PERIODIC_FALLING, noon), 12 * 3600);
  Compiled longList(list.c_str());
  EXPECT_EQ(longList.wait(PERIODIC_FALLING, noon), 50 * 60);
  EXPECT_EQ(longList.wait(PERIODIC_RISING, noon + 50 * 60), 9 * 60);
}

}  // namespace
