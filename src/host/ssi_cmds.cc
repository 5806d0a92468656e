// Package "ssi": the `ssinfo` command over the system statistics source.
#include <strings.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "host/ssi.h"
#include "pkg/command.h"
#include "telvi/package.h"

namespace {

namespace ssi = telvi::ssi;

void appendf(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string &out, const char *format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n > 0) out.append(buffer, std::min<size_t>(static_cast<size_t>(n), sizeof buffer - 1));
}

int cpu(std::string &out, bool busyOnly) {
  ssi::CpuShares shares;
  int code = ssi::ssiGetCPUStates(shares);
  if (code != ssi::kOk) return code;
  if (busyOnly)
    appendf(out, "%3.1f", shares.busy);
  else
    appendf(out, "%3.1f %3.1f %3.1f %3.1f", shares.idle, shares.busy, shares.system, shares.user);
  return code;
}

int load(std::string &out) {
  std::array<double, 3> load;
  int code = ssi::ssiGetLoad(load);
  if (code == ssi::kOk) appendf(out, "%3.2f %3.2f %3.2f", load[0], load[1], load[2]);
  return code;
}

int swap(std::string &out) {
  ssi::Swap swap;
  int code = ssi::ssiGetSwap(swap);
  if (code == ssi::kOk) appendf(out, "%ld %ld %3.1f", swap.total, swap.available, swap.usedPercent);
  return code;
}

int procs(std::string &out) {
  ssi::Procs procs;
  int code = ssi::ssiGetProcs(procs);
  if (code == ssi::kOk) appendf(out, "%d %d %3.1f", procs.max, procs.current, procs.percent);
  return code;
}

int files(std::string &out) {
  std::vector<ssi::FileSystem> systems;
  int code = ssi::ssiGetFileSystems(systems);
  for (const ssi::FileSystem &fs : systems) {
    out += fs.mountPoint;
    appendf(out, " %ld %ld %3.1f ", fs.total, fs.available, fs.usedPercent);
  }
  return code;
}

int ipc(std::string &out, ssi::Ipc kind) {
  ssi::IpcUsage usage;
  int code = ssi::ssiGetIpc(kind, usage);
  if (code == ssi::kOk) appendf(out, "%d %d %3.1f", usage.max, usage.free, usage.usedPercent);
  return code;
}

int users(std::string &out) {
  ssi::Users users;
  int code = ssi::ssiGetUsers(users);
  if (code == ssi::kOk) {
    out += users.console;
    appendf(out, " %d %d", users.distinct, users.logins);
  }
  return code;
}

int netifs(std::string &out) {
  std::vector<ssi::NetIf> interfaces;
  int code = ssi::ssiGetNetIfs(interfaces);
  for (const ssi::NetIf &netif : interfaces) {
    out += netif.name;
    appendf(out, " %3.1f %3.1f %3.1f ", netif.inErrors, netif.outErrors, netif.collisions);
  }
  return code;
}

int tcp(std::string &out) {
  ssi::TcpStates states;
  int code = ssi::ssiGetTcpStates(states);
  if (code != ssi::kOk) return code;
  for (size_t i = 0; i < states.size(); ++i) appendf(out, i == 0 ? "%ld" : " %ld", states[i]);
  return code;
}

int cmdSsinfo(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) {
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, "\nusage: ", argv[0], " spec", "\n    where spec is one of:",
                     "\n        swap cpu file proc load", nullptr);
    return TCL_ERROR;
  }
  const char *field = argv[1];
  auto is = [field](const char *word) { return strcasecmp(field, word) == 0; };
  std::string out;
  int code;
  if (is("cpu"))
    code = cpu(out, false);
  else if (is("cpubusy"))
    code = cpu(out, true);
  else if (is("load"))
    code = load(out);
  else if (is("swap"))
    code = swap(out);
  else if (is("proc"))
    code = procs(out);
  else if (is("file"))
    code = files(out);
  else if (is("msg"))
    code = ipc(out, ssi::Ipc::msg);
  else if (is("sem"))
    code = ipc(out, ssi::Ipc::sem);
  else if (is("shm"))
    code = ipc(out, ssi::Ipc::shm);
  else if (is("user"))
    code = users(out);
  else if (is("netif"))
    code = netifs(out);
  else if (is("tcp"))
    code = tcp(out);
  else {
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, argv[0], ": invalid field spec: ", field, nullptr);
    return TCL_ERROR;
  }
  Tcl_ResetResult(interp);
  if (code != ssi::kOk) {
    Tcl_AppendResult(interp, ssi::ssiError(code), nullptr);
    return TCL_ERROR;
  }
  Tcl_AppendResult(interp, out.c_str(), nullptr);
  return TCL_OK;
}

}  // namespace

extern "C" int Ssi_InitInternal(Tcl_Interp *interp) {
  // The source is process-wide: a second interpreter finds it already set up.
  int code = ssi::ssiInit();
  if (code != ssi::kOk && code != ssi::kAlreadyInitialized) {
    Tcl_AppendResult(interp, ssi::ssiError(code), nullptr);
    return TCL_ERROR;
  }
  telvi::createCommands(interp, {{"ssinfo", cmdSsinfo}});
  return TCL_OK;
}
