// The interface registry: classes by URL scheme and the table of open interfaces by descriptor,
// plus the "desc" class for descriptors the process already has.
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "io/class.h"
#include "telvi/interface.h"

// The words of the last failing class call (one thread uses the registry).
static std::string lastErrorText;

namespace {

const intClass *classVec[INTERFACE_MAX_CLASSES + 1];
intStruct records[INTERFACE_MAX_DESCRIPTORS];
bool initialized = false;

intStruct *recordAt(int fd) {
  interfaceInitialize();
  if (fd < 0 || fd >= INTERFACE_MAX_DESCRIPTORS || records[fd].fd < 0) return nullptr;
  return &records[fd];
}

const intClass *classOf(int fd) {
  const intStruct *record = recordAt(fd);
  return record == nullptr ? nullptr : record->cls;
}

void freeRecord(intStruct &record) {
  std::free(record.spec);
  record = intStruct{-1, -1, -1, -1, nullptr, 0, -1, nullptr, nullptr};
}

// The scheme word of a URL, or of a spec (the text before its first ':').
std::string schemeOf(const char *text) {
  if (const char *mark = std::strstr(text, "://")) return std::string(text, mark - text);
  return std::string(text, std::strcspn(text, ":"));
}

// desc: a descriptor the process already holds, by number or as stdin, stdout, stderr.
int descOpen(const char *urlOrSpec) {
  std::optional<std::string> word;
  if (isURL(urlOrSpec)) {
    if (!telvi::io::hostIsLocal(urlOrSpec)) return errno = EINVAL, -1;
    word = telvi::io::take(getURLResource(urlOrSpec));
  } else {
    word = telvi::io::specFields(urlOrSpec, 1)[0];
  }
  if (!word) return errno = EINVAL, -1;
  int fd;
  if (*word == "stdin") {
    fd = 0;
  } else if (*word == "stdout") {
    fd = 1;
  } else if (*word == "stderr") {
    fd = 2;
  } else {
    char *end;
    errno = 0;
    long number = std::strtol(word->c_str(), &end, 10);
    if (*end != '\0' || end == word->c_str() || errno != 0 || number < 0 ||
        number >= INTERFACE_MAX_DESCRIPTORS)
      return errno = EINVAL, -1;
    fd = static_cast<int>(number);
  }
  if (recordAt(fd) != nullptr) return fd;
  struct stat info;
  if (fstat(fd, &info) != 0) return -1;
  int flags = fcntl(fd, F_GETFL);
  int mode = (flags & O_ACCMODE) == O_RDONLY ? 0 : (flags & O_ACCMODE) == O_WRONLY ? 1 : 2;
  std::string spec = "desc:" + std::to_string(fd);
  if (intAdd(interfaceFindClass("desc"), fd, -1, -1, spec.c_str(), mode, -1) != 0) return -1;
  return fd;
}

// Closing a desc interface only forgets it: the descriptor belongs to whoever opened it.
int descClose(int fd) {
  intRemove(fd);
  return 0;
}

const intClass intDescClass = {"desc",  descOpen, descClose, nullptr, nullptr, nullptr,
                               nullptr, nullptr,  nullptr,   nullptr};

}  // namespace

namespace telvi::io {

std::vector<std::optional<std::string>> specFields(const char *spec, size_t count) {
  std::vector<std::optional<std::string>> fields(count);
  const char *cursor = std::strchr(spec, ':');
  cursor = cursor == nullptr ? nullptr : cursor + 1;
  for (size_t i = 0; i < count; ++i) fields[i] = take(stringParse(&cursor, ':'));
  return fields;
}

bool hostIsLocal(const char *url) {
  CString host(getURLHost(url));
  return !host || strcasecmp(host.get(), "localhost") == 0;
}

std::optional<std::string> localSpec(const char *url, const char *scheme,
                                     std::initializer_list<const char *> params) {
  if (!hostIsLocal(url)) return std::nullopt;
  std::optional<std::string> resource = take(getURLResource(url));
  if (!resource) return std::nullopt;
  // The spec separates its fields with ':' and has no way to quote one: a ':' in the resource or a
  // value would shift the fields after it (a=b;mode=: opening "a" with no mode, a:rw opening "a"
  // read-write), so such a URL is refused rather than opened as something else.
  auto colonFree = [](const std::string &what, const std::string &text) {
    if (text.find(':') == std::string::npos) return true;
    interfaceSetErrorText((what + " \"" + text + "\" holds a ':', which separates the fields of an interface spec")
                              .c_str());
    return false;
  };
  if (!colonFree("the resource", *resource)) return std::nullopt;
  std::string spec = std::string(scheme) + ":" + *resource;
  for (const char *param : params) {
    spec += ':';
    if (std::optional<std::string> value = take(getURLParam(url, param))) {
      if (!colonFree(std::string("the parameter ") + param, *value)) return std::nullopt;
      spec += *value;
    }
  }
  return spec;
}

void registerClass(const intClass *cls) {
  interfaceInitialize();
  interfaceRegister(cls);
}

int removeSpecFile(const std::optional<std::string> &spec) {
  if (!spec) return errno = EINVAL, -1;
  auto path = specFields(spec->c_str(), 1)[0];
  if (!path) return errno = EINVAL, -1;
  return unlink(intFileFromInterfacePath(path->c_str(), 0));
}

int acceptConnection(int fd, const char *className, const char *spec) {
  int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (connection < 0) return -1;
  if (intAdd(interfaceFindClass(className), connection, -1, -1, spec, 2, -1) != 0) {
    int saved = errno;
    close(connection);
    return errno = saved, -1;
  }
  return connection;
}

}  // namespace telvi::io

extern "C" {

void interfaceInitialize(void) {
  if (initialized) return;
  initialized = true;
  for (intStruct &record : records) {
    record.spec = nullptr;
    freeRecord(record);
  }
  interfaceRegister(&intDescClass);
}

int interfaceRegister(const intClass *cls) {
  if (cls == nullptr || cls->name == nullptr) return errno = EINVAL, -1;
  interfaceInitialize();
  return telvi::io::addToClassTable(classVec, cls);
}

const intClass *interfaceFindClass(const char *name) {
  if (name == nullptr) return nullptr;
  interfaceInitialize();
  return telvi::io::findInClassTable(classVec, name);
}

int interfaceOpen(const char *urlOrSpec) {
  lastErrorText.clear();
  // An empty text names nothing at all, which is not the same as a scheme nobody serves.
  if (urlOrSpec == nullptr || *urlOrSpec == '\0') return errno = EINVAL, -1;
  interfaceInitialize();
  const intClass *cls = interfaceFindClass(schemeOf(urlOrSpec).c_str());
  if (cls == nullptr || cls->open == nullptr) return errno = EPROTONOSUPPORT, -1;
  return cls->open(urlOrSpec);
}

int interfaceClose(int fd) {
  const intClass *cls = classOf(fd);
  if (cls == nullptr) return errno = EBADF, -1;
  if (cls->close != nullptr) return cls->close(fd);
  int code = close(fd);
  intRemove(fd);
  return code;
}

int interfaceAcceptConnection(int fd) {
  const intClass *cls = classOf(fd);
  if (cls == nullptr || cls->accept == nullptr) return 0;
  return cls->accept(fd);
}

const char *interfaceType(int fd) {
  const intClass *cls = classOf(fd);
  if (cls == nullptr || cls->type == nullptr) return "regular";
  return cls->type(fd);
}

const char *interfaceErrorText(void) { return lastErrorText.empty() ? nullptr : lastErrorText.c_str(); }

void interfaceSetErrorText(const char *text) {
  if (text == nullptr) lastErrorText.clear();
  else lastErrorText = text;
}

ssize_t interfaceRead(int fd, void *buf, size_t len, intPeer *peer) {
  lastErrorText.clear();
  const intClass *cls = classOf(fd);
  if (peer != nullptr) peer->cls = cls;
  if (cls != nullptr && cls->read != nullptr) return cls->read(fd, buf, len, peer);
  return read(fd, buf, len);
}

ssize_t interfaceReadError(int fd, void *buf, size_t len, intPeer *peer) {
  const intStruct *record = recordAt(fd);
  if (peer != nullptr) peer->cls = record == nullptr ? nullptr : record->cls;
  if (record != nullptr && record->cls->readError != nullptr)
    return record->cls->readError(fd, buf, len, peer);
  if (record == nullptr || record->fdError < 0) return 0;
  return read(record->fdError, buf, len);
}

ssize_t interfaceWrite(int fd, const void *buf, size_t len, intPeer *peer) {
  lastErrorText.clear();
  const intClass *cls = classOf(fd);
  if (cls != nullptr && cls->write != nullptr) return cls->write(fd, buf, len, peer);
  return write(fd, buf, len);
}

int interfaceRemove(const char *urlOrSpec) {
  if (urlOrSpec == nullptr) return errno = EINVAL, -1;
  const intClass *cls = interfaceFindClass(schemeOf(urlOrSpec).c_str());
  if (cls == nullptr || cls->remove == nullptr) return errno = EINVAL, -1;
  return cls->remove(urlOrSpec);
}

int interfaceValidateFD(int fd) {
  const intClass *cls = classOf(fd);
  if (cls == nullptr || cls->validate == nullptr) return 0;
  return cls->validate(fd);
}

int interfaceInfo(int fd, int *fd2, int *fdError, int *state, const char **spec, int *mode,
                  int *pid) {
  const intStruct *record = recordAt(fd);
  if (record == nullptr) return errno = EBADF, -1;
  if (fd2 != nullptr) *fd2 = record->fd2;
  if (fdError != nullptr) *fdError = record->fdError;
  if (state != nullptr) *state = record->state;
  if (spec != nullptr) *spec = record->spec;
  if (mode != nullptr) *mode = record->mode;
  if (pid != nullptr) *pid = record->pid;
  return 0;
}

intStruct *interfaceRecord(int fd) { return recordAt(fd); }

int intAdd(const intClass *cls, int fd, int fd2, int fdError, const char *spec, int mode, int pid) {
  interfaceInitialize();
  if (fd < 0 || fd >= INTERFACE_MAX_DESCRIPTORS || fd2 >= INTERFACE_MAX_DESCRIPTORS)
    return errno = EMFILE, -1;
  char *copy = strdup(spec == nullptr ? "" : spec);
  if (copy == nullptr) return -1;
  freeRecord(records[fd]);
  records[fd] = intStruct{-1, fd, fd2, fdError, copy, mode, pid, cls, nullptr};
  if (fd2 >= 0 && fd2 != fd) {
    char *copy2 = strdup(copy);
    if (copy2 == nullptr) {
      freeRecord(records[fd]);
      return -1;
    }
    freeRecord(records[fd2]);
    records[fd2] = records[fd];
    records[fd2].spec = copy2;
  }
  return 0;
}

void intRemove(int fd) {
  intStruct *record = recordAt(fd);
  if (record == nullptr) return;
  int fd2 = record->fd2;
  freeRecord(*record);
  if (fd2 >= 0 && fd2 != fd && recordAt(fd2) != nullptr) freeRecord(records[fd2]);
}

const char *intFileFromInterfacePath(const char *name, int forCreate) {
  static std::string result;
  if (name == nullptr) return nullptr;
  result = name;
  if (name[0] == '/') return result.c_str();
  const char *path = std::getenv("INTERFACE_PATH");
  std::string dirs = path == nullptr ? "." : path;
  size_t pos = 0;
  while (pos < dirs.size()) {
    size_t end = dirs.find_first_of(": ,", pos);
    if (end == std::string::npos) end = dirs.size();
    if (end > pos) {
      std::string candidate = dirs.substr(pos, end - pos) + "/" + name;
      if (forCreate == 1 || access(candidate.c_str(), F_OK) == 0) {
        result = candidate;
        return result.c_str();
      }
    }
    pos = end + 1;
  }
  return result.c_str();
}

}  // extern "C"
