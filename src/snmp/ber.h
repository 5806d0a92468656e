// The codec's primitives as inline functions, so that the engine's hot paths (bindings, PDU
// headers) compile into straight code; asn1.cc exports them under their C names.
#ifndef TELVI_SNMP_BER_H
#define TELVI_SNMP_BER_H

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "telvi/asn1.h"

// The general forms of the primitives (every length, every refusal) are kept out of line, so
// that the usual shapes tried first stay short straight code where they are inlined. Not cold:
// long strings, traps and the like are ordinary traffic that goes this way.
#define TELVI_BER_GENERAL __attribute__((noinline))

namespace telvi::ber {

inline int sizeofAsn1Word(uint32_t value);
inline unsigned char *encodeAsn1Word(unsigned char *destination, int count, uint32_t value);

// memmove for the short blocks of SNMP (communities, strings, OIDs) without a library call:
// every block up to 32 octets is loaded completely before it is stored, so overlap is fine.
inline void moveBytes(unsigned char *to, const unsigned char *from, uint32_t n) {
  if (n <= 8) {
    // Two overlapping words, or the first, middle and last octets.
    if (n >= 4) {
      uint32_t a, b;
      memcpy(&a, from, 4);
      memcpy(&b, from + n - 4, 4);
      memcpy(to, &a, 4);
      memcpy(to + n - 4, &b, 4);
    } else if (n != 0) {
      unsigned char a = from[0], b = from[n >> 1], c = from[n - 1];
      to[0] = a;
      to[n >> 1] = b;
      to[n - 1] = c;
    }
  } else if (n <= 16) {
    uint64_t a, b;
    memcpy(&a, from, 8);
    memcpy(&b, from + n - 8, 8);
    memcpy(to, &a, 8);
    memcpy(to + n - 8, &b, 8);
  } else if (n <= 32) {
    uint64_t a[2], b[2];
    memcpy(a, from, 16);
    memcpy(b, from + n - 16, 16);
    memcpy(to, a, 16);
    memcpy(to + n - 16, b, 16);
  } else {
    memmove(to, from, n);
  }
}

// Unaligned loads in the machine's byte order, and big-endian ones.
inline uint32_t load32(const unsigned char *p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

inline uint64_t load64(const unsigned char *p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

inline uint32_t loadBig32(const unsigned char *p) {
  uint32_t v = load32(p);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap32(v);
#endif
  return v;
}

inline uint64_t loadBig64(const unsigned char *p) {
  uint64_t v = load64(p);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// Stores the 8 octets of v most significant first.
inline void storeBig64(unsigned char *p, uint64_t v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  memcpy(p, &v, 8);
}

// True when none of the n octets (n >= 1) at p has its top bit set: overlapping word loads, so
// that an OID of one-octet sub-identifiers is recognised without a branch per octet.
inline bool octetsBelow0x80(const unsigned char *p, uint32_t n) {
  uint64_t high;
  if (n >= 8) {
    high = load64(p + n - 8);
    for (uint32_t i = 0; i + 8 < n; i += 8) high |= load64(p + i);
  } else if (n >= 4) {
    high = load32(p) | load32(p + n - 4);
  } else {
    high = p[0] | p[n >> 1] | p[n - 1];
  }
  return (high & 0x8080808080808080ull) == 0;
}

// Zero-extends n octets (n >= 1) into n words; overlapping groups cover the tail, so only the
// n words are written.
inline void widenOctets(uint32_t *to, const unsigned char *from, uint32_t n) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  auto eight = [&](uint32_t i) {
    __m128i half = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(from + i)), zero);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to + i), _mm_unpacklo_epi16(half, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to + i + 4), _mm_unpackhi_epi16(half, zero));
  };
  auto four = [&](uint32_t i) {
    __m128i half = _mm_unpacklo_epi8(_mm_cvtsi32_si128(static_cast<int>(load32(from + i))), zero);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(to + i), _mm_unpacklo_epi16(half, zero));
  };
  if (n >= 8) {
    for (uint32_t i = 0; i + 8 < n; i += 8) eight(i);
    eight(n - 8);
  } else if (n >= 4) {
    four(0);
    four(n - 4);
  } else {
    to[0] = from[0];
    to[n >> 1] = from[n >> 1];
    to[n - 1] = from[n - 1];
  }
#else
  for (uint32_t i = 0; i < n; ++i) to[i] = from[i];
#endif
}

inline bool failed(const Asn1Cursor *c) { return c == nullptr || c->error != 0; }

inline uint32_t room(const Asn1Cursor *c) {
  return c->cur < c->end ? static_cast<uint32_t>(c->end - c->cur) : 0;
}

template <typename T>
inline T fail(Asn1Cursor *c, int error, T result) {
  if (c->error == 0) c->error = error;
  return result;
}

// Octets of a non-zero word. Counted with comparisons: the baseline x86-64 target has no lzcnt,
// and the bsr that __builtin_clz becomes there is slower than these on AMD cores.
inline uint32_t octetsOf(uint32_t value) {
  return 1 + (value > 0xFF) + (value > 0xFFFF) + (value > 0xFFFFFF);
}

// Writes tag and a long-form length of n octets at p; the caller has checked the room. Returns
// the position after it. Only the header's own octets are written, so that a header can be
// patched in front of its contents.
inline unsigned char *putLongHeader(unsigned char *p, int tag, uint32_t n, uint32_t length) {
  p[0] = static_cast<unsigned char>(tag);
  p[1] = static_cast<unsigned char>(0x80 | n);
  switch (n) {
    case 4:
      p[n - 2] = static_cast<unsigned char>(length >> 24);
      [[fallthrough]];
    case 3:
      p[n - 1] = static_cast<unsigned char>(length >> 16);
      [[fallthrough]];
    case 2:
      p[n] = static_cast<unsigned char>(length >> 8);
      [[fallthrough]];
    default:
      p[n + 1] = static_cast<unsigned char>(length);
  }
  return p + 2 + n;
}

// Writes tag and length at p, in the shortest form; as putLongHeader otherwise.
inline unsigned char *putHeader(unsigned char *p, int tag, uint32_t length) {
  if (length < 128) {
    p[0] = static_cast<unsigned char>(tag);
    p[1] = static_cast<unsigned char>(length);
    return p + 2;
  }
  return ber::putLongHeader(p, tag, ber::octetsOf(length), length);
}

// The length sizeofAsn1Data gives for left octets of room (2 to 2^31 - 1), with the octets of
// its long form (0 for the short form) in *octets; false for the rare rooms where taking the
// length octets away crosses to a shorter length field or to the short form (sizeofAsn1Data
// settles those).
inline bool openLength(uint32_t left, uint32_t *length, uint32_t *octets) {
  uint32_t l = left - 2;
  if (l < 128) {
    *length = l;
    *octets = 0;
    return true;
  }
  uint32_t n = ber::octetsOf(l);
  *length = l - n;
  *octets = n;
  return l - n >= 128 && ber::octetsOf(l - n) == n;
}

inline void initAsn1Cursor(Asn1Cursor *cursor, unsigned char *buffer, uint32_t size) {
  if (cursor == nullptr) return;
  cursor->base = cursor->cur = cursor->header = buffer;
  cursor->end = buffer == nullptr ? buffer : buffer + size;
  cursor->length = 0;
  cursor->tag = 0;
  cursor->error = buffer == nullptr ? ASN1_ERR_SPACE : 0;
}

inline unsigned char *appendAsn1(Asn1Cursor *c, const void *data, uint32_t length) {
  if (failed(c)) return nullptr;
  if (data == nullptr) return fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  if (length > room(c)) return fail<unsigned char *>(c, ASN1_ERR_SPACE, nullptr);
  ber::moveBytes(c->cur, static_cast<const unsigned char *>(data), length);
  c->cur += length;
  c->length = length;
  return c->cur;
}

inline int sizeofAsn1Word(uint32_t value) {
  return (value != 0) + (value > 0xFF) + (value > 0xFFFF) + (value > 0xFFFFFF);
}

inline unsigned char *encodeAsn1Word(unsigned char *destination, int count, uint32_t value) {
  for (int i = count - 1; i >= 0; --i) {
    destination[i] = static_cast<unsigned char>(value);
    value >>= 8;
  }
  return destination + (count > 0 ? count : 0);
}

inline uint32_t decodeAsn1Word(const unsigned char *source, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | source[i];
  return value;
}

inline uint32_t sizeofAsn1Data(uint32_t total) {
  if (total < 2) return 0;
  uint32_t length = total - 2;
  if (length < 128) return length;
  // Each length octet the value needs takes one byte of contents away. Unless that crosses to a
  // shorter length field, the answer is length minus the octets of length.
  uint32_t n = ber::octetsOf(length);
  if (ber::octetsOf(length - n) == n) return length - n;
  for (n = 0; n < static_cast<uint32_t>(ber::sizeofAsn1Word(length)); ++n) --length;
  return length;
}

inline uint32_t sizeofAsn1Header(uint32_t length) {
  return length < 128 ? 2 : 2 + static_cast<uint32_t>(ber::sizeofAsn1Word(length));
}

TELVI_BER_GENERAL inline unsigned char *encodeAsn1HeaderGeneral(Asn1Cursor *c, int tag, uint32_t length) {
  if (failed(c)) return nullptr;
  if (length >= 0x80000000u) return fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  uint32_t size = ber::sizeofAsn1Header(length);
  uint32_t left = room(c);
  if (size > left || length > left - size) return fail<unsigned char *>(c, ASN1_ERR_SPACE, nullptr);
  unsigned char *header = c->cur;
  c->cur = putHeader(header, tag, length);
  c->header = header;
  c->length = length;
  c->tag = tag;
  return header;
}

inline unsigned char *encodeAsn1Header(Asn1Cursor *c, int tag, uint32_t length) {
  if (c != nullptr && c->error == 0 && length < 0x80000000u) {
    unsigned char *p = c->cur;
    uint32_t size = ber::sizeofAsn1Header(length);
    // The header and the announced contents fit (end before cur gives a negative room).
    if (c->end - p >= static_cast<ptrdiff_t>(size + length)) {
      c->cur = ber::putHeader(p, tag, length);
      c->header = p;
      c->length = length;
      c->tag = tag;
      return p;
    }
  }
  return ber::encodeAsn1HeaderGeneral(c, tag, length);
}

TELVI_BER_GENERAL inline unsigned char *updateAsn1HeaderGeneral(Asn1Cursor *c, unsigned char *header) {
  if (c == nullptr) return nullptr;
  if (c->error == ASN1_ERR_SPACE && header != nullptr && header >= c->base && header <= c->cur) {
    // The structure did not fit: drop it as a whole, back to where it began.
    c->cur = c->header = header;
    c->length = 0;
    return nullptr;
  }
  if (c->error) return nullptr;
  if (header == nullptr || header < c->base || header + 2 > c->cur)
    return fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  unsigned char octet = header[1];
  if (octet == 0x80 || octet > 0x84) return fail<unsigned char *>(c, ASN1_ERR_LENGTH, nullptr);
  uint32_t width = octet < 0x80 ? 1 : 1 + (octet & 0x7f);
  unsigned char *contents = header + 1 + width;
  if (contents > c->cur) return fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  uint32_t length = static_cast<uint32_t>(c->cur - contents);
  uint32_t newWidth = ber::sizeofAsn1Header(length) - 1;
  if (newWidth < width) {
    memmove(header + 1 + newWidth, contents, length);
    c->cur -= width - newWidth;
  } else if (newWidth > width) {
    if (newWidth - width > room(c)) return fail<unsigned char *>(c, ASN1_ERR_SPACE, nullptr);
    memmove(header + 1 + newWidth, contents, length);
    c->cur += newWidth - width;
  }
  putHeader(header, header[0], length);
  c->header = header;
  c->length = length;
  c->tag = header[0];
  return header;
}

inline unsigned char *updateAsn1Header(Asn1Cursor *c, unsigned char *header) {
  // The usual patch: a well-formed header whose length field keeps its width or narrows.
  if (c != nullptr && c->error == 0 && header != nullptr && header >= c->base) {
    unsigned char *cur = c->cur;
    uint32_t octet = header + 2 <= cur ? header[1] : 0x80;
    if (octet != 0x80 && octet <= 0x84) {
      uint32_t width = octet < 0x80 ? 1 : octet - 0x7f;
      unsigned char *contents = header + 1 + width;
      if (contents <= cur) {
        uint32_t length = static_cast<uint32_t>(cur - contents);
        uint32_t octets = length < 128 ? 0 : ber::octetsOf(length);
        if (1 + octets <= width) {
          if (1 + octets < width) {
            memmove(header + 2 + octets, contents, length);
            c->cur = cur - (width - 1 - octets);
          }
          if (octets == 0) {
            header[1] = static_cast<unsigned char>(length);
          } else {
            ber::putLongHeader(header, header[0], octets, length);
          }
          c->header = header;
          c->length = length;
          c->tag = header[0];
          return header;
        }
      }
    }
  }
  return ber::updateAsn1HeaderGeneral(c, header);
}

TELVI_BER_GENERAL inline int decodeAsn1HeaderGeneral(Asn1Cursor *c, int tag) {
  if (failed(c)) return -1;
  if (room(c) < 2) return fail(c, ASN1_ERR_SPACE, -1);
  unsigned char *p = c->cur;
  int found = p[0];
  if (tag != 0 && found != tag) {
    c->tag = tag;
    return fail(c, ASN1_ERR_TAG, -1);
  }
  unsigned char octet = p[1];
  p += 2;
  uint32_t left = static_cast<uint32_t>(c->end - p);
  uint32_t length;
  if (octet < 0x80) {
    length = octet;
    if (length > left) return fail(c, ASN1_ERR_SPACE, -1);
  } else {
    int n = octet & 0x7f;
    if (n == 0 || n > 4) return fail(c, ASN1_ERR_LENGTH, -1);
    if (left < static_cast<uint32_t>(n)) return fail(c, ASN1_ERR_SPACE, -1);
    length = ber::decodeAsn1Word(p, n);
    p += n;
    left -= n;
    if (length >= 0x80000000u) return fail(c, ASN1_ERR_VALUE, -1);
    if (length > left) return fail(c, ASN1_ERR_LENGTH, -1);
  }
  c->header = c->cur;
  c->cur = p;
  c->tag = found;
  c->length = length;
  return found;
}

TELVI_BER_GENERAL inline unsigned char *encodeAsn1StructGeneral(Asn1Cursor *c, int tag, uint32_t length,
                                                                  unsigned char **saved) {
  if (failed(c)) return nullptr;
  if (length == ASN1_OPEN_LENGTH) length = ber::sizeofAsn1Data(room(c));
  unsigned char *header = ber::encodeAsn1Header(c, tag, length);
  if (header == nullptr) return nullptr;
  if (saved != nullptr) {
    *saved = c->end;
    c->end = c->cur + length;
  }
  return header;
}

// The contents of a header at p with left octets from p to the limit (2 or more), for the
// length forms SNMP messages use (short, 0x81, 0x82) when the contents fit before the limit:
// their start, with their length in *length; null for any other header.
inline unsigned char *usualHeader(unsigned char *p, ptrdiff_t left, uint32_t *length) {
  uint32_t octet = p[1];
  if (octet < 0x80) {
    *length = octet;
    return octet <= left - 2 ? p + 2 : nullptr;
  }
  if (octet == 0x81 && left >= 3) {
    *length = p[2];
    return p[2] <= left - 3 ? p + 3 : nullptr;
  }
  if (octet == 0x82 && left >= 4) {
    uint32_t n = static_cast<uint32_t>(p[2]) << 8 | p[3];
    *length = n;
    return n <= left - 4 ? p + 4 : nullptr;
  }
  return nullptr;
}

inline int decodeAsn1Header(Asn1Cursor *c, int tag) {
  if (c != nullptr && c->error == 0) {
    unsigned char *p = c->cur;
    ptrdiff_t left = c->end - p;
    uint32_t length;
    unsigned char *contents;
    if (left >= 2 && (tag == 0 || p[0] == tag) && (contents = ber::usualHeader(p, left, &length)) != nullptr) {
      c->header = p;
      c->cur = contents;
      c->tag = p[0];
      c->length = length;
      return p[0];
    }
  }
  return ber::decodeAsn1HeaderGeneral(c, tag);
}

inline unsigned char *encodeAsn1Struct(Asn1Cursor *c, int tag, uint32_t length, unsigned char **saved) {
  // An open length takes all the room: the header always fits, and its width is known at once.
  if (length == ASN1_OPEN_LENGTH && c != nullptr && c->error == 0) {
    unsigned char *p = c->cur;
    ptrdiff_t left = c->end - p;
    uint32_t open, octets;
    if (left >= 2 && left < 0x80000000 && ber::openLength(static_cast<uint32_t>(left), &open, &octets)) {
      if (octets == 0) {
        p[0] = static_cast<unsigned char>(tag);
        p[1] = static_cast<unsigned char>(open);
        c->cur = p + 2;
      } else {
        c->cur = ber::putLongHeader(p, tag, octets, open);
      }
      c->header = p;
      c->length = open;
      c->tag = tag;
      if (saved != nullptr) {
        *saved = c->end;
        c->end = c->cur + open;
      }
      return p;
    }
  } else if (length != ASN1_OPEN_LENGTH) {
    unsigned char *header = ber::encodeAsn1Header(c, tag, length);
    if (header != nullptr && saved != nullptr) {
      *saved = c->end;
      c->end = c->cur + length;
    }
    return header;
  }
  return ber::encodeAsn1StructGeneral(c, tag, length, saved);
}

inline int decodeAsn1Struct(Asn1Cursor *c, int tag, unsigned char **saved) {
  int found = ber::decodeAsn1Header(c, tag);
  if (found < 0) return -1;
  if (saved != nullptr) {
    *saved = c->end;
    c->end = c->cur + c->length;
  } else if (c->cur + c->length != c->end) {
    return fail(c, ASN1_ERR_STRUCTURE, -1);
  }
  return found;
}

inline unsigned char *frameAsn1Struct(Asn1Cursor *c, unsigned char *saved) {
  if (failed(c)) return nullptr;
  if (saved == nullptr || c->cur != c->end || c->end > saved)
    return fail<unsigned char *>(c, ASN1_ERR_STRUCTURE, nullptr);
  c->end = saved;
  return c->cur;
}

TELVI_BER_GENERAL inline unsigned char *encodeAsn1OctetsGeneral(Asn1Cursor *c, int tag, const void *data,
                                                                  uint32_t length) {
  if (ber::encodeAsn1Header(c, tag, length) == nullptr) return nullptr;
  unsigned char *contents = c->cur;
  if (data != nullptr) ber::moveBytes(contents, static_cast<const unsigned char *>(data), length);
  c->cur += length;
  return contents;
}

inline unsigned char *encodeAsn1Octets(Asn1Cursor *c, int tag, const void *data, uint32_t length) {
  if (c != nullptr && c->error == 0 && length < 128) {
    unsigned char *p = c->cur;
    if (c->end - p >= static_cast<ptrdiff_t>(length) + 2) {
      p[0] = static_cast<unsigned char>(tag);
      p[1] = static_cast<unsigned char>(length);
      if (data != nullptr) ber::moveBytes(p + 2, static_cast<const unsigned char *>(data), length);
      c->cur = p + 2 + length;
      c->header = p;
      c->length = length;
      c->tag = tag;
      return p + 2;
    }
  }
  return ber::encodeAsn1OctetsGeneral(c, tag, data, length);
}

inline unsigned char *decodeAsn1Octets(Asn1Cursor *c, int tag) {
  if (ber::decodeAsn1Header(c, tag) < 0) return nullptr;
  unsigned char *contents = c->cur;
  c->cur += c->length;
  return contents;
}

inline uint32_t sizeofAsn1Int32Data(int tag, int32_t value) {
  if (tag == ASN1_TAG_IPADDRESS) return 4;
  uint32_t v = static_cast<uint32_t>(tag == ASN1_TAG_INTEGER && value < 0 ? ~value : value);
  // One octet per started group of 8 bits above the first 7 (bit 7 of the first octet is the sign).
  return 1 + (v > 0x7F) + (v > 0x7FFF) + (v > 0x7FFFFF) + (v > 0x7FFFFFFF);
}

inline unsigned char *encodeAsn1Int32Data(unsigned char *destination, uint32_t count, int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  unsigned char *p = destination;
  switch (count) {
    case 5:
      *p++ = 0;
      [[fallthrough]];
    case 4:
      *p++ = static_cast<unsigned char>(v >> 24);
      [[fallthrough]];
    case 3:
      *p++ = static_cast<unsigned char>(v >> 16);
      [[fallthrough]];
    case 2:
      *p++ = static_cast<unsigned char>(v >> 8);
      [[fallthrough]];
    case 1:
      *p++ = static_cast<unsigned char>(v);
      [[fallthrough]];
    case 0:
      break;
    default:
      for (uint32_t i = 0; i < count; ++i)
        destination[count - 1 - i] = i < 4 ? static_cast<unsigned char>(v >> (8 * i)) : 0;
      p = destination + count;
  }
  return p;
}

inline int32_t decodeAsn1Int32Data(const unsigned char *source, uint32_t count, const unsigned char **next) {
  if (source == nullptr || count == 0) {
    if (next) *next = nullptr;
    return -1;
  }
  uint32_t value = (source[0] & 0x80) ? 0xFFFFFFFFu : 0;
  const unsigned char *p = source, *end = source + count;
  while (p < end && *p == 0) ++p;
  if (end - p >= 5) {
    if (next) *next = nullptr;
    return -1;
  }
  for (; p < end; ++p) value = (value << 8) | *p;
  if (next) *next = end;
  return static_cast<int32_t>(value);
}

// Writes an integer of n contents octets (1 to 5) at p: tag, length, the low n octets of the
// word most significant first (a leading 00 for 5). The caller has checked the room.
inline unsigned char *putInt32(unsigned char *p, int tag, uint32_t n, uint32_t value) {
  p[0] = static_cast<unsigned char>(tag);
  p[1] = static_cast<unsigned char>(n);
  return ber::encodeAsn1Int32Data(p + 2, n, static_cast<int32_t>(value));
}

TELVI_BER_GENERAL inline unsigned char *encodeAsn1Int32General(Asn1Cursor *c, int tag, int32_t value) {
  uint32_t n = ber::sizeofAsn1Int32Data(tag, value);
  unsigned char *header = ber::encodeAsn1Header(c, tag, n);
  if (header == nullptr) return nullptr;
  c->cur = ber::encodeAsn1Int32Data(c->cur, n, value);
  return header;
}

inline unsigned char *encodeAsn1Int32(Asn1Cursor *c, int tag, int32_t value) {
  if (c != nullptr && c->error == 0 && c->end - c->cur >= 7) {
    unsigned char *p = c->cur;
    uint32_t n = ber::sizeofAsn1Int32Data(tag, value);
    c->cur = ber::putInt32(p, tag, n, static_cast<uint32_t>(value));
    c->header = p;
    c->length = n;
    c->tag = tag;
    return p;
  }
  return ber::encodeAsn1Int32General(c, tag, value);
}

TELVI_BER_GENERAL inline int32_t decodeAsn1Int32General(Asn1Cursor *c, int tag) {
  int found = ber::decodeAsn1Header(c, tag);
  if (found < 0) return 0;
  if (found == ASN1_TAG_IPADDRESS) {
    if (c->length != ASN1_IPADDRESS_SIZE) return fail(c, ASN1_ERR_LENGTH, 0);
    int32_t value = static_cast<int32_t>(ber::decodeAsn1Word(c->cur, 4));
    c->cur += 4;
    return value;
  }
  const unsigned char *next;
  int32_t value = ber::decodeAsn1Int32Data(c->cur, c->length, &next);
  if (next == nullptr) return fail(c, ASN1_ERR_VALUE, 0);
  c->cur += c->length;
  return value;
}

inline int32_t decodeAsn1Int32(Asn1Cursor *c, int tag) {
  // A short form of 1 to 4 octets, sign-extended from the first.
  if (c != nullptr && c->error == 0) {
    unsigned char *p = c->cur;
    ptrdiff_t left = c->end - p;
    if (left >= 3 && (tag == 0 || p[0] == tag) && p[0] != ASN1_TAG_IPADDRESS && p[1] - 1u < 4 && p[1] <= left - 2) {
      uint32_t n = p[1];
      uint32_t value = static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(p[2])));
      for (uint32_t i = 1; i < n; ++i) value = value << 8 | p[2 + i];
      c->header = p;
      c->cur = p + 2 + n;
      c->tag = p[0];
      c->length = n;
      return static_cast<int32_t>(value);
    }
  }
  return ber::decodeAsn1Int32General(c, tag);
}

inline uint32_t sizeofAsn1Int64Data(Asn1Int64 value) {
  uint64_t v = (static_cast<uint64_t>(value.high) << 32) | value.low;
  // As for 32 bits: one more octet past each 7 + 8k bits.
  uint32_t n = 1;
  for (uint32_t k = 1; k <= 8; ++k) n += v > (uint64_t(1) << (8 * k - 1)) - 1;
  return n;
}

inline unsigned char *encodeAsn1Int64Data(unsigned char *destination, uint32_t count, Asn1Int64 value) {
  uint64_t v = (static_cast<uint64_t>(value.high) << 32) | value.low;
  for (uint32_t i = 0; i < count; ++i) {
    destination[count - 1 - i] = i < 8 ? static_cast<unsigned char>(v >> (8 * i)) : 0;
  }
  return destination + count;
}

inline Asn1Int64 decodeAsn1Int64Data(const unsigned char *source, uint32_t count,
                                     const unsigned char **next) {
  Asn1Int64 result = {0xFFFFFFFFu, 0xFFFFFFFFu};
  if (source == nullptr || count == 0) {
    if (next) *next = nullptr;
    return result;
  }
  uint64_t value = (source[0] & 0x80) ? ~uint64_t(0) : 0;
  const unsigned char *p = source, *end = source + count;
  while (p < end && *p == 0) ++p;
  if (end - p >= 9) {
    if (next) *next = nullptr;
    return result;
  }
  for (; p < end; ++p) value = (value << 8) | *p;
  if (next) *next = end;
  result.high = static_cast<uint32_t>(value >> 32);
  result.low = static_cast<uint32_t>(value);
  return result;
}

inline unsigned char *encodeAsn1Int64(Asn1Cursor *c, int tag, Asn1Int64 value) {
  uint32_t n = ber::sizeofAsn1Int64Data(value);
  unsigned char *header = ber::encodeAsn1Header(c, tag, n);
  if (header == nullptr) return nullptr;
  c->cur = ber::encodeAsn1Int64Data(c->cur, n, value);
  return header;
}

inline Asn1Int64 decodeAsn1Int64(Asn1Cursor *c, int tag) {
  Asn1Int64 zero = {0, 0};
  if (ber::decodeAsn1Header(c, tag) < 0) return zero;
  const unsigned char *next;
  Asn1Int64 value = ber::decodeAsn1Int64Data(c->cur, c->length, &next);
  if (next == nullptr) return fail(c, ASN1_ERR_VALUE, zero);
  c->cur += c->length;
  return value;
}

inline int oidIsValid(const uint32_t *oid) {
  if (oid == nullptr || oid[0] < 2 || oid[0] > ASN1_MAX_ARCS || oid[1] > 2) return 0;
  if (oid[1] < 2 && oid[2] >= ASN1OidMultiplier) return 0;
  // The first sub-identifier must stay a 32-bit number.
  if (oid[2] > 0xFFFFFFFFu - 2 * ASN1OidMultiplier) return 0;
  return 1;
}

inline int sizeofAsn1Subid(uint32_t value) {
  int n = 1;
  for (value >>= 7; value != 0; value >>= 7) ++n;
  return n;
}

inline unsigned char *encodeAsn1Subid(unsigned char *destination, uint32_t value) {
  int n = ber::sizeofAsn1Subid(value);
  for (int i = n - 1; i >= 0; --i) {
    destination[i] = static_cast<unsigned char>((value & 0x7f) | (i == n - 1 ? 0 : 0x80));
    value >>= 7;
  }
  return destination + n;
}

inline uint32_t decodeAsn1Subid(const unsigned char *p, const unsigned char *limit,
                                const unsigned char **next) {
  if (next) *next = nullptr;
  if (p == nullptr || limit == nullptr) return 0xFFFFFFFFu;
  while (p < limit && *p == 0x80) ++p;
  const unsigned char *start = p;
  uint32_t value = 0;
  for (int n = 0; n < 5; ++n, ++p) {
    if (p >= limit) return 0xFFFFFFFFu;
    value = (value << 7) | (*p & 0x7f);
    if ((*p & 0x80) == 0) {
      // Five octets carry 35 bits: the first may hold only four of them.
      if (n == 4 && (start[0] & 0x70) != 0) return 0xFFFFFFFFu;
      if (next) *next = p + 1;
      return value;
    }
  }
  return 0xFFFFFFFFu;
}

inline uint32_t sizeofAsn1OidData(const uint32_t *oid) {
  if (!ber::oidIsValid(oid)) return ASN1_BAD_SIZE;
  uint32_t size = static_cast<uint32_t>(ber::sizeofAsn1Subid(oid[1] * ASN1OidMultiplier + oid[2]));
  for (uint32_t i = 3; i <= oid[0]; ++i) size += static_cast<uint32_t>(ber::sizeofAsn1Subid(oid[i]));
  return size;
}

// One sub-identifier at p: one and two octets written here, longer ones by encodeAsn1Subid.
inline unsigned char *putSubid(unsigned char *p, uint32_t value) {
  if (value < 0x80) {
    *p = static_cast<unsigned char>(value);
    return p + 1;
  }
  if (value < 0x4000) {
    p[0] = static_cast<unsigned char>(0x80 | value >> 7);
    p[1] = static_cast<unsigned char>(value & 0x7f);
    return p + 2;
  }
  return ber::encodeAsn1Subid(p, value);
}

inline unsigned char *encodeAsn1OidData(unsigned char *destination, const uint32_t *oid) {
  unsigned char *p = ber::putSubid(destination, oid[1] * ASN1OidMultiplier + oid[2]);
  uint32_t n = oid[0] > ASN1_MAX_ARCS ? ASN1_MAX_ARCS : oid[0];
  uint32_t i = 3;
  // Arcs below 128 take one octet each: four at a time where all four are that small.
  for (; i + 3 <= n; i += 4) {
    uint32_t a = oid[i], b = oid[i + 1], c = oid[i + 2], d = oid[i + 3];
    if ((a | b | c | d) < 0x80) {
      p[0] = static_cast<unsigned char>(a);
      p[1] = static_cast<unsigned char>(b);
      p[2] = static_cast<unsigned char>(c);
      p[3] = static_cast<unsigned char>(d);
      p += 4;
    } else {
      p = ber::putSubid(ber::putSubid(ber::putSubid(ber::putSubid(p, a), b), c), d);
    }
  }
  for (; i <= n; ++i) p = ber::putSubid(p, oid[i]);
  return p;
}

inline uint32_t sizeofAsn1Oid(const uint32_t *oid) {
  uint32_t size = ber::sizeofAsn1OidData(oid);
  return size == ASN1_BAD_SIZE ? size : ber::sizeofAsn1Header(size) + size;
}

inline unsigned char *encodeAsn1Oid(Asn1Cursor *c, const uint32_t *oid) {
  if (failed(c)) return nullptr;
  uint32_t size = ber::sizeofAsn1OidData(oid);
  if (size == ASN1_BAD_SIZE) return fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  unsigned char *header = ber::encodeAsn1Header(c, ASN1_TAG_OBJECT_ID, size);
  if (header == nullptr) return nullptr;
  c->cur = ber::encodeAsn1OidData(c->cur, oid);
  return header;
}

// Splits the first sub-identifier (in word 2) into the first two arcs and sets the count.
inline void splitFirstArcs(uint32_t *oid, uint32_t subids) {
  uint32_t first = oid[2];
  if (first < ASN1OidMultiplier) {
    oid[1] = 0;
  } else if (first < 2 * ASN1OidMultiplier) {
    oid[1] = 1;
    oid[2] = first - ASN1OidMultiplier;
  } else {
    oid[1] = 2;
    oid[2] = first - 2 * ASN1OidMultiplier;
  }
  oid[0] = subids + 1;
}

// The sub-identifiers of length octets of OID contents into oid (words 2.. and then the split
// of the first); false on anything decodeAsn1OidData refuses. Runs of one-octet sub-identifiers
// are widened eight at a time. The words written before a failure are those the octet-by-octet
// decoding writes. Out of line but not cold: arcs of 128 and more are common in real names.
__attribute__((noinline)) inline bool decodeOidWordsGeneral(const unsigned char *data, uint32_t length, uint32_t *oid) {
  if (length == 0) return false;
  uint32_t *words = oid + 2, n = 0;
  const unsigned char *p = data, *end = data + length;
  if (length < ASN1_MAX_ARCS) {
    // No more sub-identifiers than octets, so they all fit: no count to watch. A sub-identifier
    // of two octets is taken here too (its first octet not the 0x80 that is skipped).
    while (p < end) {
      if (end - p >= 8 && (ber::load64(p) & 0x8080808080808080ull) == 0) {
        ber::widenOctets(words + n, p, 8);
        n += 8;
        p += 8;
        continue;
      }
      uint32_t octet = *p;
      if (octet < 0x80) {
        words[n++] = octet;
        ++p;
      } else if (octet != 0x80 && end - p >= 2 && p[1] < 0x80) {
        words[n++] = (octet & 0x7f) << 7 | p[1];
        p += 2;
      } else {
        const unsigned char *next;
        uint32_t v = ber::decodeAsn1Subid(p, end, &next);
        if (next == nullptr || v == 0xFFFFFFFFu) return false;
        p = next;
        words[n++] = v;
      }
    }
    ber::splitFirstArcs(oid, n);
    return true;
  }
  // Longer contents: the array may fill up before they end.
  while (p < end) {
    if (n >= ASN1_MAX_ARCS - 1) return false;
    if (*p < 0x80) {
      if (end - p >= 8 && n + 8 <= ASN1_MAX_ARCS - 1 && (ber::load64(p) & 0x8080808080808080ull) == 0) {
        ber::widenOctets(words + n, p, 8);
        n += 8;
        p += 8;
        continue;
      }
      // The octets up to the next longer sub-identifier (which lies within eight).
      do {
        words[n++] = *p++;
      } while (p < end && *p < 0x80 && n < ASN1_MAX_ARCS - 1);
      continue;
    }
    const unsigned char *next;
    uint32_t v = ber::decodeAsn1Subid(p, end, &next);
    if (next == nullptr || v == 0xFFFFFFFFu) return false;
    p = next;
    words[n++] = v;
  }
  ber::splitFirstArcs(oid, n);
  return true;
}

// As decodeOidWordsGeneral; contents of at most 16 octets below 0x80 (a name of up to 17 arcs
// below 128, the usual case) are taken here without a loop.
inline bool decodeOidWords(const unsigned char *data, uint32_t length, uint32_t *oid) {
  if (length - 1 < 16 && ber::octetsBelow0x80(data, length)) {
    ber::widenOctets(oid + 2, data, length);
    ber::splitFirstArcs(oid, length);
    return true;
  }
  return ber::decodeOidWordsGeneral(data, length, oid);
}

inline uint32_t *decodeAsn1OidData(Asn1Cursor *c, const unsigned char *data, uint32_t length, uint32_t *oid) {
  if (failed(c)) return nullptr;
  if (oid == nullptr || data == nullptr) return fail<uint32_t *>(c, ASN1_ERR_VALUE, nullptr);
  // Contents without a sub-identifier name nothing; every other refusal is a sub-identifier that
  // does not decode or does not fit.
  if (!ber::decodeOidWords(data, length, oid))
    return fail<uint32_t *>(c, length == 0 ? ASN1_ERR_VALUE : ASN1_ERR_SPACE, nullptr);
  return oid;
}

inline uint32_t *decodeAsn1Oid(Asn1Cursor *c, uint32_t *oid) {
  if (ber::decodeAsn1Header(c, ASN1_TAG_OBJECT_ID) < 0) return nullptr;
  uint32_t *result = ber::decodeAsn1OidData(c, c->cur, c->length, oid);
  if (result != nullptr) c->cur += c->length;
  return result;
}

inline uint32_t sizeofAsn1Value(const Asn1Value *v) {
  if (v == nullptr) return ASN1_BAD_SIZE;
  switch (v->tag) {
    case ASN1_TAG_INTEGER:
    case ASN1_TAG_COUNTER32:
    case ASN1_TAG_UNSIGNED32:
    case ASN1_TAG_TIMETICKS:
      return 2 + ber::sizeofAsn1Int32Data(v->tag, v->u.integer);
    case ASN1_TAG_IPADDRESS:
      return 2 + ASN1_IPADDRESS_SIZE;
    case ASN1_TAG_COUNTER64:
      return 2 + ber::sizeofAsn1Int64Data(v->u.counter64);
    case ASN1_TAG_OBJECT_ID:
      return ber::sizeofAsn1Oid(v->u.oid);
    case ASN1_TAG_NULL:
    case ASN1_TAG_NOSUCHOBJECT:
    case ASN1_TAG_NOSUCHINSTANCE:
    case ASN1_TAG_ENDOFMIBVIEW:
      return 2;
    default:
      if (v->tag == ASN1_TAG_OCTET_STRING || (v->tag > 0 && (v->tag & 0x20))) {
        if (v->u.octets.length >= 0x80000000u) return ASN1_BAD_SIZE;
        return ber::sizeofAsn1Header(v->u.octets.length) + v->u.octets.length;
      }
      return ASN1_BAD_SIZE;
  }
}

inline unsigned char *encodeAsn1Value(Asn1Cursor *c, const Asn1Value *v) {
  if (failed(c)) return nullptr;
  if (v == nullptr) return fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  switch (v->tag) {
    case ASN1_TAG_INTEGER:
    case ASN1_TAG_COUNTER32:
    case ASN1_TAG_UNSIGNED32:
    case ASN1_TAG_TIMETICKS:
    case ASN1_TAG_IPADDRESS:
      return ber::encodeAsn1Int32(c, v->tag, v->u.integer);
    case ASN1_TAG_COUNTER64:
      return ber::encodeAsn1Int64(c, v->tag, v->u.counter64);
    case ASN1_TAG_OBJECT_ID:
      return ber::encodeAsn1Oid(c, v->u.oid);
    case ASN1_TAG_NULL:
    case ASN1_TAG_NOSUCHOBJECT:
    case ASN1_TAG_NOSUCHINSTANCE:
    case ASN1_TAG_ENDOFMIBVIEW:
      return ber::encodeAsn1Header(c, v->tag, 0);
    default:
      if (v->tag == ASN1_TAG_OCTET_STRING || (v->tag > 0 && v->tag < 0x100 && (v->tag & 0x20))) {
        if (v->u.octets.data == nullptr && v->u.octets.length != 0)
          return fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
        unsigned char *contents = ber::encodeAsn1Octets(c, v->tag, v->u.octets.data, v->u.octets.length);
        return contents == nullptr ? nullptr : c->header;
      }
      return fail<unsigned char *>(c, ASN1_ERR_TYPE, nullptr);
  }
}

inline unsigned char *decodeAsn1Value(Asn1Cursor *c, Asn1Value *v) {
  if (failed(c)) return nullptr;
  if (v == nullptr) return fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  int tag = ber::decodeAsn1Header(c, 0);
  if (tag < 0) return nullptr;
  v->tag = tag;
  const unsigned char *next;
  switch (tag) {
    case ASN1_TAG_INTEGER:
    case ASN1_TAG_COUNTER32:
    case ASN1_TAG_UNSIGNED32:
    case ASN1_TAG_TIMETICKS:
      v->u.integer = ber::decodeAsn1Int32Data(c->cur, c->length, &next);
      if (next == nullptr) return fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
      c->cur += c->length;
      return c->cur;
    case ASN1_TAG_IPADDRESS:
      if (c->length != ASN1_IPADDRESS_SIZE) return fail<unsigned char *>(c, ASN1_ERR_LENGTH, nullptr);
      v->u.unsigned32 = ber::decodeAsn1Word(c->cur, 4);
      c->cur += 4;
      return c->cur;
    case ASN1_TAG_COUNTER64:
      v->u.counter64 = ber::decodeAsn1Int64Data(c->cur, c->length, &next);
      if (next == nullptr) return fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
      c->cur += c->length;
      return c->cur;
    case ASN1_TAG_OBJECT_ID:
      if (ber::decodeAsn1OidData(c, c->cur, c->length, v->u.oid) == nullptr) return nullptr;
      c->cur += c->length;
      return c->cur;
    case ASN1_TAG_NULL:
    case ASN1_TAG_NOSUCHOBJECT:
    case ASN1_TAG_NOSUCHINSTANCE:
    case ASN1_TAG_ENDOFMIBVIEW:
      if (c->length != 0) return fail<unsigned char *>(c, ASN1_ERR_LENGTH, nullptr);
      return c->cur;
    case ASN1_TAG_OCTET_STRING:
      v->u.octets.data = c->cur;
      v->u.octets.length = c->length;
      c->cur += c->length;
      return c->cur;
    default:
      if (tag & 0x20) {
        // Constructed: the caller walks into the contents.
        v->u.octets.data = c->cur;
        v->u.octets.length = c->length;
        return c->cur;
      }
      return fail<unsigned char *>(c, ASN1_ERR_TYPE, nullptr);
  }
}

inline char *dumpAsn1(const Asn1Cursor *c, char *text) {
  if (text == nullptr) return nullptr;
  text[0] = 0;
  if (c == nullptr || c->base == nullptr) return text;
  const unsigned char *base = c->base, *limit = c->end > c->base ? c->end : c->base;
  auto offset = [base](const unsigned char *p) {
    return p == nullptr ? 0u : static_cast<unsigned>(p - base) & 0xffffu;
  };
  int n = snprintf(text, ASN1_DUMP_SIZE, "%4x %4x %4x %02x %4x %2d", offset(c->header), offset(c->cur),
                   offset(c->end), static_cast<unsigned>(c->tag) & 0xff, c->length & 0xffffu, c->error);
  if (n < 0 || n >= ASN1_DUMP_SIZE) return text;
  const unsigned char *p = base;
  // Prints two-byte groups up to stop (never past the usable bytes).
  auto groups = [&](const unsigned char *stop) {
    if (stop > limit) stop = limit;
    while (p < stop && n + 6 < ASN1_DUMP_SIZE) {
      if (p + 1 < limit)
        n += snprintf(text + n, ASN1_DUMP_SIZE - n, " %02x%02x", p[0], p[1]);
      else
        n += snprintf(text + n, ASN1_DUMP_SIZE - n, " %02x", p[0]);
      p += 2;
    }
  };
  groups(base + 8);
  for (const unsigned char *mark :
       {static_cast<const unsigned char *>(c->header), static_cast<const unsigned char *>(c->cur)}) {
    if (mark == nullptr || mark < base || mark > limit) continue;
    if (p < mark && n + 6 < ASN1_DUMP_SIZE) {
      n += snprintf(text + n, ASN1_DUMP_SIZE - n, " ....");
      p = mark;
    }
    groups(mark + 6);
  }
  return text;
}

inline uint32_t *oidcat(uint32_t *oid, const uint32_t *arcs, uint32_t count) {
  if (oid == nullptr || (arcs == nullptr && count) || oid[0] > ASN1_MAX_ARCS ||
      count > ASN1_MAX_ARCS - oid[0])
    return nullptr;
  memcpy(oid + 1 + oid[0], arcs, count * sizeof(uint32_t));
  oid[0] += count;
  return oid;
}

inline int oidncmp(const uint32_t *a, const uint32_t *b, uint32_t n) {
  uint32_t na = a[0] < n ? a[0] : n, nb = b[0] < n ? b[0] : n;
  if (na > ASN1_MAX_ARCS) na = ASN1_MAX_ARCS;
  if (nb > ASN1_MAX_ARCS) nb = ASN1_MAX_ARCS;
  uint32_t common = na < nb ? na : nb;
  for (uint32_t i = 1; i <= common; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  }
  return static_cast<int>(na) - static_cast<int>(nb);
}

inline int oidcmp(const uint32_t *a, const uint32_t *b) { return ber::oidncmp(a, b, ASN1_MAX_ARCS); }

}  // namespace telvi::ber

#endif
