// What encodePdu stands for, step by step, and a binding read back compared with the one given:
// shared by the unit suite and the encode_pdu fuzz target.
#ifndef TELVI_TESTS_PDU_STEPS_H
#define TELVI_TESTS_PDU_STEPS_H

#include <cstring>

#include "telvi/snmp.h"

// encodePduHeader with an open length, an open binding list, encodeVarBind per binding until one
// does not fit (its error cleared), both lengths patched. Returns the PDU's start (null when not
// even the header and the list fit); *fitted tells how many bindings went in.
inline unsigned char *encodePduBySteps(Asn1Cursor *c, const PduHeader *h, const VarBind *list, uint32_t count,
                                       uint32_t *fitted) {
  unsigned char *top = encodePduHeader(c, h, ASN1_OPEN_LENGTH);
  unsigned char *open = encodeAsn1Struct(c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  *fitted = 0;
  if (c->error != 0) return nullptr;
  for (; *fitted < count; ++*fitted) {
    unsigned char *before = c->cur;
    if (encodeVarBind(c, &list[*fitted]) == nullptr) {
      c->cur = before;
      c->error = 0;
      break;
    }
  }
  updateAsn1Header(c, open);
  return updateAsn1Header(c, top);
}

// Whether a binding read back holds the name, tag and value given (octets compared with text,
// the bytes the given strings point into).
inline bool sameBinding(const VarBind &got, const VarBind &given, const unsigned char *text) {
  if (std::memcmp(got.oid, given.oid, (given.oid[0] + 1) * 4) != 0 || got.value.tag != given.value.tag) return false;
  const Asn1Value &a = got.value, &b = given.value;
  switch (b.tag) {
    case ASN1_TAG_OCTET_STRING:
      return a.u.octets.length == b.u.octets.length &&
             (b.u.octets.length == 0 || std::memcmp(a.u.octets.data, text, b.u.octets.length) == 0);
    case ASN1_TAG_OBJECT_ID:
      return std::memcmp(a.u.oid, b.u.oid, (b.u.oid[0] + 1) * 4) == 0;
    case ASN1_TAG_COUNTER64:
      return a.u.counter64.high == b.u.counter64.high && a.u.counter64.low == b.u.counter64.low;
    case ASN1_TAG_NULL:
    case ASN1_TAG_NOSUCHOBJECT:
    case ASN1_TAG_NOSUCHINSTANCE:
    case ASN1_TAG_ENDOFMIBVIEW:
      return true;
    default:
      return a.u.unsigned32 == b.u.unsigned32;
  }
}

#endif
