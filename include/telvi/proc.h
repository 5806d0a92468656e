/*
 * The process table: one record per process of the host, read from /proc, for the agent's
 * process-monitoring modules.
 *
 * Records are reference-counted: every function that returns a record hands the caller one
 * reference, dropped with proc_free, except the records of an iteration (proc_list_get_next, owned
 * by the list until the caller takes a reference with proc_hold) and of a snapshot (owned by the
 * snapshot). Null records and lists are accepted everywhere and give 0, null or nothing.
 */
#ifndef TELVI_PROC_H
#define TELVI_PROC_H

#include <sys/types.h>

#include "api.h"

TELVI_BEGIN_DECLS

struct proc;
struct proc_list;
struct proc_snapshot;

/* Process states, as proc_get_state reports them. */
#define PROC_STATE_ONPROC 'O'   /* running on a processor */
#define PROC_STATE_SLEEP 'S'    /* sleeping (Linux S, D, I, P and K) */
#define PROC_STATE_RUN 'R'      /* runnable (Linux R) */
#define PROC_STATE_IDL 'I'      /* being created */
#define PROC_STATE_ZOMB 'Z'     /* zombie (Linux Z, X) */
#define PROC_STATE_STOP 'T'     /* stopped (Linux T, t) */
#define PROC_STATE_XBRK 'X'     /* waiting for memory (Linux W) */
#define PROC_STATE_NONE '-'     /* no such process */
#define PROC_STATE_UNREAD '?'   /* exists but cannot be read */

/* Iteration over every process that can be read. */
TELVI_API struct proc_list *proc_list_open(void);
TELVI_API void proc_list_start(struct proc_list *list);
/* The next readable process, or null at the end. The record stays the list's: it is reused by the
 * next call unless the caller took a reference (proc_hold), which it then drops with proc_free. */
TELVI_API struct proc *proc_list_get_next(struct proc_list *list);
TELVI_API void proc_list_close(struct proc_list *list);

/* Every process read once, in directory order; the records belong to the snapshot. */
TELVI_API struct proc_snapshot *proc_snapshot_init(void);
TELVI_API struct proc *proc_snapshot_get_start(struct proc_snapshot *snapshot);
TELVI_API struct proc *proc_snapshot_get_next(struct proc *record);
TELVI_API void proc_snapshot_free(struct proc_snapshot *snapshot);

/* One process: null when it cannot be read. */
TELVI_API struct proc *proc_pid_lookup(pid_t pid);
/* One process, always a record: state '-' when there is no such process, '?' when it exists but
 * cannot be read. */
TELVI_API struct proc *proc_pid_clookup(pid_t pid);
/* Re-reads the record from its open entry: 1, or 0 when the process is gone or unreadable. */
TELVI_API int proc_update(struct proc *record);
/* 1 when a process of that pid exists. */
TELVI_API int proc_pid_exists(pid_t pid);
/* The link count of the record's open entry, 0 when the process is gone. */
TELVI_API int proc_exists(struct proc *record);
TELVI_API void proc_close(struct proc *record);
/* Takes one more reference; returns the record. */
TELVI_API struct proc *proc_hold(struct proc *record);
/* Drops one reference; the last one frees the record. */
TELVI_API void proc_free(struct proc *record);

TELVI_API pid_t proc_get_pid(const struct proc *record);
TELVI_API pid_t proc_get_ppid(const struct proc *record);
TELVI_API pid_t proc_get_pgrp(const struct proc *record);
TELVI_API uid_t proc_get_uid(const struct proc *record);
TELVI_API gid_t proc_get_gid(const struct proc *record);
/* Command name (at most 16 characters) and the start of the argument string (at most 80); both
 * belong to the record. */
TELVI_API const char *proc_get_name(const struct proc *record);
TELVI_API const char *proc_get_args(const struct proc *record);
TELVI_API char proc_get_state(const struct proc *record);
/* Resident set and total virtual size in kilobytes. */
TELVI_API long proc_get_rssize(const struct proc *record);
TELVI_API long proc_get_size(const struct proc *record);
/* Recent CPU share in percent of one processor. */
TELVI_API double proc_get_pctcpu(const struct proc *record);
TELVI_API void proc_get_cpu_time(const struct proc *record, long *sec, long *nsec);
TELVI_API void proc_get_timestamp(const struct proc *record, long *sec, long *usec);
TELVI_API unsigned long proc_get_system_calls(const struct proc *record);
TELVI_API unsigned long proc_get_context_switches(const struct proc *record);
TELVI_API long proc_get_cpu_sec(const struct proc *record);
TELVI_API double proc_get_cpu_dsec(const struct proc *record);
TELVI_API long proc_get_start_time(const struct proc *record);
TELVI_API double proc_get_start_dtime(const struct proc *record);
/* User name of the record's uid, or null; valid until the next call in the same thread. */
TELVI_API const char *proc_get_user(const struct proc *record);
/* "Down" for state '-', "Not Owner" for '?', "" otherwise. */
TELVI_API const char *proc_get_status(const struct proc *record);
/* Heap and stack size in bytes, 0 when they cannot be read. */
TELVI_API unsigned long proc_get_heapsize(const struct proc *record);
TELVI_API unsigned long proc_get_stksize(const struct proc *record);

/* Indexes of proc_get_count_by_states' counters. */
enum {
  PROC_COUNT_ONPROC,
  PROC_COUNT_SLEEP,
  PROC_COUNT_RUN,
  PROC_COUNT_IDL,
  PROC_COUNT_ZOMB,
  PROC_COUNT_STOP,
  PROC_COUNT_XBRK,
  PROC_COUNT_TOTAL,
  PROC_COUNT_SIZE
};
TELVI_API void proc_get_count_by_states(int counts[PROC_COUNT_SIZE]);
TELVI_API int proc_get_total_count(void);

/* Processes whose command name equals name exactly, or whose argument string matches the Tcl
 * regular expression: returns how many match and writes the first `capacity` of their pids, in
 * directory order. A result above capacity means the array was too small. 0 for an empty name;
 * -1 when /proc cannot be opened; -2 when the expression does not compile. */
TELVI_API int proc_match_name(const char *name, pid_t *pids, int capacity);
TELVI_API int proc_match_regexp(const char *expression, pid_t *pids, int capacity);

TELVI_END_DECLS

#endif
