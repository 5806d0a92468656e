// Evaluation of compiled schedules: is a moment inside, when is the next rising or falling edge,
// when does the schedule next fire, and how often does it fire. Every search jumps from one
// calendar boundary to the next through the families' moves; none steps second by second.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "schedule/periodic_tree.h"

namespace telvi::schedule {

namespace {

const char kSource[] = "periodic";
constexpr int kForwardLine = 306;  // a search step that did not move forward
constexpr int kBeatLine = 515;     // a beat at or before its starting moment
// A comparison whose moves land on moments that are not edges (a week number that a year skips)
// searches again from there; this bounds the repetitions (there are fewer years than this).
constexpr int kMaxRetries = 1000;
// Conjunctions nested in conjunctions search their children again and again; a schedule built to
// make that explode is stopped after this many moves instead of holding up the caller.
constexpr long kMaxSteps = 2000000;
const char kTooLong[] = "schedule too complex to search: more than 2000000 steps";

long steps = 0;

// Counts one move of a search; false once the search has made too many.
bool step() {
  if (++steps <= kMaxSteps) return true;
  if (steps == kMaxSteps + 1 && current_schedule != nullptr) scheduleSetError(current_schedule, kTooLong);
  return false;
}

// The node's value as seen from above: its own negation and, for the operands of an or, a flip.
bool negatedView(const Node *node, bool flip) { return node->negated() != flip; }

unsigned tagView(const Node *node, bool flip) { return flippedTag(node->tag(), flip); }

bool compareRaw(const ValueNode *node, TimeVar &tv) {
  if (node->kind == kKindWildcard) return true;
  long value = tv.get(node->field->index);
  return node->op == kOpAtLeast ? value >= node->value : value == node->value;
}

bool holds(const Node *node, TimeVar &tv, bool flip = false) {
  unsigned tag = tagView(node, flip);
  if (tag == kTagTrue) return true;
  if (tag == kTagFalse) return false;
  bool negated = negatedView(node, flip);
  bool raw;
  if (node->type() == kAndNode) {
    auto *pair = static_cast<const AndNode *>(node);
    if (tag == kTagRightOnly) raw = holds(pair->right, tv);
    else if (tag == kTagLeftOnly) raw = holds(pair->left, tv);
    else raw = holds(pair->left, tv) && holds(pair->right, tv);
  } else if (node->type() == kCycleNode) {
    internalError(kSource, __LINE__);  // cycles are always tagged
    raw = true;
  } else {
    raw = compareRaw(static_cast<const ValueNode *>(node), tv);
  }
  return raw != negated;
}

bool holdsAt(const Node *node, long moment) {
  TimeVar tv;
  tv.set(moment);
  return holds(node, tv);
}

// The moves of a field; every field that survives compiling has them (time does not survive).
const Family *familyOf(int field) {
  const Family *family = field >= 0 && field < kFieldCount ? rel_data[field]->family : nullptr;
  if (family == nullptr) internalError(kSource, __LINE__);
  return family;
}

// To the next change of a field's value, counted as one step of the search.
bool nextChange(int field, TimeVar &tv) {
  const Family *family = familyOf(field);
  return family != nullptr && step() && family->nextValue(tv, field);
}

// ---- edges ----

bool findEdge(const Node *node, TimeVar &tv, bool rising);

// One move of a comparison towards its next edge in the direction of its own (un-negated) value:
// rising to the start of the next occurrence, falling to the end of one (or, for "at least", to
// the start of the next period). With a start wanted, "at least" only tells that any later value
// will do when v itself is skipped.
bool compareMove(const ValueNode *node, TimeVar &tv, bool rising) {
  const RelData *field = node->field;
  const Family *family = familyOf(field->index);
  if (family == nullptr) return false;
  bool atLeast = node->op == kOpAtLeast;
  if (atLeast && !(field->min < node->value && node->value <= field->max)) return false;
  return step() && family->specificValue(tv, field->index, node->value, rising, atLeast);
}

bool compareEdge(const ValueNode *node, TimeVar &tv, bool rising) {
  for (int retry = 0; retry < kMaxRetries; ++retry) {
    long before = tv.now;
    if (!compareMove(node, tv, rising)) return false;
    if (tv.now <= before) {
      internalError(kSource, kForwardLine);
      return false;
    }
    TimeVar previous;
    previous.set(tv.now - 1);
    if (compareRaw(node, previous) != rising && compareRaw(node, tv) == rising) return true;
  }
  return false;
}

// The next moments of both children of a conjunction. A child is searched again only when the
// start has passed its moment: a moment found earlier is still the next one when it lies beyond.
struct ChildMoments {
  ChildMoments(const Node *left, const Node *right) : children{left, right} {}

  const Node *children[2];
  TimeVar found[2];
  bool exists[2] = {false, false};
  bool known[2] = {false, false};

  // The child whose moment comes first (the right one on a tie), or -1 when neither has one.
  template <typename Search>
  int next(long from, Search search) {
    for (int i = 0; i < 2; ++i) {
      if (known[i] && (!exists[i] || found[i].now > from)) continue;
      found[i].set(from);
      exists[i] = search(children[i], found[i]);
      known[i] = true;
    }
    if (!exists[0] && !exists[1]) return -1;
    return !exists[0] || (exists[1] && found[1].now <= found[0].now) ? 1 : 0;
  }
  bool together(int first) const { return exists[1 - first] && found[1 - first].now == found[first].now; }
};

// The next moment after tv at which a && b becomes true (rising) or false.
bool conjunctionEdge(const AndNode *node, TimeVar &tv, bool rising) {
  ChildMoments pair(node->left, node->right);
  const Node *const *children = pair.children;
  TimeVar *found = pair.found;
  const bool *exists = pair.exists;
  auto search = [rising](const Node *child, TimeVar &at) { return findEdge(child, at, rising); };
  long from = tv.now;
  for (;;) {
    int first = pair.next(from, search);
    if (first < 0) return false;
    int other = 1 - first;
    long moment = found[first].now;
    if (pair.together(first)) {
      tv = found[first];  // both change at once: both rise, or both held before and fall
      return true;
    }
    long next;
    if (rising) {
      if (holds(children[other], found[first])) {
        tv = found[first];
        return true;
      }
      // The other child is false here and stays false until its next rise.
      if (!exists[other]) return false;
      next = found[other].now - 1;
    } else {
      if (holdsAt(children[other], moment - 1)) {
        tv = found[first];
        return true;
      }
      if (holds(children[other], found[first])) {
        next = moment;
      } else {
        TimeVar rise;
        rise.set(moment);
        if (!findEdge(children[other], rise, true)) return false;
        next = rise.now - 1;
      }
    }
    if (next <= from) {
      internalError(kSource, kForwardLine);
      return false;
    }
    from = next;
  }
}

bool findEdge(const Node *node, TimeVar &tv, bool rising) {
  unsigned tag = node->tag();
  if (tag == kTagTrue || tag == kTagFalse) return false;
  bool direction = rising != node->negated();
  switch (node->type()) {
    case kAndNode: {
      auto *pair = static_cast<const AndNode *>(node);
      if (tag == kTagRightOnly) return findEdge(pair->right, tv, direction);
      if (tag == kTagLeftOnly) return findEdge(pair->left, tv, direction);
      return conjunctionEdge(pair, tv, direction);
    }
    case kCycleNode: return false;
    default: return compareEdge(static_cast<const ValueNode *>(node), tv, direction);
  }
}

// ---- beats ----

bool findBeat(const Node *node, TimeVar &tv, long periodStart, bool flip = false);

bool compareBeat(const ValueNode *node, TimeVar &tv, bool negated) {
  const RelData *field = node->field;
  int index = field->index;
  const Family *family = familyOf(index);
  if (family == nullptr) return false;
  if (node->kind == kKindWildcard) return nextChange(index, tv);
  if (!step()) return false;
  long v = node->value;
  if (node->op == kOpEqual) {
    if (!negated) return family->specificValue(tv, index, v, true, false);
    if (!nextChange(index, tv)) return false;
    return tv.get(index) != v || nextChange(index, tv);
  }
  if (negated ? v <= field->min : v > field->max) return false;
  if (negated ? v > field->max : v <= field->min) return nextChange(index, tv);
  TimeVar changed = tv;
  if (nextChange(index, changed) && (changed.get(index) >= v) != negated) {
    tv = changed;
    return true;
  }
  if (!negated) return family->specificValue(tv, index, v, true, true);
  return family->startOfPeriod(tv, index, v);
}

bool cycleBeat(const CycleNode *node, TimeVar &tv, long periodStart) {
  if (!step()) return false;
  long base = node->hasStart ? node->start : periodStart;
  long t = tv.now;
  long beat;
  if (t >= base) {
    long into = (t - base) % node->period;
    beat = t + node->period - into;
  } else {
    beat = base;
  }
  if (beat >= kEndOfSearches) return false;
  tv.set(beat);
  return true;
}

// A conjunction fires when a child fires while the other holds.
bool conjunctionBeat(const AndNode *node, TimeVar &tv, long periodStart) {
  ChildMoments pair(node->left, node->right);
  auto search = [periodStart](const Node *child, TimeVar &at) { return findBeat(child, at, periodStart); };
  long from = tv.now;
  for (;;) {
    int first = pair.next(from, search);
    if (first < 0) return false;
    const Node *other = pair.children[1 - first];
    long moment = pair.found[first].now;
    if (pair.together(first) || holds(other, pair.found[first])) {
      tv = pair.found[first];
      return true;
    }
    // Until the other child holds again, nothing here can fire.
    TimeVar rise;
    rise.set(moment);
    if (!findEdge(other, rise, true)) return false;
    if (rise.now - 1 <= from) {
      internalError(kSource, kForwardLine);
      return false;
    }
    from = rise.now - 1;
  }
}

bool findBeatOnce(const Node *node, TimeVar &tv, long periodStart, bool flip) {
  unsigned tag = tagView(node, flip);
  if (tag == kTagFalse) return false;
  bool negated = negatedView(node, flip);
  switch (node->type()) {
    case kCycleNode: return cycleBeat(static_cast<const CycleNode *>(node), tv, periodStart);
    case kAndNode: {
      auto *pair = static_cast<const AndNode *>(node);
      if (!negated) return conjunctionBeat(pair, tv, periodStart);
      // An or: the earlier beat of its operands, which are the negated children. An operand that
      // simplification found can never hold (in its place in the schedule) is left out.
      TimeVar beats[2] = {tv, tv};
      bool exists[2] = {false, false};
      if (tag != kTagRightOnly) exists[0] = findBeat(pair->left, beats[0], periodStart, true);
      if (tag != kTagLeftOnly) exists[1] = findBeat(pair->right, beats[1], periodStart, true);
      if (!exists[0] && !exists[1]) return false;
      tv = beats[!exists[0] || (exists[1] && beats[1].now < beats[0].now) ? 1 : 0];
      return true;
    }
    default: return compareBeat(static_cast<const ValueNode *>(node), tv, negated);
  }
}

bool findBeat(const Node *node, TimeVar &tv, long periodStart, bool flip) {
  long start = tv.now;
  TimeVar beat = tv;
  bool found = findBeatOnce(node, beat, periodStart, flip);
  // Fields of the other side of an or that this side should also fire on.
  if (unsigned marks = node->beatFields()) {
    for (int field = 0; field < kFieldCount; ++field) {
      TimeVar change = tv;
      if (!(marks & (1u << field)) || !nextChange(field, change)) continue;
      if ((!found || change.now < beat.now) && holds(node, change, flip)) {
        beat = change;
        found = true;
      }
    }
  }
  if (!found) return false;
  if (beat.now <= start) {
    internalError(kSource, kBeatLine);
    return false;
  }
  tv = beat;
  return true;
}

// ---- frequency ----

long frequency(const Node *node, bool &cycle, bool flip = false) {
  cycle = false;
  switch (node->type()) {
    case kCycleNode: cycle = true; return static_cast<const CycleNode *>(node)->period;
    case kAndNode: {
      auto *pair = static_cast<const AndNode *>(node);
      bool either = negatedView(node, flip);  // an or, whose operands are the negated children
      bool leftCycle, rightCycle;
      long left = frequency(pair->left, leftCycle, either), right = frequency(pair->right, rightCycle, either);
      cycle = leftCycle || rightCycle;
      if (!either && !cycle) return left > right ? left : right;
      if (left == 0) return right;
      if (right == 0) return left;
      return left < right ? left : right;
    }
    default: {
      // A comparison that does not restrict its field (a wildcard, hour >= 0) sets no pace.
      auto *value = static_cast<const ValueNode *>(node);
      if (node->tag() == kTagTrue || node->tag() == kTagFalse || value->field == nullptr) return 0;
      return value->field->period;
    }
  }
}

// Local 2038 ends up to a day after it does in UTC.
bool supported(long moment) { return moment >= kEarliestMoment && moment < kEndOfSearches + 86400; }

// Evaluation starts each call without an error of an earlier one; moments outside the years it
// handles are never inside and have no edges.
bool begin(PeriodicSchedule *schedule, long time, long periodStart = 0) {
  current_schedule = schedule;
  if (schedule == nullptr || schedule->root == nullptr) return false;
  std::free(schedule->error);
  schedule->error = nullptr;
  steps = 0;
  zoneRefresh();
  return supported(time) && supported(periodStart);
}

}  // namespace

PeriodicSchedule *current_schedule = nullptr;

void internalError(const char *source, int line) {
  if (current_schedule == nullptr) return;
  char text[96];
  std::snprintf(text, sizeof text, "THIS SHOULD NOT HAPPEN (%s,%d)", source, line);
  scheduleSetError(current_schedule, text);
}

}  // namespace telvi::schedule

using namespace telvi::schedule;

extern "C" {

int periodic_inrange(PeriodicSchedule *schedule, long time, long) {
  if (!begin(schedule, time)) return 0;
  TimeVar tv;
  tv.set(time);
  bool inside = holds(schedule->root, tv);
  return schedule->error == nullptr && inside ? 1 : 0;
}

long periodic_secs_to_wait(PeriodicSchedule *schedule, int edge_type, long time, long period_start) {
  if (!begin(schedule, time, period_start)) return 0;
  TimeVar tv;
  tv.set(time);
  bool found;
  switch (edge_type) {
    case PERIODIC_RISING: found = findEdge(schedule->root, tv, true); break;
    case PERIODIC_FALLING: found = findEdge(schedule->root, tv, false); break;
    case PERIODIC_BEAT: found = findBeat(schedule->root, tv, period_start); break;
    default: internalError(kSource, __LINE__); found = false; break;
  }
  if (!found || schedule->error != nullptr) return 0;
  return tv.now - time;
}

long periodic_freq(PeriodicSchedule *schedule, int *flag) {
  if (flag != nullptr) *flag = 1;
  if (!begin(schedule, 0)) return 0;
  bool cycle;
  return frequency(schedule->root, cycle);
}

}  // extern "C"
