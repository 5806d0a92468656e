// The engine: identity, request IDs, states and their expiry, counters, the responder registry,
// the community model's rules, and malformed messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "snmp_support.h"

using namespace snmptest;

namespace {

struct Message {
  unsigned char bytes[2048];
  Netbuf buf;
  Message() {
    memset(&buf, 0, sizeof buf);
    buf.data = bytes;
    buf.capacity = sizeof bytes;
    udpPeer(&buf.info, 0x7F000001, 40000);
  }
};

// A whole v1/v2c message as a peer would send it.
Message message(int version, const std::string &community, const PduHeader &header,
                std::vector<VarBind> bindings = {binding("1.3.6.1.2.1.1.1.0")}) {
  unsigned char pdu[1024];
  uint32_t length = buildPdu(pdu, sizeof pdu, header, bindings);
  Message m;
  Asn1Cursor c;
  initAsn1Cursor(&c, m.bytes, sizeof m.bytes);
  unsigned char *top = encodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  encodeAsn1Int32(&c, ASN1_TAG_INTEGER, version);
  encodeAsn1Octets(&c, ASN1_TAG_OCTET_STRING, community.data(), static_cast<uint32_t>(community.size()));
  appendAsn1(&c, pdu, length);
  updateAsn1Header(&c, top);
  m.buf.length = static_cast<uint32_t>(c.cur - m.bytes);
  return m;
}

// A v2c "public" PDU to 127.0.0.1:port, and the buffer an application context encodes it into.
struct Outgoing {
  unsigned char out[512], area[256];
  Netbuf net;
  PduData pdu;
  Outgoing(uint32_t port, const PduHeader &header, std::vector<VarBind> bindings = {binding("1.3.6.1.2.1.1.1.0")}) {
    memset(&net, 0, sizeof net);
    net.data = out;
    net.capacity = sizeof out;
    memset(&pdu, 0, sizeof pdu);
    udpPeer(&pdu.info, 0x7F000001, port);
    pdu.version = SNMP_V2C;
    pdu.community = admin("public");
    pdu.data = area;
    pdu.length = buildPdu(area, sizeof area, header, bindings);
  }
  int32_t send(SnmpAppContext *context) { return encodeSendSnmpPdu(context, &pdu, &net); }
};

struct Decoded {
  PduData pdu;
  int32_t app = 0;
  VarBind report;
  void *state = nullptr;
  int result;
  explicit Decoded(Message &m) { result = decodeSnmpMsg(&pdu, &app, &report, &state, &m.buf); }
};

class Engine : public ::testing::Test {
 protected:
  void SetUp() override { freshEngine(); }
};

TEST_F(Engine, IdentityAndRequestIds) {
  EXPECT_EQ(_snmp.snmpEngineBoots, 1u);
  char text[128];
  EXPECT_STREQ(oidtostr(_snmp.sysObjectID, text, sizeof text), "1.3.6.1.4.1.8072");
  EXPECT_EQ(configureSnmpEngine(&_snmp.snmpEngineID, SNMPDisabledEngine, 1500), unsigned(SNMPDisabledEngine));
  EXPECT_EQ(configureSnmpEngine(&_snmp.snmpEngineID, 4, 1500), 5u);
  int32_t id = getSnmpMsgId();
  EXPECT_EQ(static_cast<uint32_t>(id) >> 16, 5u);
  EXPECT_EQ(getSnmpMsgId(), id + 1);

  // Application contexts: two slots, the first ID of slot 0 is 1, slot 1 IDs carry top byte 1.
  SnmpAppContext *a = newSnmpAppContext(nullptr, nullptr), *b = newSnmpAppContext(nullptr, nullptr);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(newSnmpAppContext(nullptr, nullptr), nullptr);
  Outgoing get(161, PduHeader{SNMP_PDU_GET, 77, 0, 0});
  EXPECT_EQ(get.send(a), 1);
  EXPECT_EQ(get.send(a), 2);
  EXPECT_EQ(get.send(b), 0x1000000);
  EXPECT_EQ(_snmp.outstanding.count, 3u);
  // Unconfirmed PDUs get no ID and no state.
  Outgoing trap(161, PduHeader{SNMP_PDU_V2TRAP, 78, 0, 0}, {});
  EXPECT_EQ(trap.send(a), 0);
  EXPECT_EQ(_snmp.outstanding.count, 3u);
  EXPECT_EQ(getSnmpTInfoPort(&trap.net.info), 161u);
  deleteSnmpAppContext(a);
  deleteSnmpAppContext(b);
}

int32_t seenRequest;
int appCallback(int32_t requestId, PduData *, VarBind *, void *) {
  seenRequest = requestId;
  return 0;
}

TEST_F(Engine, ResponsesFindTheirRequestUntilTheyExpire) {
  SnmpAppContext *context = newSnmpAppContext(appCallback, nullptr);
  Outgoing first(40000, PduHeader{SNMP_PDU_GET, 500, 0, 0});
  ASSERT_EQ(first.send(context), 1);

  // A response to another request ID is stale.
  Message stray = message(SNMP_V2C, "public", PduHeader{SNMP_PDU_RESPONSE, 501, 0, 0});
  Decoded miss(stray);
  EXPECT_EQ(miss.result, SNMP_ERR_FAILURE);
  EXPECT_NE(std::string(_snmp.trace).find(" 501 - message ID not found (stale?)"), std::string::npos) << _snmp.trace;

  // The matching response reaches the application context with its request ID.
  Message reply = message(SNMP_V2C, "public", PduHeader{SNMP_PDU_RESPONSE, 500, 0, 0});
  seenRequest = 0;
  EXPECT_EQ(dispatchSnmpMsg(&reply.buf), 0) << _snmp.trace;
  EXPECT_EQ(seenRequest, 1);
  EXPECT_EQ(_snmp.outstanding.count, 0u);

  // Sent, then forgotten between 150 and 181 seconds later.
  first.send(context);
  uint32_t sent = _snmp.snmpEngineTime;
  setSnmpEngineTime(sent + 149);
  Outgoing second(40000, PduHeader{SNMP_PDU_GET, 600, 0, 0});
  second.send(context);  // an encode runs the sweep
  EXPECT_EQ(_snmp.outstanding.count, 2u);
  setSnmpEngineTime(sent + 182);
  Message late = message(SNMP_V2C, "public", PduHeader{SNMP_PDU_RESPONSE, 500, 0, 0});
  Decoded gone(late);
  EXPECT_EQ(gone.result, SNMP_ERR_FAILURE);
  EXPECT_EQ(_snmp.outstanding.count, 1u);  // only the one sent at 149 s is left
  deleteSnmpAppContext(context);
}

TEST_F(Engine, BadMessagesAreCounted) {
  Message v3 = message(3, "public", PduHeader{SNMP_PDU_GET, 1, 0, 0});
  Decoded d3(v3);
  EXPECT_EQ(d3.result, SNMP_ERR_VERSION);
  EXPECT_STREQ(snmpErrorToStr(d3.result), "Unknown version");
  EXPECT_EQ(_snmp.counters.snmpInBadVersions, 1u);

  // GetBulk is no SNMPv1 PDU; a Report no community PDU.
  Message bulk = message(SNMP_V1, "public", PduHeader{SNMP_PDU_GETBULK, 1, 0, 5});
  EXPECT_EQ(Decoded(bulk).result, SNMP_ERR_PARSE);
  EXPECT_NE(std::string(_snmp.trace).find("Invalid PDU type 'a5'"), std::string::npos) << _snmp.trace;
  Message report = message(SNMP_V2C, "public", PduHeader{SNMP_PDU_REPORT, 1, 0, 0});
  EXPECT_EQ(Decoded(report).result, SNMP_ERR_PARSE);

  // Truncated at every length: parse errors, never a crash.
  Message good = message(SNMP_V2C, "public", PduHeader{SNMP_PDU_GET, 9, 0, 0});
  uint32_t parseErrors = _snmp.counters.snmpInASNParseErrs;
  for (uint32_t n = 0; n < good.buf.length; ++n) {
    Message cut = good;
    cut.buf.data = cut.bytes;
    cut.buf.length = n;
    EXPECT_LT(Decoded(cut).result, 0) << n;
  }
  EXPECT_EQ(_snmp.counters.snmpInASNParseErrs, parseErrors + good.buf.length);
  EXPECT_EQ(_snmp.received.count, 0u);
  EXPECT_EQ(_snmp.counters.snmpInPkts, 3u + good.buf.length);
}

TEST_F(Engine, CommunityNamesAndContexts) {
  AdminString name = admin("ops");
  addSnmpUser(&_snmp.snmpEngineID, &name)->rowStatus = 1;
  Message withContext = message(SNMP_V2C, "ops:bridge1", PduHeader{SNMP_PDU_GET, 3, 0, 0});
  Decoded d(withContext);
  ASSERT_EQ(d.result, SNMP_PDU_GET) << _snmp.trace;
  EXPECT_STREQ(reinterpret_cast<char *>(d.pdu.securityName.octets), "ops");
  EXPECT_STREQ(reinterpret_cast<char *>(d.pdu.context.octets), "bridge1");
  EXPECT_EQ(d.pdu.engineId.length, 12u);
  EXPECT_EQ(d.pdu.securityLevel, 0);
  releaseSnmpState(d.state);

  // A ":" as last octet keeps the community whole; such a user is not there.
  Message trailing = message(SNMP_V2C, "ops:", PduHeader{SNMP_PDU_GET, 4, 0, 0});
  Decoded t(trailing);
  EXPECT_EQ(t.result, SNMP_ERR_SECURITY_NAME);
  EXPECT_STREQ(reinterpret_cast<char *>(t.pdu.securityName.octets), "ops:");
  EXPECT_EQ(_snmp.counters.snmpInBadCommunityNames, 1u);

  // Inactive users refuse requests; traps need no user at all.
  addSnmpUser(&_snmp.snmpEngineID, &name)->rowStatus = 2;
  Message inactive = message(SNMP_V2C, "ops", PduHeader{SNMP_PDU_SET, 5, 0, 0});
  EXPECT_EQ(Decoded(inactive).result, SNMP_ERR_SECURITY_NAME);
  Message trap = message(SNMP_V2C, "nobody", PduHeader{SNMP_PDU_V2TRAP, 6, 0, 0});
  Decoded tr(trap);
  EXPECT_EQ(tr.result, SNMP_PDU_V2TRAP);
  EXPECT_EQ(tr.state, nullptr);
  EXPECT_EQ(tr.pdu.engineId.length, 0u);
}

int silentResponder(SnmpSlot *, PduData *, VarBind *, void *, SnmpArea *, void *) { return SNMP_ERR_FAILURE; }

TEST_F(Engine, RegistryRules) {
  AdminString empty = admin(""), other = admin("remote-engine");
  EXPECT_EQ(registerSnmpResponder(&empty, SNMP_PDU_GET, silentResponder, nullptr), nullptr);
  EXPECT_EQ(registerSnmpResponder(&other, SNMP_PDU_V2TRAP, silentResponder, nullptr), nullptr);
  EXPECT_EQ(registerSnmpResponder(&other, 0xA9, silentResponder, nullptr), nullptr);
  void *get = registerSnmpResponder(&other, SNMP_PDU_GET, silentResponder, nullptr);
  ASSERT_NE(get, nullptr);
  EXPECT_EQ(registerSnmpResponder(&other, SNMP_PDU_GET, silentResponder, nullptr), nullptr);
  EXPECT_EQ(registerSnmpResponder(&other, -1, silentResponder, nullptr), nullptr);
  EXPECT_EQ(getSnmpResponder(&other, SNMP_PDU_GET), get);
  unregisterSnmpResponder(get, silentResponder, nullptr);
  EXPECT_EQ(_snmp.registries.count, 0u);

  // All types under the empty key: notifications, and requests only while the engine has no ID.
  void *all = registerSnmpResponder(&empty, -1, silentResponder, nullptr);
  ASSERT_NE(all, nullptr);
  EXPECT_NE(getSnmpResponder(&empty, SNMP_PDU_INFORM), nullptr);
  EXPECT_EQ(getSnmpResponder(&empty, SNMP_PDU_GET), nullptr);
  EXPECT_EQ(getSnmpResponder(&empty, SNMP_PDU_RESPONSE), nullptr);
  void *local = registerSnmpResponder(&_snmp.snmpEngineID, -1, silentResponder, nullptr);
  ASSERT_NE(local, nullptr);
  EXPECT_NE(getSnmpResponder(&_snmp.snmpEngineID, SNMP_PDU_GETBULK), nullptr);

  // A failing responder to a request drops it silently; no responder counts and stays unanswered.
  Message get2 = message(SNMP_V2C, "public", PduHeader{SNMP_PDU_GET, 8, 0, 0});
  EXPECT_EQ(dispatchSnmpMsg(&get2.buf), SNMP_ERR_FAILURE);
  EXPECT_EQ(_snmp.counters.snmpSilentDrops, 1u);
  unregisterSnmpResponder(local, silentResponder, nullptr);
  Message get3 = message(SNMP_V2C, "public", PduHeader{SNMP_PDU_GET, 9, 0, 0});
  EXPECT_EQ(dispatchSnmpMsg(&get3.buf), SNMP_ERR_PDU_HANDLER);
  EXPECT_EQ(get3.buf.length, 0u);
  EXPECT_EQ(_snmp.counters.snmpUnknownPDUHandlers, 1u);
  EXPECT_EQ(*getSnmpCounter("snmpUnknownPDUHandlers"), 1u);
  EXPECT_EQ(_snmp.received.count, 0u);
  unregisterSnmpResponder(all, silentResponder, nullptr);
  EXPECT_EQ(_snmp.registries.count, 0u);
}

TEST_F(Engine, TablesStaySorted) {
  for (const char *n : {"m", "b", "zz", "a", "b"}) {
    AdminString name = admin(n);
    ASSERT_NE(addSnmpUser(&_snmp.snmpEngineID, &name), nullptr);
  }
  std::vector<std::string> names;
  for (SnmpLink *l = _snmp.users.head.next; l != &_snmp.users.head; l = l->next)
    names.push_back(reinterpret_cast<char *>(reinterpret_cast<SnmpUser *>(l)->userName.octets));
  // Shorter names first (the length octet leads), then byte order.
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "m", "zz", "public"}));
  AdminString b = admin("b");
  EXPECT_EQ(deleteSnmpUser(&_snmp.snmpEngineID, &b), 0);
  EXPECT_EQ(deleteSnmpUser(&_snmp.snmpEngineID, &b), -1);

  // Remote engines learn boots and time, and refuse what is outside the window.
  AdminString remote = admin("remote-engine");
  SnmpEngine *e = addSnmpEngine(&remote);
  EXPECT_EQ(validateSnmpEngine(e, 3, 1000, 0xFFFFFFFF), 0);
  EXPECT_EQ(validateSnmpEngine(e, 2, 5000, 0xFFFFFFFF), SNMP_ERR_TIME_WINDOW);
  EXPECT_EQ(validateSnmpEngine(e, 3, 1000 - 151, 0xFFFFFFFF), SNMP_ERR_TIME_WINDOW);
  EXPECT_EQ(validateSnmpEngine(e, 3, 1000 - 100, 0xFFFFFFFF), 0);
  SnmpEngine *local = getSnmpEngine(&_snmp.snmpEngineID);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(validateSnmpEngine(local, _snmp.snmpEngineBoots, _snmp.snmpEngineTime + 151, 0xFFFFFFFF),
            SNMP_ERR_TIME_WINDOW);
  EXPECT_EQ(validateSnmpEngine(local, _snmp.snmpEngineBoots, _snmp.snmpEngineTime + 20, 0xFFFFFFFF), 0);

  TInfo info;
  memset(&info, 0, sizeof info);
  EXPECT_EQ(setSnmpTInfoHost(&info, 1), -1);
  EXPECT_EQ(getSnmpTInfoPort(&info), 0u);
}

TEST_F(Engine, BindingsOfEverySize) {
  // Short bindings take the one-pass path, long ones the sized path: both decode back the same.
  std::vector<unsigned char> big(300, 'q');
  std::vector<VarBind> list = {binding("1.3.6.1.2.1.1.5.0"), binding("1.3.6.1.4.1.4294967294.200.1"),
                               binding("2.999.1")};
  list[0].value.tag = ASN1_TAG_OCTET_STRING;
  list[0].value.u.octets = {big.data(), 300};
  list[1].value.tag = ASN1_TAG_OBJECT_ID;
  std::string arcs = "1.3";
  for (int i = 0; i < 60; ++i) arcs += ".300";
  strtooid(arcs.c_str(), nullptr, list[1].value.u.oid);
  list[2].value.tag = ASN1_TAG_INTEGER;
  list[2].value.u.integer = INT32_MIN;
  unsigned char area[2048];
  for (const VarBind &b : list) {
    Asn1Cursor c;
    initAsn1Cursor(&c, area, sizeof area);
    ASSERT_NE(encodeVarBind(&c, &b), nullptr);
    EXPECT_EQ(static_cast<uint32_t>(c.cur - area), sizeofVarBind(&b));
    Asn1Cursor r;
    initAsn1Cursor(&r, area, static_cast<uint32_t>(c.cur - area));
    VarBind back;
    ASSERT_NE(decodeVarBind(&r, &back), nullptr);
    EXPECT_EQ(oidcmp(back.oid, b.oid), 0);
    EXPECT_EQ(back.value.tag, b.value.tag);
    EXPECT_EQ(sizeofAsn1Value(&back.value), sizeofAsn1Value(&b.value));
    // One byte short of room: error 4 and the cursor where it was.
    Asn1Cursor tight;
    initAsn1Cursor(&tight, area, sizeofVarBind(&b) - 1);
    EXPECT_EQ(encodeVarBind(&tight, &b), nullptr);
    EXPECT_EQ(tight.error, ASN1_ERR_SPACE);
  }
}

TEST_F(Engine, SnmpV2uGoesToTheUserBasedModel) {
  // 26 octets leave no room for the user name the length octet announces.
  Message m = message(SNMP_V2U, std::string(26, '\1'), PduHeader{SNMP_PDU_GET, 1, 0, 0});
  Decoded d(m);
  EXPECT_EQ(d.result, SNMP_ERR_PARAMETERS);
  EXPECT_EQ(_snmp.counters.usecStatsBadParameters, 1u);
  initializeSnmp();  // no engine ID: SNMPv2u is not spoken at all
  Message n = message(SNMP_V2U, std::string(26, '\1'), PduHeader{SNMP_PDU_GET, 1, 0, 0});
  EXPECT_EQ(Decoded(n).result, SNMP_ERR_VERSION);
}

TEST_F(Engine, SummaryLine) {
  Message m = message(SNMP_V2C, "public", PduHeader{SNMP_PDU_GET, 1, 0, 0});
  Decoded d(m);
  char text[SNMP_DUMP_SIZE];
  EXPECT_STREQ(dumpSnmpMsg(&d.pdu, text), "127.0.0.1:40000-1-2-0-public--80:00:1f:88:80:01:02:03:04:05:06:07");
  releaseSnmpState(d.state);
}

}  // namespace
