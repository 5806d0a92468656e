// The engine's side of the SNMP benchmarks: the bindings of snmp_message.h as VarBinds, and the
// message encoded and decoded with the BER codec.
#ifndef TELVI_BENCH_SNMP_CODEC_H
#define TELVI_BENCH_SNMP_CODEC_H

#include <cstring>
#include <vector>

#include "snmp_message.h"
#include "telvi/snmp.h"

namespace snmpbench {

inline std::vector<VarBind> bindings() {
  std::vector<VarBind> result(10);
  for (int i = 0; i < 10; ++i) {
    const Binding &b = kBindings[i];
    VarBind &v = result[i];
    memset(&v, 0, sizeof v);
    strtooid(b.oid, nullptr, v.oid);
    switch (b.kind) {
      case kInteger:
        v.value.tag = ASN1_TAG_INTEGER, v.value.u.integer = static_cast<int32_t>(b.number);
        break;
      case kString:
        v.value.tag = ASN1_TAG_OCTET_STRING;
        v.value.u.octets = {reinterpret_cast<unsigned char *>(const_cast<char *>(b.text)),
                            static_cast<uint32_t>(strlen(b.text))};
        break;
      case kOid:
        v.value.tag = ASN1_TAG_OBJECT_ID, strtooid(b.text, nullptr, v.value.u.oid);
        break;
      case kCounter:
        v.value.tag = ASN1_TAG_COUNTER32, v.value.u.unsigned32 = static_cast<uint32_t>(b.number);
        break;
      case kTicks:
        v.value.tag = ASN1_TAG_TIMETICKS, v.value.u.unsigned32 = static_cast<uint32_t>(b.number);
        break;
      case kGauge:
        v.value.tag = ASN1_TAG_UNSIGNED32, v.value.u.unsigned32 = static_cast<uint32_t>(b.number);
        break;
      case kAddress:
        v.value.tag = ASN1_TAG_IPADDRESS, v.value.u.unsigned32 = static_cast<uint32_t>(b.number);
        break;
      case kCounter64:
        v.value.tag = ASN1_TAG_COUNTER64;
        v.value.u.counter64 = {static_cast<uint32_t>(static_cast<uint64_t>(b.number) >> 32),
                               static_cast<uint32_t>(b.number)};
        break;
    }
  }
  return result;
}

// The whole message: SEQUENCE, version, community, then the PDU written in one call, the way
// the engine writes its answers; the message's open length is patched at the end.
inline uint32_t encodeMessage(unsigned char *buffer, uint32_t capacity, const std::vector<VarBind> &list) {
  Asn1Cursor c;
  initAsn1Cursor(&c, buffer, capacity);
  unsigned char *message = encodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  encodeAsn1Int32(&c, ASN1_TAG_INTEGER, SNMP_V2C);
  encodeAsn1Octets(&c, ASN1_TAG_OCTET_STRING, kCommunity, 6);
  PduHeader header = {SNMP_PDU_RESPONSE, kRequestId, 0, 0};
  uint32_t count = static_cast<uint32_t>(list.size()), written = 0;
  encodePdu(&c, &header, list.data(), count, sizeof(VarBind), &written);
  updateAsn1Header(&c, message);
  return c.error || written != count ? 0 : static_cast<uint32_t>(c.cur - buffer);
}

// Parses version, community, PDU header and every binding into records.
inline int decodeMessage(unsigned char *data, uint32_t length, PduHeader &header, VarBind *out, int max) {
  Asn1Cursor c;
  initAsn1Cursor(&c, data, length);
  decodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, nullptr);
  decodeAsn1Int32(&c, ASN1_TAG_INTEGER);
  decodeAsn1Octets(&c, ASN1_TAG_OCTET_STRING);
  decodePduHeader(&c, &header, 1);
  unsigned char *saved;
  decodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, &saved);
  int n = 0;
  while (c.error == 0 && c.cur < c.end && n < max) decodeVarBind(&c, &out[n++]);
  frameAsn1Struct(&c, saved);
  return c.error ? -1 : n;
}

}  // namespace snmpbench

#endif
