// PDU headers, SNMPv1 trap headers and variable bindings.
#include <cstring>

#include "snmp/ber.h"
#include "telvi/snmp.h"

extern "C" {

// GetRequest GetNextRequest Response SetRequest SNMPv1Trap GetBulkRequest InformRequest
// SNMPv2Trap Report.
const unsigned char _pduType[9] = {0x0B, 0x0B, 0x13, 0x0B, 0x05, 0x0A, 0x0E, 0x06, 0x12};

int snmpPduFlags(int tag) {
  if ((tag & ~0x1f) != 0xA0 || (tag & 0x1f) > 8) return 0;
  return _pduType[tag & 0x1f];
}

}  // extern "C"

// The code, next to the inline codec; exported below under the C names (the entry points of the
// hot paths are inlined into them, so a call does not go through a second jump).
namespace telvi::ber {

uint32_t sizeofPdusHeader(uint32_t length) { return ber::sizeofAsn1Header(length); }

unsigned char *encodePdusHeader(Asn1Cursor *c, int tag, uint32_t length) {
  return ber::encodeAsn1Struct(c, tag, length, nullptr);
}

int decodePdusHeader(Asn1Cursor *c, int v2) {
  if (c == nullptr || c->error) return -1;
  if (c->cur < c->end) {
    int flags = snmpPduFlags(c->cur[0]);
    if ((flags & (v2 ? SNMP_PDU_FLAG_V2 : SNMP_PDU_FLAG_V1)) == 0) {
      c->tag = c->cur[0];
      c->error = ASN1_ERR_TAG;
      return -1;
    }
  }
  // The PDU is the last thing of the message.
  return ber::decodeAsn1Struct(c, 0, nullptr);
}

uint32_t sizeofPduHeader(const PduHeader *h, uint32_t length) {
  uint32_t inner = 2 + ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->request_id) + 2 +
                   ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->error_status) + 2 +
                   ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->error_index);
  if (length == ASN1_OPEN_LENGTH) return inner;
  return ber::sizeofAsn1Header(inner + length) + inner;
}

TELVI_BER_GENERAL unsigned char *encodePduHeaderGeneral(Asn1Cursor *c, const PduHeader *h, uint32_t length) {
  if (ber::failed(c)) return nullptr;
  if (h == nullptr) return ber::fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  uint32_t total = length;
  if (length != ASN1_OPEN_LENGTH) total = ber::sizeofPduHeader(h, ASN1_OPEN_LENGTH) + length;
  unsigned char *header = ber::encodeAsn1Struct(c, h->type, total, nullptr);
  ber::encodeAsn1Int32(c, ASN1_TAG_INTEGER, h->request_id);
  ber::encodeAsn1Int32(c, ASN1_TAG_INTEGER, h->error_status);
  ber::encodeAsn1Int32(c, ASN1_TAG_INTEGER, h->error_index);
  return c->error ? nullptr : header;
}

__attribute__((always_inline)) inline unsigned char *encodePduHeader(Asn1Cursor *c, const PduHeader *h,
                                                                     uint32_t length) {
  if (c != nullptr && c->error == 0 && h != nullptr) {
    uint32_t n1 = ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->request_id),
             n2 = ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->error_status),
             n3 = ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->error_index);
    uint32_t inner = 6 + n1 + n2 + n3;
    unsigned char *p = c->cur;
    ptrdiff_t left = c->end - p;
    uint32_t total = inner + length, octets;
    bool fits;
    if (length == ASN1_OPEN_LENGTH) {
      fits = left >= 2 && left < 0x80000000 && ber::openLength(static_cast<uint32_t>(left), &total, &octets) &&
             total >= inner;
    } else {
      octets = total < 128 ? 0 : ber::octetsOf(total);
      fits = total >= inner && total < 0x80000000u && left >= static_cast<ptrdiff_t>(2 + octets + total);
    }
    if (fits) {
      unsigned char *q = p + 2;
      if (octets == 0) {
        p[0] = static_cast<unsigned char>(h->type);
        p[1] = static_cast<unsigned char>(total);
      } else {
        q = ber::putLongHeader(p, h->type, octets, total);
      }
      unsigned char *last = ber::putInt32(q, ASN1_TAG_INTEGER, n1, static_cast<uint32_t>(h->request_id));
      last = ber::putInt32(last, ASN1_TAG_INTEGER, n2, static_cast<uint32_t>(h->error_status));
      c->cur = ber::putInt32(last, ASN1_TAG_INTEGER, n3, static_cast<uint32_t>(h->error_index));
      c->header = last;
      c->length = n3;
      c->tag = ASN1_TAG_INTEGER;
      return p;
    }
  }
  return ber::encodePduHeaderGeneral(c, h, length);
}

TELVI_BER_GENERAL int decodePduHeaderGeneral(Asn1Cursor *c, PduHeader *h, int v2) {
  if (h == nullptr) return -1;
  int tag = ber::decodePdusHeader(c, v2);
  if (tag < 0) return -1;
  h->type = tag;
  h->request_id = h->error_status = h->error_index = 0;
  if (tag == SNMP_PDU_V1TRAP) return tag;
  h->request_id = ber::decodeAsn1Int32(c, ASN1_TAG_INTEGER);
  h->error_status = ber::decodeAsn1Int32(c, ASN1_TAG_INTEGER);
  h->error_index = ber::decodeAsn1Int32(c, ASN1_TAG_INTEGER);
  return c->error ? -1 : tag;
}

// The usual PDU header: a PDU of the version's rules that ends the message, three INTEGERs of 1
// to 4 octets. Anything else (and every failure) goes the general way.
__attribute__((always_inline)) inline int decodePduHeader(Asn1Cursor *c, PduHeader *h, int v2) {
  if (h != nullptr && c != nullptr && c->error == 0) {
    unsigned char *p = c->cur, *end = c->end;
    ptrdiff_t left = end - p;
    uint32_t length;
    unsigned char *q;
    if (left >= 2 && p[0] != SNMP_PDU_V1TRAP && (snmpPduFlags(p[0]) & (v2 ? SNMP_PDU_FLAG_V2 : SNMP_PDU_FLAG_V1)) &&
        (q = ber::usualHeader(p, left, &length)) != nullptr && q + length == end) {
      int32_t values[3];
      unsigned char *last = q;
      bool usual = true;
      for (int i = 0; i < 3 && usual; ++i) {
        uint32_t n = 0;
        usual = end - q >= 3 && q[0] == ASN1_TAG_INTEGER && (n = q[1]) - 1 < 4 &&
                n <= static_cast<uint32_t>(end - q - 2);
        if (usual) {
          // One big-endian word ending at the last octet (the octets before it are this PDU's,
          // after cur), sign-extended from the first.
          uint32_t shift = 32 - 8 * n;
          values[i] = static_cast<int32_t>(ber::loadBig32(q + 2 + n - 4) << shift) >> shift;
          last = q;
          q += 2 + n;
        }
      }
      if (usual) {
        h->type = p[0];
        h->request_id = values[0];
        h->error_status = values[1];
        h->error_index = values[2];
        c->header = last;
        c->cur = q;
        c->tag = ASN1_TAG_INTEGER;
        c->length = last[1];
        return h->type;
      }
    }
  }
  return decodePduHeaderGeneral(c, h, v2);
}

uint32_t sizeofTrapHeader(const TrapHeader *h, uint32_t length) {
  uint32_t oid = ber::sizeofAsn1Oid(h->enterprise);
  if (oid == ASN1_BAD_SIZE) return ASN1_BAD_SIZE;
  uint32_t inner = oid + 2 + 4 + 2 + ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->generic) + 2 +
                   ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->specific) + 2 +
                   ber::sizeofAsn1Int32Data(ASN1_TAG_TIMETICKS, static_cast<int32_t>(h->timestamp));
  if (length == ASN1_OPEN_LENGTH) return inner;
  return ber::sizeofAsn1Header(inner + length) + inner;
}

unsigned char *encodeTrapHeader(Asn1Cursor *c, const TrapHeader *h, uint32_t length) {
  if (ber::failed(c)) return nullptr;
  if (h == nullptr) return ber::fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  uint32_t total = length;
  if (length != ASN1_OPEN_LENGTH) {
    uint32_t inner = ber::sizeofTrapHeader(h, ASN1_OPEN_LENGTH);
    if (inner == ASN1_BAD_SIZE) return ber::fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
    total = inner + length;
  }
  unsigned char *header = ber::encodeAsn1Struct(c, SNMP_PDU_V1TRAP, total, nullptr);
  ber::encodeAsn1Oid(c, h->enterprise);
  ber::encodeAsn1Int32(c, ASN1_TAG_IPADDRESS, static_cast<int32_t>(h->agent));
  ber::encodeAsn1Int32(c, ASN1_TAG_INTEGER, h->generic);
  ber::encodeAsn1Int32(c, ASN1_TAG_INTEGER, h->specific);
  ber::encodeAsn1Int32(c, ASN1_TAG_TIMETICKS, static_cast<int32_t>(h->timestamp));
  return c->error ? nullptr : header;
}

int decodeTrapHeader(Asn1Cursor *c, TrapHeader *h) {
  if (h == nullptr) return -1;
  int tag = ber::decodePdusHeader(c, 0);
  if (tag < 0) return -1;
  if (tag != SNMP_PDU_V1TRAP) {
    c->tag = SNMP_PDU_V1TRAP;
    c->error = ASN1_ERR_TAG;
    return -1;
  }
  h->type = tag;
  ber::decodeAsn1Oid(c, h->enterprise);
  h->agent = static_cast<uint32_t>(ber::decodeAsn1Int32(c, ASN1_TAG_IPADDRESS));
  h->generic = ber::decodeAsn1Int32(c, ASN1_TAG_INTEGER);
  h->specific = ber::decodeAsn1Int32(c, ASN1_TAG_INTEGER);
  h->timestamp = static_cast<uint32_t>(ber::decodeAsn1Int32(c, ASN1_TAG_TIMETICKS));
  return c->error ? -1 : tag;
}

uint32_t sizeofVarBind(const VarBind *b) {
  uint32_t oid = ber::sizeofAsn1Oid(b->oid), value = ber::sizeofAsn1Value(&b->value);
  if (oid == ASN1_BAD_SIZE || value == ASN1_BAD_SIZE) return ASN1_BAD_SIZE;
  return ber::sizeofAsn1Header(oid + value) + oid + value;
}

// The contents of an OID of the packed shape below but with arcs from 128 up to 2^14 - 1, which
// take two octets (enterprise numbers, indexes and addresses in names): one arc after the other,
// two octets stored for each and the pointer moved by one or two, the range tested once at the
// end. Returns their end, or null for an arc of 2^14 or more (having written octets the caller
// overwrites).
inline unsigned char *packTwoOctetArcs(unsigned char *p, const uint32_t *oid) {
  uint32_t n = oid[0], wide = 0;
  *p++ = static_cast<unsigned char>(oid[1] * ASN1OidMultiplier + oid[2]);
  for (uint32_t i = 3; i <= n; ++i) {
    uint32_t w = oid[i], two = w > 0x7F;
    wide |= w;
    p[0] = static_cast<unsigned char>(two ? 0x80 | w >> 7 : w);
    p[1] = static_cast<unsigned char>(w & 0x7F);
    p += 1 + two;
  }
  return wide < 0x4000 ? p : nullptr;
}

// The contents of an OID held in a whole Oid array (129 words, as in a VarBind) in the packed
// shape: 1 to 16 arcs after the first two, the first two making a sub-identifier below 128
// (which also makes the OID valid) and every further arc below 128. (A name of two arcs is one
// octet; the plain encoder writes it without the wide store, as it always has.) The words are read 16 at a
// time and packed into octets with SSE2; with arcs of 128 or more, packTwoOctetArcs takes over.
// Writes 17 octets at p, or 2 an arc and 2 more (the caller has room for 5 an arc and the 17),
// and returns the end of the contents; null for any other OID (having written nothing before p).
inline unsigned char *packShortOid(unsigned char *p, const uint32_t *oid) {
#if defined(__SSE2__)
  uint32_t n = oid[0], a = oid[1], b = oid[2];
  // One test for the count and the first two arcs (b below 40, or below 48 under 2), one for the
  // rest: fewer branches to predict where names of every shape follow one another.
  if ((n - 3 > 15) | (a > 2) | (b >= 40 + 8 * (a == 2))) return nullptr;
  const __m128i *w = reinterpret_cast<const __m128i *>(oid + 3);
  __m128i low = _mm_packs_epi32(_mm_loadu_si128(w), _mm_loadu_si128(w + 1));
  __m128i high = _mm_packs_epi32(_mm_loadu_si128(w + 2), _mm_loadu_si128(w + 3));
  // Saturation keeps every arc of 128 or more visible: those up to 2^31 reach the octets as 0x80
  // or more, those above (negative as signed words) give negative signed octets.
  __m128i octets = _mm_packus_epi16(low, high);
  __m128i signs = _mm_packs_epi16(low, high);
  uint32_t big = static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(octets, signs)));
  // Lanes past the last arc do not count.
  if (big << (34 - n)) return ber::packTwoOctetArcs(p, oid);
  *p = static_cast<unsigned char>(a * ASN1OidMultiplier + b);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 1), octets);
  return p + n - 1;
#else
  (void)p;
  (void)oid;
  return nullptr;
#endif
}

// The contents of an OID at p, packed when they can be, when it is valid and they take less
// than 128 octets (the caller has room for them at their longest, 5 octets an arc, and for the
// 17 octets of a packed store). Returns their end, or null.
__attribute__((always_inline)) inline unsigned char *putShortOid(unsigned char *p, const uint32_t *oid) {
  if (unsigned char *q = packShortOid(p, oid)) return q;
  if (!ber::oidIsValid(oid)) return nullptr;
  unsigned char *q = ber::encodeAsn1OidData(p, oid);
  return q - p < 128 ? q : nullptr;
}

// The common binding in one pass: short lengths everywhere, room for the worst case of its
// shape, so the bytes go out without sizing them first. Writes the binding at start (end the
// limit) and returns its end; null otherwise (nothing written before start), so the cases taken
// here stay exactly those of the room tests below.
// Integers are written with one 8-octet store, and a packed OID with a 16-octet one: the octets
// after the binding are scratch inside that room. The binding's length is its end - start - 2.
__attribute__((always_inline)) inline unsigned char *putVarBind(unsigned char *start, unsigned char *end,
                                                                const VarBind *b) {
  // Room for the name at its longest (5 octets an arc) and the largest fixed-size value
  // (Counter64, 11 octets); that covers the 4 + 17 octets a packed name store touches and the 8
  // of an integer store after it.
  if (end - start < static_cast<ptrdiff_t>(5 * static_cast<uint64_t>(b->oid[0]) + 15)) return nullptr;
  unsigned char *p = putShortOid(start + 4, b->oid);
  if (p == nullptr) return nullptr;
  // The name's header goes out before the value is read: a value whose octets lie in this
  // buffer sees the same bytes as with the general path's order of writes.
  start[2] = ASN1_TAG_OBJECT_ID;
  start[3] = static_cast<unsigned char>(p - (start + 4));
  const Asn1Value *v = &b->value;
  int tag = v->tag;
  uint32_t n;
  if (tag == ASN1_TAG_INTEGER || static_cast<uint32_t>(tag) - ASN1_TAG_IPADDRESS <= 3) {
    // Integer32, IpAddress, Counter32, Unsigned32, TimeTicks: as sizeofAsn1Int32Data counts.
    uint32_t u = v->u.unsigned32;
    // A negative Integer32 counts the octets of its complement (selected without a branch).
    uint32_t w = u ^ (static_cast<uint32_t>(static_cast<int32_t>(u) >> 31) & (0u - (tag == ASN1_TAG_INTEGER)));
    n = 1 + (w > 0x7F) + (w > 0x7FFF) + (w > 0x7FFFFF) + (w > 0x7FFFFFFF);
    if (tag == ASN1_TAG_IPADDRESS) n = ASN1_IPADDRESS_SIZE;
    p[0] = static_cast<unsigned char>(tag);
    p[1] = static_cast<unsigned char>(n);
    // The low n octets of the zero-extended word, most significant first.
    ber::storeBig64(p + 2, static_cast<uint64_t>(u) << (64 - 8 * n));
    p += 2 + n;
  } else {
    switch (tag) {
      case ASN1_TAG_OCTET_STRING:
        n = v->u.octets.length;
        if (n > 125 || end - p < static_cast<ptrdiff_t>(2 + n) || (v->u.octets.data == nullptr && n))
          return nullptr;
        p[0] = ASN1_TAG_OCTET_STRING;
        p[1] = static_cast<unsigned char>(n);
        ber::moveBytes(p + 2, v->u.octets.data, n);
        p += 2 + n;
        break;
      case ASN1_TAG_OBJECT_ID: {
        // Room for the contents at their longest and the 17 octets of a packed store.
        if (end - p < static_cast<ptrdiff_t>(5 * static_cast<uint64_t>(v->u.oid[0]) + 18)) return nullptr;
        unsigned char *q = putShortOid(p + 2, v->u.oid);
        if (q == nullptr) return nullptr;
        p[0] = ASN1_TAG_OBJECT_ID;
        p[1] = static_cast<unsigned char>(q - (p + 2));
        p = q;
        break;
      }
      case ASN1_TAG_COUNTER64: {
        n = ber::sizeofAsn1Int64Data(v->u.counter64);
        uint64_t w = (static_cast<uint64_t>(v->u.counter64.high) << 32) | v->u.counter64.low;
        p[0] = ASN1_TAG_COUNTER64;
        p[1] = static_cast<unsigned char>(n);
        if (n <= 8) {
          ber::storeBig64(p + 2, w << (64 - 8 * n));
        } else {
          p[2] = 0;
          ber::storeBig64(p + 3, w);
        }
        p += 2 + n;
        break;
      }
      case ASN1_TAG_NULL:
      case ASN1_TAG_NOSUCHOBJECT:
      case ASN1_TAG_NOSUCHINSTANCE:
      case ASN1_TAG_ENDOFMIBVIEW:
        p[0] = static_cast<unsigned char>(tag);
        p[1] = 0;
        p += 2;
        break;
      default:
        return nullptr;
    }
  }
  uint32_t total = static_cast<uint32_t>(p - (start + 2));
  if (total >= 128) return nullptr;
  start[0] = ASN1_TAG_SEQUENCE;
  start[1] = static_cast<unsigned char>(total);
  return p;
}

// putVarBind at the cursor; the cursor ends on the binding's header.
__attribute__((always_inline)) inline unsigned char *fastVarBind(Asn1Cursor *c, const VarBind *b) {
  unsigned char *start = c->cur, *p = ber::putVarBind(start, c->end, b);
  if (p == nullptr) return nullptr;
  c->cur = p;
  c->header = start;
  c->length = static_cast<uint32_t>(p - start - 2);
  c->tag = ASN1_TAG_SEQUENCE;
  return start;
}

TELVI_BER_GENERAL unsigned char *encodeVarBindGeneral(Asn1Cursor *c, const VarBind *b) {
  if (ber::failed(c)) return nullptr;
  if (b == nullptr) return ber::fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  uint32_t oid = ber::sizeofAsn1OidData(b->oid);
  if (oid == ASN1_BAD_SIZE) return ber::fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  uint32_t value = ber::sizeofAsn1Value(&b->value);
  if (value == ASN1_BAD_SIZE) return ber::fail<unsigned char *>(c, ASN1_ERR_TYPE, nullptr);
  uint32_t oidTotal = ber::sizeofAsn1Header(oid) + oid;
  unsigned char *header = ber::encodeAsn1Header(c, ASN1_TAG_SEQUENCE, oidTotal + value);
  if (header == nullptr) return nullptr;
  // The header check covered the contents: write the OID directly.
  unsigned char *p = c->cur;
  *p++ = ASN1_TAG_OBJECT_ID;
  if (oid < 128) {
    *p++ = static_cast<unsigned char>(oid);
  } else {
    int n = ber::sizeofAsn1Word(oid);
    *p++ = static_cast<unsigned char>(0x80 | n);
    p = ber::encodeAsn1Word(p, n, oid);
  }
  c->cur = ber::encodeAsn1OidData(p, b->oid);
  if (ber::encodeAsn1Value(c, &b->value) == nullptr) return nullptr;
  return header;
}

__attribute__((always_inline)) inline unsigned char *encodeVarBind(Asn1Cursor *c, const VarBind *b) {
  if (c != nullptr && c->error == 0 && b != nullptr) {
    if (unsigned char *fast = fastVarBind(c, b)) return fast;
  }
  return encodeVarBindGeneral(c, b);
}

// What the bindings of a list will take, guessed without looking at every arc: close enough to
// pick the widths of the length fields in front of them. A binding is taken as 6 octets of
// headers, one octet an arc of its name (the first two together), and a value of 4 octets, or
// the octets of a string, or one octet an arc of an OID.
inline uint64_t guessVarBinds(const unsigned char *item, uint32_t count, size_t stride) {
  uint64_t total = 0;
  for (uint32_t i = 0; i < count; ++i, item += stride) {
    const VarBind *b = reinterpret_cast<const VarBind *>(item);
    int tag = b->value.tag;
    uint32_t value = tag == ASN1_TAG_OCTET_STRING ? b->value.u.octets.length
                     : tag == ASN1_TAG_OBJECT_ID  ? b->value.u.oid[0] - 1
                                                  : 4;
    total += 5u + b->oid[0] + value;
  }
  return total;
}

// The steps the engine takes to write a PDU when its lengths are not known in advance: open
// lengths patched at the end, a binding that does not fit dropped with those after it.
TELVI_BER_GENERAL unsigned char *encodePduGeneral(Asn1Cursor *c, const PduHeader *h, const VarBind *list,
                                                  uint32_t count, size_t stride, uint32_t *written) {
  unsigned char *top = ber::encodePduHeader(c, h, ASN1_OPEN_LENGTH);
  unsigned char *bindings = ber::encodeAsn1Struct(c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  if (ber::failed(c)) return nullptr;
  const unsigned char *item = reinterpret_cast<const unsigned char *>(list);
  uint32_t n = 0;
  for (; n < count; ++n, item += stride) {
    unsigned char *before = c->cur;
    if (ber::encodeVarBind(c, reinterpret_cast<const VarBind *>(item)) == nullptr) {
      c->cur = before;
      c->error = 0;
      break;
    }
  }
  if (written != nullptr) *written = n;
  ber::updateAsn1Header(c, bindings);
  return ber::updateAsn1Header(c, top);
}

// The same bytes and the same bindings as encodePduGeneral, without patching: the bindings go
// where the length fields they will need put them, guessed from guessVarBinds, and they keep the
// room the open lengths would leave them. Only a wrong guess moves them (once).
unsigned char *encodePdu(Asn1Cursor *c, const PduHeader *h, const VarBind *list, uint32_t count, size_t stride,
                         uint32_t *written) {
  if (written != nullptr) *written = 0;
  if (c == nullptr || c->error != 0 || h == nullptr || (list == nullptr && count != 0))
    return ber::encodePduGeneral(c, h, list, count, stride, written);
  unsigned char *p = c->cur, *end = c->end;
  ptrdiff_t left = end - p;
  uint32_t n1 = ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->request_id),
           n2 = ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->error_status),
           n3 = ber::sizeofAsn1Int32Data(ASN1_TAG_INTEGER, h->error_index);
  uint32_t inner = 6 + n1 + n2 + n3;
  // The open lengths: the PDU's over all the room, the list's over what the integers leave.
  uint32_t pduOpen, pduOpenOctets, listOpen, listOpenOctets;
  if (left < 2 || left >= 0x80000000 || !ber::openLength(static_cast<uint32_t>(left), &pduOpen, &pduOpenOctets) ||
      pduOpen < inner + 2 || !ber::openLength(pduOpen - inner, &listOpen, &listOpenOctets))
    return ber::encodePduGeneral(c, h, list, count, stride, written);
  uint64_t guess = ber::guessVarBinds(reinterpret_cast<const unsigned char *>(list), count, stride);
  if (guess > listOpen) guess = listOpen;
  uint32_t listOctets = guess < 128 ? 0 : ber::octetsOf(static_cast<uint32_t>(guess));
  uint64_t pduGuess = inner + 2 + listOctets + guess;
  uint32_t pduOctets = pduGuess < 128 ? 0 : pduGuess > pduOpen ? pduOpenOctets : ber::octetsOf(static_cast<uint32_t>(pduGuess));
  unsigned char *start = p + 2 + pduOctets + inner + 2 + listOctets;
  unsigned char *limit = start + listOpen, *q = start;
  const unsigned char *item = reinterpret_cast<const unsigned char *>(list);
  uint32_t n = 0;
  for (; n < count; ++n, item += stride) {
    const VarBind *b = reinterpret_cast<const VarBind *>(item);
    if (unsigned char *next = ber::putVarBind(q, limit, b)) {
      q = next;
      continue;
    }
    // The general path, in the same room.
    c->cur = q;
    c->end = limit;
    unsigned char *done = ber::encodeVarBindGeneral(c, b);
    c->end = end;
    if (done == nullptr) {
      c->error = 0;
      break;
    }
    q = c->cur;
  }
  uint32_t length = static_cast<uint32_t>(q - start);
  uint32_t octets = length < 128 ? 0 : ber::octetsOf(length);
  uint32_t total = inner + 2 + octets + length;
  uint32_t outer = total < 128 ? 0 : ber::octetsOf(total);
  unsigned char *bindings = p + 2 + outer + inner + 2 + octets;
  if (bindings != start) memmove(bindings, start, length);
  unsigned char *r = outer == 0 ? p + 2 : ber::putLongHeader(p, h->type, outer, total);
  if (outer == 0) {
    p[0] = static_cast<unsigned char>(h->type);
    p[1] = static_cast<unsigned char>(total);
  }
  r = ber::putInt32(r, ASN1_TAG_INTEGER, n1, static_cast<uint32_t>(h->request_id));
  r = ber::putInt32(r, ASN1_TAG_INTEGER, n2, static_cast<uint32_t>(h->error_status));
  r = ber::putInt32(r, ASN1_TAG_INTEGER, n3, static_cast<uint32_t>(h->error_index));
  ber::putHeader(r, ASN1_TAG_SEQUENCE, length);
  c->cur = bindings + length;
  c->header = p;
  c->length = total;
  c->tag = p[0];
  if (written != nullptr) *written = n;
  return p;
}

// The usual binding in one pass: every length in short form, a name and a value of the types
// below that ends the binding. It checks what the general path checks on that shape and changes
// the cursor only on success, to the state the general path leaves (end back at the list's
// limit, header, length and tag those of the value). On any other shape it returns false, having
// written nothing into the binding that the general path does not write alike.
__attribute__((always_inline)) inline bool decodeShortVarBind(Asn1Cursor *c, VarBind *b) {
  unsigned char *p = c->cur, *end = c->end;
  if (c->error != 0 || end - p < 6) return false;
  uint32_t total = p[1];
  // A length in the short form (an octet of 0x80 or more starts a long form, which the general
  // path reads), room for the name's and the value's headers, and a binding that fits before end.
  if (p[0] != ASN1_TAG_SEQUENCE || total < 4 || total >= 0x80 || total > static_cast<uint32_t>(end - p - 2))
    return false;
  unsigned char *name = p + 2, *stop = p + 2 + total;
  uint32_t nameLength = name[1];
  if (name[0] != ASN1_TAG_OBJECT_ID || nameLength > total - 4) return false;
  unsigned char *value = name + 2 + nameLength;
  int tag = value[0];
  uint32_t length = value[1];
  // A value that does not end the binding is left to the general path and its messages.
  if (length != static_cast<uint32_t>(stop - value - 2)) return false;
  if (!ber::decodeOidWords(name + 2, nameLength, b->oid)) return false;
  // The name took at least one octet, so the octets just before data lie in this binding: the
  // integers are read as one big-endian word that ends at their last octet.
  const unsigned char *data = value + 2;
  Asn1Value *v = &b->value;
  switch (tag) {
    case ASN1_TAG_INTEGER:
    case ASN1_TAG_COUNTER32:
    case ASN1_TAG_UNSIGNED32:
    case ASN1_TAG_TIMETICKS:
      if (length - 1 < 4) {
        // Sign-extended from the first octet.
        uint32_t shift = 32 - 8 * length;
        v->u.integer = static_cast<int32_t>(ber::loadBig32(data + length - 4) << shift) >> shift;
      } else if (length == 5 && data[0] == 0) {
        v->u.unsigned32 = ber::loadBig32(data + 1);
      } else {
        return false;
      }
      break;
    case ASN1_TAG_IPADDRESS:
      if (length != ASN1_IPADDRESS_SIZE) return false;
      v->u.unsigned32 = ber::loadBig32(data);
      break;
    case ASN1_TAG_COUNTER64: {
      uint64_t n;
      if (length - 1 < 8) {
        uint32_t shift = 64 - 8 * length;
        n = static_cast<uint64_t>(static_cast<int64_t>(ber::loadBig64(data + length - 8) << shift) >> shift);
      } else if (length == 9 && data[0] == 0) {
        n = ber::loadBig64(data + 1);
      } else {
        return false;
      }
      v->u.counter64.high = static_cast<uint32_t>(n >> 32);
      v->u.counter64.low = static_cast<uint32_t>(n);
      break;
    }
    case ASN1_TAG_OBJECT_ID:
      if (!ber::decodeOidWords(data, length, v->u.oid)) return false;
      break;
    case ASN1_TAG_OCTET_STRING:
      v->u.octets.data = value + 2;
      v->u.octets.length = length;
      break;
    case ASN1_TAG_NULL:
    case ASN1_TAG_NOSUCHOBJECT:
    case ASN1_TAG_NOSUCHINSTANCE:
    case ASN1_TAG_ENDOFMIBVIEW:
      if (length != 0) return false;
      break;
    default:
      return false;
  }
  v->tag = tag;
  c->cur = stop;
  c->header = value;
  c->length = length;
  c->tag = tag;
  return true;
}

TELVI_BER_GENERAL unsigned char *decodeVarBindGeneral(Asn1Cursor *c, VarBind *b) {
  if (b == nullptr) {
    if (c && !c->error) c->error = ASN1_ERR_VALUE;
    return nullptr;
  }
  unsigned char *saved;
  if (ber::decodeAsn1Struct(c, ASN1_TAG_SEQUENCE, &saved) < 0) return nullptr;
  ber::decodeAsn1Oid(c, b->oid);
  ber::decodeAsn1Value(c, &b->value);
  return ber::frameAsn1Struct(c, saved);
}

__attribute__((always_inline)) inline unsigned char *decodeVarBind(Asn1Cursor *c, VarBind *b) {
  if (b != nullptr && c != nullptr && decodeShortVarBind(c, b)) return c->cur;
  return decodeVarBindGeneral(c, b);
}

}  // namespace telvi::ber

extern "C" {

uint32_t sizeofPdusHeader(uint32_t length) { return telvi::ber::sizeofPdusHeader(length); }
unsigned char *encodePdusHeader(Asn1Cursor *cursor, int tag, uint32_t length) {
  return telvi::ber::encodePdusHeader(cursor, tag, length);
}
int decodePdusHeader(Asn1Cursor *cursor, int v2) { return telvi::ber::decodePdusHeader(cursor, v2); }
uint32_t sizeofPduHeader(const PduHeader *header, uint32_t length) {
  return telvi::ber::sizeofPduHeader(header, length);
}
unsigned char *encodePduHeader(Asn1Cursor *cursor, const PduHeader *header, uint32_t length) {
  return telvi::ber::encodePduHeader(cursor, header, length);
}
int decodePduHeader(Asn1Cursor *cursor, PduHeader *header, int v2) {
  return telvi::ber::decodePduHeader(cursor, header, v2);
}
uint32_t sizeofTrapHeader(const TrapHeader *header, uint32_t length) {
  return telvi::ber::sizeofTrapHeader(header, length);
}
unsigned char *encodeTrapHeader(Asn1Cursor *cursor, const TrapHeader *header, uint32_t length) {
  return telvi::ber::encodeTrapHeader(cursor, header, length);
}
int decodeTrapHeader(Asn1Cursor *cursor, TrapHeader *header) {
  return telvi::ber::decodeTrapHeader(cursor, header);
}
uint32_t sizeofVarBind(const VarBind *binding) { return telvi::ber::sizeofVarBind(binding); }
unsigned char *encodeVarBind(Asn1Cursor *cursor, const VarBind *binding) {
  return telvi::ber::encodeVarBind(cursor, binding);
}
unsigned char *encodePdu(Asn1Cursor *cursor, const PduHeader *header, const VarBind *list, uint32_t count,
                         size_t stride, uint32_t *written) {
  return telvi::ber::encodePdu(cursor, header, list, count, stride, written);
}
unsigned char *decodeVarBind(Asn1Cursor *cursor, VarBind *binding) {
  return telvi::ber::decodeVarBind(cursor, binding);
}

}  // extern "C"
