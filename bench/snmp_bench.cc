// Encoding and decoding an SNMPv2c GetResponse of 10 bindings with the engine's BER codec
// (compare with the net-snmp figures of snmp_netsnmp_bench.cc, built with -DTELVI_BENCH_NETSNMP=ON).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "snmp_codec.h"

namespace {

using namespace snmpbench;

void BM_TelviEncodeGetResponse10(benchmark::State &state) {
  std::vector<VarBind> list = bindings();
  unsigned char buffer[1500];
  uint32_t size = 0;
  for (auto _ : state) {
    size = encodeMessage(buffer, sizeof buffer, list);
    benchmark::DoNotOptimize(buffer);
  }
  state.counters["bytes"] = size;
}
BENCHMARK(BM_TelviEncodeGetResponse10);

void BM_TelviDecodeGetResponse10(benchmark::State &state) {
  std::vector<VarBind> list = bindings();
  unsigned char buffer[1500];
  uint32_t size = encodeMessage(buffer, sizeof buffer, list);
  std::vector<VarBind> out(10);
  PduHeader header;
  int n = 0;
  for (auto _ : state) {
    n = decodeMessage(buffer, size, header, out.data(), 10);
    benchmark::DoNotOptimize(out.data());
  }
  if (n != 10) state.SkipWithError("decode failed");
  state.counters["bytes"] = size;
}
BENCHMARK(BM_TelviDecodeGetResponse10);

// The whole engine path of one request: decode a GetRequest of 10 bindings through message
// processing and the community model, answer it, and encode the message.
void BM_TelviEngineGetRoundTrip10(benchmark::State &state) {
  initializeSnmp();
  const unsigned char id[12] = {0x80, 0, 0x1F, 0x88, 0x80, 1, 2, 3, 4, 5, 6, 7};
  AdminString engineId, community;
  setAdminString(&engineId, id, 12, 32);
  configureSnmpEngine(&engineId, 0, 65507);
  setAdminString(&community, kCommunity, 6, 255);
  addSnmpUser(&_snmp.snmpEngineID, &community)->rowStatus = 1;
  std::vector<VarBind> list = bindings();
  std::vector<VarBind> asked = list;
  for (VarBind &b : asked) b.value.tag = ASN1_TAG_NULL;
  unsigned char request[1500], datagram[1500], answer[1500], area[1500];
  uint32_t requestSize = encodeMessage(request, sizeof request, asked);
  request[requestSize - 1] = request[requestSize - 1];
  // Turn the Response tag of the encoded request into a GetRequest.
  for (uint32_t i = 0; i + 1 < requestSize; ++i)
    if (request[i] == SNMP_PDU_RESPONSE) {
      request[i] = SNMP_PDU_GET;
      break;
    }
  Netbuf in, out;
  memset(&in, 0, sizeof in);
  memset(&out, 0, sizeof out);
  memcpy(in.info.domain, snmpUDPDomain, 8 * sizeof(uint32_t));
  setSnmpTInfoHost(&in.info, 0x7F000001);
  setSnmpTInfoPort(&in.info, 40000);
  std::vector<VarBind> decoded(10);
  for (auto _ : state) {
    memcpy(datagram, request, requestSize);
    in.data = datagram;
    in.length = requestSize;
    in.capacity = sizeof datagram;
    PduData pdu;
    int32_t app;
    VarBind report;
    void *ref;
    if (decodeSnmpMsg(&pdu, &app, &report, &ref, &in) != SNMP_PDU_GET) {
      state.SkipWithError(_snmp.trace);
      break;
    }
    Asn1Cursor c;
    initAsn1Cursor(&c, pdu.data, pdu.length);
    PduHeader header;
    decodePduHeader(&c, &header, 1);
    unsigned char *saved;
    decodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, &saved);
    for (int i = 0; i < 10; ++i) decodeVarBind(&c, &decoded[i]);
    frameAsn1Struct(&c, saved);
    Asn1Cursor a;
    initAsn1Cursor(&a, area, sizeof area);
    header.type = SNMP_PDU_RESPONSE;
    unsigned char *p = encodePduHeader(&a, &header, ASN1_OPEN_LENGTH);
    unsigned char *l = encodeAsn1Struct(&a, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
    for (const VarBind &b : list) encodeVarBind(&a, &b);
    updateAsn1Header(&a, l);
    updateAsn1Header(&a, p);
    pdu.data = area;
    pdu.length = static_cast<uint32_t>(a.cur - area);
    out.data = answer;
    out.capacity = sizeof answer;
    if (encodeSnmpMsg(&pdu, -1, nullptr, ref, &out) < 0) {
      state.SkipWithError(_snmp.trace);
      break;
    }
    benchmark::DoNotOptimize(answer);
  }
  initializeSnmp();
}
BENCHMARK(BM_TelviEngineGetRoundTrip10);

}  // namespace

// ---- the user-based model's MD5 work ----
// Password to key digests 1 MiB of the repeated password; its yardstick is OpenSSL's MD5 over
// 1 MiB of data in one call, measured in the same run.

#include <openssl/evp.h>

namespace {

void BM_OpenSslMd5Of1MiB(benchmark::State &state) {
  std::vector<unsigned char> data(0x100000, 'm');
  unsigned char digest[16];
  for (auto _ : state) {
    EVP_Digest(data.data(), data.size(), digest, nullptr, EVP_md5(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 0x100000);
}
BENCHMARK(BM_OpenSslMd5Of1MiB);

void BM_PasswordToKey(benchmark::State &state) {
  AdminString key;
  for (auto _ : state) {
    snmpv3keysmd5.createKey(&key, "maplesyrup");
    benchmark::DoNotOptimize(key.octets);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 0x100000);
}
BENCHMARK(BM_PasswordToKey);

void BM_HmacMd5_96Of128Bytes(benchmark::State &state) {
  unsigned char message[128];
  memset(message, 0x5a, sizeof message);
  Netbuf buf = {};
  buf.data = message;
  buf.length = buf.capacity = sizeof message;
  AdminString key;
  snmpv3keysmd5.createKey(&key, "maplesyrup");
  for (auto _ : state) {
    snmpv3hmacmd5.authenticateOutgoingMsg(&key, 12, message + 40, &buf);
    benchmark::DoNotOptimize(message);
  }
}
BENCHMARK(BM_HmacMd5_96Of128Bytes);

}  // namespace
