// libFuzzer target: 64-bit expressions. Byte 0 picks how the rest is used:
//   even  the text as an expression, through all four evaluation functions, in an interpreter that
//         has no commands at all (a [command] in the text can run nothing) and two variables;
//         the integer reading of operands is checked against a model of its own;
//   odd   the bytes drive the building of a well-formed integer expression (literals in every base,
//         unary minus, + - * / % << >> & | ^, parentheses), whose value is computed here on 64-bit
//         two's complement (with __int128 where the exact value matters) and must be what expr64
//         gives, or the error it must give (divide by zero).
#include <tcl.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "telvi/expr64.h"

namespace {

Tcl_Interp *interp;

std::vector<std::string> listOf(const std::string &script) {
  std::vector<std::string> result;
  if (Tcl_Eval(interp, script.c_str()) != TCL_OK) return result;
  int count;
  const char **items;
  if (Tcl_SplitList(nullptr, Tcl_GetStringResult(interp), &count, &items) != TCL_OK) return result;
  for (int i = 0; i < count; ++i) result.emplace_back(items[i]);
  Tcl_Free(reinterpret_cast<char *>(items));
  return result;
}

bool setUp() {
  interp = Tcl_CreateInterp();
  Tcl_SetVar(interp, "a", "6", TCL_GLOBAL_ONLY);
  Tcl_SetVar(interp, "s", "0x10 ", TCL_GLOBAL_ONLY);
  // Every command of every namespace goes, "namespace" and "info" (needed for the walk) last.
  std::vector<std::string> spaces = {"::"};
  for (size_t i = 0; i < spaces.size(); ++i)
    for (const std::string &child : listOf("namespace children " + spaces[i])) spaces.push_back(child);
  std::vector<std::string> commands;
  for (const std::string &ns : spaces)
    for (const std::string &name : listOf("info commands " + (ns == "::" ? std::string("::*") : ns + "::*")))
      if (name != "::namespace" && name != "::info" && name != "namespace" && name != "info")
        commands.push_back(name);
  for (const std::string &name : commands) Tcl_DeleteCommand(interp, name.c_str());
  Tcl_DeleteCommand(interp, "::namespace");
  Tcl_DeleteCommand(interp, "::info");
  // Nothing is left to run.
  Tcl_CmdInfo info;
  for (const char *name : {"::set", "::exec", "::open", "::file", "::tcl::file::delete", "::source", "::load",
                           "::socket", "::interp", "::namespace", "::info", "::rename", "::proc", "::while"})
    if (Tcl_GetCommandInfo(interp, name, &info) != 0) std::abort();
  if (Tcl_Eval(interp, "set a") == TCL_OK) std::abort();
  return true;
}

[[noreturn]] void fail(const char *what, const std::string &expression, const std::string &got,
                       const std::string &want) {
  std::fprintf(stderr, "%s\n  expression: %s\n  got:  %s\n  want: %s\n", what, expression.c_str(),
               got.c_str(), want.c_str());
  std::abort();
}

// ---- the operand reading ----

bool blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

// -1 no integer, -2 too large, 0 and the value.
int modelInteger(const std::string &text, long long *value) {
  size_t p = 0;
  while (p < text.size() && blank(text[p])) ++p;
  bool negative = p < text.size() && text[p] == '-';
  if (p < text.size() && (text[p] == '-' || text[p] == '+')) ++p;
  if (p >= text.size() || text[p] < '0' || text[p] > '9') return -1;
  int base = 10;
  if (text[p] == '0') {
    base = 8;
    if (p + 1 < text.size() && (text[p + 1] == 'x' || text[p + 1] == 'X') && p + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[p + 2]))) {
      base = 16;
      p += 2;
    }
  }
  unsigned __int128 magnitude = 0;
  bool tooLarge = false;
  size_t digits = p;
  for (; p < text.size(); ++p) {
    int d = std::isdigit(static_cast<unsigned char>(text[p]))    ? text[p] - '0'
            : std::isxdigit(static_cast<unsigned char>(text[p])) ? (std::tolower(text[p]) - 'a' + 10)
                                                                 : 99;
    if (d >= base) break;
    magnitude = magnitude * base + d;
    if (magnitude > UINT64_MAX) tooLarge = true, magnitude = UINT64_MAX;
  }
  if (p == digits) return -1;
  if (p < text.size() && (text[p] == '.' || text[p] == 'e' || text[p] == 'E')) return -1;
  while (p < text.size() && blank(text[p])) ++p;
  if (p != text.size()) return -1;
  if (tooLarge) return -2;
  uint64_t m = static_cast<uint64_t>(magnitude);
  *value = static_cast<long long>(negative ? 0 - m : m);
  return 0;
}

void checkInteger(const std::string &text) {
  long long got = 0, want = 0;
  int a = expr64ParseInteger(text.c_str(), &got), b = modelInteger(text, &want);
  if (a != b || (a == 0 && got != want))
    fail("integer reading", text, std::to_string(a) + " " + std::to_string(got),
         std::to_string(b) + " " + std::to_string(want));
}

// ---- well-formed integer expressions ----

struct Builder {
  const uint8_t *data;
  size_t size, at = 0;
  bool divideByZero = false;
  uint8_t next() { return at < size ? data[at++] : 0; }
  bool more() const { return at < size; }

  // A literal in decimal, octal or hexadecimal; its value.
  long long literal(std::string &text) {
    uint8_t form = next();
    uint64_t value = next();
    if (form & 0x10) value = value << 8 | next();
    if (form & 0x20) value = value << 24 | next() << 16 | next();
    if (form & 0x40) value = value << 32 | static_cast<uint64_t>(next()) << 24;
    char buffer[64];
    switch (form & 3) {
      case 0:
        std::snprintf(buffer, sizeof buffer, "%llu", static_cast<unsigned long long>(value));
        break;
      case 1:
        std::snprintf(buffer, sizeof buffer, "0%llo", static_cast<unsigned long long>(value));
        break;
      default:
        std::snprintf(buffer, sizeof buffer, "0x%llx", static_cast<unsigned long long>(value));
        break;
    }
    text += buffer;
    return static_cast<long long>(value);
  }

  static long long floorDivide(long long x, long long y, bool remainder) {
    // Quotient rounded towards negative infinity, remainder with the divisor's sign; the one
    // quotient that does not fit wraps.
    __int128 q = static_cast<__int128>(x) / y, r = static_cast<__int128>(x) % y;
    if (r != 0 && ((r < 0) != (y < 0))) {
      --q;
      r += y;
    }
    return remainder ? static_cast<long long>(r)
                     : static_cast<long long>(static_cast<uint64_t>(static_cast<unsigned __int128>(q)));
  }

  long long operand(std::string &text, int depth) {
    uint8_t kind = next();
    if (depth < 6 && (kind & 7) == 0) {
      text += "(";
      long long v = expression(text, depth + 1);
      text += ")";
      return v;
    }
    if (depth < 6 && (kind & 7) == 1) {
      text += "-";
      return static_cast<long long>(0 - static_cast<uint64_t>(operand(text, depth + 1)));
    }
    if (depth < 6 && (kind & 7) == 2) {
      text += "~";
      return ~operand(text, depth + 1);
    }
    return literal(text);
  }

  static int precedence(int op) {
    return op < 3 ? 11 : op < 5 ? 10 : op < 7 ? 9 : op == 7 ? 6 : op == 8 ? 5 : 4;
  }

  long long apply(int op, long long x, long long y) {
    using U = uint64_t;
    switch (op) {
      case 0:
        return static_cast<long long>(static_cast<U>(x) * static_cast<U>(y));
      case 1:
      case 2:
        if (y == 0) {
          divideByZero = true;
          return 0;
        }
        return floorDivide(x, y, op == 2);
      case 3:
        return static_cast<long long>(static_cast<U>(x) + static_cast<U>(y));
      case 4:
        return static_cast<long long>(static_cast<U>(x) - static_cast<U>(y));
      case 5:
        return static_cast<long long>(static_cast<U>(x) << (y & 63));
      case 6:
        return x >> (y & 63);
      case 7:
        return x & y;
      case 8:
        return x ^ y;
      default:
        return x | y;
    }
  }

  // Operands and operators, evaluated by precedence with an operator stack.
  long long expression(std::string &text, int depth) {
    static const char *const kOps[] = {"*", "/", "%", "+", "-", "<<", ">>", "&", "^", "|"};
    long long values[16];
    int ops[16];
    int nv = 0, no = 0;
    values[nv++] = operand(text, depth);
    int terms = 0;
    while (more() && terms++ < 8) {
      int op = next() % 10;
      // Fold what binds at least as tightly: left to right within a level.
      while (no > 0 && precedence(ops[no - 1]) >= precedence(op)) {
        long long y = values[--nv], x = values[--nv];
        values[nv++] = apply(ops[--no], x, y);
      }
      ops[no++] = op;
      text += " ";
      text += kOps[op];
      text += " ";
      values[nv++] = operand(text, depth);
      if (next() & 1) break;
    }
    while (no > 0) {
      long long y = values[--nv], x = values[--nv];
      values[nv++] = apply(ops[--no], x, y);
    }
    return values[0];
  }
};

void arithmetic(const uint8_t *data, size_t size) {
  Builder b{data, size};
  std::string text;
  long long want = b.expression(text, 0);
  if (Tcl_ExprString64(interp, text.c_str()) != TCL_OK) {
    std::string message = Tcl_GetStringResult(interp);
    if (b.divideByZero && message == "divide by zero") return;
    fail("a well-formed expression fails", text, message, std::to_string(want));
  }
  if (b.divideByZero)
    fail("a division by zero gives a value", text, Tcl_GetStringResult(interp), "divide by zero");
  std::string got = Tcl_GetStringResult(interp);
  if (got != std::to_string(want))
    fail("a well-formed expression gives another value", text, got, std::to_string(want));
  long long value = 0;
  if (Tcl_ExprLong64(interp, text.c_str(), &value) != TCL_OK || value != want)
    fail("Tcl_ExprLong64 disagrees", text, std::to_string(value), std::to_string(want));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  (void)ready;
  if (size < 1 || size > 8192) return 0;
  if (data[0] & 1) {
    arithmetic(data + 1, size - 1);
    return 0;
  }
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  text.resize(std::strlen(text.c_str()));
  checkInteger(text);
  long long l;
  double d;
  int b;
  Tcl_ExprString64(interp, text.c_str());
  Tcl_ExprLong64(interp, text.c_str(), &l);
  Tcl_ExprDouble64(interp, text.c_str(), &d);
  Tcl_ExprBoolean64(interp, text.c_str(), &b);
  Tcl_ResetResult(interp);
  return 0;
}
