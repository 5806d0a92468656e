/*
 * Status lists of the managed-object tree. A status record is the Tcl list {severity id name}: the
 * severity as given (larger is worse), the identifier of the node that holds the condition and the
 * condition's name. A node keeps one entry per source in its slice "status" (its own conditions as
 * one-record lists, each child's whole sorted list under the child's name), its sorted list in
 * "internal" "status", and forwards that list to its superior whenever it changes, so every branch
 * shows the worst conditions below it. A module root may impose one status ("internal"
 * "modulestatus") on the nodes of its module.
 *
 * The functions that evaluate scripts leave their result or error message in the interpreter.
 */
#ifndef TELVI_STATUS_H
#define TELVI_STATUS_H

#include <tcl.h>
#include "api.h"
#include "toe.h"

TELVI_BEGIN_DECLS

/* Appends to out (initialised by the caller) the one-record list {{severity id name}} when the
 * severity read as a number is above 0 (a text that is no number counts as 1), else nothing. */
TELVI_API void formatStatus(toe *node, const char *name, const char *severity, Tcl_DString *out);

/* Formats the record and defines "status" <name> with it, or removes that entry when the record is
 * empty. The record is the result. TCL_OK, or TCL_ERROR when the entry cannot be stored. */
TELVI_API int setStatus(Tcl_Interp *interp, toe *node, const char *name, const char *severity);

/* Defines "status" <name> = list (an empty list removes the entry): 1 when that changed the entry
 * (it was absent or different), 0 when not, -1 when it could not be stored. */
TELVI_API int defineStatus(toe *node, const char *name, const char *list);

/* Sorts the node's records by decreasing severity; when the sorted list differs from the one stored,
 * stores it with a time stamp, calls "informDependencies status", runs the "status" actions and
 * forwards the list to the superior. TCL_OK with the sorted list as the result, or the first error. */
TELVI_API int confirmStatus(Tcl_Interp *interp, toe *node);

/* defineStatus, then confirmStatus when the entry changed. Always TCL_OK. */
TELVI_API int setNodeStatus(Tcl_Interp *interp, toe *node, const char *name, const char *list);

/* setNodeStatus on the node's superior (nothing without one). Always TCL_OK. */
TELVI_API int forwardStatus(Tcl_Interp *interp, toe *node, const char *name, const char *list);

/* The status that the node's module imposes on it, or null: the module root's "internal"
 * "modulestatus", unless the node has "value" "override_modulestatus". Owned by the root's value. */
TELVI_API const char *getModuleStatus(toe *node);

/* Sets (non-empty) or removes (empty) the module status on the node's module root: 0, or -1 when
 * the node has no module root that resolves (nothing stored). */
TELVI_API int setModuleStatus(toe *node, const char *status);

/* Appends the node's unsorted records to out (initialised by the caller): the module status alone
 * when one applies and the node is not a vector, else the entries of "status" in order. */
TELVI_API void getStatusList(toe *node, Tcl_DString *out);

/* Compares two status records (or severities) by their leading number: 1, -1 or 0. */
TELVI_API int statusCompare(const char *a, const char *b);

TELVI_END_DECLS

#endif
