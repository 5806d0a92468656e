// Costs of the utility paths: 64-bit expressions against Tcl's own expr, and a diagnostic line
// against a plain fprintf of the same text to the same place.
#include <benchmark/benchmark.h>
#include <tcl.h>

#include <cstdio>

#include "telvi/ddl.h"
#include "telvi/expr64.h"
#include "telvi/package.h"

namespace {

constexpr const char *kExpression = "(4294967 * 2 + 7) % 13 < 5 && 17 / 3 > 1";

Tcl_Interp *interp() {
  static Tcl_Interp *shared = Tcl_CreateInterp();
  return shared;
}

void BM_Expr64(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(Tcl_ExprString64(interp(), kExpression));
}
BENCHMARK(BM_Expr64);

// The peer: Tcl 8.6's expr on the same text (the string API compiles it afresh each time).
void BM_TclExpr(benchmark::State &state) {
  for (auto _ : state) benchmark::DoNotOptimize(Tcl_ExprString(interp(), kExpression));
}
BENCHMARK(BM_TclExpr);

void BM_DdlPrintf(benchmark::State &state) {
  Intfile_InitInternal();
  ddlInit("bench", nullptr);
  ddlChannelCreate("benchchan", "file:/dev/null:w");
  ddlChannelEnable("benchchan");
  for (auto _ : state) ddlPrintf("benchchan", "value %d of %s\n", 42, "counter");
  ddlChannelDestroy("benchchan");
}
BENCHMARK(BM_DdlPrintf);

// The peer: the same line (with a fixed header) through stdio, flushed like an unbuffered channel.
void BM_Fprintf(benchmark::State &state) {
  FILE *out = std::fopen("/dev/null", "w");
  for (auto _ : state) {
    std::fprintf(out, "%-8s %s %-12s  value %d of %s\n", "benchchan", "Dec 05 10:00:00", "bench", 42,
                 "counter");
    std::fflush(out);
  }
  std::fclose(out);
}
BENCHMARK(BM_Fprintf);

}  // namespace
