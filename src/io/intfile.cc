// Interface class "file": regular files opened by path with open flags and permissions.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "io/class.h"
#include "telvi/interface.h"
#include "telvi/package.h"

namespace {

using telvi::io::specFields;

// file://localhost/path;flags=F;mode=NNN -> file:path:flags:mode
std::optional<std::string> toSpec(const char *urlOrSpec) {
  if (!isURL(urlOrSpec)) return std::string(urlOrSpec);
  return telvi::io::localSpec(urlOrSpec, "file", {"flags", "mode"});
}

// Open flags of a flags word; -1 for a word the class does not know.
int openFlags(const std::optional<std::string> &word) {
  if (!word) return O_RDWR | O_CREAT | O_TRUNC;
  if (*word == "r" || *word == "ro") return O_RDONLY;
  if (*word == "w" || *word == "wo") return O_WRONLY | O_CREAT | O_TRUNC;
  if (*word == "w+" || *word == "wo+") return O_WRONLY | O_CREAT | O_APPEND;
  if (*word == "rw") return O_RDWR | O_CREAT | O_TRUNC;
  if (*word == "rw+") return O_RDWR | O_CREAT | O_APPEND;
  return -1;
}


int fileOpen(const char *urlOrSpec) {
  std::optional<std::string> spec = toSpec(urlOrSpec);
  if (!spec) return errno = EINVAL, -1;
  auto fields = specFields(spec->c_str(), 3);
  const std::optional<std::string> &path = fields[0], &flagWord = fields[1], &modeWord = fields[2];
  if (!path) return errno = EINVAL, -1;
  int flags = openFlags(flagWord);
  if (flags < 0) return errno = EINVAL, -1;
  int mode = -1;
  if (modeWord) {
    mode = telvi::io::permissions(*modeWord);
    if (mode < 0 || (flags & O_ACCMODE) == O_RDONLY) return errno = EINVAL, -1;
  }
  std::string file = intFileFromInterfacePath(path->c_str(), (flags & O_CREAT) != 0 ? 1 : 0);
  int fd = open(file.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return -1;
  if ((mode >= 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0) ||
      intAdd(interfaceFindClass("file"), fd, -1, -1, spec->c_str(), flags, -1) != 0) {
    int saved = errno;
    close(fd);
    return errno = saved, -1;
  }
  return fd;
}

int fileRemove(const char *urlOrSpec) { return telvi::io::removeSpecFile(toSpec(urlOrSpec)); }

// A file that was removed (or rotated away and unlinked) no longer validates.
int fileValidate(int fd) {
  struct stat info;
  if (fstat(fd, &info) != 0 || info.st_nlink == 0) return -1;
  return 0;
}

const intClass intFileClass = {"file",  fileOpen, nullptr,    nullptr,     nullptr, nullptr,
                               nullptr, nullptr,  fileRemove, fileValidate};

}  // namespace

extern "C" int Intfile_InitInternal(void) {
  telvi::io::registerClass(&intFileClass);
  return TCL_OK;
}
