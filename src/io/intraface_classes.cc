// The layer classes of intrafaces: transports that cut frames at the byte 0x04, the printable "sin"
// encoding, and the field codecs "type", "tid" and "tsid".
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "io/intraface_classes.h"
#include "telvi/intraface.h"

namespace {

constexpr char kEot = '\x04';

// A fresh copy of the bytes for the caller to free.
int handBack(const std::string &text, char **out, size_t *outLen) {
  auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
  if (copy == nullptr) return errno = ENOMEM, -1;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  *out = copy;
  *outLen = text.size();
  return 0;
}

// ---- transports ----

// The frame ends before the first 0x04; `newlineAfter` also takes a newline right behind it (or asks
// for the next byte to be dropped when it has not arrived yet); `newlineBefore` drops one before it.
int cutAtEot(const char *buf, size_t len, size_t *frameLen, size_t *consumed, int *dropNewline,
             bool newlineAfter, bool newlineBefore) {
  const void *mark = std::memchr(buf, kEot, len);
  if (mark == nullptr) return 0;
  size_t at = static_cast<size_t>(static_cast<const char *>(mark) - buf);
  *frameLen = newlineBefore && at > 0 && buf[at - 1] == '\n' ? at - 1 : at;
  *consumed = at + 1;
  *dropNewline = 0;
  if (newlineAfter) {
    if (at + 1 < len) {
      if (buf[at + 1] == '\n') ++*consumed;
    } else {
      *dropNewline = 1;
    }
  }
  return 1;
}

int eotRead(const char *buf, size_t len, size_t *frameLen, size_t *consumed, int *dropNewline) {
  return cutAtEot(buf, len, frameLen, consumed, dropNewline, false, false);
}
int eotnRead(const char *buf, size_t len, size_t *frameLen, size_t *consumed, int *dropNewline) {
  return cutAtEot(buf, len, frameLen, consumed, dropNewline, true, false);
}
int shellRead(const char *buf, size_t len, size_t *frameLen, size_t *consumed, int *dropNewline) {
  return cutAtEot(buf, len, frameLen, consumed, dropNewline, true, true);
}

int withTrailer(const char *frame, size_t len, const char *trailer, size_t trailerLen, char **out,
                size_t *outLen) {
  std::string text(frame, len);
  text.append(trailer, trailerLen);
  return handBack(text, out, outLen);
}

int eotWrite(const char *frame, size_t len, char **out, size_t *outLen) {
  return withTrailer(frame, len, "\x04", 1, out, outLen);
}
int eotnWrite(const char *frame, size_t len, char **out, size_t *outLen) {
  return withTrailer(frame, len, "\x04\n", 2, out, outLen);
}
// The shell echoes the delimiter once the command's output is complete.
int shellWrite(const char *frame, size_t len, char **out, size_t *outLen) {
  return withTrailer(frame, len, "\necho \x04\n", 8, out, outLen);
}

// ---- the "sin" encoding ----

int sinEncode(const char *in, size_t len, char **out, size_t *outLen) {
  std::string text;
  telvi::io::sinEncode(reinterpret_cast<const unsigned char *>(in), len, text);
  return handBack(text, out, outLen);
}

int sinDecode(const char *in, size_t len, char **out, size_t *outLen) {
  std::string bytes;
  if (!telvi::io::sinDecode(in, len, bytes)) return errno = EBADMSG, -1;
  return handBack(bytes, out, outLen);
}

// ---- field codecs ----

// The codecs' frames are matched as the regular expressions
//   type  ^TYPE=([a-zA-Z0-9_-]+)\n(.*)$
//   tid   TYPE=([a-zA-Z0-9_-]+) ID=(.*) CONTENTS=(.*)$
//   tsid  ^TYPE=([a-zA-Z0-9_-]+) SUBTYPE=([a-zA-Z0-9_-]+) ID=([a-zA-Z0-9_-]+)\n(.*)$
// match them ('.' taking any byte, newlines and NUL included; the leftmost match, each group as long
// as it can be), by hand: a regular-expression engine needs time quadratic in the frame for the two
// greedy groups of "tid" (seconds for a 64 KiB frame), and a peer must not be able to stall the agent.
struct Span {
  size_t begin, end;
};

bool wordByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

// The end of the run of word bytes from `at`, or 0 when the run is empty.
size_t wordRun(const std::string_view &frame, size_t at) {
  size_t end = at;
  while (end < frame.size() && wordByte(frame[end])) ++end;
  return end > at ? end : 0;
}

// A literal at `at`; the position behind it, or 0.
size_t literal(const std::string_view &frame, size_t at, std::string_view text) {
  return frame.compare(at, text.size(), text) == 0 ? at + text.size() : 0;
}

bool matchType(std::string_view frame, std::vector<Span> &groups) {
  size_t at = literal(frame, 0, "TYPE="), end = at != 0 ? wordRun(frame, at) : 0;
  if (end == 0 || literal(frame, end, "\n") == 0) return false;
  groups = {{at, end}, {end + 1, frame.size()}};
  return true;
}

bool matchTsid(std::string_view frame, std::vector<Span> &groups) {
  groups.clear();
  size_t at = 0;
  for (std::string_view before : {"TYPE=", " SUBTYPE=", " ID="}) {
    at = literal(frame, at, before);
    size_t end = at != 0 ? wordRun(frame, at) : 0;
    if (end == 0) return false;
    groups.push_back({at, end});
    at = end;
  }
  if (literal(frame, at, "\n") == 0) return false;
  groups.push_back({at + 1, frame.size()});
  return true;
}

bool matchTid(std::string_view frame, std::vector<Span> &groups) {
  constexpr std::string_view contents = " CONTENTS=";
  size_t last = frame.rfind(contents);  // the greedy id runs to the last one
  if (last == std::string_view::npos) return false;
  for (size_t at = frame.find("TYPE="); at != std::string_view::npos; at = frame.find("TYPE=", at + 1)) {
    size_t end = wordRun(frame, at + 5);
    size_t id = end != 0 ? literal(frame, end, " ID=") : 0;
    if (id == 0) continue;
    if (last < id) return false;  // every later start lies further right still
    groups = {{at + 5, end}, {id, last}, {last + contents.size(), frame.size()}};
    return true;
  }
  return false;
}

using Matcher = bool (*)(std::string_view, std::vector<Span> &);

int extractWith(Matcher match, const char *frame, size_t len, int *count, char ***fields,
                size_t **lengths) {
  std::vector<Span> groups;
  if (!match(std::string_view(frame, len), groups)) return errno = EBADMSG, -1;
  size_t n = groups.size();
  auto **list = static_cast<char **>(std::calloc(n, sizeof(char *)));
  auto *sizes = static_cast<size_t *>(std::calloc(n, sizeof(size_t)));
  if (list == nullptr || sizes == nullptr) {
    std::free(list), std::free(sizes);
    return errno = ENOMEM, -1;
  }
  for (size_t i = 0; i < n; ++i) {
    if (handBack(std::string(frame + groups[i].begin, groups[i].end - groups[i].begin), &list[i],
                 &sizes[i]) != 0) {
      intrafaceFreeBufferList(static_cast<int>(i), list, sizes);
      return -1;
    }
  }
  *count = static_cast<int>(n);
  *fields = list;
  *lengths = sizes;
  return 0;
}

std::string field(char *const *fields, const size_t *lengths, int i) {
  return std::string(fields[i], lengths != nullptr ? lengths[i] : std::strlen(fields[i]));
}

// Refuses any other number of fields and a missing one.
bool fieldsGiven(int want, int count, char *const *fields) {
  if (count != want || fields == nullptr) return false;
  for (int i = 0; i < count; ++i)
    if (fields[i] == nullptr) return false;
  return true;
}

int typeExtract(const char *frame, size_t len, int *count, char ***fields, size_t **lengths) {
  return extractWith(matchType, frame, len, count, fields, lengths);
}
int tidExtract(const char *frame, size_t len, int *count, char ***fields, size_t **lengths) {
  return extractWith(matchTid, frame, len, count, fields, lengths);
}
int tsidExtract(const char *frame, size_t len, int *count, char ***fields, size_t **lengths) {
  return extractWith(matchTsid, frame, len, count, fields, lengths);
}

int typeInsert(int count, char *const *fields, const size_t *lengths, char **frame, size_t *len) {
  if (!fieldsGiven(2, count, fields)) return errno = EINVAL, -1;
  return handBack("TYPE=" + field(fields, lengths, 0) + "\n" + field(fields, lengths, 1), frame,
                  len);
}
int tidInsert(int count, char *const *fields, const size_t *lengths, char **frame, size_t *len) {
  if (!fieldsGiven(3, count, fields)) return errno = EINVAL, -1;
  return handBack("TYPE=" + field(fields, lengths, 0) + " ID=" + field(fields, lengths, 1) +
                      " CONTENTS=" + field(fields, lengths, 2),
                  frame, len);
}
int tsidInsert(int count, char *const *fields, const size_t *lengths, char **frame, size_t *len) {
  if (!fieldsGiven(4, count, fields)) return errno = EINVAL, -1;
  return handBack("TYPE=" + field(fields, lengths, 0) + " SUBTYPE=" + field(fields, lengths, 1) +
                      " ID=" + field(fields, lengths, 2) + "\n" + field(fields, lengths, 3),
                  frame, len);
}

const intrafaceClass kTypeClass = {"type", nullptr, nullptr, nullptr, nullptr, typeExtract, typeInsert};
const intrafaceClass kTidClass = {"tid", nullptr, nullptr, nullptr, nullptr, tidExtract, tidInsert};
const intrafaceClass kTsidClass = {"tsid", nullptr, nullptr, nullptr, nullptr, tsidExtract, tsidInsert};
const intrafaceClass kSinClass = {"sin", nullptr, nullptr, sinDecode, sinEncode, nullptr, nullptr};
const intrafaceClass kEotClass = {"eot", eotRead, eotWrite, nullptr, nullptr, nullptr, nullptr};
const intrafaceClass kEotnClass = {"eotn", eotnRead, eotnWrite, nullptr, nullptr, nullptr, nullptr};
const intrafaceClass kShellClass = {"shell", shellRead, shellWrite, nullptr, nullptr, nullptr, nullptr};

}  // namespace

namespace telvi::io {

void sinEncode(const unsigned char *in, size_t len, std::string &out) {
  static const char kHeader[] = "!#sin\n";
  // At most four characters and a newline per byte, the header and the final newline.
  out.resize(sizeof kHeader - 1 + len * 5 + 1);
  char *cursor = out.data();
  for (const char *c = kHeader; *c != '\0'; ++c) *cursor++ = *c;
  // The filler bits come from a generator of this call's own, so the script's `random` sequence is
  // left alone and the same input always gives the same text.
  unsigned int state = kSinStart;
  int line = 0, groups = 0;
  double bound = 9.5;  // sin(line / 12.0) * 9.0 + 9.5, for the current line
  for (size_t i = 0; i < len; ++i) {
    unsigned value = static_cast<unsigned>(rand_r(&state)) & 0xAAAAu;
    for (int bit = 0; bit < 8; ++bit) value |= ((in[i] >> bit) & 1u) << (2 * bit);
    for (int nibble = 0; nibble < 4; ++nibble)
      *cursor++ = static_cast<char>('J' + ((value >> (4 * nibble)) & 0xF));
    if (++groups >= bound) {
      *cursor++ = '\n';
      groups = 0;
      ++line;
      bound = std::sin(line / 12.0) * 9.0 + 9.5;
    }
  }
  *cursor++ = '\n';
  out.resize(static_cast<size_t>(cursor - out.data()));
}

bool sinDecode(const char *in, size_t len, std::string &out) {
  out.clear();
  out.reserve(len / 4);
  for (size_t i = 0; i < len;) {
    char c = in[i];
    if (c < 'J' || c > 'Z') {
      ++i;
      continue;
    }
    if (len - i < 4) return false;
    unsigned value = 0;
    for (int nibble = 0; nibble < 4; ++nibble) {
      char digit = in[i + static_cast<size_t>(nibble)];
      if (digit < 'J' || digit > 'Y') return false;
      value |= static_cast<unsigned>(digit - 'J') << (4 * nibble);
    }
    unsigned char byte = 0;
    for (int bit = 0; bit < 8; ++bit)
      if (value & (1u << (2 * bit))) byte |= static_cast<unsigned char>(1u << bit);
    out += static_cast<char>(byte);
    i += 4;
  }
  return true;
}

void registerIntrafaceClasses() {
  for (const intrafaceClass *cls :
       {&kTypeClass, &kTidClass, &kTsidClass, &kSinClass, &kEotClass, &kEotnClass, &kShellClass})
    intrafaceRegister(cls);
}

}  // namespace telvi::io
