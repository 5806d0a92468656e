// Helpers shared by the command procedures of every package.
#ifndef TELVI_PKG_COMMAND_H
#define TELVI_PKG_COMMAND_H

#include <tcl.h>

#include <initializer_list>

#include "interp/layer.h"

namespace telvi {

// One command of a package: registered with Tcl_CreateCommand under its name.
struct Command {
  const char *name;
  Tcl_CmdProc *proc;
  ClientData clientData = nullptr;
};

// Registers the commands in order; a later registration of a name replaces the earlier one.
inline void createCommands(Tcl_Interp *interp, std::initializer_list<Command> commands) {
  for (const Command &command : commands)
    interp::quickenStringCommand(Tcl_CreateCommand(interp, command.name, command.proc, command.clientData, nullptr));
}

// The texts, in order, as the error result.
template <typename... Texts>
int fail(Tcl_Interp *interp, const Texts *...texts) {
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, texts..., static_cast<const char *>(nullptr));
  return TCL_ERROR;
}

// "usage: " + the command as called + a synopsis that carries its own leading blank, if any.
inline int usageSuffix(Tcl_Interp *interp, const char *command, const char *suffix) {
  return fail(interp, "usage: ", command, suffix);
}

// "usage: <command as called> <synopsis>" as the error result.
inline int usage(Tcl_Interp *interp, const char *command, const char *synopsis) {
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, "usage: ", command, " ", synopsis, nullptr);
  return TCL_ERROR;
}

}  // namespace telvi

#endif
