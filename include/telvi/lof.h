/*
 * Log-file readers, the log scanner and the log viewer.
 *
 * A reader (lof) numbers the lines of a regular text file that only grows, or the records of a
 * circular log file (telvi/clog.h), from 1, and returns ranges of them as heap texts (each ending
 * with its newline) that the caller frees. Readers return 1 on success and 0 on failure with the
 * cause in lof_error(); they never print. The scanner and the viewer print their problems on the
 * standard error stream.
 */
#ifndef TELVI_LOF_H
#define TELVI_LOF_H

#include <time.h>

#include "api.h"

TELVI_BEGIN_DECLS

typedef struct lof lof;

/* lof_error(): why the last reader call failed. */
enum {
  LOF_ENONE = 0,
  LOF_EREAD = 1,     /* read failure, or the file could not be opened as asked */
  LOF_ENOTCLOG = 2,  /* not a circular log file */
  LOF_ESYSTEM = 3,   /* a system error (errno tells which) */
  LOF_ENOMEM = 4
};

/* A circular reader for a circular log file, else a regular reader; null on failure. */
TELVI_API lof *lof_open(const char *path);
TELVI_API lof *lof_open_regular(const char *path);
TELVI_API lof *lof_open_circular(const char *path);
/* Readers of streams are not supported: always null. */
TELVI_API lof *lof_open_stream(const char *path);

/* Lines first .. first + count - 1 into lines[0 .. count - 1] (null where no line is given); *got is
 * the number of slots the reader filled, counting overwritten records of a circular file. */
TELVI_API int lof_get(lof *reader, int first, int count, char **lines, int *got);
/* The number of lines (a regular file is read to its end first). */
TELVI_API int lof_length(lof *reader, int *lines);
/* Regular: back to the start, forgetting what was seen; circular: nothing. */
TELVI_API int lof_reset(lof *reader);
TELVI_API int lof_get_fd(lof *reader);
TELVI_API int lof_close(lof *reader);
TELVI_API int lof_error(void);
/* Nonzero for a reader of a circular log file. */
TELVI_API int lof_is_circular(lof *reader);

/* Circular readers: records by absolute number, the oldest and newest numbers (0 when empty), and
 * the file's creation time. */
TELVI_API int lofc_get_abs(lof *reader, unsigned long first, int count, char **lines, int *got);
TELVI_API int lofc_firstline_abs(lof *reader, unsigned long *number);
TELVI_API int lofc_lastline_abs(lof *reader, unsigned long *number);
TELVI_API unsigned long lofc_get_createtime(lof *reader);

/* ---- scanner: new lines that contain a fixed text ---- */

typedef struct LofScanner LofScanner;
/* The line belongs to the scanner and is valid during the call only. */
typedef void (*LofScanProc)(LofScanner *scanner, const char *line, void *clientData);

/* backlog 0: start after the current end; < 0: report every existing match; > 0: report (oldest
 * first) up to that many of the newest existing matches. Null on failure. */
TELVI_API LofScanner *lofscan_open(const char *path, const char *text, int backlog,
                                   LofScanProc callback, void *clientData);
/* Examines at most max_lines new lines, stopping after max_matches matches; the number of matches,
 * -1 for bad arguments. A file that was replaced or truncated is followed from its first line. */
TELVI_API int lofscan_check(LofScanner *scanner, int max_lines, int max_matches);
/* The last matching line (owned by the scanner), or null. */
TELVI_API const char *lofscan_last_msg(LofScanner *scanner);
TELVI_API void lofscan_close(LofScanner *scanner);

/* ---- viewer: lines or multi-line records matching a regular expression ---- */

typedef struct LofViewer LofViewer;
/* data: the packed matches (logview_combine_data), or "-0000001" on failure. */
typedef void (*LofViewProc)(LofViewer *viewer, const char *data, void *clientData);

typedef struct {
  int lines; /* lines the record takes */
  char *text;
} LofRecord;

/* Log types: "kovralog" (the agent's own logs, multi-line records with a time stamp), "syslog" (one
 * line per message with a time stamp), anything else (lines, no time window). direction 1 walks
 * backward from the newest line, 0 forward from line 1. */
TELVI_API LofViewer *lofview_open(const char *logType, const char *path, const char *pattern,
                                  int max_matches, int max_lines, time_t start, time_t end,
                                  int direction, int follow, LofViewProc callback, void *clientData);
/* Examines the lines added since the previous call and passes the packed matches to the callback;
 * the number of matches, -1 on failure. */
TELVI_API int lofview_monitor(const char *logType, const char *path, const char *pattern,
                              int max_matches, int max_lines, LofViewProc callback, void *clientData);
/* Reads the record at *line (direction 0 forward, 1 backward) and moves *line past it; null at the
 * end. Free with lofview_free_record. */
TELVI_API LofRecord *lofview_read_record(LofViewer *viewer, int *line, int *lines_used, int direction);
TELVI_API void lofview_free_record(LofRecord *record);
/* The matches found by lofview_open (owned by the viewer). */
TELVI_API int lofview_matches(LofViewer *viewer, const char *const **matches);
TELVI_API void lofview_close(LofViewer *viewer);
/* "%08x" count, then per match "%08x" length and the text; heap text freed by the caller. */
TELVI_API char *logview_combine_data(char **matches, int count, int direction, int follow);
/* A debug message to the system log and to /var/opt/KRTXtelvi/LS/ls_debug.<pid>. */
TELVI_API void ls_debug(const char *text);

TELVI_END_DECLS

#endif
