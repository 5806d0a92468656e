// The probe server: a command started for a remote client, who reaches its standard streams over a
// TCP connection on a random port once the first line it sends holds a 16-character password. The
// command never runs before that; every wait of the handshake is bounded, and the child that waits
// is the only process involved, so a slow or hostile client never blocks the agent.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "core/numparse.h"
#include "host/shsvc.h"
#include "pkg/command.h"
#include "telvi/ddl.h"

namespace {

using telvi::host::Launch;

constexpr const char *kStderrFile = "/tmp/probeserver.stderr";
constexpr int kPasswordLength = 16;
constexpr int kPortAttempts = 250;

std::string usageText(const char *cmd) {
  return std::string("\n Usage: ") + cmd + " [ -u user ]" + " [ -t timeout ] " +
         " [ -e env=value ... ] " + "\n" + "                    [ -p min max ]" +
         " [ -cb callback ]" + " [ -se ]" + " -c <command>";
}

int failWithUsage(Tcl_Interp *interp, const char *cmd, const std::string &message) {
  return telvi::fail(interp, message.c_str(), usageText(cmd).c_str());
}

// A value from 0 to 32767 from the system's random source: a password or port must not be
// predictable from the time the agent started it.
unsigned draw() {
  uint16_t value = 0;
  while (getrandom(&value, sizeof value, 0) != sizeof value) {
  }
  return value & 0x7FFFu;
}

std::string makePassword() {
  std::string password;
  for (int i = 0; i < kPasswordLength; ++i) {
    unsigned value;
    do value = draw();
    while (value == 32767);  // would step past 'z'
    int c = 48 + static_cast<int>(value * 61 / 32767);
    if (c >= 58 && c <= 64)
      c += 7;
    else if (c > 90)
      c += 14;
    password += static_cast<char>(c);
  }
  return password;
}

long leadingNumber(const char *text) { return std::strtol(text, nullptr, 10); }

// The configured range from .config.probe; false with the message in the result.
bool configuredRange(Tcl_Interp *interp, long &minPort, long &maxPort) {
  for (const char *key : {"maxPort", "minPort"}) {
    std::string script = std::string("set probeObject [ locate .config.probe]\n") +
                         "toe_send $probeObject lookup value " + key;
    if (Tcl_Eval(interp, script.c_str()) != TCL_OK) {
      ddlPrintf("error", "Probeserver: get the default %s error.\n", key);
      Tcl_ResetResult(interp);
      Tcl_AppendResult(interp, "Probeserver: get the default ", key, " error.", nullptr);
      return false;
    }
    long value;
    if (telvi::decimalWord(Tcl_GetStringResult(interp), value)) (key[1] == 'a' ? maxPort : minPort) = value;
  }
  Tcl_ResetResult(interp);
  ddlPrintf("debug", "Probeserver: the port range in mib-tree is minport=%d maxport=%d \n",
            static_cast<int>(minPort), static_cast<int>(maxPort));
  if (minPort < 1024 || maxPort < 1024) {
    ddlPrintf("error", "Probeserver: Minimum port number is 1024.\n");
    Tcl_AppendResult(interp, "Minimum port number is 1024.  ", nullptr);
    return false;
  }
  if (minPort > 65535 || maxPort > 65535) {
    ddlPrintf("error", "Probeserver: Maximum port number is 65535. \n");
    Tcl_AppendResult(interp, "Maximum port number is 65535.  ", nullptr);
    return false;
  }
  if (minPort > maxPort) {
    std::swap(minPort, maxPort);
    ddlPrintf("debug", "Probeserver: minPort=%d maxPort=%d", static_cast<int>(minPort),
              static_cast<int>(maxPort));
  }
  return true;
}

// A listening socket on a random free port of the range: the socket, or -1 (no socket) or -250
// (every attempt found its port taken).
int bindRandomPort(long minPort, long maxPort, int &port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    long candidate = minPort + static_cast<long>(draw()) * (maxPort - minPort + 1) / 32767;
    if (candidate > maxPort) candidate = maxPort;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(candidate));
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
      port = static_cast<int>(candidate);
      return fd;
    }
  }
  close(fd);
  return -250;
}

// ---- the child ----

long remainingMs(const timespec &deadline) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long ms = (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
  return ms < 0 ? 0 : ms;
}

int waitFor(int fd, long ms) {
  pollfd wait{fd, POLLIN, 0};
  int ready;
  int timeout = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
  do ready = poll(&wait, 1, timeout);
  while (ready < 0 && errno == EINTR);
  return ready;
}

// One line (up to and including a newline, at most 127 bytes) within the time-out; 0 when it holds
// the password, else the failure code.
int verifyConnection(int connection, const std::string &password, int timeoutSeconds) {
  int ready = waitFor(connection, timeoutSeconds * 1000L);
  if (ready < 0) return ready * 100;
  if (ready == 0) return -1;
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += timeoutSeconds;
  char line[128];
  size_t length = 0;
  while (length < sizeof line - 1) {
    if (waitFor(connection, remainingMs(deadline)) <= 0) break;
    ssize_t got = read(connection, line + length, 1);
    if (got <= 0) break;
    if (line[length++] == '\n') break;
  }
  if (memmem(line, length, password.data(), password.size()) == nullptr) return -1;
  return 0;
}

[[noreturn]] void runProbe(int listener, const Launch &launch, const std::string &password,
                           int timeoutSeconds, bool pipeStderr) {
  const char *name = launch.command.c_str();
  int connections = pipeStderr ? 2 : 1;
  if (timeoutSeconds < 1) timeoutSeconds = 10;
  // A day is as long as a handshake may take; longer values would overflow the alarm and the waits.
  if (timeoutSeconds > 86400) timeoutSeconds = 86400;
  // Each connection has the time-out to arrive and again to say its line; this is the last word.
  telvi::host::childReset(static_cast<unsigned>(connections * 2 * timeoutSeconds + 10));
  if (chdir("/tmp") != 0) {
  }
  umask(0);
  setpgid(0, 0);
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);
  telvi::host::childCloseOnExec();
  int errorFile = -1;
  if (!pipeStderr) {
    // Never through a link someone else planted in /tmp.
    errorFile = open(kStderrFile, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (errorFile < 0) {
      ddlPrintf("error", "Probeserver (%s): Pipe stderr to 2nd socket not,", name);
      ddlPrintf("error", " (cont) requested but unable to transfer stderr to a /tmp");
      ddlPrintf("error", " (cont) file. Will close stderr and attempt to continue. It");
      ddlPrintf("error", " (cont) is possible that this could interfere with some");
      ddlPrintf("error", " (cont) binaries that attempt to write to stderr.");
    }
  }
  if (!telvi::host::childBecomeUser(launch)) {
    ddlPrintf("error", "probeserver (%s): Could not change to uid %d\n", name,
              static_cast<int>(launch.uid));
    _exit(1);
  }
  if (!launch.unsetVariable.empty()) {
    ddlPrintf("error", "Probeserver (%s): Unknown error returned in setting environment variables",
              name);
    _exit(2);
  }
  int accepted[2] = {-1, -1};
  for (int i = 0; i < connections; ++i) {
    int ready = waitFor(listener, timeoutSeconds * 1000L);
    if (ready <= 0) {
      ddlPrintf("error", "Probeserver: timeout before connection\n");
      _exit(1);
    }
    int code = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (code >= 0) {
      accepted[i] = code;
      code = verifyConnection(accepted[i], password, timeoutSeconds);
    }
    if (code < 0) {
      ddlPrintf("error", "probeserver (%s): Receive_N_VerifySocketConnection failure (%i)\n", name,
                code);
      _exit(3);
    }
  }
  close(listener);
  dup2(accepted[0], 0);
  dup2(accepted[0], 1);
  int errorTarget = pipeStderr ? accepted[1] : errorFile;
  if (errorTarget < 0) errorTarget = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (errorTarget >= 0) dup2(errorTarget, 2);
  if (launch.splitFailed) {
    ddlPrintf("error", "probeserver: Couldn't allocate memory to execute %s\n", name);
    _exit(1);
  }
  telvi::host::childExec(launch);
  sleep(2);
  ddlPrintf("error", "probeserver: Failed to execute %s\n", name);
  _exit(1);
}

}  // namespace

namespace telvi::host {

int cmdProbeServer(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  const char *cmd = argv[0];
  long minPort = 5000, maxPort = 65535;
  bool portsGiven = false;

  const char *user = "nobody";
  const char *callback = nullptr;
  long timeout = 60;
  bool pipeStderr = false, command = false;
  std::vector<std::string> env, words;
  auto is = [](const char *word, const char *a, const char *b) {
    return std::strcmp(word, a) == 0 || std::strcmp(word, b) == 0;
  };
  for (int i = 1; i < argc && !command;) {
    const char *word = argv[i];
    bool more = i + 1 < argc;
    if (is(word, "-u", "-user")) {
      if (!more) return failWithUsage(interp, cmd, "Missing arg after -u(ser).  ");
      if (argv[i + 1][0] == '-') return failWithUsage(interp, cmd, "Must specify a user.  ");
      user = std::strcmp(argv[i + 1], "ROOT") == 0 ? "0" : argv[i + 1];
      i += 2;
    } else if (is(word, "-t", "-timeout")) {
      if (!more) return failWithUsage(interp, cmd, "Missing arg after -t(imeout).  ");
      timeout = leadingNumber(argv[i + 1]);
      if (timeout == 0) return failWithUsage(interp, cmd, "Timeout cannot be zero.  ");
      i += 2;
    } else if (is(word, "-e", "-env")) {
      int first = ++i;
      while (i < argc && argv[i][0] != '-') env.emplace_back(argv[i++]);
      if (i == first) return failWithUsage(interp, cmd, "Missing arg after -e(nv).  ");
    } else if (is(word, "-p", "-portrange")) {
      if (i + 2 >= argc) return failWithUsage(interp, cmd, "Missing args after -p(ortrange).  ");
      long low = leadingNumber(argv[i + 1]), high = leadingNumber(argv[i + 2]);
      if (low < 1024 || high < 1024) return telvi::fail(interp, "Minimum port number is 1024.  ");
      if (low > 65535 || high > 65535) return telvi::fail(interp, "Maximum port number is 65535.  ");
      minPort = std::min(low, high);
      maxPort = std::max(low, high);
      portsGiven = true;
      i += 3;
    } else if (is(word, "-cb", "-callback")) {
      if (!more) return failWithUsage(interp, cmd, "Missing arguments after -cb.  ");
      callback = argv[i + 1];
      i += 2;
    } else if (is(word, "-se", "-stderr")) {
      pipeStderr = true;
      ++i;
    } else if (is(word, "-c", "-command")) {
      if (!more) return failWithUsage(interp, cmd, "Missing arguments after -c(ommand).  ");
      for (++i; i < argc; ++i) words.emplace_back(argv[i]);
      command = true;
    } else {
      return failWithUsage(interp, cmd, std::string("Unknown argument ") + word + ".  ");
    }
  }
  if (!command) return failWithUsage(interp, cmd, "");
  // The words are checked before the configuration is read, so that a wrong call gets its usage
  // text whatever the configuration holds; a range given with -p needs no configured one.
  if (!portsGiven && !configuredRange(interp, minPort, maxPort)) {
    ddlPrintf("error", "Probeserver: the port range is ERROR!\n");
    Tcl_AppendResult(interp, "Probeserver: the port range is EROR!", nullptr);
    return TCL_ERROR;
  }

  ddlPrintf("debug", "TRUE/FALSE/pipestderr: %i/%i/%i", 1, 0, pipeStderr ? 1 : 0);
  Launch launch;
  Tcl_ResetResult(interp);
  if (!verifyUserAndEnv(interp, user, env, launch)) {
    Tcl_AppendResult(interp, "Probeserver (", words[0].c_str(),
                     "): Verify user and environment failure.  ", nullptr);
    return TCL_ERROR;
  }
  prepareExec(words, launch);

  std::string password = makePassword();
  int port = 0;
  int listener = bindRandomPort(minPort, maxPort, port);
  std::string address;
  if (listener >= 0) {
    if (Tcl_Eval(interp, "lookup value .config.current.ipaddress") == TCL_OK) {
      address = Tcl_GetStringResult(interp);
      Tcl_ResetResult(interp);
    } else {
      close(listener);
      listener = -2;
    }
  }
  if (listener == -250) {
    ddlPrintf("debug", "Probeserver: All the port number from %d to %d are used, Please wait a moment.",
              static_cast<int>(minPort), static_cast<int>(maxPort));
    Tcl_Obj *message = Tcl_ObjPrintf(
        "Probeserver: All the port number from %d to %d are used, please wait a moment.",
        static_cast<int>(minPort), static_cast<int>(maxPort));
    Tcl_SetObjResult(interp, message);
    return TCL_ERROR;
  }
  if (listener < 0) {
    ddlPrintf("debug", "Probeserver: cannot select port, error %d ", listener);
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("Probeserver: cannot select port, error %d ", listener));
    return TCL_ERROR;
  }
  std::string result = address + ":" + std::to_string(port) + ":" + password;
  ddlPrintf("debug", "Probeserver: %s:%i:%s", address.c_str(), port, password.c_str());

  // Listening before the fork: a client may connect as soon as it has the answer.
  if (listen(listener, pipeStderr ? 1 : 0) != 0) {
    close(listener);
    ddlPrintf("debug", "Probeserver: cannot select port, error %d ", -1);
    Tcl_SetObjResult(interp, Tcl_ObjPrintf("Probeserver: cannot select port, error %d ", -1));
    return TCL_ERROR;
  }
  pid_t pid = fork();
  if (pid < 0) {
    close(listener);
    return telvi::fail(interp, "Probeserver: Can't fork process.  ");
  }
  if (pid == 0) runProbe(listener, launch, password, static_cast<int>(timeout), pipeStderr);
  close(listener);
  registerCallback(pid, callback);
  Tcl_SetObjResult(interp, Tcl_NewStringObj(result.c_str(), -1));
  return TCL_OK;
}

}  // namespace telvi::host
