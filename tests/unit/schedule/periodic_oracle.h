// An independent model of the schedule language for the oracle test: a random generator that
// writes a schedule's text together with a predicate over local calendar fields, and a brute-force
// search over a precomputed local calendar (one localtime_r per hour) that finds where the
// predicate changes. The model knows nothing of the library's calendar code or search strategy.
#ifndef TELVI_TESTS_PERIODIC_ORACLE_H
#define TELVI_TESTS_PERIODIC_ORACLE_H

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "../test_support.h"

namespace oracle {

using testsupport::EnvGuard;

// The zone is the process's: every test sets its own and puts the caller's back.
struct ZoneGuard : EnvGuard {
  explicit ZoneGuard(const char *zone) : EnvGuard("TZ", zone, tzset) {}
};

enum Field { kSec, kMin, kHour, kMday, kMon, kYear, kWday, kWoy, kYday, kDate, kWom, kFields };

// The lowest and highest value of every field over a stretch of time; a single moment has lo == hi.
struct Span {
  long lo[kFields];
  long hi[kFields];
};

enum Tri { kNo = 0, kYes = 1, kMaybe = 2 };

using Items = std::vector<std::pair<long, long>>;  // inclusive intervals
struct Node;
using NodeP = std::shared_ptr<const Node>;

struct Node {
  enum Kind { kIn, kAtLeast, kAnd, kOr, kNot, kCycle, kConst } kind = kConst;
  int field = 0;
  std::vector<std::pair<long, long>> items{};  // kIn: inclusive intervals, first <= second
  long value = 1;                            // kAtLeast: the threshold; kConst: 0 or 1
  long period = 0, start = 0;                // kCycle
  bool hasStart = false;
  NodeP a{}, b{};
};

inline NodeP make(Node n) { return std::make_shared<const Node>(std::move(n)); }
inline NodeP constant(bool value) { return make({.kind = Node::kConst, .value = value}); }
// Field is one of the items. Overlapping and adjacent items are merged, so that a list which covers
// a whole stretch is seen to hold over all of it.
inline NodeP in(int field, std::vector<std::pair<long, long>> items) {
  std::sort(items.begin(), items.end());
  std::vector<std::pair<long, long>> merged;
  for (const auto &item : items) {
    if (!merged.empty() && item.first <= merged.back().second + 1)
      merged.back().second = std::max(merged.back().second, item.second);
    else
      merged.push_back(item);
  }
  return make({.kind = Node::kIn, .field = field, .items = std::move(merged)});
}
inline NodeP atLeast(int field, long value) { return make({.kind = Node::kAtLeast, .field = field, .value = value}); }
inline NodeP both(NodeP a, NodeP b) { return make({.kind = Node::kAnd, .a = std::move(a), .b = std::move(b)}); }
inline NodeP either(NodeP a, NodeP b) { return make({.kind = Node::kOr, .a = std::move(a), .b = std::move(b)}); }
inline NodeP negation(NodeP a) { return make({.kind = Node::kNot, .a = std::move(a)}); }
inline NodeP cycle(long period, bool hasStart, long start) {
  return make({.kind = Node::kCycle, .period = period, .start = start, .hasStart = hasStart});
}

// Three-valued: kMaybe when the stretch holds moments on both sides (or the test cannot tell).
inline Tri eval(const Node &n, const Span &s) {
  switch (n.kind) {
    case Node::kIn: {
      long lo = s.lo[n.field], hi = s.hi[n.field];
      Tri result = kNo;
      for (const auto &[first, last] : n.items) {
        if (lo >= first && hi <= last) return kYes;
        if (!(hi < first || lo > last)) result = kMaybe;
      }
      return result;
    }
    case Node::kAtLeast:
      return s.lo[n.field] >= n.value ? kYes : s.hi[n.field] < n.value ? kNo : kMaybe;
    case Node::kAnd:
    case Node::kOr: {  // an and is decided by its first no, an or by its first yes
      Tri stop = n.kind == Node::kAnd ? kNo : kYes;
      Tri l = eval(*n.a, s);
      if (l == stop) return stop;
      Tri r = eval(*n.b, s);
      return r == stop ? stop : l == r ? l : kMaybe;
    }
    case Node::kNot: {
      Tri v = eval(*n.a, s);
      return v == kMaybe ? kMaybe : v == kYes ? kNo : kYes;
    }
    case Node::kCycle:
      return kYes;  // a cycle is a beat, never a window
    case Node::kConst:
      return n.value ? kYes : kNo;
  }
  return kMaybe;
}

// Week of the year, Monday to Sunday: week 1 holds 1 January unless the year starts on a Friday,
// Saturday or Sunday; then the days before the first Monday are week 0. December never wraps.
inline int weekOfYear(int yday0, int wday) {
  int jan1 = ((wday - yday0 % 7) % 7 + 7) % 7;
  int firstMonday = (8 - jan1) % 7;
  if (jan1 == 0 || jan1 >= 5) return yday0 < firstMonday ? 0 : (yday0 - firstMonday) / 7 + 1;
  return (yday0 + jan1 - 1) / 7 + 1;
}

// The local calendar of the process's zone, one record per hour from `from` to `to` (both whole
// hours since the epoch), with the field ranges of blocks of 64 and 4096 hours for fast skipping.
// Zones with whole-hour offsets only: every hour since the epoch is a local hour.
class Calendar {
 public:
  static constexpr long kBlock1 = 64, kBlock2 = 4096;

  Calendar(long from, long to) : begin_(from), end_(to) {
    long hours = (to - from) / 3600;
    recs_.resize(hours);
    bool dst = false;
    for (long h = 0; h < hours; ++h) {
      time_t t = from + h * 3600;
      struct tm tm {};
      localtime_r(&t, &tm);
      // The fields that hold for the whole hour; seconds, minutes and the date are filled in later.
      const int fields[kFields] = {0, 0, tm.tm_hour, tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_wday,
                                   weekOfYear(tm.tm_yday, tm.tm_wday), tm.tm_yday + 1, 0, (tm.tm_mday - 1) / 7 + 1};
      std::copy(fields, fields + kFields, recs_[h].begin());
      if (h > 0 && dst != (tm.tm_isdst > 0)) transitions_.push_back(t);
      dst = tm.tm_isdst > 0;
    }
    buildBlocks(kBlock1, blocks1_);
    buildBlocks(kBlock2, blocks2_);
  }

  long begin() const { return begin_; }
  const std::vector<long> &transitions() const { return transitions_; }

  // The fields over [t, t + len) for len 1, 60 or 3600 from the start of a second, minute or hour.
  Span span(long t, long len) const {
    long off = t - begin_;
    Span s = hourSpan(off / 3600);
    if (len < 3600) s.lo[kMin] = s.hi[kMin] = off % 3600 / 60;
    if (len < 60) s.lo[kSec] = s.hi[kSec] = off % 60;
    s.lo[kDate] = t, s.hi[kDate] = t + len - 1;
    return s;
  }
  Span moment(long t) const { return span(t, 1); }
  bool holds(const Node &n, long t) const { return eval(n, moment(t)) == kYes; }

  // The first moment at or after `from` at which the predicate is not `value`; -1 when there is
  // none before end(), -2 when `budget` (evaluations) ran out first.
  long findChange(const Node &n, long from, bool value, long &budget) const {
    Tri want = value ? kYes : kNo;
    // Steps over the largest stretch from pos (4096 or 64 hours, an hour, a minute) that keeps the value.
    for (long pos = from; pos < end_;) {
      if (--budget < 0) return -2;
      long off = pos - begin_, h = off / 3600;
      bool hour = off % 3600 == 0;
      long step = hour && h % kBlock2 == 0 && eval(n, blocks2_[h / kBlock2]) == want   ? kBlock2 * 3600
                  : hour && h % kBlock1 == 0 && eval(n, blocks1_[h / kBlock1]) == want ? kBlock1 * 3600
                  : hour && eval(n, span(pos, 3600)) == want                           ? 3600
                  : off % 60 == 0 && eval(n, span(pos, 60)) == want                    ? 60
                  : eval(n, span(pos, 1)) == want                                      ? 1
                                                                                       : 0;
      if (step == 0) return pos;
      pos += step;
    }
    return -1;
  }

 private:
  Span hourSpan(long h) const {
    Span s;
    for (int f = 0; f < kFields; ++f) s.lo[f] = s.hi[f] = recs_[h][f];
    s.hi[kSec] = s.hi[kMin] = 59;
    s.lo[kDate] = begin_ + h * 3600;
    s.hi[kDate] = s.lo[kDate] + 3599;
    return s;
  }

  void buildBlocks(long size, std::vector<Span> &blocks) {
    long count = (static_cast<long>(recs_.size()) + size - 1) / size;
    blocks.resize(count);
    for (long b = 0; b < count; ++b) {
      Span s = hourSpan(b * size);
      long last = std::min<long>(static_cast<long>(recs_.size()), (b + 1) * size);
      for (long h = b * size + 1; h < last; ++h) {
        Span o = hourSpan(h);
        for (int f = 0; f < kFields; ++f) {
          s.lo[f] = std::min(s.lo[f], o.lo[f]);
          s.hi[f] = std::max(s.hi[f], o.hi[f]);
        }
      }
      blocks[b] = s;
    }
  }

  long begin_, end_;
  std::vector<std::array<int16_t, kFields>> recs_;
  std::vector<Span> blocks1_, blocks2_;
  std::vector<long> transitions_;
};

// A calendar day and time as struct tm fields (the day may run past the month's end).
inline struct tm fields(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0) {
  struct tm tm {};
  tm.tm_year = year - 1900, tm.tm_mon = mon - 1, tm.tm_mday = mday;
  tm.tm_hour = hour, tm.tm_min = min, tm.tm_sec = sec, tm.tm_isdst = -1;
  return tm;
}
inline long utc(int year, int mon, int mday) {
  struct tm tm = fields(year, mon, mday);
  return timegm(&tm);
}
// A moment of the local calendar by its fields (mktime of the C library), or -1 when it does not
// exist as given.
inline long localMoment(int year, int mon, int mday, int hour = 0, int min = 0, int sec = 0) {
  struct tm want = fields(year, mon, mday, hour, min, sec), tm = want, back {};
  time_t t = mktime(&tm);
  if (t == -1 || localtime_r(&t, &back) == nullptr) return -1;
  auto key = [](const struct tm &x) { return std::tie(x.tm_year, x.tm_mon, x.tm_mday, x.tm_hour, x.tm_min, x.tm_sec); };
  return key(back) == key(want) ? t : -1;
}

inline int daysIn(int mon, int year) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return mon == 2 && leap ? 29 : days[mon - 1];
}

// A generated schedule: its text and its model. Flags tell what the model can predict beyond the
// window itself.
struct Schedule {
  std::string text;
  NodeP model;
  bool hasCycle = false;
};

// How a beat is predicted for the special classes of schedules whose beat is well defined.
enum class BeatClass {
  kCycle,         // a lone cycle: the next multiple of the period after its base
  kRising,        // a single equality: the start of the next occurrence (the rising edge)
  kMinuteStart,   // cron: the start of the next matching minute
  kCycleInWindow  // a started cycle whose multiples fall on the window's boundaries: the next multiple inside
};

// A cycle's text, period and start (without one it counts from period_start).
struct Cycle {
  std::string text;
  long period = 0;
  bool hasStart = false;
  long start = 0;
};

struct BeatSchedule {
  Schedule schedule;
  BeatClass beatClass = BeatClass::kCycle;
  NodeP window;  // kCycleInWindow: the window the cycle is and-ed with
  Cycle cycle;   // kCycle, kCycleInWindow
};

class Generator {
 public:
  explicit Generator(uint64_t state) : rng_(state) {}

  long num(long lo, long hi) { return std::uniform_int_distribution<long>(lo, hi)(rng_); }
  bool chance(int percent) { return num(0, 99) < percent; }
  template <typename T>
  const T &pick(const std::vector<T> &v) {
    return v[num(0, static_cast<long>(v.size()) - 1)];
  }

  // A whole schedule: relations, cron and cycles combined with &&, || and ! a few levels deep.
  Schedule schedule(int depth) {
    Expr e = expr(depth, true);
    return {e.text, e.node, e.hasCycle};
  }

  BeatSchedule beatSchedule() {
    BeatSchedule b;
    switch (long kind = num(0, 3)) {
      case 0: {
        Cycle c = cycleText(true);
        b.schedule = {c.text, cycle(c.period, c.hasStart, c.start), true};
        b.beatClass = BeatClass::kCycle;
        b.cycle = c;
        break;
      }
      case 1:
      case 2: {
        Expr e = kind == 1 ? equality() : cron(false);
        b.schedule = {e.text, e.node};
        b.beatClass = kind == 1 ? BeatClass::kRising : BeatClass::kMinuteStart;
        break;
      }
      default: {
        static const std::vector<std::pair<std::string, long>> periods = {
            {"300", 300},     {"5 min", 300},    {"10m", 600},     {"15 minutes", 900}, {".25 h", 900},
            {"20 min", 1200}, {"30 min", 1800},  {"1 hour", 3600}, {"0.5 hr", 1800},    {"1 h", 3600}};
        auto [ptext, period] = pick(periods);
        Expr w = window(2);
        Cycle &c = b.cycle;
        c.period = period;
        if (chance(50)) {
          // Starts on a whole local hour, away from the hours daylight saving moves, before any
          // moment asked about: before its start a cycle has no multiples to fire on.
          int y = static_cast<int>(num(1980, 1994)), m = static_cast<int>(num(1, 12));
          int d = static_cast<int>(num(1, daysIn(m, y))), h = static_cast<int>(num(4, 22));
          c.hasStart = true;
          c.start = localMoment(y, m, d, h);
          c.text = "cycle(period = " + ptext + ", start = " + std::to_string(m) + "/" + std::to_string(d) + "/" +
              std::to_string(y) + " " + std::to_string(h) + ":00)";
        } else {
          c.text = chance(50) ? ptext : "cycle(" + ptext + ")";
        }
        b.schedule.text = chance(50) ? c.text + " && " + wrap(w, 2) : wrap(w, 2) + " && " + c.text;
        b.schedule.model = both(cycle(period, c.hasStart, c.start), w.node);
        b.schedule.hasCycle = true;
        b.window = w.node;
        b.beatClass = BeatClass::kCycleInWindow;
        break;
      }
    }
    return b;
  }

 private:
  // prec: 0 an or, 1 an and, 2 a not, 3 an atom (relation, cron(...), cycle, brackets)
  struct Expr {
    std::string text;
    NodeP node;
    int prec = 3;
    bool hasCycle = false;
  };
  struct DateValue {
    std::string text;
    long start = 0, end = 0;
  };

  inline static const std::vector<std::string> kOps = {"=", "==", "!=", "<", "<=", ">", ">="};
  static constexpr int kClock[3] = {kHour, kMin, kSec};
  static bool isEquality(const std::string &op) { return op == "=" || op == "==" || op == "!="; }

  static std::string wrap(const Expr &e, int prec) { return e.prec >= prec ? e.text : "(" + e.text + ")"; }

  // A keyword in lower case (mostly), capitalised or in capitals.
  std::string word(std::string w) {
    long form = num(0, 5);
    size_t upper = form == 0 ? w.size() : form == 1 ? 1 : 0;
    for (size_t i = 0; i < upper; ++i) w[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(w[i])));
    return w;
  }

  // and (prec 1), or (prec 0): left-associative, so the right operand needs brackets unless it binds
  // tighter.
  static Expr join(const Expr &l, const Expr &r, bool isAnd, bool spaced) {
    int prec = isAnd ? 1 : 0;
    std::string op = isAnd ? "&&" : "||";
    return {wrap(l, prec) + (spaced ? " " + op + " " : op) + wrap(r, prec + 1),
            isAnd ? both(l.node, r.node) : either(l.node, r.node), prec, l.hasCycle || r.hasCycle};
  }

  Expr expr(int depth, bool top) {
    if (depth <= 0 || chance(35)) return leaf(top);
    Expr e;
    if (long kind = num(0, 4); kind < 4) {  // and, or, or not
      Expr l = expr(depth - 1, false), r = expr(depth - 1, false);
      e = join(l, r, kind < 2, chance(80));
    } else {
      Expr o = expr(depth - 1, false);
      e = {(chance(70) ? "!" : "! ") + wrap(o, 2), negation(o.node), 2, o.hasCycle};
    }
    if (chance(10)) {
      e.text = "(" + e.text + ")";
      e.prec = 3;
    }
    return e;
  }

  Expr leaf(bool top) {
    int k = static_cast<int>(num(0, 99));
    if (k < 12) return cron(top);
    if (k < 17) {
      Cycle c = cycleText(false);
      return {c.text, cycle(c.period, c.hasStart, c.start), 3, true};
    }
    return relation(static_cast<int>(num(0, 11)));
  }

  // Hour of the day in one of its spellings.
  std::string hourText(long h) { return chance(60) ? std::to_string(h) : hourSuffixText(h); }
  // An hour with am, pm, noon or midnight: what a daytime or a time of day needs.
  std::string hourSuffixText(long h) {
    std::string space = chance(70) ? " " : "";
    if (h % 12 == 0) return "12" + space + word(chance(70) ? (h ? "pm" : "am") : (h ? "noon" : "midnight"));
    return std::to_string(h % 12) + space + word(h < 12 ? "am" : "pm");
  }
  std::string monthText(long m) { return chance(33) ? std::to_string(m) : monthName(m); }
  // A name in full or by its first three letters.
  std::string name(const std::string &full) { return word(chance(50) ? full.substr(0, 3) : full); }
  std::string monthName(long m) {
    static const char *const names[] = {"january", "february", "march",     "april",   "may",      "june",
                                        "july",    "august",   "september", "october", "november", "december"};
    return name(names[m - 1]);
  }
  std::string dayText(long d) {
    static const char *const names[] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};
    return d == 7 || chance(40) ? std::to_string(d) : name(names[d]);
  }
  std::string two(long v) { return (v < 10 ? "0" : "") + std::to_string(v); }

  // A value of a numeric field, biased towards the values at the ends of its units.
  // By field: the values drawn from, and in `percent` of the draws one of `ends` instead.
  long fieldValue(int f) {
    struct Values {
      long lo, hi;
      int percent;
      std::vector<long> ends;
    };
    static const Values values[kFields] = {
        {0, 59, 30, {0, 1, 29, 30, 58, 59}}, {0, 59, 30, {0, 1, 29, 30, 58, 59}}, {0, 23, 30, {0, 1, 2, 3, 12, 23}},
        {1, 31, 40, {1, 28, 29, 30, 31}},    {1, 12, 0, {}},                       {1995, 2038, 10, {1969, 2038}},
        {0, 7, 0, {}},                       {0, 53, 40, {0, 1, 2, 51, 52, 53}},   {1, 366, 40, {1, 59, 60, 365, 366}},
        {0, 0, 0, {}},                       {1, 5, 0, {}}};
    const Values &v = values[f];
    return v.percent > 0 && chance(v.percent) ? pick(v.ends) : num(v.lo, v.hi);
  }
  std::string fieldValueText(int f, long v) {
    return f == kHour ? hourText(v) : f == kMon ? monthText(v) : f == kWday ? dayText(v) : std::to_string(v);
  }
  // The range a field can hold, for ranges that wrap.
  static long fieldMin(int f) { return std::array<long, kFields>{0, 0, 0, 1, 1, 1969, 0, 0, 1, 0, 1}[f]; }
  static long fieldMax(int f) {
    return std::array<long, kFields>{59, 59, 23, 31, 12, 2038, 6, 53, 366, 2147483647, 5}[f];
  }
  static long asStored(int f, long v) { return f == kWday && v == 7 ? 0 : v; }

  // An item of a list: a value, or a range (wrapping when the first end is the larger).
  std::pair<std::string, Items> item(int f, bool ranges) {
    long a = fieldValue(f);
    if (!ranges || chance(55)) return {fieldValueText(f, a), {{asStored(f, a), asStored(f, a)}}};
    long b = fieldValue(f);
    // 0-7 and 7-0 say "Sunday to Sunday"; whether that is one day or the week is not settled.
    while (f == kWday && a != b && asStored(f, a) == asStored(f, b)) b = fieldValue(f);
    std::string text = fieldValueText(f, a) + (chance(70) ? "-" : " - ") + fieldValueText(f, b);
    long x = asStored(f, a), y = asStored(f, b);
    if (x <= y) return {text, {{x, y}}};
    return {text, {{x, fieldMax(f)}, {fieldMin(f), y}}};
  }

  std::pair<std::string, Items> list(int f, bool ranges, const std::string &sep) {
    std::string text;
    std::vector<std::pair<long, long>> items;
    long count = chance(60) ? 1 : num(2, 3);
    for (long i = 0; i < count; ++i) {
      auto [t, it] = item(f, ranges);
      text += (i ? sep : "") + t;
      items.insert(items.end(), it.begin(), it.end());
    }
    return {text, items};
  }

  static const char *fieldName(int f) {
    static const char *const names[] = {"second", "minute",       "hour",        "day_of_month", "month",        "year",
                                        "day_of_week", "week_of_year", "day_of_year", "date", "week_of_month"};
    return names[f];
  }

  // A relation on field index 0..11 of the language (10 is time, 11 week_of_month).
  Expr relation(int which) {
    if (which == 9) return dateRelation();
    if (which == 10) return timeRelation();
    int f = which == 11 ? kWom : which;
    bool ranges = f != kSec && f != kMin && f != kHour;
    std::string name = word(fieldName(f));
    const std::string &op = pick(kOps);
    std::string sp = chance(80) ? " " : "";
    if (isEquality(op)) {
      if (chance(5)) {
        return {name + sp + op + sp + "*", constant(op != "!=")};
      }
      auto [t, items] = list(f, ranges, chance(50) ? "," : ", ");
      return {name + sp + op + sp + t, op == "!=" ? negation(in(f, items)) : in(f, items)};
    }
    long v = fieldValue(f);
    return {name + sp + op + sp + fieldValueText(f, v), comparison(f, op, asStored(f, v))};
  }

  // >= and > hold from a threshold on; < and <= are their negations.
  static NodeP comparison(int f, const std::string &op, long v) {
    NodeP n = atLeast(f, op == ">" || op == "<=" ? v + 1 : v);
    return op[0] == '>' ? n : negation(n);
  }

  // A single equality whose beat is the start of its next occurrence.
  Expr equality() {
    int which = static_cast<int>(num(0, 11));
    if (which == 9) {
      DateValue d = dateValue(chance(50) ? 4 : 3);
      return {word("date") + " = " + d.text, in(kDate, {{d.start, d.end - 1}})};
    }
    if (which == 10) {
      long h = fieldValue(kHour), m = fieldValue(kMin), s = fieldValue(kSec);
      int precision = static_cast<int>(num(1, 3));
      return {word("time") + " = " + clockText(h, m, s, precision), clockEquals({h, m, s}, precision)};
    }
    int f = which == 11 ? kWom : which;
    long v = fieldValue(f);
    return {word(fieldName(f)) + (chance(50) ? " = " : " == ") + fieldValueText(f, v),
            in(f, {{asStored(f, v), asStored(f, v)}})};
  }

  // A time of day at a precision of 1 (hour), 2 (minute) or 3 (second) parts.
  std::string clockText(long h, long m, long s, int precision) {
    if (precision == 1) return hourSuffixText(h);
    bool suffix = chance(30);
    std::string t = suffix ? std::to_string(h % 12 == 0 ? 12 : h % 12) : chance(50) ? two(h) : std::to_string(h);
    t += ":" + two(m);
    if (precision == 3) t += ":" + two(s);
    if (suffix) t += (chance(70) ? " " : "") + word(h < 12 ? "am" : "pm");
    return t;
  }

  // The hour, minute and second equal to the first `precision` of parts.
  static NodeP clockEquals(const std::array<long, 3> &parts, int precision) {
    NodeP n;
    for (int k = 0; k < precision; ++k) {
      NodeP p = in(kClock[k], {{parts[k], parts[k]}});
      n = n ? both(n, p) : p;
    }
    return n;
  }

  // time OP t: compared part by part at the precision of t.
  Expr timeRelation() {
    std::string name = word("time");
    const std::string &op = pick(kOps);
    if (chance(4) && (op == "=" || op == "!=")) {
      return {name + " " + op + " *", constant(op == "=")};
    }
    bool equal = isEquality(op);
    long count = equal && chance(30) ? 2 : 1;
    NodeP result;
    std::string values;
    for (long i = 0; i < count; ++i) {
      std::array<long, 3> parts = {fieldValue(kHour), fieldValue(kMin), fieldValue(kSec)};
      int precision = static_cast<int>(num(1, 3));
      values += (i ? ", " : "") + clockText(parts[0], parts[1], parts[2], precision);
      NodeP n;
      if (equal) {
        n = clockEquals(parts, precision);
      } else {
        // (h, m, s) >= or > the value, lexicographically; < and <= are their negations.
        int last = precision - 1;
        n = atLeast(kClock[last], parts[last] + (op == ">" || op == "<=" ? 1 : 0));
        for (int k = last - 1; k >= 0; --k)
          n = either(atLeast(kClock[k], parts[k] + 1), both(in(kClock[k], {{parts[k], parts[k]}}), n));
        if (op == "<" || op == "<=") n = negation(n);
      }
      result = result ? either(result, n) : n;
    }
    if (op == "!=") result = negation(result);
    return {name + " " + op + " " + values, result};
  }

  // A local date: precision 0 a day, 1 an hour, 2 a minute, 3 a second, 4 epoch(N).
  DateValue dateValue(int precision) {
    for (;;) {
      int y = static_cast<int>(num(1995, 2037)), m = static_cast<int>(num(1, 12));
      int d = static_cast<int>(num(1, daysIn(m, y)));
      // Hours away from the ones daylight saving moves, so that every daytime exists once.
      int h = static_cast<int>(num(4, 22)), mi = static_cast<int>(num(0, 59)), s = static_cast<int>(num(0, 59));
      DateValue v;
      if (precision == 4) {
        v.start = localMoment(y, m, d, h, mi, s);
        v.end = v.start + 1;
        v.text = word("epoch") + "(" + std::to_string(v.start) + ")";
        return v;
      }
      std::string year = chance(70) ? std::to_string(y) : two(y % 100);
      std::string text = chance(50) ? std::to_string(m) + "/" + std::to_string(d) + "/" + year
                                    : monthName(m) + " " + std::to_string(d) + " " + year;
      if (precision == 0) {
        v.start = localMoment(y, m, d);
        struct tm next = fields(y, m, d + 1);  // the midnight after
        v.end = mktime(&next);
      } else {
        text += " " + clockText(h, mi, s, precision);
        v.start = localMoment(y, m, d, h, precision >= 2 ? mi : 0, precision >= 3 ? s : 0);
        v.end = v.start + (precision == 1 ? 3600 : precision == 2 ? 60 : 1);
      }
      if (v.start < 0) continue;
      v.text = text;
      return v;
    }
  }

  Expr dateRelation() {
    std::string name = word("date");
    const std::string &op = pick(kOps);
    if (isEquality(op)) {
      long count = chance(70) ? 1 : 2;
      std::string values;
      NodeP n;
      for (long i = 0; i < count; ++i) {
        DateValue d = dateValue(static_cast<int>(num(0, 4)));
        values += (i ? ", " : "") + d.text;
        NodeP p = in(kDate, {{d.start, d.end - 1}});
        n = n ? either(n, p) : p;
      }
      if (op == "!=") n = negation(n);
      return {name + " " + op + " " + values, n};
    }
    DateValue d = dateValue(static_cast<int>(num(0, 4)));
    return {name + " " + op + " " + d.text, comparison(kDate, op, d.start)};
  }

  // Cron: minute hour day-of-month month day-of-week.
  Expr cron(bool top) {
    static const int fields[5] = {kMin, kHour, kMday, kMon, kWday};
    static const int star[5] = {15, 30, 50, 60, 60};
    std::string lists[5];
    NodeP nodes[5];
    bool stars[5];
    for (int i = 0; i < 5; ++i) {
      stars[i] = chance(star[i]);
      if (stars[i]) {
        lists[i] = "*";
        nodes[i] = constant(true);
        continue;
      }
      auto [t, items] = list(fields[i], true, ",");
      // Inside cron blanks separate the lists: "9 am" is written "9am", "1 - 5" "1-5".
      t.erase(std::remove(t.begin(), t.end(), ' '), t.end());
      lists[i] = t;
      nodes[i] = in(fields[i], items);
    }
    // A day matches either list when both are given, else the one given.
    NodeP day = stars[2] ? nodes[4] : stars[4] ? nodes[2] : either(nodes[2], nodes[4]);
    std::string body = lists[0];
    for (int i = 1; i < 5; ++i) body += " " + lists[i];
    return {top && chance(50) ? body : word("cron") + (chance(50) ? "(" : " ( ") + body + ")",
            both(both(both(nodes[0], nodes[1]), nodes[3]), day)};
  }

  Cycle cycleText(bool forBeat) {
    static const std::vector<std::pair<std::string, long>> periods = {
        {"300", 300},       {"45", 45},        {"7 s", 7},         {"2.5 s", 2},     {"5min", 300},
        {"15 minutes", 900}, {".25 h", 900},    {"1.5 h", 5400},    {"1 hour", 3600}, {"2 hrs", 7200},
        {"1 d", 86400},     {"1 week", 604800}, {"90 sec", 90},     {"10 m", 600},    {"3 days", 259200}};
    auto [ptext, period] = pick(periods);
    Cycle c;
    c.period = period;
    int form = static_cast<int>(num(0, forBeat ? 4 : 3));
    if (form >= 3) {
      DateValue d = dateValue(static_cast<int>(num(0, 4)));
      c.hasStart = true;
      c.start = d.start;
      c.text = chance(50) ? word("cycle") + "(" + word("period") + " = " + ptext + ", " + word("start") + " = " +
                                d.text + ")"
                          : word("cycle") + "(" + word("start") + " = " + d.text + ", " + word("period") + " = " +
                                ptext + ")";
    } else if (form == 2) {
      c.text = word("cycle") + "(" + word("period") + " = " + ptext + ")";
    } else if (form == 1) {
      c.text = word("cycle") + "(" + ptext + ")";
    } else {
      c.text = ptext;
    }
    return c;
  }

  // A window on whole hours and coarser fields that recur every year (for the cycle beat class).
  Expr window(int depth) {
    if (depth <= 0 || chance(40)) {
      static const std::vector<int> fields = {kHour, kMday, kMon, kWday, kWom};
      int f = pick(fields);
      std::string name = word(fieldName(f));
      long v = fieldValue(f);
      if (f == kMday) v = num(1, 28);
      if (f == kWom) v = num(1, 4);
      static const std::vector<std::string> ops = {"=", "!=", "<", "<=", ">", ">="};
      const std::string &op = pick(ops);
      NodeP n = isEquality(op) ? in(f, {{asStored(f, v), asStored(f, v)}}) : comparison(f, op, asStored(f, v));
      return {name + " " + op + " " + fieldValueText(f, v), op == "!=" ? negation(n) : n};
    }
    Expr l = window(depth - 1), r = window(depth - 1);
    return join(l, r, chance(60), true);
  }

  std::mt19937_64 rng_;
};

}  // namespace oracle

#endif
