// Package "expr64": `expr64` and `incr64`, expressions and counters with 64-bit integers.
#include <string>

#include "pkg/command.h"
#include "telvi/expr64.h"
#include "telvi/package.h"

namespace {

int cmdExpr64(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 2) {
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "wrong # args: should be \"", argv[0], " arg ?arg ...?\"", nullptr);
    return TCL_ERROR;
  }
  std::string expression = argv[1];
  for (int i = 2; i < argc; ++i) expression += std::string(" ") + argv[i];
  return Tcl_ExprString64(interp, expression.c_str());
}

// Reads one integer word of incr64; on failure the message names the word and where it came from.
bool readInteger(Tcl_Interp *interp, const char *text, const char *context, long long &value) {
  int code = expr64ParseInteger(text, &value);
  if (code == 0) return true;
  Tcl_ResetResult(interp);
  if (code == -2) {
    Tcl_AppendResult(interp, "integer value too large to represent", nullptr);
    Tcl_SetErrorCode(interp, "ARITH", "IOVERFLOW", "integer value too large to represent", nullptr);
  } else {
    Tcl_AppendResult(interp, "expected integer but got \"", text, "\"", nullptr);
  }
  Tcl_AddErrorInfo(interp, context);
  return false;
}

int cmdIncr64(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2 && argc != 3) {
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "wrong # args: should be \"", argv[0], " varName ?increment?\"", nullptr);
    return TCL_ERROR;
  }
  const char *old = Tcl_GetVar(interp, argv[1], TCL_LEAVE_ERR_MSG);
  if (old == nullptr) return TCL_ERROR;
  long long value, increment = 1;
  if (!readInteger(interp, old, "\n    (reading value of variable to increment)", value)) return TCL_ERROR;
  if (argc == 3 && !readInteger(interp, argv[2], "\n    (reading increment)", increment)) return TCL_ERROR;
  value = static_cast<long long>(static_cast<unsigned long long>(value) + static_cast<unsigned long long>(increment));
  std::string text = std::to_string(value);
  const char *stored = Tcl_SetVar(interp, argv[1], text.c_str(), TCL_LEAVE_ERR_MSG);
  if (stored == nullptr) return TCL_ERROR;
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, stored, nullptr);
  return TCL_OK;
}

}  // namespace

extern "C" int Expr64_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {{"expr64", cmdExpr64}, {"incr64", cmdIncr64}});
  return TCL_OK;
}
