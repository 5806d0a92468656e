/*
 * Rules: limit checks that compare a node's value row by row with configured limits, and the rule
 * state machine that moves each (node, rule, row) between init, open, continue and close and asks
 * the agent's scripts to write events.
 *
 * Rule state lives in slices of the node under the rule-row key: the rule identifier, or
 * "<rule>(<row>)" for a named row. Functions that evaluate scripts (the rule procedures, writeEvent,
 * ...) return TCL_OK or TCL_ERROR and leave the result or the message in the interpreter result;
 * the others never touch an interpreter result.
 */
#ifndef TELVI_RULE_H
#define TELVI_RULE_H

#include <stdint.h>
#include <tcl.h>
#include "api.h"
#include "toe.h"

TELVI_BEGIN_DECLS

/* ---- limits and comparison ---- */

/* The limit for the alarm check (such as "critical-gt") and row: "alarmlimit" "<check>(<row>)",
 * else "<check>()" for a named row, "<check>" for the empty row (inherited look-up). Null when
 * absent or empty; otherwise valid until the entry changes. */
TELVI_API const char *getLimit(toe *node, const char *check, const char *row);

/* Compares "data" <index> of the node with the limits of its alarm checks for the row, in the
 * order of the node's "alarmcheck" slice. Returns the first check that holds, "ok" when none does
 * (both valid until the node's "alarmcheck" slice changes), or null with the message in the
 * interpreter result. */
TELVI_API const char *rCompare(Tcl_Interp *interp, toe *node, const char *row, const char *index);

/* One comparison of value (left operand) with limit under the operator (its first two characters
 * count: eq ne gt ge lt le, and rx for texts): 1 holds, 0 does not, -1 the operator does not apply
 * to the type (or a malformed regular expression). The interpreter is used only by
 * checkAlarmString for the regular expression and may be null. */
TELVI_API int checkAlarmInt(Tcl_Interp *interp, const char *op, int32_t value, int32_t limit);
TELVI_API int checkAlarmUint(Tcl_Interp *interp, const char *op, uint32_t value, uint32_t limit);
TELVI_API int checkAlarmLong(Tcl_Interp *interp, const char *op, int32_t value, int32_t limit);
TELVI_API int checkAlarmUlong(Tcl_Interp *interp, const char *op, uint32_t value, uint32_t limit);
TELVI_API int checkAlarmLongLong(Tcl_Interp *interp, const char *op, int64_t value, int64_t limit);
TELVI_API int checkAlarmUlongLong(Tcl_Interp *interp, const char *op, uint64_t value, uint64_t limit);
TELVI_API int checkAlarmShort(Tcl_Interp *interp, const char *op, int16_t value, int16_t limit);
TELVI_API int checkAlarmDouble(Tcl_Interp *interp, const char *op, double value, double limit);
TELVI_API int checkAlarmFloat(Tcl_Interp *interp, const char *op, float value, float limit);
TELVI_API int checkAlarmChar(Tcl_Interp *interp, const char *op, int8_t value, int8_t limit);
TELVI_API int checkAlarmString(Tcl_Interp *interp, const char *op, const char *value, const char *limit);

/* ---- the state machine ---- */

/* Rule states as stored in "rule-state". */
#define RULE_STATE_INIT 0
#define RULE_STATE_OPEN 1
#define RULE_STATE_CONTINUE 2
#define RULE_STATE_CLOSE 3

/* Actions of ruleFire. */
#define RULE_FIRE_REFRESH 0
#define RULE_FIRE_INIT 1
#define RULE_FIRE_ACK 2
#define RULE_FIRE_FIX 3
#define RULE_FIRE_FS 4

/* Runs the action for the rule and row of the node; row and index may be null (empty row, index
 * "0"), matchList may be null (empty). Refresh leaves the row's status in the result ("ok" or the
 * status the rule gave), the others an empty result. TCL_OK or TCL_ERROR. */
TELVI_API int ruleFire(Tcl_Interp *interp, toe *node, int action, const char *rule, const char *row,
                       const char *index, const char *matchList);

/* The stored state (RULE_STATE_*), or -1 when the rule was never initialised for the row. */
TELVI_API int getRuleState(toe *node, const char *rule, const char *row);
/* 1 when the state is open or continue, else 0. */
TELVI_API int ruleActive(toe *node, const char *rule, const char *row);
/* The current condition, or null; valid until the condition changes. */
TELVI_API const char *getRuleCond(toe *node, const char *rule, const char *row);

/* Events written through the agent's writeEvent (see the package documentation). The result is
 * reset; failures of writeEvent itself are only logged. */
TELVI_API int openEvent(Tcl_Interp *interp, toe *node, const char *rule, const char *row, const char *status);
TELVI_API int closeEvent(Tcl_Interp *interp, toe *node, const char *rule, const char *row, const char *status);
TELVI_API int logEvent(Tcl_Interp *interp, toe *node, const char *rule, const char *row, const char *status);

/* The row's acknowledgement name: "value" "ackName(<row>)", else "ackName()" (for the empty row
 * "ackName"), else the module's acknowledgement name. Never null; valid until the entry changes. */
TELVI_API const char *getAckByName(toe *node, const char *row);

TELVI_END_DECLS

#endif
