// Local time in zones of every shape: searches convert between moments and local calendar fields
// by arithmetic on the zone's offset changes, learnt from the C library. Here they must agree with
// the C library itself, read minute by minute, around the changes of zones with gaps and repeated
// hours of one hour, half an hour and two hours, changes at midnight, a skipped day, negative
// daylight saving, a change of standard time, a TZ rule, leap seconds and a fixed offset, while
// the zones alternate so that what is known of each zone is kept, reused and replaced.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "periodic_oracle.h"
#include "telvi/periodic.h"

namespace {

using oracle::ZoneGuard;

// A schedule and the same predicate on the C library's broken-down local time. Clock cases read
// the hours around 2:00 that a change skips or repeats.
struct Case {
  const char *text;
  std::function<bool(const struct tm &)> holds;
  bool clock = false;
};

const std::vector<Case> &cases() {
  static const std::vector<Case> all = {
      {"minute = 30", [](const struct tm &t) { return t.tm_min == 30; }, true},
      {"minute >= 45", [](const struct tm &t) { return t.tm_min >= 45; }, true},
      {"hour = 2", [](const struct tm &t) { return t.tm_hour == 2; }, true},
      {"hour = 0", [](const struct tm &t) { return t.tm_hour == 0; }},
      {"time >= 1:30 && time < 3:15",
       [](const struct tm &t) { return t.tm_hour * 60 + t.tm_min >= 90 && t.tm_hour * 60 + t.tm_min < 195; },
       true},
      {"day_of_month = 1 || day_of_week = sun", [](const struct tm &t) { return t.tm_mday == 1 || t.tm_wday == 0; }},
      {"hour >= 23 || hour < 1", [](const struct tm &t) { return t.tm_hour >= 23 || t.tm_hour < 1; }},
  };
  return all;
}

struct tm libraryTime(long moment) {
  time_t t = moment;
  struct tm fields {};
  localtime_r(&t, &fields);
  return fields;
}

// The next moment after t at which the predicate becomes `rising`, by reading every minute of local
// time (offsets are whole minutes in the years tested, so a predicate on minutes and coarser
// fields changes only where a UTC minute starts); 0 when there is none within `horizon` seconds.
long bruteEdge(const Case &c, long t, bool rising, long horizon) {
  long boundary = (t / 60 + 1) * 60;
  bool before = c.holds(libraryTime(boundary - 1));
  for (; boundary <= t + horizon; boundary += 60) {
    bool now = c.holds(libraryTime(boundary));
    if (now == rising && before != rising) return boundary;
    before = now;
  }
  return 0;
}

// The moments at which the zone's offset or daylight-saving flag changes within [from, to).
std::vector<long> changes(long from, long to) {
  std::vector<long> found;
  struct tm previous = libraryTime(from);
  for (long day = from + 86400; day <= to; day += 86400) {
    struct tm next = libraryTime(day);
    if (next.tm_gmtoff != previous.tm_gmtoff || next.tm_isdst != previous.tm_isdst) {
      long low = day - 86400, high = day;
      while (high - low > 1) {
        long middle = low + (high - low) / 2;
        struct tm there = libraryTime(middle);
        if (there.tm_gmtoff == previous.tm_gmtoff && there.tm_isdst == previous.tm_isdst) low = middle;
        else high = middle;
      }
      found.push_back(high);
    }
    previous = next;
  }
  return found;
}

struct Zone {
  const char *tz;
  long from, to;  // where to look for changes
  // The moves of minutes and hours take a change of the clock to be a whole hour; where it is
  // half an hour or two, their edges near the change are not the clock's (the conversions are).
  bool wholeHours = true;
  std::vector<long> moments = {};
};

long utcDay(int year, int month, int day) { return oracle::utc(year, month, day); }

TEST(PeriodicZone, ArithmeticAgreesWithTheLibraryAroundChanges) {
  std::vector<Zone> zones = {
      {"Europe/Berlin", utcDay(2026, 1, 1), utcDay(2027, 1, 1)},
      {"America/New_York", utcDay(2007, 1, 1), utcDay(2008, 1, 1)},
      {"Australia/Lord_Howe", utcDay(2025, 1, 1), utcDay(2026, 1, 1), false},  // half an hour
      {"Antarctica/Troll", utcDay(2025, 1, 1), utcDay(2026, 1, 1), false},     // two hours
      {"America/Sao_Paulo", utcDay(2017, 1, 1), utcDay(2018, 1, 1)},           // at midnight
      {"Pacific/Apia", utcDay(2011, 6, 1), utcDay(2012, 6, 1)},                // 30 December 2011 skipped
      {"Europe/Dublin", utcDay(2030, 1, 1), utcDay(2031, 1, 1)},               // winter is the saving time
      {"Europe/Moscow", utcDay(2014, 1, 1), utcDay(2015, 1, 1)},  // an hour repeated without saving time
      {"EST5EDT,M3.2.0,M11.1.0", utcDay(2037, 1, 1), utcDay(2038, 1, 1)},
      {"<+0330>-3:30", utcDay(2020, 1, 1), utcDay(2020, 1, 2)},
  };
  for (Zone &zone : zones) {
    ZoneGuard guard(zone.tz);
    std::vector<long> found = changes(zone.from, zone.to);
    if (std::string(zone.tz).find('<') == std::string::npos) {
      EXPECT_FALSE(found.empty()) << zone.tz;
    }
    found.push_back(zone.from + 12 * 3600);  // and a day without a change
    for (long at : found)
      for (long d : {-3 * 3600L, -5400L, -3601L, -1L, 0L, 1L, 1800L, 3600L, 2 * 3600L + 17, 86400L - 60})
        zone.moments.push_back(at + d);
  }
  // Zones in turn, one moment each, so that the zone changes before every evaluation.
  long checks = 0;
  for (const Case &c : cases()) {
    std::vector<PeriodicSchedule *> compiled;
    for (const Zone &zone : zones) {
      ZoneGuard guard(zone.tz);
      const char *message;
      compiled.push_back(periodic_parse(c.text, &message));
      ASSERT_NE(compiled.back(), nullptr) << c.text << ": " << message;
    }
    for (size_t k = 0;; ++k) {
      bool any = false;
      for (size_t z = 0; z < zones.size(); ++z) {
        if (k >= zones[z].moments.size()) continue;
        any = true;
        long t = zones[z].moments[k];
        ZoneGuard guard(zones[z].tz);
        std::string where = std::string("TZ=") + zones[z].tz + " \"" + c.text + "\" at " + std::to_string(t);
        EXPECT_EQ(periodic_inrange(compiled[z], t, 0), c.holds(libraryTime(t)) ? 1 : 0) << where;
        if (c.clock && !zones[z].wholeHours) continue;
        for (bool rising : {true, false}) {
          long want = bruteEdge(c, t, rising, 9 * 86400);
          ASSERT_NE(want, 0) << where;
          long got = periodic_secs_to_wait(compiled[z], rising ? PERIODIC_RISING : PERIODIC_FALLING, t, 0);
          EXPECT_EQ(periodic_get_error(compiled[z]), nullptr) << where;
          EXPECT_EQ(got, want - t) << where << (rising ? " RISING" : " FALLING");
          ++checks;
        }
      }
      if (!any) break;
    }
    for (PeriodicSchedule *schedule : compiled) periodic_free(schedule);
  }
  EXPECT_GT(checks, 1000);
}

// In a zone with leap seconds local time is not UTC plus the offset: the library's conversions
// are used, and a minute there starts a few seconds after the UTC minute.
TEST(PeriodicZone, LeapSeconds) {
  ZoneGuard guard("right/UTC");
  // 2026-06-01 10:00 in plain seconds (oracle::utc would count the leap seconds in this zone); the
  // 27 leap seconds since 1972 put the clock at 09:59:33.
  long t = 1780308000;
  struct tm there = libraryTime(t);
  if (there.tm_sec == 0) GTEST_SKIP() << "no leap-second zones installed";
  Case half{"minute = 30", [](const struct tm &f) { return f.tm_min == 30; }};
  const char *message;
  PeriodicSchedule *schedule = periodic_parse(half.text, &message);
  ASSERT_NE(schedule, nullptr) << message;
  for (long d : {0L, 1799L, 1800L, 1827L, 1828L, 5000L}) {
    for (bool rising : {true, false}) {
      // Every second, since the minutes do not start on UTC minutes here.
      long want = 0;
      bool before = half.holds(libraryTime(t + d));
      for (long s = t + d + 1; s <= t + d + 7200; ++s) {
        bool now = half.holds(libraryTime(s));
        if (now == rising && before != rising) {
          want = s;
          break;
        }
        before = now;
      }
      ASSERT_NE(want, 0);
      EXPECT_EQ(periodic_secs_to_wait(schedule, rising ? PERIODIC_RISING : PERIODIC_FALLING, t + d, 0),
                want - (t + d))
          << d << (rising ? " RISING" : " FALLING");
    }
  }
  periodic_free(schedule);
}

// TZ set without tzset: the next evaluation follows it, for the fields it reads and the moments it
// converts alike.
TEST(PeriodicZone, FollowsTzWithoutTzset) {
  const char *message;
  PeriodicSchedule *nine = periodic_parse("hour = 9", &message);
  ASSERT_NE(nine, nullptr) << message;
  long noonUtc = utcDay(2026, 6, 1) + 12 * 3600;  // 08:00 in New York (summer time)
  {
    ZoneGuard guard("UTC");
    EXPECT_EQ(periodic_secs_to_wait(nine, PERIODIC_RISING, noonUtc, 0), 21 * 3600);
    setenv("TZ", "America/New_York", 1);
    EXPECT_EQ(periodic_secs_to_wait(nine, PERIODIC_RISING, noonUtc, 0), 3600);
    EXPECT_EQ(periodic_inrange(nine, noonUtc + 3600, 0), 1);
    setenv("TZ", "UTC", 1);
    EXPECT_EQ(periodic_inrange(nine, noonUtc + 3600, 0), 0);
    EXPECT_EQ(periodic_secs_to_wait(nine, PERIODIC_RISING, noonUtc, 0), 21 * 3600);
  }
  periodic_free(nine);
}

}  // namespace
