// Package "pkg": `pkgloadbin`, the interpreter's `package unknown` handler. A package of this library
// is first looked for among the code already in the process (`load "" name`), then as the file
// pkg<name>.so.<version>; a package from elsewhere (tcltest, say) goes on to the handler that was
// installed before.
#include <string>

#include "pkg/command.h"
#include "telvi/package.h"

namespace {

constexpr const char *kAssocKey = "telvi:pkgloadbin";

// Per interpreter: the `package unknown` script that was in place before pkgloadbin.
struct LoaderState {
  std::string previous;
};

void deleteState(ClientData data, Tcl_Interp *) { delete static_cast<LoaderState *>(data); }

LoaderState *loaderState(Tcl_Interp *interp) {
  return static_cast<LoaderState *>(Tcl_GetAssocData(interp, kAssocKey, nullptr));
}

// Evaluates the words as one command (no second round of substitution, whatever the name holds).
int evalWords(Tcl_Interp *interp, std::initializer_list<const char *> words, Tcl_Obj *prefix = nullptr) {
  Tcl_Obj *command = prefix != nullptr ? Tcl_DuplicateObj(prefix) : Tcl_NewListObj(0, nullptr);
  Tcl_IncrRefCount(command);
  for (const char *word : words) Tcl_ListObjAppendElement(nullptr, command, Tcl_NewStringObj(word, -1));
  int code = Tcl_EvalObjEx(interp, command, 0);
  Tcl_DecrRefCount(command);
  return code;
}

// The version part of the file name. Tcl 8.6 passes a requirement rather than a version: "0-" when
// the script asked for any version (the file name then ends in the dot), "1.0-1.0" for an exact one.
std::string fileVersion(const std::string &requirement) {
  if (requirement == "0-") return "";
  return requirement.substr(0, requirement.find('-'));
}

bool provided(Tcl_Interp *interp, const char *name) {
  bool present = Tcl_PkgPresent(interp, name, nullptr, 0) != nullptr;
  Tcl_ResetResult(interp);
  return present;
}

// Is any version of the package provided or announced (package ifneeded) now?
bool packageKnown(Tcl_Interp *interp, const char *name) {
  if (provided(interp, name)) return true;
  if (evalWords(interp, {"package", "versions", name}) != TCL_OK) return false;
  int length = 0;
  bool known = Tcl_ListObjLength(nullptr, Tcl_GetObjResult(interp), &length) == TCL_OK && length > 0;
  Tcl_ResetResult(interp);
  return known;
}

// A load counts when it provided the package: `load "" telvi` runs Telvi_Init, which registers every
// command but provides no package name, so the request goes on (to pkgIndex.tcl's "telvi").
bool loaded(Tcl_Interp *interp, int code, const char *name) {
  if (code != TCL_OK) return false;
  if (provided(interp, name)) return true;
  Tcl_AppendResult(interp, "can't find package ", name, nullptr);
  return false;
}

int cmdPkgloadbin(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return telvi::usage(interp, argv[0], "name version");
  const char *name = argv[1];
  int code = evalWords(interp, {"load", "", name});
  if (loaded(interp, code, name)) return TCL_OK;

  std::string file = std::string("pkg") + name + ".so." + fileVersion(argv[2]);
  code = evalWords(interp, {"load", file.c_str(), name});
  if (loaded(interp, code, name)) return TCL_OK;

  LoaderState *state = loaderState(interp);
  if (state == nullptr || state->previous.empty()) return TCL_ERROR;
  Tcl_Obj *loadError = Tcl_GetObjResult(interp);
  Tcl_IncrRefCount(loadError);
  Tcl_Obj *previous = Tcl_NewStringObj(state->previous.c_str(), -1);
  Tcl_IncrRefCount(previous);
  Tcl_ResetResult(interp);
  int previousCode = evalWords(interp, {name, argv[2]}, previous);
  Tcl_DecrRefCount(previous);
  if (previousCode == TCL_OK && packageKnown(interp, name)) {
    Tcl_DecrRefCount(loadError);
    return TCL_OK;
  }
  Tcl_SetObjResult(interp, loadError);
  Tcl_DecrRefCount(loadError);
  return TCL_ERROR;
}

}  // namespace

extern "C" int Pkg_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {{"pkgloadbin", cmdPkgloadbin}});
  if (loaderState(interp) == nullptr) {
    auto *state = new LoaderState;
    if (Tcl_Eval(interp, "package unknown") == TCL_OK) state->previous = Tcl_GetStringResult(interp);
    Tcl_ResetResult(interp);
    if (state->previous == "pkgloadbin") state->previous.clear();
    Tcl_SetAssocData(interp, kAssocKey, deleteState, state);
  }
  return Tcl_Eval(interp, "package unknown pkgloadbin");
}
