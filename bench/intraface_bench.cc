// Costs of the message layers: the "sin" encoding against OpenSSL's base64 (another printable
// encoding of bytes), and one message through an intraface (tid codec, eot transport) against the
// raw write and read of the same bytes over the same socket pair.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <tcl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "io/intraface_classes.h"
#include "telvi/intraface.h"
#include "telvi/package.h"

namespace {

std::string payload(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + 7) & 0xFF);
  return bytes;
}

void BM_SinEncode(benchmark::State &state) {
  std::string in = payload(static_cast<size_t>(state.range(0))), out;
  for (auto _ : state) {
    telvi::io::sinEncode(reinterpret_cast<const unsigned char *>(in.data()), in.size(), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SinEncode)->Arg(4096)->Arg(1 << 20);

void BM_SinDecode(benchmark::State &state) {
  std::string in = payload(static_cast<size_t>(state.range(0))), text, out;
  telvi::io::sinEncode(reinterpret_cast<const unsigned char *>(in.data()), in.size(), text);
  for (auto _ : state) {
    telvi::io::sinDecode(text.data(), text.size(), out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_SinDecode)->Arg(4096)->Arg(1 << 20);

// The peer: base64 of the same bytes.
void BM_Base64Encode(benchmark::State &state) {
  std::string in = payload(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> out(in.size() * 2 + 4);
  for (auto _ : state)
    benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char *>(in.data()),
                                             static_cast<int>(in.size())));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Encode)->Arg(4096)->Arg(1 << 20);

void BM_Base64Decode(benchmark::State &state) {
  std::string in = payload(static_cast<size_t>(state.range(0)));
  std::vector<unsigned char> text(in.size() * 2 + 4), out(in.size() + 4);
  int length = EVP_EncodeBlock(text.data(), reinterpret_cast<const unsigned char *>(in.data()),
                               static_cast<int>(in.size()));
  for (auto _ : state) benchmark::DoNotOptimize(EVP_DecodeBlock(out.data(), text.data(), length));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Base64Decode)->Arg(4096)->Arg(1 << 20);

struct Pair {
  int ends[2];
  Pair() {
    socketpair(AF_UNIX, SOCK_STREAM, 0, ends);
    fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);  // reads never wait
  }
  ~Pair() { close(ends[0]), close(ends[1]); }
};

// One 200-byte message out and back in through the layers.
void BM_IntrafaceMessage(benchmark::State &state) {
  Tcl_FindExecutable(nullptr);
  static Tcl_Interp *interp = Tcl_CreateInterp();
  Intraface_InitInternal(interp);
  Pair pair;
  std::string base = "tid:null:eot:desc:";
  int out = intrafaceOpen((base + std::to_string(pair.ends[0])).c_str());
  int in = intrafaceOpen((base + std::to_string(pair.ends[1])).c_str());
  std::string contents(200, 'c');
  char *fields[] = {const_cast<char *>("status"), const_cast<char *>("42"), contents.data()};
  for (auto _ : state) {
    intrafaceWrite(out, 3, fields, nullptr, nullptr);
    int count;
    char **got;
    intrafaceRead(in, &count, &got, nullptr);
    intrafaceFreeBufferList(count, got, nullptr);
  }
  intrafaceClose(out);
  intrafaceClose(in);
}
BENCHMARK(BM_IntrafaceMessage);

std::string tidFrame(size_t size) { return "TYPE=status ID=42 CONTENTS=" + std::string(size, 'c'); }

// Splitting a "tid" frame into its fields, against Tcl's regular expression engine on the pattern
// that defines the codec.
void BM_TidExtract(benchmark::State &state) {
  std::string frame = tidFrame(static_cast<size_t>(state.range(0)));
  const intrafaceClass *tid = intrafaceFindClass("tid");
  if (tid == nullptr) {
    telvi::io::registerIntrafaceClasses();
    tid = intrafaceFindClass("tid");
  }
  for (auto _ : state) {
    int count;
    char **fields;
    size_t *lengths;
    tid->extract(frame.data(), frame.size(), &count, &fields, &lengths);
    intrafaceFreeBufferList(count, fields, lengths);
  }
}
BENCHMARK(BM_TidExtract)->Arg(200)->Arg(2000);

void BM_TidTclRegexp(benchmark::State &state) {
  Tcl_FindExecutable(nullptr);
  std::string frame = tidFrame(static_cast<size_t>(state.range(0)));
  Tcl_Obj *pattern = Tcl_NewStringObj("TYPE=([a-zA-Z0-9_-]+) ID=(.*) CONTENTS=(.*)$", -1);
  Tcl_IncrRefCount(pattern);
  Tcl_RegExp re = Tcl_GetRegExpFromObj(nullptr, pattern, TCL_REG_ADVANCED);
  for (auto _ : state) {
    Tcl_Obj *text = Tcl_NewByteArrayObj(reinterpret_cast<const unsigned char *>(frame.data()),
                                        static_cast<int>(frame.size()));
    Tcl_IncrRefCount(text);
    benchmark::DoNotOptimize(Tcl_RegExpExecObj(nullptr, re, text, 0, 4, 0));
    Tcl_DecrRefCount(text);
  }
  Tcl_DecrRefCount(pattern);
}
BENCHMARK(BM_TidTclRegexp)->Arg(200)->Arg(2000);

// The peer: the same frame's bytes written and read raw.
void BM_RawMessage(benchmark::State &state) {
  Pair pair;
  std::string frame = "TYPE=status ID=42 CONTENTS=" + std::string(200, 'c') + "\x04";
  char buffer[4096];
  for (auto _ : state) {
    benchmark::DoNotOptimize(write(pair.ends[0], frame.data(), frame.size()));
    benchmark::DoNotOptimize(read(pair.ends[1], buffer, sizeof buffer));
  }
}
BENCHMARK(BM_RawMessage);

}  // namespace
