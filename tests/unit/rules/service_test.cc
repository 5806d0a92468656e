// The service mechanism's C interface: what the commands hide from scripts (substitution codes and
// the fault text left in the output, the raw return codes of the parameter stack, the resolution
// cache as the data tree sees it). Script-level behaviour is in tests/tcl/service.test.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "telvi/package.h"
#include "telvi/service.h"
#include "telvi/toe.h"

namespace {

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    interp_ = Tcl_CreateInterp();
    ASSERT_EQ(Telvi_Init(interp_), TCL_OK);
    root_ = toeCreate(nullptr, 0, nullptr);
    node_ = toeCreate(nullptr, 0, root_);
    other_ = toeCreate(nullptr, 0, nullptr);
  }
  void TearDown() override {
    toeDestroy(node_);
    toeDestroy(root_);
    if (other_ != nullptr) toeDestroy(other_);
    Tcl_DeleteInterp(interp_);
  }
  // The code of substituteParams on the node and what it left in the output.
  std::pair<int, std::string> substitute(const std::string &text, const char *paramcmd = nullptr) {
    Tcl_DString out;
    Tcl_DStringInit(&out);
    int code = substituteParams(interp_, node_, text.c_str(), &out, paramcmd);
    std::string written(Tcl_DStringValue(&out), static_cast<size_t>(Tcl_DStringLength(&out)));
    Tcl_DStringFree(&out);
    return {code, written};
  }
  std::string param(const std::string &name) {
    const char *text = toeLookupString(node_, 0, "serviceparam", name.c_str());
    return text != nullptr ? text : "<none>";
  }
  Tcl_Interp *interp_ = nullptr;
  toe *root_ = nullptr, *node_ = nullptr, *other_ = nullptr;
};

using Result = std::pair<int, std::string>;

TEST_F(Service, SubstitutionCountsParametersOrLeavesOnlyTheFault) {
  setParameter(interp_, node_, "a", "1");
  setParameter(interp_, node_, "b", "x y");
  EXPECT_EQ(substitute("get %a %b %% %[list q]"), Result(3, "get 1 {x y} % q"));
  EXPECT_EQ(substitute("get %c", "string toupper"), Result(1, "get C"));
  EXPECT_EQ(substitute("get %a %[x", "null"), Result(0, "get %a %[x"));
  EXPECT_EQ(substitute("no params"), Result(0, "no params"));

  // On failure the output holds the name or text at fault, not the text substituted so far.
  EXPECT_EQ(substitute("get %a %missing"), Result(-2, "missing"));
  EXPECT_EQ(substitute("get %missing", "error no"), Result(-2, "missing"));
  EXPECT_EQ(substitute("get %a %[set"), Result(-1, "set"));
  EXPECT_EQ(substitute("get %{row name"), Result(-1, "row name"));
  EXPECT_EQ(substitute("get %[error e] %a"), Result(-3, "error e"));
}

TEST_F(Service, PushStopsAtTheStackLimitWithoutChangingTheValue) {
  for (int i = 1; i <= 31; ++i) ASSERT_EQ(pushParameter(interp_, node_, "x", std::to_string(i).c_str()), 0) << i;
  EXPECT_EQ(pushParameter(interp_, node_, "x", "32"), -1);
  EXPECT_EQ(param("x"), "31");
  EXPECT_EQ(param(std::string(30, '#') + "x"), "1");
  EXPECT_EQ(param(std::string(31, '#') + "x"), "<none>");
  EXPECT_EQ(popParameter(interp_, node_, "x"), 0);
  EXPECT_EQ(param("x"), "30");
  EXPECT_EQ(param(std::string(30, '#') + "x"), "<none>");

  std::string name31(31, 'k');  // defining needs no stack, pushing below it would
  EXPECT_EQ(pushParameter(interp_, node_, name31.c_str(), "1"), 0);
  EXPECT_EQ(pushParameter(interp_, node_, name31.c_str(), "2"), -1);
  EXPECT_EQ(popParameter(interp_, node_, "absent"), 0);
}

TEST_F(Service, ResolutionIsCachedUnderRawKeys) {
  EXPECT_EQ(getService(interp_, node_, "snmp", ""), node_);
  EXPECT_STREQ(toeLookupString(node_, 0, "service", "snmp()"), toeGetId(node_));

  // A subspec that is an OID: the keys are taken as they are, not as paths to other objects.
  toeRawDefine(node_, "value", "pService(1.3.6.1)", nullptr, "_superior");
  EXPECT_EQ(getService(interp_, node_, "p", "1.3.6.1"), root_);
  toeRawDefine(node_, "value", "pService(1.3.6.1)", nullptr, "_self");
  EXPECT_EQ(getService(interp_, node_, "p", "1.3.6.1"), root_);
  ASSERT_NE(toeRawLookup(node_, 0, "service", "p(1.3.6.1)"), nullptr);
  toeRawDefine(node_, "value", "getMethod(1.3.6.1)", nullptr, "set ::hit yes");
  EXPECT_EQ(triggerMethod(interp_, node_, "get", "1.3.6.1", "", nullptr), TCL_OK);
  EXPECT_STREQ(Tcl_GetStringResult(interp_), "yes");

  // A cached object that has gone away is no service, and stays so until the cache is cleared.
  toeRawDefine(node_, "value", "eService", nullptr, toeGetId(other_));
  EXPECT_EQ(getService(interp_, node_, "e", ""), other_);
  toeDestroy(other_);
  other_ = nullptr;
  EXPECT_EQ(getService(interp_, node_, "e", ""), nullptr);
  toeRawDefine(node_, "value", "eService", nullptr, "_self");
  EXPECT_EQ(getService(interp_, node_, "e", ""), nullptr);
  toeUndefineSlice(node_, "service");
  EXPECT_EQ(getService(interp_, node_, "e", ""), node_);
}

}  // namespace
