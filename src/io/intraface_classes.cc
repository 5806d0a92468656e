// The layer classes of intrafaces: transports that cut frames at the byte 0x04, the printable "sin"
// encoding, and the field codecs "type", "tid" and "tsid".
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
//
// Each input byte becomes the group of four characters of a 16-bit value: the byte's bits on the
// even bits, filler on the odd ones, low nibble first, nibble n as 'J' + n. The filler of byte i is
// the low 16 bits of the i-th rand_r value from kSinStart; lines end after a number of groups that
// follows a sine. Both the filler and the line lengths depend on the position only, never on the
// data, so the fast paths compute them ahead in blocks:
// - rand_r (glibc's) steps the linear congruential generator s' = s * 1103515245 + 12345 three
//   times and builds its value from bits 16 to 25 of each step; the low 16 bits of the value are
//   bits 16 to 21 of the second step (on bits 10 to 15) and bits 16 to 25 of the third. Every step
//   of a block is an affine function of the state at the block's start, with coefficients that are
//   constants, so a block's filler is a loop without dependencies between bytes (vectorised).
//   Whether the library's rand_r is this generator is checked once; if it is not, the generic
//   path calls rand_r for every byte.
// - The bound sin(line / 12.0) * 9.0 + 9.5 is followed by a rotation (resynchronised with sin and
//   cos every 1024 lines); where the result comes within 1e-6 of an integer, where the rounding of
//   the two computations could decide differently, the exact expression decides. The line lengths
//   of the first lines are kept in tables (see LineLengths).

namespace sin_code {

using telvi::io::kSinStart;

constexpr uint32_t kMul = 1103515245u, kAdd = 12345u;
constexpr size_t kBlock = 1024;  // bytes whose filler is computed at once
constexpr size_t kMaxGroups = 19;  // the longest line: ceil(9 + 9.5)

// State j of a block (j = 0 .. kBlock - 1, the state before byte j): the second and third generator
// steps from it as mul * start + add; and the state after the whole block.
struct Steps {
  uint32_t mul2[kBlock], add2[kBlock], mul3[kBlock], add3[kBlock];
  uint32_t mulBlock, addBlock;
};

constexpr Steps makeSteps() {
  Steps steps{};
  uint32_t mul = 1, add = 0;  // state j = mul * start + add
  for (size_t j = 0; j < kBlock; ++j) {
    uint32_t mul1 = kMul * mul, add1 = kMul * add + kAdd;
    uint32_t mul2 = kMul * mul1, add2 = kMul * add1 + kAdd;
    uint32_t mul3 = kMul * mul2, add3 = kMul * add2 + kAdd;
    steps.mul2[j] = mul2, steps.add2[j] = add2, steps.mul3[j] = mul3, steps.add3[j] = add3;
    mul = mul3, add = add3;
  }
  steps.mulBlock = mul, steps.addBlock = add;
  return steps;
}
constexpr Steps kSteps = makeSteps();

// The filler rand_r gives from `state` (the state advanced), as the generator above computes it.
uint32_t modelFiller(uint32_t &state) {
  uint32_t second = (state * kMul + kAdd) * kMul + kAdd, third = second * kMul + kAdd;
  state = third;
  return ((second >> 6) & 0xFC00u) | ((third >> 16) & 0x3FFu);
}

bool randIsModelled() {
  unsigned int state = kSinStart;
  uint32_t model = kSinStart;
  for (int i = 0; i < 4096; ++i)
    if ((static_cast<uint32_t>(rand_r(&state)) & 0xFFFFu) != modelFiller(model) || state != model)
      return false;
  return true;
}

// The four characters (in memory order, low nibble first) of a 16-bit value.
constexpr uint32_t nibbleBytes(uint32_t value) {
  value = (value & 0xFFu) | (value & 0xFF00u) << 8;
  return ((value | value << 4) & 0x0F0F0F0Fu) + 0x4A4A4A4Au;
}
constexpr uint32_t spread(uint32_t byte) {
  byte = (byte | byte << 4) & 0x0F0Fu;
  byte = (byte | byte << 2) & 0x3333u;
  return (byte | byte << 1) & 0x5555u;
}

// The groups of one block of kBlock bytes, from the generator's state at its start.
#define TELVI_SIN_BLOCK                                                            \
  for (size_t j = 0; j < kBlock; ++j) {                                            \
    uint32_t second = kSteps.mul2[j] * state + kSteps.add2[j];                     \
    uint32_t third = kSteps.mul3[j] * state + kSteps.add3[j];                      \
    uint32_t filler = ((second >> 6) & 0xA800u) | ((third >> 16) & 0x2AAu);       \
    uint32_t value = spread(in[j]) | filler;                                       \
    value = (value & 0xFFu) | (value & 0xFF00u) << 8;                              \
    groups[j] = ((value | value << 4) & 0x0F0F0F0Fu) + 0x4A4A4A4Au;                \
  }

#if defined(__x86_64__) && defined(__GNUC__)
#define TELVI_SIN_X86 1
#if defined(__clang__)
#define TELVI_SIN_VECTORISE
#else
#define TELVI_SIN_VECTORISE gnu::optimize("tree-vectorize", "vect-cost-model=dynamic"),
#endif
[[TELVI_SIN_VECTORISE gnu::target("avx2")]] void blockAvx2(uint32_t state, const unsigned char *__restrict in,
                                                           uint32_t *__restrict groups) {
  TELVI_SIN_BLOCK
}
#endif
void blockPlain(uint32_t state, const unsigned char *__restrict in, uint32_t *__restrict groups) {
  TELVI_SIN_BLOCK
}
#undef TELVI_SIN_BLOCK

struct Machine {
  bool modelled = randIsModelled();
#ifdef TELVI_SIN_X86
  bool avx2 = __builtin_cpu_supports("avx2");
#else
  bool avx2 = false;
#endif
};
const Machine &machine() {
  static const Machine m;
  return m;
}

// The number of groups on each line in turn: the least count >= 1 that reaches the line's bound.
// The first lines (those of texts up to about 1.2 MB) come from tables made once, in parts of 8192
// lines as texts first reach them; after them they are computed 64 lines at a time, on four
// rotations that each step four lines, so that the lines do not wait for each other.
const double kSinOne = std::sin(1 / 12.0), kCosOne = std::cos(1 / 12.0);
const double kSinFour = std::sin(4 / 12.0), kCosFour = std::cos(4 / 12.0);
constexpr long kPartLines = 8192;  // a multiple of the batch and of the resynchronisation
constexpr long kParts = 16;

class LineLengths {
 public:
  explicit LineLengths(bool useTable = true, long first = 0) : useTable_(useTable), line_(first) {}
  size_t next() {
    if (at_ == kBatch) refill();
    return lengths_[at_++];
  }

 private:
  static constexpr int kBatch = 64, kChains = 4;
  struct Part {
    std::once_flag made;
    unsigned char lengths[kPartLines];
  };
  static const unsigned char *part(long index) {
    static Part parts[kParts];
    Part &p = parts[index];
    std::call_once(p.made, [&p, index] {
      LineLengths lines(false, index * kPartLines);
      for (unsigned char &length : p.lengths) length = static_cast<unsigned char>(lines.next());
    });
    return p.lengths;
  }
  void refill() {
    at_ = 0;
    if (useTable_ && line_ < kParts * kPartLines) {
      std::memcpy(lengths_, part(line_ / kPartLines) + line_ % kPartLines, kBatch);
      line_ += kBatch;
      return;
    }
    if (line_ % 1024 == 0) {
      double sin = std::sin(line_ / 12.0), cos = std::cos(line_ / 12.0);
      for (int j = 0; j < kChains; ++j) {
        sin_[j] = sin, cos_[j] = cos;
        double next = sin * kCosOne + cos * kSinOne;
        cos = cos * kCosOne - sin * kSinOne;
        sin = next;
      }
    }
    for (int k = 0; k < kBatch; k += kChains) {
      for (int j = 0; j < kChains; ++j) {
        double bound = sin_[j] * 9.0 + 9.5;
        int whole = static_cast<int>(bound);
        if (bound - whole < 1e-6 || bound - whole > 1 - 1e-6) {
          bound = std::sin(static_cast<double>(line_ + k + j) / 12.0) * 9.0 + 9.5;
          whole = static_cast<int>(bound);
        }
        int count = bound > whole ? whole + 1 : whole;
        lengths_[k + j] = static_cast<unsigned char>(count < 1 ? 1 : count);
        double next = sin_[j] * kCosFour + cos_[j] * kSinFour;
        cos_[j] = cos_[j] * kCosFour - sin_[j] * kSinFour;
        sin_[j] = next;
      }
    }
    line_ += kBatch;
  }
  bool useTable_;
  long line_;
  int at_ = kBatch;
  double sin_[kChains] = {}, cos_[kChains] = {};
  unsigned char lengths_[kBatch] = {};
};

constexpr char kHeader[] = "!#sin\n";
constexpr size_t kHeaderLength = sizeof kHeader - 1;

// One group a call: the generator called for every byte.
void encodeGeneric(const unsigned char *in, size_t len, char *&cursor) {
  unsigned int state = kSinStart;
  LineLengths lines;
  size_t left = lines.next();
  for (size_t i = 0; i < len; ++i) {
    uint32_t group = nibbleBytes(spread(in[i]) | (static_cast<uint32_t>(rand_r(&state)) & 0xAAAAu));
    std::memcpy(cursor, &group, 4);
    cursor += 4;
    if (--left == 0) {
      *cursor++ = '\n';
      left = lines.next();
    }
  }
}

// A block at a time: the groups into a buffer, then copied out a line at a time (every copy takes a
// longest line's worth, so that its length is no branch; the output has room for the excess).
constexpr size_t kCopy = 96;  // three vector registers: a longest line (76 bytes) and more
using BlockFunction = void (*)(uint32_t, const unsigned char *__restrict, uint32_t *__restrict);
template <BlockFunction block>
[[gnu::always_inline]] inline void encodeBlocks(const unsigned char *in, size_t len, char *&end) {
  char *cursor = end;
  uint32_t groups[kBlock + kCopy / 4] = {};
  unsigned char padded[kBlock];
  uint32_t state = kSinStart;
  LineLengths lines;
  size_t left = lines.next();
  for (size_t at = 0; at < len; at += kBlock) {
    size_t count = std::min(kBlock, len - at);
    const unsigned char *from = in + at;
    if (count < kBlock) {
      std::memcpy(padded, from, count);
      std::memset(padded + count, 0, kBlock - count);
      from = padded;
    }
    block(state, from, groups);
    state = kSteps.mulBlock * state + kSteps.addBlock;
    const char *text = reinterpret_cast<const char *>(groups);
    for (; count >= left; count -= left, left = lines.next()) {
      std::memcpy(cursor, text, kCopy);
      cursor += 4 * left;
      text += 4 * left;
      *cursor++ = '\n';
    }
    std::memcpy(cursor, text, kCopy);
    cursor += 4 * count;
    left -= count;
  }
  end = cursor;
}
void encodeBlocksPlain(const unsigned char *in, size_t len, char *&end) { encodeBlocks<blockPlain>(in, len, end); }
#ifdef TELVI_SIN_X86
// The line copies too are faster with the wider registers.
[[gnu::target("avx2")]] void encodeBlocksAvx2(const unsigned char *in, size_t len, char *&end) {
  encodeBlocks<blockAvx2>(in, len, end);
}
#endif

// ---- decoding ----

// Per character: its two data bits (bits 0 and 2 of its nibble, on bits 0 and 1), or 0x10 for a
// character that is no nibble ('J' .. 'Y').
struct DigitTable {
  unsigned char bits[256];
  constexpr DigitTable() : bits{} {
    for (int c = 0; c < 256; ++c) {
      int n = c - 'J';
      bits[c] = n >= 0 && n < 16 ? static_cast<unsigned char>((n & 1) | (n >> 1 & 2)) : 0x10;
    }
  }
};
constexpr DigitTable kDigits;

bool startsGroup(char c) { return c >= 'J' && c <= 'Z'; }

// From `i` to the end, a group or a skipped character at a time.
bool decodeGeneric(const char *in, size_t i, size_t len, unsigned char *&out) {
  const unsigned char *bytes = reinterpret_cast<const unsigned char *>(in);
  while (i < len) {
    if (!startsGroup(in[i])) {
      ++i;
      continue;
    }
    if (len - i < 4) return false;
    unsigned a = kDigits.bits[bytes[i]], b = kDigits.bits[bytes[i + 1]], c = kDigits.bits[bytes[i + 2]],
             d = kDigits.bits[bytes[i + 3]];
    if ((a | b | c | d) & 0x10) return false;
    *out++ = static_cast<unsigned char>(a | b << 2 | c << 4 | d << 6);
    i += 4;
  }
  return true;
}

#ifdef TELVI_SIN_X86
// Text as the encoder lays it out: the header, then lines of the lengths the encoder uses. Each
// line is checked whole (every character a nibble, a newline after the last group) and decoded
// with vector instructions; at the first line that differs (or near the end of the text) the
// generic path takes over where the line starts, so the result is the same for any text.
// Nibble characters ('J' .. 'Y') as 0xff: 'J' + 0x36 is 0x80, the least signed byte, so the
// nibbles are the sums below 0x90 (as signed bytes) and every other byte is not.
[[gnu::target("avx2")]] inline __m256i validMask(__m256i chars) {
  return _mm256_cmpgt_epi8(_mm256_set1_epi8(-0x70), _mm256_add_epi8(chars, _mm256_set1_epi8(0x36)));
}
// 32 nibble characters into 8 bytes: each character's two data bits from a table, then four of
// them to a byte by two multiply-adds.
[[gnu::target("avx2")]] inline uint64_t decode32(__m256i chars) {
  __m256i two = _mm256_shuffle_epi8(_mm256_setr_epi8(0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3, 2, 3, 0, 1, 0, 1, 2, 3,
                                                     2, 3, 0, 1, 0, 1, 2, 3, 2, 3),
                                    _mm256_sub_epi8(chars, _mm256_set1_epi8('J')));
  __m256i pairs = _mm256_maddubs_epi16(two, _mm256_set1_epi16(0x0401));     // d0 + 4 d1
  __m256i quads = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00100001));  // + 16 (d2 + 4 d3)
  __m256i packed = _mm256_shuffle_epi8(
      quads, _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12, -1,
                              -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
  packed = _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0));
  return static_cast<uint64_t>(_mm_cvtsi128_si64(_mm256_castsi256_si128(packed)));
}

[[gnu::target("avx2")]] size_t decodeLinesAvx2(const char *in, size_t len, unsigned char *&end) {
  unsigned char *out = end;
  size_t i = kHeaderLength;
  LineLengths lines;
  constexpr size_t kSpan = 96;  // three vectors: a longest line and its newline
  while (len - i >= kSpan) {
    size_t groups = lines.next(), n = 4 * groups;
    const char *at = in + i;
    __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at));
    __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at + 32));
    uint64_t valid = static_cast<uint32_t>(_mm256_movemask_epi8(validMask(a))) |
                     static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(validMask(b)))) << 32;
    // The line's n characters must be nibbles: the low n bits of the mask set (lines of more than
    // 15 groups come in runs, so the branch on their length is well predicted).
    if (n < 64) {
      uint64_t want = (uint64_t{1} << n) - 1;
      if ((valid & want) != want || at[n] != '\n') break;
    } else {
      __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at + 64));
      uint32_t want = (uint32_t{1} << (n - 64)) - 1;
      uint32_t high = static_cast<uint32_t>(_mm256_movemask_epi8(validMask(c)));
      if (valid != ~uint64_t{0} || (high & want) != want || at[n] != '\n') break;
      uint64_t third = decode32(c);
      std::memcpy(out + 16, &third, 8);
    }
    uint64_t first = decode32(a), second = decode32(b);
    std::memcpy(out, &first, 8);
    std::memcpy(out + 8, &second, 8);
    out += groups;
    i += n + 1;
  }
  end = out;
  return i;
}
#endif

}  // namespace sin_code

// The encoding's layer operations.
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

void sinEncode(const unsigned char *in, size_t len, std::string &out, SinPath path) {
  using namespace sin_code;
  // At most four characters and a newline per byte, the header, the final newline, and room for
  // the last line copy's excess.
  out.resize(kHeaderLength + len * 5 + 1 + kCopy);
  char *cursor = out.data();
  std::memcpy(cursor, kHeader, kHeaderLength);
  cursor += kHeaderLength;
  const Machine &m = machine();
  if (len > 0) {
    if (path == SinPath::Generic || !m.modelled) encodeGeneric(in, len, cursor);
#ifdef TELVI_SIN_X86
    else if (path == SinPath::Best && m.avx2) encodeBlocksAvx2(in, len, cursor);
#endif
    else encodeBlocksPlain(in, len, cursor);
  }
  *cursor++ = '\n';
  out.resize(static_cast<size_t>(cursor - out.data()));
}

bool sinDecode(const char *in, size_t len, std::string &out, SinPath path) {
  using namespace sin_code;
  // At most a byte per four characters, and room for the excess of a line's vector stores.
  out.resize(len / 4 + 32);
  unsigned char *start = reinterpret_cast<unsigned char *>(out.data()), *cursor = start;
  size_t at = 0;
#ifdef TELVI_SIN_X86
  if (path == SinPath::Best && machine().avx2 && len >= kHeaderLength &&
      std::memcmp(in, kHeader, kHeaderLength) == 0)
    at = decodeLinesAvx2(in, len, cursor);
#endif
  (void)path;
  bool complete = decodeGeneric(in, at, len, cursor);
  out.resize(static_cast<size_t>(cursor - start));
  return complete;
}

void registerIntrafaceClasses() {
  for (const intrafaceClass *cls :
       {&kTypeClass, &kTidClass, &kTsidClass, &kSinClass, &kEotClass, &kEotnClass, &kShellClass})
    intrafaceRegister(cls);
}

}  // namespace telvi::io
