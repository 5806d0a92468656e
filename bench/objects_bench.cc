// What the object layer costs a script: command calls with and without the layer, method calls
// through parents, toe_send, and inherited lookups against Tcl's own dict.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

#include "telvi/package.h"
#include "telvi/toe.h"

namespace {

// One call of an already cached command, as compiled scripts make it.
class Call {
 public:
  Call(Tcl_Interp *interp, std::initializer_list<const char *> words) : interp_(interp) {
    for (const char *word : words) {
      Tcl_Obj *obj = Tcl_NewStringObj(word, -1);
      Tcl_IncrRefCount(obj);
      objv_.push_back(obj);
    }
  }
  ~Call() {
    for (Tcl_Obj *obj : objv_) Tcl_DecrRefCount(obj);
  }
  int operator()() { return Tcl_EvalObjv(interp_, static_cast<int>(objv_.size()), objv_.data(), 0); }
  void set(size_t index, Tcl_Obj *obj) {
    Tcl_IncrRefCount(obj);
    Tcl_DecrRefCount(objv_[index]);
    objv_[index] = obj;
  }

 private:
  Tcl_Interp *interp_;
  std::vector<Tcl_Obj *> objv_;
};

Tcl_Interp *plainInterp() {
  static Tcl_Interp *interp = [] {
    Tcl_Interp *i = Tcl_CreateInterp();
    Tcl_Eval(i, "proc f {} {}");
    return i;
  }();
  return interp;
}

struct Layered {
  Tcl_Interp *interp;
  toe *base, *object, *other;
  std::string objectId;
};

// base <- p1 <- p2 <- object: the method m and the value k live in base.
Layered &layered() {
  static Layered world = [] {
    Layered w{};
    w.interp = Tcl_CreateInterp();
    Telvi_Init(w.interp);
    Tcl_Eval(w.interp, "proc f {} {}");
    w.base = toeCreate(nullptr, 0, nullptr);
    toe *p1 = toeCreate(&w.base, 1, nullptr);
    toe *p2 = toeCreate(&p1, 1, nullptr);
    w.object = toeCreate(&p2, 1, nullptr);
    w.other = toeCreate(&p2, 1, nullptr);
    w.objectId = w.object->id;
    std::string script = std::string("toe_send ") + w.base->id + " {proc m {} {}}";
    Tcl_Eval(w.interp, script.c_str());
    toeDefine(w.base, "value", "k", nullptr, "v");
    Tcl_Eval(w.interp, "set d [dict create a 1 b 2 k v z 26]");
    return w;
  }();
  return world;
}

void BM_GlobalProcWithoutLayer(benchmark::State &state) {
  Call call(plainInterp(), {"f"});
  for (auto _ : state) call();
}
BENCHMARK(BM_GlobalProcWithoutLayer);

void BM_GlobalProcWithLayer(benchmark::State &state) {
  Call call(layered().interp, {"f"});
  for (auto _ : state) call();
}
BENCHMARK(BM_GlobalProcWithLayer);

void BM_MethodThroughThreeParents(benchmark::State &state) {
  Layered &w = layered();
  toePushContext(w.interp, w.object, w.object);
  Call call(w.interp, {"m"});
  for (auto _ : state) call();
  toePopContext(w.interp);
}
BENCHMARK(BM_MethodThroughThreeParents);

// The current object changes between calls: each call resolves the name again.
void BM_MethodAfterContextChange(benchmark::State &state) {
  Layered &w = layered();
  Call call(w.interp, {"m"});
  bool flip = false;
  for (auto _ : state) {
    toe *target = (flip = !flip) ? w.object : w.other;
    toePushContext(w.interp, target, target);
    call();
    toePopContext(w.interp);
  }
}
BENCHMARK(BM_MethodAfterContextChange);

void BM_ToeSend(benchmark::State &state) {
  Layered &w = layered();
  Call call(w.interp, {"toe_send", w.objectId.c_str(), "m"});
  for (auto _ : state) call();
}
BENCHMARK(BM_ToeSend);

// toe_send of a method and a method through three parents against a plain proc call, in
// alternating batches, so that the load of a shared machine weighs on all three alike.
void BM_RatioToeSend(benchmark::State &state) {
  Layered &w = layered();
  Call plain(plainInterp(), {"f"});
  Call send(w.interp, {"toe_send", w.objectId.c_str(), "m"});
  Call method(w.interp, {"m"});
  constexpr int kBatch = 500;
  double plainSeconds = 0, sendSeconds = 0, methodSeconds = 0;
  auto timed = [](auto &&run) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kBatch; ++i) run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  long batches = 0;
  for (auto _ : state) {
    plainSeconds += timed(plain);
    sendSeconds += timed(send);
    toePushContext(w.interp, w.object, w.object);
    methodSeconds += timed(method);
    toePopContext(w.interp);
    ++batches;
  }
  double calls = static_cast<double>(batches) * kBatch;
  state.counters["proc_ns"] = plainSeconds / calls * 1e9;
  state.counters["send_ns"] = sendSeconds / calls * 1e9;
  state.counters["method_ns"] = methodSeconds / calls * 1e9;
  state.counters["send_ratio"] = sendSeconds / plainSeconds;
  state.counters["method_ratio"] = methodSeconds / plainSeconds;
}
BENCHMARK(BM_RatioToeSend);

void BM_LookupThroughThreeParents(benchmark::State &state) {
  Layered &w = layered();
  toePushContext(w.interp, w.object, w.object);
  Call call(w.interp, {"lookup", "value", "k"});
  for (auto _ : state) call();
  toePopContext(w.interp);
}
BENCHMARK(BM_LookupThroughThreeParents);

void BM_TclDictGet(benchmark::State &state) {
  Layered &w = layered();
  Call call(w.interp, {"dict", "get", "", "k"});
  call.set(2, Tcl_GetVar2Ex(w.interp, "d", nullptr, 0));
  for (auto _ : state) call();
}
BENCHMARK(BM_TclDictGet);

void BM_ToeLookupC(benchmark::State &state) {
  Layered &w = layered();
  for (auto _ : state) benchmark::DoNotOptimize(toeLookupString(w.object, 1, "value", "k"));
}
BENCHMARK(BM_ToeLookupC);

void BM_DictObjGetC(benchmark::State &state) {
  Layered &w = layered();
  Tcl_Obj *dict = Tcl_GetVar2Ex(w.interp, "d", nullptr, 0);
  Tcl_Obj *key = Tcl_NewStringObj("k", -1);
  Tcl_IncrRefCount(key);
  for (auto _ : state) {
    Tcl_Obj *value = nullptr;
    Tcl_DictObjGet(nullptr, dict, key, &value);
    benchmark::DoNotOptimize(Tcl_GetString(value));
  }
  Tcl_DecrRefCount(key);
}
BENCHMARK(BM_DictObjGetC);

}  // namespace
