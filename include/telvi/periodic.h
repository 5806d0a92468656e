/*
 * Schedules: a small language for "when" (a rule is checked, a job runs, a window is open),
 * compiled once into a boolean tree over calendar fields and cycles.
 *
 *     0,30 8-17 * * mon-fri                         cron: minute hour day-of-month month day-of-week
 *     15 minutes          cycle(period = 1 hour, start = 1/1/2000 00:00)
 *     hour >= 8 && hour < 18 && day_of_week = mon-fri
 *     time >= 8:30 am && time <= 17:00      date = dec 24 2001      !(month = dec) || $weekend
 *
 * Variables ($name) come from the variable file "base-periodic-d.x", read from INTERFACE_PATH by
 * periodic_init: keys of the slice "value", each a schedule text of its own.
 *
 * A compiled schedule owns all of its memory; periodic_free releases it in one go. The module
 * keeps one current schedule and a global lexer and parser: calls must not overlap (one thread).
 */
#ifndef TELVI_PERIODIC_H
#define TELVI_PERIODIC_H

#include "api.h"

TELVI_BEGIN_DECLS

typedef struct PeriodicSchedule PeriodicSchedule;

/* Reads the variable file. Null on success, else "can not access file base-periodic-d.x" (no such
 * file) or "can not load file base-periodic-d.x" (it does not parse). Calling it again rereads. */
TELVI_API const char *periodic_init(void);
TELVI_API void periodic_deinit(void);

/* Compiles text. On success returns the schedule and sets *message to "". On failure returns null
 * and sets *message to the error, which stays valid until the next failed periodic_parse. */
TELVI_API PeriodicSchedule *periodic_parse(const char *text, const char **message);
/* The schedule's error text (set by a failed evaluation), or null. */
TELVI_API const char *periodic_get_error(PeriodicSchedule *schedule);
/* Frees the schedule and everything it holds; null is ignored. */
TELVI_API void periodic_free(PeriodicSchedule *schedule);

/* The compiled tree as text (malloc'ed; the caller frees it), for diagnostics:
 *   hour=8  hour>=8  !hour>=18  second=*  date>=978307200  cycle(300)  cycle(3600,start=978307200)
 *   and(A,B)  or(A,B)        (an or is stored as a negated and of negated children)
 *   and-range(A,B) or-range(A,B)   (built from a range such as 1-5 or fri-mon)
 */
TELVI_API char *periodic_dump(PeriodicSchedule *schedule);

TELVI_END_DECLS

#endif
