// The circular log handle, shared by the log's core and the readers built on it.
#ifndef TELVI_LOG_CLOG_INTERNAL_H
#define TELVI_LOG_CLOG_INTERNAL_H

#include <cstddef>
#include <cstdio>
#include <ctime>

#include "telvi/clog.h"

// The operations on the file's bytes, in one of two implementations (stream I/O or a shared
// mapping); each returns 0, or -1 with errno set. Neither ever extends the file.
struct clogIo {
  int (*write)(clog *h, const char *buffer, size_t count);
  int (*writeChar)(clog *h, int ch, size_t count);
  int (*read)(clog *h, char *buffer, size_t count);
  int (*seek)(clog *h, unsigned long offset);
  int (*flush)(clog *h);
  int (*close)(clog *h);
};

struct clog {
  char *path;  // owned; null while closed
  int fd;      // -1 while closed
  const clogIo *io;
  char *map;       // memory mapping: the whole file
  size_t mapSize;  // the file's size: what the mapping or the stream covers
  size_t cursor;   // where the next read or write goes (both implementations)
  // Stream I/O (see clog.cc): the read buffer and the write buffer, one allocation; the file's
  // bytes the read buffer holds (valid under the current lock only), and the writes gathered.
  char *streamBuffer;
  size_t cacheStart, cacheLength;
  size_t pendingStart, pendingLength;
  int readsUnderLock;  // reads that went to the file since the lock was taken
  int fileCut;         // a read under this lock found the file shorter than its size
  int accessMode;  // CLOG_ACCESS_STREAM or CLOG_ACCESS_MMAP
  int openFlags;   // O_RDWR or O_RDONLY
  int valid;
  unsigned long continuations;  // continuation lines met (informational)
  unsigned long relativeBase;   // absolute number of relative record 0
  unsigned long firstRecord;    // cache: oldest record and the line of its first part
  unsigned long firstLine;
  unsigned long lastLine;       // cache: the line of the newest record's last part
  unsigned long lineLength;
  unsigned long lineCount;
  int textFormat;  // 1 text layout, 0 legacy binary layout
  int empty;
  int local;       // not on a network file system: locked and touched
  int lockDepth;
  int lockType;    // 1 read, 2 write
  int retries;
  time_t createTime;
  time_t lastTouch;  // the second in which this handle last set the file's times
};

// Opens the log at path read-write, or creates it (clog_new_file_nl's geometry) when there is
// none. Creation is atomic for other processes: they see no file or the whole new one, and of
// several that race to create it one does and the others open its file.
int clogOpenOrCreate(clog *log, const char *path, unsigned long lines, unsigned long max_record);

// Reads record *number, or when it is gone the next one there is: the oldest when the ring has
// overwritten it, the next written one when the number was never used (an empty line of a written
// text). *number becomes the number read. CLOG_EOF when no record at or after it exists.
int clogReadNext(clog *log, unsigned long *number, char **text);

#endif
