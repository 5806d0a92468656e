// The compiled form of a schedule: a boolean tree over calendar fields and cycles, the field table,
// the per-schedule allocator that owns every node, and the calendar routines that dates need.
#ifndef TELVI_SCHEDULE_PERIODIC_TREE_H
#define TELVI_SCHEDULE_PERIODIC_TREE_H

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "telvi/periodic.h"

namespace telvi::schedule {

// Field indexes; 12 and 13 are spare slots of the per-field vectors and always read 0.
enum FieldIndex {
  kSecond, kMinute, kHour, kDayOfMonth, kMonth, kYear, kDayOfWeek, kWeekOfYear, kDayOfYear, kDate, kTime,
  kWeekOfMonth, kFieldCount
};
constexpr int kFieldSlots = 14;

// Value kinds, as bits; names in number_types_names (the wildcard has none).
enum ValueKind : unsigned {
  kKindNumber = 1, kKindMonth = 2, kKindDay = 4, kKindHour = 8, kKindTime = 16, kKindDate = 32, kKindWildcard = 64
};
extern const char *const number_types_names[6];

struct Family;
struct TimeVar;

// One row of the field table.
struct RelData {
  const char *name;
  long min, max;
  bool ranges;      // a-b allowed in relations
  unsigned kinds;   // accepted value kinds
  long period;      // length of the unit in which the field repeats (0: none)
  int dependent;    // the field whose days a value covers (-1: none)
  int index;
  const Family *family;  // how searches move through the field's values
};
extern const RelData rel_data_second, rel_data_minute, rel_data_hour, rel_data_day_of_month, rel_data_month,
    rel_data_year, rel_data_day_of_week, rel_data_week_of_year, rel_data_day_of_year, rel_data_date, rel_data_time,
    rel_data_week_of_month;
extern const RelData *const rel_data[kFieldCount];

// Node types: a value node's type is its field index (kUnbound until a relation binds it).
constexpr unsigned kUnbound = 15, kCycleNode = 16, kAndNode = 17;
// Simplification tags.
enum Tag : unsigned { kTagNone, kTagTrue, kTagFalse, kTagRightOnly, kTagLeftOnly };
// Operators of a bound value node.
enum Op : int { kOpEqual = 1, kOpAtLeast = 2 };

// A tag as seen through a negation: "always true" and "always false" swap.
inline unsigned flippedTag(unsigned tag, bool negated) {
  if (negated && tag == kTagTrue) return kTagFalse;
  if (negated && tag == kTagFalse) return kTagTrue;
  return tag;
}

// Every node starts with two words:
//   head: type (5 bits, top) | negated (1) | alive (1) | fields referred to (14)
//   marks: tag (5 bits, bottom) | extra beat fields (14)
struct Node {
  uint32_t head;
  uint32_t marks;

  unsigned type() const { return head >> 27; }
  bool negated() const { return (head >> 26) & 1u; }
  bool alive() const { return (head >> 25) & 1u; }
  unsigned fields() const { return (head >> 11) & 0x3fffu; }
  unsigned tag() const { return marks & 0x1fu; }
  unsigned beatFields() const { return (marks >> 5) & 0x3fffu; }

  void setType(unsigned type) { head = (head & ~(0x1fu << 27)) | (type << 27); }
  void setAlive(bool on) { head = on ? head | (1u << 25) : head & ~(1u << 25); }
  void setFields(unsigned set) { head = (head & ~(0x3fffu << 11)) | ((set & 0x3fffu) << 11); }
  void setTag(unsigned tag) { marks = (marks & ~0x1fu) | (tag & 0x1fu); }
  void setBeatFields(unsigned set) { marks = (marks & ~(0x3fffu << 5)) | ((set & 0x3fffu) << 5); }
  // Negation flips the flag and swaps "always true" and "always false".
  void negate() {
    head ^= 1u << 26;
    setTag(flippedTag(tag(), true));
  }
};

struct ValueNode : Node {
  const RelData *field;  // null while unbound
  int op;                // kOpEqual or kOpAtLeast once bound
  unsigned kind;
  long value;
  long length;           // a date's span in seconds; a time of day's precision (3600, 60 or 1)
};

struct CycleNode : Node {
  long period;
  long start;
  int hasStart;
};

struct AndNode : Node {
  Node *left;
  Node *right;
  int range;  // built from a range such as 1-5
};

inline bool isValue(const Node *node) { return node->type() < kFieldCount || node->type() == kUnbound; }

// ---- evaluation ----

// A moment and its local broken-down time, filled on first use, with field values cached as read.
// Searches copy these freely by value. The local time follows TZ as of the last zoneRefresh.
struct TimeVar {
  unsigned flags;  // kBrokenValid | one bit per cached field
  int cached[kFieldSlots];
  long now;
  struct tm broken;

  static constexpr unsigned kBrokenValid = 1u << 31;

  void set(long moment) {
    now = moment;
    flags = 0;
  }
  const struct tm &tm();
  long get(int field);
};

// Follows a change of TZ (each evaluation entry point calls it first): the time variables convert
// with what they know of the zone named by TZ, and the C library's own zone is set with tzset.
void zoneRefresh();

// The moves of one family of fields. Each returns false when there is no such moment before 2039.
struct Family {
  const char *name;
  // To the next moment at which the field returns to its minimum; value is the searched value
  // (week_of_year's period ends where the week number falls below it).
  bool (*startOfPeriod)(TimeVar &tv, int field, long value);
  // findStart: to the first moment after the current occurrence at which the field takes value
  // (with atLeast, or a larger one when the clock skips value).
  // Otherwise to the end of the current or next occurrence of value (equal), or to the start of the
  // next period after it (atLeast).
  bool (*specificValue)(TimeVar &tv, int field, long value, bool findStart, bool atLeast);
  // To the next change of the field's value.
  bool (*nextValue)(TimeVar &tv, int field);
};
extern const Family family_basic, family_doy, family_woy, family_d, family_dow, family_wom;

// 2039-01-01 00:00 UTC. Searches end with the local year 2038, at most a day from here; moments
// from 1901 to this are the ones evaluation accepts at all.
constexpr long kEndOfSearches = 2177452800L;
constexpr long kEarliestMoment = -2147483648L;

// Cumulative days at the end of each month, a common year then a leap year.
constexpr int month_day_num[24] = {31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365,
                                   31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366};

// Week of year (weeks run Monday to Sunday) of a zero-based day of the year.
int weekOfYear(int dayOfYear, long year);
// Weekday of 1 January, 0 = Sunday.
int firstWeekday(long year);

// The schedule that the module works on (calls must not overlap); internal errors go there.
extern PeriodicSchedule *current_schedule;
// Records "THIS SHOULD NOT HAPPEN (source,line)" on the current schedule.
void internalError(const char *source, int line);

// Compile-time simplification: tags, contradictions, extra beat fields.
void simplifySchedule(PeriodicSchedule *schedule);
// The period used to order beat fields (fields without a period count as 31536001 seconds).
long beatPeriod(int field);

// Block header of the per-schedule allocator.
struct Block {
  Block *next;
  Block *prev;
};

struct VariableChain {
  VariableChain *outer;
  const char *name;
};

}  // namespace telvi::schedule

struct PeriodicSchedule {
  telvi::schedule::Node *root;
  const char *input;
  long position;
  long *contextStack;  // capacity strlen(input) + 1
  long contextDepth;
  long tokenStart;
  char *error;
  telvi::schedule::VariableChain *variables;
  telvi::schedule::Block *blockHead;
  telvi::schedule::Block *blockTail;
};

namespace telvi::schedule {

// Zeroed memory linked into the schedule's block list; null when malloc fails (the error is
// recorded then).
void *scheduleAlloc(PeriodicSchedule *schedule, size_t size);
void scheduleRelease(PeriodicSchedule *schedule, void *memory);
void scheduleReleaseAll(PeriodicSchedule *schedule);
// Records message as the schedule's error unless it has one already.
void scheduleSetError(PeriodicSchedule *schedule, const char *message);

// The variable store read by periodic_init: the schedule text of $name, or null.
const char *variableText(const char *name);

// Compiles schedule->input into schedule->root; false with schedule->error set on failure.
bool compileSchedule(PeriodicSchedule *schedule);

// Calendar routines, in local time. tm_adjust normalises a broken-down time after an increment and
// returns false once the year reaches 2039. my_mktime converts to seconds and returns -1 when the
// local time does not exist as given (a day past the month's end, a daylight-saving gap).
bool tm_adjust(struct tm *time);
time_t my_mktime(struct tm *time);
bool isLeapYear(long year);
int monthLength(int month, long year);  // month 0..11

}  // namespace telvi::schedule

#endif
