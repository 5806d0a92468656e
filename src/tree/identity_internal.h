// Pieces of node identity that the command layer words itself (its messages name the command as
// called).
#ifndef TELVI_TREE_IDENTITY_INTERNAL_H
#define TELVI_TREE_IDENTITY_INTERNAL_H

#include <tcl.h>

#include <string>

#include "telvi/toe.h"

namespace telvi::identity {

bool is(const char *text, const char *expected);
const char *nonEmpty(const char *text);

// An OID arc: an integer within 0 .. 2^32-1, in decimal.
bool subidentifier(const char *text, std::string &subid);

// setMibNodeOid with messages that begin with the command's name.
int setOid(Tcl_Interp *interp, toe *node, const char *command, const char *contextName);

// Copies the superior's module root into the node: 0 with *root the value (null when the superior
// has none and nothing was stored), -1 when the store failed.
int setRoot(toe *node, const char **root);

}  // namespace telvi::identity

#endif
