// The rule engine's C interface: the comparison family at the edges of each type, and a file-scan
// rule driven by the log scanner through ruleFire, the way a host module of the agent feeds it.
// Script-level behaviour is in tests/tcl/rule.test and tests/tcl/alarm.test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <unistd.h>

#include "../test_support.h"
#include "telvi/lof.h"
#include "telvi/package.h"
#include "telvi/rule.h"
#include "telvi/toe.h"

namespace {

TEST(RuleCompare, OperatorsByTypeAndTheirEdges) {
  // Only the first two characters of the operator count; anything else does not apply.
  EXPECT_EQ(checkAlarmInt(nullptr, "gtx", 2, 1), 1);
  EXPECT_EQ(checkAlarmInt(nullptr, "g", 2, 1), -1);
  EXPECT_EQ(checkAlarmInt(nullptr, "rx", 2, 1), -1);
  EXPECT_EQ(checkAlarmInt(nullptr, "lt", -1, 0), 1);
  EXPECT_EQ(checkAlarmUint(nullptr, "gt", 0xFFFFFFFFu, 0), 1);
  EXPECT_EQ(checkAlarmLong(nullptr, "ge", INT32_MIN, INT32_MIN), 1);
  EXPECT_EQ(checkAlarmUlongLong(nullptr, "gt", UINT64_MAX, UINT64_MAX - 1), 1);
  EXPECT_EQ(checkAlarmLongLong(nullptr, "le", INT64_MIN, 0), 1);
  EXPECT_EQ(checkAlarmShort(nullptr, "ne", -1, 1), 1);
  EXPECT_EQ(checkAlarmChar(nullptr, "lt", -128, 127), 1);
  // Floating types: ge and le are false when either side is not a number.
  double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(checkAlarmDouble(nullptr, "ge", nan, 1.0), 0);
  EXPECT_EQ(checkAlarmDouble(nullptr, "le", 1.0, nan), 0);
  EXPECT_EQ(checkAlarmDouble(nullptr, "ne", nan, nan), 1);
  EXPECT_EQ(checkAlarmFloat(nullptr, "eq", 0.1f, 0.1f), 1);
  // Texts: byte order, no ge or le, regular expressions.
  EXPECT_EQ(checkAlarmString(nullptr, "gt", "b", "a"), 1);
  EXPECT_EQ(checkAlarmString(nullptr, "lt", "B", "a"), 1);
  EXPECT_EQ(checkAlarmString(nullptr, "ge", "b", "a"), -1);
  EXPECT_EQ(checkAlarmString(nullptr, "le", "b", "a"), -1);
  EXPECT_EQ(checkAlarmString(nullptr, "rx", "disk 97% full", "[0-9]+% full$"), 1);
  EXPECT_EQ(checkAlarmString(nullptr, "rx", "ok", "^(fail"), -1);
}

// A node with a file-scan rule "scan": the rule procedure and the agent's writeEvent and
// refreshValue record into the variable "calls"; refreshValue refreshes the rule as the node's
// limit check would.
class FileScanRule : public ::testing::Test {
 protected:
  void SetUp() override {
    interp_ = Tcl_CreateInterp();
    ASSERT_EQ(Telvi_Init(interp_), TCL_OK);
    node_ = toeCreate(nullptr, 0, nullptr);
    ASSERT_EQ(Tcl_Eval(interp_, R"(
      set calls {}
      proc scan {action rule row index matches} {
        if {$action ne "init"} { lappend ::calls [list $action [llength $matches]] }
        if {$action eq "open"} { return "log-error" }
        return ""
      }
      proc writeEvent {type rule row status} { lappend ::calls [list $type $status]; return }
      proc refreshValue {} { lappend ::calls [list status [ruleFire refresh scan]]; return }
    )"),
              TCL_OK);
    ASSERT_NE(toeRawDefine(node_, "rule-fs", "scan", nullptr, "ERR"), nullptr);
    std::ofstream(path_) << "ERR before the scan\n";
  }
  void TearDown() override {
    toeDestroy(node_);
    Tcl_DeleteInterp(interp_);
  }
  void append(const std::string &text) { std::ofstream(path_, std::ios::app) << text; }
  std::string calls() {
    std::string text = Tcl_GetVar(interp_, "calls", TCL_GLOBAL_ONLY);
    Tcl_SetVar(interp_, "calls", "", TCL_GLOBAL_ONLY);
    return text;
  }

  // The scanner's lines of one check, as one match list handed to the rule.
  static void collect(LofScanner *, const char *line, void *self) {
    std::string text = line;
    while (!text.empty() && text.back() == '\n') text.pop_back();
    Tcl_DStringAppendElement(static_cast<FileScanRule *>(self)->scanner_matches_, text.c_str());
  }
  int scanOnce(LofScanner *scanner) {
    Tcl_DString matches;
    Tcl_DStringInit(&matches);
    scanner_matches_ = &matches;
    int found = lofscan_check(scanner, 100, 100);
    int code = TCL_OK;
    if (found > 0) {
      toePushContext(interp_, node_, node_);
      code = ruleFire(interp_, node_, RULE_FIRE_FS, "scan", "", "0", Tcl_DStringValue(&matches));
      toePopContext(interp_);
    }
    Tcl_DStringFree(&matches);
    return code;
  }

  Tcl_Interp *interp_ = nullptr;
  toe *node_ = nullptr;
  testsupport::TempDir folder_;
  std::string path_ = folder_.file("messages");
  Tcl_DString *scanner_matches_ = nullptr;
};

TEST_F(FileScanRule, NewMatchesOpenThenContinueAndRefreshesWithoutMatchesKeepTheCondition) {
  LofScanner *scanner = lofscan_open(path_.c_str(), "ERR", 0, collect, this);
  ASSERT_NE(scanner, nullptr);

  // The line written before the scanner opened is not news.
  EXPECT_EQ(scanOnce(scanner), TCL_OK);
  EXPECT_EQ(calls(), "");

  append("ERR disk one\nall well\n");
  ASSERT_EQ(scanOnce(scanner), TCL_OK);
  EXPECT_EQ(calls(), "{open 1} {O log-error} {status log-error}");
  EXPECT_EQ(getRuleState(node_, "scan", ""), RULE_STATE_OPEN);
  EXPECT_EQ(toeRawLookup(node_, 0, "rule-match", "scan"), nullptr);

  append("ERR disk two\nERR disk three\n");
  ASSERT_EQ(scanOnce(scanner), TCL_OK);
  EXPECT_EQ(calls(), "{continue 2} {status log-error}");
  EXPECT_EQ(getRuleState(node_, "scan", ""), RULE_STATE_CONTINUE);

  // A refresh of the node with no match in between: no news, the condition stays.
  toePushContext(interp_, node_, node_);
  EXPECT_EQ(ruleFire(interp_, node_, RULE_FIRE_REFRESH, "scan", nullptr, nullptr, nullptr), TCL_OK);
  EXPECT_STREQ(Tcl_GetStringResult(interp_), "log-error");
  toePopContext(interp_);
  EXPECT_EQ(calls(), "");
  EXPECT_TRUE(ruleActive(node_, "scan", ""));
  EXPECT_STREQ(getRuleCond(node_, "scan", ""), "log-error");
  lofscan_close(scanner);
}

}  // namespace
