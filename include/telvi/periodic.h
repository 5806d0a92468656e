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
/* Edge types of periodic_secs_to_wait. */
#define PERIODIC_RISING 0  /* the schedule becomes true */
#define PERIODIC_FALLING 1 /* the schedule becomes false */
#define PERIODIC_BEAT 2    /* the schedule next fires */

/* Evaluation, in local time (the process's TZ), for moments in the years 1969 to 2038. After each
 * call read periodic_get_error: an internal inconsistency is recorded there as
 * "THIS SHOULD NOT HAPPEN (source,line)" and the call returns 0.
 *
 * periodic_inrange: 1 when the moment time lies inside the schedule, else 0; cycles count as
 * always inside (period_start is accepted and not used).
 * periodic_secs_to_wait: seconds from time to the next edge of the given type, or 0 when there is
 * none before 2039 (also for edges of a schedule that is always true or always false).
 * period_start anchors cycles that have no start of their own.
 * periodic_freq: the schedule's characteristic period in seconds; *flag is set to 1. */
TELVI_API int periodic_inrange(PeriodicSchedule *schedule, long time, long period_start);
TELVI_API long periodic_secs_to_wait(PeriodicSchedule *schedule, int edge_type, long time, long period_start);
TELVI_API long periodic_freq(PeriodicSchedule *schedule, int *flag);

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
