// System statistics from Linux sources: /proc/stat, /proc/loadavg, /proc/meminfo, the process
// directories and kernel.pid_max, the mount table with statvfs, /proc/sysvipc with the kernel's
// identifier limits, utmpx, /proc/net/dev and /proc/net/tcp{,6}.
#include "host/ssi.h"

#include <dirent.h>
#include <fcntl.h>
#include <mntent.h>
#include <paths.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <utmpx.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

namespace telvi::ssi {
namespace {

const char *const kErrors[] = {
    "",
    "SSI interface not initialized.",
    "SSI interface already initialized.",
    "SSI interface compiled on different architecture.",
    "Could not open kernel.",
    "Could not close kernel.",
    "Could not generate address listing for kernel symbols.",
    "Could not get number of CPUs from kernel.",
    "Could not get CPU offsets in kernel.",
    "Could not get CPU usage from kernel.",
    "Could not allocate memory on heap.",
    "Could not get system page size.",
    "Could not get system swap usage from kernel.",
    "Could not get system load averages from kernel.",
    "Could not get process count from kernel.",
    "Could not get list of mounted filesystems.",
    "Could not get semaphore info from kernel.",
    "Could not get shared memory info from kernel.",
    "Could not get message queue info from kernel.",
    "Could not read utmp file for user info.",
    "Could not get user info from system.",
    "Could not get network interface info from kernel.",
    "More network interfaces than expected.",
    "Could not get TCP socket information from system.",
};

struct Source {
  bool initialised = false;
  long cpus = 0;
  long pageKb = 0;
  CpuTicks previous;  // counters of the previous CPU call
};

std::mutex sourceMutex;
Source source;

bool readFile(const char *path, std::string &text) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  text.clear();
  char buffer[16384];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

// Splits off the next blank-separated word of `rest`.
std::string_view nextWord(std::string_view &rest) {
  size_t start = rest.find_first_not_of(" \t\n");
  if (start == std::string_view::npos) {
    rest = {};
    return {};
  }
  size_t end = rest.find_first_of(" \t\n", start);
  std::string_view word = rest.substr(start, end == std::string_view::npos ? end : end - start);
  rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
  return word;
}

template <typename T>
bool toNumber(std::string_view word, T &value, int base = 10) {
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
  return error == std::errc() && end == word.data() + word.size() && !word.empty();
}

bool toNumber(std::string_view word, double &value) {
  auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  return error == std::errc() && end == word.data() + word.size() && !word.empty();
}

// Calls line(text) for every line of the text.
template <typename Line>
void forEachLine(std::string_view text, Line line) {
  while (!text.empty()) {
    size_t end = text.find('\n');
    line(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

bool readInt(const char *path, long &value) {
  std::string text;
  if (!readFile(path, text)) return false;
  std::string_view rest = text;
  rest = rest.substr(0, rest.find('\n'));
  return toNumber(nextWord(rest), value);
}

// Lines of a /proc/sysvipc table, less its header.
bool countIpcObjects(const char *path, int &count) {
  std::string text;
  if (!readFile(path, text)) return false;
  count = -1;
  forEachLine(text, [&](std::string_view line) {
    if (!line.empty()) ++count;
  });
  if (count < 0) count = 0;
  return true;
}

uint64_t growth(uint64_t before, uint64_t after) { return after > before ? after - before : 0; }

}  // namespace

const char *ssiError(int code) {
  if (code == -1) return std::strerror(errno);
  if (code < 0 || code >= static_cast<int>(std::size(kErrors))) return "";
  return kErrors[code];
}

int ssiInit() {
  std::lock_guard<std::mutex> lock(sourceMutex);
  if (source.initialised) return kAlreadyInitialized;
  // The build-time release check of the original host makes no sense for a Linux build, which
  // runs on any kernel with /proc: there is none.
  long cpus = sysconf(_SC_NPROCESSORS_CONF);
  if (cpus <= 0) return kCpuCount;
  long page = sysconf(_SC_PAGESIZE);
  if (page <= 0) return kPageSize;
  if (access("/proc/stat", R_OK) != 0) return kOpenKernel;
  source.cpus = cpus;
  source.pageKb = page / 1024;
  source.previous = {};
  source.initialised = true;
  return kOk;
}

void ssiCleanup() {
  std::lock_guard<std::mutex> lock(sourceMutex);
  source = Source{};
}

bool parseCpuTicks(std::string_view procStat, CpuTicks &ticks) {
  // The first line sums every CPU: user nice system idle iowait irq softirq steal guest guest_nice.
  // Guest time is already inside user and nice.
  std::string_view line = procStat.substr(0, procStat.find('\n'));
  if (nextWord(line) != "cpu") return false;
  uint64_t v[8] = {};
  for (int i = 0; i < 8; ++i) {
    std::string_view word = nextWord(line);
    if (word.empty() && i >= 4) break;  // older kernels stop early
    if (!toNumber(word, v[i])) return false;
  }
  ticks.user = v[0] + v[1];
  ticks.kernel = v[2] + v[5] + v[6];
  ticks.idle = v[3];
  ticks.wait = v[4];
  ticks.wait2 = v[7];
  return true;
}

CpuShares cpuShares(const CpuTicks &previous, const CpuTicks &now) {
  // Linux counters are 64 bits wide and do not wrap, but the summed iowait may step back a little;
  // a counter that went down counts as no change.
  uint64_t idle = growth(previous.idle, now.idle), user = growth(previous.user, now.user),
           kernel = growth(previous.kernel, now.kernel), wait = growth(previous.wait, now.wait),
           wait2 = growth(previous.wait2, now.wait2);
  uint64_t total = idle + user + kernel + wait + wait2;
  CpuShares shares;
  if (total == 0) return shares;
  auto tenths = [total](uint64_t change) { return (change * 1000 + total / 2) / total; };
  uint64_t idleTenths = tenths(idle);
  shares.idle = idleTenths / 10.0;
  shares.busy = (1000.0 - static_cast<double>(idleTenths)) / 10.0;
  shares.system = static_cast<double>(tenths(kernel) + tenths(wait) + tenths(wait2)) / 10.0;
  shares.user = tenths(user) / 10.0;
  return shares;
}

int ssiGetCPUStates(CpuShares &shares) {
  std::string text;
  CpuTicks now;
  if (!readFile("/proc/stat", text) || !parseCpuTicks(text, now)) return kCpuUsage;
  std::lock_guard<std::mutex> lock(sourceMutex);
  if (!source.initialised) return kNotInitialized;
  shares = cpuShares(source.previous, now);
  source.previous = now;
  return kOk;
}

int ssiGetLoad(std::array<double, 3> &load) {
  std::string text;
  if (!readFile("/proc/loadavg", text)) return kLoad;
  std::string_view rest = text;
  for (double &value : load) {
    std::string_view word = nextWord(rest);
    if (!toNumber(word, value)) return kLoad;
  }
  return kOk;
}

bool parseSwap(std::string_view meminfo, Swap &swap) {
  long total = -1, free = -1;
  forEachLine(meminfo, [&](std::string_view line) {
    std::string_view rest = line;
    std::string_view key = nextWord(rest);
    if (key == "SwapTotal:") toNumber(nextWord(rest), total);
    if (key == "SwapFree:") toNumber(nextWord(rest), free);
  });
  if (total < 0 || free < 0) return false;
  swap.total = total;
  swap.available = free;
  swap.usedPercent = total > 0 ? (total - free) * 100.0 / total : 0.0;
  return true;
}

int ssiGetSwap(Swap &swap) {
  std::string text;
  if (!readFile("/proc/meminfo", text) || !parseSwap(text, swap)) return kSwap;
  return kOk;
}

int ssiGetProcs(Procs &procs) {
  long max;
  if (!readInt("/proc/sys/kernel/pid_max", max) || max <= 0) return kProcCount;
  DIR *dir = opendir("/proc");
  if (dir == nullptr) return kProcCount;
  int current = 0;
  while (dirent *entry = readdir(dir))
    if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') ++current;
  closedir(dir);
  procs.max = static_cast<int>(max);
  procs.current = current;
  procs.percent = current * 100.0 / max;
  return kOk;
}

bool isLocalDiskType(std::string_view type) {
  static constexpr std::string_view kLocal[] = {"ext2", "ext3",     "ext4", "xfs", "btrfs", "jfs",
                                                "reiserfs", "f2fs", "zfs",  "ufs", "vfat",  "exfat",
                                                "ntfs", "ntfs3"};
  for (std::string_view local : kLocal)
    if (type == local) return true;
  return false;
}

int ssiGetFileSystems(std::vector<FileSystem> &systems) {
  FILE *table = setmntent("/proc/self/mounts", "re");
  if (table == nullptr) return kMounts;
  systems.clear();
  mntent entry;
  char buffer[4096];
  while (getmntent_r(table, &entry, buffer, sizeof buffer) != nullptr) {
    if (!isLocalDiskType(entry.mnt_type)) continue;
    struct statvfs st;
    if (statvfs(entry.mnt_dir, &st) != 0 || st.f_blocks == 0) continue;
    // Reported in kilobyte blocks whatever the file system's fragment size.
    auto kb = [&st](fsblkcnt_t blocks) {
      return static_cast<long>(static_cast<unsigned long long>(blocks) * st.f_frsize / 1024);
    };
    FileSystem fs;
    fs.mountPoint = entry.mnt_dir;
    fs.total = kb(st.f_blocks);
    fs.available = kb(st.f_bavail);
    double usable = static_cast<double>(st.f_blocks) - st.f_bfree + st.f_bavail;
    fs.usedPercent = usable > 0 ? 100.0 * (1.0 - st.f_bavail / usable) : 0.0;
    systems.push_back(std::move(fs));
  }
  endmntent(table);
  return kOk;
}

IpcUsage ipcUsage(int max, int allocated) {
  IpcUsage usage;
  if (max <= 0) return usage;
  usage.max = max;
  usage.free = max - allocated;
  usage.usedPercent = 100.0 - usage.free * 100.0 / max;
  return usage;
}

int ssiGetIpc(Ipc kind, IpcUsage &usage) {
  long max = 0;
  int allocated = 0;
  int code;
  bool ok;
  switch (kind) {
    case Ipc::msg:
      code = kMessageQueues;
      ok = readInt("/proc/sys/kernel/msgmni", max) && countIpcObjects("/proc/sysvipc/msg", allocated);
      break;
    case Ipc::shm:
      code = kSharedMemory;
      ok = readInt("/proc/sys/kernel/shmmni", max) && countIpcObjects("/proc/sysvipc/shm", allocated);
      break;
    default: {
      // kernel.sem holds SEMMSL SEMMNS SEMOPM SEMMNI; the identifier limit is the fourth.
      code = kSemaphores;
      std::string text;
      ok = readFile("/proc/sys/kernel/sem", text) && countIpcObjects("/proc/sysvipc/sem", allocated);
      std::string_view rest = text;
      for (int i = 0; ok && i < 4; ++i) ok = toNumber(nextWord(rest), max);
    }
  }
  if (!ok) return code;
  usage = ipcUsage(static_cast<int>(max), allocated);
  return kOk;
}

int ssiGetUsers(Users &users) {
  users = Users{};
  // A host without a login record file has nobody logged in.
  if (access(_PATH_UTMPX, F_OK) != 0) return errno == ENOENT ? kOk : kUtmp;
  if (access(_PATH_UTMPX, R_OK) != 0) return kUtmp;
  std::set<std::string> names;
  setutxent();
  while (utmpx *entry = getutxent()) {
    if (entry->ut_type != USER_PROCESS) continue;
    std::string name(entry->ut_user, strnlen(entry->ut_user, sizeof entry->ut_user));
    std::string line(entry->ut_line, strnlen(entry->ut_line, sizeof entry->ut_line));
    if (line == "console") users.console = name;
    names.insert(name);
    ++users.logins;
  }
  endutxent();
  users.distinct = static_cast<int>(names.size());
  return kOk;
}

bool parseNetDev(std::string_view netDev, std::vector<NetIf> &interfaces) {
  interfaces.clear();
  int lineNumber = 0;
  bool ok = true;
  forEachLine(netDev, [&](std::string_view line) {
    if (++lineNumber <= 2 || line.empty()) return;  // two header lines
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
      ok = false;
      return;
    }
    std::string_view name = line.substr(0, colon);
    name.remove_prefix(std::min(name.find_first_not_of(' '), name.size()));
    std::string_view rest = line.substr(colon + 1);
    // Receive: bytes packets errs drop fifo frame compressed multicast; transmit: bytes packets
    // errs drop fifo colls carrier compressed.
    uint64_t v[16];
    for (uint64_t &value : v)
      if (!toNumber(nextWord(rest), value)) {
        ok = false;
        return;
      }
    auto percent = [](uint64_t part, uint64_t packets) {
      return packets == 0 ? 0.0 : static_cast<double>(part) * 100.0 / static_cast<double>(packets);
    };
    interfaces.push_back({std::string(name), percent(v[2], v[1]), percent(v[10], v[9]),
                          percent(v[13], v[9])});
  });
  return ok;
}

int ssiGetNetIfs(std::vector<NetIf> &interfaces) {
  std::string text;
  if (!readFile("/proc/net/dev", text) || !parseNetDev(text, interfaces)) return kNetIf;
  return kOk;
}

void countTcpStates(std::string_view procNetTcp, TcpStates &states) {
  // Kernel state numbers (include/net/tcp_states.h) onto the reported order; a request socket
  // (NEW_SYN_RECV, 12) is a connection in SYN_RCVD.
  static constexpr int kSlot[] = {-1, 4, 2, 3, 6, 9, 10, 0, 5, 8, 1, 7, 3};
  int lineNumber = 0;
  forEachLine(procNetTcp, [&](std::string_view line) {
    if (++lineNumber == 1 || line.empty()) return;
    std::string_view rest = line;
    nextWord(rest);  // sl
    nextWord(rest);  // local address
    nextWord(rest);  // remote address
    unsigned state;
    if (!toNumber(nextWord(rest), state, 16) || state >= std::size(kSlot) || kSlot[state] < 0) return;
    ++states[kSlot[state]];
    ++states[11];
  });
}

int ssiGetTcpStates(TcpStates &states) {
  states.fill(0);
  std::string text;
  if (!readFile("/proc/net/tcp", text)) return kTcp;
  countTcpStates(text, states);
  if (readFile("/proc/net/tcp6", text)) countTcpStates(text, states);  // absent without IPv6
  return kOk;
}

}  // namespace telvi::ssi
