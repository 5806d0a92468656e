#include "pkg/forward.h"

#include <vector>

namespace telvi {

int replaceCommand(Tcl_Interp *interp, const char *name, const char *saved, Tcl_CmdProc *proc) {
  Tcl_CmdInfo info;
  if (!Tcl_GetCommandInfo(interp, saved, &info)) {
    // Keep the interpreter's own command reachable: Tcl's script library calls it.
    Tcl_Obj *rename = Tcl_NewListObj(0, nullptr);
    Tcl_IncrRefCount(rename);
    Tcl_ListObjAppendElement(nullptr, rename, Tcl_NewStringObj("rename", -1));
    Tcl_ListObjAppendElement(nullptr, rename, Tcl_NewStringObj(name, -1));
    Tcl_ListObjAppendElement(nullptr, rename, Tcl_NewStringObj(saved, -1));
    int code = Tcl_EvalObjEx(interp, rename, TCL_EVAL_GLOBAL);
    Tcl_DecrRefCount(rename);
    if (code != TCL_OK) return code;
  } else {
    Tcl_DeleteCommand(interp, name);
  }
  Tcl_CreateCommand(interp, name, proc, nullptr, nullptr);
  return TCL_OK;
}

int forwardCommand(Tcl_Interp *interp, const char *saved, int argc, const char *argv[]) {
  Tcl_CmdInfo info;
  if (!Tcl_GetCommandInfo(interp, saved, &info) || info.objProc == nullptr) {
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "invalid command name \"", saved, "\"", nullptr);
    return TCL_ERROR;
  }
  std::vector<Tcl_Obj *> objv;
  objv.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    objv.push_back(Tcl_NewStringObj(argv[i], -1));
    Tcl_IncrRefCount(objv.back());
  }
  int code = info.objProc(info.objClientData, interp, argc, objv.data());
  for (Tcl_Obj *obj : objv) Tcl_DecrRefCount(obj);
  return code;
}

}  // namespace telvi
