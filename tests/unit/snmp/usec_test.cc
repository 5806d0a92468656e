// The user-based model: published MD5, HMAC-MD5 and key vectors, key change, and SNMPv2u
// exchanges between a manager engine and an agent engine in one process.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "snmp_support.h"

using namespace snmptest;

namespace {

std::string hex(const unsigned char *octets, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += digits[octets[i] >> 4];
    text += digits[octets[i] & 15];
  }
  return text;
}

std::string md5(const std::string &text) {
  unsigned char result[16];
  macMD5(reinterpret_cast<const unsigned char *>(text.data()), static_cast<uint32_t>(text.size()), nullptr, 0,
         result);
  return hex(result, 16);
}

std::string hmac(const std::string &key, const std::string &data) {
  unsigned char result[16];
  hmacMD5(reinterpret_cast<const unsigned char *>(data.data()), static_cast<uint32_t>(data.size()),
          reinterpret_cast<const unsigned char *>(key.data()), static_cast<uint32_t>(key.size()), result);
  return hex(result, 16);
}

AdminString octets(std::initializer_list<unsigned char> bytes) {
  AdminString a;
  std::vector<unsigned char> v(bytes);
  setAdminString(&a, v.data(), static_cast<uint32_t>(v.size()), 255);
  return a;
}

// The digest itself comes from OpenSSL: the empty text, a short one and one over a block check
// that data reach it whole; the keyed form is our own.
TEST(UsecVectors, Md5Rfc1321) {
  EXPECT_EQ(md5(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5("abc"), "900150983cd24fb0d6963f7d28e17f72");
  std::string digits;
  for (int i = 0; i < 8; ++i) digits += "1234567890";
  EXPECT_EQ(md5(digits), "57edf4a22be3c955ac49da2e2107b67a");
  // The keyed digest is the digest of the data followed by the key.
  unsigned char keyed[16];
  macMD5(reinterpret_cast<const unsigned char *>("ab"), 2, reinterpret_cast<const unsigned char *>("c"), 1, keyed);
  EXPECT_EQ(hex(keyed, 16), md5("abc"));
}

TEST(UsecVectors, HmacMd5Rfc2104) {
  EXPECT_EQ(hmac(std::string(16, '\x0b'), "Hi There"), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(hmac("Jefe", "what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738");
  // Keys longer than a block are digested first (RFC 2202 case 6).
  EXPECT_EQ(hmac(std::string(80, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
            "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
}

TEST(UsecVectors, PasswordToKeyAndLocalisationRfc3414) {
  AdminString key;
  ASSERT_EQ(snmpv3keysmd5.createKey(&key, "maplesyrup"), 0);
  EXPECT_EQ(hex(key.octets, key.length), "9faf3283884e92834ebc9847d8edd963");
  AdminString engine = octets({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2});
  ASSERT_EQ(snmpv3keysmd5.localizeKey(&key, &engine), 0);
  EXPECT_EQ(hex(key.octets, key.length), "526f5eed9fcce26f8964c2930787d82b");
  // An 8-octet password: exactly 1 MiB of it is digested.
  std::string repeated;
  while (repeated.size() < 0x100000) repeated += "abcdefgh";
  ASSERT_EQ(snmpv3keysmd5.createKey(&key, "abcdefgh"), 0);
  EXPECT_EQ(hex(key.octets, 16), md5(repeated));
  // The empty password stands for one zero octet.
  AdminString empty;
  ASSERT_EQ(snmpv3keysmd5.createKey(&empty, ""), 0);
  EXPECT_EQ(hex(empty.octets, 16), md5(std::string(0x100000, '\0')));
  // Wrong lengths are refused and leave the key alone.
  AdminString shortKey = octets({1, 2, 3});
  EXPECT_EQ(snmpv3keysmd5.localizeKey(&shortKey, &engine), -1);
  AdminString longEngine;
  setAdminString(&longEngine, std::string(33, 'e').data(), 33, 255);
  EXPECT_EQ(snmpv3keysmd5.localizeKey(&key, &longEngine), -1);
}

TEST(UsecVectors, KeyChangeRecoversTheNewKey) {
  AdminString oldKey, newKey;
  snmpv3keysmd5.createKey(&oldKey, "old password");
  for (uint32_t length : {0u, 1u, 16u, 20u, 32u, 40u}) {
    std::string text;
    for (uint32_t i = 0; i < length; ++i) text += static_cast<char>('A' + i);
    setAdminString(&newKey, text.data(), length, 255);
    for (uint32_t random : {0u, 7u, 16u}) {
      AdminString change, back;
      ASSERT_EQ(snmpv3keysmd5.createKeyChange(&oldKey, &newKey, &change, random), 0);
      ASSERT_EQ(change.length, random + length);
      ASSERT_EQ(snmpv3keysmd5.applyKeyChange(&oldKey, &back, &change, random), 0);
      EXPECT_EQ(cmpAdminString(&back, &newKey), 0) << length << " " << random;
      if (length >= 16) {
        // First delta block: new key XOR MD5(old key, random).
        std::string chained(reinterpret_cast<const char *>(oldKey.octets), 16);
        chained.append(reinterpret_cast<const char *>(change.octets), random);
        unsigned char temp[16];
        macMD5(reinterpret_cast<const unsigned char *>(chained.data()), static_cast<uint32_t>(chained.size()),
               nullptr, 0, temp);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(change.octets[random + i], newKey.octets[i] ^ temp[i]);
      }
    }
  }
  AdminString change = octets({1, 2});
  EXPECT_EQ(snmpv3keysmd5.applyKeyChange(&oldKey, &newKey, &change, 3), -1);
}

TEST(UsecVectors, ProtocolsByOid) {
  uint32_t oid[ASN1_MAX_ARCS + 1];
  strtooid("1.3.6.1.6.3.6.1.3.1", nullptr, oid);
  EXPECT_EQ(snmpAuthProtocol(oid), &snmpv2udap);
  strtooid("1.3.6.1.6.3.10.1.1.2", nullptr, oid);
  EXPECT_EQ(snmpAuthProtocol(oid), &snmpv3hmacmd5);
  for (const char *other : {"1.3.6.1.6.3.10.1.1.1", "1.3.6.1.6.3.10.1.1.3", "1.3.6.1.6.3.10.1.1.2.0"}) {
    strtooid(other, nullptr, oid);
    EXPECT_EQ(snmpAuthProtocol(oid), nullptr) << other;
  }
  strtooid("1.3.6.1.6.3.10.1.2.2", nullptr, oid);
  ASSERT_EQ(snmpPrivProtocol(oid), &snmpv3des);
  EXPECT_EQ(snmpv3des.sizeofEncryptedData(9), 18u);
  unsigned char data[8] = {1, 2, 3, 4, 5, 6, 7, 8}, out[8] = {0};
  uint32_t n = 8;
  AdminString key = octets({1});
  EXPECT_EQ(snmpv3des.encryptData(&key, data, 8, out, &n), SNMP_ERR_SECURITY_LEVEL);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(snmpv3des.decryptData(&key, data, 8, out, &n), SNMP_ERR_SECURITY_LEVEL);
  // Digest fields of the wrong length or outside the message.
  unsigned char message[64] = {0};
  Netbuf buf = {};
  buf.data = message;
  buf.length = buf.capacity = sizeof message;
  AdminString k16 = octets({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  EXPECT_EQ(snmpv3hmacmd5.authenticateOutgoingMsg(&k16, 11, message + 4, &buf), -1);
  EXPECT_EQ(snmpv3hmacmd5.authenticateOutgoingMsg(&k16, 12, message + 60, &buf), -1);
  EXPECT_EQ(snmpv2udap.authenticateOutgoingMsg(&key, 16, message + 4, &buf), -1);
  ASSERT_EQ(snmpv2udap.authenticateOutgoingMsg(&k16, 16, message + 4, &buf), 0);
  EXPECT_EQ(snmpv2udap.authenticateIncomingMsg(&k16, 16, message + 4, &buf), 0);
  message[40] ^= 1;
  EXPECT_EQ(snmpv2udap.authenticateIncomingMsg(&k16, 16, message + 4, &buf), SNMP_ERR_AUTHENTICATION);
}

TEST(UsecVectors, ParametersInTraces) {
  const unsigned char p[] = {1,   5,   0x80, 0,   0x1f, 0x88, 0x80, 1, 2, 3,    4,    5,   6,   7,   0,   0, 0, 1,
                             0,   0,   0,    0x10, 0x10, 0,   5,    'a', 'l', 'i', 'c', 'e', 2, 0xab, 0xcd, 'c', 't', 'x'};
  char text[256];
  ASSERT_GT(snmpHintFormatOctets(USEC_PARAMETERS_HINT, p, sizeof p, text, sizeof text), 0);
  EXPECT_STREQ(text, "1:05:80001f888001020304050607:00000001:00000010:1000:alice:abcd:ctx");
  // A part of length 0 only marks a place in displays; parsing refuses it.
  unsigned char octets[16];
  const char *end;
  EXPECT_EQ(snmpHintParseOctets("1a0a:1a", "x:y", octets, sizeof octets, &end), -1);
  EXPECT_EQ(snmpHintFormatOctets("1a0a:", p, 2, text, sizeof text), -1);  // never as the last part
}

// ---- two engines in one process ----

const uint32_t kHmac[] = {10, 1, 3, 6, 1, 6, 3, 10, 1, 1, 2};
const uint32_t kKeyedMd5[] = {10, 1, 3, 6, 1, 6, 3, 6, 1, 3, 1};
const uint32_t kDes[] = {10, 1, 3, 6, 1, 6, 3, 10, 1, 2, 2};
const uint32_t kManagerHost = 0x7F000001, kManagerPort = 40001;

// The engine record is a process global: the engine not at work waits in a saved record, and
// swapping relinks the lists whose heads moved.
void relink(SnmpList &list, const SnmpLink *oldHead) {
  if (list.head.next == nullptr || list.head.next == oldHead) {
    list.head.next = list.head.prev = &list.head;
    return;
  }
  list.head.next->prev = &list.head;
  list.head.prev->next = &list.head;
}
void swapRecords(SnmpRecord &a, SnmpRecord &b) {
  static SnmpRecord scratch;
  scratch = a;
  a = b;
  b = scratch;
  for (auto [r, o] : {std::pair<SnmpRecord *, SnmpRecord *>{&a, &b}, {&b, &a}})
    for (SnmpList SnmpRecord::*l : {&SnmpRecord::addrMaps, &SnmpRecord::engines, &SnmpRecord::users,
                                    &SnmpRecord::received, &SnmpRecord::outstanding, &SnmpRecord::registries})
      relink(r->*l, &(o->*l).head);
}

const uint32_t kDescr[] = {9, 1, 3, 6, 1, 2, 1, 1, 1, 0};

// The agent answers every Get with one binding: sysDescr.0 = "telvi agent".
int answerGet(SnmpSlot *, PduData *request, VarBind *, void *, SnmpArea *response, void *) {
  Asn1Cursor c;
  initAsn1Cursor(&c, request->data, request->length);
  PduHeader asked;
  if (decodePduHeader(&c, &asked, 1) < 0) return SNMP_ERR_PARSE;
  VarBind b;
  memset(&b, 0, sizeof b);
  memcpy(b.oid, kDescr, sizeof kDescr);
  b.value.tag = ASN1_TAG_OCTET_STRING;
  static unsigned char text[] = "telvi agent";
  b.value.u.octets.data = text;
  b.value.u.octets.length = 11;
  PduHeader header = {SNMP_PDU_RESPONSE, asked.request_id, 0, 0};
  response->length = buildPdu(response->buffer, response->capacity, header, {b});
  return 0;
}

class TwoEngines : public ::testing::Test {
 protected:
  SnmpRecord waiting_{};  // the engine not at work
  AdminString agentId_ = octets({0x80, 0, 0x1F, 0x88, 0x80, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA, 0xA});
  AdminString managerId_ = octets({0x80, 0, 0x1F, 0x88, 0x80, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB, 0xB});
  bool agentAtWork_ = false;
  unsigned char wire_[4096];
  Netbuf net_{};

  void SetUp() override {
    initializeSnmp();
    configureSnmpEngine(&managerId_, 0, 65507);
    swapRecords(_snmp, waiting_);
    initializeSnmp();
    configureSnmpEngine(&agentId_, 0, 65507);
    registerSnmpResponder(&_snmp.snmpEngineID, SNMP_PDU_GET, answerGet, nullptr);
    agentAtWork_ = true;
    addUser(agentId_, "alice", kHmac, "alice password");
    addUser(agentId_, "bob", kKeyedMd5, "bob password");
    addUser(AdminString{0, {0}}, "dave", kHmac, "dave password", false);
    manager();
    addUser(agentId_, "alice", kHmac, "alice password");
    addUser(agentId_, "bob", kKeyedMd5, "bob password");
    addUser(agentId_, "carol", kHmac, "carol password");
    addUser(AdminString{0, {0}}, "dave", kHmac, "dave password", false);
  }
  void TearDown() override {
    initializeSnmp();
    swapRecords(_snmp, waiting_);
    initializeSnmp();
  }
  void agent() {
    if (!agentAtWork_) swapRecords(_snmp, waiting_);
    agentAtWork_ = true;
  }
  void manager() {
    if (agentAtWork_) swapRecords(_snmp, waiting_);
    agentAtWork_ = false;
  }

  // A user with a key made from the password, localised unless the user is for any engine.
  SnmpUser *addUser(const AdminString &engine, const char *name, const uint32_t *protocol, const char *password,
                    bool localise = true) {
    AdminString n = admin(name);
    SnmpUser *u = addSnmpUser(&engine, &n);
    memcpy(&u->securityName, &n, sizeof n);
    memcpy(u->authProtocol, protocol, (protocol[0] + 1) * sizeof(uint32_t));
    snmpv3keysmd5.createKey(&u->authKey, password);
    if (localise) snmpv3keysmd5.localizeKey(&u->authKey, &engine);
    u->rowStatus = 1;
    return u;
  }

  // The manager sends a Get for sysDescr.0; the message is left in net_.
  int send(const char *user, int level, int32_t requestId) {
    manager();
    unsigned char pdu[512];
    PduData p;
    memset(&p, 0, sizeof p);
    p.version = SNMP_V2U;
    p.model = 1;
    p.securityLevel = level;
    AdminString n = admin(user);
    memcpy(&p.securityName, &n, sizeof n);
    VarBind b = binding("1.3.6.1.2.1.1.1.0");
    p.length = buildPdu(pdu, sizeof pdu, PduHeader{SNMP_PDU_GET, requestId, 0, 0}, {b});
    p.data = pdu;
    p.capacity = sizeof pdu;
    udpPeer(&p.info, 0x7F000002, 161);
    memcpy(&p.engineId, &agentId_, sizeof agentId_);  // the context is the agent's
    memset(&net_, 0, sizeof net_);
    net_.data = wire_;
    net_.capacity = sizeof wire_;
    int result = encodeSnmpMsg(&p, requestId, nullptr, nullptr, &net_);
    record(true);
    return result;
  }

  // Every datagram of an exchange, for a look with another dissector: {to the agent?, bytes}.
  std::vector<std::pair<bool, std::string>> recorded_;
  void record(bool toAgent) {
    if (net_.length) recorded_.push_back({toAgent, std::string(reinterpret_cast<char *>(net_.data), net_.length)});
  }

  // The agent handles the message in net_; its answer, if any, replaces it.
  int deliver() {
    agent();
    udpPeer(&net_.info, kManagerHost, kManagerPort);
    int result = dispatchSnmpMsg(&net_);
    record(false);
    return result;
  }

  struct Answer {
    int result;
    PduData pdu;
    VarBind report;
    std::vector<VarBind> bindings;
  };
  // The manager decodes the answer in net_.
  Answer receive() {
    manager();
    Answer a;
    int32_t app;
    void *state;
    udpPeer(&net_.info, 0x7F000002, 161);
    a.result = decodeSnmpMsg(&a.pdu, &app, &a.report, &state, &net_);
    if (a.result == SNMP_PDU_RESPONSE) {
      PduHeader h;
      a.bindings = decodeBindings(a.pdu, &h);
    }
    return a;
  }

  // The parameters octets of the message in net_.
  unsigned char *parameters(uint32_t *length) {
    Asn1Cursor c;
    initAsn1Cursor(&c, net_.data, net_.length);
    decodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, nullptr);
    decodeAsn1Int32(&c, ASN1_TAG_INTEGER);
    unsigned char *p = decodeAsn1Octets(&c, ASN1_TAG_OCTET_STRING);
    *length = c.length;
    return c.error ? nullptr : p;
  }

  // Discovery, then the time learnt from an authenticated Report: the state of a manager that
  // has talked to the agent before.
  void synchronise(const char *user) {
    ASSERT_GE(send(user, SNMP_SEC_AUTH, 1), 0) << _snmp.trace;
    deliver();
    ASSERT_EQ(receive().result, SNMP_PDU_REPORT);
    ASSERT_GE(send(user, SNMP_SEC_AUTH, 2), 0) << _snmp.trace;
    EXPECT_EQ(deliver(), SNMP_ERR_TIME_WINDOW);
    ASSERT_EQ(receive().result, SNMP_PDU_REPORT) << _snmp.trace;
  }

  void expectReport(const Answer &a, const char *counter, uint32_t value) {
    EXPECT_EQ(a.result, SNMP_PDU_REPORT) << _snmp.trace;
    char text[64];
    EXPECT_STREQ(oidtostr(a.report.oid, text, sizeof text), counter);
    EXPECT_EQ(a.report.value.tag, ASN1_TAG_COUNTER32);
    EXPECT_EQ(a.report.value.u.unsigned32, value);
  }

  std::string descr(const Answer &a) {
    if (a.bindings.size() != 1 || a.bindings[0].value.tag != ASN1_TAG_OCTET_STRING) return "";
    return std::string(reinterpret_cast<char *>(a.bindings[0].value.u.octets.data), a.bindings[0].value.u.octets.length);
  }
};

TEST_F(TwoEngines, DiscoveryTellsAgentIdBootsAndTime) {
  ASSERT_GE(send("alice", SNMP_SEC_AUTH, 1), 0) << _snmp.trace;
  uint32_t length;
  unsigned char *p = parameters(&length);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[0], 1);
  EXPECT_EQ(p[1], SNMP_SEC_REPORTABLE);  // unauthenticated, reportable
  EXPECT_EQ(memcmp(p + 2, usecNullEngineId.octets, 12), 0);
  EXPECT_EQ(deliver(), SNMP_ERR_ENGINE_ID);
  EXPECT_EQ(_snmp.counters.usecStatsUnknownContexts, 1u);
  agent();
  uint32_t agentBoots = _snmp.snmpEngineBoots, agentTime = _snmp.snmpEngineTime;
  p = parameters(&length);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(memcmp(p + 2, agentId_.octets, 12), 0);
  EXPECT_EQ(decodeAsn1Word(p + 14, 4), agentBoots);
  EXPECT_LE(agentTime - decodeAsn1Word(p + 18, 4), 1u);
  Answer a = receive();
  expectReport(a, "1.3.6.1.6.3.6.1.2.5.0", 1);
  AdminString address;
  TInfo peer;
  udpPeer(&peer, 0x7F000002, 161);
  memcpy(&address, &peer.address, sizeof address);
  SnmpAddrMap *map = getSnmpAddrMap(&address);
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(cmpAdminString(&map->agentId, &agentId_), 0);
}

TEST_F(TwoEngines, AuthenticatedGetWithEachProtocol) {
  synchronise("alice");
  for (const char *user : {"alice", "bob"}) {
    ASSERT_GE(send(user, SNMP_SEC_AUTH, 3), 0) << _snmp.trace;
    uint32_t length;
    unsigned char *p = parameters(&length);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p[1], SNMP_SEC_AUTH | SNMP_SEC_REPORTABLE);
    EXPECT_EQ(p[25 + strlen(user)], strcmp(user, "bob") == 0 ? 16 : 12);
    EXPECT_EQ(deliver(), 0) << _snmp.trace;
    Answer a = receive();
    ASSERT_EQ(a.result, SNMP_PDU_RESPONSE) << _snmp.trace;
    EXPECT_EQ(descr(a), "telvi agent");
    EXPECT_EQ(a.pdu.securityLevel & 3, SNMP_SEC_AUTH);
  }
  // Without authentication no time is needed.
  ASSERT_GE(send("alice", 0, 4), 0);
  EXPECT_EQ(deliver(), 0);
  EXPECT_EQ(descr(receive()), "telvi agent");
}

TEST_F(TwoEngines, WrongDigestIsReportedAndNeverAnswered) {
  synchronise("alice");
  ASSERT_GE(send("alice", SNMP_SEC_AUTH, 3), 0);
  uint32_t length;
  unsigned char *p = parameters(&length);
  p[25 + 5 + 1] ^= 0x40;  // first digest octet
  EXPECT_EQ(deliver(), SNMP_ERR_AUTHENTICATION);
  EXPECT_EQ(_snmp.counters.usecStatsWrongDigestValues, 1u);
  p = parameters(&length);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p[1] & 3, 0);  // the Report is not authenticated
  expectReport(receive(), "1.3.6.1.6.3.6.1.2.4.0", 1);
}

TEST_F(TwoEngines, StaleTimeIsOutsideTheWindow) {
  synchronise("bob");
  agent();
  setSnmpEngineTime(_snmp.snmpEngineTime + 151);
  ASSERT_GE(send("bob", SNMP_SEC_AUTH, 3), 0);
  EXPECT_EQ(deliver(), SNMP_ERR_TIME_WINDOW);
  EXPECT_EQ(_snmp.counters.usecStatsNotInWindows, 2u);  // one during synchronisation
  uint32_t length;
  unsigned char *p = parameters(&length);
  EXPECT_EQ(p[1] & 3, SNMP_SEC_AUTH);  // sent with authentication, so the manager learns the time
  expectReport(receive(), "1.3.6.1.6.3.6.1.2.2.0", 2);
  ASSERT_GE(send("bob", SNMP_SEC_AUTH, 4), 0);
  EXPECT_EQ(deliver(), 0);
  EXPECT_EQ(descr(receive()), "telvi agent");
}

TEST_F(TwoEngines, UnknownUserUnknownContextAndPrivacy) {
  synchronise("alice");
  // carol is known to the manager only.
  ASSERT_GE(send("carol", SNMP_SEC_AUTH, 3), 0) << _snmp.trace;
  EXPECT_EQ(deliver(), SNMP_ERR_SECURITY_NAME);
  expectReport(receive(), "1.3.6.1.6.3.6.1.2.3.0", 1);

  // A request addressed to an engine the agent does not know.
  manager();
  AdminString other = octets({0x80, 0, 0x1F, 0x88, 0x80, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC, 0xC});
  addSnmpEngine(&other);
  addUser(other, "alice", kHmac, "alice password");
  TInfo peer;
  udpPeer(&peer, 0x7F000002, 161);
  SnmpAddrMap *map = getSnmpAddrMap(&peer.address);
  ASSERT_NE(map, nullptr);
  memcpy(&map->agentId, &other, sizeof other);
  ASSERT_GE(send("alice", SNMP_SEC_AUTH, 4), 0) << _snmp.trace;
  EXPECT_EQ(deliver(), SNMP_ERR_ENGINE_ID);
  expectReport(receive(), "1.3.6.1.6.3.6.1.2.5.0", 2);  // the first during discovery
  manager();
  map = getSnmpAddrMap(&peer.address);
  ASSERT_NE(map, nullptr);
  memcpy(&map->agentId, &agentId_, sizeof agentId_);

  // The manager cannot send with privacy at all.
  manager();
  AdminString name = admin("alice");
  SnmpUser *alice = getSnmpUser(&agentId_, &name);
  memcpy(alice->privProtocol, kDes, sizeof kDes);
  memcpy(&alice->privKey, &alice->authKey, sizeof alice->authKey);
  EXPECT_EQ(send("alice", SNMP_SEC_AUTH | SNMP_SEC_PRIV, 5), SNMP_ERR_SECURITY_LEVEL);
  // A request asking for privacy, properly signed, gets the unsupported-qos Report.
  ASSERT_GE(send("alice", SNMP_SEC_AUTH, 6), 0);
  uint32_t length;
  unsigned char *p = parameters(&length);
  p[1] |= SNMP_SEC_PRIV;
  unsigned char *digest = p + 25 + 5 + 1;
  ASSERT_EQ(snmpv3hmacmd5.authenticateOutgoingMsg(&alice->authKey, 12, digest, &net_), 0);
  EXPECT_EQ(deliver(), SNMP_ERR_SECURITY_LEVEL);
  EXPECT_EQ(_snmp.counters.usecStatsUnsupportedQoS, 1u);
  Answer a = receive();
  expectReport(a, "1.3.6.1.6.3.6.1.2.1.0", 1);
  EXPECT_STREQ(snmpErrorToStr(SNMP_ERR_SECURITY_LEVEL), "Unsupported security level");

  // Privacy alone counts as neither authentication nor privacy.
  ASSERT_GE(send("alice", 0, 7), 0);
  p = parameters(&length);
  p[1] |= SNMP_SEC_PRIV;
  EXPECT_EQ(deliver(), 0);
  EXPECT_EQ(descr(receive()), "telvi agent");
}

TEST_F(TwoEngines, UserForAnyEngineLocalisesOnTheFly) {
  synchronise("dave");
  ASSERT_GE(send("dave", SNMP_SEC_AUTH, 3), 0) << _snmp.trace;
  EXPECT_EQ(deliver(), 0) << _snmp.trace;
  Answer a = receive();
  ASSERT_EQ(a.result, SNMP_PDU_RESPONSE) << _snmp.trace;
  EXPECT_EQ(descr(a), "telvi agent");
}

TEST_F(TwoEngines, MalformedParametersAreCountedWithoutReport) {
  ASSERT_GE(send("alice", 0, 1), 0);
  uint32_t length;
  unsigned char *p = parameters(&length);
  p[24] = 17;  // user name longer than 16
  EXPECT_EQ(deliver(), SNMP_ERR_PARAMETERS);
  EXPECT_EQ(net_.length, 0u);
  EXPECT_EQ(_snmp.counters.usecStatsBadParameters, 1u);
  EXPECT_NE(strstr(_snmp.trace, "1:04:"), nullptr) << _snmp.trace;  // the parameters, rendered
  ASSERT_GE(send("alice", 0, 2), 0);
  p = parameters(&length);
  p[18] = 0x80;  // negative time
  EXPECT_EQ(deliver(), SNMP_ERR_PARAMETERS);
  ASSERT_GE(send("alice", 0, 3), 0);
  p = parameters(&length);
  p[0] = 2;  // another model: no row for it at all
  EXPECT_EQ(deliver(), SNMP_ERR_SECURITY_MODEL);
  EXPECT_EQ(_snmp.counters.usecStatsBadParameters, 3u);
}

// A classic pcap file of raw IPv4 datagrams between 127.0.0.1:40001 and 127.0.0.2:161.
void writePcap(const std::string &path, const std::vector<std::pair<bool, std::string>> &packets) {
  std::ofstream out(path, std::ios::binary);
  auto put32 = [&](uint32_t v) { out.write(reinterpret_cast<char *>(&v), 4); };
  auto put16 = [&](uint16_t v) { out.write(reinterpret_cast<char *>(&v), 2); };
  put32(0xa1b2c3d4);
  put16(2);
  put16(4);
  put32(0);
  put32(0);
  put32(65535);
  put32(101);  // raw IP
  uint32_t second = 1;
  for (const auto &[toAgent, bytes] : packets) {
    std::string frame(28, '\0');
    uint16_t total = static_cast<uint16_t>(28 + bytes.size());
    unsigned char *h = reinterpret_cast<unsigned char *>(frame.data());
    h[0] = 0x45;
    h[2] = total >> 8, h[3] = total & 255;
    h[8] = 64, h[9] = 17;
    const unsigned char manager[4] = {127, 0, 0, 1}, agent[4] = {127, 0, 0, 2};
    memcpy(h + 12, toAgent ? manager : agent, 4);
    memcpy(h + 16, toAgent ? agent : manager, 4);
    uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) sum += h[i] << 8 | h[i + 1];
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    h[10] = static_cast<unsigned char>(~sum >> 8), h[11] = static_cast<unsigned char>(~sum);
    uint16_t source = toAgent ? kManagerPort : 161, destination = toAgent ? 161 : kManagerPort;
    h[20] = source >> 8, h[21] = source & 255, h[22] = destination >> 8, h[23] = destination & 255;
    uint16_t udp = static_cast<uint16_t>(8 + bytes.size());
    h[24] = udp >> 8, h[25] = udp & 255;  // checksum 0: not computed
    frame += bytes;
    put32(second++);
    put32(0);
    put32(static_cast<uint32_t>(frame.size()));
    put32(static_cast<uint32_t>(frame.size()));
    out.write(frame.data(), static_cast<std::streamsize>(frame.size()));
  }
}

// Runs tshark over the file; its detailed dissection.
std::string dissect(const std::string &path, const std::string &home) {
  std::string command = "HOME=" + home + " /usr/bin/tshark -n -r " + path + " -V 2>&1";
  FILE *pipe = popen(command.c_str(), "r");
  std::string text;
  char chunk[4096];
  size_t n;
  while (pipe && (n = fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
  if (pipe) pclose(pipe);
  return text;
}

TEST_F(TwoEngines, WiresharkDissectsEveryMessageCleanly) {
  if (access("/usr/bin/tshark", X_OK) != 0) GTEST_SKIP() << "tshark (Debian package tshark) is not installed";
  synchronise("alice");
  for (const char *user : {"alice", "bob"}) {
    ASSERT_GE(send(user, SNMP_SEC_AUTH, 10), 0);
    deliver();
  }
  ASSERT_GE(send("carol", SNMP_SEC_AUTH, 11), 0);
  deliver();
  // The community model of both versions, answered through the same agent.
  agent();
  AdminString community = admin("public");
  addSnmpUser(&_snmp.snmpEngineID, &community)->rowStatus = 1;
  for (int version : {SNMP_V1, SNMP_V2C}) {
    manager();
    unsigned char pdu[512];
    PduData p;
    memset(&p, 0, sizeof p);
    p.version = version;
    memcpy(&p.community, &community, sizeof community);
    p.length = buildPdu(pdu, sizeof pdu, PduHeader{SNMP_PDU_GET, 20 + version, 0, 0}, {binding("1.3.6.1.2.1.1.1.0")});
    p.data = pdu;
    p.capacity = sizeof pdu;
    udpPeer(&p.info, 0x7F000002, 161);
    memset(&net_, 0, sizeof net_);
    net_.data = wire_;
    net_.capacity = sizeof wire_;
    ASSERT_GE(encodeSnmpMsg(&p, 30 + version, nullptr, nullptr, &net_), 0) << _snmp.trace;
    record(true);
    agent();
    registerSnmpResponder(&_snmp.snmpEngineID, SNMP_PDU_GET, answerGet, nullptr);
    EXPECT_EQ(deliver(), 0) << _snmp.trace;
  }
  ASSERT_GE(recorded_.size(), 12u);

  char folder[] = "/tmp/telvi-tshark-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  std::string pcap = std::string(folder) + "/snmp.pcap";
  writePcap(pcap, recorded_);
  std::string text = dissect(pcap, folder);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
  EXPECT_EQ(text.find("[Expert Info (Error"), std::string::npos) << text;
  EXPECT_NE(text.find("version: v2u (2)"), std::string::npos) << text;
  EXPECT_NE(text.find("datav2u: plaintext"), std::string::npos) << text;
  EXPECT_NE(text.find("community: public"), std::string::npos) << text;
  EXPECT_NE(text.find("telvi agent"), std::string::npos) << text;
}

}  // namespace
