// The 64-bit expression evaluator: a lexer and a precedence-climbing parser over the expression
// text, with operands that are 64-bit integers, doubles or strings. Variables, commands, quoted and
// braced words inside the expression are found with Tcl's parser and substituted by Tcl; operands in
// the branch not taken by &&, || and ?: are parsed but not substituted.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "telvi/expr64.h"

namespace {

struct Value {
  enum Type { kInt, kDouble, kString } type = kInt;
  long long i = 0;
  double d = 0;
  std::string s;
};

// An evaluation error; the message is already in the interpreter result.
struct Failure {};

enum Token {
  kValue, kOpenParen, kCloseParen, kComma, kEnd, kUnknown, kFunc,
  // binary operators, low to high precedence groups handled by the parser
  kMult, kDivide, kMod, kPlus, kMinus, kLeftShift, kRightShift, kLess, kGreater, kLeq, kGeq,
  kEqual, kNeq, kBitAnd, kBitXor, kBitOr, kAnd, kOr, kQuestion, kColon,
  kNot, kBitNot
};

const char *operatorText(Token t) {
  switch (t) {
    case kMult: return "*";
    case kDivide: return "/";
    case kMod: return "%";
    case kPlus: return "+";
    case kMinus: return "-";
    case kLeftShift: return "<<";
    case kRightShift: return ">>";
    case kLess: return "<";
    case kGreater: return ">";
    case kLeq: return "<=";
    case kGeq: return ">=";
    case kEqual: return "==";
    case kNeq: return "!=";
    case kBitAnd: return "&";
    case kBitXor: return "^";
    case kBitOr: return "|";
    case kAnd: return "&&";
    case kOr: return "||";
    case kQuestion: return "?";
    case kColon: return ":";
    case kNot: return "!";
    case kBitNot: return "~";
    default: return "unknown";
  }
}

// Precedence of binary operators (higher binds tighter); 0 for tokens that are none.
int precedence(Token t) {
  switch (t) {
    case kMult: case kDivide: case kMod: return 11;
    case kPlus: case kMinus: return 10;
    case kLeftShift: case kRightShift: return 9;
    case kLess: case kGreater: case kLeq: case kGeq: return 8;
    case kEqual: case kNeq: return 7;
    case kBitAnd: return 6;
    case kBitXor: return 5;
    case kBitOr: return 4;
    case kAnd: return 3;
    case kOr: return 2;
    case kQuestion: return 1;
    default: return 0;
  }
}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

extern "C" int expr64ParseInteger(const char *text, long long *value) {
  const char *p = text;
  while (isBlank(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (*p < '0' || *p > '9') return -1;
  const char *digits = p;
  char *end;
  errno = 0;
  unsigned long long magnitude = std::strtoull(digits, &end, 0);
  if (end == digits) return -1;
  if (*end == '.' || *end == 'e' || *end == 'E') return -1;
  bool overflow = errno == ERANGE;
  while (isBlank(*end)) ++end;
  if (*end != '\0') return -1;
  if (overflow) return -2;
  *value = static_cast<long long>(negative ? 0ull - magnitude : magnitude);
  return 0;
}

namespace {

class Evaluator {
 public:
  Evaluator(Tcl_Interp *interp, const char *expression)
      : interp_(interp), expression_(expression), p_(expression) {}

  Value run() {
    next();
    Value value = parse(0);
    if (token_ == kCloseParen) syntaxError();
    if (token_ != kEnd) syntaxError();
    if (value.type == Value::kDouble) checkDouble(value.d);
    return value;
  }

  [[noreturn]] void error(const std::string &message, const char *code = nullptr) {
    Tcl_ResetResult(interp_);
    Tcl_AppendResult(interp_, message.c_str(), nullptr);
    if (code != nullptr) Tcl_SetErrorCode(interp_, "ARITH", code, message.c_str(), nullptr);
    throw Failure{};
  }

  // A result that is not a number, or beyond the largest double.
  void checkDouble(double d, int savedErrno = 0) {
    if (std::isnan(d) || savedErrno == EDOM)
      error("domain error: argument not in valid range", "DOMAIN");
    if (std::isinf(d) || (savedErrno == ERANGE && d != 0))
      error("floating-point value too large to represent", "OVERFLOW");
    if (savedErrno == ERANGE) error("floating-point value too small to represent", "UNDERFLOW");
  }

 private:
  [[noreturn]] void syntaxError() {
    error(std::string("syntax error in expression \"") + expression_ + "\"");
  }

  // The operand reading of a substituted text: integer, double or string.
  Value fromText(std::string text) {
    Value value;
    long long n;
    int code = expr64ParseInteger(text.c_str(), &n);
    if (code == -2) error("integer value too large to represent", "IOVERFLOW");
    if (code == 0) {
      value.i = n;
      return value;
    }
    const char *begin = text.c_str();
    char *end;
    double d = std::strtod(begin, &end);
    while (isBlank(*end)) ++end;
    if (end != begin && *end == '\0' && text.find_first_of("0123456789") != std::string::npos) {
      value.type = Value::kDouble;
      value.d = d;
      return value;
    }
    value.type = Value::kString;
    value.s = std::move(text);
    return value;
  }

  // Evaluates parsed tokens (variable, quoted or braced word) unless the operand is skipped.
  std::string substitute(Tcl_Parse &parse, Tcl_Token *tokens, int count) {
    std::string text;
    if (skip_ == 0 && count > 0) {
      int code = Tcl_EvalTokensStandard(interp_, tokens, count);
      if (code != TCL_OK) {
        Tcl_FreeParse(&parse);
        throw Failure{};
      }
      text = Tcl_GetStringResult(interp_);
      Tcl_ResetResult(interp_);
    }
    Tcl_FreeParse(&parse);
    return text;
  }

  // The text of a bracketed command starting at '[': evaluated unless skipped.
  std::string command() {
    const char *start = p_ + 1;
    const char *cursor = start;
    const char *stop = expression_ + std::strlen(expression_);
    while (true) {
      Tcl_Parse parse;
      if (Tcl_ParseCommand(interp_, cursor, static_cast<int>(stop - cursor), 1, &parse) != TCL_OK)
        throw Failure{};
      const char *term = parse.term;
      const char *previous = cursor;
      cursor = parse.commandStart + parse.commandSize;
      Tcl_FreeParse(&parse);
      if (term < stop && *term == ']') {
        cursor = term;
        break;
      }
      if (cursor >= stop || cursor <= previous) {
        Tcl_ResetResult(interp_);
        Tcl_AppendResult(interp_, "missing close-bracket", nullptr);
        throw Failure{};
      }
    }
    std::string script(start, static_cast<size_t>(cursor - start));
    p_ = cursor + 1;
    if (skip_ > 0) return std::string();
    if (Tcl_EvalEx(interp_, script.c_str(), -1, 0) != TCL_OK) throw Failure{};
    std::string text = Tcl_GetStringResult(interp_);
    Tcl_ResetResult(interp_);
    return text;
  }

  // Steps over c when it comes next: the second character of a two-character operator.
  bool skipIf(char c) {
    if (*p_ != c) return false;
    ++p_;
    return true;
  }

  void next() {
    while (isBlank(*p_)) ++p_;
    const char *stop = expression_ + std::strlen(expression_);
    char c = *p_;
    if (c == '\0') {
      token_ = kEnd;
      return;
    }
    if ((c >= '0' && c <= '9') || (c == '.' && p_[1] >= '0' && p_[1] <= '9')) {
      lexNumber();
      return;
    }
    if (c == '$') {
      Tcl_Parse parse;
      if (Tcl_ParseVarName(interp_, p_, static_cast<int>(stop - p_), &parse, 0) != TCL_OK)
        throw Failure{};
      const char *end = parse.tokenPtr[0].start + parse.tokenPtr[0].size;
      if (parse.numTokens == 1 && parse.tokenPtr[0].type == TCL_TOKEN_TEXT) {
        Tcl_FreeParse(&parse);  // a lone '$'
        syntaxError();
      }
      std::string text = substitute(parse, parse.tokenPtr, parse.numTokens);
      p_ = end;
      setValue(std::move(text));
      return;
    }
    if (c == '[') {
      setValue(command());
      return;
    }
    if (c == '"' || c == '{') {
      Tcl_Parse parse;
      const char *term;
      int code = c == '"'
                     ? Tcl_ParseQuotedString(interp_, p_, static_cast<int>(stop - p_), &parse, 0, &term)
                     : Tcl_ParseBraces(interp_, p_, static_cast<int>(stop - p_), &parse, 0, &term);
      if (code != TCL_OK) throw Failure{};
      std::string text = substitute(parse, parse.tokenPtr, parse.numTokens);
      p_ = term;
      setValue(std::move(text));
      return;
    }
    if (std::isalpha(static_cast<unsigned char>(c))) {
      const char *q = p_;
      while (std::isalnum(static_cast<unsigned char>(*q)) || *q == '_') ++q;
      funcName_.assign(p_, static_cast<size_t>(q - p_));
      const char *r = q;
      while (isBlank(*r)) ++r;
      if (*r != '(') syntaxError();
      p_ = r + 1;
      token_ = kFunc;
      return;
    }
    ++p_;
    switch (c) {
      case '(': token_ = kOpenParen; return;
      case ')': token_ = kCloseParen; return;
      case ',': token_ = kComma; return;
      case '*': token_ = kMult; return;
      case '/': token_ = kDivide; return;
      case '%': token_ = kMod; return;
      case '+': token_ = kPlus; return;
      case '-': token_ = kMinus; return;
      case '?': token_ = kQuestion; return;
      case ':': token_ = kColon; return;
      case '^': token_ = kBitXor; return;
      case '~': token_ = kBitNot; return;
      case '<': token_ = skipIf('<') ? kLeftShift : skipIf('=') ? kLeq : kLess; return;
      case '>': token_ = skipIf('>') ? kRightShift : skipIf('=') ? kGeq : kGreater; return;
      case '=': token_ = skipIf('=') ? kEqual : kUnknown; return;
      case '!': token_ = skipIf('=') ? kNeq : kNot; return;
      case '&': token_ = skipIf('&') ? kAnd : kBitAnd; return;
      case '|': token_ = skipIf('|') ? kOr : kBitOr; return;
      default: token_ = kUnknown;
    }
  }

  void setValue(std::string text) {
    token_ = kValue;
    value_ = skip_ > 0 ? Value{} : fromText(std::move(text));
  }

  void lexNumber() {
    const char *start = p_;
    const char *q = p_;
    while (*q >= '0' && *q <= '9') ++q;
    bool integer = q > start && *q != '.' && *q != 'e' && *q != 'E';
    if (integer) {
      // The whole integer literal, base prefix included, as an unsigned 64-bit number.
      char *end;
      errno = 0;
      unsigned long long magnitude = std::strtoull(start, &end, 0);
      if (errno == ERANGE) error("integer value too large to represent", "IOVERFLOW");
      p_ = end;
      token_ = kValue;
      value_ = Value{};
      value_.i = static_cast<long long>(magnitude);
      return;
    }
    char *end;
    double d = std::strtod(start, &end);
    p_ = end;
    token_ = kValue;
    value_ = Value{};
    value_.type = Value::kDouble;
    value_.d = d;
  }

  // A primary with its unary operators.
  Value unary() {
    // Nesting (parentheses, unary operators, function arguments) is bounded so that no expression
    // can exhaust the stack.
    struct Depth {
      int &depth;
      explicit Depth(int &d) : depth(d) { ++depth; }
      ~Depth() { --depth; }
    } guard(depth_);
    if (depth_ > kMaxDepth)
      error(std::string("expression nested too deeply: \"") + expression_ + "\"");
    Token t = token_;
    if (t == kMinus || t == kPlus || t == kNot || t == kBitNot) {
      next();
      Value v = unary();
      if (skip_ > 0) return Value{};
      const char *op = t == kMinus ? "-" : t == kPlus ? "+" : operatorText(t);
      if (v.type == Value::kString) error(std::string("can't use non-numeric string as operand of \"") + op + "\"");
      switch (t) {
        case kMinus:
          if (v.type == Value::kInt) v.i = static_cast<long long>(0ull - static_cast<unsigned long long>(v.i));
          else v.d = -v.d;
          return v;
        case kPlus: return v;
        case kNot: {
          Value r;
          r.i = v.type == Value::kInt ? v.i == 0 : v.d == 0.0;
          return r;
        }
        default:
          if (v.type == Value::kDouble) error("can't use floating-point value as operand of \"~\"");
          v.i = ~v.i;
          return v;
      }
    }
    return primary();
  }

  Value primary() {
    if (token_ == kValue) {
      Value v = value_;
      next();
      return v;
    }
    if (token_ == kOpenParen) {
      next();
      Value v = parse(0);
      if (token_ != kCloseParen)
        error(std::string("unmatched parentheses in expression \"") + expression_ + "\"");
      next();
      return v;
    }
    if (token_ == kFunc) return function();
    if (token_ == kColon) error("can't have : operator without ? first");
    syntaxError();
  }

  // Binary operators of at least `minimum` precedence, left to right; ?: is right-associative.
  Value parse(int minimum) {
    Value left = unary();
    while (true) {
      Token op = token_;
      int prec = precedence(op);
      if (prec == 0 || prec < minimum) {
        if (op == kColon && minimum == 0 && !inTernary_) error("can't have : operator without ? first");
        if (op == kUnknown) syntaxError();
        if (op == kValue || op == kOpenParen || op == kFunc) syntaxError();
        return left;
      }
      // Operands that are not needed are skipped before they are lexed: a lexed [command] or
      // $variable is substituted at once.
      if (op == kQuestion) {
        bool condition = skip_ > 0 ? false : truth(left, "?");
        if (!condition) ++skip_;
        next();
        ++inTernary_;
        Value yes = parse(1);
        --inTernary_;
        if (!condition) --skip_;
        if (token_ != kColon) syntaxError();
        if (condition) ++skip_;
        next();
        Value no = parse(1);
        if (condition) --skip_;
        left = skip_ > 0 ? Value{} : condition ? yes : no;
        continue;
      }
      if (op == kAnd || op == kOr) {
        bool leftTrue = skip_ > 0 ? false : truth(left, operatorText(op));
        bool decided = skip_ == 0 && (op == kAnd ? !leftTrue : leftTrue);
        if (decided) ++skip_;
        next();
        Value right = parse(prec + 1);
        if (decided) --skip_;
        Value result;
        if (skip_ == 0) result.i = decided ? leftTrue : truth(right, operatorText(op));
        left = result;
        continue;
      }
      next();
      Value right = parse(prec + 1);
      left = skip_ > 0 ? Value{} : binary(op, left, right);
    }
  }

  bool truth(const Value &v, const char *op) {
    if (v.type == Value::kString) error(std::string("can't use non-numeric string as operand of \"") + op + "\"");
    return v.type == Value::kInt ? v.i != 0 : v.d != 0.0;
  }

  static std::string textOf(const Value &v) {
    if (v.type == Value::kString) return v.s;
    if (v.type == Value::kInt) return std::to_string(v.i);
    char buffer[TCL_DOUBLE_SPACE];
    Tcl_PrintDouble(nullptr, v.d, buffer);
    return buffer;
  }

  Value binary(Token op, Value a, Value b) {
    const std::string opText = operatorText(op);
    Value r;
    bool comparison = op == kLess || op == kGreater || op == kLeq || op == kGeq || op == kEqual || op == kNeq;
    if (comparison && (a.type == Value::kString || b.type == Value::kString)) {
      int c = std::strcmp(textOf(a).c_str(), textOf(b).c_str());
      r.i = op == kLess ? c < 0 : op == kGreater ? c > 0 : op == kLeq ? c <= 0 : op == kGeq ? c >= 0
          : op == kEqual ? c == 0 : c != 0;
      return r;
    }
    if (a.type == Value::kString || b.type == Value::kString)
      error("can't use non-numeric string as operand of \"" + opText + "\"");
    bool integerOnly = op == kMod || op == kLeftShift || op == kRightShift || op == kBitAnd ||
                       op == kBitXor || op == kBitOr;
    if (integerOnly && (a.type == Value::kDouble || b.type == Value::kDouble))
      error("can't use floating-point value as operand of \"" + opText + "\"");
    if (a.type == Value::kDouble || b.type == Value::kDouble) {
      double x = a.type == Value::kDouble ? a.d : static_cast<double>(a.i);
      double y = b.type == Value::kDouble ? b.d : static_cast<double>(b.i);
      if (comparison) {
        r.i = op == kLess ? x < y : op == kGreater ? x > y : op == kLeq ? x <= y : op == kGeq ? x >= y
            : op == kEqual ? x == y : x != y;
        return r;
      }
      r.type = Value::kDouble;
      switch (op) {
        case kMult: r.d = x * y; break;
        case kDivide:
          if (y == 0.0) error("divide by zero", "DIVZERO");
          r.d = x / y;
          break;
        case kPlus: r.d = x + y; break;
        default: r.d = x - y; break;
      }
      checkDouble(r.d);
      return r;
    }
    using U = unsigned long long;
    long long x = a.i, y = b.i;
    switch (op) {
      case kMult: r.i = static_cast<long long>(static_cast<U>(x) * static_cast<U>(y)); break;
      case kPlus: r.i = static_cast<long long>(static_cast<U>(x) + static_cast<U>(y)); break;
      case kMinus: r.i = static_cast<long long>(static_cast<U>(x) - static_cast<U>(y)); break;
      case kDivide:
      case kMod: {
        if (y == 0) error("divide by zero", "DIVZERO");
        long long quotient, remainder;
        if (y == -1) {
          quotient = static_cast<long long>(0ull - static_cast<U>(x));
          remainder = 0;
        } else {
          quotient = x / y;
          remainder = x % y;
          // Quotients round towards negative infinity; remainders take the divisor's sign.
          if (remainder != 0 && ((remainder < 0) != (y < 0))) {
            --quotient;
            remainder += y;
          }
        }
        r.i = op == kDivide ? quotient : remainder;
        break;
      }
      case kLeftShift: r.i = static_cast<long long>(static_cast<U>(x) << (y & 63)); break;
      case kRightShift: r.i = x >> (y & 63); break;
      case kLess: r.i = x < y; break;
      case kGreater: r.i = x > y; break;
      case kLeq: r.i = x <= y; break;
      case kGeq: r.i = x >= y; break;
      case kEqual: r.i = x == y; break;
      case kNeq: r.i = x != y; break;
      case kBitAnd: r.i = x & y; break;
      case kBitXor: r.i = x ^ y; break;
      case kBitOr: r.i = x | y; break;
      default: error("unknown operator in expression");
    }
    return r;
  }

  // name(arg, ...): the math functions and their 32-bit integer rules.
  Value function() {
    std::string name = funcName_;
    std::vector<Value> args;
    next();
    if (token_ != kCloseParen) {
      while (true) {
        args.push_back(parse(0));
        if (token_ == kComma) {
          next();
          continue;
        }
        break;
      }
    }
    if (token_ != kCloseParen) syntaxError();
    next();
    if (skip_ > 0) return Value{};
    using F1 = double (*)(double);
    using F2 = double (*)(double, double);
    struct Unary { const char *name; F1 f; };
    struct Binary { const char *name; F2 f; };
    static const Unary unaries[] = {{"acos", ::acos}, {"asin", ::asin},   {"atan", ::atan},
                                    {"ceil", ::ceil}, {"cos", ::cos},     {"cosh", ::cosh},
                                    {"exp", ::exp},   {"floor", ::floor}, {"log", ::log},
                                    {"log10", ::log10}, {"sin", ::sin},   {"sinh", ::sinh},
                                    {"sqrt", ::sqrt}, {"tan", ::tan},     {"tanh", ::tanh}};
    static const Binary binaries[] = {{"atan2", ::atan2}, {"fmod", ::fmod}, {"hypot", ::hypot}, {"pow", ::pow}};
    size_t wanted = 0;
    F1 f1 = nullptr;
    F2 f2 = nullptr;
    for (const Unary &u : unaries)
      if (name == u.name) f1 = u.f, wanted = 1;
    for (const Binary &b : binaries)
      if (name == b.name) f2 = b.f, wanted = 2;
    bool mixed = name == "abs" || name == "double" || name == "int" || name == "round";
    if (mixed) wanted = 1;
    if (wanted == 0) error("unknown math function \"" + name + "\"");
    if (args.size() < wanted) error("too few arguments for math function");
    if (args.size() > wanted) error("too many arguments for math function");
    for (const Value &v : args)
      if (v.type == Value::kString) error("argument to math function didn't have numeric value");
    auto asDouble = [](const Value &v) { return v.type == Value::kDouble ? v.d : static_cast<double>(v.i); };
    Value r;
    if (!mixed) {
      errno = 0;
      r.type = Value::kDouble;
      r.d = f1 != nullptr ? f1(asDouble(args[0])) : f2(asDouble(args[0]), asDouble(args[1]));
      checkDouble(r.d, errno);
      return r;
    }
    const Value &v = args[0];
    auto toInt32 = [&](double d) {
      // Written so that a NaN (a braced or substituted "nan(1)" reads as one) fails too.
      if (!(d >= -2147483648.0 && d < 2147483648.0)) error("integer value too large to represent", "IOVERFLOW");
      Value out;
      out.i = static_cast<long long>(d);
      return out;
    };
    if (name == "abs") {
      if (v.type == Value::kDouble) {
        r.type = Value::kDouble;
        r.d = std::fabs(v.d);
        return r;
      }
      if (v.i == INT64_MIN) error("integer value too large to represent", "IOVERFLOW");
      r.i = v.i < 0 ? -v.i : v.i;
      return r;
    }
    if (name == "double") {
      r.type = Value::kDouble;
      r.d = asDouble(v);
      return r;
    }
    if (v.type == Value::kInt) return v;
    if (name == "int") return toInt32(v.d);
    return toInt32(v.d < 0 ? v.d - 0.5 : v.d + 0.5);
  }

  Tcl_Interp *interp_;
  const char *expression_;
  const char *p_;
  Token token_ = kEnd;
  Value value_;
  std::string funcName_;
  static constexpr int kMaxDepth = 1000;
  int depth_ = 0;
  int skip_ = 0;       // > 0 while parsing an operand whose value is not needed
  int inTernary_ = 0;  // ?: branches being parsed
};

// Evaluates; false with the message in the interpreter result.
bool evaluate(Tcl_Interp *interp, const char *expression, Value &value) {
  if (interp == nullptr || expression == nullptr) return false;
  Evaluator evaluator(interp, expression);
  try {
    value = evaluator.run();
    return true;
  } catch (const Failure &) {
    return false;
  }
}

}  // namespace

extern "C" {

int Tcl_ExprString64(Tcl_Interp *interp, const char *expression) {
  Value value;
  if (!evaluate(interp, expression, value)) return TCL_ERROR;
  Tcl_ResetResult(interp);
  if (value.type == Value::kInt) {
    Tcl_AppendResult(interp, std::to_string(value.i).c_str(), nullptr);
  } else if (value.type == Value::kDouble) {
    char buffer[TCL_DOUBLE_SPACE];
    Tcl_PrintDouble(interp, value.d, buffer);
    Tcl_AppendResult(interp, buffer, nullptr);
  } else {
    Tcl_AppendResult(interp, value.s.c_str(), nullptr);
  }
  return TCL_OK;
}

int Tcl_ExprLong64(Tcl_Interp *interp, const char *expression, long long *result) {
  Value value;
  if (!evaluate(interp, expression, value)) return TCL_ERROR;
  if (value.type == Value::kString) {
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "expression didn't have numeric value", nullptr);
    return TCL_ERROR;
  }
  if (value.type == Value::kDouble && !(value.d >= -0x1p63 && value.d < 0x1p63)) {
    // A real beyond the 64-bit range has no integer to give.
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "integer value too large to represent", nullptr);
    Tcl_SetErrorCode(interp, "ARITH", "IOVERFLOW", "integer value too large to represent", nullptr);
    return TCL_ERROR;
  }
  if (result != nullptr) *result = value.type == Value::kInt ? value.i : static_cast<long long>(value.d);
  return TCL_OK;
}

int Tcl_ExprDouble64(Tcl_Interp *interp, const char *expression, double *result) {
  Value value;
  if (!evaluate(interp, expression, value)) return TCL_ERROR;
  if (value.type == Value::kString) {
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "expression didn't have numeric value", nullptr);
    return TCL_ERROR;
  }
  if (result != nullptr) *result = value.type == Value::kInt ? static_cast<double>(value.i) : value.d;
  return TCL_OK;
}

int Tcl_ExprBoolean64(Tcl_Interp *interp, const char *expression, int *result) {
  Value value;
  if (!evaluate(interp, expression, value)) return TCL_ERROR;
  int truth;
  if (value.type == Value::kString) {
    if (Tcl_GetBoolean(interp, value.s.c_str(), &truth) != TCL_OK) return TCL_ERROR;
  } else {
    truth = value.type == Value::kInt ? value.i != 0 : value.d != 0.0;
  }
  if (result != nullptr) *result = truth;
  return TCL_OK;
}

}  // extern "C"
