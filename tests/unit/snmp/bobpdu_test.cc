// "pdu" bobs to and from encoded PDUs: what an SNMPv1 message cannot carry is mapped, traps change
// form between the versions, and answers that do not fit are cut or turned into tooBig.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "telvi/bob.h"
#include "telvi/snmpv2.h"

namespace {

struct Pdu {
  std::string id;
  BobPdu *bob;
  Pdu() {
    bobRegisterSnmpTypes();
    bobEntry *e;
    id = bobIdCreate("pdu", &e, -1, nullptr, 0);
    bob = static_cast<BobPdu *>(e->data);
  }
  ~Pdu() { bobIdDestroy(id.c_str()); }
  void set(std::initializer_list<std::pair<const char *, const char *>> pairs) {
    std::vector<bobKeyValue> kv;
    for (auto &p : pairs) kv.push_back({p.first, const_cast<char *>(p.second)});
    int count = static_cast<int>(kv.size());
    ASSERT_EQ(bobIdSet(id.c_str(), kv.data(), &count), 0) << bobLastFailure();
  }
  std::string get(const char *key) {
    bobKeyValue kv{key, nullptr};
    int count = 1;
    EXPECT_EQ(bobIdGet(id.c_str(), &kv, &count), 0);
    std::string text = kv.value ? kv.value : "";
    free(kv.value);
    return text;
  }
};

// Encodes the bob, then decodes the bytes into a fresh bob of the same version.
int roundTrip(Pdu &out, Pdu &in, uint32_t capacity = 4096) {
  std::vector<unsigned char> buffer(capacity);
  SnmpArea area{capacity, 0, buffer.data()};
  int tag = encodeBobPdu(out.bob, &area, nullptr, 0);
  if (tag < 0) return tag;
  PduData record = out.bob->pdu;
  record.v2 = record.version != SNMP_V1;
  record.data = buffer.data();
  record.length = area.length;
  return decodeBobPdu(in.bob, &record) == 0 ? tag : -2;
}

TEST(BobPdu, SnmpV1AnswersMapStatusesAndExceptions) {
  Pdu p, q;
  p.set({{"version", "SNMPv1"}, {"type", "Response"}, {"request_id", "7"}, {"varcount", "3"},
         {"varbind(0).oid", "1.3.6.1.2.1.1.1.0"}, {"varbind(0).val.type", "Integer32"}, {"varbind(0).val.val", "1"},
         {"varbind(1).oid", "1.3.6.1.2.1.1.2.0"}, {"varbind(1).val.type", "noSuchInstance"},
         {"varbind(2).oid", "1.3.6.1.2.1.1.3.0"}, {"varbind(2).val.type", "NULL"}});
  ASSERT_EQ(roundTrip(p, q), SNMP_PDU_RESPONSE);
  EXPECT_EQ(q.get("error_status"), "noSuchName");
  EXPECT_EQ(q.get("error_index"), "2");
  for (auto [from, to] : std::vector<std::pair<const char *, const char *>>{
           {"wrongType", "badValue"}, {"notWritable", "noSuchName"}, {"commitFailed", "genErr"}}) {
    Pdu r, s;
    r.set({{"version", "SNMPv1"}, {"type", "Response"}, {"error_status", from}, {"error_index", "1"}, {"varcount", "0"}});
    ASSERT_EQ(roundTrip(r, s), SNMP_PDU_RESPONSE);
    EXPECT_EQ(s.get("error_status"), to) << from;
  }
  Pdu bulk, inform;
  bulk.set({{"version", "SNMPv1"}, {"type", "GetBulkRequest"}, {"error_status", "tooBig"}, {"varcount", "0"}});
  Pdu got;
  EXPECT_EQ(roundTrip(bulk, got), SNMP_PDU_GETNEXT);
  EXPECT_EQ(got.get("error_status"), "noError");
  inform.set({{"version", "SNMPv1"}, {"type", "InformRequest"}, {"varcount", "0"}});
  EXPECT_EQ(roundTrip(inform, got), -1);
}

TEST(BobPdu, TrapsChangeFormBetweenVersions) {
  Pdu v2, v1;
  v2.set({{"version", "SNMPv1"}, {"type", "SNMPv2Trap"}, {"varcount", "3"},
          {"varbind(0).oid", "1.3.6.1.2.1.1.3.0"}, {"varbind(0).val.type", "TimeTicks"}, {"varbind(0).val.val", "77"},
          {"varbind(1).oid", "1.3.6.1.6.3.1.1.4.1.0"}, {"varbind(1).val.type", "OBJECT IDENTIFIER"},
          {"varbind(1).val.val", "1.3.6.1.6.3.1.1.5.3"},
          {"varbind(2).oid", "1.3.6.1.2.1.2.2.1.1.2"}, {"varbind(2).val.type", "Integer32"}, {"varbind(2).val.val", "2"}});
  // Decoding shows an SNMPv1 trap in SNMPv2 form again: generic 2 (linkDown) is snmpTraps.3.
  ASSERT_EQ(roundTrip(v2, v1), SNMP_PDU_V1TRAP);
  EXPECT_EQ(v1.get("type"), "SNMPv2Trap");
  EXPECT_EQ(v1.get("generic"), "2");
  EXPECT_EQ(v1.get("specific"), "0");
  EXPECT_EQ(v1.get("timestamp"), "77");
  EXPECT_EQ(v1.get("varbind(1).val.val"), "1.3.6.1.6.3.1.1.5.3");
  EXPECT_EQ(v1.get("varbind(2).oid"), "1.3.6.1.2.1.2.2.1.1.2");

  Pdu enterprise, back;
  enterprise.set({{"version", "SNMPv2c"}, {"type", "SNMPv1Trap"}, {"enterprise", "1.3.6.1.4.1.99999"},
                  {"generic", "6"}, {"specific", "9"}, {"timestamp", "5"}, {"varcount", "0"}});
  ASSERT_EQ(roundTrip(enterprise, back), SNMP_PDU_V2TRAP);
  EXPECT_EQ(back.get("varcount"), "2");
  EXPECT_EQ(back.get("varbind(1).val.val"), "1.3.6.1.4.1.99999.0.9");
  enterprise.set({{"generic", "7"}});
  EXPECT_EQ(roundTrip(enterprise, back), -1);
}

TEST(BobPdu, AnswersThatDoNotFit) {
  // 40 bindings of 60 octets each do not fit 1000 octets.
  auto fill = [](Pdu &p, const char *version) {
    p.set({{"version", version}, {"type", "Response"}, {"varcount", "0"}});
    dataArrayResize(p.bob->varbind, 40);
    for (int i = 0; i < 40; ++i) {
      std::string k = "varbind(" + std::to_string(i) + ")";
      std::string oid = "1.3.6.1.4.1.99999." + std::to_string(i);
      p.set({{(k + ".oid").c_str(), oid.c_str()}, {(k + ".val.type").c_str(), "OCTET STRING"},
             {(k + ".val.val").c_str(), "0123456789012345678901234567890123456789012345"}});
    }
    p.set({{"varcount", "40"}});
  };
  Pdu bulk, cut;
  fill(bulk, "SNMPv2c");
  bulk.bob->received = SNMP_PDU_GETBULK;
  ASSERT_EQ(roundTrip(bulk, cut, 1000), SNMP_PDU_RESPONSE);
  int kept = atoi(cut.get("varcount").c_str());
  EXPECT_GT(kept, 10);
  EXPECT_LT(kept, 20);
  EXPECT_EQ(bulk.bob->varcount, kept);
  EXPECT_EQ(cut.get("error_status"), "noError");

  Pdu get, big;
  fill(get, "SNMPv2c");
  get.bob->received = SNMP_PDU_GET;
  ASSERT_EQ(roundTrip(get, big, 1000), SNMP_PDU_RESPONSE);
  EXPECT_EQ(big.get("error_status"), "tooBig");
  EXPECT_EQ(big.get("varcount"), "0");

  // A binding without a value: genErr at its index when writing stops there, but an overflow
  // before it is still tooBig.
  for (int size : {40, 2}) {
    Pdu bad, answer;
    fill(bad, "SNMPv2c");
    bad.bob->received = SNMP_PDU_GET;
    dataArrayResize(bad.bob->varbind, 41);
    std::string k = "varbind(" + std::to_string(size - 1) + ")";
    bad.set({{(k + ".val.type").c_str(), "NULL"}});
    static_cast<BobVarBind *>(bad.bob->varbind->data)[size - 1].val.value.tag = 0;
    bad.set({{"varcount", std::to_string(size).c_str()}});
    ASSERT_EQ(roundTrip(bad, answer, 1000), SNMP_PDU_RESPONSE);
    EXPECT_EQ(answer.get("error_status"), size == 40 ? "tooBig" : "genErr") << size;
    EXPECT_EQ(answer.get("error_index"), size == 40 ? "0" : "2") << size;
  }
}

TEST(UrlOctets, EscapesWhatIsNotPlainAndReadsItBack) {
  const unsigned char octets[] = {'a', ' ', '/', 0, 0xff, ':', '?'};
  char text[64];
  EXPECT_EQ(encodeUrlOctets(octets, sizeof octets, text, sizeof text), 15);
  EXPECT_STREQ(text, "a?20/?00?ff:?3f");
  unsigned char back[16];
  EXPECT_EQ(decodeUrlOctets(text, back, sizeof back), 7);
  EXPECT_EQ(memcmp(back, octets, sizeof octets), 0);
  // An escape that would not fit whole is left out.
  EXPECT_EQ(encodeUrlOctets(octets, sizeof octets, text, 4), 1);
  EXPECT_STREQ(text, "a");
}

}  // namespace
