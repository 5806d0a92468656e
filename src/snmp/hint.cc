// OID text, RFC 2579 display hints for octet strings and integers, and the message summary.
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "snmp/engine.h"
#include "telvi/snmp.h"

namespace {

// One part of an octet hint.
struct HintPart {
  bool star;
  uint32_t length;
  char format;
  int separator;  // -1: none
  int terminator; // -1: none
};

constexpr int kMaxParts = 32;

// Splits an octet hint into parts; the number of parts, -1 for a malformed hint. A part of
// length 0 (allowed for display only, never last, never repeated) takes no octets and shows only
// its separator: it puts a mark between two parts, as in the SNMPv2u parameters hint.
int parseOctetHint(const char *hint, HintPart *parts, bool allowEmpty = false) {
  int n = 0;
  const char *h = hint;
  while (*h) {
    if (n == kMaxParts) return -1;
    HintPart &p = parts[n++];
    p.star = *h == '*';
    if (p.star) ++h;
    if (!isdigit(static_cast<unsigned char>(*h))) return -1;
    uint32_t length = 0;
    while (isdigit(static_cast<unsigned char>(*h))) {
      length = length * 10 + static_cast<uint32_t>(*h++ - '0');
      if (length > 65535) return -1;
    }
    if (length == 0 && !(allowEmpty && !p.star)) return -1;
    p.length = length;
    char f = *h++;
    if (f == 't') f = 'a';
    if (f != 'd' && f != 'x' && f != 'o' && f != 'a' && f != 'b') return -1;
    // A decimal or octal group is one 64-bit number: a wider one could not be shown in full.
    if ((f == 'd' || f == 'o') && length > 8) return -1;
    p.format = f;
    p.separator = p.terminator = -1;
    auto plain = [](char c) { return c != 0 && c != '*' && !isdigit(static_cast<unsigned char>(c)); };
    if (plain(*h)) p.separator = static_cast<unsigned char>(*h++);
    if (p.star && plain(*h)) p.terminator = static_cast<unsigned char>(*h++);
    if (length == 0 && *h == 0) return -1;
  }
  return n;
}

// Bounded text output that always stays NUL-terminated.
struct Out {
  char *text;
  uint32_t size;
  uint32_t used = 0;
  void put(char c) {
    if (used + 1 < size) {
      text[used++] = c;
      text[used] = 0;
    }
  }
  void puts(const char *s) {
    while (*s) put(*s++);
  }
};

void putNumber(Out &out, uint64_t value, char format, uint32_t octets) {
  char digits[80];
  int n = 0;
  unsigned base = format == 'x' ? 16 : format == 'o' ? 8 : format == 'b' ? 2 : 10;
  do {
    digits[n++] = "0123456789abcdef"[value % base];
    value /= base;
  } while (value != 0 && n < 79);
  // Hexadecimal and binary keep the width of their octets.
  uint32_t width = format == 'x' ? 2 * octets : format == 'b' ? 8 * octets : 0;
  if (width > 64) width = 64;
  while (static_cast<uint32_t>(n) < width) digits[n++] = '0';
  while (n > 0) out.put(digits[--n]);
}

int digitValue(char c, unsigned base) {
  int v = isdigit(static_cast<unsigned char>(c)) ? c - '0'
          : (c >= 'a' && c <= 'f') ? c - 'a' + 10
          : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                  : 99;
  return v < static_cast<int>(base) ? v : -1;
}

// Parses an unsigned number in base; false when no digit or overflow of 64 bits.
bool parseNumber(const char *&t, unsigned base, uint64_t &value) {
  const char *start = t;
  value = 0;
  int d;
  while ((d = digitValue(*t, base)) >= 0) {
    if (value > (UINT64_MAX - static_cast<unsigned>(d)) / base) return false;
    value = value * base + static_cast<unsigned>(d);
    ++t;
  }
  return t != start;
}

bool rawHint(const char *hint) { return hint == nullptr || *hint == 0 || strcmp(hint, "255a") == 0; }

// An integer display hint: "d" with an optional "-<decimals>", or "x", "o", "b". An empty or null
// hint is plain decimal.
bool readIntegerHint(const char *hint, char *format, uint32_t *decimals) {
  if (hint == nullptr || *hint == '\0') return true;
  *format = hint[0];
  if (*format != 'd' && *format != 'x' && *format != 'o' && *format != 'b') return false;
  const char *h = hint + 1;
  if (*format == 'd' && *h == '-') {
    ++h;
    if (!isdigit(static_cast<unsigned char>(*h))) return false;
    while (isdigit(static_cast<unsigned char>(*h))) {
      *decimals = *decimals * 10 + static_cast<uint32_t>(*h++ - '0');
      if (*decimals > 40) return false;
    }
  }
  return *h == '\0';
}

}  // namespace

extern "C" {

char *oidtostr(const uint32_t *oid, char *text, uint32_t size) {
  if (text == nullptr || size == 0) return text;
  text[0] = 0;
  if (oid == nullptr || oid[0] < 2 || oid[0] > ASN1_MAX_ARCS || oid[1] > 2 ||
      (oid[1] < 2 && oid[2] >= ASN1OidMultiplier))
    return text;
  uint32_t used = 0;
  for (uint32_t i = 1; i <= oid[0]; ++i) {
    char arc[12];
    int n = snprintf(arc, sizeof arc, i == 1 ? "%" PRIu32 : ".%" PRIu32, oid[i]);
    if (used + static_cast<uint32_t>(n) + 1 > size) {
      text[0] = 0;
      return text;
    }
    memcpy(text + used, arc, static_cast<size_t>(n) + 1);
    used += static_cast<uint32_t>(n);
  }
  return text;
}

uint32_t strtooid(const char *text, const char **end, uint32_t *oid) {
  if (oid == nullptr) return 0;
  oid[0] = 0;
  const char *p = text;
  if (p == nullptr) {
    if (end) *end = p;
    return 0;
  }
  uint32_t n = 0;
  while (n < ASN1_MAX_ARCS && isdigit(static_cast<unsigned char>(*p))) {
    const char *start = p;
    uint64_t arc = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
      arc = arc * 10 + static_cast<uint64_t>(*p++ - '0');
      // An arc is a 32-bit number: a longer one is no OID at all, never a wrapped-around one.
      if (arc > UINT32_MAX) {
        if (end) *end = start;
        return 0;
      }
    }
    oid[++n] = static_cast<uint32_t>(arc);
    if (n < ASN1_MAX_ARCS && p[0] == '.' && isdigit(static_cast<unsigned char>(p[1]))) ++p;
    else break;
  }
  if (end) *end = p;
  oid[0] = n;
  // The first two arcs travel as one 32-bit sub-identifier (first * 40 + second).
  if (n < 2 || oid[1] > 2 || (oid[1] < 2 && oid[2] >= ASN1OidMultiplier) ||
      oid[2] > UINT32_MAX - 2 * ASN1OidMultiplier)
    oid[0] = 0;
  return oid[0];
}

int snmpHintFormatOctets(const char *hint, const unsigned char *octets, uint32_t length, char *text,
                         uint32_t size) {
  if (text == nullptr || size == 0) return -1;
  text[0] = 0;
  if (octets == nullptr && length) return -1;
  if (rawHint(hint)) {
    uint32_t n = length < size - 1 ? length : size - 1;
    if (n) memcpy(text, octets, n);
    text[n] = 0;
    return static_cast<int>(n);
  }
  HintPart parts[kMaxParts];
  int count = parseOctetHint(hint, parts, true);
  if (count <= 0) return -1;
  Out out{text, size};
  uint32_t pos = 0;
  for (int pi = 0; pos < length; ++pi) {
    const HintPart &p = parts[pi < count ? pi : count - 1];
    if (p.length == 0) {
      if (p.separator >= 0) out.put(static_cast<char>(p.separator));
      continue;
    }
    uint32_t repeats = 1;
    if (p.star) repeats = octets[pos++];
    for (uint32_t r = 0; r < repeats && pos < length; ++r) {
      uint32_t k = p.length < length - pos ? p.length : length - pos;
      if (p.format == 'a') {
        for (uint32_t i = 0; i < k; ++i) out.put(static_cast<char>(octets[pos + i]));
      } else if ((p.format == 'x' || p.format == 'b') && k > 8) {
        // Wider than a 64-bit number: hexadecimal and binary digits have a fixed width per octet,
        // so they go octet by octet and nothing is lost.
        for (uint32_t i = 0; i < k; ++i) putNumber(out, octets[pos + i], p.format, 1);
      } else {
        uint64_t value = 0;
        for (uint32_t i = 0; i < k; ++i) value = (value << 8) | octets[pos + i];
        putNumber(out, value, p.format, k);
      }
      pos += k;
      bool last = p.terminator >= 0 && r + 1 == repeats;
      if (p.separator >= 0 && pos < length && !last) out.put(static_cast<char>(p.separator));
    }
    if (p.terminator >= 0 && pos < length) out.put(static_cast<char>(p.terminator));
  }
  return static_cast<int>(out.used);
}

}  // extern "C"

namespace {

// Reads one numeric group of a part into octets[n...]; false when no group is there. Hexadecimal and
// binary digits have a fixed width per octet (the formatter pads them): a group is its full width of
// digits, which tells it from the next without a separator, or, at the end of the text, the digits
// of fewer whole octets - the formatter's last group when the octets run out. Decimal and octal
// groups are read by value and take the part's full length.
bool parseGroup(const HintPart &p, const char *&t, unsigned char *octets, uint32_t size, uint32_t &n,
                bool &tooBig) {
  tooBig = false;
  if (p.format == 'x' || p.format == 'b') {
    unsigned base = p.format == 'x' ? 16 : 2, bits = p.format == 'x' ? 4 : 1, perOctet = 8 / bits;
    uint64_t widest = uint64_t{perOctet} * p.length;
    const char *start = t;
    while (static_cast<uint64_t>(t - start) < widest && digitValue(*t, base) >= 0) ++t;
    auto digits = static_cast<uint32_t>(t - start);
    if (digits == 0 || (digits < widest && (*t != 0 || digits % perOctet != 0))) {
      t = start;
      return false;
    }
    uint32_t k = digits / perOctet;
    if (k > size - n) return tooBig = true, false;
    memset(octets + n, 0, k);
    // Digits fill the group from its last octet up.
    uint32_t bit = 0;
    for (uint32_t i = digits; i-- > 0; bit += bits)
      octets[n + k - 1 - bit / 8] |= static_cast<unsigned char>(digitValue(start[i], base) << (bit % 8));
    n += k;
    return true;
  }
  uint64_t value;
  const char *start = t;
  if (!parseNumber(t, p.format == 'o' ? 8 : 10, value)) {
    t = start;
    return false;
  }
  if ((p.length < 8 && (value >> (8 * p.length)) != 0) || p.length > size - n) return tooBig = true, false;
  for (uint32_t i = 0; i < p.length; ++i) {
    uint32_t shift = 8 * (p.length - 1 - i);
    octets[n + i] = static_cast<unsigned char>(value >> shift);
  }
  n += p.length;
  return true;
}

}  // namespace

extern "C" {

int snmpHintParseOctets(const char *hint, const char *text, unsigned char *octets, uint32_t size,
                        const char **end) {
  if (end) *end = text;
  if (text == nullptr || (octets == nullptr && size)) return -1;
  if (rawHint(hint)) {
    size_t n = strlen(text);
    if (hint != nullptr && *hint && n > 255) n = 255;
    if (n > size) return -1;
    if (n) memcpy(octets, text, n);
    if (end) *end = text + n;
    return static_cast<int>(n);
  }
  HintPart parts[kMaxParts];
  int count = parseOctetHint(hint, parts);
  if (count <= 0) return -1;
  const char *t = text;
  uint32_t n = 0;
  for (int pi = 0; *t; ++pi) {
    const HintPart &p = parts[pi < count ? pi : count - 1];
    const char *before = t;
    uint32_t countAt = 0, items = 0;
    if (p.star) {
      if (n >= size) return -1;
      countAt = n++;
    }
    // A repeat shown zero times leaves only its terminator, and only when more follows (one at the
    // end of the text is left out). Where an item could start there too, the characters of an "a"
    // item take the terminator as zero items, a number that reads is an item.
    bool none = false, stop = false;
    if (p.star && p.terminator >= 0 && static_cast<unsigned char>(*t) == p.terminator && t[1] != 0) {
      const char *probe = t;
      uint32_t probeN = n;
      bool tooBig;
      none = p.format == 'a' || !parseGroup(p, probe, octets, size, probeN, tooBig);
    }
    if (none) ++t;
    while (!none && *t) {
      if (p.format == 'a') {
        // Characters as they are, as many as the group holds: a separator among them is an octet.
        uint32_t k = 0;
        for (; *t && k < p.length; ++k) {
          if (n >= size) return -1;
          octets[n++] = static_cast<unsigned char>(*t++);
        }
      } else {
        bool tooBig;
        if (!parseGroup(p, t, octets, size, n, tooBig)) {
          if (tooBig) return -1;
          break;
        }
      }
      ++items;
      // The formatter puts a part's separator (or, after the last repeat, its terminator) after
      // every group that more text follows: a group followed by anything else ends the text read.
      if (!p.star) {
        if (p.separator >= 0 && static_cast<unsigned char>(*t) == p.separator) ++t;
        else if (p.separator >= 0 && *t) stop = true;
        break;
      }
      if (p.terminator >= 0 && static_cast<unsigned char>(*t) == p.terminator) {
        ++t;
        break;
      }
      if (p.separator >= 0 && static_cast<unsigned char>(*t) == p.separator) {
        ++t;
        continue;
      }
      if (p.separator >= 0 && *t) stop = true;
      if (p.separator >= 0) break;
    }
    if (p.star) {
      if (items > 255) return -1;
      octets[countAt] = static_cast<unsigned char>(items);
    }
    if (stop) break;
    if (t == before) {
      if (p.star) --n;  // nothing parsed: no count octet either
      break;
    }
  }
  if (end) *end = t;
  return static_cast<int>(n);
}

int snmpHintFormatInteger(const char *hint, uint64_t value, int isSigned, char *text, uint32_t size) {
  if (text == nullptr || size == 0) return -1;
  text[0] = 0;
  char format = 'd';
  uint32_t decimals = 0;
  if (!readIntegerHint(hint, &format, &decimals)) return -1;
  Out out{text, size};
  bool negative = isSigned && static_cast<int64_t>(value) < 0;
  uint64_t magnitude = negative ? ~value + 1 : value;
  if (negative) out.put('-');
  if (format != 'd') {
    putNumber(out, magnitude, format, 0);
    return static_cast<int>(out.used);
  }
  char digits[64];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  while (decimals > 0 && static_cast<uint32_t>(n) < decimals + 1) digits[n++] = '0';
  for (int i = n - 1; i >= 0; --i) {
    out.put(digits[i]);
    if (decimals > 0 && static_cast<uint32_t>(i) == decimals) out.put('.');
  }
  return static_cast<int>(out.used);
}

int snmpHintParseInteger(const char *hint, const char *text, uint64_t *value, int isSigned,
                         const char **end) {
  if (end) *end = text;
  if (text == nullptr || value == nullptr) return -1;
  char format = 'd';
  uint32_t decimals = 0;
  if (!readIntegerHint(hint, &format, &decimals)) return -1;
  const char *t = text;
  bool negative = false;
  if (*t == '-' && isSigned) {
    negative = true;
    ++t;
  }
  unsigned base = format == 'x' ? 16 : format == 'o' ? 8 : format == 'b' ? 2 : 10;
  uint64_t v;
  if (!parseNumber(t, base, v)) return -1;
  if (decimals > 0) {
    uint32_t seen = 0;
    if (*t == '.') {
      ++t;
      while (isdigit(static_cast<unsigned char>(*t)) && seen < decimals) {
        if (v > (UINT64_MAX - 9) / 10) return -1;
        v = v * 10 + static_cast<uint64_t>(*t++ - '0');
        ++seen;
      }
    }
    for (; seen < decimals; ++seen) {
      if (v > UINT64_MAX / 10) return -1;
      v *= 10;
    }
  }
  if (isSigned) {
    if (negative ? v > (uint64_t(1) << 63) : v > uint64_t(INT64_MAX)) return -1;
  }
  *value = negative ? ~v + 1 : v;
  if (end) *end = t;
  return 0;
}

char *dumpSnmpMsg(const PduData *pdu, char *text) {
  if (text == nullptr) return nullptr;
  text[0] = 0;
  if (pdu == nullptr) return text;
  constexpr uint32_t limit = 254;  // at most 253 characters
  char piece[SNMP_DUMP_SIZE];
  Out out{text, limit};
  bool udp = oidcmp(pdu->info.domain, snmpUDPDomain) == 0;
  snmpHintFormatOctets(udp ? "1d.1d.1d.1d:2d" : "1x:", pdu->info.address.octets,
                       pdu->info.address.length, piece, sizeof piece);
  out.puts(piece);
  snprintf(piece, sizeof piece, "-%d-%d-%x-", pdu->version, pdu->model, pdu->securityLevel);
  out.puts(piece);
  for (uint32_t i = 0; i < pdu->securityName.length; ++i) out.put(static_cast<char>(pdu->securityName.octets[i]));
  out.put('-');
  for (uint32_t i = 0; i < pdu->context.length; ++i) out.put(static_cast<char>(pdu->context.octets[i]));
  out.put('-');
  snmpHintFormatOctets("1x:", pdu->engineId.octets, pdu->engineId.length, piece, sizeof piece);
  out.puts(piece);
  return text;
}

}  // extern "C"

bool telvi::snmp::formatOctetsWhole(const char *hint, const unsigned char *octets, uint32_t length,
                                    std::string &text) {
  for (size_t room = static_cast<size_t>(length) * 4 + 64;; room *= 2) {
    std::string out(room, '\0');
    int written = snmpHintFormatOctets(hint, octets, length, out.data(), static_cast<uint32_t>(room));
    if (written < 0) return false;
    if (static_cast<size_t>(written) + 1 < room) return text.assign(out.data(), static_cast<size_t>(written)), true;
    if (room > (size_t{1} << 30)) return false;
  }
}
