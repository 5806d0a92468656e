// Circular log files: the text layout (and the legacy binary one), absolute record numbers found by
// an interpolation guess and a short scan, the two I/O implementations, the process-wide recursive
// mutex and the whole-file fcntl locks.
#include "telvi/clog.h"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "log/clog_internal.h"

namespace {

constexpr unsigned long kTextHeader = 85;
constexpr unsigned long kBinaryHeader = 12;
constexpr uint32_t kBinaryMagic = 0x18675309;
constexpr unsigned long kNfsMagic = 0x6969;
constexpr unsigned long kMaxRemaining = 65534;  // the remaining-length field keeps 16 bits
constexpr char kBanner[] = "Circular log file of the agent: do not edit the file";
static_assert(sizeof(kBanner) - 1 == 52, "the banner fills bytes 31 to 82");

// ---- the process-wide recursive mutex ------------------------------------------------------------

std::mutex processMutex;
std::atomic<bool> mutexOwned{false};
std::atomic<pthread_t> mutexOwner{};
int mutexDepth = 0;

bool ownedByMe() { return mutexOwned.load() && pthread_equal(mutexOwner.load(), pthread_self()); }

void mutexLock() {
  if (ownedByMe()) {
    ++mutexDepth;
    return;
  }
  processMutex.lock();
  mutexOwner.store(pthread_self());
  mutexOwned.store(true);
  mutexDepth = 1;
}

// An unlock by a thread that does not hold the mutex does nothing.
void mutexUnlock() {
  if (!ownedByMe()) return;
  if (--mutexDepth == 0) {
    mutexOwned.store(false);
    processMutex.unlock();
  }
}

// ---- I/O tables ------------------------------------------------------------------------------------

// Stream I/O: positioned reads and writes on the descriptor, through two buffers of the handle's
// own. Reads fill the read buffer with the block that starts at the position asked for (the
// header of the newest record and the lines after it come in one read); writes gather in the
// write buffer while they follow each other and go out in one write at a flush, at a write
// elsewhere, before a read of what they cover, and before the file lock is released. The read
// buffer holds what the file held under the current lock only: it is dropped when a lock is
// taken (forgetBuffered), and writes update what it holds. No position is shared with another
// descriptor, so nothing another process (or a forked child) does to an offset matters. The file
// is never extended: operations past the size the handle knows fail.
constexpr size_t kStreamBuffer = 4096;

char *readBuffer(clog *h) { return h->streamBuffer; }
char *writeBuffer(clog *h) { return h->streamBuffer + kStreamBuffer; }

bool streamFits(clog *h, size_t count) { return h->cursor <= h->mapSize && count <= h->mapSize - h->cursor; }

int writeAll(clog *h, const char *buffer, size_t count, size_t offset) {
  while (count > 0) {
    ssize_t done = pwrite(h->fd, buffer, count, static_cast<off_t>(offset));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) {
      if (done == 0) errno = EIO;
      return -1;
    }
    buffer += done, count -= static_cast<size_t>(done), offset += static_cast<size_t>(done);
  }
  return 0;
}

int streamFlushWrites(clog *h) {
  if (h->pendingLength == 0) return 0;
  size_t count = h->pendingLength;
  h->pendingLength = 0;
  return writeAll(h, writeBuffer(h), count, h->pendingStart);
}

int streamWrite(clog *h, const char *buffer, size_t count) {
  if (!streamFits(h, count)) return errno = EINVAL, -1;
  size_t at = h->cursor;
  // What the read buffer holds of these bytes changes with them.
  size_t cacheEnd = h->cacheStart + h->cacheLength;
  if (at < cacheEnd && at + count > h->cacheStart) {
    size_t from = std::max(at, h->cacheStart), to = std::min(at + count, cacheEnd);
    std::memcpy(readBuffer(h) + (from - h->cacheStart), buffer + (from - at), to - from);
  }
  bool follows = h->pendingLength > 0 && at == h->pendingStart + h->pendingLength;
  if (!follows || h->pendingLength + count > kStreamBuffer) {
    if (streamFlushWrites(h) != 0) return -1;
  }
  if (count >= kStreamBuffer) {
    if (writeAll(h, buffer, count, at) != 0) return -1;
  } else {
    if (h->pendingLength == 0) h->pendingStart = at;
    std::memcpy(writeBuffer(h) + h->pendingLength, buffer, count);
    h->pendingLength += count;
  }
  h->cursor = at + count;
  return 0;
}
int streamWriteChar(clog *h, int ch, size_t count) {
  char block[512];
  std::memset(block, ch, sizeof block);
  while (count > 0) {
    size_t part = std::min(count, sizeof block);
    if (streamWrite(h, block, part) != 0) return -1;
    count -= part;
  }
  return 0;
}
int streamRead(clog *h, char *buffer, size_t count) {
  if (!streamFits(h, count)) return errno = EINVAL, -1;
  size_t at = h->cursor;
  if (h->pendingLength > 0 && at < h->pendingStart + h->pendingLength && at + count > h->pendingStart &&
      streamFlushWrites(h) != 0)
    return -1;
  if (at < h->cacheStart || at + count > h->cacheStart + h->cacheLength) {
    h->cacheLength = 0;
    // The first read under a lock is usually the newest record's header and the next line's, or
    // a few lines more when other processes appended meanwhile: four lines are enough, and a
    // system call that copies less is quicker. Later ones take a whole buffer.
    size_t ahead = h->readsUnderLock++ == 0 ? std::min(kStreamBuffer, 4 * h->lineLength) : kStreamBuffer;
    size_t want = std::max(count, std::min(ahead, h->mapSize - at));
    char *into = count > kStreamBuffer ? buffer : readBuffer(h);
    size_t got = 0;
    while (got < want) {
      ssize_t part = pread(h->fd, into + got, want - got, static_cast<off_t>(at + got));
      if (part < 0 && errno == EINTR) continue;
      if (part < 0) return -1;
      if (part == 0) break;
      got += static_cast<size_t>(part);
    }
    // Shorter than the header says: the file was cut (or made anew smaller) under the handle.
    if (got < want) h->fileCut = 1;
    if (got < count) return errno = EIO, -1;
    if (into == buffer) {
      h->cursor = at + count;
      return 0;
    }
    h->cacheStart = at;
    h->cacheLength = got;
  }
  std::memcpy(buffer, readBuffer(h) + (at - h->cacheStart), count);
  h->cursor = at + count;
  return 0;
}
int streamSeek(clog *h, unsigned long offset) {
  if (offset > h->mapSize) return errno = EINVAL, -1;
  h->cursor = offset;
  return 0;
}
int streamFlush(clog *h) { return streamFlushWrites(h); }
int streamClose(clog *h) {
  int code = streamFlushWrites(h);
  std::free(h->streamBuffer);
  h->streamBuffer = nullptr;
  h->cacheLength = 0;
  h->mapSize = 0;
  return code;
}

bool mapFits(clog *h, size_t count) { return h->cursor <= h->mapSize && count <= h->mapSize - h->cursor; }
int mapWrite(clog *h, const char *buffer, size_t count) {
  if (!mapFits(h, count)) return errno = EINVAL, -1;
  std::memcpy(h->map + h->cursor, buffer, count);
  h->cursor += count;
  return 0;
}
int mapWriteChar(clog *h, int ch, size_t count) {
  if (!mapFits(h, count)) return errno = EINVAL, -1;
  std::memset(h->map + h->cursor, ch, count);
  h->cursor += count;
  return 0;
}
int mapRead(clog *h, char *buffer, size_t count) {
  if (!mapFits(h, count)) return errno = EINVAL, -1;
  std::memcpy(buffer, h->map + h->cursor, count);
  h->cursor += count;
  return 0;
}
int mapSeek(clog *h, unsigned long offset) {
  if (offset > h->mapSize) return errno = EINVAL, -1;
  h->cursor = offset;
  return 0;
}
// Linux tracks the mapping's dirty pages itself and writes them out in time: an asynchronous msync
// would schedule nothing (it has been a no-op since Linux 2.6.19), so it is skipped there.
int mapFlush(clog *h) {
#ifdef __linux__
  (void)h;
  return 0;
#else
  return msync(h->map, h->mapSize, MS_ASYNC);
#endif
}
int mapClose(clog *h) {
  int code = munmap(h->map, h->mapSize);
  h->map = nullptr;
  h->mapSize = 0;
  return code;
}

const clogIo streamIo = {streamWrite, streamWriteChar, streamRead, streamSeek, streamFlush, streamClose};
const clogIo mapIo = {mapWrite, mapWriteChar, mapRead, mapSeek, mapFlush, mapClose};

int openIo(clog *h, unsigned long size) {
  if (h->accessMode == CLOG_ACCESS_STREAM) {
    h->streamBuffer = static_cast<char *>(std::malloc(2 * kStreamBuffer));
    if (h->streamBuffer == nullptr) return errno = ENOMEM, -1;
    h->mapSize = size;  // the size the stream keeps within
    h->cursor = h->cacheStart = h->cacheLength = h->pendingStart = h->pendingLength = 0;
    h->io = &streamIo;
    return 0;
  }
  bool writable = (h->openFlags & O_ACCMODE) == O_RDWR;
  void *map = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, h->fd, 0);
  if (map == MAP_FAILED) return -1;
  h->map = static_cast<char *>(map);
  h->mapSize = size;
  h->cursor = 0;
  h->io = &mapIo;
  return 0;
}

// ---- whole-file locks ------------------------------------------------------------------------------

long elapsedMicros(const timespec &start) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - start.tv_sec) * 1000000L + (now.tv_nsec - start.tv_nsec) / 1000;
}

// One retry stands for this much waiting. Four processes appending in tight loops on two busy cores
// keep a lock taken nearly all the time, and the holder may be off its core for tens of
// milliseconds while it holds the lock: a budget of a millisecond per retry (200 ms by default) ran
// out now and then, and a record that a writer had been handed was lost. At 50 ms the default
// budget is 10 seconds: far beyond any wait that an append under load causes, yet a process that
// holds the lock for good (stopped, or stuck) still ends in an error rather than a hang.
constexpr long kMicrosPerRetry = 50 * 1000;
constexpr long kUnboundedRetries = 2147483;  // retries 0: about 30 hours

// Tries the lock until the budget (retries x kMicrosPerRetry) is spent. The first attempts come
// every 20 us rather than every millisecond: another process that appends in a tight loop frees the
// lock only for a moment between two of its writes, and a waiter that looks rarely would miss those
// moments. A waiter that has waited for some milliseconds already (the holder is off its core, or
// the lock is held for long) looks every 200 us, so that a long wait costs little processor time.
int acquire(clog *h, int type) {
  struct flock request {};
  request.l_type = static_cast<short>(type == 2 ? F_WRLCK : F_RDLCK);
  request.l_whence = SEEK_SET;
  long attempts = h->retries <= 0 ? kUnboundedRetries : h->retries;
  long budget = attempts * kMicrosPerRetry;
  // A free lock, the usual case, costs no reading of the clock.
  if (fcntl(h->fd, F_SETLK, &request) == 0) return 0;
  timespec start;
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (long attempt = 0;; ++attempt) {
    // Linux reports a lock held by another process as EAGAIN; EACCES (denied outright) and
    // descriptor errors never heal by waiting.
    if (errno == EACCES || errno == EBADF || errno == EINVAL || errno == ENOLCK) return -1;
    long waited = elapsedMicros(start);
    if (waited >= budget) return CLOG_ELOCK;
    if (attempt < 4) {
      sched_yield();
    } else {
      timespec pause{0, (waited < 5000 ? 20 : 200) * 1000L};
      nanosleep(&pause, nullptr);
    }
    if (fcntl(h->fd, F_SETLK, &request) == 0) return 0;
  }
}

int fileLock(clog *h, int type) {
  if (!h->local || h->fd < 0) return 0;
  if (h->lockDepth > 0) {
    if (type == 2 && h->lockType == 1) {
      int code = acquire(h, 2);
      if (code != 0) return code;
      h->lockType = 2;
    }
    ++h->lockDepth;
    return 0;
  }
  int code = acquire(h, type);
  if (code != 0) return code;
  h->lockDepth = 1;
  h->lockType = type;
  return 0;
}

int fileUnlock(clog *h) {
  if (!h->local || h->fd < 0 || h->lockDepth == 0) return 0;
  if (--h->lockDepth > 0) return 0;
  h->lockType = 0;
  // Writes still gathered in the stream go out while the lock still covers them.
  int code = streamFlushWrites(h);
  struct flock request {};
  request.l_type = F_UNLCK;
  request.l_whence = SEEK_SET;
  return fcntl(h->fd, F_SETLK, &request) == 0 ? code : -1;
}

// The stream's read buffer may hold bytes read before another process changed them.
void forgetBuffered(clog *h) {
  h->cacheLength = 0;
  h->readsUnderLock = 0;
  h->fileCut = 0;
}

// A mapped file that something shrank (truncated, or recreated smaller) would fault on the first
// access past its end: such a file is refused instead.
bool mappingCovered(clog *h) {
  if (h->map == nullptr) return true;
  struct stat info;
  return fstat(h->fd, &info) == 0 && static_cast<size_t>(info.st_size) >= h->mapSize;
}

// The mutex for the whole operation and, once asked for, the file lock; released in reverse order.
class Session {
 public:
  explicit Session(clog *h) : h_(h) { mutexLock(); }
  ~Session() {
    if (locked_) fileUnlock(h_);
    mutexUnlock();
  }
  int lock(int type, bool checkMapping = true) {
    int code = fileLock(h_, type);
    if (code != 0) return code;
    locked_ = true;
    if (h_->lockDepth <= 1) {
      forgetBuffered(h_);
      if (checkMapping && !mappingCovered(h_)) return CLOG_ENOTCLOG;
    }
    return 0;
  }
  void unlock() {
    if (locked_) fileUnlock(h_);
    locked_ = false;
  }
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

 private:
  clog *h_;
  bool locked_ = false;
};

// ---- layout ----------------------------------------------------------------------------------------

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A field of hexadecimal digits, or of blanks only (reads as 0); false for anything else.
bool parseHexField(const char *text, size_t width, unsigned long *value) {
  if (text[0] == ' ') {
    for (size_t i = 0; i < width; ++i)
      if (text[i] != ' ') return false;
    *value = 0;
    return true;
  }
  unsigned long result = 0;
  for (size_t i = 0; i < width; ++i) {
    int digit = hexDigit(text[i]);
    if (digit < 0) return false;
    result = result * 16 + static_cast<unsigned long>(digit);
  }
  *value = result;
  return true;
}

void putHex(char *out, unsigned long value, size_t width) {
  static const char digits[] = "0123456789abcdef";
  for (size_t i = width; i-- > 0; value >>= 4) out[i] = digits[value & 15];
}

uint32_t getBig32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}
void putBig32(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

unsigned long headerSize(const clog *h) { return h->textFormat ? kTextHeader : kBinaryHeader; }
unsigned long recordHeaderSize(const clog *h) { return h->textFormat ? 16 : 8; }
unsigned long lineOffset(const clog *h, unsigned long line) {
  return headerSize(h) + line * h->lineLength;
}
unsigned long nextLine(const clog *h, unsigned long line) { return (line + 1) % h->lineCount; }
unsigned long prevLine(const clog *h, unsigned long line) {
  return (line + h->lineCount - 1) % h->lineCount;
}
// Data characters that one line holds, and that a line holds when the record goes on.
long capacity(const clog *h) {
  return static_cast<long>(h->lineLength) - (h->textFormat ? 17 : 9);
}
long chunk(const clog *h) { return capacity(h) - 2; }

enum class Header { Record, Blank, Bad };
struct LineHeader {
  unsigned long number = 0;
  unsigned long remaining = 0;  // remaining length + 1
};

Header readHeader(clog *h, unsigned long line, LineHeader *out) {
  unsigned char bytes[16];
  unsigned long size = recordHeaderSize(h);
  if (line >= h->lineCount || h->io->seek(h, lineOffset(h, line)) != 0 ||
      h->io->read(h, reinterpret_cast<char *>(bytes), size) != 0)
    return Header::Bad;
  if (h->textFormat) {
    const char *text = reinterpret_cast<const char *>(bytes);
    if (text[0] != '[' || text[9] != ' ' || text[14] != ' ' || text[15] != ']' ||
        !parseHexField(text + 1, 8, &out->number) || !parseHexField(text + 10, 4, &out->remaining))
      return Header::Bad;
  } else {
    out->number = getBig32(bytes);
    out->remaining = static_cast<unsigned long>(bytes[4]) << 8 | bytes[5];
  }
  return out->number == 0 && out->remaining == 0 ? Header::Blank : Header::Record;
}

// Fills `line` (lineLength bytes) with one line of a record.
void buildLine(const clog *h, char *line, unsigned long number, unsigned long remaining,
               const char *data, size_t count, bool continues) {
  size_t length = h->lineLength;
  if (h->textFormat) {
    line[0] = '[';
    putHex(line + 1, number & 0xffffffffUL, 8);
    line[9] = ' ';
    putHex(line + 10, remaining & 0xffffUL, 4);
    line[14] = ' ';
    line[15] = ']';
    std::memcpy(line + 16, data, count);
    std::memset(line + 16 + count, '.', length - 17 - count);
    if (continues) {
      line[length - 3] = ' ';
      line[length - 2] = '\\';
    }
    line[length - 1] = '\n';
  } else {
    unsigned char *bytes = reinterpret_cast<unsigned char *>(line);
    putBig32(bytes, static_cast<uint32_t>(number));
    bytes[4] = static_cast<unsigned char>(remaining >> 8);
    bytes[5] = static_cast<unsigned char>(remaining);
    bytes[6] = bytes[7] = 0;
    std::memcpy(line + 8, data, count);
    line[8 + count] = '\n';
    std::memset(line + 9 + count, 0, length - 9 - count);
  }
}

void blankLine(const clog *h, char *line) {
  std::memset(line, '.', h->lineLength);
  line[0] = '[';
  std::memset(line + 1, ' ', 14);
  line[15] = ']';
  line[h->lineLength - 1] = '\n';
}

// Lines a record of `count` characters takes.
unsigned long linesFor(const clog *h, unsigned long count) {
  if (static_cast<long>(count) <= capacity(h)) return 1;
  if (chunk(h) <= 0) return ULONG_MAX;
  unsigned long step = static_cast<unsigned long>(chunk(h));
  return (count - static_cast<unsigned long>(capacity(h)) + step - 1) / step + 1;
}

void resetHandle(clog *h) {
  h->path = nullptr;
  h->fd = -1;
  h->io = nullptr;
  h->map = nullptr;
  h->mapSize = 0;
  h->cursor = 0;
  h->streamBuffer = nullptr;
  h->cacheStart = h->cacheLength = h->pendingStart = h->pendingLength = 0;
  h->readsUnderLock = h->fileCut = 0;
  h->accessMode = CLOG_ACCESS_MMAP;
  h->openFlags = O_RDONLY;
  h->valid = 0;
  h->continuations = 0;
  h->relativeBase = 0;
  h->firstRecord = 0;
  h->firstLine = 0;
  h->lastLine = 0;
  h->lineLength = 0;
  h->lineCount = 0;
  h->textFormat = 1;
  h->empty = 1;
  h->local = 0;
  h->lockDepth = 0;
  h->lockType = 0;
  h->retries = 200;
  h->createTime = 0;
  h->lastTouch = 0;
}

int closeHandle(clog *h) {
  int code = 0;
  if (h->io != nullptr && h->io->close(h) != 0) code = -1;
  if (h->fd >= 0 && close(h->fd) != 0) code = -1;
  std::free(h->path);
  resetHandle(h);
  return code;
}

bool isLocal(int fd) {
  struct statfs info;
  if (fstatfs(fd, &info) != 0) return true;
  return static_cast<unsigned long>(info.f_type) != kNfsMagic;
}

// The file's times say when it was last written, to the second (the resolution that readers of
// the times rely on): a handle touches the file once per second of writing, not on every record.
void touch(clog *h) {
  if (!h->local) return;
  time_t now = time(nullptr);
  if (now == h->lastTouch) return;
  if (futimens(h->fd, nullptr) == 0) h->lastTouch = now;
}

// ---- finding records (callers hold the mutex and a lock) --------------------------------------------

int findFirst(clog *h, unsigned long *number) {
  LineHeader header;
  Header state = readHeader(h, h->firstLine, &header);
  if (state != Header::Record && h->firstLine != 0) {
    h->firstLine = 0;
    state = readHeader(h, 0, &header);
  }
  if (state != Header::Record) {
    h->firstLine = h->firstRecord = h->lastLine = 0;
    h->empty = 1;
    *number = 0;
    return CLOG_ENOLINES;
  }
  h->empty = 0;
  if (header.number == h->firstRecord) {
    *number = header.number;
    return 0;
  }
  // The numbers only grow along the ring; the oldest record is where they fall back. A blank line
  // ends the run: the file has not wrapped, so the run began at the start line.
  unsigned long line = h->firstLine, previous = header.number;
  unsigned long oldestLine = h->firstLine, oldest = header.number;
  for (unsigned long step = 0; step < h->lineCount; ++step) {
    line = nextLine(h, line);
    LineHeader next;
    if (readHeader(h, line, &next) != Header::Record) break;
    if (next.number < previous) {
      oldestLine = line;
      oldest = next.number;
      break;
    }
    previous = next.number;
  }
  h->firstLine = oldestLine;
  h->firstRecord = oldest;
  *number = oldest;
  return 0;
}

int findLast(clog *h, unsigned long *number) {
  if (h->empty) {
    int code = findFirst(h, number);
    if (code != 0) return code;
  }
  LineHeader header;
  if (readHeader(h, h->lastLine, &header) != Header::Record) {
    h->lastLine = h->firstLine;
    if (readHeader(h, h->lastLine, &header) != Header::Record) {
      h->empty = 1;
      *number = 0;
      return CLOG_ENOLINES;
    }
  }
  unsigned long line = h->lastLine, current = header.number;
  for (unsigned long step = 0; step + 1 < h->lineCount; ++step) {
    unsigned long candidate = nextLine(h, line);
    LineHeader next;
    if (readHeader(h, candidate, &next) != Header::Record || next.number < current) break;
    if (next.number == current) ++h->continuations;
    current = next.number;
    line = candidate;
  }
  h->lastLine = line;
  *number = current;
  return 0;
}

// The record that starts at `line`; a record whose continuation was overwritten or never finished
// (a writer killed midway) ends where its run of lines ends.
int readRecordAt(clog *h, unsigned long line, unsigned long number, char **text) {
  LineHeader header;
  if (readHeader(h, line, &header) != Header::Record || header.remaining == 0) return CLOG_EOF;
  unsigned long remaining = header.remaining - 1;
  char *result = static_cast<char *>(std::malloc(remaining + 2));
  if (result == nullptr) return CLOG_ENOMEM;
  unsigned long used = 0;
  long cap = capacity(h);
  unsigned long dataOffset = recordHeaderSize(h);
  // Lines too short to carry a continuation cannot hold more than one line's worth: a header that
  // claims more was not written here, and the text stops where the line does.
  if (chunk(h) <= 0 && static_cast<long>(remaining) > cap) remaining = cap > 0 ? static_cast<unsigned long>(cap) : 0;
  while (static_cast<long>(remaining) > cap) {
    unsigned long part = static_cast<unsigned long>(chunk(h));
    if (h->io->seek(h, lineOffset(h, line) + dataOffset) != 0 ||
        h->io->read(h, result + used, part) != 0) {
      std::free(result);
      return -1;
    }
    used += part;
    remaining -= part;
    line = nextLine(h, line);
    LineHeader next;
    if (readHeader(h, line, &next) != Header::Record || next.number != number ||
        next.remaining != remaining + 1) {
      remaining = 0;
      break;
    }
  }
  if (remaining > 0) {
    if (h->io->seek(h, lineOffset(h, line) + dataOffset) != 0 ||
        h->io->read(h, result + used, remaining) != 0) {
      std::free(result);
      return -1;
    }
    used += remaining;
  }
  // Records never hold a line end or a NUL (the writer splits texts at line ends): one found in
  // the data is damage, and the text ends there, so that a record always reads as one line.
  used = strnlen(result, used);
  if (const char *end = static_cast<const char *>(std::memchr(result, '\n', used)))
    used = static_cast<unsigned long>(end - result);
  result[used] = '\n';
  result[used + 1] = '\0';
  *text = result;
  return 0;
}

// Reads record `number`. On CLOG_SOF, *present (when given) is the number of the record that the
// search met in its place: the oldest one for an overwritten number, the next one written for a
// number that never was (0 when there is none to tell).
int readAbsolute(clog *h, unsigned long number, char **text, unsigned long *present = nullptr) {
  if (present != nullptr) *present = 0;
  unsigned long first, last;
  int code = findFirst(h, &first);
  if (code == CLOG_ENOLINES) return CLOG_EOF;
  if (code != 0) return code;
  code = findLast(h, &last);
  if (code == CLOG_ENOLINES) return CLOG_EOF;
  if (code != 0) return code;
  if (number > last) return CLOG_EOF;
  if (number < first) {
    if (present != nullptr) *present = first;
    return CLOG_SOF;
  }
  uint64_t span = last - first + 1;
  long usedLines = static_cast<long>(h->lastLine) - static_cast<long>(h->firstLine) + 1;
  uint64_t used = usedLines <= 0 ? h->lineCount : static_cast<uint64_t>(usedLines);
  unsigned long line =
      static_cast<unsigned long>((h->firstLine + (number - first) * used / span) % h->lineCount);
  LineHeader header;
  if (readHeader(h, line, &header) != Header::Record) return CLOG_EOF;
  if (header.number >= number) {
    // Back to the line after the last smaller number: the record's first line.
    for (unsigned long step = 0; line != h->firstLine && step < h->lineCount; ++step) {
      LineHeader before;
      Header state = readHeader(h, prevLine(h, line), &before);
      if (state == Header::Bad) return CLOG_EOF;
      if (state == Header::Blank || before.number < number) break;
      line = prevLine(h, line);
      header = before;
    }
    if (header.number != number) {
      if (present != nullptr && header.number > number) *present = header.number;
      return CLOG_SOF;
    }
  } else {
    bool found = false;
    for (unsigned long step = 0; line != h->lastLine && step < h->lineCount; ++step) {
      line = nextLine(h, line);
      if (readHeader(h, line, &header) != Header::Record) return CLOG_EOF;
      if (header.number == number) {
        found = true;
        break;
      }
      if (header.number > number) {  // a number that was never written
        if (present != nullptr) *present = header.number;
        return CLOG_SOF;
      }
    }
    if (!found) return CLOG_EOF;
  }
  return readRecordAt(h, line, number, text);
}

int parseTextHeader(char *bytes, unsigned long *size, unsigned long *lineLength, unsigned long *created) {
  for (int i = 0; i < 84; ++i)
    if (bytes[i] == ' ') bytes[i] = '\0';
  if (std::strcmp(bytes, "#!clog") != 0) return CLOG_ENOTCLOG;
  // Each number ends at the blank after it; upper case digits are read too.
  auto number = [&](int at, int width, unsigned long *out) {
    if (bytes[at + width] != '\0' || !parseHexField(bytes + at, static_cast<size_t>(width), out))
      return false;
    return true;
  };
  if (!number(7, 8, size) || !number(16, 4, lineLength) || !number(21, 8, created)) return CLOG_ENOTCLOG;
  return 0;
}

// Makes fd, opened on path, the handle's file in place of what it had (the access mode stays);
// false, with fd closed, when memory runs out. The caller holds the mutex.
bool takeFile(clog *log, const char *path, int fd, int openFlags) {
  int accessMode = log->accessMode;
  if (log->valid || log->fd >= 0) closeHandle(log);
  log->accessMode = accessMode;
  log->path = strdup(path);
  if (log->path == nullptr) {
    close(fd);
    return false;
  }
  log->fd = fd;
  log->openFlags = openFlags;
  return true;
}

// The first or last record number, found under the read lock.
int recordNumberUnderLock(clog *log, unsigned long *number, int (*find)(clog *, unsigned long *)) {
  if (log == nullptr) return CLOG_ENULL;
  Session session(log);
  if (!log->valid) return CLOG_ENOTCLOG;
  int code = session.lock(1);
  if (code != 0) return code;
  unsigned long value = 0;
  code = find(log, &value);
  if (number != nullptr) *number = value;
  return code;
}

// ---- making new files ------------------------------------------------------------------------------

// The line length and the file size (raised to two lines) of a new file; false when the size does
// not fit the header's eight digits.
bool newGeometry(unsigned long *size, unsigned long max_record, unsigned long *length) {
  unsigned long wanted = max_record % 65536;
  *length = wanted == 65535 ? 17 : std::min(wanted + 1, 65519UL) + 16;
  *size = std::max(*size, 2 * *length + kTextHeader);
  return *size <= 0xffffffffUL;
}

// Writes the header, the blank lines and the tail of a new file into the handle's I/O table.
int writeFormat(clog *log, unsigned long size) {
  unsigned long length = log->lineLength;
  // "#!clog SSSSSSSS LLLL TTTTTTTT \n", the banner, " \n".
  char header[kTextHeader];
  std::memset(header, ' ', sizeof header);
  std::memcpy(header, "#!clog", 6);
  putHex(header + 7, size, 8);
  putHex(header + 16, length, 4);
  putHex(header + 21, static_cast<unsigned long>(log->createTime) & 0xffffffffUL, 8);
  header[30] = '\n';
  std::memcpy(header + 31, kBanner, 52);
  header[84] = '\n';
  char *line = static_cast<char *>(std::malloc(length));
  if (line == nullptr) return CLOG_ENOMEM;
  blankLine(log, line);
  int code = log->io->seek(log, 0) != 0 || log->io->write(log, header, kTextHeader) != 0 ? -1 : 0;
  for (unsigned long i = 0; code == 0 && i < log->lineCount; ++i)
    if (log->io->write(log, line, length) != 0) code = -1;
  unsigned long tail = (size - kTextHeader) % length;
  if (code == 0 && tail > 0) {
    unsigned long headerPart = std::min(tail - 1, 16UL);
    unsigned long dots = tail > 17 ? tail - 17 : 0;
    if (log->io->write(log, line, headerPart) != 0 || log->io->writeChar(log, '.', dots) != 0 ||
        log->io->write(log, "\n", 1) != 0)
      code = -1;
  }
  std::free(line);
  if (code == 0 && log->io->flush(log) != 0) code = -1;
  return code;
}

// Makes fd (open read-write on a file of any length) the handle's file and formats it under the
// write lock; `emptyFirst` truncates it first. The caller holds the mutex through `session`.
int formatNew(clog *log, Session &session, int fd, const char *path, unsigned long size,
              unsigned long length, bool emptyFirst) {
  if (!takeFile(log, path, fd, O_RDWR)) return -1;
  log->valid = 1;
  log->lineLength = length;
  log->lineCount = (size - kTextHeader) / length;
  log->textFormat = 1;
  log->empty = 1;
  log->retries = 200;
  log->createTime = time(nullptr);
  log->local = isLocal(fd) ? 1 : 0;
  if (openIo(log, size) != 0) {
    int saved = errno;
    closeHandle(log);
    return errno = saved, -1;
  }
  int code = session.lock(2, false);  // the file gets its length only now
  if (code != 0) return code;
  if ((emptyFirst && ftruncate(fd, 0) != 0) || ftruncate(fd, static_cast<off_t>(size)) != 0) return -1;
  return writeFormat(log, size);
}

// The fallback where no new file can be made beside the path: the file is opened as it is and
// truncated and formatted under the write lock (not at open: processes that have the old file
// mapped must not meet an empty file between the two).
int formatInPlace(clog *log, Session &session, const char *path, unsigned long size,
                  unsigned long length) {
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  return formatNew(log, session, fd, path, size, length, true);
}

// What the symbolic link `link` points to, as a path (a relative target is taken from the link's
// folder); the link itself when it cannot be read.
std::string linkTarget(const std::string &link) {
  char buffer[PATH_MAX];
  ssize_t length = readlink(link.c_str(), buffer, sizeof buffer - 1);
  if (length <= 0) return link;
  std::string target(buffer, static_cast<size_t>(length));
  size_t slash = link.rfind('/');
  if (target[0] == '/' || slash == std::string::npos) return target;
  return link.substr(0, slash + 1) + target;
}

enum class Target { Replace, InPlace, Refused };

// Where a new file for `path` goes. A symbolic link is followed to the file it names; a file that
// is not a regular one with a single name (a device, a file with other hard links, a link that
// leads nowhere) is formatted in place, as replacing it would change what the other names see.
// An existing file that this process may not write is refused (errno set) rather than replaced.
Target replacementTarget(const char *path, std::string *target) {
  struct stat info;
  *target = path;
  if (lstat(path, &info) != 0) return errno == ENOENT ? Target::Replace : Target::InPlace;
  if (S_ISLNK(info.st_mode)) {
    char *resolved = realpath(path, nullptr);
    if (resolved == nullptr) return Target::InPlace;
    *target = resolved;
    std::free(resolved);
    if (stat(target->c_str(), &info) != 0) return Target::InPlace;
  }
  if (!S_ISREG(info.st_mode) || info.st_nlink != 1) return Target::InPlace;
  int probe = open(target->c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (probe < 0) return Target::Refused;
  close(probe);
  return Target::Replace;
}

// A new, empty file beside `target` under a name of its own ("." + base name + "." + process + "-" +
// count + ".new"), permissions 0666 less the umask as for any new file; fd < 0 when none can be
// made there.
struct TempFile {
  std::string path;
  int fd = -1;
  explicit TempFile(const std::string &target) {
    static std::atomic<unsigned> counter{0};
    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    // At most 100 characters of the base name, so that the name stays within any file name limit.
    std::string base = (slash == std::string::npos ? target : target.substr(slash + 1)).substr(0, 100);
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      path = folder + "." + base + "." + std::to_string(getpid()) + "-" + std::to_string(counter++) +
             ".new";
      fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
      if (fd < 0 && errno != EEXIST) break;
    }
  }
  // The descriptor passes to the caller; the name stays for the rename.
  int release() {
    int owned = fd;
    fd = -1;
    return owned;
  }
  ~TempFile() {
    if (fd >= 0) {
      close(fd);
      unlink(path.c_str());
    }
  }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
};

}  // namespace

extern "C" {

clog *clog_create(void) {
  clog *h = static_cast<clog *>(std::calloc(1, sizeof(clog)));
  if (h != nullptr) resetHandle(h);
  return h;
}

void clog_destroy(clog *log) {
  if (log == nullptr) return;
  Session session(log);
  if (log->valid || log->fd >= 0) closeHandle(log);
  std::free(log);
}

int clog_setAccessMode(clog *log, int mode) {
  if (log == nullptr) return 1;
  Session session(log);
  log->accessMode = mode == CLOG_ACCESS_STREAM ? CLOG_ACCESS_STREAM : CLOG_ACCESS_MMAP;
  return 0;
}

int clog_new_file(clog *log, const char *path, unsigned long size, unsigned long max_record) {
  if (log == nullptr) return CLOG_ENULL;
  if (path == nullptr) return errno = EINVAL, -1;
  unsigned long length = 0;
  if (!newGeometry(&size, max_record, &length)) return errno = EFBIG, -1;
  Session session(log);
  std::string target;
  switch (replacementTarget(path, &target)) {
    case Target::Refused:
      return -1;
    case Target::InPlace:
      return formatInPlace(log, session, path, size, length);
    case Target::Replace:
      break;
  }
  // Built whole under another name, then renamed over the path: other processes see the old
  // file or the new one, never a half-formatted one.
  TempFile temp(target);
  if (temp.fd < 0) return formatInPlace(log, session, path, size, length);
  struct stat old;
  if (stat(target.c_str(), &old) == 0) {
    // The new file keeps what the old one had, as a truncation in place would.
    fchmod(temp.fd, old.st_mode & 07777);
    if (old.st_uid != geteuid() || old.st_gid != getegid()) (void)!fchown(temp.fd, old.st_uid, old.st_gid);
  }
  int code = formatNew(log, session, temp.release(), path, size, length, false);
  if (code == 0 && rename(temp.path.c_str(), target.c_str()) != 0) code = -1;
  if (code != 0) {
    int saved = errno;
    session.unlock();
    closeHandle(log);
    unlink(temp.path.c_str());
    errno = saved;
  }
  return code;
}

int clog_new_file_nl(clog *log, const char *path, unsigned long lines, unsigned long max_record) {
  unsigned long perLine = max_record % 65536 + 17;
  // A product that would wrap is a file too large, not a small one.
  if (lines > (ULONG_MAX - kTextHeader) / perLine) return errno = EFBIG, -1;
  return clog_new_file(log, path, lines * perLine + kTextHeader, max_record);
}

}  // extern "C"

// Opens the log at path, or makes it when there is none: a new file is built whole under another
// name and then given the path only if the path is still free, so that of several processes that
// try at once one makes the file and the others open it, and none sees it half-formatted.
int clogOpenOrCreate(clog *log, const char *path, unsigned long lines, unsigned long max_record) {
  if (log == nullptr) return CLOG_ENULL;
  if (path == nullptr) return errno = EINVAL, -1;
  unsigned long perLine = max_record % 65536 + 17;
  if (lines > (ULONG_MAX - kTextHeader) / perLine) return errno = EFBIG, -1;
  unsigned long size = lines * perLine + kTextHeader, length = 0;
  if (!newGeometry(&size, max_record, &length)) return errno = EFBIG, -1;
  // Where the file goes: the path, or where a symbolic link that leads nowhere yet points. The
  // path may also vanish between a failed open and the next attempt; the turns are bounded all
  // the same.
  std::string where = path;
  for (int turn = 0; turn < 10; ++turn) {
    int code = clog_open_file(log, path, 1);
    if (code != -1 || errno != ENOENT) return code;
    Session session(log);
    struct stat info;
    if (lstat(where.c_str(), &info) == 0) {
      if (S_ISLNK(info.st_mode)) where = linkTarget(where);
      continue;  // a link followed one step, or a file that another process made meanwhile
    }
    TempFile temp(where);
    if (temp.fd < 0) {
      // No file can be made beside the path: whoever gets to open it first creates it in place.
      int fd = open(where.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno == EEXIST) continue;
      if (fd < 0) return -1;
      return formatNew(log, session, fd, path, size, length, false);
    }
    code = formatNew(log, session, temp.release(), path, size, length, false);
    if (code == 0 &&
        renameat2(AT_FDCWD, temp.path.c_str(), AT_FDCWD, where.c_str(), RENAME_NOREPLACE) != 0) {
      // File systems without the exclusive rename give the same guarantee through a hard link.
      if (errno == EINVAL || errno == ENOSYS) {
        code = link(temp.path.c_str(), where.c_str()) == 0 ? 0 : -1;
        int saved = errno;
        unlink(temp.path.c_str());
        errno = saved;
      } else {
        code = -1;
      }
      if (code != 0 && errno == EEXIST) {
        // Another process was first: its file is the log.
        session.unlock();
        closeHandle(log);
        unlink(temp.path.c_str());
        continue;
      }
    }
    if (code != 0) {
      int saved = errno;
      session.unlock();
      closeHandle(log);
      unlink(temp.path.c_str());
      errno = saved;
    }
    return code;
  }
  return errno = EAGAIN, -1;
}

int clogReadNext(clog *log, unsigned long *number, char **text) {
  if (log == nullptr) return CLOG_ENULL;
  if (number == nullptr || text == nullptr) return errno = EINVAL, -1;
  Session session(log);
  if (!log->valid) return CLOG_ENOTCLOG;
  int code = session.lock(1);
  if (code != 0) return code;
  // Each turn moves to a number that a line header holds and that is larger than the last one
  // tried; a ring of n lines holds at most n of them.
  for (unsigned long turn = 0; turn <= log->lineCount; ++turn) {
    unsigned long present = 0;
    code = readAbsolute(log, *number, text, &present);
    if (code == CLOG_EOF) {
      // Before the newest record, the end comes from a line header that cannot be read: a
      // damaged line, passed over.
      unsigned long last = 0;
      if (findLast(log, &last) != 0 || *number >= last) return code;
      present = *number + 1;
    } else if (code != CLOG_SOF || present <= *number) {
      return code;
    }
    *number = present;
  }
  return CLOG_SOF;
}

extern "C" {

int clog_open_file(clog *log, const char *path, int mode) {
  if (log == nullptr) return CLOG_ENULL;
  if (path == nullptr) return errno = EINVAL, -1;
  struct stat info;
  if (stat(path, &info) != 0) return -1;
  if (!S_ISREG(info.st_mode) || info.st_size < 16) return CLOG_ENOTCLOG;
  bool writable = mode == 1;
  int fd = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return -1;
  Session session(log);
  if (!takeFile(log, path, fd, writable ? O_RDWR : O_RDONLY)) return -1;
  log->local = isLocal(fd) ? 1 : 0;
  int code = session.lock(1);
  auto fail = [&](int failure) {
    session.unlock();
    int saved = errno;
    closeHandle(log);
    errno = saved;
    return failure;
  };
  if (code != 0) return fail(code);

  char bytes[85] = {};
  ssize_t got = pread(fd, bytes, 84, 0);
  if (got < 0) return fail(CLOG_EREADPERM);
  // Shorter than a header: some other file (a short text file must still open as a regular log).
  if (got < 84) return fail(CLOG_ENOTCLOG);
  unsigned long size, length, created = 0;
  if (getBig32(reinterpret_cast<unsigned char *>(bytes)) == kBinaryMagic) {
    log->textFormat = 0;
    size = getBig32(reinterpret_cast<unsigned char *>(bytes) + 4);
    length = getBig32(reinterpret_cast<unsigned char *>(bytes) + 8);
  } else {
    log->textFormat = 1;
    code = parseTextHeader(bytes, &size, &length, &created);
    if (code != 0) return fail(code);
  }
  // The header must describe a file that is really there: lines long enough for a record header,
  // at least two of them, and no more bytes than the file holds (a truncated file is refused).
  unsigned long minimum = log->textFormat ? 17 : 10;
  if (fstat(fd, &info) != 0) return fail(-1);
  if (length < minimum || length > 65535 + 16 || size < headerSize(log) + 2 * length ||
      size > static_cast<unsigned long>(info.st_size))
    return fail(CLOG_ENOTCLOG);

  session.unlock();
  if (openIo(log, size) != 0) return fail(-1);
  code = session.lock(1);
  if (code != 0) return fail(code);
  log->valid = 1;
  log->lineLength = length;
  log->lineCount = (size - headerSize(log)) / length;
  log->firstLine = log->firstRecord = log->lastLine = 0;
  log->empty = 1;
  log->retries = 200;
  log->createTime = static_cast<time_t>(created);
  LineHeader first;
  log->continuations =
      readHeader(log, 0, &first) == Header::Record ? first.number % log->lineCount : 0;
  unsigned long oldest = 0, newest;
  if (findFirst(log, &oldest) == 0) findLast(log, &newest);
  log->relativeBase = oldest;
  return 0;
}

int clog_close_file(clog *log) {
  if (log == nullptr) return CLOG_ENULL;
  Session session(log);
  return closeHandle(log);
}

int clog_write_rec(clog *log, const char *text) {
  if (log == nullptr) return CLOG_ENULL;
  if (text == nullptr) return errno = EINVAL, -1;
  Session session(log);
  if (!log->valid) return CLOG_ENOTCLOG;
  if ((log->openFlags & O_ACCMODE) != O_RDWR) return CLOG_EWRITEPERM;
  // Every line must fit before anything is written, so a refused text leaves no trace.
  for (const char *cursor = text; *cursor != '\0';) {
    const char *end = std::strchr(cursor, '\n');
    unsigned long count = end == nullptr ? std::strlen(cursor) : static_cast<unsigned long>(end - cursor);
    if (count > kMaxRemaining || (count > 0 && linesFor(log, count) >= log->lineCount))
      return CLOG_ETOOLONG;
    if (end == nullptr) break;
    cursor = end + 1;
  }
  int code = session.lock(2);
  if (code != 0) return code;
  unsigned long last, number, line;
  code = findLast(log, &last);
  // A file that something cut short under the handle is no longer the file it opened (the mapping
  // refuses it at the lock): nothing is written into it or past its end.
  if (log->fileCut) return CLOG_ENOTCLOG;
  if (code == 0) {
    number = last + 1;
    line = nextLine(log, log->lastLine);
  } else if (code == CLOG_ENOLINES) {
    number = 0;
    line = 0;
  } else {
    return code;
  }
  // Lines of usual lengths are built on the stack.
  char local[1024];
  char *buffer = log->lineLength <= sizeof local ? local : static_cast<char *>(std::malloc(log->lineLength));
  if (buffer == nullptr) return CLOG_ENOMEM;
  long cap = capacity(log);
  for (const char *cursor = text; *cursor != '\0' && code != -1; ++number) {
    const char *end = std::strchr(cursor, '\n');
    unsigned long remaining = end == nullptr ? std::strlen(cursor) : static_cast<unsigned long>(end - cursor);
    const char *data = cursor;
    while (remaining > 0) {
      bool continues = static_cast<long>(remaining) > cap;
      unsigned long part = continues ? static_cast<unsigned long>(chunk(log)) : remaining;
      if (continues) ++log->continuations;
      buildLine(log, buffer, number, remaining + 1, data, part, continues);
      if (log->io->seek(log, lineOffset(log, line)) != 0 ||
          log->io->write(log, buffer, log->lineLength) != 0) {
        code = -1;
        break;
      }
      log->empty = 0;
      log->lastLine = line;
      line = nextLine(log, line);
      data += part;
      remaining -= part;
    }
    if (end == nullptr) break;
    cursor = end + 1;
  }
  if (buffer != local) std::free(buffer);
  if (code == -1) return -1;
  if (log->io->flush(log) != 0) return -1;
  touch(log);
  return 0;
}

int clog_read_abs_rec(clog *log, unsigned long number, char **text) {
  if (log == nullptr) return CLOG_ENULL;
  if (text == nullptr) return errno = EINVAL, -1;
  Session session(log);
  if (!log->valid) return CLOG_ENOTCLOG;
  int code = session.lock(1);
  if (code != 0) return code;
  return readAbsolute(log, number, text);
}

int clog_read_rec(clog *log, long relative, char **text) {
  if (log == nullptr) return CLOG_ENULL;
  Session session(log);
  // The magnitude computed unsigned: -LONG_MIN would overflow.
  if (relative < 0 && 0UL - static_cast<unsigned long>(relative) > log->relativeBase) return CLOG_SOF;
  int code = clog_read_abs_rec(log, log->relativeBase + static_cast<unsigned long>(relative), text);
  if (code == CLOG_EOF) {
    long first;
    if (clog_first_rec(log, &first) == 0 && relative < first) code = CLOG_SOF;
  }
  return code;
}

int clog_first_abs_rec(clog *log, unsigned long *number) { return recordNumberUnderLock(log, number, findFirst); }

int clog_last_abs_rec(clog *log, unsigned long *number) { return recordNumberUnderLock(log, number, findLast); }

int clog_first_rec(clog *log, long *number) {
  unsigned long value = 0;
  int code = clog_first_abs_rec(log, &value);
  if (number != nullptr) *number = code == 0 ? static_cast<long>(value - log->relativeBase) : 0;
  return code;
}

int clog_last_rec(clog *log, long *number) {
  unsigned long value = 0;
  int code = clog_last_abs_rec(log, &value);
  if (number != nullptr) *number = code == 0 ? static_cast<long>(value - log->relativeBase) : 0;
  return code;
}

int clog_reset_recs(clog *log) {
  if (log == nullptr) return CLOG_ENULL;
  Session session(log);
  unsigned long first = 0;
  int code = clog_first_abs_rec(log, &first);
  log->relativeBase = code == 0 ? first : 0;
  return code == CLOG_ENOLINES ? 0 : code;
}

int clog_set_num_retries(clog *log, int retries) {
  if (log == nullptr) return CLOG_ENULL;
  Session session(log);
  log->retries = retries < 0 ? 0 : retries;
  return 0;
}

int clog_get_num_retries(clog *log) { return log == nullptr ? 0 : log->retries; }

int clog_get_line_length(clog *log) {
  if (log == nullptr || !log->valid) return 0;
  return static_cast<int>(capacity(log));
}

time_t clog_get_createtime(clog *log) { return log == nullptr ? 0 : log->createTime; }

int clog_get_fd(clog *log) { return log == nullptr ? -1 : log->fd; }

const char *clog_error_str(int code) {
  static const char *const messages[] = {
      "No Error.",
      "Circular Log object is NULL (malloc error?).",
      "UNIX System Error.",
      "Ran out of memory.",
      "Circular logging EOF.",
      "Circular logging SOF.",
      "Line too long.",
      "File is not Circular Log file.",
      "Tried to open a file which doesn't exist.",
      "No lines are available.",
      "Could not lock file for writing.",
      "Write permission denied.",
      "Read permission denied.",
  };
  if (code < 0) return std::strerror(errno);
  if (static_cast<size_t>(code) < std::size(messages)) return messages[code];
  return "Unknown Error.";
}

}  // extern "C"
