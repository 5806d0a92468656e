// What storing values into managed-object nodes costs a script, against a plain Tcl proc doing the
// same work with arrays:
//  - a 10-element vector stored with `setValue 0 $list` on a vector leaf with an update filter and
//    one set action, and its peer: the filter per element into an array, a time stamp, the action;
//  - a 100-row table (3 passive vector-leaf columns under a table branch) stored with one flat
//    300-element list, and its peer: the 300 values into three arrays.
// Each library benchmark also runs its peer, in alternating chunks of calls, and reports lib_us and
// bare_us (CPU microseconds per call) and ratio (library / plain Tcl) as counters; the peers also run
// on their own. The peers run in an interpreter without the object layer.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "telvi/id.h"
#include "telvi/package.h"
#include "telvi/toe.h"

namespace {

constexpr int kVectorLength = 10;
constexpr int kTableRows = 100;

// Evaluates a setup script; a failure ends the run, since every figure would be meaningless.
void mustEval(Tcl_Interp *interp, const std::string &script) {
  if (Tcl_Eval(interp, script.c_str()) != TCL_OK) {
    std::fprintf(stderr, "tree_bench setup failed: %s\n  in: %s\n", Tcl_GetStringResult(interp), script.c_str());
    std::exit(1);
  }
}

void mustEqual(Tcl_Interp *interp, const std::string &script, const std::string &expected) {
  mustEval(interp, script);
  std::string got = Tcl_GetStringResult(interp);
  if (got != expected) {
    std::fprintf(stderr, "tree_bench check failed: %s gave \"%s\", expected \"%s\"\n", script.c_str(), got.c_str(),
                 expected.c_str());
    std::exit(1);
  }
}

// A list object of the values, as a script would hold it.
Tcl_Obj *valueList(int count, const std::vector<std::string> &prefixes) {
  Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
  for (int row = 1; row <= count; ++row)
    for (const std::string &prefix : prefixes) {
      std::string value = prefix + std::to_string(row);
      Tcl_ListObjAppendElement(nullptr, list, Tcl_NewStringObj(value.c_str(), -1));
    }
  Tcl_IncrRefCount(list);
  return list;
}

// One call of a compiled proc with one list argument, as a script makes it.
class ProcCall {
 public:
  ProcCall(Tcl_Interp *interp, const char *proc, Tcl_Obj *argument) : interp_(interp) {
    objv_[0] = Tcl_NewStringObj(proc, -1);
    objv_[1] = argument;
    for (Tcl_Obj *obj : objv_) Tcl_IncrRefCount(obj);
  }
  ~ProcCall() {
    for (Tcl_Obj *obj : objv_) Tcl_DecrRefCount(obj);
  }
  ProcCall(const ProcCall &) = delete;
  ProcCall &operator=(const ProcCall &) = delete;
  int operator()() { return Tcl_EvalObjv(interp_, 2, objv_, 0); }
  Tcl_Interp *interp() const { return interp_; }

 private:
  Tcl_Interp *interp_;
  Tcl_Obj *objv_[2];
};

// The procs the agent's scripts provide, reduced to what the benchmark needs; the peers use the same
// filter and action procs.
constexpr const char *kAgentProcs = R"(
  proc f {i v} {return $v}
  proc noteSet {} {}
  proc informDependencies {args} {}
  proc _resolveActionParameters {args} {}
)";

constexpr const char *kBareProcs = R"(
  proc bareVector {list} {
    global vec vecStamp
    set i 0
    foreach v $list {
      set vec([incr i]) [f $i $v]
    }
    set vecStamp [clock seconds]
    noteSet
  }
  proc bareTable {flat} {
    global colA colB colC
    set r 0
    foreach {a b c} $flat {
      incr r
      set colA($r) $a
      set colB($r) $b
      set colC($r) $c
    }
  }
)";

// The object whose identifier the global variable holds, or null.
toe *objectNamedBy(Tcl_Interp *interp, const char *variable) {
  const char *id = Tcl_GetVar(interp, variable, TCL_GLOBAL_ONLY);
  void *pointer = nullptr;
  if (id == nullptr || idLookup("toe", id, &pointer) != 0) return nullptr;
  return static_cast<toe *>(pointer);
}

struct Tree {
  Tcl_Interp *interp;
  toe *leaf = nullptr;   // the vector leaf with its filter and set action
  toe *table = nullptr;  // the table branch
  Tcl_Obj *vector = nullptr, *flat = nullptr;
};

// root (childDimension vector) <- vec: an active vector leaf with updateFilter f and set action a.
// root <- tbl: an active table branch (childDimension vector) with passive columns a, b, c.
Tree &tree() {
  static Tree world = [] {
    Tree w{};
    w.interp = Tcl_CreateInterp();
    if (Telvi_Init(w.interp) != TCL_OK) {
      std::fprintf(stderr, "Telvi_Init failed: %s\n", Tcl_GetStringResult(w.interp));
      std::exit(1);
    }
    mustEval(w.interp, kAgentProcs);
    mustEval(w.interp, R"(
      set root [toe_create]
      toe_begin $root
      define value childDimension vector
      set leaf [locate vec -create]
      set table [locate tbl -create]
      toe_end

      toe_begin $leaf
      define value type active
      define value updateFilter f
      define value _setActions a
      define value setMethod(a) {noteSet}
      initializeLeafVector
      toe_end

      toe_begin $table
      define value type active
      define value childDimension vector
      foreach name {a b c} {
        set column [locate $name -create]
        toe_send $column define value type passive
        toe_send $column initializeLeafVector
      }
      setReceptiveChildren
      initializeTableBranch
      toe_end

      proc libVectorSend {list} {
        global leaf
        toe_send $leaf setValue 0 $list
      }
      proc libTableSend {flat} {
        global table
        toe_send $table setValue 0 $flat
      }
      proc libSet {list} {
        setValue 0 $list
      }
    )");
    // The nodes by their identifiers, for the benchmarks that make them current from C.
    w.leaf = objectNamedBy(w.interp, "leaf");
    w.table = objectNamedBy(w.interp, "table");
    if (w.leaf == nullptr || w.table == nullptr) {
      std::fprintf(stderr, "tree_bench: nodes not found\n");
      std::exit(1);
    }
    w.vector = valueList(kVectorLength, {"v"});
    w.flat = valueList(kTableRows, {"a", "b", "c"});

    // Both stores do what they should before anything is timed.
    Tcl_SetVar2Ex(w.interp, "vectorList", nullptr, w.vector, TCL_GLOBAL_ONLY);
    Tcl_SetVar2Ex(w.interp, "flatList", nullptr, w.flat, TCL_GLOBAL_ONLY);
    // The filter sees each row and the action runs once per store (counted here, then the procs are
    // the empty ones again).
    mustEval(w.interp, "proc f {i v} {return $i:$v}; proc noteSet {} {incr ::noted}; set noted 0");
    mustEval(w.interp, "libVectorSend $vectorList");  // the result is row 0: none
    mustEqual(w.interp, "toe_send $leaf entries data", "1 2 3 4 5 6 7 8 9 10");
    mustEqual(w.interp, "list [toe_send $leaf getRawValue 10] $noted", "10:v10 1");
    mustEval(w.interp, kAgentProcs);
    mustEval(w.interp, "libVectorSend $vectorList");
    mustEqual(w.interp, "toe_send $leaf getRawValue 10", "v10");
    mustEval(w.interp, "libTableSend $flatList");
    mustEqual(w.interp, "toe_send [toe_send $table locate b] getRawValue 100", "b100");
    mustEqual(w.interp, "llength [toe_send [toe_send $table locate c] entries data]", "100");
    Tcl_UnsetVar(w.interp, "vectorList", TCL_GLOBAL_ONLY);
    Tcl_UnsetVar(w.interp, "flatList", TCL_GLOBAL_ONLY);
    return w;
  }();
  return world;
}

// Plain Tcl: an interpreter without the object layer, holding the peers and the same procs.
Tcl_Interp *plainTcl() {
  static Tcl_Interp *interp = [] {
    Tcl_Interp *i = Tcl_CreateInterp();
    mustEval(i, kAgentProcs);
    mustEval(i, kBareProcs);
    Tree &w = tree();
    ProcCall vector(i, "bareVector", w.vector), table(i, "bareTable", w.flat);
    if (vector() != TCL_OK || table() != TCL_OK) {
      std::fprintf(stderr, "tree_bench peer failed: %s\n", Tcl_GetStringResult(i));
      std::exit(1);
    }
    mustEqual(i, "list $vec(10) [array size colB] $colB(100)", "v10 100 b100");
    return i;
  }();
  return interp;
}

// CPU seconds of this thread: the machine may be busy with other work, which wall time would count.
double cpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Runs the library call and the peer in alternating chunks, so that a change in the machine's speed
// during the run (it may be shared) affects both alike. The benchmark's own times cover the library
// calls only; the counters give both in CPU microseconds per call and their ratio.
void compare(benchmark::State &state, ProcCall &library, ProcCall &peer) {
  constexpr int kChunk = 16;
  // Warm: the node's method bound, the procs compiled.
  for (ProcCall *call : {&library, &peer}) {
    if ((*call)() != TCL_OK) {
      state.SkipWithError(Tcl_GetStringResult(call->interp()));
      return;
    }
  }
  double librarySeconds = 0, peerSeconds = 0;
  while (state.KeepRunningBatch(kChunk)) {
    double start = cpuSeconds();
    for (int i = 0; i < kChunk; ++i) {
      if (library() != TCL_OK) {
        state.SkipWithError(Tcl_GetStringResult(library.interp()));
        return;
      }
    }
    librarySeconds += cpuSeconds() - start;
    state.PauseTiming();
    start = cpuSeconds();
    for (int i = 0; i < kChunk; ++i) peer();
    peerSeconds += cpuSeconds() - start;
    state.ResumeTiming();
  }
  double calls = static_cast<double>(state.iterations());
  state.counters["lib_us"] = librarySeconds * 1e6 / calls;
  state.counters["bare_us"] = peerSeconds * 1e6 / calls;
  state.counters["ratio"] = librarySeconds / peerSeconds;
}

// ---- 10-element vector on a filtered leaf with one set action ----

void BM_VectorSetValue_ToeSend(benchmark::State &state) {
  Tree &w = tree();
  ProcCall library(w.interp, "libVectorSend", w.vector), peer(plainTcl(), "bareVector", w.vector);
  compare(state, library, peer);
}
BENCHMARK(BM_VectorSetValue_ToeSend)->Unit(benchmark::kMicrosecond);

// The node already current (as after toe_begin): no toe_send around the call.
void BM_VectorSetValue_Current(benchmark::State &state) {
  Tree &w = tree();
  ProcCall library(w.interp, "libSet", w.vector), peer(plainTcl(), "bareVector", w.vector);
  toePushContext(w.interp, w.leaf, w.leaf);
  compare(state, library, peer);
  toePopContext(w.interp);
}
BENCHMARK(BM_VectorSetValue_Current)->Unit(benchmark::kMicrosecond);

void BM_VectorBareTcl(benchmark::State &state) {
  ProcCall peer(plainTcl(), "bareVector", tree().vector);
  for (auto _ : state) peer();
}
BENCHMARK(BM_VectorBareTcl)->Unit(benchmark::kMicrosecond);

// ---- 100-row, 3-column table from one flat list ----

void BM_TableSetValue_ToeSend(benchmark::State &state) {
  Tree &w = tree();
  ProcCall library(w.interp, "libTableSend", w.flat), peer(plainTcl(), "bareTable", w.flat);
  compare(state, library, peer);
}
BENCHMARK(BM_TableSetValue_ToeSend)->Unit(benchmark::kMicrosecond);

void BM_TableSetValue_Current(benchmark::State &state) {
  Tree &w = tree();
  ProcCall library(w.interp, "libSet", w.flat), peer(plainTcl(), "bareTable", w.flat);
  toePushContext(w.interp, w.table, w.table);
  compare(state, library, peer);
  toePopContext(w.interp);
}
BENCHMARK(BM_TableSetValue_Current)->Unit(benchmark::kMicrosecond);

void BM_TableBareTcl(benchmark::State &state) {
  ProcCall peer(plainTcl(), "bareTable", tree().flat);
  for (auto _ : state) peer();
}
BENCHMARK(BM_TableBareTcl)->Unit(benchmark::kMicrosecond);

}  // namespace
