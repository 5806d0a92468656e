// Identifier registry. The registry is process-wide, so every test uses prefixes of its own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "telvi/id.h"

namespace {

std::string takeNext(const char *prefix) {
  char *id = idNext(prefix);
  if (id == nullptr) return "<null>";
  std::string result(id);
  free(id);
  return result;
}

class IdTest : public ::testing::Test {
 protected:
  void SetUp() override { idInit(); }
};

TEST_F(IdTest, NextCountsUpWithDecimalCarry) {
  EXPECT_EQ(takeNext("idnxa"), "idnxa1");
  EXPECT_EQ(takeNext("idnxa"), "idnxa2");
  EXPECT_EQ(takeNext("idnxb"), "idnxb1");  // prefixes count independently
  for (int i = 3; i <= 9; ++i) takeNext("idnxa");
  EXPECT_EQ(takeNext("idnxa"), "idnxa10");
  EXPECT_EQ(idCount("idnxa"), 0);  // names only; nothing is registered
  EXPECT_EQ(idNext(nullptr), nullptr);
}

TEST_F(IdTest, CreateLookupDestroy) {
  int object = 0;
  const std::string id(idCreate("idcld", &object));
  EXPECT_EQ(id, "idcld1");
  void *pointer = nullptr;
  EXPECT_EQ(idLookup("idcld", id.c_str(), &pointer), 0);
  EXPECT_EQ(pointer, &object);
  EXPECT_EQ(idLookup("other", id.c_str(), &pointer), -1);  // must begin with the expected prefix
  pointer = &object;
  EXPECT_EQ(idLookup("idcld", "idcld77", &pointer), -1);
  EXPECT_EQ(pointer, nullptr);

  EXPECT_EQ(idDestroy(id.c_str()), 1);
  EXPECT_EQ(idDestroy(id.c_str()), 0);
  pointer = &object;
  EXPECT_EQ(idLookup("idcld", id.c_str(), &pointer), -1);
  EXPECT_EQ(pointer, nullptr);
  // Numbers are never reused, so a stale name cannot reach a newer object.
  const char *second = idCreate("idcld", &object);
  EXPECT_STREQ(second, "idcld2");
  EXPECT_EQ(idDestroy(second), 1);
  EXPECT_EQ(idCreate(nullptr, &object), nullptr);

  // "null" resolves to no object whatever the prefix, and cannot be destroyed.
  pointer = &object;
  EXPECT_EQ(idLookup("idcld", "null", &pointer), 0);
  EXPECT_EQ(pointer, nullptr);
  EXPECT_EQ(idDestroy("null"), 0);
  EXPECT_EQ(idLookup("toe", "null", &pointer), 0);
  EXPECT_EQ(idLookup("idcld", nullptr, &pointer), -1);
  EXPECT_EQ(idDestroy(nullptr), 0);
  EXPECT_EQ(idCount(nullptr), 0);
}

TEST_F(IdTest, CountNeedsDigitRightAfterPrefix) {
  int object = 0;
  std::vector<std::string> ids;
  for (const char *prefix : {"idcnt", "idcnt", "idcntx", "idcn"}) ids.emplace_back(idCreate(prefix, &object));
  EXPECT_EQ(idCount("idcnt"), 2);
  EXPECT_EQ(idCount("idcntx"), 1);
  EXPECT_EQ(idCount("idcn"), 1);
  for (const std::string &id : ids) EXPECT_EQ(idDestroy(id.c_str()), 1);
  EXPECT_EQ(idCount("idcnt"), 0);
}

struct Visits {
  std::vector<std::string> seen;
  bool destroy = false;
};

void visit(const char *id, void *argument) {
  auto *visits = static_cast<Visits *>(argument);
  visits->seen.emplace_back(id);
  if (visits->destroy) idDestroy(id);
}

TEST_F(IdTest, ForEachVisitsEachMatchingIdOnceEvenWhenDestroying) {
  int object = 0;
  std::set<std::string> created;
  for (int i = 0; i < 12; ++i) created.insert(idCreate("idfe", &object));
  const std::string other(idCreate("idfex", &object));
  // Owners free their objects from inside the walk; every identifier is still visited once.
  for (bool destroy : {false, true}) {
    Visits visits;
    visits.destroy = destroy;
    idForEach("idfe", visit, &visits);
    EXPECT_EQ(std::set<std::string>(visits.seen.begin(), visits.seen.end()), created);
    EXPECT_EQ(visits.seen.size(), created.size());
  }
  EXPECT_EQ(idCount("idfe"), 0);
  EXPECT_EQ(idCount("idfex"), 1);
  idForEach("idfe", nullptr, nullptr);
  idForEach(nullptr, visit, nullptr);
  EXPECT_EQ(idDestroy(other.c_str()), 1);
}

// A prefix ending in a digit runs into another prefix's numbers (idclash1 + 1 = idclash11); the
// identifier already taken must not be handed to a second object.
TEST_F(IdTest, CreateNeverReusesAnIdentifierThatIsTaken) {
  int first = 0, second = 0;
  const std::string taken(idCreate("idclash1", &first));
  ASSERT_EQ(taken, "idclash11");
  std::string last;
  for (int i = 0; i < 11; ++i) last = idCreate("idclash", &second);
  EXPECT_EQ(last, "idclash12");
  void *pointer = nullptr;
  ASSERT_EQ(idLookup("idclash", "idclash11", &pointer), 0);
  EXPECT_EQ(pointer, &first);
}

}  // namespace
