// Package "source": the library's own `source` and `info`. They give scripts what the interpreter's
// commands of the same names give, by forwarding to those commands, kept under ::telvi::original.
#include "pkg/command.h"
#include "pkg/forward.h"
#include "telvi/package.h"

namespace {

constexpr const char *kSavedSource = "::telvi::original::source";
constexpr const char *kSavedInfo = "::telvi::original::info";

int cmdSource(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  return telvi::forwardCommand(interp, kSavedSource, argc, argv);
}

int cmdInfo(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  return telvi::forwardCommand(interp, kSavedInfo, argc, argv);
}

}  // namespace

extern "C" int Source_InitInternal(Tcl_Interp *interp) {
  if (Tcl_FindNamespace(interp, "::telvi::original", nullptr, 0) == nullptr &&
      Tcl_CreateNamespace(interp, "::telvi::original", nullptr, nullptr) == nullptr)
    return TCL_ERROR;
  int code = telvi::replaceCommand(interp, "::source", kSavedSource, cmdSource);
  if (code == TCL_OK) code = telvi::replaceCommand(interp, "::info", kSavedInfo, cmdInfo);
  return code;
}
