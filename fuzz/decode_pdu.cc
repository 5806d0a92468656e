// libFuzzer target: a received PDU into a "pdu" bob and back. The first input octet picks the
// version (0 SNMPv1, else SNMPv2c); the rest is the encoded PDU as the engine hands it over.
//   - Decoding never reads outside the bytes and either fails cleanly or fills the bob.
//   - A decoded PDU encodes again, in the same version, unless it is something that version cannot
//     send (an SNMPv1 answer to an Inform, say), and what it encodes decodes to the same bindings.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "telvi/bob.h"
#include "telvi/snmpv2.h"

namespace {

struct Bob {
  std::string id;
  BobPdu *pdu = nullptr;
  Bob() {
    bobEntry *e;
    const char *made = bobIdCreate("pdu", &e, -1, nullptr, 0);
    if (made == nullptr) abort();
    id = made;
    pdu = static_cast<BobPdu *>(e->data);
  }
  ~Bob() { bobIdDestroy(id.c_str()); }
};

std::string bindings(const BobPdu *pdu) {
  std::string text;
  for (int i = 0; i < bobPduBindingCount(pdu); ++i) {
    const auto *b = static_cast<const BobVarBind *>(pdu->varbind->data) + i;
    text.append(reinterpret_cast<const char *>(b->oid), (b->oid[0] + 1) * sizeof(uint32_t));
    text.push_back(static_cast<char>(b->val.value.tag));
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = (bobRegisterSnmpTypes(), true);
  (void)ready;
  if (size < 1 || size > 65507) return 0;
  std::vector<unsigned char> bytes(data + 1, data + size);
  Bob in;
  in.pdu->pdu.version = data[0] ? SNMP_V2C : SNMP_V1;
  in.pdu->pdu.v2 = data[0] ? 1 : 0;
  PduData record = in.pdu->pdu;
  record.data = bytes.data();
  record.length = static_cast<uint32_t>(bytes.size());
  if (bytes.empty() || decodeBobPdu(in.pdu, &record) != 0) return 0;

  std::vector<unsigned char> area(70000);
  SnmpArea out{static_cast<uint32_t>(area.size()), 0, area.data()};
  int tag = encodeBobPdu(in.pdu, &out, nullptr, 0);
  if (tag < 0) return 0;
  Bob again;
  again.pdu->pdu = in.pdu->pdu;
  record.data = area.data();
  record.length = out.length;
  if (decodeBobPdu(again.pdu, &record) != 0) abort();
  // An SNMPv2 trap that came as SNMPv1 leaves in SNMPv1 form and comes back the same.
  // A tooBig answer goes out without its bindings.
  bool tooBig = tag == SNMP_PDU_RESPONSE && in.pdu->error_status == 1;
  if (bindings(again.pdu) != bindings(in.pdu) && in.pdu->pdu.version != SNMP_V1 && !tooBig) abort();
  return 0;
}
