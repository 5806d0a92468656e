// Encoding and decoding an SNMPv2c GetResponse of 10 bindings with the engine's BER codec
// (compare with the net-snmp figures of snmp_netsnmp_bench.cc, built with -DTELVI_BENCH_NETSNMP=ON).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "snmp_message.h"
#include "telvi/snmp.h"

namespace {

using namespace snmpbench;

std::vector<VarBind> bindings() {
  std::vector<VarBind> result(10);
  for (int i = 0; i < 10; ++i) {
    const Binding &b = kBindings[i];
    VarBind &v = result[i];
    memset(&v, 0, sizeof v);
    strtooid(b.oid, nullptr, v.oid);
    switch (b.kind) {
      case kInteger: v.value.tag = ASN1_INTEGER, v.value.u.integer = static_cast<int32_t>(b.number); break;
      case kString:
        v.value.tag = ASN1_OCTET_STRING;
        v.value.u.octets = {reinterpret_cast<unsigned char *>(const_cast<char *>(b.text)),
                            static_cast<uint32_t>(strlen(b.text))};
        break;
      case kOid: v.value.tag = ASN1_OBJECT_ID, strtooid(b.text, nullptr, v.value.u.oid); break;
      case kCounter: v.value.tag = ASN1_COUNTER32, v.value.u.unsigned32 = static_cast<uint32_t>(b.number); break;
      case kTicks: v.value.tag = ASN1_TIMETICKS, v.value.u.unsigned32 = static_cast<uint32_t>(b.number); break;
      case kGauge: v.value.tag = ASN1_UNSIGNED32, v.value.u.unsigned32 = static_cast<uint32_t>(b.number); break;
      case kAddress: v.value.tag = ASN1_IPADDRESS, v.value.u.unsigned32 = static_cast<uint32_t>(b.number); break;
      case kCounter64:
        v.value.tag = ASN1_COUNTER64;
        v.value.u.counter64 = {static_cast<uint32_t>(static_cast<uint64_t>(b.number) >> 32),
                               static_cast<uint32_t>(b.number)};
        break;
    }
  }
  return result;
}

// The whole message: SEQUENCE, version, community, then the PDU with open lengths patched once
// its bindings are written, the way the engine's answers are built.
uint32_t encodeMessage(unsigned char *buffer, uint32_t capacity, const std::vector<VarBind> &list) {
  Asn1Cursor c;
  initAsn1Cursor(&c, buffer, capacity);
  unsigned char *message = encodeAsn1Struct(&c, ASN1_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  encodeAsn1Int32(&c, ASN1_INTEGER, SNMP_VERSION_2C);
  encodeAsn1Octets(&c, ASN1_OCTET_STRING, kCommunity, 6);
  PduHeader header = {SNMP_PDU_RESPONSE, kRequestId, 0, 0};
  unsigned char *pdu = encodePduHeader(&c, &header, ASN1_OPEN_LENGTH);
  unsigned char *bindingList = encodeAsn1Struct(&c, ASN1_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  for (const VarBind &b : list) encodeVarBind(&c, &b);
  updateAsn1Header(&c, bindingList);
  updateAsn1Header(&c, pdu);
  updateAsn1Header(&c, message);
  return c.error ? 0 : static_cast<uint32_t>(c.cur - buffer);
}

// Parses version, community, PDU header and every binding into records.
int decodeMessage(unsigned char *data, uint32_t length, PduHeader &header, VarBind *out, int max) {
  Asn1Cursor c;
  initAsn1Cursor(&c, data, length);
  decodeAsn1Struct(&c, ASN1_SEQUENCE, nullptr);
  decodeAsn1Int32(&c, ASN1_INTEGER);
  decodeAsn1Octets(&c, ASN1_OCTET_STRING);
  decodePduHeader(&c, &header, 1);
  unsigned char *saved;
  decodeAsn1Struct(&c, ASN1_SEQUENCE, &saved);
  int n = 0;
  while (c.error == 0 && c.cur < c.end && n < max) decodeVarBind(&c, &out[n++]);
  frameAsn1Struct(&c, saved);
  return c.error ? -1 : n;
}

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
  for (VarBind &b : asked) b.value.tag = ASN1_NULL;
  unsigned char request[1500], datagram[1500], answer[1500], area[1500];
  uint32_t requestSize = encodeMessage(request, sizeof request, asked);
  request[requestSize - 1] = request[requestSize - 1];
  // Turn the Response tag of the encoded request into a GetRequest.
  for (uint32_t i = 0; i + 1 < requestSize; ++i)
    if (request[i] == SNMP_PDU_RESPONSE) { request[i] = SNMP_PDU_GET; break; }
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
    decodeAsn1Struct(&c, ASN1_SEQUENCE, &saved);
    for (int i = 0; i < 10; ++i) decodeVarBind(&c, &decoded[i]);
    frameAsn1Struct(&c, saved);
    Asn1Cursor a;
    initAsn1Cursor(&a, area, sizeof area);
    header.type = SNMP_PDU_RESPONSE;
    unsigned char *p = encodePduHeader(&a, &header, ASN1_OPEN_LENGTH);
    unsigned char *l = encodeAsn1Struct(&a, ASN1_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
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
