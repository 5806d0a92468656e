// The BER codec: encodings of the edge values, sticky errors, and hostile input.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "telvi/asn1.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Writer {
  unsigned char buffer[1024];
  Asn1Cursor c;
  explicit Writer(uint32_t size = sizeof(buffer)) {
    memset(buffer, 0xEE, sizeof buffer);
    initAsn1Cursor(&c, buffer, size);
  }
  Bytes bytes() const { return Bytes(static_cast<const unsigned char *>(buffer), static_cast<const unsigned char *>(c.cur)); }
};

struct Reader {
  Bytes data;
  Asn1Cursor c;
  explicit Reader(Bytes bytes) : data(std::move(bytes)) { initAsn1Cursor(&c, data.data(), data.size()); }
};

void setOid(uint32_t *oid, std::initializer_list<uint32_t> arcs) {
  oid[0] = 0;
  for (uint32_t a : arcs) oid[++oid[0]] = a;
}

TEST(Asn1, HeaderLengthForms) {
  for (auto [length, expected] : std::vector<std::pair<uint32_t, Bytes>>{
           {0, {0x04, 0x00}}, {127, {0x04, 0x7F}}, {128, {0x04, 0x81, 0x80}}, {256, {0x04, 0x82, 0x01, 0x00}}}) {
    Writer w;
    ASSERT_NE(encodeAsn1Header(&w.c, 0x04, length), nullptr);
    EXPECT_EQ(w.bytes(), expected) << length;
  }
  // The header is written only when the announced contents fit too.
  Writer small(10);
  EXPECT_EQ(encodeAsn1Header(&small.c, 0x04, 9), nullptr);
  EXPECT_EQ(small.c.error, ASN1_ERR_SPACE);
  EXPECT_EQ(small.c.cur, small.buffer);
  Writer huge;
  EXPECT_EQ(encodeAsn1Header(&huge.c, 0x04, 0x80000000u), nullptr);
  EXPECT_EQ(huge.c.error, ASN1_ERR_VALUE);
  EXPECT_EQ(sizeofAsn1Data(129), 127u);
  EXPECT_EQ(sizeofAsn1Data(1000), 996u);
  EXPECT_EQ(sizeofAsn1Data(1), 0u);
}

TEST(Asn1, Integers) {
  auto encode = [](int tag, int32_t v) {
    Writer w;
    encodeAsn1Int32(&w.c, tag, v);
    return w.bytes();
  };
  EXPECT_EQ(encode(ASN1_TAG_INTEGER, -1), (Bytes{0x02, 0x01, 0xFF}));
  EXPECT_EQ(encode(ASN1_TAG_INTEGER, 128), (Bytes{0x02, 0x02, 0x00, 0x80}));
  EXPECT_EQ(encode(ASN1_TAG_INTEGER, -129), (Bytes{0x02, 0x02, 0xFF, 0x7F}));
  EXPECT_EQ(encode(ASN1_TAG_INTEGER, INT32_MIN), (Bytes{0x02, 0x04, 0x80, 0, 0, 0}));
  EXPECT_EQ(encode(ASN1_TAG_COUNTER32, -1), (Bytes{0x41, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(encode(ASN1_TAG_COUNTER32, INT32_MIN), (Bytes{0x41, 0x05, 0x00, 0x80, 0, 0, 0}));
  EXPECT_EQ(encode(ASN1_TAG_IPADDRESS, 0x0A000001), (Bytes{0x40, 0x04, 10, 0, 0, 1}));
  EXPECT_EQ(encode(ASN1_TAG_IPADDRESS, 0), (Bytes{0x40, 0x04, 0, 0, 0, 0}));

  Reader zeros({0x02, 0x06, 0, 0, 0, 0, 0, 0x2A});
  EXPECT_EQ(decodeAsn1Int32(&zeros.c, ASN1_TAG_INTEGER), 42);
  EXPECT_EQ(zeros.c.error, 0);
  Reader five({0x02, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(decodeAsn1Int32(&five.c, ASN1_TAG_INTEGER), 0);
  EXPECT_EQ(five.c.error, ASN1_ERR_VALUE);
  Reader counter({0x41, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(static_cast<uint32_t>(decodeAsn1Int32(&counter.c, ASN1_TAG_COUNTER32)), 0xFFFFFFFFu);
  Reader ip({0x40, 0x05, 1, 2, 3, 4, 5});
  decodeAsn1Int32(&ip.c, ASN1_TAG_IPADDRESS);
  EXPECT_EQ(ip.c.error, ASN1_ERR_LENGTH);
  Reader empty({0x02, 0x00});
  decodeAsn1Int32(&empty.c, ASN1_TAG_INTEGER);
  EXPECT_EQ(empty.c.error, ASN1_ERR_VALUE);
  Reader wrong({0x04, 0x01, 0x00});
  EXPECT_EQ(decodeAsn1Int32(&wrong.c, ASN1_TAG_INTEGER), 0);
  EXPECT_EQ(wrong.c.error, ASN1_ERR_TAG);
  EXPECT_EQ(wrong.c.tag, ASN1_TAG_INTEGER);

  // Counter64: the largest value takes 9 octets, and a 9-octet encoding with a leading 00 decodes.
  Writer w;
  encodeAsn1Int64(&w.c, ASN1_TAG_COUNTER64, Asn1Int64{0xFFFFFFFF, 0xFFFFFFFF});
  EXPECT_EQ(w.bytes(), (Bytes{0x46, 0x09, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  Reader r64(w.bytes());
  Asn1Int64 v = decodeAsn1Int64(&r64.c, ASN1_TAG_COUNTER64);
  EXPECT_EQ(v.high, 0xFFFFFFFFu);
  EXPECT_EQ(v.low, 0xFFFFFFFFu);
  Reader ten({0x46, 0x0A, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  decodeAsn1Int64(&ten.c, ASN1_TAG_COUNTER64);
  EXPECT_EQ(ten.c.error, ASN1_ERR_VALUE);
}

TEST(Asn1, ObjectIdentifiers) {
  Oid oid;
  Writer w;
  setOid(oid, {1, 3, 6, 1});
  encodeAsn1Oid(&w.c, oid);
  EXPECT_EQ(w.bytes(), (Bytes{0x06, 0x03, 0x2B, 0x06, 0x01}));
  Writer big;
  setOid(oid, {2, 100, 0xFFFFFFFE});
  encodeAsn1Oid(&big.c, oid);
  EXPECT_EQ(big.bytes(), (Bytes{0x06, 0x07, 0x81, 0x34, 0x8F, 0xFF, 0xFF, 0xFF, 0x7E}));
  Reader back(big.bytes());
  Oid decoded;
  ASSERT_NE(decodeAsn1Oid(&back.c, decoded), nullptr);
  EXPECT_EQ(oidcmp(decoded, oid), 0);

  for (auto bad : std::vector<std::vector<uint32_t>>{{1}, {3, 1}, {1, 40}, {0, 40, 1}}) {
    oid[0] = 0;
    for (uint32_t a : bad) oid[++oid[0]] = a;
    Writer e;
    EXPECT_EQ(sizeofAsn1OidData(oid), ASN1_BAD_SIZE);
    EXPECT_EQ(encodeAsn1Oid(&e.c, oid), nullptr);
    EXPECT_EQ(e.c.error, ASN1_ERR_VALUE);
  }

  // 0xFFFFFFFF collides with the failure value and is refused; a sub-identifier beyond 32 bits,
  // one whose last octet is missing, and one of 5 octets with padding are refused too.
  for (Bytes hostile : std::vector<Bytes>{{0x06, 0x06, 0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F},
                                          {0x06, 0x06, 0x2B, 0x9F, 0xFF, 0xFF, 0xFF, 0x7F},
                                          {0x06, 0x03, 0x2B, 0x06, 0x81},
                                          {0x06, 0x07, 0x2B, 0x81, 0x81, 0x81, 0x81, 0x81, 0x01},
                                          {0x06, 0x00}}) {
    Reader r(hostile);
    EXPECT_EQ(decodeAsn1Oid(&r.c, decoded), nullptr);
    EXPECT_NE(r.c.error, 0);
  }
  // Leading 0x80 octets are skipped.
  Reader padded({0x06, 0x04, 0x2B, 0x80, 0x80, 0x05});
  ASSERT_NE(decodeAsn1Oid(&padded.c, decoded), nullptr);
  EXPECT_EQ(decoded[0], 3u);
  EXPECT_EQ(decoded[3], 5u);

  // 128 arcs decode, 129 do not fit.
  for (uint32_t arcs : {128u, 129u}) {
    Bytes bytes = {0x06, 0x81, static_cast<unsigned char>(arcs - 1), 0x2B};
    bytes.resize(arcs + 2, 0x01);
    Reader r(bytes);
    uint32_t *result = decodeAsn1Oid(&r.c, decoded);
    if (arcs == 128) {
      ASSERT_NE(result, nullptr);
      EXPECT_EQ(decoded[0], 128u);
    } else {
      EXPECT_EQ(result, nullptr);
      EXPECT_EQ(r.c.error, ASN1_ERR_SPACE);
    }
  }
}

TEST(Asn1, OidOrderAndConcatenation) {
  Oid a, b;
  setOid(a, {1, 3, 6});
  setOid(b, {1, 3, 6, 1});
  EXPECT_LT(oidcmp(a, b), 0);
  setOid(a, {1, 3, 7});
  EXPECT_EQ(oidcmp(a, b), 1);
  setOid(a, {1, 3, 0xFFFFFFFF});
  EXPECT_EQ(oidcmp(a, b), 1);
  EXPECT_EQ(oidncmp(a, b, 2), 0);
  EXPECT_EQ(oidcmp(b, b), 0);
  uint32_t arcs[128] = {0};
  EXPECT_EQ(oidcat(b, arcs, 124), b);
  EXPECT_EQ(b[0], 128u);
  EXPECT_EQ(oidcat(b, arcs, 1), nullptr);
  EXPECT_EQ(b[0], 128u);
}

TEST(Asn1, HostileHeaders) {
  struct Case {
    Bytes bytes;
    int error;
  };
  for (const Case &t : std::vector<Case>{
           {{0x30}, ASN1_ERR_SPACE},                             // one byte
           {{0x30, 0x05, 0x02}, ASN1_ERR_SPACE},                 // short form past the end
           {{0x30, 0x80, 0x02, 0x01, 0x00, 0x00, 0x00}, ASN1_ERR_LENGTH},  // indefinite
           {{0x30, 0x85, 0, 0, 0, 0, 1, 0}, ASN1_ERR_LENGTH},    // 5 length octets
           {{0x30, 0x82, 0x01}, ASN1_ERR_SPACE},                 // length octets missing
           {{0x30, 0x82, 0x01, 0x00, 0x00}, ASN1_ERR_LENGTH},    // long form past the end
           {{0x30, 0x84, 0x80, 0, 0, 0, 0}, ASN1_ERR_VALUE},     // 2^31
       }) {
    Reader r(t.bytes);
    EXPECT_EQ(decodeAsn1Header(&r.c, 0), -1);
    EXPECT_EQ(r.c.error, t.error);
    // Sticky: nothing more happens.
    EXPECT_EQ(decodeAsn1Header(&r.c, 0), -1);
    EXPECT_EQ(r.c.error, t.error);
  }
  // Non-minimal long forms are accepted.
  Reader loose({0x04, 0x82, 0x00, 0x01, 0x41});
  EXPECT_EQ(decodeAsn1Header(&loose.c, ASN1_TAG_OCTET_STRING), ASN1_TAG_OCTET_STRING);
  EXPECT_EQ(loose.c.length, 1u);
}

TEST(Asn1, StructuresEndExactly) {
  // A binding whose contents end early, and one that runs past its structure.
  Reader early({0x30, 0x06, 0x06, 0x01, 0x2B, 0x05, 0x00, 0x00});
  unsigned char *saved;
  Oid oid;
  Asn1Value v;
  EXPECT_EQ(decodeAsn1Struct(&early.c, ASN1_TAG_SEQUENCE, &saved), ASN1_TAG_SEQUENCE);
  decodeAsn1Oid(&early.c, oid);
  decodeAsn1Value(&early.c, &v);
  EXPECT_EQ(frameAsn1Struct(&early.c, saved), nullptr);
  EXPECT_EQ(early.c.error, ASN1_ERR_STRUCTURE);

  Reader inner({0x30, 0x03, 0x06, 0x03, 0x2B, 0x06, 0x01});
  EXPECT_EQ(decodeAsn1Struct(&inner.c, ASN1_TAG_SEQUENCE, &saved), ASN1_TAG_SEQUENCE);
  EXPECT_EQ(decodeAsn1Oid(&inner.c, oid), nullptr);
  EXPECT_EQ(inner.c.error, ASN1_ERR_SPACE);

  Reader trailing({0x30, 0x00, 0x00});
  EXPECT_EQ(decodeAsn1Struct(&trailing.c, ASN1_TAG_SEQUENCE, nullptr), -1);
  EXPECT_EQ(trailing.c.error, ASN1_ERR_STRUCTURE);

  // NULL with contents, an unsupported type.
  Reader null({0x05, 0x01, 0x00});
  EXPECT_EQ(decodeAsn1Value(&null.c, &v), nullptr);
  EXPECT_EQ(null.c.error, ASN1_ERR_LENGTH);
  Reader bits({0x03, 0x01, 0x00});
  EXPECT_EQ(decodeAsn1Value(&bits.c, &v), nullptr);
  EXPECT_EQ(bits.c.error, ASN1_ERR_TYPE);
  v.tag = 0x44;
  EXPECT_EQ(sizeofAsn1Value(&v), ASN1_BAD_SIZE);
}

TEST(Asn1, OpenStructuresArePatched) {
  // Written with an open length, ten bytes of contents end with a short-form length, no gap.
  Writer w;
  unsigned char *header = encodeAsn1Struct(&w.c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  ASSERT_NE(header, nullptr);
  EXPECT_EQ(header[1], 0x82);
  const unsigned char ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  appendAsn1(&w.c, ten, 10);
  EXPECT_EQ(updateAsn1Header(&w.c, header), header);
  EXPECT_EQ(w.bytes(), (Bytes{0x30, 0x0A, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  // Widening: a zero-length header that receives 200 bytes moves them up.
  Writer wide;
  header = encodeAsn1Header(&wide.c, ASN1_TAG_OCTET_STRING, 0);
  unsigned char block[200];
  memset(block, 7, sizeof block);
  appendAsn1(&wide.c, block, sizeof block);
  updateAsn1Header(&wide.c, header);
  ASSERT_EQ(wide.c.error, 0);
  EXPECT_EQ(wide.c.cur - wide.buffer, 203);
  EXPECT_EQ(wide.buffer[1], 0x81);
  EXPECT_EQ(wide.buffer[2], 200);
  EXPECT_EQ(wide.buffer[3], 7);

  // Out of room inside a list: the partial binding is dropped, the list ends at the last whole one.
  Writer full(40);
  unsigned char *list = encodeAsn1Struct(&full.c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
  Oid oid;
  setOid(oid, {1, 3, 6, 1, 2, 1, 1, 5, 0});
  unsigned char *mark = nullptr;
  for (int i = 0; i < 5; ++i) {
    unsigned char *binding = encodeAsn1Struct(&full.c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
    if (binding) mark = binding;
    encodeAsn1Oid(&full.c, oid);
    encodeAsn1Header(&full.c, ASN1_TAG_NULL, 0);
    if (updateAsn1Header(&full.c, binding ? binding : mark) == nullptr) break;
  }
  EXPECT_EQ(full.c.error, ASN1_ERR_SPACE);
  EXPECT_EQ(full.c.cur, mark);
  // The list holds two whole bindings of 14 bytes each.
  EXPECT_EQ(mark - list, 2 + 2 * 14);
}

TEST(Asn1, ValuesRoundTrip) {
  unsigned char text[20] = "twenty octets here!";
  std::vector<Asn1Value> values(9);
  values[0].tag = ASN1_TAG_INTEGER, values[0].u.integer = -5;
  values[1].tag = ASN1_TAG_OCTET_STRING, values[1].u.octets = {text, 20};
  values[2].tag = ASN1_TAG_NULL;
  values[3].tag = ASN1_TAG_OBJECT_ID, setOid(values[3].u.oid, {1, 3, 6, 1, 4, 1, 99999});
  values[4].tag = ASN1_TAG_IPADDRESS, values[4].u.unsigned32 = 0x7F000001;
  values[5].tag = ASN1_TAG_TIMETICKS, values[5].u.unsigned32 = 0x80000000u;
  values[6].tag = ASN1_TAG_COUNTER64, values[6].u.counter64 = {1, 2};
  values[7].tag = ASN1_TAG_ENDOFMIBVIEW;
  values[8].tag = 0xA2, values[8].u.octets = {text, 3};
  Writer w;
  for (const Asn1Value &v : values) {
    unsigned char *before = w.c.cur;
    EXPECT_NE(encodeAsn1Value(&w.c, &v), nullptr);
    EXPECT_EQ(static_cast<uint32_t>(w.c.cur - before), sizeofAsn1Value(&v));
  }
  Reader r(w.bytes());
  for (size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE(i);
    const Asn1Value &want = values[i];
    Asn1Value v;
    ASSERT_NE(decodeAsn1Value(&r.c, &v), nullptr);
    EXPECT_EQ(v.tag, want.tag);
    switch (want.tag) {
      case ASN1_TAG_INTEGER:
        EXPECT_EQ(v.u.integer, want.u.integer);
        break;
      case ASN1_TAG_IPADDRESS:
      case ASN1_TAG_TIMETICKS:
        EXPECT_EQ(v.u.unsigned32, want.u.unsigned32);
        break;
      case ASN1_TAG_OBJECT_ID:
        EXPECT_EQ(oidcmp(v.u.oid, want.u.oid), 0);
        break;
      case ASN1_TAG_COUNTER64:
        EXPECT_EQ(v.u.counter64.high, 1u);
        EXPECT_EQ(v.u.counter64.low, 2u);
        break;
      case ASN1_TAG_OCTET_STRING:
      case 0xA2:
        ASSERT_EQ(v.u.octets.length, want.u.octets.length);
        EXPECT_EQ(memcmp(v.u.octets.data, want.u.octets.data, want.u.octets.length), 0);
        break;
    }
    if (v.tag == 0xA2) r.c.cur += 3;  // constructed contents are left for the caller to walk
  }
  EXPECT_EQ(r.c.error, 0);
}

TEST(Asn1, DumpShowsHeaderAndCursor) {
  Bytes bytes(64);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i);
  Reader r(bytes);
  r.c.header = r.c.base + 20;
  r.c.cur = r.c.base + 40;
  r.c.tag = 0x30;
  r.c.length = 5;
  r.c.error = 7;
  char text[ASN1_DUMP_SIZE];
  EXPECT_EQ(std::string(dumpAsn1(&r.c, text)),
            "  14   28   40 30    5  7 0001 0203 0405 0607 .... 1415 1617 1819 .... 2829 2a2b 2c2d");
}

}  // namespace
