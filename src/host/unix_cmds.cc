// Package "unix": host facilities for scripts. User and host look-ups, the C library's random
// generator, the agent's uptime, the open-file limit, process groups and signals; the shell service
// and the probe server live in shsvc.cc and probe.cc.
//
// Signal scripts never run inside the signal handler: the handler only notes the signal and writes
// a byte to a pipe, and a Tcl file handler on that pipe runs the scripts from the event loop.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
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
#include "telvi/package.h"

namespace {

using telvi::fail;
using telvi::usageSuffix;

bool unsignedWord(const char *text, unsigned long limit, unsigned long &value) {
  if (*text < '0' || *text > '9') return false;
  char *end;
  errno = 0;
  unsigned long number = std::strtoul(text, &end, 10);
  if (*end != '\0' || errno != 0 || number > limit) return false;
  value = number;
  return true;
}

bool integerWord(const char *text, long &value) { return telvi::decimalWord(text, value); }

int cmdRandom(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 1 && argc != 3) return usageSuffix(interp, argv[0], " ?mod|seed val?");
  if (argc == 1) {
    Tcl_SetObjResult(interp, Tcl_NewIntObj(std::rand()));
    return TCL_OK;
  }
  bool mod = std::strcmp(argv[1], "mod") == 0;
  if (!mod && std::strcmp(argv[1], "seed") != 0)
    return fail(interp, argv[0], ": second arg must be either mod or seed");
  unsigned long value;
  if (!unsignedWord(argv[2], UINT_MAX, value))
    return fail(interp, argv[0], ": cannot interpret second arg as integer");
  if (mod) {
    if (value == 0) return fail(interp, argv[0], ": cannot take a value modulo 0");
    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(
                                 static_cast<unsigned long>(std::rand()) % value)));
  } else {
    std::srand(static_cast<unsigned>(value));
    Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(value)));
  }
  return TCL_OK;
}

int cmdUptime(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  time_t started = *static_cast<time_t *>(data);
  Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(std::time(nullptr) - started)));
  return TCL_OK;
}

void freeStartTime(ClientData data) { ckfree(static_cast<char *>(data)); }

int cmdUid2Name(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return usageSuffix(interp, argv[0], " uid");
  unsigned long uid;
  if (!unsignedWord(argv[1], UINT_MAX - 1, uid)) return fail(interp, argv[0], " : bad uid");
  passwd entry{}, *found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(static_cast<uid_t>(uid), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr)
    return fail(interp, argv[0], ": passwd information for ", argv[1], " not found");
  Tcl_SetObjResult(interp, Tcl_NewStringObj(entry.pw_name, -1));
  return TCL_OK;
}

int cmdName2Uid(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return usageSuffix(interp, argv[0], " name");
  passwd entry{}, *found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwnam_r(argv[1], &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
    return fail(interp, argv[0], ": passwd information for ", argv[1], " not found");
  Tcl_SetObjResult(interp, Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(entry.pw_uid)));
  return TCL_OK;
}

int cmdHost2Ip(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  bool all = argc == 3 && std::strcmp(argv[1], "-a") == 0;
  if (argc != 2 && !all) return usageSuffix(interp, argv[0], " [-a] name");
  const char *name = argv[argc - 1];
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr)
    return fail(interp, argv[0], ": host information for ", argv[1], " not found");
  std::vector<std::string> addresses;
  for (addrinfo *item = found; item != nullptr; item = item->ai_next) {
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(item->ai_addr)->sin_addr, text, sizeof text);
    bool seen = false;
    for (const std::string &address : addresses) seen = seen || address == text;
    if (!seen) addresses.emplace_back(text);
  }
  freeaddrinfo(found);
  Tcl_ResetResult(interp);
  if (!all) {
    Tcl_AppendResult(interp, addresses[0].c_str(), nullptr);
    return TCL_OK;
  }
  for (const std::string &address : addresses) Tcl_AppendElement(interp, address.c_str());
  return TCL_OK;
}

int cmdIp2Host(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return usageSuffix(interp, argv[0], " ipaddress");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  if (inet_pton(AF_INET, argv[1], &address.sin_addr) != 1)
    return fail(interp, argv[0], ": ipaddress must be of the form a.b.c.d");
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<sockaddr *>(&address), sizeof address, host, sizeof host,
                  nullptr, 0, NI_NAMEREQD) != 0)
    return fail(interp, argv[0], ": host information for ", argv[1], " not found");
  Tcl_SetObjResult(interp, Tcl_NewStringObj(host, -1));
  return TCL_OK;
}

Tcl_Obj *limitText(rlim_t value) {
  if (value == RLIM_INFINITY) return Tcl_NewStringObj("unlimited", -1);
  return Tcl_NewWideIntObj(static_cast<Tcl_WideInt>(value));
}

int cmdGetSysLimit(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  bool current = argc == 3 && std::strcmp(argv[2], "current") == 0;
  bool max = argc == 3 && std::strcmp(argv[2], "max") == 0;
  if (argc != 3 || std::strcmp(argv[1], "file") != 0 || (!current && !max))
    return usageSuffix(interp, argv[0], " file current|max");
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return fail(interp, "Cannot get NOFILE resource limit");
  Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
  Tcl_ListObjAppendElement(nullptr, list, limitText(current ? limit.rlim_cur : limit.rlim_max));
  Tcl_SetObjResult(interp, list);
  return TCL_OK;
}

int cmdSetSysLimit(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  long wanted;
  if (argc != 3 || std::strcmp(argv[1], "file") != 0 || !integerWord(argv[2], wanted))
    return usageSuffix(interp, argv[0], " file newlimit");
  // No descriptors at all would leave the agent unable to open anything, its own logs included.
  if (wanted <= 0) return fail(interp, "File limit must be greater than zero");
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return fail(interp, "Cannot get NOFILE resource limit");
  limit.rlim_cur = static_cast<rlim_t>(wanted);
  if (limit.rlim_max != RLIM_INFINITY && limit.rlim_cur > limit.rlim_max) limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
    return fail(interp, "Cannot set NOFILE limit.  Must be super-user.");
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return fail(interp, "Cannot get NOFILE resource limit");
  Tcl_SetObjResult(interp, limitText(limit.rlim_cur));
  return TCL_OK;
}

int cmdGetPgrp(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 1) return fail(interp, "usage: ", argv[0]);
  pid_t group = getpgrp();
  if (group < 0) return fail(interp, "Unable to getting process group");
  Tcl_SetObjResult(interp, Tcl_NewIntObj(group));
  return TCL_OK;
}

int cmdSetPgrp(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 1) return fail(interp, "usage: ", argv[0]);
  if (setpgid(0, 0) != 0) return fail(interp, "Unable to set process group");
  Tcl_SetObjResult(interp, Tcl_NewIntObj(getpgrp()));
  return TCL_OK;
}

// ---- signals ----

struct Signals {
  char *scripts[NSIG] = {};
  Tcl_Interp *interps[NSIG] = {};  // where each signal's script runs: that of its `signal` call
  int pipe[2] = {-1, -1};
};
Signals signals;
volatile sig_atomic_t pendingSignals[NSIG];

void onSignal(int sig) {
  int saved = errno;
  pendingSignals[sig] = 1;
  if (signals.pipe[1] >= 0) {
    ssize_t ignored = write(signals.pipe[1], "", 1);
    (void)ignored;
  }
  errno = saved;
}

// From the event loop: runs the script of every signal noted since the last time.
void runPendingSignals(ClientData, int) {
  char drain[64];
  while (read(signals.pipe[0], drain, sizeof drain) > 0) {
  }
  for (int sig = 1; sig < NSIG; ++sig) {
    if (pendingSignals[sig] == 0) continue;
    pendingSignals[sig] = 0;
    Tcl_Interp *interp = signals.interps[sig];
    if (signals.scripts[sig] == nullptr || interp == nullptr) continue;
    std::string script = signals.scripts[sig];  // the script may replace itself
    Tcl_Preserve(interp);
    Tcl_InterpState saved = Tcl_SaveInterpState(interp, TCL_OK);
    int code = Tcl_EvalEx(interp, script.c_str(), -1, TCL_EVAL_GLOBAL);
    if (code == TCL_ERROR) Tcl_BackgroundException(interp, code);
    Tcl_RestoreInterpState(interp, saved);
    Tcl_Release(interp);
  }
}

bool signalPipe() {
  if (signals.pipe[0] >= 0) return true;
  if (pipe2(signals.pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  Tcl_CreateFileHandler(signals.pipe[0], TCL_READABLE, runPendingSignals, nullptr);
  return true;
}

// An interpreter that goes away takes its signal scripts with it.
// An interpreter that goes away takes its own signal scripts with it; other interpreters' stay.
void forgetSignalInterp(ClientData, Tcl_Interp *interp) {
  for (int sig = 1; sig < NSIG; ++sig) {
    if (signals.interps[sig] != interp) continue;
    signals.interps[sig] = nullptr;
    if (signals.scripts[sig] == nullptr) continue;
    ::signal(sig, SIG_DFL);
    std::free(signals.scripts[sig]);
    signals.scripts[sig] = nullptr;
  }
}

bool signalNumber(const char *word, int low, long &sig) {
  return integerWord(word, sig) && sig >= low && sig < NSIG;
}

int cmdSignal(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return usageSuffix(interp, argv[0], " signum command");
  long sig;
  if (!signalNumber(argv[1], 1, sig)) return fail(interp, "invalid signal number: ", argv[1]);
  struct sigaction action {};
  sigemptyset(&action.sa_mask);
  if (argv[2][0] == '\0') {
    action.sa_handler = SIG_DFL;
    if (sigaction(static_cast<int>(sig), &action, nullptr) != 0)
      return fail(interp, argv[0], ": could not set signal");
    std::free(signals.scripts[sig]);
    signals.scripts[sig] = nullptr;
    signals.interps[sig] = nullptr;
    Tcl_ResetResult(interp);
    return TCL_OK;
  }
  char *script = strdup(argv[2]);
  if (script == nullptr || !signalPipe()) {
    std::free(script);
    return fail(interp, argv[0], ": memory allocation failure");
  }
  action.sa_handler = onSignal;
  action.sa_flags = SA_RESTART;
  if (sigaction(static_cast<int>(sig), &action, nullptr) != 0) {
    std::free(script);
    return fail(interp, argv[0], ": could not set signal");
  }
  std::free(signals.scripts[sig]);
  signals.scripts[sig] = script;
  signals.interps[sig] = interp;
  Tcl_SetAssocData(interp, "telvi::signal", forgetSignalInterp, nullptr);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdSendSignal(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return usageSuffix(interp, argv[0], " signum pid");
  long sig, pid;
  if (!signalNumber(argv[1], 0, sig)) return fail(interp, "invalid signal number: ", argv[1]);
  // 0 and -1 would reach the agent's own group or every process the agent may signal.
  if (!integerWord(argv[2], pid) || pid == 0 || pid == -1 || pid > INT_MAX || pid < -INT_MAX)
    return fail(interp, "invalid pid number: ", argv[2]);
  if (kill(static_cast<pid_t>(pid), static_cast<int>(sig)) != 0)
    return fail(interp, "Signal ", argv[1], " failed");
  Tcl_ResetResult(interp);
  return TCL_OK;
}

}  // namespace

extern "C" int Unix_InitInternal(Tcl_Interp *interp) {
  auto *started = reinterpret_cast<time_t *>(ckalloc(sizeof(time_t)));
  *started = std::time(nullptr);
  telvi::host::setCallbackInterp(interp);
  using namespace telvi::host;
  const struct {
    const char *name;
    Tcl_CmdProc *proc;
  } commands[] = {{"random", cmdRandom},         {"uptime", cmdUptime},
                  {"name2uid", cmdName2Uid},     {"uid2name", cmdUid2Name},
                  {"host2ip", cmdHost2Ip},       {"ip2host", cmdIp2Host},
                  {"getsyslimit", cmdGetSysLimit}, {"setsyslimit", cmdSetSysLimit},
                  {"getpgrp", cmdGetPgrp},       {"setpgrp", cmdSetPgrp},
                  {"signal", cmdSignal},         {"sendsignal", cmdSendSignal},
                  {"sh", cmdSh},                 {"probeserver", cmdProbeServer},
                  {"testcallback", cmdTestCallback}, {"_shsvc_callback", cmdShsvcCallback}};
  for (const auto &command : commands) {
    bool uptime = command.proc == cmdUptime;
    Tcl_CreateCommand(interp, command.name, command.proc, uptime ? started : nullptr,
                      uptime ? freeStartTime : nullptr);
  }
  return TCL_OK;
}
