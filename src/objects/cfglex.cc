// Scanner of configuration object files: three states, one input per level of nesting.
//
// States: INITIAL (at a token position: keys, "=", braces, actions), AFTER-EQUALS (a value may
// follow) and IN-ACTION (the text between "[" and "]"). Among the rules that match at a position
// the longest match wins, the earlier rule on equal length; the code below decides by first
// character, which gives the same result.
//
// A NUL byte is never part of a token: every rule stops before it, and on its own it is a token
// that the grammar rejects, so a file holding one is a syntax error at that line rather than a
// text cut short.
#include "objects/cfglex.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "io/class.h"
#include "telvi/interface.h"
#include "telvi/package.h"

struct cfgLexContext {
  unsigned long serial = 0;  // inputs pushed later have greater numbers
  std::string name;
  std::string text;  // the whole input; it always ends with a newline
  size_t position = 0;
  int line = 1;
  int state = 0;
  cfgLexContext *below = nullptr;
};

namespace telvi::cfg {
namespace {

enum State { kInitial, kAfterEquals, kInAction };

// The token of a NUL byte: no production takes it.
constexpr int kNulToken = 256;

cfgLexContext *top = nullptr;
int depth = 0;
unsigned long serials = 0;
std::string lastToken;
bool traceOn = false;

bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }
bool isAlnum(unsigned char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }
bool isWordChar(unsigned char c) { return isAlnum(c) || (c != 0 && std::strchr("%,./?_", c) != nullptr); }
bool isKeyChar(unsigned char c) { return isWordChar(c) || (c != 0 && std::strchr("()+-:", c) != nullptr); }
bool isHex(unsigned char c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
int hexValue(unsigned char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

__attribute__((format(printf, 1, 2))) void trace(const char *format, ...) {
  if (!traceOn) return;
  std::fprintf(stderr, "dlexer %s(%d): ", top != nullptr ? top->name.c_str() : "", top != nullptr ? top->line : 0);
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(stderr, format, arguments);
  va_end(arguments);
}

void popTop() {
  cfgLexContext *popped = top;
  trace("Popped %s context\n", popped->name.c_str());
  top = popped->below;
  --depth;
  delete popped;
}

int countLines(const char *text, size_t length) {
  int lines = 0;
  for (size_t i = 0; i < length; ++i) lines += text[i] == '\n';
  return lines;
}

// Backslash sequences of VALUE and ACTION texts.
std::string unescape(const char *text, size_t length) {
  std::string out;
  out.reserve(length);
  const char *end = text + length;
  for (const char *p = text; p < end; ++p) {
    if (*p != '\\') {
      out += *p;
      continue;
    }
    if (++p == end) {
      out += '\\';
      break;
    }
    unsigned char c = static_cast<unsigned char>(*p);
    switch (c) {
      case 'a': out += '\a'; break;
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'v': out += '\v'; break;
      case 'x': {
        if (p + 1 == end || !isHex(static_cast<unsigned char>(p[1]))) {
          out += 'x';
          break;
        }
        unsigned value = 0;
        while (p + 1 < end && isHex(static_cast<unsigned char>(p[1]))) value = (value << 4) + hexValue(*++p);
        out += static_cast<char>(value & 0xff);
        break;
      }
      case '\n':
        while (p + 1 < end && isBlank(static_cast<unsigned char>(p[1]))) ++p;
        out += ' ';
        break;
      default:
        if (c >= '0' && c <= '9') {
          // Up to three digits read as octal; 8 and 9 are taken as they come.
          unsigned value = c - '0';
          for (int digits = 1; digits < 3 && p + 1 < end && p[1] >= '0' && p[1] <= '9'; ++digits)
            value = value * 8 + (*++p - '0');
          out += static_cast<char>(value & 0xff);
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

// Token with its text as the last token.
int token(int code, const char *text, size_t length) {
  lastToken = std::string(text, length);
  return code;
}

// Rule: a double-quoted value. A quote preceded by a backslash does not end it. Returns the
// length of the match (0 when there is no closing quote).
size_t quotedLength(const std::string &text, size_t start) {
  size_t close = text.find('"', start + 1);
  if (close == std::string::npos) return 0;
  while (text[close - 1] == '\\') {
    size_t next = text.find('"', close + 1);
    if (next == std::string::npos) break;
    close = next;
  }
  if (std::memchr(text.data() + start, '\0', close - start) != nullptr) return 0;
  return close - start + 1;
}

// The first of the characters (NUL included) at or after from; the end of the text when none.
size_t findAny(const std::string &text, size_t from, const char *characters) {
  size_t found = text.find_first_of(std::string(characters, std::strlen(characters) + 1), from);
  return found == std::string::npos ? text.size() : found;
}

// Rule: an unquoted value up to the first ";" or newline (not included), with line continuation:
// a backslash before the newline joins the next line to the value. With nothing before the
// backslash there is no value yet: returns -1 and the next line is scanned afresh.
int plainValue(cfgLexContext &in, std::string &value) {
  const std::string &text = in.text;
  size_t start = in.position;
  std::string collected;
  size_t from = start;
  for (;;) {
    size_t stop = findAny(text, from, ";\n");
    if (stop < text.size() && text[stop] == '\n' && stop > from && text[stop - 1] == '\\') {
      collected.append(text, from, stop - 1 - from);
      ++in.line;
      from = stop + 1;
      if (collected.empty()) {
        in.position = from;
        return -1;
      }
      continue;
    }
    collected.append(text, from, stop - from);
    in.position = stop;
    break;
  }
  lastToken.assign(text, start, in.position - start);
  size_t keep = collected.size();
  while (keep > 0 && std::strchr(" \t\r\v\f", collected[keep - 1]) != nullptr) --keep;
  value = unescape(collected.data(), keep);
  in.state = kInitial;
  trace("Matched VALUE '%s'\n", value.c_str());
  return CFG_VALUE;
}

int scan(cfgLexContext &in, std::string &value) {
  const std::string &text = in.text;
  for (;;) {
    if (in.position >= text.size()) {
      // The end of an input: it is popped, and the grammar sees the end.
      lastToken.clear();
      popTop();
      return 0;
    }
    const char *here = text.data() + in.position;
    unsigned char c = static_cast<unsigned char>(*here);

    if (c == '\0') break;  // a token of its own below
    if (in.state == kInAction) {
      if (c == ']') break;  // the closing bracket below
      size_t end = findAny(text, in.position, "]");
      size_t length = end - in.position;
      in.line += countLines(here, length);
      value = unescape(here, length);
      in.position = end;
      in.state = kInitial;
      trace("Matched ACTION - '%s'\n", value.c_str());
      return token(CFG_ACTION, here, length);
    }

    if (isBlank(c)) {
      size_t length = 1;
      while (isBlank(static_cast<unsigned char>(here[length]))) ++length;
      in.position += length;
      trace("Matched whitespace\n");
      continue;
    }
    if (c == '#') {
      size_t end = findAny(text, in.position, "\n");
      std::string comment(here, end - in.position);
      if (comment.compare(0, 9, "#debug_on") == 0) traceOn = true;
      if (comment.compare(0, 10, "#debug_off") == 0) traceOn = false;
      in.position = end;
      trace("Matched comment '%s'\n", comment.c_str());
      continue;
    }
    if (c == '"') {
      if (size_t length = quotedLength(text, in.position)) {
        in.line += countLines(here, length);
        value = unescape(here + 1, length - 2);
        in.position += length;
        in.state = kInitial;
        trace("Matched VALUE '%s'\n", value.c_str());
        return token(CFG_VALUE, here, length);
      }
      break;  // a lone quote: a single character below
    }
    if (c == '[') {
      in.position += 1;
      in.state = kInAction;
      trace("Matched character '%c'\n", c);
      return token('[', here, 1);
    }
    if (c == ';' || c == '\n') {
      in.position += 1;
      in.state = kInitial;
      if (c == '\n') {
        trace("Matched newline\n");
        ++in.line;
      }
      return token(CFG_SEMI, here, 1);
    }
    if (in.state == kAfterEquals) {
      if (c == '{') {
        trace("Matched character '%c'\n", c);
        in.position += 1;
        in.state = kInitial;
        return token('{', here, 1);
      }
      int code = plainValue(in, value);
      if (code < 0) continue;
      return code;
    }
    // INITIAL
    if (c == '^' || c == '~' || isWordChar(c)) {
      size_t length = 1;
      while (isKeyChar(static_cast<unsigned char>(here[length]))) ++length;
      value.assign(here, length);
      in.position += length;
      trace("Matched KEYLIST '%s'\n", value.c_str());
      return token(CFG_KEYLIST, here, length);
    }
    if (c == '=') {
      trace("Matched character '%c'\n", c);
      in.position += 1;
      in.state = kAfterEquals;
      return token('=', here, 1);
    }
    break;
  }
  // Any other single character ("}" and "]" included).
  const char *here = text.data() + in.position;
  unsigned char c = static_cast<unsigned char>(*here);
  in.position += 1;
  if (c == '\0') {
    in.state = kInitial;
    trace("Matched character '\\0'\n");
    return token(kNulToken, here, 1);
  }
  if (c != '}' && c != ']' && in.state != kInitial && c < 128) {
    in.state = kInitial;
    value.assign(here, 1);
    trace("Matched VALUE '%s'\n", value.c_str());
    return token(CFG_VALUE, here, 1);
  }
  in.state = kInitial;
  trace("Matched character '%c'\n", c);
  return token(c, here, 1);
}

// A file address without open flags opens the file for writing and empties it: reading a
// configuration that way must not destroy it, so such an address is read read-only.
std::string readOnly(const char *name) {
  if (isURL(name)) {
    std::unique_ptr<char, decltype(&std::free)> scheme(getURLScheme(name), std::free);
    std::unique_ptr<char, decltype(&std::free)> flags(getURLParam(name, "flags"), std::free);
    if (scheme && std::strcmp(scheme.get(), "file") == 0 && !flags) return std::string(name) + ";flags=ro";
    return name;
  }
  if (std::strncmp(name, "file:", 5) != 0) return name;
  auto fields = telvi::io::specFields(name, 3);
  if (fields[0] && !fields[1]) return "file:" + *fields[0] + ":ro";
  return name;
}

}  // namespace

int nextToken(unsigned long input, std::string &value) {
  if (top == nullptr || top->serial != input) {
    lastToken.clear();
    return 0;  // that input has ended
  }
  return scan(*top, value);
}

unsigned long inputSerial(const cfgLexContext *context) { return context->serial; }

void popInput(unsigned long input) {
  while (top != nullptr && top->serial >= input) popTop();
}

bool tracing() { return traceOn; }
void setTracing(bool on) { traceOn = on; }

}  // namespace telvi::cfg

using namespace telvi::cfg;

extern "C" {

int cfgfileOpenFile(const char *name) {
  if (name == nullptr) return -1;
  Intfile_InitInternal();  // reading files must not depend on the order the packages were loaded in
  int fd = interfaceOpen(readOnly(name).c_str());
  if (fd >= 0) return fd;
  std::string url = std::string("file://localhost/") + name + ";flags=ro";
  return interfaceOpen(url.c_str());
}

cfgLexContext *cfglexPushContext(const char *file, const char *string) {
  if ((file == nullptr) == (string == nullptr)) {
    reportError("must specify either a string or a file");
    return nullptr;
  }
  if (depth >= CFG_MAX_INPUT_DEPTH) {
    reportError("attempted to exceed maximum file nesting depth");
    return nullptr;
  }
  std::unique_ptr<cfgLexContext> context(new (std::nothrow) cfgLexContext);
  if (!context) {
    reportError("failed to allocate LexContext structure");
    return nullptr;
  }
  if (string != nullptr) {
    context->name = "<STRING INPUT>";
    context->text = string;
  } else {
    context->name = file;
    int fd = cfgfileOpenFile(file);
    if (fd < 0) {
      reportError("failed to open file");
      return nullptr;
    }
    std::string &text = context->text;
    char buffer[16384];
    ssize_t got;
    while ((got = interfaceRead(fd, buffer, sizeof buffer, nullptr)) > 0) text.append(buffer, static_cast<size_t>(got));
    interfaceClose(fd);
    if (got < 0) {
      reportError("failed to open file");
      return nullptr;
    }
  }
  // A last line without its newline reads as if it had one.
  if (context->text.empty() || context->text.back() != '\n') context->text += '\n';
  context->below = top;
  context->serial = ++serials;
  top = context.release();
  ++depth;
  trace("Pushed %s context\n", top->name.c_str());
  return top;
}

void cfglexPopContext(cfgLexContext *context) {
  bool onStack = false;
  for (cfgLexContext *level = top; level != nullptr && !onStack; level = level->below) onStack = level == context;
  // Inputs left above it by a parse that ended early go with it.
  if (onStack) popInput(context->serial);
}

const char *cfglexFile(void) { return top != nullptr ? top->name.c_str() : ""; }
int cfglexLineno(void) { return top != nullptr ? top->line : -1; }
const char *cfglexToken(void) { return lastToken.c_str(); }

}  // extern "C"
