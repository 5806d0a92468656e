// Interface class "pipe": a child process whose standard streams are pipes to the agent.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "io/class.h"
#include "telvi/interface.h"
#include "telvi/package.h"

namespace {

enum PipeMode { kRead = 0, kWrite = 1, kReadWrite = 2 };

// pipe://localhost/command;args=A;flags=F -> pipe:command args:flags
std::optional<std::string> toSpec(const char *urlOrSpec) {
  if (!isURL(urlOrSpec)) return std::string(urlOrSpec);
  if (!telvi::io::hostIsLocal(urlOrSpec)) return std::nullopt;
  auto command = telvi::io::take(getURLResource(urlOrSpec));
  if (!command) return std::nullopt;
  std::string spec = "pipe:" + *command;
  if (auto args = telvi::io::take(getURLParam(urlOrSpec, "args"))) spec += " " + *args;
  spec += ":";
  if (auto flags = telvi::io::take(getURLParam(urlOrSpec, "flags"))) spec += *flags;
  return spec;
}

int modeOf(const std::string &word) {
  if (word == "r" || word == "ro") return kRead;
  if (word == "w" || word == "wo") return kWrite;
  if (word == "rw") return kReadWrite;
  return -1;
}

// Splits "pipe:command:flags" into command and mode. Commands may hold ':' themselves, so the last
// field counts as flags only when it is empty or a flags word.
bool parseSpec(const std::string &spec, std::string &command, int &mode) {
  command = spec.substr(spec.find(':') + 1);
  mode = kReadWrite;
  size_t colon = command.rfind(':');
  if (colon != std::string::npos) {
    std::string last = command.substr(colon + 1);
    int flags = last.empty() ? kReadWrite : modeOf(last);
    if (flags >= 0) {
      mode = flags;
      command.erase(colon);
    }
  }
  return !command.empty();
}

void closeIfOpen(int &fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

constexpr int kResetSignals[] = {SIGABRT, SIGALRM, SIGFPE,  SIGHUP,  SIGILL,  SIGINT,
                                 SIGPIPE, SIGQUIT, SIGSEGV, SIGTERM, SIGUSR1, SIGUSR2,
                                 SIGCHLD, SIGTSTP, SIGCONT, SIGTTIN, SIGTTOU};

// In the child: only async-signal-safe calls on data prepared before the fork.
[[noreturn]] void runChild(int mode, int out[2], int in[2], int err[2], const char *file,
                           char *const argv[]) {
  if (mode != kRead) dup2(in[0], 0);
  if (mode != kWrite) dup2(out[1], 1);
  dup2(err[1], 2);
  for (int sig : kResetSignals) signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  // Nothing of the agent's other descriptors reaches the command.
  for (int fd = 3; fd < 1024; ++fd) close(fd);
  execvp(file, argv);
  _exit(1);
}

int pipeOpen(const char *urlOrSpec) {
  std::optional<std::string> spec = toSpec(urlOrSpec);
  std::string command;
  int mode;
  if (!spec || !parseSpec(*spec, command, mode)) return errno = EINVAL, -1;

  // The argument vector is built before the fork.
  std::vector<std::string> words;
  if (command.find_first_of(" \"$~") != std::string::npos) {
    words = {"/bin/sh", "sh", "-c", "exec " + command};
  } else {
    size_t slash = command.rfind('/');
    words = {command, slash == std::string::npos ? command : command.substr(slash + 1)};
  }
  std::vector<char *> argv;
  for (size_t i = 1; i < words.size(); ++i) argv.push_back(words[i].data());
  argv.push_back(nullptr);

  int out[2] = {-1, -1}, in[2] = {-1, -1}, err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    int saved = errno;
    for (int *p : {out, in, err}) closeIfOpen(p[0]), closeIfOpen(p[1]);
    return errno = saved, -1;
  }
  pid_t pid = fork();
  if (pid == 0) runChild(mode, out, in, err, words[0].c_str(), argv.data());
  int saved = errno;
  closeIfOpen(out[1]);
  closeIfOpen(in[0]);
  closeIfOpen(err[1]);
  if (pid < 0) {
    for (int *p : {out, in, err}) closeIfOpen(p[0]), closeIfOpen(p[1]);
    return errno = saved, -1;
  }
  if (mode == kWrite) closeIfOpen(out[0]);
  if (mode == kRead) closeIfOpen(in[1]);
  fcntl(err[0], F_SETFL, fcntl(err[0], F_GETFL) | O_NONBLOCK);
  // A write-only pipe has no read end: its interface is found by the write end alone.
  int fd = mode == kWrite ? in[1] : out[0];
  int fd2 = mode == kWrite ? -1 : in[1];
  std::string recorded = "pipe:" + command + ":" + (mode == kRead ? "r" : mode == kWrite ? "w" : "rw");
  if (intAdd(interfaceFindClass("pipe"), fd, fd2, err[0], recorded.c_str(), mode, pid) != 0) {
    saved = errno;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    closeIfOpen(out[0]), closeIfOpen(in[1]), closeIfOpen(err[0]);
    return errno = saved, -1;
  }
  return fd;
}

// Every operation first asks whether the child is still there; the first one after it exited
// fails, and the child is forgotten.
bool childGone(int fd) {
  intStruct *record = interfaceRecord(fd);
  if (record == nullptr) return errno = EBADF, true;
  if (record->pid <= 0) return false;
  if (waitpid(record->pid, nullptr, WNOHANG) == 0) return false;
  record->pid = -1;
  if (intStruct *other = interfaceRecord(record->fd2); other != nullptr && other != record)
    other->pid = -1;
  if (intStruct *other = interfaceRecord(record->fd); other != nullptr && other != record)
    other->pid = -1;
  errno = ECHILD;
  return true;
}

ssize_t pipeRead(int fd, void *buf, size_t len, intPeer *) {
  if (childGone(fd)) return -1;
  return read(fd, buf, len);
}

ssize_t pipeReadError(int fd, void *buf, size_t len, intPeer *) {
  if (childGone(fd)) return -1;
  intStruct *record = interfaceRecord(fd);
  return record->fdError < 0 ? 0 : read(record->fdError, buf, len);
}

ssize_t pipeWrite(int fd, const void *buf, size_t len, intPeer *) {
  if (childGone(fd)) return -1;
  return write(fd, buf, len);
}

// Interrupts a child that is still running and reaps it; one that ignores the interrupt is killed
// after two seconds so that closing never hangs.
void stopChild(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGINT);
  for (int i = 0; i < 200; ++i) {
    pid_t done = waitpid(pid, nullptr, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) return;
    usleep(10000);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

int pipeClose(int fd) {
  intStruct *record = interfaceRecord(fd);
  if (record == nullptr) return errno = EBADF, -1;
  int readFd = record->fd, writeFd = record->fd2, errorFd = record->fdError;
  stopChild(record->pid);
  intRemove(fd);
  if (writeFd >= 0 && writeFd != readFd) close(writeFd);
  if (errorFd >= 0) close(errorFd);
  return close(readFd);
}

const intClass intPipeClass = {"pipe",        pipeOpen, pipeClose, nullptr, nullptr, pipeRead,
                               pipeReadError, pipeWrite, nullptr,  nullptr};

}  // namespace

extern "C" int Intpipe_InitInternal(void) {
  telvi::io::registerClass(&intPipeClass);
  return TCL_OK;
}
