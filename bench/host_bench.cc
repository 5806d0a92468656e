// Costs of the host statistics an agent polls every few seconds: each ssinfo word through the
// Tcl command, and a full process-table snapshot.
#include <benchmark/benchmark.h>
#include <tcl.h>

#include <string>

#include "telvi/package.h"
#include "telvi/proc.h"

namespace {

Tcl_Interp *interpreter() {
  static Tcl_Interp *interp = [] {
    Tcl_FindExecutable(nullptr);
    Tcl_Interp *created = Tcl_CreateInterp();
    Ssi_InitInternal(created);
    return created;
  }();
  return interp;
}

void BM_Ssinfo(benchmark::State &state, const char *word) {
  Tcl_Interp *interp = interpreter();
  std::string script = std::string("ssinfo ") + word;
  for (auto _ : state)
    if (Tcl_Eval(interp, script.c_str()) != TCL_OK) state.SkipWithError(Tcl_GetStringResult(interp));
}
BENCHMARK_CAPTURE(BM_Ssinfo, cpu, "cpu")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, cpubusy, "cpubusy")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, load, "load")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, swap, "swap")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, proc, "proc")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, file, "file")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, msg, "msg")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, sem, "sem")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, shm, "shm")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, user, "user")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, netif, "netif")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Ssinfo, tcp, "tcp")->Unit(benchmark::kMicrosecond);

void BM_ProcSnapshot(benchmark::State &state) {
  long processes = 0;
  for (auto _ : state) {
    proc_snapshot *snapshot = proc_snapshot_init();
    processes = 0;
    for (proc *r = proc_snapshot_get_start(snapshot); r; r = proc_snapshot_get_next(r)) ++processes;
    proc_snapshot_free(snapshot);
  }
  state.counters["processes"] = static_cast<double>(processes);
}
BENCHMARK(BM_ProcSnapshot)->Unit(benchmark::kMicrosecond);

void BM_ProcCountByStates(benchmark::State &state) {
  int counts[PROC_COUNT_SIZE];
  for (auto _ : state) proc_get_count_by_states(counts);
}
BENCHMARK(BM_ProcCountByStates)->Unit(benchmark::kMicrosecond);

void BM_ProcPidLookup(benchmark::State &state) {
  for (auto _ : state) proc_free(proc_pid_lookup(1));
}
BENCHMARK(BM_ProcPidLookup)->Unit(benchmark::kMicrosecond);

}  // namespace
