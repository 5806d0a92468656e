// The `interface` command of package "interface", for packages that extend it: a later package that
// handles sub-commands of its own (binary reads and writes into the bob store) registers `interface`
// again and hands every other sub-command, unchanged, to cmdInterface.
#ifndef TELVI_IO_INTERFACE_CMDS_H
#define TELVI_IO_INTERFACE_CMDS_H

#include <tcl.h>

#include <string>

namespace telvi::io {

int cmdInterface(ClientData clientData, Tcl_Interp *interp, int argc, const char *argv[]);

// The interface descriptor behind a channel that `interface open` or `interface accept` made; false
// (with "bad interface descriptor: <name>" as the result) for any other name.
bool channelInterface(Tcl_Interp *interp, const char *name, int *fd);

// For channel types over descriptors (writeFd -1 when there is none, or fd itself when one
// descriptor does both): watches the events in mask with the ready handler, and gives the
// descriptor of a direction.
// A mask of 0 stops watching.
void watchDescriptors(int fd, int writeFd, int mask, Tcl_FileProc *ready, ClientData data);
int descriptorHandle(int fd, int writeFd, int direction, ClientData *handle);
void setDescriptorsNonBlocking(int fd, int writeFd, bool on);
// Raw bytes from the interface for a channel's input procedure, and to it for its output procedure.
int channelInput(int fd, char *buf, int size, int *errorCode);
int channelOutput(int writeFd, const char *buf, int size, int *errorCode);

// Creates a channel of type over instance with the modes in mask, registers it in interp and makes
// its name the result; nullptr, with the result untouched, when Tcl refuses it.
Tcl_Channel registerChannel(Tcl_Interp *interp, const Tcl_ChannelType *type, const std::string &name,
                            ClientData instance, int mask);
// "<what> "<name>": <errno text>" as the error result of a failed read or write on a channel.
int systemError(Tcl_Interp *interp, const char *what, const char *name);

}  // namespace telvi::io

#endif
