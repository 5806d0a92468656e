// The codec's usual shapes and the edges around them: open lengths where the length field changes
// width, integers and OIDs of every octet count inside bindings, bindings written at every room
// (nothing past the limit), messages cut anywhere read from buffers of their exact size, and
// whole PDUs written in one call against the open-length steps they stand for.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "telvi/snmp.h"
#include "pdu_steps.h"

namespace {

using Bytes = std::vector<unsigned char>;

void setOid(uint32_t *oid, std::initializer_list<uint32_t> arcs) {
  oid[0] = 0;
  for (uint32_t a : arcs) oid[++oid[0]] = a;
}

Bytes written(const unsigned char *buffer, const Asn1Cursor &c) {
  return Bytes(buffer, static_cast<const unsigned char *>(c.cur));
}

TEST(BerShapes, OpenLengthAtEveryWidthChange) {
  struct Case {
    uint32_t room;
    Bytes header;
    uint32_t length;
  };
  // 130 octets: 128 would need a third header octet, so the answer is 127 in the short form.
  for (const Case &t : std::vector<Case>{{2, {0x30, 0x00}, 0},
                                          {129, {0x30, 0x7F}, 127},
                                          {130, {0x30, 0x7F}, 127},
                                          {131, {0x30, 0x81, 0x80}, 128},
                                          {258, {0x30, 0x81, 0xFF}, 255},
                                          {259, {0x30, 0x81, 0xFF}, 255},
                                          {260, {0x30, 0x82, 0x01, 0x00}, 256},
                                          {1500, {0x30, 0x82, 0x05, 0xD8}, 1496}}) {
    std::vector<unsigned char> buffer(t.room);
    Asn1Cursor c;
    initAsn1Cursor(&c, buffer.data(), t.room);
    unsigned char *saved = nullptr;
    ASSERT_EQ(encodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, &saved), buffer.data()) << t.room;
    EXPECT_EQ(written(buffer.data(), c), t.header) << t.room;
    EXPECT_EQ(c.length, t.length) << t.room;
    EXPECT_EQ(c.end, c.cur + t.length) << t.room;
    EXPECT_EQ(saved, buffer.data() + t.room) << t.room;
    EXPECT_EQ(sizeofAsn1Data(t.room), t.length) << t.room;

    // A PDU header with an open length takes the same length field.
    Asn1Cursor p;
    initAsn1Cursor(&p, buffer.data(), t.room);
    PduHeader h = {SNMP_PDU_RESPONSE, 1, 0, 0};
    unsigned char *pdu = encodePduHeader(&p, &h, ASN1_OPEN_LENGTH);
    if (t.length < 9) {
      EXPECT_EQ(pdu, nullptr) << t.room;
      continue;
    }
    ASSERT_EQ(pdu, buffer.data()) << t.room;
    Bytes expected = t.header;
    expected[0] = SNMP_PDU_RESPONSE;
    for (unsigned char b : {0x02, 0x01, 0x01, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00}) expected.push_back(b);
    EXPECT_EQ(written(buffer.data(), p), expected) << t.room;
    EXPECT_EQ(p.header, p.cur - 3);
    EXPECT_EQ(p.tag, ASN1_TAG_INTEGER);
    EXPECT_EQ(p.length, 1u);
  }
}

TEST(BerShapes, PatchedLengthsNarrowKeepOrWiden) {
  for (uint32_t contents : {0u, 1u, 127u, 128u, 255u, 256u, 600u}) {
    std::vector<unsigned char> buffer(1500, 0xEE), block(contents, 0x5A);
    Asn1Cursor c;
    initAsn1Cursor(&c, buffer.data(), 1500);
    unsigned char *header = encodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
    if (contents) appendAsn1(&c, block.data(), contents);
    ASSERT_EQ(updateAsn1Header(&c, header), header);
    uint32_t width = contents < 128 ? 1 : contents < 256 ? 2 : 3;
    EXPECT_EQ(c.cur - buffer.data(), 1 + width + contents) << contents;
    EXPECT_EQ(c.length, contents);
    EXPECT_EQ(c.tag, ASN1_TAG_SEQUENCE);
    Asn1Cursor r;
    initAsn1Cursor(&r, buffer.data(), static_cast<uint32_t>(c.cur - buffer.data()));
    ASSERT_EQ(decodeAsn1Struct(&r, ASN1_TAG_SEQUENCE, nullptr), ASN1_TAG_SEQUENCE) << contents;
    EXPECT_EQ(r.length, contents);
    EXPECT_EQ(Bytes(r.cur, r.cur + contents), block);
  }
}

// A binding of name 1.3.6.1.2.1.1.3.0 and the given value octets, decoded.
int decodeBinding(const Bytes &value, VarBind &b, Asn1Cursor &c, Bytes &message) {
  message = {0x30, static_cast<unsigned char>(10 + value.size()), 0x06, 0x08, 0x2B, 6, 1, 2, 1, 1, 3, 0};
  for (unsigned char octet : value) message.push_back(octet);
  initAsn1Cursor(&c, message.data(), static_cast<uint32_t>(message.size()));
  return decodeVarBind(&c, &b) == nullptr ? -1 : 0;
}

TEST(BerShapes, IntegersOfEveryLengthInABinding) {
  struct Case {
    Bytes value;
    int32_t expected;
    int error;
  };
  for (const Case &t : std::vector<Case>{{{0x02, 0x01, 0x7F}, 127, 0},
                                          {{0x02, 0x01, 0x80}, -128, 0},
                                          {{0x02, 0x02, 0xFF, 0x7F}, -129, 0},
                                          {{0x02, 0x03, 0x01, 0x00, 0x00}, 65536, 0},
                                          {{0x02, 0x04, 0x80, 0x00, 0x00, 0x00}, INT32_MIN, 0},
                                          {{0x41, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, -1, 0},
                                          {{0x43, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2A}, 42, 0},
                                          {{0x42, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00}, 0, ASN1_ERR_VALUE},
                                          {{0x02, 0x00}, 0, ASN1_ERR_VALUE},
                                          {{0x40, 0x04, 10, 1, 2, 3}, 0x0A010203, 0},
                                          {{0x40, 0x03, 10, 1, 2}, 0, ASN1_ERR_LENGTH}}) {
    VarBind b;
    Asn1Cursor c;
    Bytes message;
    int result = decodeBinding(t.value, b, c, message);
    EXPECT_EQ(c.error, t.error) << static_cast<int>(t.value[1]);
    if (t.error) {
      EXPECT_EQ(result, -1);
      continue;
    }
    ASSERT_EQ(result, 0);
    EXPECT_EQ(b.value.tag, t.value[0]);
    EXPECT_EQ(b.value.u.integer, t.expected);
    // The cursor ends on the value's header, at the end of the binding.
    EXPECT_EQ(c.cur, message.data() + message.size());
    EXPECT_EQ(c.header, message.data() + 12);
    EXPECT_EQ(c.length, t.value[1]);
    EXPECT_EQ(c.tag, t.value[0]);
  }
  struct Case64 {
    Bytes value;
    uint64_t expected;
    int error;
  };
  for (const Case64 &t : std::vector<Case64>{
           {{0x46, 0x01, 0x05}, 5, 0},
           {{0x46, 0x01, 0x80}, ~uint64_t(0) - 127, 0},
           {{0x46, 0x08, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}, 0x0123456789ABCDEFull, 0},
           {{0x46, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, ~uint64_t(0), 0},
           {{0x46, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, 0, ASN1_ERR_VALUE}}) {
    VarBind b;
    Asn1Cursor c;
    Bytes message;
    decodeBinding(t.value, b, c, message);
    EXPECT_EQ(c.error, t.error) << static_cast<int>(t.value[1]);
    if (t.error) continue;
    EXPECT_EQ(b.value.u.counter64.high, static_cast<uint32_t>(t.expected >> 32));
    EXPECT_EQ(b.value.u.counter64.low, static_cast<uint32_t>(t.expected));
  }
}

// A binding whose SEQUENCE length is in the long form (81 06), in a buffer long enough that the
// octet 0x81 read as a short length would still fit: read as the long form it is.
TEST(BerShapes, LongFormBindingLengthInALongBuffer) {
  Bytes message = {0x30, 0x81, 0x06, 0x06, 0x02, 0x2B, 0x06, 0x05, 0x00, 0x30, 0x04, 0x77};
  message.resize(200, 0x01);
  Asn1Cursor c;
  initAsn1Cursor(&c, message.data(), static_cast<uint32_t>(message.size()));
  VarBind b;
  ASSERT_EQ(decodeVarBind(&c, &b), message.data() + 9);
  EXPECT_EQ(c.error, 0);
  ASSERT_EQ(b.oid[0], 3u);
  EXPECT_EQ(b.oid[3], 6u);
  EXPECT_EQ(b.value.tag, ASN1_TAG_NULL);
}

TEST(BerShapes, NamesOfEveryLength) {
  // One-octet sub-identifiers from 1 to 130 octets (127 fit the array, 128 do not), and names
  // with a longer sub-identifier at every position of the first 20.
  for (uint32_t octets = 1; octets <= 130; ++octets) {
    for (int wide = -1; wide < (octets <= 20 ? static_cast<int>(octets) : 0); ++wide) {
      Bytes contents(octets, 0x05);
      contents[0] = 0x2B;
      if (wide >= 0) {
        contents[wide] = 0x81;
        contents.insert(contents.begin() + wide + 1, 0x01);
      }
      Bytes message = {0x30, 0x81, 0, 0x06, 0x81, static_cast<unsigned char>(contents.size())};
      for (unsigned char octet : contents) message.push_back(octet);
      message.push_back(0x05);
      message.push_back(0x00);
      message[2] = static_cast<unsigned char>(message.size() - 3);
      Asn1Cursor c;
      initAsn1Cursor(&c, message.data(), static_cast<uint32_t>(message.size()));
      VarBind b;
      unsigned char *end = decodeVarBind(&c, &b);
      uint32_t subids = octets;
      if (subids > ASN1_MAX_ARCS - 1) {
        EXPECT_EQ(end, nullptr) << octets;
        EXPECT_EQ(c.error, ASN1_ERR_SPACE) << octets;
        continue;
      }
      ASSERT_NE(end, nullptr) << octets << " " << wide;
      ASSERT_EQ(b.oid[0], subids + 1) << octets << " " << wide;
      // A first sub-identifier of 129 splits as 2.49.
      EXPECT_EQ(b.oid[1], wide == 0 ? 2u : 1u);
      EXPECT_EQ(b.oid[2], wide == 0 ? 49u : 3u);
      for (uint32_t i = 1; i < subids; ++i)
        EXPECT_EQ(b.oid[2 + i], static_cast<int>(i) == wide ? 129u : 5u) << octets << " " << wide << " " << i;
      // And back: the same octets.
      std::vector<unsigned char> again(message.size() + 64);
      Asn1Cursor e;
      initAsn1Cursor(&e, again.data(), static_cast<uint32_t>(again.size()));
      ASSERT_NE(encodeVarBind(&e, &b), nullptr);
      // The binding written back ends with the name's contents and the NULL.
      ASSERT_GE(static_cast<size_t>(e.cur - again.data()), contents.size() + 2);
      EXPECT_EQ(memcmp(e.cur - 2 - contents.size(), contents.data(), contents.size()), 0) << octets << " " << wide;
    }
  }
}

// Bindings written at every room from nothing to plenty: the same octets whenever they fit,
// error 4 and nothing past the limit otherwise.
TEST(BerShapes, BindingsAtEveryRoom) {
  std::vector<VarBind> list(6);
  for (VarBind &b : list) memset(&b, 0, sizeof b);
  static unsigned char text[40] = "a string of thirty-nine octets, or so..";
  setOid(list[0].oid, {1, 3, 6, 1, 2, 1, 2, 2, 1, 10, 1});
  list[0].value.tag = ASN1_TAG_COUNTER32, list[0].value.u.unsigned32 = 3000000000u;
  setOid(list[1].oid, {1, 3, 6, 1, 2, 1, 1, 2, 0});
  list[1].value.tag = ASN1_TAG_OBJECT_ID, setOid(list[1].value.u.oid, {1, 3, 6, 1, 4, 1, 8072, 3, 2, 10});
  setOid(list[2].oid, {1, 3, 6, 1, 2, 1, 4, 20, 1, 1, 192, 168, 1, 1});
  list[2].value.tag = ASN1_TAG_IPADDRESS, list[2].value.u.unsigned32 = 0xC0A80101;
  setOid(list[3].oid, {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 6, 1});
  list[3].value.tag = ASN1_TAG_COUNTER64, list[3].value.u.counter64 = {0xFFFFFFFF, 0xFFFFFFFF};
  setOid(list[4].oid, {1, 3, 6, 1, 2, 1, 1, 5, 0});
  list[4].value.tag = ASN1_TAG_OCTET_STRING, list[4].value.u.octets = {text, 39};
  setOid(list[5].oid, {2, 100, 3});
  list[5].value.tag = ASN1_TAG_INTEGER, list[5].value.u.integer = -2;
  for (const VarBind &b : list) {
    std::vector<unsigned char> plenty(400);
    Asn1Cursor p;
    initAsn1Cursor(&p, plenty.data(), 400);
    ASSERT_NE(encodeVarBind(&p, &b), nullptr);
    Bytes expected = written(plenty.data(), p);
    ASSERT_EQ(sizeofVarBind(&b), expected.size());
    for (uint32_t room = 0; room < expected.size() + 80; ++room) {
      std::vector<unsigned char> buffer(room + 32, 0xEE);
      Asn1Cursor c;
      initAsn1Cursor(&c, buffer.data(), room);
      unsigned char *start = encodeVarBind(&c, &b);
      if (room < expected.size()) {
        EXPECT_EQ(start, nullptr) << room;
        EXPECT_EQ(c.error, ASN1_ERR_SPACE) << room;
      } else {
        ASSERT_EQ(start, buffer.data()) << room;
        EXPECT_EQ(written(buffer.data(), c), expected) << room;
      }
      for (uint32_t i = room; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << room << " " << i;
    }
  }
}

// A GetResponse cut at every length, each copy in a heap block of exactly that size, read the
// way the engine reads messages: every step refuses in time and nothing reads past the block
// (the sanitizer build checks that).
TEST(BerShapes, TruncatedMessagesInExactBuffers) {
  unsigned char full[600];
  Asn1Cursor c;
  initAsn1Cursor(&c, full, sizeof full);
  unsigned char *message = encodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  encodeAsn1Int32(&c, ASN1_TAG_INTEGER, SNMP_V2C);
  encodeAsn1Octets(&c, ASN1_TAG_OCTET_STRING, "public", 6);
  PduHeader header = {SNMP_PDU_RESPONSE, 0x12345, 0, 0};
  unsigned char *pdu = encodePduHeader(&c, &header, ASN1_OPEN_LENGTH);
  unsigned char *list = encodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  VarBind b;
  memset(&b, 0, sizeof b);
  for (uint32_t i = 0; i < 12; ++i) {
    setOid(b.oid, {1, 3, 6, 1, 2, 1, 2, 2, 1, 10, i * 40});
    switch (i % 4) {
      case 0: b.value.tag = ASN1_TAG_COUNTER32, b.value.u.unsigned32 = i << 29; break;
      case 1: b.value.tag = ASN1_TAG_OBJECT_ID, setOid(b.value.u.oid, {1, 3, 6, 1, 4, 1, 8072 + i}); break;
      case 2: b.value.tag = ASN1_TAG_COUNTER64, b.value.u.counter64 = {i, i}; break;
      default: b.value.tag = ASN1_TAG_OCTET_STRING, b.value.u.octets = {full, i}; break;
    }
    encodeVarBind(&c, &b);
  }
  updateAsn1Header(&c, list);
  updateAsn1Header(&c, pdu);
  updateAsn1Header(&c, message);
  ASSERT_EQ(c.error, 0);
  uint32_t size = static_cast<uint32_t>(c.cur - full);
  for (uint32_t length = 0; length <= size; ++length) {
    unsigned char *copy = static_cast<unsigned char *>(malloc(length ? length : 1));
    memcpy(copy, full, length);
    Asn1Cursor r;
    initAsn1Cursor(&r, copy, length);
    decodeAsn1Struct(&r, ASN1_TAG_SEQUENCE, nullptr);
    decodeAsn1Int32(&r, ASN1_TAG_INTEGER);
    decodeAsn1Octets(&r, ASN1_TAG_OCTET_STRING);
    PduHeader h;
    decodePduHeader(&r, &h, 1);
    unsigned char *saved;
    decodeAsn1Struct(&r, ASN1_TAG_SEQUENCE, &saved);
    int n = 0;
    while (r.error == 0 && r.cur < r.end) {
      VarBind out;
      decodeVarBind(&r, &out);
      ++n;
    }
    frameAsn1Struct(&r, saved);
    if (length == size) {
      EXPECT_EQ(r.error, 0);
      EXPECT_EQ(n, 12);
      EXPECT_EQ(h.request_id, 0x12345);
    } else {
      // The outer structure announces more than there is.
      EXPECT_NE(r.error, 0) << length;
    }
    free(copy);
  }
}

// A random binding of every kind the codec writes or refuses: names of 1 to 130 arcs, small or
// large; values of every tag, strings up to 300 octets, OIDs long and short, and a few that
// cannot be encoded (a bad name, an unknown tag, octets without data).
void randomBinding(std::mt19937 &random, VarBind &b, const unsigned char *text) {
  auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
  auto arc = [&]() -> uint32_t {
    switch (below(8)) {
      case 0: return below(0x4000);
      case 1: return static_cast<uint32_t>(random()) >> below(32);
      default: return below(128);
    }
  };
  auto oid = [&](uint32_t *o) {
    uint32_t n = below(10) == 0 ? 1 + below(130) : 2 + below(17);
    if (n > ASN1_MAX_ARCS) n = ASN1_MAX_ARCS;
    o[0] = n;
    o[1] = below(20) == 0 ? 3 : below(3);
    o[2] = o[1] == 2 ? arc() : below(40);
    for (uint32_t i = 3; i <= n; ++i) o[i] = arc();
    // Words past the last arc are not the name's: fill them with anything.
    for (uint32_t i = n + 1; i <= ASN1_MAX_ARCS && i < n + 20; ++i) o[i] = random();
  };
  memset(&b, 0, sizeof b);
  oid(b.oid);
  static const int kTags[] = {ASN1_TAG_INTEGER,      ASN1_TAG_OCTET_STRING, ASN1_TAG_NULL,
                              ASN1_TAG_OBJECT_ID,    ASN1_TAG_IPADDRESS,    ASN1_TAG_COUNTER32,
                              ASN1_TAG_UNSIGNED32,   ASN1_TAG_TIMETICKS,    ASN1_TAG_COUNTER64,
                              ASN1_TAG_NOSUCHOBJECT, ASN1_TAG_NOSUCHINSTANCE, ASN1_TAG_ENDOFMIBVIEW,
                              0x30,                  0x47};
  Asn1Value &v = b.value;
  v.tag = kTags[below(sizeof kTags / sizeof kTags[0])];
  switch (v.tag) {
    case ASN1_TAG_OCTET_STRING:
    case 0x30: {
      uint32_t n = below(4) == 0 ? below(300) : below(40);
      v.u.octets = {below(30) == 0 ? nullptr : const_cast<unsigned char *>(text), n};
      break;
    }
    case ASN1_TAG_OBJECT_ID:
      oid(v.u.oid);
      break;
    case ASN1_TAG_COUNTER64:
      v.u.counter64 = {static_cast<uint32_t>(random() >> below(33)), static_cast<uint32_t>(random())};
      break;
    default:
      v.u.unsigned32 = static_cast<uint32_t>(random()) >> below(32);
      if (below(2)) v.u.unsigned32 = 0u - v.u.unsigned32;
  }
}

// encodePdu against the steps it stands for, over random lists at rooms from nothing to plenty:
// the same bytes, the same bindings left out, the same cursor, nothing written past the limit.
TEST(BerShapes, WholePduAsTheOpenLengthSteps) {
  std::mt19937 random(20261206);
  static unsigned char text[300];
  for (uint32_t i = 0; i < sizeof text; ++i) text[i] = static_cast<unsigned char>(i * 7);
  for (int round = 0; round < 3000; ++round) {
    std::vector<VarBind> list(random() % 24);
    for (VarBind &b : list) randomBinding(random, b, text);
    uint32_t count = static_cast<uint32_t>(list.size());
    PduHeader h = {SNMP_PDU_RESPONSE, static_cast<int32_t>(random()) >> (random() % 32),
                   static_cast<int32_t>(random() % 20), static_cast<int32_t>(random() % 300)};
    // Rooms around the widths of the length fields, or anywhere up to 70000 octets.
    auto below = [&](uint32_t n) { return static_cast<uint32_t>(random() % n); };
    uint32_t rooms[] = {below(300), 120 + below(20), 250 + below(20), below(70000)};
    for (uint32_t room : rooms) {
      std::vector<unsigned char> expected(room + 64, 0xEE), actual(room + 64, 0xEE);
      Asn1Cursor e, a;
      initAsn1Cursor(&e, expected.data(), room);
      initAsn1Cursor(&a, actual.data(), room);
      uint32_t fitted = 0;
      unsigned char *top = encodePduBySteps(&e, &h, list.data(), count, &fitted);
      uint32_t taken = 12345;
      unsigned char *pdu = encodePdu(&a, &h, list.data(), count, sizeof(VarBind), &taken);
      std::string where = "round " + std::to_string(round) + " room " + std::to_string(room);
      ASSERT_EQ(pdu == nullptr, top == nullptr) << where;
      ASSERT_EQ(a.error, e.error) << where;
      ASSERT_EQ(a.cur - actual.data(), e.cur - expected.data()) << where;
      if (top == nullptr) continue;
      EXPECT_EQ(taken, fitted) << where;
      ASSERT_EQ(a.cur - actual.data(), e.cur - expected.data()) << where;
      EXPECT_EQ(written(actual.data(), a), written(expected.data(), e)) << where;
      EXPECT_EQ(a.header - actual.data(), e.header - expected.data()) << where;
      EXPECT_EQ(a.length, e.length) << where;
      EXPECT_EQ(a.tag, e.tag) << where;
      EXPECT_EQ(a.end, actual.data() + room) << where;
      for (uint32_t i = room; i < actual.size(); ++i) ASSERT_EQ(actual[i], 0xEE) << where << " " << i;

      // Both sides write bindings with the same code: read them back, with the decoder, against
      // what was given, and their sizes against sizeofVarBind.
      Asn1Cursor d;
      initAsn1Cursor(&d, actual.data(), static_cast<uint32_t>(a.cur - actual.data()));
      PduHeader back;
      ASSERT_EQ(decodePduHeader(&d, &back, 1), SNMP_PDU_RESPONSE) << where;
      EXPECT_EQ(back.request_id, h.request_id) << where;
      EXPECT_EQ(back.error_index, h.error_index) << where;
      ASSERT_EQ(decodeAsn1Struct(&d, ASN1_TAG_SEQUENCE, nullptr), ASN1_TAG_SEQUENCE) << where;
      uint32_t sizes = 0;
      for (uint32_t i = 0; i < taken; ++i) sizes += sizeofVarBind(&list[i]);
      EXPECT_EQ(sizes, d.length) << where;
      for (uint32_t i = 0; i < taken && list[i].value.tag != 0x30; ++i) {
        VarBind in;
        ASSERT_NE(decodeVarBind(&d, &in), nullptr) << where << " binding " << i;
        EXPECT_TRUE(sameBinding(in, list[i], text)) << where << " binding " << i;
      }

      // Records that begin with a binding, as the engine's are: the same PDU.
      struct Record {
        VarBind binding;
        uint64_t more[3];
      };
      std::vector<Record> records(count);
      for (uint32_t i = 0; i < count; ++i) records[i].binding = list[i];
      std::vector<unsigned char> again(room + 64, 0xEE);
      Asn1Cursor r;
      initAsn1Cursor(&r, again.data(), room);
      const VarBind *first = count ? &records[0].binding : nullptr;
      ASSERT_NE(encodePdu(&r, &h, first, count, sizeof(Record), &taken), nullptr);
      EXPECT_EQ(taken, fitted) << where;
      EXPECT_EQ(written(again.data(), r), written(expected.data(), e)) << where;
    }
  }
}

}  // namespace
