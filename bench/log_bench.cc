// Costs of the log paths against their plain peers, in the same run:
// - appends to a circular log (locked, memory-mapped or stream I/O, 1 and 4 processes) against a
//   minimal locked append: fcntl write lock, pwrite of the same line, unlock;
// - the scanner searching a 1 GB regular log for a fixed text against GNU grep -F -c. The file is
//   generated under /tmp when the benchmark starts and removed when it ends.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "telvi/clog.h"
#include "telvi/lof.h"

namespace {

constexpr int kAppendsPerProcess = 20000;
constexpr const char *kLine =
    "Dec 05 10:00:00 agent[4242]: disk /var at 91% of its capacity, threshold 90%, state open";

std::string tempPath(const char *name) {
  const char *base = std::getenv("TMPDIR");
  return std::string(base != nullptr ? base : "/tmp") + "/telvi-bench-" + std::to_string(getpid()) + "-" + name;
}

enum Kind { kMmap = 0, kStream = 1, kMinimal = 2 };

// One process's appends; returns nonzero on failure.
int appendLoop(const std::string &path, int kind) {
  if (kind == kMinimal) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return 1;
    std::string line = std::string("[00000000 0059 ]") + kLine + "\n";
    struct flock lock {};
    lock.l_whence = SEEK_SET;
    for (int i = 0; i < kAppendsPerProcess; ++i) {
      lock.l_type = F_WRLCK;
      if (fcntl(fd, F_SETLKW, &lock) != 0) return 2;
      off_t at = 85 + static_cast<off_t>(i % 1000) * static_cast<off_t>(line.size());
      if (pwrite(fd, line.data(), line.size(), at) != static_cast<ssize_t>(line.size())) return 3;
      lock.l_type = F_UNLCK;
      fcntl(fd, F_SETLK, &lock);
    }
    close(fd);
    return 0;
  }
  clog *log = clog_create();
  clog_setAccessMode(log, kind == kMmap ? CLOG_ACCESS_MMAP : CLOG_ACCESS_STREAM);
  if (clog_open_file(log, path.c_str(), 1) != 0) return 1;
  for (int i = 0; i < kAppendsPerProcess; ++i) {
    int code = clog_write_rec(log, kLine);
    if (code != 0) return 100 + code;
  }
  clog_destroy(log);
  return 0;
}

// Appends from `processes` forked processes at once; the time is the wall time until all are done.
void BM_Append(benchmark::State &state) {
  int kind = static_cast<int>(state.range(0)), processes = static_cast<int>(state.range(1));
  std::string path = tempPath("append.clog");
  clog *log = clog_create();
  clog_new_file_nl(log, path.c_str(), 1000, 100);
  clog_destroy(log);
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
      pid_t child = fork();
      if (child == 0) _exit(appendLoop(path, kind));
      children.push_back(child);
    }
    bool ok = true;
    for (pid_t child : children) {
      int status;
      waitpid(child, &status, 0);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        std::fprintf(stderr, "appending process: status %d\n", status);
      ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!ok) {
      std::fprintf(stderr, "appending process failed\n");
      state.SkipWithError("an appending process failed");
    }
    state.SetIterationTime(took.count());
  }
  state.SetItemsProcessed(state.iterations() * processes * kAppendsPerProcess);
  static const char *const names[] = {"clog mmap", "clog stream", "fcntl+pwrite"};
  state.SetLabel(names[kind]);
  unlink(path.c_str());
}
BENCHMARK(BM_Append)
    ->ArgsProduct({{kMmap, kStream, kMinimal}, {1, 4}})
    ->ArgNames({"kind", "procs"})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

// ---- scanning a 1 GB log ------------------------------------------------------------------------

constexpr const char *kNeedle = "segfault at 0000dead";
constexpr size_t kScanBytes = size_t{1} << 30;

// Syslog-like lines of varying length; one line in 5000 holds the searched text.
std::string bigLogPath;

const std::string &bigLog() {
  std::string &path = bigLogPath;
  if (!path.empty()) return path;
  path = tempPath("scan.log");
  FILE *out = std::fopen(path.c_str(), "w");
  const char *words[] = {"kernel:", "sshd[812]:", "cron[77]:", "eth0", "link", "up", "session",
                         "opened", "for", "user", "root", "by", "uid=0", "disk", "sda1", "ok"};
  std::string line;
  size_t written = 0;
  unsigned mix = 12345;
  for (long n = 1; written < kScanBytes; ++n) {
    line = "Dec  5 10:00:00 host ";
    int count = 6 + static_cast<int>(n % 11);
    for (int w = 0; w < count; ++w) {
      mix = mix * 1103515245u + 12345u;
      line += words[(mix >> 16) % 16];
      line += ' ';
    }
    if (n % 5000 == 0) line += kNeedle;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
    written += line.size();
  }
  std::fclose(out);
  return path;
}

struct RemoveBigLog {
  ~RemoveBigLog() {
    if (!bigLogPath.empty()) unlink(bigLogPath.c_str());
  }
} removeBigLog;

// Every existing line of the log searched once: a scanner opened with a backlog of -1 counts the
// lines, then reports each match.
void BM_ScanLog(benchmark::State &state) {
  const std::string &path = bigLog();
  long matches = 0;
  for (auto _ : state) {
    struct Count {
      long n = 0;
    } count;
    LofScanner *scanner = lofscan_open(
        path.c_str(), kNeedle, -1, [](LofScanner *, const char *, void *data) { ++static_cast<Count *>(data)->n; },
        &count);
    if (scanner == nullptr) state.SkipWithError("scanner failed");
    lofscan_close(scanner);
    matches = count.n;
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kScanBytes));
  state.counters["matches"] = static_cast<double>(matches);
}
BENCHMARK(BM_ScanLog)->Iterations(3)->Unit(benchmark::kMillisecond);

// The peer: GNU grep counting the lines that hold the same text in the same file.
void BM_GrepFixed(benchmark::State &state) {
  const std::string &path = bigLog();
  std::string command = std::string("grep -F -c '") + kNeedle + "' '" + path + "'";
  long matches = 0;
  for (auto _ : state) {
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr || std::fscanf(pipe, "%ld", &matches) != 1) state.SkipWithError("grep failed");
    if (pipe != nullptr) pclose(pipe);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kScanBytes));
  state.counters["matches"] = static_cast<double>(matches);
}
BENCHMARK(BM_GrepFixed)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
