// Interface class "clog": circular log files as interfaces. A write appends records; a read returns
// the next record not yet read, skipping what the ring has overwritten meanwhile.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "io/class.h"
#include "log/clog_internal.h"
#include "telvi/clog.h"
#include "telvi/ddl.h"
#include "telvi/interface.h"
#include "telvi/package.h"

namespace {

using telvi::io::specFields;

struct ClogInterface {
  clog *log;
  unsigned long next;  // absolute number of the next record to read
};

// clog://localhost/path;lines=L;width=W;flags=F;mode=NNN;mmap=B -> clog:path:lines:width:flags:mode:mmap
std::optional<std::string> toSpec(const char *urlOrSpec) {
  if (!isURL(urlOrSpec)) return std::string(urlOrSpec);
  return telvi::io::localSpec(urlOrSpec, "clog", {"lines", "width", "flags", "mode", "mmap"});
}

// A decimal number of at least 1; 0 for anything else.
unsigned long count(const std::optional<std::string> &word, unsigned long fallback) {
  if (!word) return fallback;
  char *end;
  errno = 0;
  unsigned long value = std::strtoul(word->c_str(), &end, 10);
  if (*end != '\0' || end == word->c_str() || errno != 0 || (*word)[0] == '-') return 0;
  return value;
}


// Codes of the log become errno values for the registry's callers, the nearest in meaning (a lock
// that could not be had is ENOLCK, not a bare I/O error); the log's own message goes to the "error"
// diagnostic channel, naming the file.
int failWith(const char *what, const char *path, int code) {
  if (code <= 0) return -1;
  int saved;
  switch (code) {
    case CLOG_ELOCK: saved = ENOLCK; break;
    case CLOG_ENOTCLOG: saved = EINVAL; break;
    case CLOG_EREADPERM: saved = EACCES; break;
    case CLOG_EWRITEPERM: saved = EBADF; break;
    case CLOG_ETOOLONG: saved = EMSGSIZE; break;
    case CLOG_ENOMEM: saved = ENOMEM; break;
    case CLOG_ENOENT: saved = ENOENT; break;
    default: saved = EIO; break;
  }
  // A diagnostic channel may itself be a circular log that fails the same way: no second message
  // while the first is on its way.
  static bool reporting = false;
  if (!reporting) {
    reporting = true;
    ddlPrintf("error", "clog %s %s: %s\n", what, path != nullptr ? path : "", clog_error_str(code));
    reporting = false;
  }
  interfaceSetErrorText(clog_error_str(code));
  errno = saved;
  return -1;
}

int clogOpen(const char *urlOrSpec) {
  std::optional<std::string> spec = toSpec(urlOrSpec);
  if (!spec) return errno = EINVAL, -1;
  auto fields = specFields(spec->c_str(), 6);
  const auto &path = fields[0], &flagWord = fields[3], &modeWord = fields[4], &mapWord = fields[5];
  unsigned long lines = count(fields[1], 1000), width = count(fields[2], 80);
  if (!path || lines == 0 || width == 0) return errno = EINVAL, -1;
  enum { ReadOnly, Create, OpenOrCreate } how;
  if (!flagWord || *flagWord == "rw+")
    how = OpenOrCreate;
  else if (*flagWord == "r" || *flagWord == "ro")
    how = ReadOnly;
  else if (*flagWord == "rw")
    how = Create;
  else
    return errno = EINVAL, -1;
  int mode = -1;
  if (modeWord) {
    mode = telvi::io::permissions(*modeWord);
    if (mode < 0 || how == ReadOnly) return errno = EINVAL, -1;
  }
  std::string file = intFileFromInterfacePath(path->c_str(), how == ReadOnly ? 0 : 1);

  clog *log = clog_create();
  if (log == nullptr) return errno = ENOMEM, -1;
  clog_setAccessMode(log, mapWord && *mapWord == "false" ? CLOG_ACCESS_STREAM : CLOG_ACCESS_MMAP);
  int code = how == Create         ? clog_new_file_nl(log, file.c_str(), lines, width)
             : how == OpenOrCreate ? clogOpenOrCreate(log, file.c_str(), lines, width)
                                   : clog_open_file(log, file.c_str(), 0);
  auto *state = static_cast<ClogInterface *>(std::malloc(sizeof(ClogInterface)));
  int fd = clog_get_fd(log);
  if (code == 0 && state == nullptr) code = (errno = ENOMEM, -1);
  if (code == 0 && mode >= 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0) code = -1;
  if (code == 0 && intAdd(interfaceFindClass("clog"), fd, -1, -1, spec->c_str(),
                          how == ReadOnly ? 0 : 2, -1) != 0)
    code = -1;
  if (code != 0) {
    int saved = errno;
    std::free(state);
    clog_destroy(log);
    errno = saved;
    return failWith("open", file.c_str(), code);
  }
  state->log = log;
  clog_first_abs_rec(log, &state->next);
  interfaceRecord(fd)->priv = state;
  return fd;
}

ClogInterface *stateOf(int fd) {
  intStruct *record = interfaceRecord(fd);
  return record == nullptr ? nullptr : static_cast<ClogInterface *>(record->priv);
}

ssize_t clogRead(int fd, void *buf, size_t len, intPeer *) {
  ClogInterface *state = stateOf(fd);
  if (state == nullptr || buf == nullptr || len == 0) return errno = EINVAL, -1;
  char *text = nullptr;
  int code = clogReadNext(state->log, &state->next, &text);
  if (code == CLOG_EOF || code == CLOG_ENOLINES) return 0;  // nothing new
  if (code == CLOG_SOF) {
    // Only a damaged file leaves no record to go on with: try the next number on the next read.
    ++state->next;
    return 0;
  }
  if (code != 0) return failWith("read", state->log->path, code);
  if (text == nullptr) return 0;
  size_t length = std::strlen(text);
  if (length > len - 1) length = len - 1;
  std::memcpy(buf, text, length);
  static_cast<char *>(buf)[length] = '\0';
  std::free(text);
  ++state->next;
  return static_cast<ssize_t>(length);
}

ssize_t clogWrite(int fd, const void *buf, size_t len, intPeer *) {
  ClogInterface *state = stateOf(fd);
  if (state == nullptr || (buf == nullptr && len > 0)) return errno = EINVAL, -1;
  std::string text(static_cast<const char *>(buf), len);
  int code = clog_write_rec(state->log, text.c_str());
  if (code != 0) return failWith("write", state->log->path, code);
  return static_cast<ssize_t>(len);
}

int clogClose(int fd) {
  ClogInterface *state = stateOf(fd);
  if (interfaceRecord(fd) == nullptr) return errno = EBADF, -1;
  intRemove(fd);
  if (state != nullptr) {
    clog_destroy(state->log);
    std::free(state);
  }
  return 0;
}

int clogRemove(const char *urlOrSpec) { return telvi::io::removeSpecFile(toSpec(urlOrSpec)); }

const intClass intClogClass = {"clog",    clogOpen,  clogClose,  nullptr,    nullptr,
                               clogRead,  nullptr,   clogWrite,  clogRemove, nullptr};

}  // namespace

extern "C" int Intclog_InitInternal(void) {
  telvi::io::registerClass(&intClogClass);
  return TCL_OK;
}
