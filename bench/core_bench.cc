// Costs of the calls every package makes on its hot paths: identifier look-ups and text conversions.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "telvi/datatype.h"
#include "telvi/id.h"

namespace {

// Looking an object up by its identifier, in a registry holding 10 000 of them.
void BM_IdLookup(benchmark::State &state) {
  static std::vector<std::string> ids;
  if (ids.empty())
    for (int i = 0; i < 10000; ++i) ids.emplace_back(idCreate("benchobj", &ids));
  size_t i = 0;
  for (auto _ : state) {
    void *pointer;
    benchmark::DoNotOptimize(idLookup("benchobj", ids[i++ % ids.size()].c_str(), &pointer));
  }
}
BENCHMARK(BM_IdLookup);

void BM_IdCreateDestroy(benchmark::State &state) {
  for (auto _ : state) idDestroy(idCreate("benchtmp", nullptr));
}
BENCHMARK(BM_IdCreateDestroy);

// A value read as text and written back, as a dictionary value does on every typed access.
void BM_TypeRoundTrip(benchmark::State &state, const char *type, const char *text) {
  dataType *t = dataGetType(type);
  std::vector<char> binary(t->size + 8, 0);
  char buffer[256];
  for (auto _ : state) {
    t->fromString(binary.data(), text);
    char *out = buffer;
    t->toString(binary.data(), &out);
    benchmark::DoNotOptimize(out);
  }
  if (t->destroy) t->destroy(binary.data());
}
BENCHMARK_CAPTURE(BM_TypeRoundTrip, int, "int", " 0x1F ");
BENCHMARK_CAPTURE(BM_TypeRoundTrip, ulong, "ulong", "4000000000");
BENCHMARK_CAPTURE(BM_TypeRoundTrip, double, "double", "3.14159");
BENCHMARK_CAPTURE(BM_TypeRoundTrip, StringList, "StringList", "\"a b\", c, d, eee, ffff");
BENCHMARK_CAPTURE(BM_TypeRoundTrip, octet, "octet", "0a:ff:10:20:30:40");

}  // namespace
