// The `interface` command of package "interface", for packages that extend it: a later package that
// handles sub-commands of its own (binary reads and writes into the bob store) registers `interface`
// again and hands every other sub-command, unchanged, to cmdInterface.
#ifndef TELVI_IO_INTERFACE_CMDS_H
#define TELVI_IO_INTERFACE_CMDS_H

#include <tcl.h>

namespace telvi::io {

int cmdInterface(ClientData clientData, Tcl_Interp *interp, int argc, const char *argv[]);

// The interface descriptor behind a channel that `interface open` or `interface accept` made; false
// (with "bad interface descriptor: <name>" as the result) for any other name.
bool channelInterface(Tcl_Interp *interp, const char *name, int *fd);

}  // namespace telvi::io

#endif
