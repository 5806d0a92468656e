// Interface class "unix": Unix-domain stream sockets, connecting to a path or listening on it.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "io/class.h"
#include "telvi/interface.h"
#include "telvi/package.h"

namespace {

using telvi::io::specFields;

// unix://localhost/path;role=R -> unix:path:role
std::optional<std::string> toSpec(const char *urlOrSpec) {
  if (!isURL(urlOrSpec)) return std::string(urlOrSpec);
  return telvi::io::localSpec(urlOrSpec, "unix", {"role"});
}

bool socketAddress(const std::string &path, sockaddr_un &address) {
  address = sockaddr_un{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return errno = ENAMETOOLONG, false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

int unixOpen(const char *urlOrSpec) {
  std::optional<std::string> spec = toSpec(urlOrSpec);
  if (!spec) return errno = EINVAL, -1;
  auto fields = specFields(spec->c_str(), 2);
  const auto &path = fields[0], &role = fields[1];
  bool listener = role && *role == "listener";
  if (!path || (role && !listener && *role != "connected")) return errno = EINVAL, -1;
  sockaddr_un address;
  if (!socketAddress(*path, address)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr *generic = reinterpret_cast<const sockaddr *>(&address);
  int code = listener ? bind(fd, generic, sizeof address) : connect(fd, generic, sizeof address);
  bool bound = listener && code == 0;
  if (code == 0 && listener) code = listen(fd, SOMAXCONN);
  if (code == 0) code = intAdd(interfaceFindClass("unix"), fd, -1, -1, spec->c_str(), 2, -1);
  if (code != 0) {
    int saved = errno;
    close(fd);
    if (bound) unlink(path->c_str());
    return errno = saved, -1;
  }
  return fd;
}

int unixAccept(int fd) { return telvi::io::acceptConnection(fd, "unix", "unix::connected"); }

bool recordedListener(int fd, std::string *path) {
  intStruct *record = interfaceRecord(fd);
  if (record == nullptr) return false;
  auto fields = specFields(record->spec, 2);
  if (!fields[1] || *fields[1] != "listener") return false;
  if (path != nullptr) *path = fields[0].value_or("");
  return true;
}

// Only the listener owns the socket file: a client closing its connection leaves the path alone.
int unixClose(int fd) {
  std::string path;
  bool listener = recordedListener(fd, &path);
  intRemove(fd);
  int code = close(fd);
  if (listener && !path.empty()) unlink(path.c_str());
  return code;
}

const char *unixType(int fd) { return recordedListener(fd, nullptr) ? "listener" : "regular"; }

int unixRemove(const char *urlOrSpec) {
  std::optional<std::string> spec = toSpec(urlOrSpec);
  if (!spec) return errno = EINVAL, -1;
  auto path = specFields(spec->c_str(), 1)[0];
  if (!path) return errno = EINVAL, -1;
  return unlink(path->c_str());
}

const intClass intUnixClass = {"unix",  unixOpen, unixClose,  unixAccept, unixType, nullptr,
                               nullptr, nullptr,  unixRemove, nullptr};

}  // namespace

extern "C" int Intunix_InitInternal(void) {
  telvi::io::registerClass(&intUnixClass);
  return TCL_OK;
}
