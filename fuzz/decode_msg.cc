// libFuzzer target: one datagram through decodeSnmpMsg (with a walk over the PDU it finds) and
// through dispatchSnmpMsg with a responder that answers every request with its own bindings.
#include <cstdint>
#include <cstring>
#include <vector>

#include "telvi/snmp.h"

namespace {

int walk(PduData &pdu, std::vector<VarBind> &bindings) {
  Asn1Cursor c;
  initAsn1Cursor(&c, pdu.data, pdu.length);
  PduHeader header;
  TrapHeader trap;
  if (pdu.length && pdu.data[0] == SNMP_PDU_V1TRAP) {
    if (decodeTrapHeader(&c, &trap) < 0) return -1;
    header = {SNMP_PDU_V1TRAP, 0, 0, 0};
  } else if (decodePduHeader(&c, &header, pdu.v2) < 0) {
    return -1;
  }
  unsigned char *saved;
  decodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, &saved);
  while (c.error == 0 && c.cur < c.end && bindings.size() < 64) {
    VarBind b;
    if (decodeVarBind(&c, &b) == nullptr) break;
    bindings.push_back(b);
  }
  frameAsn1Struct(&c, saved);
  char text[ASN1_DUMP_SIZE > SNMP_DUMP_SIZE ? ASN1_DUMP_SIZE : SNMP_DUMP_SIZE];
  dumpAsn1(&c, text);
  dumpSnmpMsg(&pdu, text);
  for (const VarBind &b : bindings) {
    char oid[ASN1_MAX_ARCS * 11 + 1];
    oidtostr(b.oid, oid, sizeof oid);
    if (b.value.tag == ASN1_TAG_OCTET_STRING)
      snmpHintFormatOctets("1x:", b.value.u.octets.data, b.value.u.octets.length, text, sizeof text);
  }
  return c.error ? -1 : header.request_id;
}

int echo(SnmpSlot *, PduData *request, VarBind *, void *, SnmpArea *response, void *) {
  if (response == nullptr) return 0;
  std::vector<VarBind> bindings;
  int id = walk(*request, bindings);
  Asn1Cursor c;
  initAsn1Cursor(&c, response->buffer, response->capacity);
  PduHeader header = {SNMP_PDU_RESPONSE, id, 0, 0};
  unsigned char *pdu = encodePduHeader(&c, &header, ASN1_OPEN_LENGTH);
  unsigned char *list = encodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  for (const VarBind &b : bindings) {
    unsigned char *one = encodeVarBind(&c, &b);
    if (updateAsn1Header(&c, one) == nullptr) break;
  }
  updateAsn1Header(&c, list);
  updateAsn1Header(&c, pdu);
  response->length = c.error ? 0 : static_cast<uint32_t>(c.cur - response->buffer);
  return c.error ? SNMP_ERR_FAILURE : 0;
}

bool setUp() {
  initializeSnmp();
  const unsigned char id[12] = {0x80, 0, 0x1F, 0x88, 0x80, 1, 2, 3, 4, 5, 6, 7};
  AdminString engineId, community, empty = {0, {0}};
  setAdminString(&engineId, id, 12, 32);
  configureSnmpEngine(&engineId, 0, 65507);
  setAdminString(&community, "public", 6, 255);
  addSnmpUser(&_snmp.snmpEngineID, &community)->rowStatus = 1;
  registerSnmpResponder(&_snmp.snmpEngineID, -1, echo, nullptr);
  registerSnmpResponder(&empty, -1, echo, nullptr);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  (void)ready;
  if (size > 65507) return 0;
  // Exactly the received bytes for the decode, so that reads past them are caught.
  std::vector<unsigned char> exact(data, data + size);
  Netbuf in;
  memset(&in, 0, sizeof in);
  memcpy(in.info.domain, snmpUDPDomain, 8 * sizeof(uint32_t));
  setSnmpTInfoHost(&in.info, 0x7F000001);
  setSnmpTInfoPort(&in.info, 161);
  in.data = exact.data();
  in.length = in.capacity = static_cast<uint32_t>(size);
  PduData pdu;
  int32_t app;
  VarBind report;
  void *state;
  if (decodeSnmpMsg(&pdu, &app, &report, &state, &in) >= 0) {
    std::vector<VarBind> bindings;
    walk(pdu, bindings);
    releaseSnmpState(state);
  }
  // Room for an answer after the datagram, as a transport buffer has.
  std::vector<unsigned char> roomy(data, data + size);
  roomy.resize(size + 4096);
  in.data = roomy.data();
  in.length = static_cast<uint32_t>(size);
  in.capacity = static_cast<uint32_t>(roomy.size());
  dispatchSnmpMsg(&in);
  return 0;
}
