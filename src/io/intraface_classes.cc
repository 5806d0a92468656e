// The layer classes of intrafaces: transports that cut frames at the byte 0x04, the printable "sin"
// encoding, and the field codecs "type", "tid" and "tsid".
#include <tcl.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
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

struct Codec {
  int fields;
  const char *pattern;
  Tcl_Obj *compiled = nullptr;  // keeps the compiled expression for the process's lifetime
};

Codec typeCodec{2, "^TYPE=([a-zA-Z0-9_-]+)\n(.*)$"};
Codec tidCodec{3, "TYPE=([a-zA-Z0-9_-]+) ID=(.*) CONTENTS=(.*)$"};
Codec tsidCodec{4, "^TYPE=([a-zA-Z0-9_-]+) SUBTYPE=([a-zA-Z0-9_-]+) ID=([a-zA-Z0-9_-]+)\n(.*)$"};

constexpr int kMaxGroups = 20;

// Matches the frame as bytes (one character per byte, so NUL and any byte value are contents) and
// copies the groups out.
int extractWith(Codec &codec, const char *frame, size_t len, int *count, char ***fields,
                size_t **lengths) {
  if (codec.compiled == nullptr) {
    codec.compiled = Tcl_NewStringObj(codec.pattern, -1);
    Tcl_IncrRefCount(codec.compiled);
  }
  Tcl_RegExp re = Tcl_GetRegExpFromObj(nullptr, codec.compiled, TCL_REG_ADVANCED);
  if (re == nullptr) return errno = EINVAL, -1;
  Tcl_Obj *text = Tcl_NewByteArrayObj(reinterpret_cast<const unsigned char *>(frame),
                                      static_cast<int>(len));
  Tcl_IncrRefCount(text);
  int groups = codec.fields < kMaxGroups ? codec.fields : kMaxGroups;
  int matched = Tcl_RegExpExecObj(nullptr, re, text, 0, groups + 1, 0);
  Tcl_DecrRefCount(text);
  if (matched != 1) return errno = EBADMSG, -1;
  Tcl_RegExpInfo info;
  Tcl_RegExpGetInfo(re, &info);
  auto **list = static_cast<char **>(std::calloc(static_cast<size_t>(groups), sizeof(char *)));
  auto *sizes = static_cast<size_t *>(std::calloc(static_cast<size_t>(groups), sizeof(size_t)));
  if (list == nullptr || sizes == nullptr) {
    std::free(list), std::free(sizes);
    return errno = ENOMEM, -1;
  }
  for (int i = 0; i < groups; ++i) {
    long start = info.matches[i + 1].start, end = info.matches[i + 1].end;
    if (start < 0 || end < start) start = end = 0;
    size_t size = static_cast<size_t>(end - start);
    if (handBack(std::string(frame + start, size), &list[i], &sizes[i]) != 0) {
      intrafaceFreeBufferList(i, list, sizes);
      return -1;
    }
  }
  *count = groups;
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
  return extractWith(typeCodec, frame, len, count, fields, lengths);
}
int tidExtract(const char *frame, size_t len, int *count, char ***fields, size_t **lengths) {
  return extractWith(tidCodec, frame, len, count, fields, lengths);
}
int tsidExtract(const char *frame, size_t len, int *count, char ***fields, size_t **lengths) {
  return extractWith(tsidCodec, frame, len, count, fields, lengths);
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
  out = "!#sin\n";
  out.reserve(out.size() + len * 4 + len / 8 + 2);
  // The filler bits come from a generator of this call's own, so the script's `random` sequence is
  // left alone and the same input always gives the same text.
  unsigned int seed = kSinSeed;
  int line = 0, groups = 0;
  for (size_t i = 0; i < len; ++i) {
    unsigned value = static_cast<unsigned>(rand_r(&seed)) & 0xAAAAu;
    for (int bit = 0; bit < 8; ++bit)
      if (in[i] & (1u << bit)) value |= 1u << (2 * bit);
    for (int nibble = 0; nibble < 4; ++nibble)
      out += static_cast<char>('J' + ((value >> (4 * nibble)) & 0xF));
    if (++groups >= std::sin(line / 12.0) * 9.0 + 9.5) {
      out += '\n';
      groups = 0;
      ++line;
    }
  }
  out += '\n';
}

bool sinDecode(const char *in, size_t len, std::string &out) {
  out.clear();
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
