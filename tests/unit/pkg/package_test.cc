// The generic package entry: requirements first, then the package name, then the commands.
#include <gtest/gtest.h>

#include <string>

#include "package_table.h"
#include "telvi/package.h"

namespace {

int registrations = 0;
int countingInit(Tcl_Interp *interp) {
  ++registrations;
  Tcl_CreateCommand(interp, "probecmd", [](ClientData, Tcl_Interp *, int, const char **) { return TCL_OK; },
                    nullptr, nullptr);
  return TCL_OK;
}

struct Interp {
  Tcl_Interp *interp = Tcl_CreateInterp();
  ~Interp() { Tcl_DeleteInterp(interp); }
  bool has(const char *command) const {
    Tcl_CmdInfo info;
    return Tcl_GetCommandInfo(interp, command, &info) != 0;
  }
};

TEST(PackageInit, MissingRequirementRegistersNothing) {
  Interp tcl;
  Tcl_Eval(tcl.interp, "package unknown {}");
  const telvi::Package probe{99, "probepkg", "Probepkg", {"id", "nosuchrequirement"}, countingInit, nullptr};
  registrations = 0;
  ASSERT_EQ(Id_Init(tcl.interp), TCL_OK);  // the first requirement is there
  EXPECT_EQ(telvi::initPackage(tcl.interp, probe), TCL_ERROR);
  EXPECT_EQ(std::string(Tcl_GetStringResult(tcl.interp)), "can't find package nosuchrequirement 1.0");
  EXPECT_EQ(registrations, 0);
  EXPECT_FALSE(tcl.has("probecmd"));
  EXPECT_EQ(Tcl_PkgPresent(tcl.interp, "probepkg", nullptr, 0), nullptr);
}

TEST(PackageInit, RequiresProvidesThenRegisters) {
  Interp tcl;
  const telvi::Package probe{99, "probepkg", "Probepkg", {"id"}, countingInit, nullptr};
  registrations = 0;
  ASSERT_EQ(Pkg_Init(tcl.interp), TCL_OK);  // pkgloadbin finds "id" among the static packages
  EXPECT_EQ(telvi::initPackage(tcl.interp, probe), TCL_OK);
  EXPECT_EQ(registrations, 1);
  EXPECT_TRUE(tcl.has("probecmd"));
  EXPECT_TRUE(tcl.has("idnext"));
  EXPECT_STREQ(Tcl_PkgPresent(tcl.interp, "probepkg", "1.0", 0), "1.0");
}

}  // namespace
