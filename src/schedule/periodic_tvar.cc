// Time variables and the moves of each family of fields. Every move computes its target on the
// broken-down local time and converts once; seconds and minutes move in plain seconds instead,
// because their values follow the clock even through the hour that repeats when daylight saving
// ends. Conversions between moments and local time use a table of the zone's offset changes
// ("the local zone" below) instead of the C library's, which cost far more per call.
#include <cstdlib>
#include <cstring>
#include <string>

#include "schedule/periodic_tree.h"

namespace telvi::schedule {

namespace {

const char kSource[] = "./periodic_tvar";

// Days since 1970-01-01 of a civil date (month 1..12), for any year.
constexpr long daysFromCivil(long year, long month, long day) {
  year -= month <= 2;
  long era = (year >= 0 ? year : year - 399) / 400;
  long yoe = year - era * 400;
  long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// Division rounding towards minus infinity: moments before 1970 are negative.
constexpr long floorDiv(long a, long b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// Weekday of a count of days from 1970-01-01, a Thursday; 0 = Sunday.
constexpr int weekdayOfDays(long days) { return static_cast<int>(days + 4 - floorDiv(days + 4, 7) * 7); }

// The broken-down fields of a count of seconds from 1970-01-01 00:00 read as a calendar clock
// (the inverse of daysFromCivil, plus weekday and day of the year).
void civilFields(long seconds, struct tm &t) {
  long days = floorDiv(seconds, 86400);
  long inDay = seconds - days * 86400;
  long z = days + 719468;
  long era = (z >= 0 ? z : z - 146096) / 146097;
  long doe = z - era * 146097;
  long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  long mp = (5 * doy + 2) / 153;
  long day = doy - (153 * mp + 2) / 5 + 1;
  long month = mp < 10 ? mp + 3 : mp - 9;
  long year = yoe + era * 400 + (month <= 2);
  t.tm_sec = static_cast<int>(inDay % 60);
  t.tm_min = static_cast<int>(inDay / 60 % 60);
  t.tm_hour = static_cast<int>(inDay / 3600);
  t.tm_mday = static_cast<int>(day);
  t.tm_mon = static_cast<int>(month - 1);
  t.tm_year = static_cast<int>(year - 1900);
  t.tm_wday = weekdayOfDays(days);
  t.tm_yday = static_cast<int>(days - daysFromCivil(year, 1, 1));
}

constexpr int weekdayOfJanuaryFirst(long year) {
  long days = daysFromCivil(year, 1, 1);  // 1970-01-01 was a Thursday
  return static_cast<int>(((days % 7) + 7 + 4) % 7);
}

// Weekday of 1 January for the years 1969 to 2038.
struct FirstWeekdays {
  int day[70];
  constexpr FirstWeekdays() : day() {
    for (int i = 0; i < 70; ++i) day[i] = weekdayOfJanuaryFirst(1969 + i);
  }
};
constexpr FirstWeekdays kFirstWeekdays;

int lastDayOfYear(long year) { return isLeapYear(year) ? 365 : 364; }  // zero-based

// The first zero-based day of week w of the year, or -1 when the year has no such week.
int get_day_from_week_of_year(long year, long week) {
  int first = firstWeekday(year);
  bool weekZero = first == 0 || first == 5 || first == 6;
  long start;
  if (week == 0) {
    start = weekZero ? 0 : -1;
  } else if (week == 1) {
    start = weekZero ? (8 - first) % 7 : 0;
  } else {
    start = (week - 1) * 7 - first + 1 + (first == 5 || first == 6 ? 7 : 0);
  }
  return start >= 0 && start <= lastDayOfYear(year) ? static_cast<int>(start) : -1;
}

// The broken-down midnight of a zero-based day of the year (the day may run into the next year).
struct tm dayOfYear(long year, long day) {
  struct tm t = {};
  int leap = isLeapYear(year) ? 12 : 0;
  if (day > lastDayOfYear(year)) {
    day -= lastDayOfYear(year) + 1;
    ++year;
    leap = isLeapYear(year) ? 12 : 0;
  }
  int month = 0;
  while (month < 11 && day >= month_day_num[leap + month]) ++month;
  t.tm_year = static_cast<int>(year - 1900);
  t.tm_mon = month;
  t.tm_mday = static_cast<int>(day - (month > 0 ? month_day_num[leap + month - 1] : 0)) + 1;
  return t;
}

// ---- the local zone ----
//
// The C library's conversions each take a lock, look TZ up and search the zone's transitions, and
// mktime makes several of them; a search converts a few times per calendar move, and in zones with
// daylight saving a second mktime looks for a repeated local time. Yet between two changes of the
// zone's offset local time is plain arithmetic on UTC. So the zone's changes are learnt from
// localtime_r once per stretch of about a year and kept per value of TZ, and the moves convert by
// arithmetic, gaps and repeated hours included. Where the arithmetic cannot vouch for itself (a
// zone with leap seconds, local times up to 1970, a stretch whose changes the daily reading below
// cannot tell apart) the library converts as before.
//
// Changes are found by reading the zone once a day and bisecting to the second where the reading
// differs. That misses a change only if the zone keeps a new offset for less than a day: the
// shortest period in the time-zone database (1901 to 2038) lasts about four days.

struct ZoneState {  // what localtime_r reports besides the clock fields
  int offset;       // seconds east of UTC
  int isdst;
  const char *name;
};

bool sameState(const ZoneState &a, const ZoneState &b) {
  if (a.offset != b.offset || a.isdst != b.isdst) return false;
  if (a.name == b.name) return true;
  return a.name != nullptr && b.name != nullptr && std::strcmp(a.name, b.name) == 0;
}

constexpr int kStretchShift = 25;  // 2^25 s, about 388 days
constexpr long kStretchLength = 1L << kStretchShift;
constexpr long kProbeStep = 86400;
// Offsets stay below 26 hours (the time-zone file format says so; a TZ rule allows 24:59:59), so
// the moments of a local time lie within that much of it.
constexpr long kOffsetBound = 26 * 3600L;
// Stretches from the one before kEarliestMoment to the one after local 2038 ends.
constexpr long kFirstStretch = (kEarliestMoment >> kStretchShift) - 1;
constexpr long kStretchCount = ((kEndOfSearches + 86400 + kOffsetBound) >> kStretchShift) - kFirstStretch + 1;
// Zones change their offset a few times a year; a stretch with more changes is left to the library.
constexpr int kMaxChanges = 6;

struct Stretch {
  enum Status : unsigned char { kUnknown, kKnown, kIrregular };
  Status status;
  int changes;
  long at[kMaxChanges];              // moments of the changes, ascending
  ZoneState state[kMaxChanges + 1];  // state[i] holds from at[i - 1] (from the stretch's start for 0)
};

// The stretches of one value of TZ. A few are kept, so that a program that switches between zones
// does not learn them again each time.
struct ZoneTable {
  bool used;
  bool hasTz;  // TZ set (an unset TZ is the system's zone, not the same as an empty one)
  std::string tz;
  unsigned long lastUse;
  Stretch stretches[kStretchCount];
};
constexpr int kZoneTables = 4;
ZoneTable zoneTables[kZoneTables];
ZoneTable *zone = nullptr;  // the table of TZ as last seen by zoneRefresh
unsigned long zoneUses = 0;

// The zone's state at a moment, from the library; false when local time there is not the moment
// plus the offset (a zone with leap seconds) or the offset is out of bounds.
bool probe(long moment, ZoneState &state) {
  time_t t = moment;
  struct tm library;
  if (localtime_r(&t, &library) == nullptr) return false;
  if (library.tm_gmtoff <= -kOffsetBound || library.tm_gmtoff >= kOffsetBound) return false;
  state = {static_cast<int>(library.tm_gmtoff), library.tm_isdst, library.tm_zone};
  struct tm mine;
  civilFields(moment + state.offset, mine);
  return mine.tm_sec == library.tm_sec && mine.tm_min == library.tm_min && mine.tm_hour == library.tm_hour &&
         mine.tm_mday == library.tm_mday && mine.tm_mon == library.tm_mon && mine.tm_year == library.tm_year &&
         mine.tm_wday == library.tm_wday && mine.tm_yday == library.tm_yday;
}

void learn(Stretch &stretch, long start) {
  stretch.status = Stretch::kIrregular;
  stretch.changes = 0;
  long end = start + kStretchLength;
  ZoneState before;
  if (!probe(start, before)) return;
  stretch.state[0] = before;
  for (long from = start; from < end;) {
    long to = from + kProbeStep < end ? from + kProbeStep : end;
    ZoneState after;
    if (!probe(to, after)) return;
    if (!sameState(before, after)) {
      long low = from, high = to;  // the state of before at low, of after at high
      while (high - low > 1) {
        long middle = low + (high - low) / 2;
        ZoneState there;
        if (!probe(middle, there)) return;
        if (sameState(there, before)) low = middle;
        else if (sameState(there, after)) high = middle;
        else return;  // two changes within a day
      }
      if (high < end) {  // a change at the end is the next stretch's start
        if (stretch.changes == kMaxChanges) return;
        stretch.at[stretch.changes++] = high;
        stretch.state[stretch.changes] = after;
      }
      before = after;
    }
    from = to;
  }
  stretch.status = Stretch::kKnown;
}

// The stretch holding a moment, learnt on first use; null when the arithmetic cannot be trusted there.
const Stretch *stretchOf(long moment) {
  if (zone == nullptr) return nullptr;
  long index = (moment >> kStretchShift) - kFirstStretch;
  if (index < 0 || index >= kStretchCount) return nullptr;
  Stretch &stretch = zone->stretches[index];
  if (stretch.status == Stretch::kUnknown) learn(stretch, (index + kFirstStretch) * kStretchLength);
  return stretch.status == Stretch::kKnown ? &stretch : nullptr;
}

// localtime_r by arithmetic; false when the zone is not known there.
bool localFields(long moment, struct tm &t) {
  const Stretch *stretch = stretchOf(moment);
  if (stretch == nullptr) return false;
  int i = 0;
  while (i < stretch->changes && moment >= stretch->at[i]) ++i;
  const ZoneState &state = stretch->state[i];
  civilFields(moment + state.offset, t);
  t.tm_isdst = state.isdst;
  t.tm_gmtoff = state.offset;
  t.tm_zone = state.name;
  return true;
}

// The moments whose local time is clock (seconds of the local calendar counted like UTC's): how
// many there are (none in a gap, two in a repeated hour), and the earliest after `after` with its
// state (null when there is none). -1 when the zone is not known around clock.
int momentsOf(long clock, long after, long &moment, const ZoneState *&state) {
  int count = 0;
  state = nullptr;
  // Each period of constant offset that holds clock - offset gives one moment.
  long first = (clock - kOffsetBound) >> kStretchShift, last = (clock + kOffsetBound) >> kStretchShift;
  for (long index = first; index <= last; ++index) {
    const Stretch *stretch = stretchOf(index * kStretchLength);
    if (stretch == nullptr) return -1;
    for (int i = 0; i <= stretch->changes; ++i) {
      long from = i == 0 ? index * kStretchLength : stretch->at[i - 1];
      long to = i == stretch->changes ? (index + 1) * kStretchLength : stretch->at[i];
      long candidate = clock - stretch->state[i].offset;
      if (candidate < from || candidate >= to) continue;
      ++count;
      if (candidate > after && (state == nullptr || candidate < moment)) {
        moment = candidate;
        state = &stretch->state[i];
      }
    }
  }
  return count;
}

// moveTo on the zone's table: 1 moved, 0 no such moment, -1 the table cannot tell. It steps over
// gaps as the library path below does; of a local time that exists twice it takes the earlier
// occurrence after tv, which the library path finds only where the two differ in their
// daylight-saving flag (elsewhere mktime's pick depends on the calls made before).
int moveToByArithmetic(TimeVar &tv, struct tm target, bool specificHour) {
  for (int step = 0;; ++step) {
    if (target.tm_sec < 0 || target.tm_min < 0 || target.tm_hour < 0 || target.tm_mon < 0 || target.tm_mday < 1)
      return -1;
    long days = daysFromCivil(target.tm_year + 1900L, target.tm_mon + 1, target.tm_mday);
    long clock = days * 86400 + target.tm_hour * 3600L + target.tm_min * 60L + target.tm_sec;
    // Up to 1970 my_mktime passes mktime's answers on unchecked: those are the library's.
    if (clock <= kOffsetBound) return -1;
    long moment = 0;
    const ZoneState *state;
    int count = momentsOf(clock, tv.now, moment, state);
    if (count < 0) return -1;
    if (count > 0) {
      if (state == nullptr) return 0;  // every occurrence is at or before tv
      tv.now = moment;
      tv.broken = target;
      tv.broken.tm_wday = weekdayOfDays(days);
      tv.broken.tm_yday = static_cast<int>(days - daysFromCivil(target.tm_year + 1900L, 1, 1));
      tv.broken.tm_isdst = state->isdst;
      tv.broken.tm_gmtoff = state->offset;
      tv.broken.tm_zone = state->name;
      tv.flags = TimeVar::kBrokenValid;
      return 1;
    }
    // A gap: as many steps as the library path takes.
    if (step == 25 || (specificHour && step == 1)) return 0;
    if (specificHour) ++target.tm_mday;
    else ++target.tm_hour;
    if (!tm_adjust(&target)) return 0;
  }
}

// Moves tv to the local time target, which must lie after tv's moment. A local time that does not
// exist (a daylight-saving gap) is stepped over: one day later when a specific hour is wanted,
// else hour by hour to the end of the gap. A local time that exists twice becomes its first
// occurrence after tv.
bool moveTo(TimeVar &tv, struct tm target, bool specificHour) {
  if (!tm_adjust(&target)) return false;
  int moved = moveToByArithmetic(tv, target, specificHour);
  if (moved >= 0) return moved == 1;
  // Where the zone's table cannot tell, the library converts.
  target.tm_isdst = -1;
  struct tm work = target;
  time_t result = my_mktime(&work);
  // Gaps last an hour almost everywhere; a few zones skipped two hours or a whole day.
  for (int step = 0; result == -1; ++step) {
    if (step == 25 || (specificHour && step == 1)) return false;
    work = target;
    if (specificHour) ++work.tm_mday;
    else ++work.tm_hour;
    if (!tm_adjust(&work)) return false;
    work.tm_isdst = -1;
    target = work;
    result = my_mktime(&work);
  }
  // In zones with daylight saving (mktime has set `daylight`) the same fields read with the other
  // daylight-saving flag give the other occurrence of a repeated local time, if there is one.
  if (daylight) {
    struct tm other = target;
    other.tm_isdst = work.tm_isdst > 0 ? 0 : 1;
    time_t second = my_mktime(&other);
    if (second != -1 && second != result && second > tv.now && (result <= tv.now || second < result)) {
      result = second;
      work = other;
    }
  }
  if (result <= tv.now) return false;
  tv.now = result;
  tv.broken = work;
  tv.flags = TimeVar::kBrokenValid;
  return true;
}

// Moves tv forward by a number of seconds (the clock fields that repeat every minute or hour).
bool moveBy(TimeVar &tv, long seconds) {
  if (seconds <= 0) return false;
  tv.set(tv.now + seconds);
  // Searches end with the local year 2038.
  return tv.now < kEndOfSearches - 86400 || tv.tm().tm_year < 139;
}

void clearFields(struct tm &t) { t.tm_sec = t.tm_min = t.tm_hour = 0; }

// ---- basic: second, minute, hour, day_of_month, month, year ----

int readBasic(const struct tm &t, int field) {
  switch (field) {
    case kSecond: return t.tm_sec;
    case kMinute: return t.tm_min;
    case kHour: return t.tm_hour;
    case kDayOfMonth: return t.tm_mday;
    case kMonth: return t.tm_mon + 1;
    default: return t.tm_year + 1900;
  }
}

void writeBasic(struct tm &t, int field, long value) {
  int v = static_cast<int>(value);
  switch (field) {
    case kSecond: t.tm_sec = v; break;
    case kMinute: t.tm_min = v; break;
    case kHour: t.tm_hour = v; break;
    case kDayOfMonth: t.tm_mday = v; break;
    case kMonth: t.tm_mon = v - 1; break;
    default: t.tm_year = v - 1900; break;
  }
}

void addOne(struct tm &t, int field) { writeBasic(t, field, readBasic(t, field) + 1); }

// Every field finer than field back to its minimum.
void clearBelow(struct tm &t, int field) {
  if (field > kSecond) t.tm_sec = 0;
  if (field > kMinute) t.tm_min = 0;
  if (field > kHour) t.tm_hour = 0;
  if (field > kDayOfMonth) t.tm_mday = 1;
  if (field > kMonth) t.tm_mon = 0;
}

// Seconds and minutes repeat every 60 and 3600 seconds of plain time.
long clockUnit(int field) { return field == kSecond ? 1 : 60; }

bool basicStartOfPeriod(TimeVar &tv, int field, long) {
  if (field == kYear) return false;
  if (field <= kMinute) {
    long unit = clockUnit(field);
    long elapsed = field == kSecond ? tv.tm().tm_sec : tv.tm().tm_min * 60L + tv.tm().tm_sec;
    return moveBy(tv, 60 * unit - elapsed);
  }
  struct tm t = tv.tm();
  clearBelow(t, field + 1);
  addOne(t, field + 1);
  return moveTo(tv, t, false);
}

bool basicSpecificValue(TimeVar &tv, int field, long value, bool findStart, bool atLeast) {
  if (field <= kMinute) {
    long unit = clockUnit(field);
    long current = field == kSecond ? tv.tm().tm_sec : tv.tm().tm_min;
    long into = field == kSecond ? 0 : tv.tm().tm_sec;  // seconds into the current minute
    long steps = value - current;
    if (findStart) {
      if (steps <= 0) steps += 60;
      return moveBy(tv, steps * unit - into);
    }
    if (atLeast) return basicStartOfPeriod(tv, field, value);
    if (steps < 0) steps += 60;
    return moveBy(tv, (steps + 1) * unit - into);
  }
  struct tm t = tv.tm();
  clearBelow(t, field);
  // A value that this month or year lacks (day 31, 29 February) is tried again in the next one.
  for (int attempt = 0;; ++attempt) {
    long current = readBasic(t, field);
    if ((findStart && value <= current) || (!findStart && !atLeast && value < current)) {
      if (field == kYear) return false;
      addOne(t, field + 1);
    }
    writeBasic(t, field, value);
    if (!tm_adjust(&t)) return false;
    if (readBasic(t, field) == value) break;
    if (attempt > 48) return false;
  }
  // An hour that the clock skips today comes tomorrow; for hour >= v the next hour will do.
  if (findStart) return moveTo(tv, t, field == kHour && !atLeast);
  if (atLeast) {
    if (field == kYear) return false;
    clearBelow(t, field + 1);
    addOne(t, field + 1);
  } else {
    addOne(t, field);
  }
  return moveTo(tv, t, false);
}

bool basicNextValue(TimeVar &tv, int field) {
  if (field == kSecond) return moveBy(tv, 1);
  if (field == kMinute) return moveBy(tv, 60 - tv.tm().tm_sec);
  struct tm t = tv.tm();
  clearBelow(t, field);
  addOne(t, field);
  return moveTo(tv, t, false);
}

// ---- dow: day_of_week, a week from Sunday ----

bool advanceDays(TimeVar &tv, int days) {
  struct tm t = tv.tm();
  clearFields(t);
  t.tm_mday += days;
  return moveTo(tv, t, false);
}

bool dowStartOfPeriod(TimeVar &tv, int, long) { return advanceDays(tv, 7 - tv.tm().tm_wday); }

bool dowSpecificValue(TimeVar &tv, int field, long value, bool findStart, bool atLeast) {
  if (!findStart && atLeast) return dowStartOfPeriod(tv, field, value);
  long target = findStart ? value : value + 1;
  long days = target - tv.tm().tm_wday;
  if (days < 1) days += 7;
  return advanceDays(tv, static_cast<int>(days));
}

bool nextDay(TimeVar &tv, int) { return advanceDays(tv, 1); }

// ---- doy: day_of_year 1..366 ----

bool januaryFirst(TimeVar &tv, long year) {
  if (year > 2038) return false;
  return moveTo(tv, dayOfYear(year, 0), false);
}

bool doyStartOfPeriod(TimeVar &tv, int, long) { return januaryFirst(tv, tv.tm().tm_year + 1901L); }

bool doySpecificValue(TimeVar &tv, int, long value, bool findStart, bool atLeast) {
  long current = tv.tm().tm_yday + 1;
  long year = tv.tm().tm_year + 1900L;
  if ((findStart && current >= value) || (!findStart && !atLeast && current > value)) ++year;
  while (value == 366 && !isLeapYear(year)) ++year;
  if (year > 2038) return false;
  if (findStart) return moveTo(tv, dayOfYear(year, value - 1), false);
  if (atLeast) return januaryFirst(tv, year + 1);
  return moveTo(tv, dayOfYear(year, value), false);
}

// ---- woy: week_of_year 0..53 ----

// 1 January of the first year from `year` on that begins in a week numbered below value.
bool januaryBelowWeek(TimeVar &tv, long year, long value) {
  for (; year <= 2038; ++year) {
    long firstWeek = get_day_from_week_of_year(year, 0) == 0 ? 0 : 1;
    if (firstWeek < value) return januaryFirst(tv, year);
  }
  return false;
}

bool woyStartOfPeriod(TimeVar &tv, int, long value) {
  return januaryBelowWeek(tv, tv.tm().tm_year + 1901L, value);
}

bool woySpecificValue(TimeVar &tv, int, long value, bool findStart, bool atLeast) {
  const struct tm &now = tv.tm();
  long current = weekOfYear(now.tm_yday, now.tm_year + 1900L);
  long year = now.tm_year + 1900L;
  if ((findStart && current >= value) || (!findStart && !atLeast && current > value)) ++year;
  int start;
  while ((start = get_day_from_week_of_year(year, value)) < 0)
    if (++year > 2038) return false;
  if (findStart) return moveTo(tv, dayOfYear(year, start), false);
  if (atLeast) return januaryBelowWeek(tv, year + 1, value);
  int next = get_day_from_week_of_year(year, value + 1);
  return moveTo(tv, dayOfYear(year, next >= 0 ? next : lastDayOfYear(year) + 1), false);
}

bool woyNextValue(TimeVar &tv, int) {
  const struct tm &now = tv.tm();
  long year = now.tm_year + 1900L;
  int next = get_day_from_week_of_year(year, weekOfYear(now.tm_yday, year) + 1);
  return moveTo(tv, dayOfYear(year, next >= 0 ? next : lastDayOfYear(year) + 1), false);
}

// ---- wom: week_of_month 1..5 ----

bool monthDay(TimeVar &tv, long year, int month, int day) {
  struct tm t = {};
  t.tm_year = static_cast<int>(year - 1900);
  t.tm_mon = month;
  t.tm_mday = day;
  return moveTo(tv, t, false);
}

bool womStartOfPeriod(TimeVar &tv, int, long) {
  return monthDay(tv, tv.tm().tm_year + 1900L, tv.tm().tm_mon + 1, 1);
}

bool womSpecificValue(TimeVar &tv, int, long value, bool findStart, bool atLeast) {
  const struct tm &now = tv.tm();
  long current = (now.tm_mday - 1) / 7 + 1;
  long year = now.tm_year + 1900L;
  int month = now.tm_mon;
  if ((findStart && current >= value) || (!findStart && !atLeast && current > value)) ++month;
  int first = static_cast<int>((value - 1) * 7 + 1);
  for (;;) {
    if (month > 11) month = 0, ++year;
    if (year > 2038) return false;
    if (first <= monthLength(month, year)) break;
    ++month;
  }
  if (findStart) return monthDay(tv, year, month, first);
  int end = static_cast<int>(value * 7 + 1);
  if (!atLeast && end <= monthLength(month, year)) return monthDay(tv, year, month, end);
  return monthDay(tv, year, month + 1, 1);
}

bool womNextValue(TimeVar &tv, int) {
  const struct tm &now = tv.tm();
  int day = 7 * ((now.tm_mday - 1) / 7 + 1) + 1;
  long year = now.tm_year + 1900L;
  if (day <= monthLength(now.tm_mon, year)) return monthDay(tv, year, now.tm_mon, day);
  return monthDay(tv, year, now.tm_mon + 1, 1);
}

// ---- d: date, one instant per second ----

bool dateStartOfPeriod(TimeVar &, int, long) { return false; }

bool dateSpecificValue(TimeVar &tv, int, long value, bool findStart, bool atLeast) {
  long target = findStart ? value : value + 1;
  if (tv.now >= target || (!findStart && atLeast)) return false;
  tv.set(target);
  return true;
}

bool dateNextValue(TimeVar &, int) { return false; }

}  // namespace

const Family family_basic = {"basic", basicStartOfPeriod, basicSpecificValue, basicNextValue};
const Family family_dow = {"dow", dowStartOfPeriod, dowSpecificValue, nextDay};
const Family family_doy = {"doy", doyStartOfPeriod, doySpecificValue, nextDay};
const Family family_woy = {"woy", woyStartOfPeriod, woySpecificValue, woyNextValue};
const Family family_wom = {"wom", womStartOfPeriod, womSpecificValue, womNextValue};
const Family family_d = {"d", dateStartOfPeriod, dateSpecificValue, dateNextValue};

int firstWeekday(long year) {
  if (year >= 1969 && year <= 2038) return kFirstWeekdays.day[year - 1969];
  return weekdayOfJanuaryFirst(year);
}

int weekOfYear(int dayOfYear, long year) {
  int first = firstWeekday(year);
  int week = (dayOfYear + first - 1) / 7 + 1;  // truncates toward zero: day 0 of a Sunday year is 1
  if (first == 5 || first == 6 || (dayOfYear == 0 && first == 0)) --week;
  return week;
}

const struct tm &TimeVar::tm() {
  if (!(flags & kBrokenValid)) {
    time_t moment = now;
    if (!localFields(now, broken) && localtime_r(&moment, &broken) == nullptr)
      std::memset(&broken, 0, sizeof broken);
    flags = kBrokenValid;
  }
  return broken;
}

void zoneRefresh() {
  const char *tz = std::getenv("TZ");
  auto isTz = [tz](const ZoneTable &table) {
    return table.used && table.hasTz == (tz != nullptr) && (tz == nullptr || table.tz == tz);
  };
  if (zone != nullptr && isTz(*zone)) return;
  // The library reads a changed TZ only in tzset (mktime calls it, localtime_r does not).
  tzset();
  ZoneTable *pick = nullptr;
  for (ZoneTable &table : zoneTables) {
    if (isTz(table)) {
      pick = &table;
      break;
    }
    if (pick == nullptr || !table.used || (pick->used && table.lastUse < pick->lastUse)) pick = &table;
  }
  if (!isTz(*pick)) {
    pick->used = true;
    pick->hasTz = tz != nullptr;
    pick->tz = tz != nullptr ? tz : "";
    for (Stretch &stretch : pick->stretches) stretch.status = Stretch::kUnknown;
  }
  pick->lastUse = ++zoneUses;
  zone = pick;
}

long TimeVar::get(int field) {
  if (field == kDate) return now;
  if (field < 0 || field >= kFieldSlots || field == kTime) {
    internalError(kSource, __LINE__);
    return 0;
  }
  unsigned bit = 1u << field;
  if (flags & bit) return cached[field];
  const struct tm &t = tm();
  int value;
  switch (field) {
    case kSecond: value = t.tm_sec; break;
    case kMinute: value = t.tm_min; break;
    case kHour: value = t.tm_hour; break;
    case kDayOfMonth: value = t.tm_mday; break;
    case kMonth: value = t.tm_mon + 1; break;
    case kYear: value = t.tm_year + 1900; break;
    case kDayOfWeek: value = t.tm_wday; break;
    case kWeekOfYear: value = weekOfYear(t.tm_yday, t.tm_year + 1900L); break;
    case kDayOfYear: value = t.tm_yday + 1; break;
    case kWeekOfMonth: value = (t.tm_mday - 1) / 7 + 1; break;
    default: value = 0; break;
  }
  cached[field] = value;
  flags |= bit;
  return value;
}

}  // namespace telvi::schedule
