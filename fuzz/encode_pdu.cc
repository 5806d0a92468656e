// libFuzzer target: encodePdu against the steps it stands for (encodePduHeader with an open length,
// an open binding list, encodeVarBind per binding until one does not fit, both lengths patched).
// The input chooses the room (from none to 70 000 octets) and the bindings: names of any arcs and
// lengths, values of every tag the codec writes or refuses, strings up to 600 octets.
//   - Both write the same bytes, keep the same bindings, leave the same cursor and error.
//   - Nothing is written past the room.
//   - What was written decodes to the bindings that were given.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "../tests/unit/snmp/pdu_steps.h"
#include "telvi/snmp.h"

namespace {

// Reads the input front to back; past its end every read gives 0.
struct Input {
  const uint8_t *data;
  size_t size;
  uint32_t byte() { return size > 0 ? (--size, *data++) : 0; }
  uint32_t word(int octets) {
    uint32_t w = 0;
    for (int i = 0; i < octets; ++i) w = w << 8 | byte();
    return w;
  }
  // Mostly small arcs, now and then one of two to five octets. The decoder takes an arc of
  // 0xFFFFFFFF for its error value and refuses it, so names never hold one.
  uint32_t arc() {
    uint32_t kind = byte();
    if (kind < 200) return kind & 0x7F;
    uint32_t w = word(1 + static_cast<int>(kind % 4));
    return w == 0xFFFFFFFFu ? w - 1 : w;
  }
  void oid(uint32_t *o) {
    uint32_t n = byte();
    n = n < 240 ? 1 + n % 18 : 1 + n % ASN1_MAX_ARCS;
    o[0] = n;
    o[1] = byte() % 4;  // 3 is not a first arc: refused
    o[2] = o[1] == 2 ? arc() : byte() % 40;  // 0.40 and up would read back as 1.0 and up
    for (uint32_t i = 3; i <= n; ++i) o[i] = arc();
    for (uint32_t i = n + 1; i <= ASN1_MAX_ARCS && i < n + 8; ++i) o[i] = 0xFFFFFFFFu;
  }
};

const int kTags[] = {ASN1_TAG_INTEGER,     ASN1_TAG_OCTET_STRING,   ASN1_TAG_NULL,        ASN1_TAG_OBJECT_ID,
                     ASN1_TAG_IPADDRESS,   ASN1_TAG_COUNTER32,      ASN1_TAG_UNSIGNED32,  ASN1_TAG_TIMETICKS,
                     ASN1_TAG_COUNTER64,   ASN1_TAG_NOSUCHOBJECT,   ASN1_TAG_NOSUCHINSTANCE, ASN1_TAG_ENDOFMIBVIEW,
                     0x30,                 0x47};

unsigned char text[600];

void binding(Input &in, VarBind &b) {
  std::memset(&b, 0, sizeof b);
  in.oid(b.oid);
  Asn1Value &v = b.value;
  v.tag = kTags[in.byte() % (sizeof kTags / sizeof kTags[0])];
  switch (v.tag) {
    case ASN1_TAG_OCTET_STRING:
    case 0x30: {
      uint32_t n = in.word(2) % sizeof text;
      v.u.octets = {n % 17 == 16 ? nullptr : text, n};
      break;
    }
    case ASN1_TAG_OBJECT_ID:
      in.oid(v.u.oid);
      break;
    case ASN1_TAG_COUNTER64:
      v.u.counter64 = {in.word(4), in.word(4)};
      break;
    default:
      v.u.unsigned32 = in.word(4);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    for (uint32_t i = 0; i < sizeof text; ++i) text[i] = static_cast<unsigned char>(i * 7 + 1);
    return true;
  }();
  (void)ready;
  Input in{data, size};
  uint32_t room = in.word(2);
  if (room & 0x8000) room = (room & 0x7FFF) * 2 + 4000;  // up to about 70 000
  PduHeader h = {SNMP_PDU_RESPONSE, static_cast<int32_t>(in.word(4)), static_cast<int32_t>(in.byte() % 20),
                 static_cast<int32_t>(in.word(2))};
  std::vector<VarBind> list;
  while (in.size > 0 && list.size() < 200) {
    list.emplace_back();
    binding(in, list.back());
  }
  uint32_t count = static_cast<uint32_t>(list.size());

  std::vector<unsigned char> expected(room + 64, 0xEE), actual(room + 64, 0xEE);
  Asn1Cursor e, a;
  initAsn1Cursor(&e, expected.data(), room);
  initAsn1Cursor(&a, actual.data(), room);
  uint32_t fitted = 0;
  unsigned char *top = encodePduBySteps(&e, &h, list.data(), count, &fitted);
  uint32_t taken = 0;
  unsigned char *pdu = encodePdu(&a, &h, list.data(), count, sizeof(VarBind), &taken);
  if ((pdu == nullptr) != (top == nullptr) || a.error != e.error || a.cur - actual.data() != e.cur - expected.data())
    abort();
  for (size_t i = room; i < actual.size(); ++i)
    if (actual[i] != 0xEE) abort();
  if (top == nullptr) return 0;
  if (taken != fitted || a.header - actual.data() != e.header - expected.data() || a.length != e.length ||
      a.tag != e.tag || std::memcmp(actual.data(), expected.data(), static_cast<size_t>(a.cur - actual.data())) != 0)
    abort();

  // What went in reads back as what was given (0x30 "values" are not SNMP values: not compared).
  Asn1Cursor d;
  initAsn1Cursor(&d, actual.data(), static_cast<uint32_t>(a.cur - actual.data()));
  PduHeader back;
  if (decodePduHeader(&d, &back, 1) != SNMP_PDU_RESPONSE || back.request_id != h.request_id) abort();
  if (decodeAsn1Struct(&d, ASN1_TAG_SEQUENCE, nullptr) != ASN1_TAG_SEQUENCE) abort();
  for (uint32_t i = 0; i < taken && list[i].value.tag != 0x30; ++i) {
    VarBind got;
    const VarBind &given = list[i];
    if (decodeVarBind(&d, &got) == nullptr || !sameBinding(got, given, text)) {
      char a[1400], b[1400];
      oidtostr(given.oid, a, sizeof a);
      oidtostr(got.oid, b, sizeof b);
      std::fprintf(stderr, "binding %u: given %s tag %d, read %s tag %d (error %d)\n", i, a, given.value.tag, b,
                   got.value.tag, d.error);
      abort();
    }
  }
  return 0;
}
