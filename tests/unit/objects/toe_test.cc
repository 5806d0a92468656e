// The object store's C interface: bookkeeping, values, search modes, lifetimes. Paths and
// inheritance are driven through the toe commands in tests/tcl/toe.test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "objects/keys.h"
#include "telvi/id.h"
#include "telvi/toe.h"

namespace {

using Keys = std::vector<std::string>;

Keys keys(const stringList *list) {
  Keys result;
  if (list != nullptr)
    for (int i = 0; i < list->count; ++i) result.emplace_back(list->items[i]);
  return result;
}

std::string text(toe *object, int mode, const char *slice, const char *key) {
  const char *value = toeLookupString(object, mode, slice, key);
  return value != nullptr ? value : "<none>";
}

bool alive(const std::string &id) {
  void *pointer = nullptr;
  return idLookup("toe", id.c_str(), &pointer) == 0 && pointer != nullptr;
}

// A named child of parent, as toe_child makes it.
toe *child(toe *parent, const char *name) {
  toe *object = toeCreate(nullptr, 0, parent);
  toeRawDefine(parent, "object", name, nullptr, object->id);
  toeRawDefine(object, "internal", "name", nullptr, name);
  return object;
}

class Store : public ::testing::Test {
 protected:
  void TearDown() override {
    for (toe *object : roots_) toeDestroyHierarchy(object);
  }
  toe *root(toe **parents = nullptr, int count = 0) {
    toe *object = toeCreate(parents, count, nullptr);
    roots_.push_back(object);
    return object;
  }
  std::vector<toe *> roots_;
};

TEST_F(Store, DefineAndUndefineKeepTheKeyAndSliceLists) {
  toe *o = root();
  ASSERT_NE(toeDefine(o, "a", "x", nullptr, "1"), nullptr);
  EXPECT_EQ(keys(toeEntries(o, "a")), Keys{"x"});
  EXPECT_EQ(keys(toeSlices(o)), Keys{"a"});
  toeDefine(o, "b", "y", nullptr, "2");
  toeDefine(o, "a", "z", nullptr, "3");
  toeDefine(o, "a", "x", nullptr, "4");  // redefinition keeps the position
  EXPECT_EQ(keys(toeEntries(o, "a")), (Keys{"x", "z"}));
  EXPECT_EQ(keys(toeSlices(o)), (Keys{"a", "b"}));
  EXPECT_EQ(text(o, 0, "a", "x"), "4");

  EXPECT_EQ(toeUndefine(o, "b", "y"), 0);
  EXPECT_EQ(toeUndefine(o, "b", "y"), -1);
  EXPECT_EQ(keys(toeSlices(o)), Keys{"a"});
  EXPECT_EQ(toeUndefineSlice(o, "a"), 0);
  EXPECT_EQ(toeSlices(o), nullptr);
  EXPECT_EQ(toeRawLookup(o, 0, "entries", "entries"), nullptr);
  EXPECT_EQ(toeRawLookup(o, 0, "entries", "a"), nullptr);
}

TEST_F(Store, CompositeKeysBeyondTheLimitAreRefused) {
  toe *o = root();
  std::string key(TOE_MAX_KEY - 2, 'k');  // "s:" + key is exactly the limit
  EXPECT_NE(toeDefine(o, "s", key.c_str(), nullptr, "v"), nullptr);
  key += "k";
  EXPECT_EQ(toeDefine(o, "s", key.c_str(), nullptr, "v"), nullptr);
  EXPECT_EQ(toeLookup(o, 1, "s", key.c_str()), nullptr);
  std::string huge(100000, 'x');
  EXPECT_EQ(toeDefineString(o, huge.c_str(), "k", nullptr, "v"), nullptr);
  EXPECT_EQ(toeAppendValue(o, "s", huge.c_str(), "e"), -1);
  EXPECT_EQ(keys(toeEntries(o, "s")).size(), 1u);
  // A slice whose key list ("entries:" + slice) would not fit is refused too: an entry stored
  // without it would be invisible to the key lists and to export.
  std::string slice(TOE_MAX_KEY - 8 + 1, 's');
  EXPECT_EQ(toeRawDefine(o, slice.c_str(), "k", nullptr, "v"), nullptr);
  EXPECT_EQ(keys(toeSlices(o)), Keys{"s"});
  using telvi::objects::keyPathProblem;
  EXPECT_EQ(keyPathProblem(o, slice.c_str(), "k"), "a slice name has at most 1015 characters");
  slice.pop_back();
  EXPECT_NE(toeRawDefine(o, slice.c_str(), "k", nullptr, "v"), nullptr);
  EXPECT_EQ(keys(toeSlices(o)), (Keys{"s", slice}));

  EXPECT_EQ(keyPathProblem(o, "s", "k"), "");
  EXPECT_EQ(keyPathProblem(o, "s", key.c_str()), "slice, \":\" and key make 1024 characters, more than 1023");
  EXPECT_EQ(keyPathProblem(o, "s", "no.such.k"), "no object no.such");
}

// Paths deeper than the limit are refused whole: a walk that creates objects must not leave a
// branch behind when it gives up.
TEST_F(Store, PathsDeeperThanTheLimitCreateNothing) {
  toe *o = root();
  std::string deep = "a";
  for (int i = 1; i < telvi::objects::kMaxPathLevels; ++i) deep += ".a";
  EXPECT_EQ(telvi::objects::pathLevels(deep.c_str()), telvi::objects::kMaxPathLevels);
  EXPECT_EQ(telvi::objects::pathLevels(("..*" + deep).c_str()), telvi::objects::kMaxPathLevels);
  int created = 0;
  std::string tooDeep = deep + ".a";
  EXPECT_EQ(toeLocate(o, tooDeep.c_str(), 2, &created, nullptr, 0), nullptr);
  EXPECT_EQ(created, 0);
  EXPECT_EQ(toeGetChildCount(o), 0);
  EXPECT_EQ(toeDefine(o, "s", (tooDeep + ".k").c_str(), nullptr, "v"), nullptr);
  EXPECT_EQ(telvi::objects::keyPathProblem(o, "s", (tooDeep + ".k").c_str()),
            "the key's object path has more than 1000 levels");
  // At the limit the walk still works, creating as it goes.
  toe *bottom = toeLocate(o, deep.c_str(), 2, &created, nullptr, 0);
  ASSERT_NE(bottom, nullptr);
  EXPECT_EQ(created, 1);
  EXPECT_EQ(toeLocate(o, deep.c_str(), 0, nullptr, nullptr, 0), bottom);
}

TEST_F(Store, TypedValuesConvertOrStayAsTheyWere) {
  toe *o = root();
  dataType *intType = dataGetType("int");
  toeVal *value = toeDefineString(o, "v", "n", nullptr, "abc");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(toeValCvtType(value, intType), -1);
  EXPECT_EQ(toeValGetDataType(value), nullptr);
  EXPECT_STREQ(toeValGetStringValue(value), "abc");

  EXPECT_EQ(toeDefineString(o, "v", "bad", intType, "xyz"), nullptr);  // a failed typed define leaves no key
  EXPECT_EQ(toeLookup(o, 0, "v", "bad"), nullptr);

  toeDefineString(o, "v", "n", intType, "42");
  int *number = static_cast<int *>(toeLookupType(o, 0, "v", "n", intType));
  ASSERT_NE(number, nullptr);
  EXPECT_EQ(*number, 42);
  toeDefine(o, "v", "n", nullptr, "43");  // a string into a typed value is parsed
  EXPECT_EQ(*static_cast<int *>(toeLookupType(o, 0, "v", "n", intType)), 43);
  EXPECT_EQ(toeDefine(o, "v", "n", nullptr, "forty"), nullptr);  // a failed redefinition removes the key
  EXPECT_EQ(toeLookup(o, 0, "v", "n"), nullptr);
  EXPECT_EQ(keys(toeEntries(o, "v")), Keys{});

  // A list that fails to take a new text releases what it held (no double release at destroy).
  dataType *listType = dataGetType("StringList");
  toeVal *list = toeDefineString(o, "v", "l", listType, "a b c");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(toeValSetStringValue(list, "\"unclosed"), -1);
  EXPECT_EQ(static_cast<stringList *>(list->binary)->count, 0);
}

TEST_F(Store, DefineSliceKeepsExactlyTheGivenPairs) {
  toe *o = root();
  const char *three[] = {"a", "b", "c"};
  EXPECT_EQ(toeDefineSlice(o, "vec", nullptr, 3, nullptr, three), 0);
  EXPECT_EQ(keys(toeEntries(o, "vec")), (Keys{"1", "2", "3"}));
  const char *two[] = {"x", "y"};
  EXPECT_EQ(toeDefineSlice(o, "vec", nullptr, 2, nullptr, two), 0);
  EXPECT_EQ(keys(toeEntries(o, "vec")), (Keys{"1", "2"}));
  EXPECT_EQ(text(o, 0, "vec", "2"), "y");
  EXPECT_EQ(toeLookup(o, 0, "vec", "3"), nullptr);

  const char *names[] = {"q", "p"};
  const char *values[] = {"1", "oops"};
  EXPECT_EQ(toeDefineSlice(o, "named", dataGetType("int"), 2, names, values), 1);
  EXPECT_EQ(keys(toeEntries(o, "named")), Keys{"q"});  // the failed pair and all after it are gone
}

TEST_F(Store, KeysByIndexMoveSwapOrRefuse) {
  toe *o = root();
  EXPECT_EQ(toeAddKeyByIndex(o, "s", "a", 0), 1);
  EXPECT_EQ(toeAddKeyByIndex(o, "s", "b", 5), 0);
  EXPECT_EQ(toeAddKeyByIndex(o, "s", "c", 0), 0);  // "a" moves to the end
  EXPECT_EQ(keys(toeEntries(o, "s")), (Keys{"c", "b", "a"}));
  EXPECT_EQ(toeAddKeyByIndex(o, "s", "a", 0), 0);  // later key swaps into place
  EXPECT_EQ(keys(toeEntries(o, "s")), (Keys{"a", "b", "c"}));
  EXPECT_EQ(toeAddKeyByIndex(o, "s", "a", 2), -1);
  EXPECT_EQ(toeAddKeyByIndex(o, "s", nullptr, 0), -1);
}

TEST_F(Store, KeyWalkFollowsTheKeyList) {
  toe *o = root();
  EXPECT_EQ(toeFirstKey(o, nullptr), nullptr);
  for (const char *key : {"k1", "k2", "k3"}) toeDefine(o, "value", key, nullptr, "v");
  Keys walked;
  for (const char *key = toeFirstKey(o, nullptr); key != nullptr; key = toeNextKey(o, nullptr)) walked.push_back(key);
  EXPECT_EQ(walked, (Keys{"k1", "k2", "k3"}));
  EXPECT_EQ(toeLookup(o, 0, "_iwalk_", "value"), nullptr);  // the position goes when the walk ends
  EXPECT_STREQ(toeNextKey(o, "value"), "k1");                // no position: starts over
  toeUndefine(o, "value", "k1");
  EXPECT_EQ(toeNextKey(o, "value"), nullptr);  // the position left the list
}

TEST_F(Store, SearchModesReachParentsAndSuperiors) {
  toe *grand = root();
  toe *parent = root(&grand, 1);
  toe *top = root();
  toe *mid = child(top, "mid");
  toe *leaf = toeCreate(&parent, 1, mid);
  toeRawDefine(mid, "object", "leaf", nullptr, leaf->id);
  toeDefine(grand, "value", "g", nullptr, "from grand");
  toeDefine(top, "value", "t", nullptr, "from top");
  toeDefine(parent, "value", "both", nullptr, "parent");
  toeDefine(mid, "value", "both", nullptr, "superior");

  EXPECT_EQ(text(leaf, 0, "value", "g"), "<none>");
  EXPECT_EQ(text(leaf, 1, "value", "g"), "from grand");
  EXPECT_EQ(text(leaf, 1, "value", "t"), "<none>");
  EXPECT_EQ(text(leaf, 2, "value", "t"), "from top");
  EXPECT_EQ(text(leaf, 2, "value", "g"), "<none>");
  EXPECT_EQ(text(leaf, 3, "value", "g"), "from grand");
  EXPECT_EQ(text(leaf, 3, "value", "t"), "from top");
  EXPECT_EQ(text(leaf, 3, "value", "both"), "parent");  // parents before superiors

  // Parents naming each other end the search instead of looping.
  toe *a = root();
  toe *b = root(&a, 1);
  toeSetParents(a, &b, 1);
  EXPECT_EQ(toeLookup(a, 1, "value", "missing"), nullptr);
  EXPECT_EQ(toeSetParents(a, &a, 1), -1);
  toeSetParents(a, nullptr, 0);  // breaks the cycle so both can go
}

TEST_F(Store, DescendantSearchCoversLargeTrees) {
  toe *top = root();
  toe *last = nullptr;
  for (int i = 0; i < 1500; ++i) last = child(top, ("n" + std::to_string(i)).c_str());
  toe *target = child(last, "target");
  EXPECT_EQ(toeLocate(top, "*target", 0, nullptr, nullptr, 0), target);
  EXPECT_EQ(toeLocate(top, "*absent", 0, nullptr, nullptr, 0), nullptr);
  // Loops in the naming tree, each reachable twice: the search still ends.
  toeRawDefine(target, "object", "up", nullptr, top->id);
  toeRawDefine(target, "object", "again", nullptr, last->id);
  EXPECT_EQ(toeLocate(top, "*absent", 0, nullptr, nullptr, 0), nullptr);
  toeRawUndefine(target, "object", "up");
  toeRawUndefine(target, "object", "again");
}

TEST_F(Store, DestroyWaitsForReferences) {
  toe *superior = root();
  std::string superiorId = superior->id;
  toe *below = toeCreate(nullptr, 0, superior);
  std::string belowId = below->id;
  toeDestroy(superior);  // referenced by below as its superior
  EXPECT_TRUE(alive(superiorId));
  toeDestroy(below);
  EXPECT_FALSE(alive(belowId));
  EXPECT_FALSE(alive(superiorId));
  roots_.clear();

  Tcl_Interp *interp = Tcl_CreateInterp();
  toe *framed = toeCreate(nullptr, 0, nullptr);
  std::string framedId = framed->id;
  toePushContext(interp, framed, framed);
  EXPECT_EQ(toeGetCurrentObject(interp, TOE_SELECT_CURRENT), framed);
  toeDestroy(framed);
  EXPECT_TRUE(alive(framedId));
  EXPECT_EQ(toePopContext(interp), 0);
  EXPECT_FALSE(alive(framedId));
  EXPECT_EQ(toePopContext(interp), -1);
  Tcl_DeleteInterp(interp);
}

TEST_F(Store, DestroyHierarchyClearsTheNamingTree) {
  toe *top = root();
  toe *a = child(top, "a");
  std::string aId = a->id, bId = child(a, "b")->id;
  toeRawDefine(a, "object", "dangling", nullptr, "toe999999");
  toe *loop = child(a, "loop");
  toeRawDefine(loop, "object", "back", nullptr, a->id);  // a loop in the naming tree
  EXPECT_EQ(toeDestroyHierarchy(a), 0);
  EXPECT_FALSE(alive(aId));
  EXPECT_FALSE(alive(bId));
  EXPECT_EQ(toeGetChildCount(top), 0);
}

}  // namespace
