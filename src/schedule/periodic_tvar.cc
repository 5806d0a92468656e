// Time variables and the moves of each family of fields. Every move computes its target on the
// broken-down local time and converts once; seconds and minutes move in plain seconds instead,
// because their values follow the clock even through the hour that repeats when daylight saving
// ends.
#include <cstring>

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

// Moves tv to the local time target, which must lie after tv's moment. A local time that does not
// exist (a daylight-saving gap) is stepped over: one day later when a specific hour is wanted,
// else hour by hour to the end of the gap. A local time that exists twice becomes its first
// occurrence after tv.
bool moveTo(TimeVar &tv, struct tm target, bool specificHour) {
  if (!tm_adjust(&target)) return false;
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
  // Only zones with daylight saving (mktime has set `daylight`) repeat local times: the same
  // fields read with the other daylight-saving flag give the other occurrence, if there is one.
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
    if (localtime_r(&moment, &broken) == nullptr) std::memset(&broken, 0, sizeof broken);
    flags = kBrokenValid;
  }
  return broken;
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
