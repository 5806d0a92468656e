// Simplification, run once when a schedule is compiled: parts that are always true or always false
// are tagged so that evaluation never searches them, conjunctions that can never hold (hour = 5 &&
// hour = 6) are found with sets of possible field values, and each side of an or learns which
// fields of the other side it should also fire on.
#include <array>
#include <vector>

#include "schedule/periodic_tree.h"

namespace telvi::schedule {

namespace {

const char kSource[] = "./periodic_simp";
constexpr long kNoPeriod = 31536001;
// Paths through a conjunction multiply with every or inside it; an analysis that would visit more
// comparisons than this is given up (leaving the tree as it is, which is always correct).
constexpr long kVisitBudget = 1000000;
// Each step along a path is a level of recursion; longer paths are not analysed.
constexpr int kMaxDepth = 4000;

unsigned fieldBit(int field) { return 1u << field; }

// A set of integers: membership below the first boundary, then a toggle at each boundary.
class ValueSet {
 public:
  bool empty() const { return !belowIn_ && bounds_.empty(); }
  void complement() { belowIn_ = !belowIn_; }
  void removeAll() {
    belowIn_ = false;
    bounds_.clear();
  }
  void removeBelow(long v) { intersect(ValueSet(false, {v})); }
  void removeAbove(long v) { intersect(ValueSet(true, {v + 1})); }

  // Merges the two boundary lists, keeping a boundary wherever membership of both changes.
  void intersect(const ValueSet &other) {
    std::vector<long> merged;
    merged.reserve(bounds_.size() + other.bounds_.size());
    bool inA = belowIn_, inB = other.belowIn_, in = inA && inB;
    bool belowIn = in;
    size_t i = 0, j = 0;
    while (i < bounds_.size() || j < other.bounds_.size()) {
      long x = j >= other.bounds_.size() || (i < bounds_.size() && bounds_[i] < other.bounds_[j]) ? bounds_[i]
                                                                                                 : other.bounds_[j];
      while (i < bounds_.size() && bounds_[i] == x) inA = !inA, ++i;
      while (j < other.bounds_.size() && other.bounds_[j] == x) inB = !inB, ++j;
      if ((inA && inB) != in) {
        in = !in;
        merged.push_back(x);
      }
    }
    belowIn_ = belowIn;
    bounds_ = std::move(merged);
  }

  ValueSet() = default;

 private:
  ValueSet(bool belowIn, std::vector<long> bounds) : belowIn_(belowIn), bounds_(std::move(bounds)) {}
  bool belowIn_ = true;  // a new set is full
  std::vector<long> bounds_;
};

using FieldSets = std::array<ValueSet, kFieldSlots>;

// The days a value of month, week_of_year or week_of_month covers: its first day lies in a..b and
// its last day in c..d (days of the year, or of the month), so b..c are always inside it.
bool conversion(int field, long v, long bounds[4]) {
  long &a = bounds[0], &b = bounds[1], &c = bounds[2], &d = bounds[3];
  switch (field) {
    case kMonth:
      if (v < 1 || v > 12) return false;
      a = v == 1 ? 1 : month_day_num[v - 2] + 1;
      b = v == 1 ? 1 : month_day_num[12 + v - 2] + 1;
      c = month_day_num[v - 1];
      d = month_day_num[12 + v - 1];
      return true;
    case kWeekOfYear:
      // b..c are the days always in the week. Week 0 exists only in some years, so no day is
      // always in it (c = 0); no bound is capped at 366, since week 53 exists only in some years
      // too and day 366 may lie in week 52.
      if (v == 0) a = 1, b = 1, c = 0, d = 3;
      else if (v == 1) a = 1, b = 4, c = 4, d = 10;
      else a = 7 * (v - 2) + 5, b = 7 * (v - 2) + 11, c = a + 6, d = b + 6;
      return true;
    case kWeekOfMonth:
      a = b = 7 * (v - 1) + 1;
      c = d = a + 6;
      return true;
    default: return false;
  }
}

// The values of the target field that a comparison leaves possible.
void narrow(ValueSet &target, const ValueNode *node, bool negated, const long bounds[4]) {
  long v = node->value, lo = node->field->min, hi = node->field->max;
  long a = bounds[0], b = bounds[1], c = bounds[2], d = bounds[3];
  ValueSet set;
  if (node->op == kOpEqual) {
    if (v > lo) set.removeBelow(negated ? b : a);
    if (v < hi) set.removeAbove(negated ? c : d);
  } else if (v > lo) {
    if (v <= hi) set.removeBelow(negated ? d : a);
    else set.removeAll();
  }
  if (negated) set.complement();
  target.intersect(set);
}

// ---- balancing long chains ----

// a && b && c ... and a || b || c ... compile into chains as deep as they are long. A chain of
// more operands than this is rebuilt as a balanced tree of the same nodes, so that every later
// walk over the tree (and every search) recurses only as deep as the brackets are nested.
constexpr size_t kLongestChain = 32;

// The operands of the conjunction headed by node: everything below it reached through and nodes
// without negation (an or chain is a negated conjunction of negated operands, so it counts too).
void collectChain(AndNode *head, std::vector<Node *> &operands, std::vector<AndNode *> &joints) {
  std::vector<Node *> pending = {head->right, head->left};
  while (!pending.empty()) {
    Node *node = pending.back();
    pending.pop_back();
    if (node->type() == kAndNode && !node->negated()) {
      auto *pair = static_cast<AndNode *>(node);
      joints.push_back(pair);
      pending.push_back(pair->right);
      pending.push_back(pair->left);
    } else {
      operands.push_back(node);
    }
  }
}

Node *joinBalanced(Node *const *operands, size_t count, std::vector<AndNode *> &joints) {
  if (count == 1) return operands[0];
  AndNode *joint = joints.back();
  joints.pop_back();
  joint->head = 0;  // an and node without negation; marks and tags come later
  joint->setType(kAndNode);
  joint->range = 0;
  joint->left = joinBalanced(operands, count / 2, joints);
  joint->right = joinBalanced(operands + count / 2, count - count / 2, joints);
  return joint;
}

void balance(Node *node) {
  if (node->type() != kAndNode) return;
  auto *head = static_cast<AndNode *>(node);
  std::vector<Node *> operands;
  std::vector<AndNode *> joints;
  collectChain(head, operands, joints);
  for (Node *operand : operands) balance(operand);
  if (operands.size() <= kLongestChain) return;
  size_t half = operands.size() / 2;
  head->left = joinBalanced(operands.data(), half, joints);
  head->right = joinBalanced(operands.data() + half, operands.size() - half, joints);
  head->range = 0;
}

// ---- phase 1: field sets and tags, bottom-up ----

void tagTree(Node *node) {
  unsigned tag = kTagNone;
  switch (node->type()) {
    case kCycleNode: tag = kTagTrue; break;
    case kAndNode: {
      auto *pair = static_cast<AndNode *>(node);
      tagTree(pair->left);
      tagTree(pair->right);
      node->setFields(pair->left->fields() | pair->right->fields());
      unsigned left = pair->left->tag(), right = pair->right->tag();
      if (left == kTagFalse || right == kTagFalse) tag = kTagFalse;
      else if (left == kTagTrue && right == kTagTrue) tag = kTagTrue;
      else if (left == kTagTrue) tag = kTagRightOnly;
      else if (right == kTagTrue) tag = kTagLeftOnly;
      break;
    }
    default: {
      auto *value = static_cast<ValueNode *>(node);
      if (value->field == nullptr) break;
      unsigned fields = fieldBit(value->field->index);
      if (value->field->dependent >= 0) fields |= fieldBit(value->field->dependent);
      node->setFields(fields);
      if (value->kind == kKindWildcard) tag = kTagTrue;
      else if (value->op == kOpAtLeast && value->value <= value->field->min) tag = kTagTrue;
      else if (value->op == kOpAtLeast && value->value > value->field->max) tag = kTagFalse;
      break;
    }
  }
  node->setTag(flippedTag(tag, node->negated()));
}

// ---- phase 2: contradictions ----

// What remains to hold after a node on the current path: the right sides of the conjunctions
// that the path is inside.
struct Continuation {
  const Node *node;
  bool flip;
  const Continuation *next;
};

struct Analysis {
  long visits = 0;  // shared by every analysis of one schedule
  int depth = 0;
  bool abandoned = false;
};

bool walk(Analysis &analysis, Node *node, bool flip, FieldSets &sets, const Continuation *rest);

bool proceed(Analysis &analysis, FieldSets &sets, const Continuation *rest) {
  if (rest == nullptr) return true;
  return walk(analysis, const_cast<Node *>(rest->node), rest->flip, sets, rest->next);
}

// Whether some moment can satisfy the node (seen through flip) together with the rest of the path,
// given the sets; marks what can.
bool walkNode(Analysis &analysis, Node *node, bool flip, FieldSets &sets, const Continuation *rest);

bool walk(Analysis &analysis, Node *node, bool flip, FieldSets &sets, const Continuation *rest) {
  if (analysis.abandoned) return false;
  if (++analysis.depth > kMaxDepth) analysis.abandoned = true;
  bool alive = !analysis.abandoned && walkNode(analysis, node, flip, sets, rest);
  --analysis.depth;
  if (alive) node->setAlive(true);
  return alive;
}

bool walkNode(Analysis &analysis, Node *node, bool flip, FieldSets &sets, const Continuation *rest) {
  unsigned tag = flippedTag(node->tag(), flip);
  if (tag == kTagFalse) return false;
  if (tag == kTagTrue || node->type() == kCycleNode) return proceed(analysis, sets, rest);
  bool negated = node->negated() != flip;
  bool alive;
  if (node->type() == kAndNode) {
    auto *pair = static_cast<AndNode *>(node);
    if (tag == kTagRightOnly) {
      alive = walk(analysis, pair->right, negated, sets, rest);
    } else if (tag == kTagLeftOnly) {
      alive = walk(analysis, pair->left, negated, sets, rest);
    } else if (!negated) {
      Continuation right = {pair->right, false, rest};
      alive = walk(analysis, pair->left, false, sets, &right);
    } else {
      // An or: each operand (a negated child) on its own.
      FieldSets copy = sets;
      bool left = walk(analysis, pair->left, true, copy, rest);
      bool right = walk(analysis, pair->right, true, sets, rest);
      alive = left || right;
    }
  } else {
    if (++analysis.visits > kVisitBudget) {
      analysis.abandoned = true;
      return false;
    }
    auto *value = static_cast<ValueNode *>(node);
    int field = value->field->index;
    long own[4] = {value->value, value->value, value->value, value->value};
    narrow(sets[field], value, negated, own);
    long days[4];
    if (value->field->dependent >= 0) {
      if (conversion(field, value->value, days)) narrow(sets[value->field->dependent], value, negated, days);
      else internalError(kSource, __LINE__);  // the compiler checked the value's range
    }
    bool possible = !sets[field].empty() &&
                    (value->field->dependent < 0 || !sets[value->field->dependent].empty());
    alive = possible && proceed(analysis, sets, rest);
  }
  return alive;
}

void clearAlive(Node *node) {
  node->setAlive(false);
  if (node->type() == kAndNode) {
    clearAlive(static_cast<AndNode *>(node)->left);
    clearAlive(static_cast<AndNode *>(node)->right);
  }
}

// Follows the walk's paths from an analysed node and tags what it found can never hold there.
void sweep(Node *node, bool flip) {
  if (node->type() != kAndNode) return;
  auto *pair = static_cast<AndNode *>(node);
  unsigned tag = node->tag();
  bool negated = node->negated() != flip;
  if (tag == kTagRightOnly) return sweep(pair->right, negated);
  if (tag == kTagLeftOnly) return sweep(pair->left, negated);
  if (tag != kTagNone) return;
  if (!node->alive()) {
    // The node as seen never holds here: the node itself is always false (or, seen negated,
    // always true).
    node->setTag(flip ? kTagTrue : kTagFalse);
    return;
  }
  if (!negated) {
    sweep(pair->left, false);
    sweep(pair->right, false);
    return;
  }
  bool left = pair->left->alive(), right = pair->right->alive();
  if (!left) node->setTag(kTagRightOnly);
  else if (!right) node->setTag(kTagLeftOnly);
  if (left) sweep(pair->left, true);
  if (right) sweep(pair->right, true);
}

void analyse(Node *node, long &visits) {
  if (node->type() != kAndNode) return;
  auto *pair = static_cast<AndNode *>(node);
  analyse(pair->left, visits);
  analyse(pair->right, visits);
  if ((pair->left->fields() & pair->right->fields()) == 0) return;
  // An or is examined as what it is, then (if still undecided) the conjunction under its negation:
  // when that can never hold, the or always does (second < 30 || second >= 30).
  for (bool flip : {false, true}) {
    if (node->tag() != kTagNone || (flip && !node->negated()) || visits > kVisitBudget) break;
    clearAlive(node);
    Analysis analysis;
    analysis.visits = visits;
    FieldSets sets;
    walk(analysis, node, flip, sets, nullptr);
    if (!analysis.abandoned) sweep(node, flip);
    visits = analysis.visits;
    clearAlive(node);
  }
}

// The sweep tags nodes deep down: bring the and nodes above them up to date.
void retag(Node *node) {
  if (node->type() != kAndNode) return;
  auto *pair = static_cast<AndNode *>(node);
  retag(pair->left);
  retag(pair->right);
  unsigned own = node->tag();
  if (own == kTagTrue || own == kTagFalse) return;
  unsigned left = pair->left->tag(), right = pair->right->tag();
  auto decided = [](unsigned tag) { return tag == kTagTrue || tag == kTagFalse; };
  unsigned raw = own;
  if (own == kTagRightOnly) {
    if (decided(right)) raw = right;
  } else if (own == kTagLeftOnly) {
    if (decided(left)) raw = left;
  } else if (left == kTagFalse || right == kTagFalse) {
    raw = kTagFalse;
  } else if (left == kTagTrue && right == kTagTrue) {
    raw = kTagTrue;
  } else if (left == kTagTrue) {
    raw = kTagRightOnly;
  } else if (right == kTagTrue) {
    raw = kTagLeftOnly;
  }
  node->setTag(flippedTag(raw, node->negated()));
}

// ---- extra beat fields and their push to the leaves ----

long shortestPeriod(unsigned fields) {
  long shortest = kNoPeriod;
  for (int field = 0; field < kFieldCount; ++field)
    if ((fields & fieldBit(field)) && beatPeriod(field) < shortest) shortest = beatPeriod(field);
  return shortest;
}

unsigned extraBeatFields(unsigned own, unsigned other) {
  unsigned candidates = other & ~own;
  long period = shortestPeriod(candidates);
  if (candidates == 0 || period > shortestPeriod(own)) return 0;
  unsigned marks = 0;
  for (int field = 0; field < kFieldCount; ++field)
    if ((candidates & fieldBit(field)) && beatPeriod(field) == period) marks |= fieldBit(field);
  return marks;
}

// Seen through De Morgan: an and node is an or when its view is negated, whatever way the
// brackets grouped a || b || c.
void markOrs(Node *node, bool flip) {
  if (node->type() != kAndNode) return;
  auto *pair = static_cast<AndNode *>(node);
  bool either = node->negated() != flip;
  markOrs(pair->left, either);
  markOrs(pair->right, either);
  if (!either) return;
  unsigned left = pair->left->fields(), right = pair->right->fields();
  pair->left->setBeatFields(extraBeatFields(left, right));
  pair->right->setBeatFields(extraBeatFields(right, left));
}

long marksPeriod(unsigned marks) {
  for (int field = 0; field < kFieldCount; ++field)
    if (marks & fieldBit(field)) return beatPeriod(field);
  return kNoPeriod;
}

void pushMarks(Node *node, unsigned inherited, long inheritedPeriod) {
  unsigned marks = node->beatFields();
  if (inheritedPeriod < marksPeriod(marks)) marks = inherited;
  if (node->type() == kAndNode) {
    auto *pair = static_cast<AndNode *>(node);
    long period = marksPeriod(marks);
    pushMarks(pair->left, marks, period);
    pushMarks(pair->right, marks, period);
    node->setBeatFields(0);
  } else {
    node->setBeatFields(marks);
  }
}

}  // namespace

long beatPeriod(int field) {
  long period = field >= 0 && field < kFieldCount ? rel_data[field]->period : 0;
  return period > 0 ? period : kNoPeriod;
}

void simplifySchedule(PeriodicSchedule *schedule) {
  Node *root = schedule->root;
  if (root == nullptr) return;
  balance(root);
  tagTree(root);
  long visits = 0;
  analyse(root, visits);
  retag(root);
  markOrs(root, false);
  pushMarks(root, 0, kNoPeriod);
}

}  // namespace telvi::schedule
