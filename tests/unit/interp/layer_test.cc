// The object-aware interpreter layer seen from C: methods made by toeCreateCommand, resolution as
// the context changes, and objects that outlive their interpreter.
#include <gtest/gtest.h>

#include <string>

#include "telvi/id.h"
#include "telvi/package.h"
#include "telvi/toe.h"

namespace {

int answer(ClientData clientData, Tcl_Interp *interp, int, const char *[]) {
  Tcl_SetResult(interp, static_cast<char *>(clientData), TCL_STATIC);
  return TCL_OK;
}

std::string eval(Tcl_Interp *interp, const char *script) {
  int code = Tcl_Eval(interp, script);
  return (code == TCL_OK ? "" : "error: ") + std::string(Tcl_GetStringResult(interp));
}

bool alive(const std::string &id) {
  void *pointer = nullptr;
  return idLookup("toe", id.c_str(), &pointer) == 0 && pointer != nullptr;
}

TEST(Layer, LibraryCommandsBecomeMethodsInObjectContext) {
  Tcl_Interp *interp = Tcl_CreateInterp();
  Telvi_Init(interp);
  toe *a = toeCreate(nullptr, 0, nullptr);
  toe *b = toeCreate(&a, 1, nullptr);
  toePushContext(interp, a, a);
  toeCreateCommand(interp, "whoami", answer, const_cast<char *>("a"), nullptr);
  toePopContext(interp);
  toeCreateCommand(interp, "whoami", answer, const_cast<char *>("global"), nullptr);

  EXPECT_EQ(eval(interp, "proc ask {} { whoami }; ask"), "global");
  toePushContext(interp, b, b);
  EXPECT_EQ(eval(interp, "ask"), "a");  // inherited from the parent; the compiled proc sees it
  toePopContext(interp);
  EXPECT_EQ(eval(interp, "ask"), "global");
  ASSERT_NE(a->methods, nullptr);
  EXPECT_NE(Tcl_FindHashEntry(a->methods, "whoami"), nullptr);

  toeCleanOutObject(interp, a);
  toePushContext(interp, b, b);
  EXPECT_EQ(eval(interp, "ask"), "global");
  toePopContext(interp);

  toeDestroy(b);
  toeDestroy(a);
  Tcl_DeleteInterp(interp);
}

TEST(Layer, ObjectsOutliveTheirInterpreter) {
  Tcl_Interp *interp = Tcl_CreateInterp();
  Telvi_Init(interp);
  toe *kept = toeCreate(nullptr, 0, nullptr);
  std::string keptId = kept->id;
  toe *framed = toeCreate(nullptr, 0, nullptr);
  std::string framedId = framed->id;
  std::string script = std::string("toe_send ") + keptId + " {proc m {} {return kept}}";
  EXPECT_EQ(eval(interp, script.c_str()), "");
  toePushContext(interp, framed, framed);
  toeDestroy(framed);  // held by the frame until the interpreter goes
  Tcl_DeleteInterp(interp);
  EXPECT_FALSE(alive(framedId));
  EXPECT_TRUE(alive(keptId));
  EXPECT_EQ(kept->methods, nullptr);  // its methods went with the interpreter
  toeDestroy(kept);
  EXPECT_FALSE(alive(keptId));
}

}  // namespace
