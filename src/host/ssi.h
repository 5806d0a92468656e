// System statistics behind `ssinfo`: each function fills its numbers from Linux's /proc and system
// tables and returns 0 or an error code whose text ssiError gives. The parsers take file contents,
// so they can be checked with fixed samples.
#ifndef TELVI_HOST_SSI_H
#define TELVI_HOST_SSI_H

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telvi::ssi {

enum Code {
  kOk = 0,
  kNotInitialized = 1,
  kAlreadyInitialized = 2,
  kWrongArch = 3,
  kOpenKernel = 4,
  kCpuCount = 7,
  kCpuUsage = 9,
  kNoMemory = 10,
  kPageSize = 11,
  kSwap = 12,
  kLoad = 13,
  kProcCount = 14,
  kMounts = 15,
  kSemaphores = 16,
  kSharedMemory = 17,
  kMessageQueues = 18,
  kUtmp = 19,
  kUsers = 20,
  kNetIf = 21,
  kTooManyNetIfs = 22,
  kTcp = 23,
};

// The text of a code; -1 is the system's message for the current errno.
const char *ssiError(int code);

// Process-wide set-up, once: kAlreadyInitialized on a second call.
int ssiInit();
void ssiCleanup();

// The five CPU tick counters, summed over all CPUs.
struct CpuTicks {
  uint64_t idle = 0, user = 0, kernel = 0, wait = 0, wait2 = 0;
};
// Percentages: idle, busy (100 - idle), system (kernel and both waits), user.
struct CpuShares {
  double idle = 100, busy = 0, system = 0, user = 0;
};
bool parseCpuTicks(std::string_view procStat, CpuTicks &ticks);
// Shares of the change from `previous` to `now`.
CpuShares cpuShares(const CpuTicks &previous, const CpuTicks &now);
// Shares since the previous call (since boot on the first).
int ssiGetCPUStates(CpuShares &shares);

int ssiGetLoad(std::array<double, 3> &load);

struct Swap {
  long total = 0, available = 0;
  double usedPercent = 0;
};
bool parseSwap(std::string_view meminfo, Swap &swap);
int ssiGetSwap(Swap &swap);

struct Procs {
  int max = 0, current = 0;
  double percent = 0;
};
int ssiGetProcs(Procs &procs);

struct FileSystem {
  std::string mountPoint;
  long total = 0, available = 0;  // in kilobytes
  double usedPercent = 0;
};
bool isLocalDiskType(std::string_view type);
int ssiGetFileSystems(std::vector<FileSystem> &systems);

enum class Ipc { msg, sem, shm };
struct IpcUsage {
  int max = 0, free = 0;
  double usedPercent = 0;
};
IpcUsage ipcUsage(int max, int allocated);
int ssiGetIpc(Ipc kind, IpcUsage &usage);

struct Users {
  std::string console = "<none>";
  int distinct = 0, logins = 0;
};
int ssiGetUsers(Users &users);

struct NetIf {
  std::string name;
  double inErrors = 0, outErrors = 0, collisions = 0;  // percent of packets
};
bool parseNetDev(std::string_view netDev, std::vector<NetIf> &interfaces);
int ssiGetNetIfs(std::vector<NetIf> &interfaces);

// Counts by state in the order CLOSED, LISTEN, SYN_SENT, SYN_RCVD, ESTABLISHED, CLOSE_WAIT,
// FIN_WAIT_1, CLOSING, LAST_ACK, FIN_WAIT_2, TIME_WAIT, then the total.
using TcpStates = std::array<long, 12>;
void countTcpStates(std::string_view procNetTcp, TcpStates &states);
int ssiGetTcpStates(TcpStates &states);

}  // namespace telvi::ssi

#endif
