// The schedule module's entry points, the per-schedule allocator, the variable store, the field
// table and the calendar routines that compiling dates needs.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "schedule/periodic_tree.h"
#include "telvi/cfgfile.h"
#include "telvi/interface.h"
#include "telvi/toe.h"

namespace telvi::schedule {

const char *const number_types_names[6] = {"number", "month", "day", "hour", "time", "date"};

// name, min, max, ranges, kinds, period, dependent, index, family
const RelData rel_data_second = {"second", 0, 59, false, kKindNumber | kKindWildcard, 60, -1, kSecond, &family_basic};
const RelData rel_data_minute = {"minute", 0, 59, false, kKindNumber | kKindWildcard, 3600, -1, kMinute, &family_basic};
const RelData rel_data_hour = {"hour", 0, 23, false, kKindNumber | kKindHour | kKindWildcard, 86400, -1, kHour, &family_basic};
const RelData rel_data_day_of_month = {"day_of_month", 1, 31, true, kKindNumber | kKindWildcard, 2628000, -1,
                                       kDayOfMonth, &family_basic};
const RelData rel_data_month = {"month", 1, 12, true, kKindNumber | kKindMonth | kKindWildcard, 31536000, kDayOfYear,
                                kMonth, &family_basic};
const RelData rel_data_year = {"year", 1969, 2038, true, kKindNumber | kKindWildcard, 0, -1, kYear, &family_basic};
const RelData rel_data_day_of_week = {"day_of_week", 0, 6, true, kKindNumber | kKindDay | kKindWildcard, 604800, -1,
                                      kDayOfWeek, &family_dow};
const RelData rel_data_week_of_year = {"week_of_year", 0, 53, true, kKindNumber | kKindWildcard, 31536000,
                                       kDayOfYear, kWeekOfYear, &family_woy};
const RelData rel_data_day_of_year = {"day_of_year", 1, 366, true, kKindNumber | kKindWildcard, 31536000, -1,
                                      kDayOfYear, &family_doy};
const RelData rel_data_date = {"date", 0, 2147483647, false, kKindDate, 0, -1, kDate, &family_d};
const RelData rel_data_time = {"time", 0, 0, false, kKindHour | kKindTime | kKindWildcard, 0, -1, kTime, nullptr};
const RelData rel_data_week_of_month = {"week_of_month", 1, 5, true, kKindNumber | kKindWildcard, 2628000,
                                        kDayOfMonth, kWeekOfMonth, &family_wom};

const RelData *const rel_data[kFieldCount] = {
    &rel_data_second,       &rel_data_minute,      &rel_data_hour,        &rel_data_day_of_month,
    &rel_data_month,        &rel_data_year,        &rel_data_day_of_week, &rel_data_week_of_year,
    &rel_data_day_of_year,  &rel_data_date,        &rel_data_time,        &rel_data_week_of_month};

// ---- allocator ----

namespace {

// The payload starts after the header, aligned for any type.
constexpr size_t kHeaderSize = (sizeof(Block) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t) *
                               alignof(std::max_align_t);

const char kNoMemory[] = "no more memory: malloc() failed";

}  // namespace

void *scheduleAlloc(PeriodicSchedule *schedule, size_t size) {
  auto *block = static_cast<Block *>(std::calloc(1, kHeaderSize + size));
  if (block == nullptr) {
    scheduleSetError(schedule, kNoMemory);
    return nullptr;
  }
  block->prev = schedule->blockTail;
  block->next = nullptr;
  if (schedule->blockTail != nullptr) schedule->blockTail->next = block;
  else schedule->blockHead = block;
  schedule->blockTail = block;
  return reinterpret_cast<char *>(block) + kHeaderSize;
}

void scheduleRelease(PeriodicSchedule *schedule, void *memory) {
  if (memory == nullptr) return;
  auto *block = reinterpret_cast<Block *>(static_cast<char *>(memory) - kHeaderSize);
  if (block->prev != nullptr) block->prev->next = block->next;
  else schedule->blockHead = block->next;
  if (block->next != nullptr) block->next->prev = block->prev;
  else schedule->blockTail = block->prev;
  std::free(block);
}

void scheduleReleaseAll(PeriodicSchedule *schedule) {
  for (Block *block = schedule->blockHead; block != nullptr;) {
    Block *next = block->next;
    std::free(block);
    block = next;
  }
  schedule->blockHead = schedule->blockTail = nullptr;
}

void scheduleSetError(PeriodicSchedule *schedule, const char *message) {
  if (schedule->error == nullptr) schedule->error = strdup(message);
}

// ---- variables ----

namespace {

const char kVariableFile[] = "base-periodic-d.x";
toe *variableStore = nullptr;

}  // namespace

const char *variableText(const char *name) {
  if (variableStore == nullptr) return nullptr;
  return toeLookupString(variableStore, 0, "value", name);
}

// ---- calendar ----

bool isLeapYear(long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int monthLength(int month, long year) {
  const int *ends = month_day_num + (isLeapYear(year) ? 12 : 0);
  return ends[month] - (month > 0 ? ends[month - 1] : 0);
}

bool tm_adjust(struct tm *t) {
  // Increments are small, but carry whole multiples so that no field is left out of range.
  if (t->tm_sec > 59) t->tm_min += t->tm_sec / 60, t->tm_sec %= 60;
  if (t->tm_min > 59) t->tm_hour += t->tm_min / 60, t->tm_min %= 60;
  if (t->tm_hour > 23) t->tm_mday += t->tm_hour / 24, t->tm_hour %= 24;
  for (;;) {
    if (t->tm_mon > 11) {
      t->tm_year += t->tm_mon / 12;
      t->tm_mon %= 12;
    }
    if (t->tm_year >= 139) return false;
    int length = monthLength(t->tm_mon, t->tm_year + 1900L);
    if (t->tm_mday <= length) break;
    t->tm_mday -= length;
    ++t->tm_mon;
  }
  return true;
}

time_t my_mktime(struct tm *t) {
  struct tm asked = *t;
  time_t result = mktime(t);
  if (result <= 0) return result;
  struct tm back;
  if (localtime_r(&result, &back) == nullptr) return -1;
  if (back.tm_sec != asked.tm_sec || back.tm_min != asked.tm_min || back.tm_hour != asked.tm_hour ||
      back.tm_mday != asked.tm_mday || back.tm_mon != asked.tm_mon || back.tm_year != asked.tm_year)
    return -1;
  return result;
}

}  // namespace telvi::schedule

using namespace telvi::schedule;

namespace {

char *lastParseMessage = nullptr;  // the message of the latest failed parse

void dumpNode(std::string &out, const Node *node, bool flip) {
  bool negated = node->negated() != flip;
  unsigned type = node->type();
  if (type == kAndNode) {
    auto *conjunction = static_cast<const AndNode *>(node);
    // A negated and is an or of the negated children: print it that way.
    out += negated ? "or" : "and";
    if (conjunction->range) out += "-range";
    out += '(';
    dumpNode(out, conjunction->left, negated);
    out += ',';
    dumpNode(out, conjunction->right, negated);
    out += ')';
    return;
  }
  if (negated) out += '!';
  if (type == kCycleNode) {
    auto *cycle = static_cast<const CycleNode *>(node);
    out += "cycle(" + std::to_string(cycle->period);
    if (cycle->hasStart) out += ",start=" + std::to_string(cycle->start);
    out += ')';
    return;
  }
  auto *value = static_cast<const ValueNode *>(node);
  out += value->field != nullptr ? value->field->name : "?";
  out += value->op == kOpAtLeast ? ">=" : "=";
  out += value->kind == kKindWildcard ? std::string("*") : std::to_string(value->value);
}

}  // namespace

extern "C" {

const char *periodic_init(void) {
  periodic_deinit();
  const char *path = intFileFromInterfacePath(kVariableFile, 0);
  if (path == nullptr || access(path, F_OK) != 0) return "can not access file base-periodic-d.x";
  std::string file = path;
  toe *store = toeCreate(nullptr, 0, nullptr);
  if (store == nullptr) return "can not load file base-periodic-d.x";
  if (cfgfileParseFile(file.c_str(), store) != 0) {
    toeDestroyHierarchy(store);
    return "can not load file base-periodic-d.x";
  }
  variableStore = store;
  return nullptr;
}

void periodic_deinit(void) {
  if (variableStore != nullptr) toeDestroyHierarchy(variableStore);
  variableStore = nullptr;
}

PeriodicSchedule *periodic_parse(const char *text, const char **message) {
  static const char empty[] = "";
  auto fail = [&](const char *why) -> PeriodicSchedule * {
    std::free(lastParseMessage);
    lastParseMessage = strdup(why);
    if (message != nullptr) *message = lastParseMessage != nullptr ? lastParseMessage : kNoMemory;
    return nullptr;
  };
  auto *schedule = static_cast<PeriodicSchedule *>(std::calloc(1, sizeof(PeriodicSchedule)));
  if (schedule == nullptr) return fail(kNoMemory);
  current_schedule = schedule;
  schedule->input = text != nullptr ? text : "";
  if (!compileSchedule(schedule)) {
    PeriodicSchedule *result = fail(schedule->error != nullptr ? schedule->error : "syntax error");
    periodic_free(schedule);
    return result;
  }
  simplifySchedule(schedule);
  // The text belongs to the caller: nothing may point into it after the parse.
  schedule->input = nullptr;
  schedule->position = schedule->tokenStart = 0;
  schedule->contextStack = nullptr;
  schedule->contextDepth = 0;
  if (message != nullptr) *message = empty;
  return schedule;
}

const char *periodic_get_error(PeriodicSchedule *schedule) {
  current_schedule = schedule;
  return schedule != nullptr ? schedule->error : nullptr;
}

void periodic_free(PeriodicSchedule *schedule) {
  if (schedule == nullptr) return;
  if (current_schedule == schedule) current_schedule = nullptr;
  std::free(schedule->error);
  schedule->error = nullptr;
  scheduleReleaseAll(schedule);
  std::free(schedule);
}

char *periodic_dump(PeriodicSchedule *schedule) {
  if (schedule == nullptr || schedule->root == nullptr) return nullptr;
  current_schedule = schedule;
  std::string out;
  dumpNode(out, schedule->root, false);
  return strdup(out.c_str());
}

}  // extern "C"
