/*
 * Alarms: the limit check of a node over all its rows (firing its rules), per-row alarm status,
 * alarm windows in the schedule language, and the module-wide alarm status and acknowledgement
 * name kept on the module root (the object named by the node's "internal" "moduleroot").
 */
#ifndef TELVI_ALARM_H
#define TELVI_ALARM_H

#include <tcl.h>
#include "api.h"
#include "toe.h"

TELVI_BEGIN_DECLS

/* The row's alarm window text: "value" "alarmWindow(<row>)", else "alarmWindow()" (for the empty row
 * "alarmWindow"), inherited; "" when none. Never null; valid until the entry changes. */
TELVI_API const char *windowGet(toe *node, const char *row);

/* Parses the row's window with "periodic parse" and caches the schedule identifier as "alarmwindow"
 * <row> (an empty text for no window). TCL_OK with the identifier (or empty) as the result, or
 * TCL_ERROR with the parser's message. */
TELVI_API int windowInit(Tcl_Interp *interp, toe *node, const char *row);

/* The module alarm status / acknowledgement name that applies to the node, or null (no module
 * root, none set, or the node overrides the module's). Valid until the entry changes. */
TELVI_API const char *getModuleAlarmStatus(toe *node);
TELVI_API const char *getModuleAckName(toe *node);

TELVI_END_DECLS

#endif
