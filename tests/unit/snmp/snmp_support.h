// Helpers shared by the SNMP engine suites: building PDUs and messages.
#ifndef TELVI_TESTS_SNMP_SUPPORT_H
#define TELVI_TESTS_SNMP_SUPPORT_H

#include <cstring>
#include <string>
#include <vector>

#include "telvi/snmp.h"

namespace snmptest {

inline AdminString admin(const std::string &text) {
  AdminString a;
  setAdminString(&a, text.data(), static_cast<uint32_t>(text.size()), 255);
  return a;
}

inline VarBind binding(const std::string &oidText) {
  VarBind b;
  memset(&b, 0, sizeof b);
  strtooid(oidText.c_str(), nullptr, b.oid);
  b.value.tag = ASN1_TAG_NULL;
  return b;
}

// Encodes a PDU with open lengths patched afterwards, the way an agent builds its answers.
inline uint32_t buildPdu(unsigned char *area, uint32_t capacity, const PduHeader &header,
                         const std::vector<VarBind> &bindings) {
  Asn1Cursor c;
  initAsn1Cursor(&c, area, capacity);
  unsigned char *pdu = encodePduHeader(&c, &header, ASN1_OPEN_LENGTH);
  unsigned char *list = encodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  for (const VarBind &b : bindings) encodeVarBind(&c, &b);
  updateAsn1Header(&c, list);
  updateAsn1Header(&c, pdu);
  return c.error ? 0 : static_cast<uint32_t>(c.cur - area);
}

// The bindings of a decoded PDU (after its header).
inline std::vector<VarBind> decodeBindings(const PduData &pdu, PduHeader *header, TrapHeader *trap = nullptr) {
  std::vector<VarBind> result;
  Asn1Cursor c;
  initAsn1Cursor(&c, pdu.data, pdu.length);
  if (trap != nullptr) {
    if (decodeTrapHeader(&c, trap) < 0) return result;
  } else if (decodePduHeader(&c, header, pdu.v2) < 0) {
    return result;
  }
  unsigned char *saved;
  decodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, &saved);
  while (c.error == 0 && c.cur < c.end) {
    VarBind b;
    if (decodeVarBind(&c, &b) == nullptr) break;
    result.push_back(b);
  }
  frameAsn1Struct(&c, saved);
  if (c.error) result.clear();
  return result;
}

// A fresh engine with a 12-octet engine ID and the community "public" active.
inline void freshEngine() {
  initializeSnmp();
  AdminString id;
  const unsigned char octets[12] = {0x80, 0, 0x1F, 0x88, 0x80, 1, 2, 3, 4, 5, 6, 7};
  setAdminString(&id, octets, 12, 32);
  configureSnmpEngine(&id, 0, 65507);
  AdminString name = admin("public");
  SnmpUser *user = addSnmpUser(&_snmp.snmpEngineID, &name);
  user->rowStatus = 1;
}

inline void udpPeer(TInfo *info, uint32_t host, uint32_t port) {
  memset(info, 0, sizeof *info);
  memcpy(info->domain, snmpUDPDomain, 8 * sizeof(uint32_t));
  setSnmpTInfoHost(info, host);
  setSnmpTInfoPort(info, port);
}

}  // namespace snmptest

#endif
