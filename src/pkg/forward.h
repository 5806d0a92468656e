// Forwarding a string-based command to a Tcl command saved under another name.
#ifndef TELVI_PKG_FORWARD_H
#define TELVI_PKG_FORWARD_H

#include <tcl.h>

namespace telvi {

// Moves the interpreter's own command `name` aside to `saved` (once: a second call keeps the first
// saved command) and registers proc under `name`.
int replaceCommand(Tcl_Interp *interp, const char *name, const char *saved, Tcl_CmdProc *proc);

// Runs the saved command with the words as given, so that its messages name the command as called.
int forwardCommand(Tcl_Interp *interp, const char *saved, int argc, const char *argv[]);

}  // namespace telvi

#endif
