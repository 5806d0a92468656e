// PDU headers, SNMPv1 trap headers and variable bindings.
#include "telvi/snmp.h"

extern "C" {

// GetRequest GetNextRequest Response SetRequest SNMPv1Trap GetBulkRequest InformRequest
// SNMPv2Trap Report.
const unsigned char _pduType[9] = {0x0B, 0x0B, 0x13, 0x0B, 0x05, 0x0A, 0x0E, 0x06, 0x12};

int snmpPduFlags(int tag) {
  if ((tag & ~0x1f) != 0xA0 || (tag & 0x1f) > 8) return 0;
  return _pduType[tag & 0x1f];
}

uint32_t sizeofPdusHeader(uint32_t length) { return sizeofAsn1Header(length); }

unsigned char *encodePdusHeader(Asn1Cursor *c, int tag, uint32_t length) {
  return encodeAsn1Struct(c, tag, length, nullptr);
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
  return decodeAsn1Struct(c, 0, nullptr);
}

uint32_t sizeofPduHeader(const PduHeader *h, uint32_t length) {
  uint32_t inner = 2 + sizeofAsn1Int32Data(ASN1_INTEGER, h->request_id) + 2 +
                   sizeofAsn1Int32Data(ASN1_INTEGER, h->error_status) + 2 +
                   sizeofAsn1Int32Data(ASN1_INTEGER, h->error_index);
  if (length == ASN1_OPEN_LENGTH) return inner;
  return sizeofAsn1Header(inner + length) + inner;
}

unsigned char *encodePduHeader(Asn1Cursor *c, const PduHeader *h, uint32_t length) {
  if (c == nullptr || c->error) return nullptr;
  if (h == nullptr) {
    c->error = ASN1_ERR_VALUE;
    return nullptr;
  }
  uint32_t total = length;
  if (length != ASN1_OPEN_LENGTH) total = sizeofPduHeader(h, ASN1_OPEN_LENGTH) + length;
  unsigned char *header = encodeAsn1Struct(c, h->type, total, nullptr);
  encodeAsn1Int32(c, ASN1_INTEGER, h->request_id);
  encodeAsn1Int32(c, ASN1_INTEGER, h->error_status);
  encodeAsn1Int32(c, ASN1_INTEGER, h->error_index);
  return c->error ? nullptr : header;
}

int decodePduHeader(Asn1Cursor *c, PduHeader *h, int v2) {
  if (h == nullptr) return -1;
  int tag = decodePdusHeader(c, v2);
  if (tag < 0) return -1;
  h->type = tag;
  h->request_id = h->error_status = h->error_index = 0;
  if (tag == SNMP_PDU_V1TRAP) return tag;
  h->request_id = decodeAsn1Int32(c, ASN1_INTEGER);
  h->error_status = decodeAsn1Int32(c, ASN1_INTEGER);
  h->error_index = decodeAsn1Int32(c, ASN1_INTEGER);
  return c->error ? -1 : tag;
}

uint32_t sizeofTrapHeader(const TrapHeader *h, uint32_t length) {
  uint32_t oid = sizeofAsn1Oid(h->enterprise);
  if (oid == ASN1_BAD_SIZE) return ASN1_BAD_SIZE;
  uint32_t inner = oid + 2 + 4 + 2 + sizeofAsn1Int32Data(ASN1_INTEGER, h->generic) + 2 +
                   sizeofAsn1Int32Data(ASN1_INTEGER, h->specific) + 2 +
                   sizeofAsn1Int32Data(ASN1_TIMETICKS, static_cast<int32_t>(h->timestamp));
  if (length == ASN1_OPEN_LENGTH) return inner;
  return sizeofAsn1Header(inner + length) + inner;
}

unsigned char *encodeTrapHeader(Asn1Cursor *c, const TrapHeader *h, uint32_t length) {
  if (c == nullptr || c->error) return nullptr;
  if (h == nullptr) {
    c->error = ASN1_ERR_VALUE;
    return nullptr;
  }
  uint32_t total = length;
  if (length != ASN1_OPEN_LENGTH) {
    uint32_t inner = sizeofTrapHeader(h, ASN1_OPEN_LENGTH);
    if (inner == ASN1_BAD_SIZE) {
      c->error = ASN1_ERR_VALUE;
      return nullptr;
    }
    total = inner + length;
  }
  unsigned char *header = encodeAsn1Struct(c, SNMP_PDU_V1TRAP, total, nullptr);
  encodeAsn1Oid(c, h->enterprise);
  encodeAsn1Int32(c, ASN1_IPADDRESS, static_cast<int32_t>(h->agent));
  encodeAsn1Int32(c, ASN1_INTEGER, h->generic);
  encodeAsn1Int32(c, ASN1_INTEGER, h->specific);
  encodeAsn1Int32(c, ASN1_TIMETICKS, static_cast<int32_t>(h->timestamp));
  return c->error ? nullptr : header;
}

int decodeTrapHeader(Asn1Cursor *c, TrapHeader *h) {
  if (h == nullptr) return -1;
  int tag = decodePdusHeader(c, 0);
  if (tag < 0) return -1;
  if (tag != SNMP_PDU_V1TRAP) {
    c->tag = SNMP_PDU_V1TRAP;
    c->error = ASN1_ERR_TAG;
    return -1;
  }
  h->type = tag;
  decodeAsn1Oid(c, h->enterprise);
  h->agent = static_cast<uint32_t>(decodeAsn1Int32(c, ASN1_IPADDRESS));
  h->generic = decodeAsn1Int32(c, ASN1_INTEGER);
  h->specific = decodeAsn1Int32(c, ASN1_INTEGER);
  h->timestamp = static_cast<uint32_t>(decodeAsn1Int32(c, ASN1_TIMETICKS));
  return c->error ? -1 : tag;
}

uint32_t sizeofVarBind(const VarBind *b) {
  uint32_t oid = sizeofAsn1Oid(b->oid), value = sizeofAsn1Value(&b->value);
  if (oid == ASN1_BAD_SIZE || value == ASN1_BAD_SIZE) return ASN1_BAD_SIZE;
  return sizeofAsn1Header(oid + value) + oid + value;
}

unsigned char *encodeVarBind(Asn1Cursor *c, const VarBind *b) {
  if (c == nullptr || c->error) return nullptr;
  if (b == nullptr) {
    c->error = ASN1_ERR_VALUE;
    return nullptr;
  }
  uint32_t oid = sizeofAsn1OidData(b->oid);
  if (oid == ASN1_BAD_SIZE) {
    c->error = ASN1_ERR_VALUE;
    return nullptr;
  }
  uint32_t value = sizeofAsn1Value(&b->value);
  if (value == ASN1_BAD_SIZE) {
    c->error = ASN1_ERR_TYPE;
    return nullptr;
  }
  uint32_t oidTotal = sizeofAsn1Header(oid) + oid;
  unsigned char *header = encodeAsn1Header(c, ASN1_SEQUENCE, oidTotal + value);
  if (header == nullptr) return nullptr;
  // The header check covered the contents: write the OID directly.
  unsigned char *p = c->cur;
  *p++ = ASN1_OBJECT_ID;
  if (oid < 128) {
    *p++ = static_cast<unsigned char>(oid);
  } else {
    int n = sizeofAsn1Word(oid);
    *p++ = static_cast<unsigned char>(0x80 | n);
    p = encodeAsn1Word(p, n, oid);
  }
  c->cur = encodeAsn1OidData(p, b->oid);
  if (encodeAsn1Value(c, &b->value) == nullptr) return nullptr;
  return header;
}

unsigned char *decodeVarBind(Asn1Cursor *c, VarBind *b) {
  if (b == nullptr) {
    if (c && !c->error) c->error = ASN1_ERR_VALUE;
    return nullptr;
  }
  unsigned char *saved;
  if (decodeAsn1Struct(c, ASN1_SEQUENCE, &saved) < 0) return nullptr;
  decodeAsn1Oid(c, b->oid);
  decodeAsn1Value(c, &b->value);
  return frameAsn1Struct(c, saved);
}

}  // extern "C"
