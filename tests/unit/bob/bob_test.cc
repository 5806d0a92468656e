// The bob store's C interface: key tokens, creation failures and their messages, partial sets,
// element access and converters.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "telvi/bob.h"

namespace {

struct Token {
  std::string name;
  int index = -1, flags = -1;
  std::string rest;
  bool ok = false;
};

Token token(const char *key) {
  Token t;
  const char *name;
  int length;
  const char *next = bobKeyNextToken(key, &name, &length, &t.index, &t.flags);
  if (next == nullptr) return t;
  t.ok = true;
  t.name.assign(name, static_cast<size_t>(length));
  t.rest = next;
  return t;
}

TEST(BobKeys, Tokens) {
  Token t = token("varbind(3).val");
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.name, "varbind");
  EXPECT_EQ(t.index, 3);
  EXPECT_EQ(t.flags, BOB_TOKEN_INDEX);
  EXPECT_EQ(t.rest, "val");
  t = token("varbind()#");
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.index, 0);
  EXPECT_EQ(t.flags, BOB_TOKEN_INDEX | BOB_TOKEN_COUNT);
  EXPECT_EQ(t.rest, "");
  t = token("bob1");
  EXPECT_TRUE(t.ok);
  EXPECT_EQ(t.flags, 0);
  for (const char *bad : {"a(-1)", "a(1", "a(x)", "a(1)b", "a#b", "a#.b", "a.", "a)", "a(99999999999)"})
    EXPECT_FALSE(token(bad).ok) << bad;
}

TEST(BobStore, CreateFailuresPrintTheirMessage) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(bobIdCreate("no such type", nullptr, -1, nullptr, 0), nullptr);
  EXPECT_EQ(bobIdCreate("int", nullptr, -3, nullptr, 0), nullptr);
  EXPECT_EQ(bobIdCreate("explicit", nullptr, 2, nullptr, 0), nullptr);  // elements of no size
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("binobj("), std::string::npos);
  EXPECT_NE(out.find("): bobIdCreate: bad type.\n"), std::string::npos);
  EXPECT_NE(out.find("): bobIdCreate: invalid array size\n"), std::string::npos);
  EXPECT_EQ(bobIdLookup("toe1"), nullptr);
  EXPECT_EQ(bobIdDestroy("bob0"), -1);
}

TEST(BobStore, PairsApplyUntilTheFirstFailure) {
  bobRegisterSnmpTypes();
  bobEntry *e;
  const char *made = bobIdCreate("pdu", &e, -1, nullptr, 0);
  ASSERT_NE(made, nullptr);
  std::string id = made;
  bobKeyValue pairs[] = {{"request_id", const_cast<char *>("7")},
                         {"type", const_cast<char *>("Nonsense")},
                         {"error_index", const_cast<char *>("3")}};
  int count = 3;
  EXPECT_EQ(bobIdSet(id.c_str(), pairs, &count), -1);
  EXPECT_EQ(count, 1);
  auto *pdu = static_cast<BobPdu *>(bobIdLookupData(e, -1));
  EXPECT_EQ(pdu->request_id, 7);
  EXPECT_EQ(pdu->error_index, 0);
  bobKeyValue reads[] = {{"request_id", nullptr}, {"varbind#", nullptr}, {"nope", nullptr}};
  count = 3;
  EXPECT_EQ(bobIdGet(id.c_str(), reads, &count), -1);
  EXPECT_EQ(count, 2);
  EXPECT_STREQ(reads[0].value, "7");
  EXPECT_STREQ(reads[1].value, "5");
  free(reads[0].value);
  free(reads[1].value);
  // The key tree does not fit a small buffer.
  char small[64];
  testing::internal::CaptureStdout();
  EXPECT_EQ(bobIdLookupKeys(id.c_str(), small, sizeof small), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("bobIdLookupKeys: Overwrote length of buffer"),
            std::string::npos);
  EXPECT_EQ(bobIdDestroy(id.c_str()), 0);
  EXPECT_EQ(bobIdLookup(id.c_str()), nullptr);
}

TEST(BobStore, ArrayElementsAndDeletion) {
  bobRegisterSnmpTypes();
  bobEntry *e;
  bobKeyValue all = {nullptr, const_cast<char *>("{1.3.6.1 {{} {OCTET STRING} abc 3}} {1.3.6.2 {}} {1.3.6.3 {}}")};
  const char *made = bobIdCreate("VarBind", &e, 1, &all, 1);
  ASSERT_NE(made, nullptr);
  std::string id = made;
  EXPECT_EQ(bobIdLookupSize(e), 3);
  auto *first = static_cast<BobVarBind *>(bobListGetIndex(e, 0));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->val.value.u.octets.length, 3u);
  EXPECT_EQ(bobListGetIndex(e, 3), nullptr);
  EXPECT_EQ(bobListDeleteIndex(e, 0), 0);  // frees the octets of the element
  EXPECT_EQ(bobIdLookupSize(e), 2);
  auto *now = static_cast<BobVarBind *>(bobIdLookupData(e, 0));
  EXPECT_EQ(now->oid[0], 4u);
  EXPECT_EQ(now->oid[4], 2u);
  EXPECT_EQ(bobListDeleteIndex(e, 5), -1);
  EXPECT_EQ(bobIdDestroy(id.c_str()), 0);
}

// Each failure leaves the reason a message needs: which key or value, and why.
TEST(BobStore, FailuresSayWhy) {
  bobRegisterSnmpTypes();
  bobEntry *e;
  const char *made = bobIdCreate("pdu", &e, -1, nullptr, 0);
  ASSERT_NE(made, nullptr);
  std::string id = made;
  const struct {
    const char *key, *value, *why;
  } cases[] = {
      {"nope", "1", "pdu has no field \"nope\""},
      {"varbind(5).oid", "1.3", "varbind has no element 5 (it holds 5)"},
      {"type(0)", "Report", "type is not an array"},
      {"varbind.oid", "1.3", "varbind is an array: name one element, as varbind(0)"},
      {"varbind#.oid", "1.3", "malformed key \"" /* the rest names the key */},
      {"request_id", "4294967295", "value \"4294967295\" refused for request_id: outside -2147483648 .. 2147483647"},
      {"trapoid", "1.3.4294967296", "value \"1.3.4294967296\" refused for trapoid: an arc is above 4294967295"},
      {"trapoid", "1", "value \"1\" refused for trapoid: an OID has at least two arcs, as 1.3"},
      {"engineId", "01", "value \"01\" refused for engineId: TcOctets is read-only"},
      {"version", "SNMPv3", "value \"SNMPv3\" refused for version: one of SNMPv1, SNMPv2c, SNMPv2u, SNMPv2usec"},
      {"varbind(0).val.val", "x", "value \"x\" refused for val: the value has no type yet: set its type first"},
      {"varcount", "6", "value \"6\" refused for varcount: varbind holds 5 bindings, so varcount is 0 to 5"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.key);
    bobKeyValue pair = {c.key, const_cast<char *>(c.value)};
    int count = 1;
    EXPECT_EQ(bobIdSet(id.c_str(), &pair, &count), -1);
    EXPECT_EQ(std::string(bobLastFailure()).rfind(c.why, 0), 0u) << bobLastFailure();
  }
  // A success clears the reason; a record set from a list reports the field that refused.
  bobKeyValue good = {"request_id", const_cast<char *>("-5")};
  int count = 1;
  EXPECT_EQ(bobIdSet(id.c_str(), &good, &count), 0);
  EXPECT_STREQ(bobLastFailure(), "");
  bobKeyValue record = {"info", const_cast<char *>("10.1.2.3:161 inet")};
  EXPECT_EQ(bobIdSet(id.c_str(), &record, &count), -1);
  EXPECT_STREQ(bobLastFailure(), "value \"10.1.2.3:161\" refused for address: set the transport type to inet first");
  EXPECT_EQ(bobIdDestroy(id.c_str()), 0);

  bobKeyValue one = {nullptr, const_cast<char *>("-1")};
  EXPECT_EQ(bobIdCreate("uint", nullptr, -1, &one, 1), nullptr);
  EXPECT_STREQ(bobLastFailure(), "value \"-1\" refused for uint: a uint cannot be negative");
}

// varcount may never promise more bindings than varbind holds; readers bound it by the array anyway,
// since a new varbind list may be shorter than the count set before.
TEST(BobStore, VarcountStaysWithinTheBindings) {
  bobRegisterSnmpTypes();
  bobEntry *e;
  const char *made = bobIdCreate("pdu", &e, -1, nullptr, 0);
  ASSERT_NE(made, nullptr);
  std::string id = made;
  auto *pdu = static_cast<BobPdu *>(bobIdLookupData(e, -1));
  bobKeyValue pairs[] = {{"varcount", const_cast<char *>("5")}, {"varcount", const_cast<char *>("999999")},
                         {"varcount", const_cast<char *>("-1")}};
  for (int i = 0; i < 3; ++i) {
    int count = 1;
    EXPECT_EQ(bobIdSet(id.c_str(), &pairs[i], &count), i == 0 ? 0 : -1) << i;
  }
  EXPECT_EQ(pdu->varcount, 5);
  EXPECT_EQ(bobPduBindingCount(pdu), 5);
  bobKeyValue shorter = {"varbind", const_cast<char *>("{1.3.6.1 {}} {1.3.6.2 {}}")};
  int count = 1;
  ASSERT_EQ(bobIdSet(id.c_str(), &shorter, &count), 0);
  EXPECT_EQ(pdu->varcount, 5);
  EXPECT_EQ(bobPduBindingCount(pdu), 2);
  pdu->varcount = -7;  // a C writer bypassing the text form
  EXPECT_EQ(bobPduBindingCount(pdu), 0);
  EXPECT_EQ(bobPduBindingCount(nullptr), 0);
  EXPECT_EQ(bobIdDestroy(id.c_str()), 0);
}

char *toUpper(const char *id) { return strdup(id); }

TEST(BobStore, Converters) {
  EXPECT_EQ(bobFindConverter("string", "upper"), nullptr);
  EXPECT_EQ(bobRegisterConverter(nullptr, "a", "b"), -1);
  ASSERT_EQ(bobRegisterConverter(toUpper, "string", "upper"), 0);
  EXPECT_EQ(bobFindConverter("string", "upper"), toUpper);
  EXPECT_EQ(bobFindConverter("upper", "string"), nullptr);  // a converter has a direction
}

}  // namespace
