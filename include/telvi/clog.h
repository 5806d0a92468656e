/*
 * Circular log files: fixed-size text files of equal fixed-length lines, written round and round so
 * that the newest records overwrite the oldest. Records carry absolute numbers that grow forever;
 * the files are shared between processes (whole-file fcntl locks on local files) and threads (one
 * process-wide recursive mutex).
 *
 * Functions return 0 on success, a CLOG_E* code below, or -1 for a failed system call (errno tells
 * why; clog_error_str gives its text). Texts handed out are heap copies freed by the caller.
 */
#ifndef TELVI_CLOG_H
#define TELVI_CLOG_H

#include <time.h>

#include "api.h"

TELVI_BEGIN_DECLS

typedef struct clog clog;

enum {
  CLOG_OK = 0,
  CLOG_ENULL = 1,       /* "Circular Log object is NULL (malloc error?)." */
  CLOG_ESYSTEM = 2,     /* "UNIX System Error." */
  CLOG_ENOMEM = 3,      /* "Ran out of memory." */
  CLOG_EOF = 4,         /* "Circular logging EOF." */
  CLOG_SOF = 5,         /* "Circular logging SOF." */
  CLOG_ETOOLONG = 6,    /* "Line too long." */
  CLOG_ENOTCLOG = 7,    /* "File is not Circular Log file." */
  CLOG_ENOENT = 8,      /* "Tried to open a file which doesn't exist." */
  CLOG_ENOLINES = 9,    /* "No lines are available." */
  CLOG_ELOCK = 10,      /* "Could not lock file for writing." */
  CLOG_EWRITEPERM = 11, /* "Write permission denied." */
  CLOG_EREADPERM = 12   /* "Read permission denied." */
};

#define CLOG_ACCESS_STREAM 1
#define CLOG_ACCESS_MMAP 2

/* A new closed handle; null when out of memory. */
TELVI_API clog *clog_create(void);
/* Closes the file when open and frees the handle. */
TELVI_API void clog_destroy(clog *log);
/* 1 stream I/O, 2 memory mapping (the default); applies from the next open. 1 for a null handle. */
TELVI_API int clog_setAccessMode(clog *log, int mode);

/* Creates (or replaces) and formats a file of `size` bytes whose records hold up to max_record
 * characters on one line. The file is built under a temporary name beside the path and renamed
 * into place, so that other processes never see it half-formatted; a file that is already there
 * keeps its permissions and owner (where the process may set them). A path that names no plain
 * file with a single name (a device, a file with other hard links), or beside which no file can be
 * made, is truncated and formatted in place instead. */
TELVI_API int clog_new_file(clog *log, const char *path, unsigned long size, unsigned long max_record);
/* The same for `lines` lines (at least 2). */
TELVI_API int clog_new_file_nl(clog *log, const char *path, unsigned long lines,
                               unsigned long max_record);
/* Opens an existing file: mode 1 read-write, anything else read-only. */
TELVI_API int clog_open_file(clog *log, const char *path, int mode);
TELVI_API int clog_close_file(clog *log);

/* Appends one record per line of text. A line that the file cannot hold (longer than 65534
 * characters or than the ring minus one line) refuses the whole text with CLOG_ETOOLONG. */
TELVI_API int clog_write_rec(clog *log, const char *text);
/* One record (ending with a newline) as a heap text freed by the caller. CLOG_EOF past the newest,
 * CLOG_SOF before the oldest or for a number that was never written. A record is always one line:
 * a damaged file's data are cut at a line end or NUL byte found in them. */
TELVI_API int clog_read_abs_rec(clog *log, unsigned long number, char **text);
TELVI_API int clog_read_rec(clog *log, long relative, char **text);

/* Oldest and newest absolute numbers; CLOG_ENOLINES (number 0) while the file holds no record. */
TELVI_API int clog_first_abs_rec(clog *log, unsigned long *number);
TELVI_API int clog_last_abs_rec(clog *log, unsigned long *number);
/* The same, relative to the base set at open or by clog_reset_recs. */
TELVI_API int clog_first_rec(clog *log, long *number);
TELVI_API int clog_last_rec(clog *log, long *number);
/* Relative number 0 becomes the current oldest record (0 when empty). */
TELVI_API int clog_reset_recs(clog *log);

/* How long a lock held by another process is waited for: retries x 50 ms (200 by default: 10
 * seconds; 0: about 30 hours), then CLOG_ELOCK. Negative counts become 0. */
TELVI_API int clog_set_num_retries(clog *log, int retries);
TELVI_API int clog_get_num_retries(clog *log);
/* Characters that one line holds (line length - 17, or - 9 for the legacy binary layout). */
TELVI_API int clog_get_line_length(clog *log);
TELVI_API time_t clog_get_createtime(clog *log);
TELVI_API int clog_get_fd(clog *log);

/* The message of a code; a negative code gives the system's text for the current errno. */
TELVI_API const char *clog_error_str(int code);

TELVI_END_DECLS

#endif
