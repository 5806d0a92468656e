// Reading a configuration file of 10 000 objects and 100 000 entries, against Tcl's own `source`
// of the same tree written as toe commands; and writing the tree back out.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "telvi/cfgfile.h"
#include "telvi/package.h"
#include "telvi/toe.h"

namespace {

constexpr int kBranches = 10, kObjectsPerBranch = 1000, kEntriesPerObject = 10;

struct Files {
  std::string config, script;
  Files() {
    std::string base = "/tmp/telvi-bench-config-" + std::to_string(getpid());
    config = base + ".cfg";
    script = base + ".tcl";
    std::ofstream cfg(config), tcl(script);
    for (int b = 0; b < kBranches; ++b) {
      cfg << "branch" << b << " = {\n";
      tcl << "toe_send [locate branch" << b << " -create] {\n";
      for (int o = 0; o < kObjectsPerBranch; ++o) {
        cfg << "\tnode" << o << " = {\n";
        tcl << "\ttoe_send [locate node" << o << " -create] {\n";
        for (int e = 0; e < kEntriesPerObject; ++e) {
          std::string value = "value " + std::to_string(b * 100000 + o * 10 + e);
          cfg << "\t\tkey" << e << " = \"" << value << "\"\n";
          tcl << "\t\tdefine value key" << e << " {" << value << "}\n";
        }
        cfg << "\t}\n";
        tcl << "\t}\n";
      }
      cfg << "}\n";
      tcl << "}\n";
    }
  }
  ~Files() {
    std::remove(config.c_str());
    std::remove(script.c_str());
  }
};

Files &files() {
  static Files f;
  return f;
}

Tcl_Interp *interp() {
  static Tcl_Interp *i = [] {
    Tcl_Interp *created = Tcl_CreateInterp();
    Telvi_Init(created);
    return created;
  }();
  return i;
}

void countTree(benchmark::State &state) {
  state.counters["objects"] = kBranches * (kObjectsPerBranch + 1);
  state.counters["entries"] = kBranches * kObjectsPerBranch * kEntriesPerObject;
}

void BM_ParseConfigFile(benchmark::State &state) {
  const std::string &file = files().config;
  for (auto _ : state) {
    toe *root = toeCreate(nullptr, 0, nullptr);
    if (cfgfileParseFile(file.c_str(), root) != 0) state.SkipWithError("parse failed");
    state.PauseTiming();
    toeDestroyHierarchy(root);
    state.ResumeTiming();
  }
  countTree(state);
}
BENCHMARK(BM_ParseConfigFile)->Unit(benchmark::kMillisecond);

void BM_SourceTclScript(benchmark::State &state) {
  Tcl_Interp *in = interp();
  std::string command = "source " + files().script;
  for (auto _ : state) {
    toe *root = toeCreate(nullptr, 0, nullptr);
    toePushContext(in, root, root);
    if (Tcl_Eval(in, command.c_str()) != TCL_OK) state.SkipWithError(Tcl_GetStringResult(in));
    toePopContext(in);
    state.PauseTiming();
    toeDestroyHierarchy(root);
    state.ResumeTiming();
  }
  countTree(state);
}
BENCHMARK(BM_SourceTclScript)->Unit(benchmark::kMillisecond);

void BM_WriteConfigString(benchmark::State &state) {
  toe *root = toeCreate(nullptr, 0, nullptr);
  cfgfileParseFile(files().config.c_str(), root);
  const char *slices[] = {"value"};
  for (auto _ : state) {
    char *text = cfgfileWriteToString(root, "value", slices, 1, CFG_EXPORT_INDENT, nullptr, nullptr, nullptr, nullptr,
                                      nullptr);
    benchmark::DoNotOptimize(text);
    std::free(text);
  }
  toeDestroyHierarchy(root);
  countTree(state);
}
BENCHMARK(BM_WriteConfigString)->Unit(benchmark::kMillisecond);

}  // namespace
