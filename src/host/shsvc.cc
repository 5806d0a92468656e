// The shell service: `sh` starts a command as a given user in the background, and a poll reaps the
// children and reports each end to the script callback registered for it (`toe_send` callback).
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/shsvc.h"
#include "pkg/command.h"
#include "telvi/ddl.h"

extern char **environ;

namespace {

constexpr int kPollMs = 5000;

// The callbacks of children not reported yet, and the poll that looks for their end.
struct Service {
  Tcl_Interp *interp = nullptr;  // where callbacks and polls run
  std::map<pid_t, std::optional<std::string>> callbacks;
  std::vector<pid_t> fired;     // reported since the last poll
  std::set<pid_t> unreaped;     // reported early (testcallback) but still to be reaped
  bool scheduled = false;
  std::string pollId;           // the `after` of the scheduled poll
};
Service service;

// Evaluates a script in the callback interpreter without disturbing its result.
int evalKeepingResult(const std::string &script, std::string *result = nullptr) {
  Tcl_Interp *interp = service.interp;
  if (interp == nullptr) return TCL_ERROR;
  Tcl_Preserve(interp);
  Tcl_InterpState saved = Tcl_SaveInterpState(interp, TCL_OK);
  int code = Tcl_EvalEx(interp, script.c_str(), -1, TCL_EVAL_GLOBAL);
  if (code == TCL_OK && result != nullptr) *result = Tcl_GetStringResult(interp);
  if (code == TCL_ERROR) Tcl_BackgroundException(interp, code);
  Tcl_RestoreInterpState(interp, saved);
  Tcl_Release(interp);
  return code;
}

void schedulePoll() {
  std::string id;
  if (evalKeepingResult("after " + std::to_string(kPollMs) + " _shsvc_callback", &id) == TCL_OK) {
    service.scheduled = true;
    service.pollId = id;
  }
}

// " %result" followed by the end, a blank or '}' becomes a blank and the result as one list element.
std::string substituteResult(const std::string &callback, const std::string &result) {
  const char *element[] = {result.c_str()};
  char *merged = Tcl_Merge(1, element);
  std::string quoted(merged);
  Tcl_Free(merged);
  static const std::string mark = " %result";
  std::string out;
  size_t from = 0;
  while (true) {
    size_t at = callback.find(mark, from);
    if (at == std::string::npos) break;
    size_t after = at + mark.size();
    if (after == callback.size() || callback[after] == ' ' || callback[after] == '}') {
      out.append(callback, from, at - from);
      out += " " + quoted;
    } else {
      out.append(callback, from, after - from);
    }
    from = after;
  }
  out.append(callback, from, std::string::npos);
  return out;
}

void fire(pid_t pid, const std::string &result) {
  auto it = service.callbacks.find(pid);
  if (it != service.callbacks.end() && it->second)
    evalKeepingResult("toe_send " + substituteResult(*it->second, result));
  service.fired.push_back(pid);
}

// The result text of a child's end, or nothing while it runs.
std::optional<std::string> reap(pid_t pid) {
  int status = 0;
  pid_t done;
  do done = waitpid(pid, &status, WNOHANG);
  while (done < 0 && errno == EINTR);
  char text[96];
  if (done == 0) {
    ddlPrintf("debug", "No status for %d as yet\n", static_cast<int>(pid));
    return std::nullopt;
  }
  if (done < 0) {
    // Never a child of ours, or reaped elsewhere: its status is lost for good.
    ddlPrintf("debug", "Error reaping process status for %d\n", static_cast<int>(pid));
    std::snprintf(text, sizeof text, "error {} {Error reaping process status for %d}",
                  static_cast<int>(pid));
  } else if (WIFEXITED(status)) {
    int code = WEXITSTATUS(status);
    ddlPrintf("debug", "Child %d exited with status %d\n", static_cast<int>(pid), code);
    std::snprintf(text, sizeof text, "%s {} {Child %d exited with status %d}",
                  code == 0 ? "data" : "error", static_cast<int>(pid), code);
  } else if (WIFSIGNALED(status) && WCOREDUMP(status)) {
    ddlPrintf("debug", "Child %d exited abnormally\n", static_cast<int>(pid));
    std::snprintf(text, sizeof text, "error {} {Child %d exited abnormally}", static_cast<int>(pid));
  } else {
    ddlPrintf("debug", "Child %d was killed\n", static_cast<int>(pid));
    std::snprintf(text, sizeof text, "error {} {Child %d was killed}", static_cast<int>(pid));
  }
  return std::string(text);
}

void forgetInterp(ClientData, Tcl_Interp *interp) {
  if (service.interp == interp) service.interp = nullptr;
}

bool parseUid(const char *word, uid_t &uid) {
  if (*word == '\0') return false;
  char *end;
  errno = 0;
  unsigned long value = std::strtoul(word, &end, 10);
  if (*end != '\0' || errno != 0 || value > UINT_MAX - 1 || !std::isdigit(static_cast<unsigned char>(*word)))
    return false;
  uid = static_cast<uid_t>(value);
  return true;
}

// ${NAME} from the environment; \${ stays as written. False names the first variable not set.
bool expand(const std::string &entry, std::string &out, std::string &unset) {
  out.clear();
  for (size_t i = 0; i < entry.size();) {
    if (entry.compare(i, 3, "\\${") == 0) {
      out += "${";
      i += 3;
      continue;
    }
    if (entry.compare(i, 2, "${") == 0) {
      size_t close = entry.find('}', i + 2);
      if (close != std::string::npos) {
        std::string name = entry.substr(i + 2, close - i - 2);
        const char *value = std::getenv(name.c_str());
        if (value == nullptr) {
          unset = name;
          return false;
        }
        out += value;
        i = close + 1;
        continue;
      }
    }
    out += entry[i++];
  }
  return true;
}

int shUsage(Tcl_Interp *interp, const char *cmd) {
  return telvi::fail(interp, "Usage: ", cmd, " [ -u user ]", " [ -e env=value ... ]",
                     " [ -cb callback ]", " -c command");
}

}  // namespace

namespace telvi::host {

bool verifyUserAndEnv(Tcl_Interp *interp, const char *user, const std::vector<std::string> &env,
                      Launch &launch) {
  uid_t uid = 0;
  passwd entry{}, *found = nullptr;
  std::vector<char> buffer(16384);
  bool known;
  if (std::strcmp(user, "ROOT") == 0 || parseUid(user, uid)) {
    known = getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
  } else {
    known = getpwnam_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr;
    if (!known) {
      Tcl_AppendResult(interp, "Invalid user ", user, nullptr);
      return false;
    }
    uid = entry.pw_uid;
  }
  launch.uid = uid;
  // A uid without an entry gets no supplementary groups and the group of the same number.
  launch.gid = known ? entry.pw_gid : static_cast<gid_t>(uid);
  launch.groups.clear();
  if (known) {
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0) {
      groups.resize(static_cast<size_t>(count));
      getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count);
    }
    groups.resize(static_cast<size_t>(count > 0 ? count : 0));
    launch.groups = groups;
  }
  for (const std::string &item : env) {
    if (item.find('=') == std::string::npos) {
      Tcl_AppendResult(interp, "Invalid env format: ", item.c_str(), nullptr);
      return false;
    }
  }
  launch.env = env;
  return true;
}

void prepareExec(const std::vector<std::string> &words, Launch &launch) {
  launch.command = words.empty() ? "" : words[0];
  launch.argv.clear();
  if (words.size() == 1) {
    int count;
    const char **elements;
    if (Tcl_SplitList(nullptr, words[0].c_str(), &count, &elements) == TCL_OK) {
      for (int i = 0; i < count; ++i) launch.argv.emplace_back(elements[i]);
      Tcl_Free(reinterpret_cast<char *>(elements));
    } else {
      launch.splitFailed = true;
    }
  } else {
    launch.argv = words;
  }
  if (launch.argv.empty()) launch.splitFailed = true;

  // The environment: the agent's, with the entries put in (a later entry of a name wins).
  std::map<std::string, std::string> entries;
  std::vector<std::string> order;
  for (const std::string &item : launch.env) {
    std::string value;
    if (!expand(item, value, launch.unsetVariable)) break;
    std::string name = value.substr(0, value.find('='));
    if (entries.find(name) == entries.end()) order.push_back(name);
    entries[name] = value;
  }
  launch.environment.clear();
  for (char **item = environ; item != nullptr && *item != nullptr; ++item) {
    std::string text = *item;
    if (entries.find(text.substr(0, text.find('='))) == entries.end())
      launch.environment.push_back(text);
  }
  for (const std::string &name : order) launch.environment.push_back(entries[name]);
  launch.envp.clear();
  for (std::string &item : launch.environment) launch.envp.push_back(item.data());
  launch.envp.push_back(nullptr);
  launch.argp.clear();
  for (std::string &word : launch.argv) launch.argp.push_back(word.data());
  launch.argp.push_back(nullptr);
}

void childReset(unsigned seconds) {
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  alarm(seconds);
}

bool childBecomeUser(const Launch &launch) {
  if (geteuid() == 0) {
    if (setgroups(launch.groups.size(), launch.groups.data()) != 0) return false;
    if (setgid(launch.gid) != 0) return false;
  }
  return setuid(launch.uid) == 0;
}

void childCloseOnExec() {
#ifdef CLOSE_RANGE_CLOEXEC
  if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
#endif
  for (int fd = 3; fd < 4096; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

void childExec(const Launch &launch) {
  if (launch.splitFailed) return;
  unsigned left = alarm(0);
  environ = const_cast<char **>(launch.envp.data());
  execvp(launch.argp[0], const_cast<char *const *>(launch.argp.data()));
  alarm(left);
}

void registerCallback(pid_t pid, const char *callback) {
  if (callback != nullptr)
    service.callbacks[pid] = std::string(callback);
  else
    service.callbacks[pid] = std::nullopt;
  if (!service.scheduled) {
    schedulePoll();
    ddlPrintf("trace", "Set Timer : callback(s) registered");
  }
}

void setCallbackInterp(Tcl_Interp *interp) {
  if (service.interp != nullptr) return;
  service.interp = interp;
  Tcl_SetAssocData(interp, "telvi::shsvc", forgetInterp, nullptr);
}

int cmdSh(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  const char *user = "nobody";
  const char *callback = nullptr;
  std::vector<std::string> env, words;
  bool command = false;
  for (int i = 1; i < argc && !command;) {
    std::string word = argv[i];
    if (word == "-u") {
      if (i + 1 >= argc || argv[i + 1][0] == '-') break;
      user = std::strcmp(argv[i + 1], "ROOT") == 0 ? "0" : argv[i + 1];
      i += 2;
    } else if (word == "-e") {
      int first = ++i;
      while (i < argc && argv[i][0] != '-') env.emplace_back(argv[i++]);
      if (i == first) return shUsage(interp, argv[0]);
    } else if (word == "-cb") {
      if (i + 1 >= argc) return shUsage(interp, argv[0]);
      callback = argv[i + 1];
      i += 2;
    } else if (word == "-c") {
      for (++i; i < argc; ++i) words.emplace_back(argv[i]);
      command = true;
    } else {
      return shUsage(interp, argv[0]);
    }
  }
  if (!command || words.empty()) return shUsage(interp, argv[0]);

  Launch launch;
  Tcl_ResetResult(interp);
  if (!verifyUserAndEnv(interp, user, env, launch)) return TCL_ERROR;
  prepareExec(words, launch);
  std::string text;
  for (const std::string &word : words) text += (text.empty() ? "" : " ") + word;

  pid_t pid = fork();
  if (pid < 0) return fail(interp, "Can't fork process");
  if (pid == 0) {
    childReset(30);
    if (!childBecomeUser(launch)) _exit(1);
    if (!launch.unsetVariable.empty()) {
      ddlPrintf("error", "Can't set env %s\n", launch.unsetVariable.c_str());
      ddlPrintf("error", "${ substitution failure");
      _exit(1);
    }
    int null = open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd)
      if (null >= 0 && null != fd) dup2(null, fd);
    if (null > 2) close(null);
    childCloseOnExec();
    childExec(launch);
    sleep(2);
    ddlPrintf("error", "sh: Failed to execute %s\n", text.c_str());
    _exit(1);
  }
  ddlPrintf("info", "sh: Executing %s process %d\n", text.c_str(), static_cast<int>(pid));
  registerCallback(pid, callback);
  Tcl_SetObjResult(interp, Tcl_NewIntObj(pid));
  return TCL_OK;
}

int cmdTestCallback(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  char *end;
  long pid = argc == 2 ? std::strtol(argv[1], &end, 10) : 0;
  if (argc != 2 || *argv[1] == '\0' || *end != '\0' || pid <= 0 || pid > INT_MAX)
    return fail(interp, "Usage: ", argv[0], " pid");
  fire(static_cast<pid_t>(pid), "");
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdShsvcCallback(ClientData, Tcl_Interp *interp, int, const char *[]) {
  // A poll run by hand takes the place of the one scheduled.
  if (service.scheduled && !service.pollId.empty())
    evalKeepingResult("after cancel " + service.pollId);
  service.scheduled = false;
  service.pollId.clear();

  std::vector<pid_t> pids;
  for (const auto &entry : service.callbacks) pids.push_back(entry.first);
  for (pid_t pid : pids) {
    if (std::find(service.fired.begin(), service.fired.end(), pid) != service.fired.end()) continue;
    if (std::optional<std::string> result = reap(pid)) fire(pid, *result);
  }
  for (pid_t pid : service.fired) {
    auto it = service.callbacks.find(pid);
    if (it == service.callbacks.end()) continue;
    service.callbacks.erase(it);
    // A child reported before it ended is still reaped, silently, so that it leaves no zombie.
    int status;
    if (waitpid(pid, &status, WNOHANG) == 0) service.unreaped.insert(pid);
  }
  service.fired.clear();
  for (auto it = service.unreaped.begin(); it != service.unreaped.end();) {
    int status;
    pid_t done = waitpid(*it, &status, WNOHANG);
    it = done != 0 ? service.unreaped.erase(it) : std::next(it);
  }
  size_t waiting = service.callbacks.size() + service.unreaped.size();
  if (waiting > 0) {
    schedulePoll();
    ddlPrintf("trace", "Callbacks skipped - %d\n", static_cast<int>(service.callbacks.size()));
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

}  // namespace telvi::host
