// The process table over Linux /proc: each record is read from /proc/<pid>/stat, status, cmdline
// (and io when usage is collected), through a descriptor on the process's directory so that a
// record keeps naming the same process even after its pid is reused.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <tcl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <algorithm>
#include <new>
#include <string>
#include <unordered_map>

#include "host/report.h"
#include "telvi/proc.h"

struct proc {
  int refs = 1;
  int fd = -1;
  bool collectUsage = false;
  pid_t pid = 0, ppid = 0, pgrp = 0;
  uid_t uid = 0;
  gid_t gid = 0;
  char name[17] = "";
  char args[81] = "";
  char state = PROC_STATE_NONE;
  long cpuSec = 0, cpuNsec = 0;
  long startSec = 0, startNsec = 0;
  long size = 0, rss = 0;
  double pctcpu = 0;
  unsigned long systemCalls = 0, contextSwitches = 0;
  long stampSec = 0, stampUsec = 0;
  unsigned long heap = 0, stack = 0;
  proc *next = nullptr;
};

struct proc_list {
  DIR *dir = nullptr;
  proc *current = nullptr;
};

struct proc_snapshot {
  proc *first = nullptr;
};

namespace {

// Host constants read once: clock ticks per second and page size.
struct HostClock {
  long ticks = 100;
  long pageKb = 4;
};

const HostClock &hostClock() {
  static const HostClock clock = [] {
    HostClock c;
    long ticks = sysconf(_SC_CLK_TCK);
    if (ticks > 0) c.ticks = ticks;
    long page = sysconf(_SC_PAGESIZE);
    if (page > 0) c.pageKb = page / 1024;
    return c;
  }();
  return clock;
}

// The boot time in seconds since the epoch, to the microsecond (the btime of /proc/stat is whole
// seconds, which would put fresh processes up to a second into the future). Start times count
// from boot on the clock that includes suspended time.
double bootEpoch() {
  timespec real, boot;
  clock_gettime(CLOCK_REALTIME, &real);
  clock_gettime(CLOCK_BOOTTIME, &boot);
  return static_cast<double>(real.tv_sec - boot.tv_sec) + (real.tv_nsec - boot.tv_nsec) * 1e-9;
}

// Linux has no recent CPU share per process; it is measured here as the CPU time used between two
// readings of the same process at least a second apart, remembered process-wide. The first reading
// of a process gives its average over its whole life.
class ShareMemory {
 public:
  double share(pid_t pid, unsigned long long start, unsigned long long cpuTicks, double lifetime) {
    double now = monotonicSeconds();
    std::lock_guard<std::mutex> lock(mutex_);
    auto [it, fresh] = samples_.try_emplace(pid);
    Sample &s = it->second;
    if (fresh || s.start != start || cpuTicks < s.cpu) {
      s = {start, cpuTicks, now, now, lifetime};
    } else if (now - s.when >= 1.0) {
      s.share = 100.0 * static_cast<double>(cpuTicks - s.cpu) / hostClock().ticks / (now - s.when);
      s.cpu = cpuTicks;
      s.when = now;
    }
    s.seen = now;
    return s.share;
  }

  // Forgets processes not read for a minute.
  void prune() {
    double now = monotonicSeconds();
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(samples_, [now](const auto &entry) { return now - entry.second.seen > 60.0; });
  }

 private:
  struct Sample {
    unsigned long long start = 0, cpu = 0;
    double when = 0, seen = 0, share = 0;
  };
  static double monotonicSeconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
  }
  std::mutex mutex_;
  std::unordered_map<pid_t, Sample> samples_;
};

ShareMemory &shares() {
  static ShareMemory memory;
  return memory;
}

// Reads a small /proc file below the process directory; -1 with errno on failure.
ssize_t readAt(int dirfd, const char *file, char *buffer, size_t size) {
  int fd = openat(dirfd, file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t total = 0;
  while (static_cast<size_t>(total) < size - 1) {
    ssize_t n = read(fd, buffer + total, size - 1 - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int saved = errno;
      close(fd);
      errno = saved;
      return -1;
    }
    if (n == 0) break;
    total += n;
  }
  close(fd);
  buffer[total] = '\0';
  return total;
}

// Linux state letters onto the table's set.
char mapState(char letter) {
  switch (letter) {
    case 'R': return PROC_STATE_RUN;
    case 'S': case 'D': case 'I': case 'P': case 'K': return PROC_STATE_SLEEP;
    case 'Z': case 'X': case 'x': return PROC_STATE_ZOMB;
    case 'T': case 't': return PROC_STATE_STOP;
    case 'W': return PROC_STATE_XBRK;
    default: return PROC_STATE_SLEEP;
  }
}

unsigned long long field(const char *&p) {
  while (*p == ' ') ++p;
  char *end;
  unsigned long long value = std::strtoull(p, &end, 10);
  if (*p == '-') value = 0;
  p = end;
  return value;
}

unsigned long statusValue(const char *status, const char *key) {
  const char *at = std::strstr(status, key);
  return at ? std::strtoul(at + std::strlen(key), nullptr, 10) : 0;
}

enum class ReadResult { ok, gone, unreadable };

ReadResult failure(int error) {
  return (error == EACCES || error == EPERM) ? ReadResult::unreadable : ReadResult::gone;
}

// How much of a process a reading needs: the stat line alone serves counts and name matches.
enum class Depth { stat, full };

// Fills the record from the process directory open at r.fd.
ReadResult readRecord(proc &r, Depth depth = Depth::full) {
  const HostClock &clock = hostClock();
  char stat[1024];
  if (readAt(r.fd, "stat", stat, sizeof stat) < 0) return failure(errno);
  const char *open = std::strchr(stat, '(');
  const char *close = std::strrchr(stat, ')');
  if (open == nullptr || close == nullptr || close < open || close[1] == '\0') return ReadResult::gone;
  size_t nameLength = std::min<size_t>(close - open - 1, sizeof r.name - 1);
  std::memcpy(r.name, open + 1, nameLength);
  r.name[nameLength] = '\0';
  const char *p = close + 2;
  r.state = mapState(*p++);
  unsigned long long f[46] = {};  // f[k] is field k + 3 of the stat line (man 5 proc)
  for (int k = 1; k < 46 && *p != '\0' && *p != '\n'; ++k) f[k] = field(p);
  r.ppid = static_cast<pid_t>(f[1]);
  r.pgrp = static_cast<pid_t>(f[2]);
  unsigned long long cpuTicks = f[11] + f[12];
  r.cpuSec = static_cast<long>(cpuTicks / clock.ticks);
  r.cpuNsec = static_cast<long>((cpuTicks % clock.ticks) * (1000000000LL / clock.ticks));
  unsigned long long startTicks = f[19];
  double start = bootEpoch() + static_cast<double>(startTicks) / clock.ticks;
  r.startSec = static_cast<long>(start);
  r.startNsec = static_cast<long>((start - r.startSec) * 1e9);
  r.size = static_cast<long>(f[20] >> 10);
  r.rss = static_cast<long>(f[21] * clock.pageKb);
  r.heap = f[45] > f[44] ? static_cast<unsigned long>(f[45] - f[44]) : 0;

  timeval now;
  gettimeofday(&now, nullptr);
  double age = now.tv_sec + now.tv_usec * 1e-6 - (r.startSec + r.startNsec * 1e-9);
  double lifetime = age > 0 ? 100.0 * cpuTicks / clock.ticks / age : 0.0;
  r.pctcpu = shares().share(r.pid, startTicks, cpuTicks, lifetime);
  if (depth == Depth::stat) return ReadResult::ok;

  char status[4096];
  if (readAt(r.fd, "status", status, sizeof status) >= 0) {
    r.uid = static_cast<uid_t>(statusValue(status, "\nUid:"));
    r.gid = static_cast<gid_t>(statusValue(status, "\nGid:"));
    r.stack = statusValue(status, "\nVmStk:") * 1024;
    if (r.collectUsage)
      r.contextSwitches = statusValue(status, "\nvoluntary_ctxt_switches:") +
                          statusValue(status, "\nnonvoluntary_ctxt_switches:");
  }

  char cmdline[sizeof r.args + 1];
  ssize_t n = readAt(r.fd, "cmdline", cmdline, sizeof cmdline);
  while (n > 0 && cmdline[n - 1] == '\0') --n;
  if (n > 0) {
    n = std::min<ssize_t>(n, sizeof r.args - 1);
    for (ssize_t i = 0; i < n; ++i) r.args[i] = cmdline[i] == '\0' ? ' ' : cmdline[i];
    r.args[n] = '\0';
  } else {
    // Kernel threads and zombies have no arguments; their name stands in, as ps shows them.
    std::memcpy(r.args, r.name, sizeof r.name);
  }

  if (r.collectUsage) {
    // Linux counts only the read and write calls of a process.
    char io[1024];
    r.systemCalls =
        readAt(r.fd, "io", io, sizeof io) >= 0 ? statusValue(io, "syscr:") + statusValue(io, "syscw:") : 0;
    r.stampSec = now.tv_sec;
    r.stampUsec = now.tv_usec;
  }
  return ReadResult::ok;
}

int openProcessDir(int procfd, pid_t pid) {
  char name[32];
  std::snprintf(name, sizeof name, "%d", static_cast<int>(pid));
  int fd = procfd >= 0 ? openat(procfd, name, O_PATH | O_DIRECTORY | O_CLOEXEC)
                       : open((std::string("/proc/") + name).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno != ENOENT && errno != EACCES && errno != ESRCH)
    telvi::host::report("Error opening '/proc/%s': errno=%d\n", name, errno);
  return fd;
}

proc *newRecord() {
  proc *r = new (std::nothrow) proc;
  if (r == nullptr) telvi::host::report("FATAL ERROR: cannot allocate memory for proc\n");
  return r;
}

// Reads the process into r (fresh fields); r.fd is left open on success.
ReadResult readPid(proc &r, int procfd, pid_t pid, Depth depth = Depth::full) {
  bool usage = r.collectUsage;
  int refs = r.refs;
  if (r.fd >= 0) close(r.fd);
  r = proc{};
  r.refs = refs;
  r.collectUsage = usage;
  r.pid = pid;
  r.fd = openProcessDir(procfd, pid);
  if (r.fd < 0) return failure(errno);
  ReadResult result = readRecord(r, depth);
  if (result != ReadResult::ok) {
    close(r.fd);
    r.fd = -1;
  }
  return result;
}

bool pidName(const char *name, pid_t *pid) {
  if (*name < '1' || *name > '9') return false;
  char *end;
  long value = std::strtol(name, &end, 10);
  if (*end != '\0') return false;
  *pid = static_cast<pid_t>(value);
  return true;
}

// Calls visit(record) for every readable process, with a record read without usage.
template <typename Visit>
int forEachProcess(Visit visit, Depth depth = Depth::full) {
  DIR *dir = opendir("/proc");
  if (dir == nullptr) return -1;
  proc r;
  while (dirent *entry = readdir(dir)) {
    pid_t pid;
    if (!pidName(entry->d_name, &pid)) continue;
    if (readPid(r, dirfd(dir), pid, depth) != ReadResult::ok) continue;
    close(r.fd);
    r.fd = -1;
    visit(r);
  }
  closedir(dir);
  return 0;
}

}  // namespace

extern "C" {

proc_list *proc_list_open(void) {
  DIR *dir = opendir("/proc");
  if (dir == nullptr) return nullptr;
  proc_list *list = new (std::nothrow) proc_list;
  if (list == nullptr) {
    telvi::host::report("FATAL ERROR: cannot allocate memory for list\n");
    closedir(dir);
    return nullptr;
  }
  list->dir = dir;
  return list;
}

void proc_list_start(proc_list *list) {
  if (list != nullptr) rewinddir(list->dir);
}

proc *proc_list_get_next(proc_list *list) {
  if (list == nullptr) return nullptr;
  while (dirent *entry = readdir(list->dir)) {
    pid_t pid;
    if (!pidName(entry->d_name, &pid)) continue;
    if (list->current != nullptr && list->current->refs > 1) {
      proc_free(list->current);
      list->current = nullptr;
    }
    if (list->current == nullptr) {
      list->current = newRecord();
      if (list->current == nullptr) return nullptr;
      list->current->collectUsage = true;
    }
    if (readPid(*list->current, dirfd(list->dir), pid) == ReadResult::ok) return list->current;
  }
  shares().prune();
  return nullptr;
}

void proc_list_close(proc_list *list) {
  if (list == nullptr) return;
  proc_free(list->current);
  closedir(list->dir);
  delete list;
}

proc_snapshot *proc_snapshot_init(void) {
  proc_snapshot *snapshot = new (std::nothrow) proc_snapshot;
  if (snapshot == nullptr) {
    telvi::host::report("FATAL ERROR: cannot allocate memory for list\n");
    return nullptr;
  }
  proc **tail = &snapshot->first;
  bool failed = false;
  int code = forEachProcess([&](const proc &r) {
    if (failed) return;
    proc *copy = new (std::nothrow) proc(r);
    if (copy == nullptr) {
      telvi::host::report("FATAL ERROR: cannot allocate memory for new_proc\n");
      failed = true;
      return;
    }
    *tail = copy;
    tail = &copy->next;
  });
  if (code != 0 || failed) {
    proc_snapshot_free(snapshot);
    return nullptr;
  }
  shares().prune();
  return snapshot;
}

proc *proc_snapshot_get_start(proc_snapshot *snapshot) { return snapshot ? snapshot->first : nullptr; }
proc *proc_snapshot_get_next(proc *record) { return record ? record->next : nullptr; }

void proc_snapshot_free(proc_snapshot *snapshot) {
  if (snapshot == nullptr) return;
  for (proc *r = snapshot->first; r != nullptr;) {
    proc *next = r->next;
    delete r;
    r = next;
  }
  delete snapshot;
}

proc *proc_pid_lookup(pid_t pid) {
  if (pid <= 0) return nullptr;
  proc *r = newRecord();
  if (r == nullptr) return nullptr;
  r->collectUsage = true;
  if (readPid(*r, -1, pid) != ReadResult::ok) {
    delete r;
    return nullptr;
  }
  return r;
}

proc *proc_pid_clookup(pid_t pid) {
  proc *r = newRecord();
  if (r == nullptr) return nullptr;
  r->collectUsage = true;
  ReadResult result = pid > 0 ? readPid(*r, -1, pid) : ReadResult::gone;
  if (result != ReadResult::ok) {
    *r = proc{};
    r->pid = pid;
    r->collectUsage = true;
    r->state = result == ReadResult::unreadable ? PROC_STATE_UNREAD : PROC_STATE_NONE;
  }
  return r;
}

int proc_update(proc *record) {
  if (record == nullptr || record->fd < 0) return 0;
  return readRecord(*record) == ReadResult::ok ? 1 : 0;
}

int proc_pid_exists(pid_t pid) {
  if (pid <= 0) return 0;
  std::string path = "/proc/" + std::to_string(pid);
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT && errno != EACCES && errno != ESRCH)
      telvi::host::report("Error stat'ing file '%s': errno=%d\n", path.c_str(), errno);
    return 0;
  }
  return st.st_nlink > 0 ? 1 : 0;
}

int proc_exists(proc *record) {
  if (record == nullptr || record->fd < 0) return 0;
  // The directory of a reaped process can still be stat'ed through an open descriptor; its
  // contents are gone.
  struct stat st;
  if (fstatat(record->fd, "stat", &st, 0) != 0) return 0;
  if (fstat(record->fd, &st) != 0) return 0;
  return static_cast<int>(st.st_nlink);
}

void proc_close(proc *record) {
  if (record != nullptr && record->fd >= 0) {
    close(record->fd);
    record->fd = -1;
  }
}

proc *proc_hold(proc *record) {
  if (record != nullptr) ++record->refs;
  return record;
}

void proc_free(proc *record) {
  if (record == nullptr || --record->refs > 0) return;
  proc_close(record);
  delete record;
}

#define TELVI_PROC_GETTER(type, function, member, fallback) \
  type function(const proc *record) { return record ? record->member : fallback; }
TELVI_PROC_GETTER(pid_t, proc_get_pid, pid, 0)
TELVI_PROC_GETTER(pid_t, proc_get_ppid, ppid, 0)
TELVI_PROC_GETTER(pid_t, proc_get_pgrp, pgrp, 0)
TELVI_PROC_GETTER(uid_t, proc_get_uid, uid, 0)
TELVI_PROC_GETTER(gid_t, proc_get_gid, gid, 0)
TELVI_PROC_GETTER(const char *, proc_get_name, name, nullptr)
TELVI_PROC_GETTER(const char *, proc_get_args, args, nullptr)
TELVI_PROC_GETTER(char, proc_get_state, state, PROC_STATE_NONE)
TELVI_PROC_GETTER(long, proc_get_rssize, rss, 0)
TELVI_PROC_GETTER(long, proc_get_size, size, 0)
TELVI_PROC_GETTER(double, proc_get_pctcpu, pctcpu, 0.0)
TELVI_PROC_GETTER(unsigned long, proc_get_system_calls, systemCalls, 0)
TELVI_PROC_GETTER(unsigned long, proc_get_context_switches, contextSwitches, 0)
TELVI_PROC_GETTER(unsigned long, proc_get_heapsize, heap, 0)
TELVI_PROC_GETTER(unsigned long, proc_get_stksize, stack, 0)
#undef TELVI_PROC_GETTER

void proc_get_cpu_time(const proc *record, long *sec, long *nsec) {
  if (sec) *sec = record ? record->cpuSec : 0;
  if (nsec) *nsec = record ? record->cpuNsec : 0;
}

void proc_get_timestamp(const proc *record, long *sec, long *usec) {
  if (sec) *sec = record ? record->stampSec : 0;
  if (usec) *usec = record ? record->stampUsec : 0;
}

double proc_get_cpu_dsec(const proc *record) {
  return record ? record->cpuSec + record->cpuNsec * 1e-9 : 0.0;
}
long proc_get_cpu_sec(const proc *record) { return static_cast<long>(proc_get_cpu_dsec(record)); }

double proc_get_start_dtime(const proc *record) {
  return record ? record->startSec + record->startNsec * 1e-9 : 0.0;
}
long proc_get_start_time(const proc *record) {
  return record ? record->startSec + (record->startNsec >= 500000000 ? 1 : 0) : 0;
}

const char *proc_get_user(const proc *record) {
  if (record == nullptr) return nullptr;
  thread_local char buffer[1024];
  thread_local passwd entry;
  passwd *found = nullptr;
  if (getpwuid_r(record->uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr)
    return nullptr;
  return found->pw_name;
}

const char *proc_get_status(const proc *record) {
  if (record == nullptr) return "";
  if (record->state == PROC_STATE_NONE) return "Down";
  if (record->state == PROC_STATE_UNREAD) return "Not Owner";
  return "";
}

void proc_get_count_by_states(int counts[PROC_COUNT_SIZE]) {
  if (counts == nullptr) return;
  std::fill(counts, counts + PROC_COUNT_SIZE, 0);
  static constexpr char order[] = {PROC_STATE_ONPROC, PROC_STATE_SLEEP, PROC_STATE_RUN,
                                   PROC_STATE_IDL,    PROC_STATE_ZOMB,  PROC_STATE_STOP,
                                   PROC_STATE_XBRK};
  int code = forEachProcess([&](const proc &r) {
    for (size_t i = 0; i < sizeof order; ++i)
      if (order[i] == r.state) ++counts[i];
    ++counts[PROC_COUNT_TOTAL];
  }, Depth::stat);
  if (code != 0) telvi::host::report("Can't open process list\n");
}

int proc_get_total_count(void) {
  int count = 0;
  forEachProcess([&](const proc &) { ++count; }, Depth::stat);
  return count;
}

int proc_match_name(const char *name, pid_t *pids, int capacity) {
  if (name == nullptr || *name == '\0') return 0;
  int count = 0;
  int code = forEachProcess([&](const proc &r) {
    if (std::strcmp(r.name, name) != 0) return;
    if (pids != nullptr && count < capacity) pids[count] = r.pid;
    ++count;
  }, Depth::stat);
  return code != 0 ? -1 : count;
}

int proc_match_regexp(const char *expression, pid_t *pids, int capacity) {
  if (expression == nullptr) return -2;
  Tcl_Obj *pattern = Tcl_NewStringObj(expression, -1);
  Tcl_IncrRefCount(pattern);
  Tcl_RegExp regexp = Tcl_GetRegExpFromObj(nullptr, pattern, TCL_REG_ADVANCED);
  if (regexp == nullptr) {
    Tcl_DecrRefCount(pattern);
    return -2;
  }
  int count = 0;
  int code = forEachProcess([&](const proc &r) {
    if (Tcl_RegExpExec(nullptr, regexp, r.args, r.args) != 1) return;
    if (pids != nullptr && count < capacity) pids[count] = r.pid;
    ++count;
  });
  Tcl_DecrRefCount(pattern);
  return code != 0 ? -1 : count;
}

}  // extern "C"
