// net-snmp's library on the same message as snmp_bench.cc: snmp_build to encode, snmp_parse
// (with the PDU it fills) to decode. Built only with -DTELVI_BENCH_NETSNMP=ON (libsnmp-dev).
#include <benchmark/benchmark.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "snmp_codec.h"

namespace {

using namespace snmpbench;

void parseOid(const char *text, oid *arcs, size_t *length) {
  *length = 0;
  for (const char *p = text; *p;) {
    arcs[(*length)++] = strtoul(p, const_cast<char **>(&p), 10);
    if (*p == '.') ++p;
  }
}

netsnmp_session *session() {
  static netsnmp_session s;
  static bool ready = false;
  if (!ready) {
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    // No MIB files: only the codec is measured.
    setenv("MIBS", "", 1);
    init_snmp("telvi-bench");
    snmp_sess_init(&s);
    s.version = SNMP_VERSION_2c;
    s.community = reinterpret_cast<u_char *>(const_cast<char *>(kCommunity));
    s.community_len = strlen(kCommunity);
    ready = true;
  }
  return &s;
}

netsnmp_pdu *response() {
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_RESPONSE);
  pdu->version = SNMP_VERSION_2c;
  pdu->reqid = kRequestId;
  pdu->community = static_cast<u_char *>(malloc(strlen(kCommunity)));
  memcpy(pdu->community, kCommunity, strlen(kCommunity));
  pdu->community_len = strlen(kCommunity);
  for (const Binding &b : kBindings) {
    oid name[MAX_OID_LEN], value[MAX_OID_LEN];
    size_t nameLength, valueLength;
    parseOid(b.oid, name, &nameLength);
    long integer = static_cast<long>(b.number);
    struct counter64 c64 = {static_cast<u_long>(static_cast<uint64_t>(b.number) >> 32),
                            static_cast<u_long>(static_cast<uint32_t>(b.number))};
    in_addr_t address = htonl(static_cast<uint32_t>(b.number));
    switch (b.kind) {
      case kInteger:
        snmp_pdu_add_variable(pdu, name, nameLength, ASN_INTEGER, &integer, sizeof integer);
        break;
      case kString:
        snmp_pdu_add_variable(pdu, name, nameLength, ASN_OCTET_STR, b.text, strlen(b.text));
        break;
      case kOid:
        parseOid(b.text, value, &valueLength);
        snmp_pdu_add_variable(pdu, name, nameLength, ASN_OBJECT_ID, value, valueLength * sizeof(oid));
        break;
      case kCounter:
        snmp_pdu_add_variable(pdu, name, nameLength, ASN_COUNTER, &integer, sizeof integer);
        break;
      case kTicks:
        snmp_pdu_add_variable(pdu, name, nameLength, ASN_TIMETICKS, &integer, sizeof integer);
        break;
      case kGauge:
        snmp_pdu_add_variable(pdu, name, nameLength, ASN_GAUGE, &integer, sizeof integer);
        break;
      case kAddress:
        snmp_pdu_add_variable(pdu, name, nameLength, ASN_IPADDRESS, &address, 4);
        break;
      case kCounter64:
        snmp_pdu_add_variable(pdu, name, nameLength, ASN_COUNTER64, &c64, sizeof c64);
        break;
    }
  }
  return pdu;
}

size_t build(netsnmp_pdu *pdu, u_char **buffer, size_t *capacity) {
  size_t length = *capacity, offset = 0;
  if (snmp_build(buffer, &length, &offset, session(), pdu) != 0) return 0;
  // With reverse encoding the message ends at the end of the buffer.
  return offset ? offset : *capacity - length;
}

void BM_NetSnmpEncodeGetResponse10(benchmark::State &state) {
  netsnmp_pdu *pdu = response();
  size_t capacity = 1500;
  u_char *buffer = static_cast<u_char *>(malloc(capacity));
  size_t size = 0;
  for (auto _ : state) {
    size = build(pdu, &buffer, &capacity);
    benchmark::DoNotOptimize(buffer);
  }
  if (size == 0) state.SkipWithError("snmp_build failed");
  state.counters["bytes"] = static_cast<double>(size);
  free(buffer);
  snmp_free_pdu(pdu);
}
BENCHMARK(BM_NetSnmpEncodeGetResponse10);

void BM_NetSnmpDecodeGetResponse10(benchmark::State &state) {
  netsnmp_pdu *pdu = response();
  size_t capacity = 1500;
  u_char *buffer = static_cast<u_char *>(malloc(capacity));
  size_t size = build(pdu, &buffer, &capacity);
  snmp_free_pdu(pdu);
  // snmp_build writes from the end of the buffer when it encodes in reverse.
  u_char *start = buffer;
  size_t length = size;
  if (buffer[0] != 0x30) start = buffer + capacity - size;
  int count = 0;
  for (auto _ : state) {
    netsnmp_pdu *parsed = snmp_pdu_create(0);
    int rc = snmp_parse(nullptr, session(), parsed, start, length);
    count = 0;
    for (netsnmp_variable_list *v = parsed->variables; v; v = v->next_variable) ++count;
    benchmark::DoNotOptimize(rc);
    snmp_free_pdu(parsed);
  }
  if (count != 10) state.SkipWithError("snmp_parse failed");
  state.counters["bytes"] = static_cast<double>(size);
  free(buffer);
}
BENCHMARK(BM_NetSnmpDecodeGetResponse10);

// Both libraries in alternating batches inside one benchmark, so that the load of a shared
// machine weighs on both alike; the counters are ns per message and the ratios net-snmp / telvi.
void BM_RatioGetResponse10(benchmark::State &state) {
  using clock = std::chrono::steady_clock;
  std::vector<VarBind> list = bindings();
  std::vector<VarBind> out(10);
  unsigned char ours[1500];
  uint32_t oursSize = encodeMessage(ours, sizeof ours, list);
  netsnmp_pdu *pdu = response();
  size_t capacity = 1500;
  u_char *theirs = static_cast<u_char *>(malloc(capacity));
  size_t theirsSize = build(pdu, &theirs, &capacity);
  u_char *start = theirs[0] == 0x30 ? theirs : theirs + capacity - theirsSize;
  std::vector<u_char> message(start, start + theirsSize);
  double encodeTelvi = 0, encodeNet = 0, decodeTelvi = 0, decodeNet = 0;
  constexpr int batch = 200;
  auto seconds = [](clock::time_point a, clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
  };
  for (auto _ : state) {
    auto t0 = clock::now();
    for (int i = 0; i < batch; ++i) benchmark::DoNotOptimize(encodeMessage(ours, sizeof ours, list));
    auto t1 = clock::now();
    for (int i = 0; i < batch; ++i) benchmark::DoNotOptimize(build(pdu, &theirs, &capacity));
    auto t2 = clock::now();
    PduHeader header;
    for (int i = 0; i < batch; ++i)
      benchmark::DoNotOptimize(decodeMessage(ours, oursSize, header, out.data(), 10));
    auto t3 = clock::now();
    for (int i = 0; i < batch; ++i) {
      netsnmp_pdu *parsed = snmp_pdu_create(0);
      benchmark::DoNotOptimize(snmp_parse(nullptr, session(), parsed, message.data(), message.size()));
      snmp_free_pdu(parsed);
    }
    auto t4 = clock::now();
    encodeTelvi += seconds(t0, t1);
    encodeNet += seconds(t1, t2);
    decodeTelvi += seconds(t2, t3);
    decodeNet += seconds(t3, t4);
  }
  double messages = static_cast<double>(state.iterations()) * batch;
  state.counters["telvi_enc_ns"] = encodeTelvi / messages * 1e9;
  state.counters["netsnmp_enc_ns"] = encodeNet / messages * 1e9;
  state.counters["telvi_dec_ns"] = decodeTelvi / messages * 1e9;
  state.counters["netsnmp_dec_ns"] = decodeNet / messages * 1e9;
  state.counters["enc_ratio"] = encodeNet / encodeTelvi;
  state.counters["dec_ratio"] = decodeNet / decodeTelvi;
  free(theirs);
  snmp_free_pdu(pdu);
}
BENCHMARK(BM_RatioGetResponse10);

}  // namespace
