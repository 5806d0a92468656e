// The schedule compiler: a hand-written lexer and a recursive-descent parser for the LALR(1)
// grammar of schedules, with the checks and the binding of relations into comparisons that use
// only "equal" and "at least" plus negation.
//
// The parser reads one token ahead, as an LALR(1) parser does, and runs a rule's checks at the same
// token that such a parser would reduce it at, so that the first error (the one reported) is the
// same. Every node and record lives in the schedule's own allocator; an error is recorded once
// and unwinds the whole parse, after which the caller frees the schedule.
#include <cfloat>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "schedule/periodic_tree.h"

namespace telvi::schedule {
namespace {

// Thrown once the schedule's error is recorded; caught by compileSchedule.
struct ParseAbort {};

// Brackets, negations and variables nested deeper than this fail instead of exhausting the stack.
constexpr int kMaxNesting = 1000;
// Nodes made for one schedule, its variables included: a bound on the depth of the tree (which
// every walk over it recurses through), and on the work that variables used many times can cause.
constexpr int kMaxNodes = 10000;
// A cycle's period, like every time in a schedule, fits in 31 bits.
constexpr long kMaxPeriod = 2147483647;

enum Tok {
  tEnd, tLParen, tRParen, tStar, tComma, tMinus, tSlash, tLess, tLessEqual, tGreater, tGreaterEqual, tAssign,
  tEqual, tNotEqual, tNot, tAnd, tOr, tVar, tNumber, tClock, tCron, tCycle, tPeriod, tStart, tEpoch, tSuffix,
  tField, tUnit, tMonth, tWeekday
};
enum Suffix { kAm, kPm, kNoon, kMidnight, kNoSuffix = -1 };

struct NumberRecord {
  int kind;  // 1: number
  uint32_t integer;
  double fraction;
  long unit;
  long granularity;
};

struct ClockRecord {
  uint16_t hours, minutes, seconds;
  int parts;
};

struct Token {
  Tok type = tEnd;
  long start = 0;
  long value = 0;  // field index, unit in seconds, month, weekday or suffix
  NumberRecord *number = nullptr;
  ClockRecord *clock = nullptr;
  Node *tree = nullptr;  // a variable's compiled schedule
};

struct Keyword {
  const char *word;
  Tok type;
  long value;
};

const Keyword kKeywords[] = {
    {"cron", tCron, 0}, {"cycle", tCycle, 0}, {"period", tPeriod, 0}, {"start", tStart, 0}, {"epoch", tEpoch, 0},
    {"am", tSuffix, kAm}, {"pm", tSuffix, kPm}, {"noon", tSuffix, kNoon}, {"midnight", tSuffix, kMidnight},
    {"second", tField, kSecond}, {"minute", tField, kMinute}, {"hour", tField, kHour},
    {"day_of_month", tField, kDayOfMonth}, {"month", tField, kMonth}, {"year", tField, kYear},
    {"day_of_week", tField, kDayOfWeek}, {"week_of_year", tField, kWeekOfYear},
    {"day_of_year", tField, kDayOfYear}, {"date", tField, kDate}, {"time", tField, kTime},
    {"week_of_month", tField, kWeekOfMonth},
    {"w", tUnit, 604800}, {"week", tUnit, 604800}, {"weeks", tUnit, 604800}, {"wk", tUnit, 604800},
    {"wks", tUnit, 604800},
    {"d", tUnit, 86400}, {"day", tUnit, 86400}, {"days", tUnit, 86400},
    {"h", tUnit, 3600}, {"hours", tUnit, 3600}, {"hr", tUnit, 3600}, {"hrs", tUnit, 3600},
    {"m", tUnit, 60}, {"min", tUnit, 60}, {"minutes", tUnit, 60},
    {"s", tUnit, 1}, {"sec", tUnit, 1}, {"secs", tUnit, 1}, {"seconds", tUnit, 1},
    {"jan", tMonth, 1}, {"january", tMonth, 1}, {"feb", tMonth, 2}, {"february", tMonth, 2},
    {"mar", tMonth, 3}, {"march", tMonth, 3}, {"apr", tMonth, 4}, {"april", tMonth, 4}, {"may", tMonth, 5},
    {"jun", tMonth, 6}, {"june", tMonth, 6}, {"jul", tMonth, 7}, {"july", tMonth, 7}, {"aug", tMonth, 8},
    {"august", tMonth, 8}, {"sep", tMonth, 9}, {"september", tMonth, 9}, {"oct", tMonth, 10},
    {"october", tMonth, 10}, {"nov", tMonth, 11}, {"november", tMonth, 11}, {"dec", tMonth, 12},
    {"december", tMonth, 12},
    {"sun", tWeekday, 0}, {"sunday", tWeekday, 0}, {"mon", tWeekday, 1}, {"monday", tWeekday, 1},
    {"tue", tWeekday, 2}, {"tuesday", tWeekday, 2}, {"wed", tWeekday, 3}, {"wednesday", tWeekday, 3},
    {"thu", tWeekday, 4}, {"thursday", tWeekday, 4}, {"fri", tWeekday, 5}, {"friday", tWeekday, 5},
    {"sat", tWeekday, 6}, {"saturday", tWeekday, 6},
};

// Seconds of the field words used as units: "5 minute".
const long kFieldUnits[3] = {1, 60, 3600};

// The relation operators as written.
enum RelOp { kEq, kNe, kLt, kLe, kGt, kGe };
const char *const kRelOpText[] = {"=", "!=", "<", "<=", ">", ">="};

const char *const kCronNames[5] = {"cron minute field", "cron hour field", "cron day of month field",
                                   "cron month field", "cron day of week field"};
const int kCronFields[5] = {kMinute, kHour, kDayOfMonth, kMonth, kDayOfWeek};

std::string format(const char *pattern, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int size = std::vsnprintf(nullptr, 0, pattern, copy);
  va_end(copy);
  std::string text(size > 0 ? size : 0, '\0');
  if (size > 0) std::vsnprintf(text.data(), text.size() + 1, pattern, args);
  return text;
}

// Character classes of the language, in ASCII whatever the process's locale says.
bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isPrintable(char c) { return c >= ' ' && c <= '~'; }
bool isWordChar(char c) { return isLetter(c) || isDigit(c) || c == '_'; }

// A range a-b or a single value a (b null) of a relation's value list.
struct Item {
  ValueNode *low;
  ValueNode *high;
};

// A time of day broken into its parts, finest last: hour only, hour and minute, or all three.
struct DayTime {
  bool present = false;
  long hour = 0, minute = 0, second = 0;
  long granularity = 86400;  // one unit of the finest part given (a date without one spans a day)
};

int nesting = 0;
int nodesMade = 0;

class Parser {
 public:
  explicit Parser(PeriodicSchedule *schedule) : s_(schedule), capacity_(std::strlen(schedule->input) + 1) {}

  // schedule: expression | nothing
  Node *parseSchedule() {
    s_->contextStack = allocate<long>(capacity_);
    s_->contextDepth = 0;
    s_->position = 0;
    push(0);
    advance();
    Node *tree;
    if (cur_.type == tEnd) {
      tree = leaf(kSecond, kOpEqual, kKindWildcard, 0, 1);
    } else {
      tree = parseExpression();
      if (cur_.type != tEnd) syntaxError();
    }
    for (void *record : records_) scheduleRelease(s_, record);
    records_.clear();
    return tree;
  }

 private:
  PeriodicSchedule *s_;
  std::vector<void *> records_;
  size_t capacity_;  // of the context stack: one entry per token at most, and the start
  Token cur_;

  // ---- memory ----

  template <typename T>
  T *allocate(size_t count = 1) {
    void *memory = scheduleAlloc(s_, sizeof(T) * count);
    if (memory == nullptr) throw ParseAbort{};
    return static_cast<T *>(memory);
  }

  template <typename T>
  T *allocateNode() {
    if (++nodesMade > kMaxNodes) error("schedule too big: more than %d nodes", kMaxNodes);
    return allocate<T>();
  }

  // A token's record, released once the parse of this input is complete.
  template <typename T>
  T *allocateRecord() {
    T *record = allocate<T>();
    records_.push_back(record);
    return record;
  }

  // ---- errors ----

  // The stretch of input from the innermost open sub-expression to the read position, with a
  // little of what stands around it.
  std::string context() const {
    if (s_->contextDepth == 0) return "";
    const char *in = s_->input;
    long length = static_cast<long>(std::strlen(in));
    long end = s_->position < length ? s_->position : length;
    long start = s_->contextStack[s_->contextDepth - 1];
    while (start < end && isBlank(in[start])) ++start;
    if (start >= end) return "";
    std::string text = " (near \"";
    if (start <= 6) text.append(in, start);
    else text.append("...").append(in + start - 3, 3);
    text.append(in + start, end - start);
    if (length - end <= 6) text.append(in + end, length - end);
    else text.append(in + end, 3).append("...");
    return text + "\")";
  }

  std::string variableSuffix() const {
    std::string text;
    for (VariableChain *link = s_->variables; link != nullptr; link = link->outer)
      text += (link == s_->variables ? " while reading variable $" : " referenced in $") + std::string(link->name);
    return text;
  }

  [[noreturn]] void fail(const std::string &message) {
    scheduleSetError(s_, (message + context() + variableSuffix()).c_str());
    throw ParseAbort{};
  }

  [[noreturn]] __attribute__((format(printf, 2, 3))) void error(const char *pattern, ...) {
    va_list args;
    va_start(args, pattern);
    std::string message = format(pattern, args);
    va_end(args);
    fail(message);
  }

  [[noreturn]] void syntaxError() {
    long open = 0, close = 0;
    for (const char *p = s_->input; *p != '\0'; ++p) {
      if (*p == '(') ++open;
      else if (*p == ')') ++close;
    }
    if (open > close) fail("syntax error: missing right bracket?");
    if (close > open) fail("syntax error: missing left bracket?");
    fail("syntax error");
  }

  [[noreturn]] void internalError(int line) { error("THIS SHOULD NOT HAPPEN (%s,%d)", "periodic_parse", line); }

  // ---- error context ----

  void push(long position) {
    if (static_cast<size_t>(s_->contextDepth) >= capacity_) internalError(__LINE__);
    s_->contextStack[s_->contextDepth++] = position;
  }
  void pop() {
    if (s_->contextDepth > 0) --s_->contextDepth;
  }

  // Counts one more level of brackets, negations or variables.
  struct Nest {
    explicit Nest(Parser &parser) {
      if (++nesting > kMaxNesting) parser.error("schedule nested more than %d levels deep", kMaxNesting);
    }
    ~Nest() { --nesting; }
    Nest(const Nest &) = delete;
    Nest &operator=(const Nest &) = delete;
  };

  // ---- lexer ----

  void advance() { cur_ = lex(); }

  void expect(Tok type) {
    if (cur_.type != type) syntaxError();
  }

  Token lex() {
    const char *in = s_->input;
    long &pos = s_->position;
    while (isBlank(in[pos])) ++pos;
    Token token;
    token.start = s_->tokenStart = pos;
    char c = in[pos];
    auto two = [&](char second, Tok pair, Tok single) {
      pos += in[pos + 1] == second ? 2 : 1;
      return pos - token.start == 2 ? pair : single;
    };
    switch (c) {
      case '\0': token.type = tEnd; return token;
      case '(': ++pos; token.type = tLParen; return token;
      case ')': ++pos; token.type = tRParen; return token;
      case '*': ++pos; token.type = tStar; return token;
      case ',': ++pos; token.type = tComma; return token;
      case '-': ++pos; token.type = tMinus; return token;
      case '/': ++pos; token.type = tSlash; return token;
      case '<': token.type = two('=', tLessEqual, tLess); return token;
      case '>': token.type = two('=', tGreaterEqual, tGreater); return token;
      case '=': token.type = two('=', tEqual, tAssign); return token;
      case '!': token.type = two('=', tNotEqual, tNot); return token;
      case '&':
      case '|':
        ++pos;
        if (in[pos] != c) error("invalid character: '%c' (only allowed in %c%c)", c, c, c);
        ++pos;
        token.type = c == '&' ? tAnd : tOr;
        return token;
      case '$': return lexVariable(token);
      case '.':
        if (!isDigit(in[pos + 1])) {
          ++pos;
          error("invalid character: '.' (only allowed in a number)");
        }
        return lexNumber(token);
      default: break;
    }
    if (isDigit(c)) return lexNumber(token);
    if (isLetter(c) || c == '_') return lexWord(token);
    ++pos;
    if (isPrintable(c)) error("invalid character: '%c'", c);
    error("invalid character: '\\%02X'", static_cast<unsigned char>(c));
  }

  // Up to three parts separated by '.' or ':': a number (2.25) or a clock (9:30, 09:30:15).
  Token lexNumber(Token &token) {
    const char *in = s_->input;
    long &pos = s_->position;
    uint32_t part[3] = {0, 0, 0};
    int digits[3] = {0, 0, 0};
    int count = 0;
    bool dot = false;
    int colons = 0;
    if (in[pos] == '.') {  // .25: an empty integer part
      dot = true;
      count = 1;
      ++pos;
    }
    for (;;) {
      uint64_t value = part[count];
      while (isDigit(in[pos])) {
        value = value * 10 + static_cast<unsigned>(in[pos++] - '0');
        ++digits[count];
        if (value > 0xffffffffu) {
          while (isDigit(in[pos])) ++pos;
          error("number too big: '%.*s'", static_cast<int>(pos - token.start), in + token.start);
        }
      }
      part[count] = static_cast<uint32_t>(value);
      if (in[pos] == '.') {
        ++pos;
        if (dot) error("found two '.'s in number");
        if (colons > 0) error("found ':' followed by '.' in time");
        dot = true;
      } else if (in[pos] == ':') {
        ++pos;
        if (dot) error("found '.' followed by ':' in number");
        if (colons == 2) error("found more than two ':'s in time");
        ++colons;
      } else {
        break;
      }
      ++count;
    }
    if (colons == 0) {
      auto *number = allocateRecord<NumberRecord>();
      number->kind = 1;
      number->integer = part[0];
      number->fraction = dot && digits[1] > 0 ? part[1] / std::pow(10.0, digits[1]) : 0.0;
      // A non-zero digit far behind the point still makes the number a fraction.
      if (part[1] != 0 && number->fraction == 0.0) number->fraction = DBL_MIN;
      number->unit = 1;
      number->granularity = 1;
      token.type = tNumber;
      token.number = number;
      return token;
    }
    if (digits[0] < 1 || digits[0] > 2) error("bad number of digits in first part of time");
    if (digits[1] != 2) error("bad number of digits in second part of time");
    if (colons == 2 && digits[2] != 2) error("bad number of digits in third part of time");
    auto *clock = allocateRecord<ClockRecord>();
    clock->hours = static_cast<uint16_t>(part[0]);
    clock->minutes = static_cast<uint16_t>(part[1]);
    clock->seconds = static_cast<uint16_t>(part[2]);
    clock->parts = colons + 1;
    token.type = tClock;
    token.clock = clock;
    return token;
  }

  Token lexWord(Token &token) {
    const char *in = s_->input;
    long &pos = s_->position;
    while (isWordChar(in[pos])) ++pos;
    std::string word(in + token.start, pos - token.start);
    std::string lower = word;
    for (char &c : lower) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    for (const Keyword &keyword : kKeywords) {
      if (lower == keyword.word) {
        token.type = keyword.type;
        token.value = keyword.value;
        return token;
      }
    }
    error("do not recognize '%s'", word.c_str());
  }

  // $name: the variable's text compiled as a schedule of its own, in this schedule's memory.
  Token lexVariable(Token &token) {
    const char *in = s_->input;
    long &pos = s_->position;
    ++pos;
    if (!isWordChar(in[pos])) error("variable not specified after $ character");
    if (isDigit(in[pos])) error("variables can not start with a digit");
    long begin = pos;
    while (isWordChar(in[pos])) ++pos;
    std::string name(in + begin, pos - begin);
    const char *text = variableText(name.c_str());
    if (text == nullptr) error("variable $%s not found", name.c_str());
    for (VariableChain *link = s_->variables; link != nullptr; link = link->outer)
      if (name == link->name) error("variable $%s refers to itself", name.c_str());
    Nest nest(*this);

    auto *link = allocate<VariableChain>();
    char *ownName = allocate<char>(name.size() + 1);
    std::memcpy(ownName, name.c_str(), name.size() + 1);
    size_t textLength = std::strlen(text);
    char *ownText = allocate<char>(textLength + 1);
    std::memcpy(ownText, text, textLength + 1);
    link->outer = s_->variables;
    link->name = ownName;

    const char *savedInput = s_->input;
    long savedPosition = s_->position, savedDepth = s_->contextDepth, savedStart = s_->tokenStart;
    long *savedStack = s_->contextStack;
    s_->variables = link;
    s_->input = ownText;
    Parser inner(s_);
    token.tree = inner.parseSchedule();
    scheduleRelease(s_, s_->contextStack);
    s_->input = savedInput;
    s_->position = savedPosition;
    s_->contextStack = savedStack;
    s_->contextDepth = savedDepth;
    s_->tokenStart = savedStart;
    s_->variables = link->outer;
    scheduleRelease(s_, link);
    scheduleRelease(s_, ownName);
    scheduleRelease(s_, ownText);
    token.type = tVar;
    return token;
  }

  // ---- nodes ----

  ValueNode *leaf(int field, int op, unsigned kind, long value, long length) {
    auto *node = allocateNode<ValueNode>();
    node->setType(static_cast<unsigned>(field));
    node->field = rel_data[field];
    node->op = op;
    node->kind = kind;
    node->value = value;
    node->length = length;
    return node;
  }

  ValueNode *unbound(unsigned kind, long value, long length) {
    auto *node = allocateNode<ValueNode>();
    node->setType(kUnbound);
    node->kind = kind;
    node->value = value;
    node->length = length;
    return node;
  }

  Node *conjunction(Node *left, Node *right, int range = 0) {
    auto *node = allocateNode<AndNode>();
    node->setType(kAndNode);
    node->left = left;
    node->right = right;
    node->range = range;
    return node;
  }

  static Node *negation(Node *node) {
    node->negate();
    return node;
  }

  // a || b is stored as !(!a && !b).
  Node *disjunction(Node *left, Node *right, int range = 0) {
    return negation(conjunction(negation(left), negation(right), range));
  }

  Node *cycle(long period, long start, bool hasStart) {
    auto *node = allocateNode<CycleNode>();
    node->setType(kCycleNode);
    node->period = period;
    node->start = start;
    node->hasStart = hasStart ? 1 : 0;
    return node;
  }

  // ---- expressions ----

  // expression: the || level over the && level over unary terms; both operators group from the left.
  Node *parseExpression(Tok op = tOr) {
    auto operand = [&] { return op == tOr ? parseExpression(tAnd) : parseUnary(); };
    Node *tree = operand();
    while (cur_.type == op) {
      push(cur_.start);
      advance();
      Node *right = operand();
      tree = op == tOr ? disjunction(tree, right) : conjunction(tree, right);
      pop();
    }
    return tree;
  }

  Node *parseUnary() {
    if (cur_.type != tNot) return parsePrimary();
    Nest nest(*this);
    push(cur_.start);
    advance();
    Node *tree = negation(parseUnary());
    pop();
    return tree;
  }

  Node *parsePrimary() {
    switch (cur_.type) {
      case tLParen: {
        Nest nest(*this);
        push(cur_.start);
        advance();
        Node *tree = parseExpression();
        expect(tRParen);
        pop();
        advance();
        return tree;
      }
      case tVar: {
        Node *tree = cur_.tree;
        advance();
        return tree;
      }
      case tField: return parseRelation();
      case tCron: {
        advance();
        expect(tLParen);
        push(cur_.start);
        advance();
        Node *tree = parseCronLists(nullptr, /*closing=*/true);
        pop();
        advance();
        return tree;
      }
      case tCycle: return parseCycle();
      case tNumber: {
        NumberRecord *number = cur_.number;
        advance();
        if (isUnit() || cur_.type == tEnd || cur_.type == tRParen || cur_.type == tAnd || cur_.type == tOr)
          return cycle(relativeTime(number), 0, false);
        return parseCronLists(number, false);
      }
      case tStar:
      case tMonth:
      case tWeekday:
      case tClock:
      case tEpoch: return parseCronLists(nullptr, false);
      default: syntaxError();
    }
  }

  // ---- cron ----

  // Five value lists; first is a number already read as the start of the first one. With closing,
  // the lists end at the bracket, which is the current token on return.
  Node *parseCronLists(NumberRecord *first, bool closing) {
    Node *lists[5];
    for (int i = 0; i < 5; ++i) {
      if (i > 0 || first == nullptr) {
        if (!startsValue(cur_.type)) syntaxError();
      }
      lists[i] = parseValues(/*cron=*/true, i == 0 ? first : nullptr);
    }
    if (closing) expect(tRParen);
    bool anyDay = isWildcard(lists[2]), anyWeekday = isWildcard(lists[4]);
    Node *bound[5];
    for (int i = 0; i < 5; ++i) bound[i] = bindRelation(rel_data[kCronFields[i]], kCronNames[i], kEq, lists[i], true);
    Node *days;
    if (!anyDay && !anyWeekday) {
      days = disjunction(bound[2], bound[4]);
    } else if (anyDay && !anyWeekday) {
      days = bound[4];
      scheduleRelease(s_, bound[2]);
    } else {
      days = bound[2];
      scheduleRelease(s_, bound[4]);
    }
    return conjunction(conjunction(conjunction(bound[0], bound[1]), bound[3]), days);
  }

  static bool startsValue(Tok type) {
    return type == tStar || type == tNumber || type == tMonth || type == tWeekday || type == tClock || type == tEpoch;
  }

  static bool isWildcard(Node *values) {
    return values->type() == kUnbound && static_cast<ValueNode *>(values)->kind == kKindWildcard;
  }

  // ---- values ----

  // values: '*' | item (',' item)*. An unbound tree: ranges as range-flagged and nodes, lists as ors.
  Node *parseValues(bool cron, NumberRecord *first) {
    if (first == nullptr && cur_.type == tStar) {
      advance();
      return unbound(kKindWildcard, 0, 1);
    }
    Node *tree = parseItem(cron, first);
    while (cur_.type == tComma) {
      advance();
      Node *item = parseItem(cron, nullptr);
      tree = disjunction(tree, item);
    }
    return tree;
  }

  Node *parseItem(bool cron, NumberRecord *first) {
    ValueNode *low = parseValue(cron, first);
    if (cur_.type != tMinus) return low;
    advance();
    ValueNode *high = parseValue(cron, nullptr);
    return conjunction(low, high, 1);
  }

  ValueNode *parseValue(bool cron, NumberRecord *number) {
    if (number == nullptr) {
      switch (cur_.type) {
        case tNumber:
          number = cur_.number;
          advance();
          break;
        case tMonth: {
          long month = cur_.value;
          advance();
          // In a cron list a month followed by a number is the month and the next list.
          if (cron || cur_.type != tNumber) return unbound(kKindMonth, month, 1);
          return parseNamedDate(month);
        }
        case tWeekday: {
          long day = cur_.value;
          advance();
          return unbound(kKindDay, day, 1);
        }
        case tClock: {
          ClockRecord *clock = cur_.clock;
          advance();
          long precision = clock->parts == 2 ? 60 : 1;
          if (cur_.type == tSuffix) {
            long seconds = timeOfDay(clock, static_cast<int>(cur_.value));
            advance();
            return unbound(kKindTime, seconds, precision);
          }
          return unbound(kKindTime, timeOfDay(clock, kNoSuffix), precision);
        }
        case tEpoch: return parseEpoch();
        default: syntaxError();
      }
    }
    // A number read: an hour (5 pm), the start of a date (12/24/2001) or a plain integer.
    if (cur_.type == tSuffix) {
      long hour = hourOfDay(number, static_cast<int>(cur_.value));
      advance();
      return unbound(kKindHour, hour, 3600);
    }
    if (cur_.type == tSlash) return parseSlashDate(number);
    return unbound(kKindNumber, integerOf(number), 1);
  }

  long integerOf(const NumberRecord *number) {
    if (number->fraction != 0.0) error("expecting integer at number %f", number->integer + number->fraction);
    return static_cast<long>(number->integer);
  }

  // 5 pm, 12 am, 12 noon: the hour of the day.
  long hourOfDay(const NumberRecord *number, int suffix) {
    long hour = integerOf(number);
    if (hour > 12) error("hour too big: %lu", static_cast<unsigned long>(hour));
    switch (suffix) {
      case kPm:
        if (hour == 0) error("hour can't be zero when specifying pm");
        return hour == 12 ? 12 : hour + 12;
      case kAm: return hour == 12 ? 0 : hour;
      case kNoon:
        if (hour != 12) error("noon suffix only makes sense when hour is 12");
        return 12;
      case kMidnight:
        if (hour != 12) error("midnight suffix only makes sense when hour is 12");
        return 0;
      default: internalError(__LINE__);
    }
  }

  // 9:30, 09:30:15 pm: seconds since midnight.
  long timeOfDay(const ClockRecord *clock, int suffix) {
    long hours = clock->hours, minutes = clock->minutes, seconds = clock->parts == 3 ? clock->seconds : 0;
    if (hours > 23) error("hour part of time is > 23");
    if (suffix != kNoSuffix && hours > 12) error("hour part of time is > 12 with am/pm suffix");
    if (minutes > 59) error("minute part of time is > 59");
    if (seconds > 59) error("second part of time is > 59");
    if (suffix == kNoon && hours != 12) error("noon suffix only makes sense when hour is 12");
    if (suffix == kMidnight && hours != 12) error("midnight suffix only makes sense when hour is 12");
    if ((suffix == kAm || suffix == kMidnight) && hours == 12) hours = 0;
    if (suffix == kPm && hours >= 1 && hours <= 11) hours += 12;
    return hours * 3600 + minutes * 60 + seconds;
  }

  // ---- dates ----

  // month/day/year [daytime], the first number read.
  ValueNode *parseSlashDate(NumberRecord *month) {
    advance();  // '/'
    expect(tNumber);
    NumberRecord *day = cur_.number;
    advance();
    expect(tSlash);
    advance();
    expect(tNumber);
    NumberRecord *year = cur_.number;
    advance();
    return finishDate(month, 0, day, year);
  }

  // MONTH day year [daytime], the month read and the day current.
  ValueNode *parseNamedDate(long month) {
    NumberRecord *day = cur_.number;
    advance();
    expect(tNumber);
    NumberRecord *year = cur_.number;
    advance();
    return finishDate(nullptr, month, day, year);
  }

  // The optional daytime, then the date's checks and its span. A daytime that ends with a suffix
  // completes the date without reading further.
  ValueNode *finishDate(NumberRecord *monthNumber, long monthName, NumberRecord *day, NumberRecord *year) {
    DayTime daytime;
    bool suffixPending = false;
    if (cur_.type == tClock) {
      ClockRecord *clock = cur_.clock;
      advance();
      int suffix = kNoSuffix;
      if (cur_.type == tSuffix) {
        suffix = static_cast<int>(cur_.value);
        suffixPending = true;
      }
      long seconds = timeOfDay(clock, suffix);
      daytime = {true, seconds / 3600, seconds / 60 % 60, seconds % 60, clock->parts == 2 ? 60L : 1L};
    } else if (cur_.type == tNumber) {
      NumberRecord *hour = cur_.number;
      advance();
      expect(tSuffix);
      suffixPending = true;
      hour->granularity = 3600;
      daytime = {true, hourOfDay(hour, static_cast<int>(cur_.value)), 0, 0, 3600};
    }
    long month = monthNumber != nullptr ? integerOf(monthNumber) : monthName;
    long dayOfMonth = integerOf(day);
    ValueNode *date = dateValue(integerOf(year), month, dayOfMonth, daytime);
    if (suffixPending) advance();
    return date;
  }

  ValueNode *dateValue(long year, long month, long day, const DayTime &daytime) {
    if (year < 100) {
      if (year <= 38) year += 2000;
      else if (year >= 69) year += 1900;
      else error("year is out of range: %ld (should be 0-%d or %d-99)", year, 38, 69);
    }
    if (year < 1969 || year > 2038) error("year is out of range: %ld (should be %d-%d)", year, 1969, 2038);
    if (month < 1 || month > 12) error("month is out of range: %ld (should be 1-12)", month);
    if (day < 1 || day > 31) error("day is out of range: %ld (should be 1-31)", day);
    struct tm asked = {};
    asked.tm_year = static_cast<int>(year - 1900);
    asked.tm_mon = static_cast<int>(month - 1);
    asked.tm_mday = static_cast<int>(day);
    asked.tm_hour = static_cast<int>(daytime.hour);
    asked.tm_min = static_cast<int>(daytime.minute);
    asked.tm_sec = static_cast<int>(daytime.second);
    asked.tm_isdst = -1;
    struct tm work = asked;
    time_t start = my_mktime(&work);
    if (start == -1) error("invalid date: %ld/%ld/%ld", year, month, day);
    // The date covers one unit of its finest part: the day, the hour, the minute or the second.
    struct tm next = asked;
    switch (daytime.granularity) {
      case 86400: ++next.tm_mday; break;
      case 3600: ++next.tm_hour; break;
      case 60: ++next.tm_min; break;
      default: ++next.tm_sec; break;
    }
    if (!tm_adjust(&next)) error("date too big: %ld/%ld/%ld", year, month, day);
    next.tm_isdst = -1;
    time_t end = my_mktime(&next);
    if (end == -1) error("date too big: %ld/%ld/%ld", year, month, day);
    return unbound(kKindDate, static_cast<long>(start), static_cast<long>(end - start));
  }

  // epoch(N): the second N.
  ValueNode *parseEpoch() {
    advance();
    expect(tLParen);
    push(cur_.start);
    advance();
    expect(tNumber);
    NumberRecord *number = cur_.number;
    advance();
    expect(tRParen);
    ValueNode *date = unbound(kKindDate, integerOf(number), 1);
    pop();
    advance();
    return date;
  }

  // ---- cycles ----

  bool isUnit() const { return cur_.type == tUnit || (cur_.type == tField && cur_.value <= kHour); }

  // The number just read as a relative time, with the current token as its unit when it is one.
  long relativeTime(NumberRecord *number) {
    if (isUnit()) {
      number->unit = cur_.type == tUnit ? cur_.value : kFieldUnits[cur_.value];
      long seconds = secondsOf(number);
      advance();
      return seconds;
    }
    return secondsOf(number);
  }

  long secondsOf(const NumberRecord *number) {
    long seconds = static_cast<long>(number->integer) * number->unit + std::lrint(number->fraction * number->unit);
    if (seconds == 0) error("cycle can not have a period of 0");
    if (seconds > kMaxPeriod) error("cycle period too long: %ld seconds (at most %ld)", seconds, kMaxPeriod);
    return seconds;
  }

  // cycle(reltime) | cycle(argument, ...)
  Node *parseCycle() {
    advance();
    expect(tLParen);
    push(cur_.start);
    advance();
    Node *tree;
    if (cur_.type == tNumber) {
      NumberRecord *number = cur_.number;
      advance();
      long period = relativeTime(number);
      expect(tRParen);
      tree = cycle(period, 0, false);
    } else {
      bool havePeriod = false, haveStart = false;
      long period = 0, start = 0;
      for (;;) {
        if (cur_.type != tPeriod && cur_.type != tStart) syntaxError();
        bool isPeriod = cur_.type == tPeriod;
        advance();
        expect(tAssign);
        advance();
        long value;
        bool absolute = parseArgument(value);
        if (isPeriod) {
          if (havePeriod) error("period specified twice");
          if (absolute) error("expecting a relative time for period");
          havePeriod = true;
          period = value;
        } else {
          if (haveStart) error("start specified twice");
          if (!absolute) {
            scheduleSetError(s_, "expecting an absolute time for start");
            throw ParseAbort{};
          }
          haveStart = true;
          start = value;
        }
        if (cur_.type != tComma) break;
        advance();
      }
      expect(tRParen);
      if (!havePeriod) error("period not specified");
      tree = cycle(period, start, haveStart);
    }
    pop();
    advance();
    return tree;
  }

  // A relative time (false, value in seconds) or a date (true, value its first second).
  bool parseArgument(long &value) {
    ValueNode *date;
    if (cur_.type == tNumber) {
      NumberRecord *number = cur_.number;
      advance();
      if (cur_.type != tSlash) {
        value = relativeTime(number);
        return false;
      }
      date = parseSlashDate(number);
    } else if (cur_.type == tMonth) {
      long month = cur_.value;
      advance();
      expect(tNumber);
      date = parseNamedDate(month);
    } else if (cur_.type == tEpoch) {
      date = parseEpoch();
    } else {
      syntaxError();
    }
    value = date->value;
    scheduleRelease(s_, date);
    return true;
  }

  // ---- relations ----

  Node *parseRelation() {
    int field = static_cast<int>(cur_.value);
    advance();
    RelOp op;
    switch (cur_.type) {
      case tAssign:
      case tEqual: op = kEq; break;
      case tNotEqual: op = kNe; break;
      case tLess: op = kLt; break;
      case tLessEqual: op = kLe; break;
      case tGreater: op = kGt; break;
      case tGreaterEqual: op = kGe; break;
      default: syntaxError();
    }
    advance();
    Node *values = parseValues(false, nullptr);
    return bindRelation(rel_data[field], rel_data[field]->name, op, values, false);
  }

  // The items of an unbound value tree in order; reports whether it is a list or holds a range.
  void collect(Node *node, std::vector<Item> &items, bool &list, bool &range) {
    if (node->type() == kAndNode) {
      auto *pair = static_cast<AndNode *>(node);
      if (pair->range) {
        range = true;
        items.push_back({static_cast<ValueNode *>(pair->left), static_cast<ValueNode *>(pair->right)});
        return;
      }
      list = true;
      collect(pair->left, items, list, range);
      collect(pair->right, items, list, range);
      return;
    }
    if (node->type() != kUnbound) internalError(__LINE__);
    items.push_back({static_cast<ValueNode *>(node), nullptr});
  }

  void checkKind(const RelData *field, const char *name, const ValueNode *value) {
    if ((value->kind & field->kinds) != 0) return;
    if (value->kind == kKindWildcard) error("%s can not have a wildcard", name);
    const char *kind = "?";
    for (int bit = 0; bit < 6; ++bit)
      if (value->kind == (1u << bit)) kind = number_types_names[bit];
    error("%s can not understand %s", name, kind);
  }

  void checkLimits(const RelData *field, const char *name, const ValueNode *value) {
    if (field->index == kTime || value->kind == kKindWildcard) return;
    if (field->index == kDayOfWeek && value->value == 7) return;  // Sunday, as in cron
    if (value->value < field->min || value->value > field->max)
      error("%s is out of range: %ld (%ld-%ld)", name, value->value, field->min, field->max);
  }

  Node *bindRelation(const RelData *field, const char *name, RelOp op, Node *values, bool cron) {
    std::vector<Item> items;
    bool list = false, range = false;
    collect(values, items, list, range);
    if (!cron && !field->ranges && range)
      error("end range not allowed for variable %s (e.g. '%s=1-3' should be converted to '%s>=1 && %s<=3' or "
            "'%s>=1 && %s<3')",
            name, name, name, name, name, name);
    for (const Item &item : items) {
      checkKind(field, name, item.low);
      if (item.high != nullptr) checkKind(field, name, item.high);
    }
    for (const Item &item : items) {
      checkLimits(field, name, item.low);
      if (item.high != nullptr) checkLimits(field, name, item.high);
    }
    if (op != kEq && op != kNe) {
      if (isWildcard(values)) error("wildcard is only allowed with == and != operators");
      if (list || range)
        error("%s not allowed with a comparison (%s)", list ? "multiple values are" : "end range is", kRelOpText[op]);
    }
    Node *tree = nullptr;
    for (const Item &item : items) {
      Node *one = item.high != nullptr ? bindRange(field, item.low, item.high)
                                       : bindValue(field, op == kNe ? kEq : op, item.low);
      tree = tree == nullptr ? one : disjunction(tree, one);
    }
    releaseLists(values);
    for (const Item &item : items) {
      scheduleRelease(s_, item.low);
      scheduleRelease(s_, item.high);
    }
    return op == kNe ? negation(tree) : tree;
  }

  // The list and range nodes of an unbound tree (not its values), once its values are bound.
  void releaseLists(Node *node) {
    if (node->type() != kAndNode) return;
    auto *pair = static_cast<AndNode *>(node);
    if (!pair->range) {
      releaseLists(pair->left);
      releaseLists(pair->right);
    }
    scheduleRelease(s_, pair);
  }

  // field OP v through "at least": > v is >= v+1, < v is !(>= v), <= v is !(>= v+1).
  Node *compare(int field, RelOp op, long value, unsigned kind) {
    switch (op) {
      case kEq: return leaf(field, kOpEqual, kind, value, 1);
      case kGe: return leaf(field, kOpAtLeast, kind, value, 1);
      case kGt: return leaf(field, kOpAtLeast, kind, value + 1, 1);
      case kLt: return negation(leaf(field, kOpAtLeast, kind, value, 1));
      case kLe: return negation(leaf(field, kOpAtLeast, kind, value + 1, 1));
      default: internalError(__LINE__);
    }
  }

  Node *bindValue(const RelData *field, RelOp op, const ValueNode *value) {
    if (field->index == kTime) return bindTime(op, value);
    if (value->kind == kKindWildcard) return leaf(field->index, kOpEqual, kKindWildcard, 0, 1);
    long v = value->value;
    if (field->index == kDayOfWeek && v == 7) v = 0;
    if (op == kEq && value->kind == kKindDate && value->length > 1) {
      // A date spans its day (hour, minute): from its first second up to the next unit.
      return conjunction(leaf(field->index, kOpAtLeast, value->kind, v, value->length),
                         negation(leaf(field->index, kOpAtLeast, value->kind, v + value->length, 1)));
    }
    return compare(field->index, op, v, value->kind);
  }

  // a-b: a <= x <= b, or, when a is above b, a wrapping range x >= a || x <= b.
  Node *bindRange(const RelData *field, const ValueNode *low, const ValueNode *high) {
    long a = low->value, b = high->value;
    if (field->index == kDayOfWeek) {
      // 7 is Sunday: 7-3 runs from Sunday, and 5-7 runs up to and including Sunday.
      bool toSunday = b == 7 && a != 7;
      if (a == 7) a = 0;
      b = toSunday || b == 7 ? 0 : b;
      if (toSunday)
        return disjunction(compare(field->index, kGe, a, low->kind), compare(field->index, kLe, 0, high->kind), 1);
    }
    Node *atLeast = compare(field->index, kGe, a, low->kind);
    Node *atMost = compare(field->index, kLe, b, high->kind);
    return a <= b ? conjunction(atLeast, atMost, 1) : disjunction(atLeast, atMost, 1);
  }

  // A time of day compared part by part: hour, then minute, then second, up to its precision.
  Node *bindTime(RelOp op, const ValueNode *value) {
    if (value->kind == kKindWildcard) return leaf(kSecond, kOpEqual, kKindWildcard, 0, 1);
    long parts[3];
    int count;
    if (value->kind == kKindHour) {
      parts[0] = value->value;
      count = 1;
    } else {
      parts[0] = value->value / 3600;
      parts[1] = value->value / 60 % 60;
      parts[2] = value->value % 60;
      count = value->length == 1 ? 3 : 2;
    }
    static const int fields[3] = {kHour, kMinute, kSecond};
    if (op == kEq) {
      Node *tree = leaf(fields[0], kOpEqual, kKindNumber, parts[0], 1);
      for (int k = 1; k < count; ++k) tree = conjunction(tree, leaf(fields[k], kOpEqual, kKindNumber, parts[k], 1));
      return tree;
    }
    // Lexicographic: part k decides when every part before it is equal; only the last part may
    // be equal itself.
    RelOp strict = op == kGe || op == kGt ? kGt : kLt;
    Node *tree = nullptr;
    for (int k = 0; k < count; ++k) {
      Node *step = nullptr;
      for (int j = 0; j < k; ++j) {
        Node *equal = leaf(fields[j], kOpEqual, kKindNumber, parts[j], 1);
        step = step == nullptr ? equal : conjunction(step, equal);
      }
      Node *decide = compare(fields[k], k < count - 1 ? strict : op, parts[k], kKindNumber);
      step = step == nullptr ? decide : conjunction(step, decide);
      tree = tree == nullptr ? step : disjunction(tree, step);
    }
    return tree;
  }
};

}  // namespace

bool compileSchedule(PeriodicSchedule *schedule) {
  nesting = 0;
  nodesMade = 0;
  schedule->variables = nullptr;
  try {
    Parser parser(schedule);
    schedule->root = parser.parseSchedule();
  } catch (const ParseAbort &) {
    schedule->root = nullptr;
  } catch (const std::bad_alloc &) {
    scheduleSetError(schedule, "no more memory: malloc() failed");
    schedule->root = nullptr;
  }
  schedule->variables = nullptr;
  return schedule->error == nullptr && schedule->root != nullptr;
}

}  // namespace telvi::schedule
