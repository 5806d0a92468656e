// The codec's primitives as inline functions, so that the engine's hot paths (bindings, PDU
// headers) compile into straight code; asn1.cc exports them under their C names.
#ifndef TELVI_SNMP_BER_H
#define TELVI_SNMP_BER_H

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "telvi/asn1.h"

namespace telvi::ber {

inline int sizeofAsn1Word(uint32_t value);
inline unsigned char *encodeAsn1Word(unsigned char *destination, int count, uint32_t value);

// memmove for the short blocks of SNMP (communities, strings, OIDs) without a library call:
// every block up to 32 octets is loaded completely before it is stored, so overlap is fine.
inline void moveBytes(unsigned char *to, const unsigned char *from, uint32_t n) {
  if (n <= 8) {
    unsigned char t[8];
    for (uint32_t i = 0; i < n; ++i) t[i] = from[i];
    for (uint32_t i = 0; i < n; ++i) to[i] = t[i];
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

inline bool failed(const Asn1Cursor *c) { return c == nullptr || c->error != 0; }

inline uint32_t room(const Asn1Cursor *c) {
  return c->cur < c->end ? static_cast<uint32_t>(c->end - c->cur) : 0;
}

template <typename T>
inline T fail(Asn1Cursor *c, int error, T result) {
  if (c->error == 0) c->error = error;
  return result;
}

// Writes tag and length at p; the caller has checked the room. Returns the position after it.
inline unsigned char *putHeader(unsigned char *p, int tag, uint32_t length) {
  *p++ = static_cast<unsigned char>(tag);
  if (length < 128) {
    *p++ = static_cast<unsigned char>(length);
    return p;
  }
  int n = ber::sizeofAsn1Word(length);
  *p++ = static_cast<unsigned char>(0x80 | n);
  return ber::encodeAsn1Word(p, n, length);
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
  return value == 0 ? 0 : value < 0x100 ? 1 : value < 0x10000 ? 2 : value < 0x1000000 ? 3 : 4;
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
  // Each length octet the value needs takes one byte of contents away.
  for (int n = 0; n < ber::sizeofAsn1Word(length); ++n) --length;
  return length;
}

inline uint32_t sizeofAsn1Header(uint32_t length) {
  return length < 128 ? 2 : 2 + static_cast<uint32_t>(ber::sizeofAsn1Word(length));
}

inline unsigned char *encodeAsn1Header(Asn1Cursor *c, int tag, uint32_t length) {
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

inline unsigned char *updateAsn1Header(Asn1Cursor *c, unsigned char *header) {
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

inline int decodeAsn1Header(Asn1Cursor *c, int tag) {
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

inline unsigned char *encodeAsn1Struct(Asn1Cursor *c, int tag, uint32_t length, unsigned char **saved) {
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

inline unsigned char *encodeAsn1Octets(Asn1Cursor *c, int tag, const void *data, uint32_t length) {
  if (ber::encodeAsn1Header(c, tag, length) == nullptr) return nullptr;
  unsigned char *contents = c->cur;
  if (data != nullptr) ber::moveBytes(contents, static_cast<const unsigned char *>(data), length);
  c->cur += length;
  return contents;
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
  uint32_t bits = 32 - static_cast<uint32_t>(__builtin_clz(v | 1));
  return bits / 8 + 1;
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

inline unsigned char *encodeAsn1Int32(Asn1Cursor *c, int tag, int32_t value) {
  uint32_t n = ber::sizeofAsn1Int32Data(tag, value);
  unsigned char *header = ber::encodeAsn1Header(c, tag, n);
  if (header == nullptr) return nullptr;
  c->cur = ber::encodeAsn1Int32Data(c->cur, n, value);
  return header;
}

inline int32_t decodeAsn1Int32(Asn1Cursor *c, int tag) {
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

inline uint32_t sizeofAsn1Int64Data(Asn1Int64 value) {
  uint64_t v = (static_cast<uint64_t>(value.high) << 32) | value.low;
  uint32_t n = 1;
  for (v >>= 7; v != 0; v >>= 8) ++n;
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

inline unsigned char *encodeAsn1OidData(unsigned char *destination, const uint32_t *oid) {
  uint32_t first = oid[1] * ASN1OidMultiplier + oid[2];
  unsigned char *p = destination;
  if (first < 0x80)
    *p++ = static_cast<unsigned char>(first);
  else
    p = ber::encodeAsn1Subid(destination, first);
  uint32_t n = oid[0] > ASN1_MAX_ARCS ? ASN1_MAX_ARCS : oid[0];
  uint32_t i = 3;
  // Arcs below 128 take one octet each: four at a time while they are all that small.
  for (; i + 3 <= n; i += 4) {
    uint32_t a = oid[i], b = oid[i + 1], c = oid[i + 2], d = oid[i + 3];
    if ((a | b | c | d) >= 0x80) break;
    p[0] = static_cast<unsigned char>(a);
    p[1] = static_cast<unsigned char>(b);
    p[2] = static_cast<unsigned char>(c);
    p[3] = static_cast<unsigned char>(d);
    p += 4;
  }
  for (; i <= n; ++i) {
    uint32_t v = oid[i];
    if (__builtin_expect(v < 0x80, 1)) {
      *p++ = static_cast<unsigned char>(v);
    } else {
      p = ber::encodeAsn1Subid(p, v);
    }
  }
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

inline uint32_t *decodeAsn1OidData(Asn1Cursor *c, const unsigned char *data, uint32_t length, uint32_t *oid) {
  if (failed(c)) return nullptr;
  if (oid == nullptr || data == nullptr) return fail<uint32_t *>(c, ASN1_ERR_VALUE, nullptr);
  const unsigned char *p = data, *end = data + length;
  uint32_t n = 0;
  while (p < end) {
    if (n >= ASN1_MAX_ARCS - 1) return fail<uint32_t *>(c, ASN1_ERR_SPACE, nullptr);
    uint32_t v;
    if (*p < 0x80) {
      v = *p++;
    } else {
      const unsigned char *next;
      v = ber::decodeAsn1Subid(p, end, &next);
      if (next == nullptr) return fail<uint32_t *>(c, ASN1_ERR_SPACE, nullptr);
      p = next;
    }
    if (v == 0xFFFFFFFFu) return fail<uint32_t *>(c, ASN1_ERR_SPACE, nullptr);
    oid[2 + n++] = v;
  }
  // An identifier without sub-identifiers names nothing.
  if (n == 0) return fail<uint32_t *>(c, ASN1_ERR_VALUE, nullptr);
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
  oid[0] = n + 1;
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
