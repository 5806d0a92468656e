// Status records through the C interface: how severities read, the changed flag of defineStatus,
// and names that hold dots. Forwarding and module status are in tests/tcl/status.test.
#include <gtest/gtest.h>

#include <string>

#include "telvi/package.h"
#include "telvi/status.h"
#include "telvi/toe.h"

namespace {

class Status : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = toeCreate(nullptr, 0, nullptr);
    node_ = toeCreate(nullptr, 0, root_);
  }
  void TearDown() override {
    toeDestroy(node_);
    toeDestroy(root_);
  }
  std::string format(const char *severity) {
    Tcl_DString out;
    Tcl_DStringInit(&out);
    formatStatus(node_, "c", severity, &out);
    std::string text = Tcl_DStringValue(&out);
    Tcl_DStringFree(&out);
    return text;
  }
  std::string list() {
    Tcl_DString out;
    Tcl_DStringInit(&out);
    getStatusList(node_, &out);
    std::string text = Tcl_DStringValue(&out);
    Tcl_DStringFree(&out);
    return text;
  }
  toe *root_ = nullptr, *node_ = nullptr;
};

TEST_F(Status, SeverityAboveZeroRaisesAndWordsCountAsOne) {
  std::string id = toeGetId(node_);
  EXPECT_EQ(format("3"), "{3 " + id + " c}");
  EXPECT_EQ(format(" 2.5x"), "{{ 2.5x} " + id + " c}");
  EXPECT_EQ(format("high"), "{high " + id + " c}");
  EXPECT_EQ(format(""), "{{} " + id + " c}");
  EXPECT_EQ(format("0"), "");
  EXPECT_EQ(format("-4"), "");
  EXPECT_EQ(format("1e-50"), "");  // below the smallest single-precision value
  EXPECT_EQ(format("nan"), "");
}

TEST_F(Status, SortingComparesLeadingNumbersAsSinglePrecision) {
  EXPECT_EQ(statusCompare("5 toe1 a", "10 toe1 b"), -1);
  EXPECT_EQ(statusCompare("10 toe1 b", "5 toe1 a"), 1);
  EXPECT_EQ(statusCompare("high x y", "0"), 0);
  EXPECT_EQ(statusCompare("1.00000001", "1"), 0);
}

TEST_F(Status, DefineReportsChangesAndRemovesWithAnEmptyList) {
  EXPECT_EQ(defineStatus(node_, "a.b", "{1 x y}"), 1);  // a name with a dot is a key, not a path
  EXPECT_EQ(defineStatus(node_, "a.b", "{1 x y}"), 0);
  EXPECT_EQ(list(), "{1 x y} ");
  EXPECT_EQ(defineStatus(node_, "a.b", ""), 1);
  EXPECT_EQ(defineStatus(node_, "a.b", ""), 1);  // an absent entry counts as changed
  EXPECT_EQ(list(), "");
}

}  // namespace
