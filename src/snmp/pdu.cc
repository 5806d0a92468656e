// PDU headers, SNMPv1 trap headers and variable bindings.
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// The code, next to the inline codec; exported below under the C names.
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

unsigned char *encodePduHeader(Asn1Cursor *c, const PduHeader *h, uint32_t length) {
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

int decodePduHeader(Asn1Cursor *c, PduHeader *h, int v2) {
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

// The common binding in one pass: short lengths everywhere and room for the worst case, so the
// bytes go out without sizing them first. Null (and nothing written before cur) otherwise.
// The contents of an OID held in a whole Oid array (129 words, as in a VarBind), so that the
// arcs after the first two may be read 16 at a time: when they are all below 128 they are packed
// into single octets with SSE2. Otherwise (or without SSE2) the plain encoder does it.
inline unsigned char *putOidOfArray(unsigned char *p, const uint32_t *oid) {
#if defined(__SSE2__)
  uint32_t n = oid[0];
  uint32_t first = oid[1] * ASN1OidMultiplier + oid[2];
  if (n >= 3 && n <= 18 && first < 0x80) {
    const __m128i *w = reinterpret_cast<const __m128i *>(oid + 3);
    __m128i a = _mm_loadu_si128(w), b = _mm_loadu_si128(w + 1), c = _mm_loadu_si128(w + 2),
            d = _mm_loadu_si128(w + 3);
    // Lanes past the last arc do not count.
    __m128i count = _mm_set1_epi32(static_cast<int>(n - 2));
    __m128i high = _mm_and_si128(_mm_srli_epi32(a, 7), _mm_cmplt_epi32(_mm_setr_epi32(0, 1, 2, 3), count));
    high = _mm_or_si128(
        high, _mm_and_si128(_mm_srli_epi32(b, 7), _mm_cmplt_epi32(_mm_setr_epi32(4, 5, 6, 7), count)));
    high = _mm_or_si128(
        high, _mm_and_si128(_mm_srli_epi32(c, 7), _mm_cmplt_epi32(_mm_setr_epi32(8, 9, 10, 11), count)));
    high = _mm_or_si128(
        high, _mm_and_si128(_mm_srli_epi32(d, 7), _mm_cmplt_epi32(_mm_setr_epi32(12, 13, 14, 15), count)));
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) == 0xFFFF) {
      *p = static_cast<unsigned char>(first);
      __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(p + 1), bytes);
      return p + 1 + (n - 2);
    }
  }
#endif
  return ber::encodeAsn1OidData(p, oid);
}

__attribute__((always_inline)) inline unsigned char *fastVarBind(Asn1Cursor *c, const VarBind *b) {
  const Asn1Value *v = &b->value;
  if (!ber::oidIsValid(b->oid) || c->end < c->cur) return nullptr;
  // Room for the name at its longest and the largest fixed-size value (Counter64, 11 octets);
  // that also covers the 17 octets a packed OID store may touch.
  unsigned char *start = c->cur, *end = c->end;
  if (static_cast<uint32_t>(end - start) < 4 + 5 * b->oid[0] + 11) return nullptr;
  unsigned char *p = start + 2;
  p[0] = ASN1_TAG_OBJECT_ID;
  unsigned char *q = putOidOfArray(p + 2, b->oid);
  if (q - (p + 2) >= 128) return nullptr;
  p[1] = static_cast<unsigned char>(q - (p + 2));
  p = q;
  uint32_t n;
  switch (v->tag) {
    case ASN1_TAG_INTEGER:
    case ASN1_TAG_COUNTER32:
    case ASN1_TAG_UNSIGNED32:
    case ASN1_TAG_TIMETICKS:
    case ASN1_TAG_IPADDRESS:
      n = ber::sizeofAsn1Int32Data(v->tag, v->u.integer);
      *p++ = static_cast<unsigned char>(v->tag);
      *p++ = static_cast<unsigned char>(n);
      p = ber::encodeAsn1Int32Data(p, n, v->u.integer);
      break;
    case ASN1_TAG_COUNTER64:
      n = ber::sizeofAsn1Int64Data(v->u.counter64);
      *p++ = ASN1_TAG_COUNTER64;
      *p++ = static_cast<unsigned char>(n);
      p = ber::encodeAsn1Int64Data(p, n, v->u.counter64);
      break;
    case ASN1_TAG_NULL:
    case ASN1_TAG_NOSUCHOBJECT:
    case ASN1_TAG_NOSUCHINSTANCE:
    case ASN1_TAG_ENDOFMIBVIEW:
      *p++ = static_cast<unsigned char>(v->tag);
      *p++ = 0;
      break;
    case ASN1_TAG_OBJECT_ID:
      if (!ber::oidIsValid(v->u.oid) || static_cast<uint32_t>(end - p) < 2 + 5 * v->u.oid[0] + 16)
        return nullptr;
      *p = ASN1_TAG_OBJECT_ID;
      q = putOidOfArray(p + 2, v->u.oid);
      if (q - (p + 2) >= 128) return nullptr;
      p[1] = static_cast<unsigned char>(q - (p + 2));
      p = q;
      break;
    case ASN1_TAG_OCTET_STRING:
      n = v->u.octets.length;
      if (n > 125 || static_cast<uint32_t>(end - p) < 2 + n || (v->u.octets.data == nullptr && n))
        return nullptr;
      *p++ = ASN1_TAG_OCTET_STRING;
      *p++ = static_cast<unsigned char>(n);
      ber::moveBytes(p, v->u.octets.data, n);
      p += n;
      break;
    default:
      return nullptr;
  }
  uint32_t total = static_cast<uint32_t>(p - (start + 2));
  if (total >= 128) return nullptr;
  start[0] = ASN1_TAG_SEQUENCE;
  start[1] = static_cast<unsigned char>(total);
  c->cur = p;
  c->header = start;
  c->length = total;
  c->tag = ASN1_TAG_SEQUENCE;
  return start;
}

unsigned char *encodeVarBind(Asn1Cursor *c, const VarBind *b) {
  if (ber::failed(c)) return nullptr;
  if (b == nullptr) return ber::fail<unsigned char *>(c, ASN1_ERR_VALUE, nullptr);
  if (unsigned char *fast = fastVarBind(c, b)) return fast;
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

unsigned char *decodeVarBind(Asn1Cursor *c, VarBind *b) {
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
unsigned char *decodeVarBind(Asn1Cursor *cursor, VarBind *binding) {
  return telvi::ber::decodeVarBind(cursor, binding);
}

}  // extern "C"
