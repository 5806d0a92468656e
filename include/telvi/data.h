/*
 * Data nodes: the objects of the managed-object tree as holders of values. A node's configuration
 * lives in slice "value" (normally inherited), its run-time state in "internal", its values in
 * "data" (a scalar under the row index given, a vector under "1".."n"), explicit row names in
 * "nameByIndex".
 *
 * The strings returned point into the nodes' values (or are the index passed in, or a constant) and
 * stay valid until the value changes; none is freed by the caller.
 */
#ifndef TELVI_DATA_H
#define TELVI_DATA_H

#include <tcl.h>
#include "api.h"
#include "toe.h"

TELVI_BEGIN_DECLS

/* The row's name: "nameByIndex" <index>, else the name column's value at the index, else the index
 * itself ("" for "0"). A column leaf answers for its table branch. Never null. */
TELVI_API const char *getRowName(toe *node, const char *index);
/* The row's description from the description column, else its name. Never null. */
TELVI_API const char *getRowDesc(toe *node, const char *index);
/* The text stored at "data" <index> on the node itself, or null. */
TELVI_API const char *getRawValue(toe *node, const char *index);
/* The node's dimension (its superior's "childDimension") and its own "childDimension"; "scalar" when
 * unset. */
TELVI_API const char *getDimension(toe *node);
TELVI_API const char *getChildDimension(toe *node);
/* Sets "internal" "timeStamp" (type "ulong") to now: 0, or 1 when the store fails. */
TELVI_API int setTimeStamp(toe *node);
/* 1 when the node resolves to exactly one scalar value, else 0. */
TELVI_API int checkForOneScalar(toe *node);
/* A control directive received for a node (logged on the "info" channel). 0. */
TELVI_API int controlNode(const char *directive);

TELVI_END_DECLS

#endif
