/*
 * Node identity, modules and node attributes: a node's kind, its place in the MIB tree ("internal"
 * "subid" and "fulloid", the superior's slice "oid" from sub-identifier to child), the module it
 * belongs to ("internal" "moduleroot") with the module's parameters (slice "param" of the root) and
 * context name, and the path, host and port attributes the agent's refreshes use.
 *
 * Strings returned point into the nodes' values and stay valid until the value changes; the
 * caller frees none of them. Functions that evaluate scripts leave their result or message in the
 * interpreter.
 */
#ifndef TELVI_IDENTITY_H
#define TELVI_IDENTITY_H

#include <tcl.h>
#include "api.h"
#include "toe.h"

TELVI_BEGIN_DECLS

/* 1 when the node's "value" "nodeType" (default "leaf") is "leaf" / "branch"; a table branch is a
 * branch whose own "internal" "childdimension" is "vector". */
TELVI_API int mibnodeIsLeaf(toe *node);
TELVI_API int mibnodeIsBranch(toe *node);
TELVI_API int mibnodeIsTableBranch(toe *node);

/* Assigns the node's sub-identifier ("value" "oid" when it is an integer, else the answer of the
 * agent's "getOidPreference <full name>" in the MIB peer's context), records it on the node and its
 * superior, builds the full OID and registers "<contextName>/<full OID> <id>" with the agent's
 * "registerName". TCL_OK with the full OID as the result, or TCL_ERROR with the message. */
TELVI_API int mibnodeSetOid(Tcl_Interp *interp, toe *node, const char *contextName);

/* Copies the superior's "internal" "moduleroot" into the node: the value, or null when there is
 * none (nothing stored). */
TELVI_API const char *moduleSetRoot(toe *node);
/* The module parameter: "param" <name> on the module root, or on the node itself when it belongs to
 * no module; null when unset or the root does not resolve. */
TELVI_API const char *moduleGetParam(toe *node, const char *name);
/* The module parameter "instance", else "internal" "contextName" of the node or a superior, else "". */
TELVI_API const char *moduleGetContextName(toe *node);

/* Appends the node's path to out (initialised by the caller): "<modspec>/" when "modspec" is set,
 * then "<refreshOidPrefix>." when that is non-empty. */
TELVI_API void nodemacroGetPath(toe *node, Tcl_DString *out);
/* "refreshHost" / "refreshPort" of the node or its parents, else "agentHost" / "agentPort" of the
 * node, its parents or superiors, else "". */
TELVI_API const char *nodemacroGetHost(toe *node);
TELVI_API const char *nodemacroGetPort(toe *node);

TELVI_END_DECLS

#endif
