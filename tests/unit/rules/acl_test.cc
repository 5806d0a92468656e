// The access decision through the C interface: level texts, entity checks with
// names that hold dots (keys, never key paths), and requesters at unknown levels. The matrix over a
// whole module is in tests/tcl/acl.test.
#include <gtest/gtest.h>

#include "telvi/acl.h"
#include "telvi/toe.h"

namespace {

class Acl : public ::testing::Test {
 protected:
  void SetUp() override { node_ = toeCreate(nullptr, 0, nullptr); }
  void TearDown() override { toeDestroy(node_); }
  void entry(const char *key, const char *level) { toeRawDefine(node_, "value", key, nullptr, level); }
  toe *node_ = nullptr;
};

TEST_F(Acl, LevelTexts) {
  EXPECT_EQ(aclSecurityLevel("priv"), 3);
  EXPECT_EQ(aclSecurityLevel("Priv"), 4);  // names are exact
  EXPECT_EQ(aclSecurityLevel(nullptr), 4);
  EXPECT_STREQ(aclAccessKind(nullptr), "none");
}

TEST_F(Acl, EntitiesWithDotsAreKeys) {
  entry("userAccess(john.doe,read)", "auth");
  EXPECT_EQ(cmpAccess(node_, "john.doe", "read", 2, "userAccess"), 1);
  EXPECT_EQ(cmpAccess(node_, "john.doe", "read", 1, "userAccess"), 0);
  EXPECT_EQ(aclCheckAccess(node_, "GetRequest", "auth", "john.doe", ""), 1);
  EXPECT_EQ(cmpAccess(node_, "{john doe} john.doe", "read", 3, "userAccess"), 1);
  EXPECT_EQ(cmpAccess(node_, "{", "read", 3, "userAccess"), 0);  // no list: no entities
}

TEST_F(Acl, UnknownRequesterLevelsMeetNoEntry) {
  entry("userAccess(u,read)", "noauth");
  EXPECT_EQ(aclCheckAccess(node_, "GetRequest", "noauth", "u", ""), 1);
  EXPECT_EQ(aclCheckAccess(node_, "GetRequest", "root", "u", ""), 0);
  EXPECT_EQ(aclCheckAccess(node_, "GetRequest", nullptr, "u", ""), 0);
  // Nothing is checked when both modes say so.
  entry("shadowAccessMode()", "bypassShadowAccess");
  entry("shadowMIBAccessMode()", "useNoMIBAccess");
  EXPECT_EQ(aclCheckAccessShadow(node_, "a", "SetRequest", "root", "nobody", ""), 1);
}

}  // namespace
