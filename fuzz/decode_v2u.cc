// libFuzzer target: SNMPv2u messages through the user-based model. The first input byte picks how
// the rest is used: as a whole datagram, or as parameters and PDU wrapped in a well-formed message
// (so that every input reaches the parameter parsing), optionally with a correct digest for the
// user it names (so that inputs get past authentication to the time window and the PDU checks).
#include <cstdint>
#include <cstring>
#include <vector>

#include "telvi/snmp.h"

namespace {

const unsigned char kAgent[12] = {0x80, 0, 0x1F, 0x88, 0x80, 1, 2, 3, 4, 5, 6, 7};

int answer(SnmpSlot *, PduData *request, VarBind *, void *, SnmpArea *response, void *) {
  if (response == nullptr) return 0;
  Asn1Cursor c;
  initAsn1Cursor(&c, request->data, request->length);
  PduHeader asked;
  if (decodePduHeader(&c, &asked, 1) < 0) return SNMP_ERR_PARSE;
  Asn1Cursor out;
  initAsn1Cursor(&out, response->buffer, response->capacity);
  PduHeader header = {SNMP_PDU_RESPONSE, asked.request_id, 0, 0};
  encodePduHeader(&out, &header, 2);
  encodeAsn1Header(&out, ASN1_TAG_SEQUENCE, 0);
  response->length = out.error ? 0 : static_cast<uint32_t>(out.cur - response->buffer);
  return 0;
}

void addUser(const AdminString &engine, const char *name, const uint32_t *protocol, bool localise) {
  AdminString n;
  setAdminString(&n, name, static_cast<uint32_t>(strlen(name)), 255);
  SnmpUser *u = addSnmpUser(&engine, &n);
  memcpy(&u->securityName, &n, sizeof n);
  memcpy(u->authProtocol, protocol, (protocol[0] + 1) * sizeof(uint32_t));
  snmpv3keysmd5.createKey(&u->authKey, name);
  if (localise) snmpv3keysmd5.localizeKey(&u->authKey, &engine);
  memcpy(u->privProtocol, snmpv3des.oid, (snmpv3des.oid[0] + 1) * sizeof(uint32_t));
  memcpy(&u->privKey, &u->authKey, sizeof u->authKey);
  u->rowStatus = 1;
}

bool setUp() {
  initializeSnmp();
  AdminString engineId, empty = {0, {0}};
  setAdminString(&engineId, kAgent, 12, 32);
  configureSnmpEngine(&engineId, 0, 65507);
  addUser(engineId, "alice", snmpv3hmacmd5.oid, true);
  addUser(engineId, "bob", snmpv2udap.oid, true);
  addUser(empty, "dave", snmpv3hmacmd5.oid, false);
  registerSnmpResponder(&_snmp.snmpEngineID, -1, answer, nullptr);
  return true;
}

// Fills the digest field of a wrapped message for the user its parameters name, if it fits.
void sign(std::vector<unsigned char> &message, size_t parametersAt, size_t parametersLength) {
  if (parametersLength < 26) return;
  const unsigned char *p = message.data() + parametersAt;
  uint32_t userLength = p[24];
  if (userLength > 16 || 26 + userLength > parametersLength) return;
  AdminString agent, name;
  setAdminString(&agent, p + 2, 12, 12);
  setAdminString(&name, p + 25, userLength, 16);
  SnmpUser *user = getSnmpUser(&agent, &name);
  AdminString empty = {0, {0}};
  if (user == nullptr) user = getSnmpUser(&empty, &name);
  if (user == nullptr) return;
  const SnmpAuthProtocol *auth = snmpAuthProtocol(user->authProtocol);
  uint32_t digestLength = p[25 + userLength];
  if (auth == nullptr || 26 + userLength + digestLength > parametersLength) return;
  AdminString key = user->authKey;
  if (user->engineId.length == 0) auth->keys->localizeKey(&key, &agent);
  Netbuf whole;
  memset(&whole, 0, sizeof whole);
  whole.data = message.data();
  whole.length = whole.capacity = static_cast<uint32_t>(message.size());
  auth->authenticateOutgoingMsg(&key, digestLength, message.data() + parametersAt + 26 + userLength, &whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  (void)ready;
  // Every authenticated or notification message from a new agentID adds an engine entry; start
  // afresh now and then so that the tables stay the size an agent sees.
  static unsigned runs = 0;
  if (++runs % 2000 == 0) setUp();
  if (size < 1 || size > 60000) return 0;
  int mode = data[0] % 3;
  std::vector<unsigned char> message;
  if (mode == 0 || size < 2) {
    message.assign(data + 1, data + size);
  } else {
    // Byte 1: parameters length; then the parameters, then the PDU bytes.
    size_t length = data[1];
    const uint8_t *rest = data + 2;
    size_t left = size - 2;
    if (length > left) length = left;
    Asn1Cursor c;
    message.resize(left + 32);
    initAsn1Cursor(&c, message.data(), static_cast<uint32_t>(message.size()));
    uint32_t inner = 3 + sizeofAsn1Header(static_cast<uint32_t>(length)) + static_cast<uint32_t>(left);
    encodeAsn1Header(&c, ASN1_TAG_SEQUENCE, inner);
    encodeAsn1Int32(&c, ASN1_TAG_INTEGER, SNMP_V2U);
    unsigned char *parameters = encodeAsn1Octets(&c, ASN1_TAG_OCTET_STRING, rest, static_cast<uint32_t>(length));
    size_t parametersAt = static_cast<size_t>(c.cur - message.data()) - length;
    appendAsn1(&c, rest + length, static_cast<uint32_t>(left - length));
    if (c.error || parameters == nullptr) return 0;
    message.resize(static_cast<size_t>(c.cur - message.data()));
    if (mode == 2) sign(message, parametersAt, length);
  }
  // Room for the answer after the datagram, as a transport buffer has.
  size_t used = message.size();
  message.resize(used + 4096);
  Netbuf in;
  memset(&in, 0, sizeof in);
  memcpy(in.info.domain, snmpUDPDomain, 8 * sizeof(uint32_t));
  setSnmpTInfoHost(&in.info, 0x7F000001);
  setSnmpTInfoPort(&in.info, 40000);
  in.data = message.data();
  in.length = static_cast<uint32_t>(used);
  in.capacity = static_cast<uint32_t>(message.size());
  dispatchSnmpMsg(&in);
  return 0;
}
