// OID text and display hints.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "telvi/snmp.h"

namespace {

using Bytes = std::vector<unsigned char>;

std::string format(const char *hint, const Bytes &octets, uint32_t size = 256) {
  char text[256];
  if (snmpHintFormatOctets(hint, octets.data(), static_cast<uint32_t>(octets.size()), text, size) < 0)
    return "<bad>";
  return text;
}

Bytes parse(const char *hint, const char *text, bool whole = true) {
  unsigned char octets[64];
  const char *end;
  int n = snmpHintParseOctets(hint, text, octets, sizeof octets, &end);
  if (n < 0 || (whole && *end)) return {0xDE, 0xAD};
  return Bytes(octets, octets + n);
}

TEST(Oid, Text) {
  Oid oid;
  const char *end;
  EXPECT_EQ(strtooid("1.3.6.1.2.1", &end, oid), 6u);
  EXPECT_EQ(*end, 0);
  char text[32];
  EXPECT_STREQ(oidtostr(oid, text, sizeof text), "1.3.6.1.2.1");
  EXPECT_STREQ(oidtostr(oid, text, 11), "");  // does not fit
  // A dot is consumed only before a digit; stops at anything else.
  EXPECT_EQ(strtooid("1.3.6.", &end, oid), 3u);
  EXPECT_STREQ(end, ".");
  EXPECT_EQ(strtooid("1.3x", &end, oid), 2u);
  EXPECT_STREQ(end, "x");
  for (const char *bad : {"1", "3.1", "1.40", "", "x"}) EXPECT_EQ(strtooid(bad, &end, oid), 0u) << bad;
  std::string many = "1.3";
  for (int i = 0; i < 130; ++i) many += ".7";
  EXPECT_EQ(strtooid(many.c_str(), &end, oid), 128u);
  EXPECT_NE(*end, 0);  // the caller sees it was cut
  oid[0] = 1;
  EXPECT_STREQ(oidtostr(oid, text, sizeof text), "");
  // Arcs are 32-bit: a larger one makes the text no OID (it used to wrap, 2^32 giving 0), and the
  // first two arcs must fit one 32-bit sub-identifier.
  EXPECT_EQ(strtooid("1.3.4294967295", &end, oid), 3u);
  EXPECT_EQ(oid[3], 4294967295u);
  const char *huge = "1.3.4294967296.1";
  EXPECT_EQ(strtooid(huge, &end, oid), 0u);
  EXPECT_EQ(end, huge + 4);
  EXPECT_EQ(strtooid("1.3.6.99999999999999999999999", &end, oid), 0u);
  EXPECT_EQ(strtooid("2.4294967215", &end, oid), 2u);
  EXPECT_EQ(strtooid("2.4294967216", &end, oid), 0u);
}

TEST(Hint, OctetFormats) {
  EXPECT_EQ(format("1d.1d.1d.1d:2d", {10, 1, 2, 3, 0, 161}), "10.1.2.3:161");
  EXPECT_EQ(format("1x:", {0x80, 0x00, 0x1f}), "80:00:1f");
  EXPECT_EQ(format("255a", {'h', 'i'}), "hi");
  EXPECT_EQ(format("", {'h', 'i'}), "hi");
  EXPECT_EQ(format(nullptr, {'h', 'i', 'g', 'h'}, 3), "hi");
  EXPECT_EQ(format("1o", {8}), "10");
  EXPECT_EQ(format("1b", {5}), "00000101");
  // DateAndTime.
  EXPECT_EQ(format("2d-1d-1d,1d:1d:1d.1d,1a1d:1d", {0x07, 0xEA, 12, 5, 17, 4, 9, 3, '+', 1, 0}),
            "2026-12-5,17:4:9.3,+1:0");
  // Repeat: a count octet, items with separator, then the terminator.
  EXPECT_EQ(format("*1x:/1a", {2, 0xAB, 0xCD, 'z'}), "ab:cd/z");
  EXPECT_EQ(format("3a", {'a', 'b'}), "ab");
  for (const char *bad : {"x", "1q", "0d", "*x"}) EXPECT_EQ(format(bad, {1}), "<bad>") << bad;
}

TEST(Hint, OctetParse) {
  EXPECT_EQ(parse("1d.1d.1d.1d:2d", "10.1.2.3:161"), (Bytes{10, 1, 2, 3, 0, 161}));
  EXPECT_EQ(parse("1x:", "80:00:1F"), (Bytes{0x80, 0, 0x1f}));
  EXPECT_EQ(parse("*1x:/1a", "ab:cd/z"), (Bytes{2, 0xAB, 0xCD, 'z'}));
  EXPECT_EQ(parse("255a", "text"), (Bytes{'t', 'e', 'x', 't'}));
  EXPECT_EQ(parse("1d", "256"), (Bytes{0xDE, 0xAD}));  // does not fit one octet
  EXPECT_EQ(parse("1d.", "1.2.x"), (Bytes{0xDE, 0xAD}));
  EXPECT_EQ(parse("1d.", "1.2.x", false), (Bytes{1, 2}));
  unsigned char two[2];
  const char *end;
  EXPECT_EQ(snmpHintParseOctets("1x:", "01:02:03", two, sizeof two, &end), -1);
}

// What the formatter shows reads back to the same octets wherever the text can tell them apart.
TEST(Hint, OctetsReadBack) {
  auto same = [](const char *hint, const Bytes &octets) {
    std::string text = format(hint, octets);
    EXPECT_EQ(parse(hint, text.c_str()), octets) << hint << " \"" << text << "\"";
  };
  // Hexadecimal and binary digits have a fixed width per octet: groups need no separator, and a
  // group cut short by the end of the octets is told by its digit count.
  EXPECT_EQ(format("9x", {0x30, 0x61, 0xff, 0xff, 0x2e, 0x28, 0x33, 0x29}), "3061ffff2e283329");
  same("9x", {0x30, 0x61, 0xff, 0xff, 0x2e, 0x28, 0x33, 0x29});
  same("2x", {1, 2, 3});
  same("1x", {0xab, 0x0c});
  same("3b:", {1, 2, 3, 4});
  EXPECT_EQ(format("9b", {1, 2, 3, 4, 5, 6, 7, 8, 9}).size(), 72u);  // wider than 64 bits, not cut
  same("9b", {0x80, 2, 3, 4, 5, 6, 7, 8, 9});
  // Digits of part of an octet, or of a short group before more text, are no group.
  for (const char *bad : {"a", "0a0", "0a:b"}) EXPECT_EQ(parse("2x:", bad), (Bytes{0xDE, 0xAD})) << bad;
  // Characters are taken as they are, a separator among them too ("t" is "a").
  EXPECT_EQ(format("15t:", {'0', 'a', ':', 'i', 'n', 'N', 'N'}), "0a:inNN");
  same("15t:", {'0', 'a', ':', 'i', 'n', 'N', 'N'});
  same("2a.", {'.', '.', '.'});
  // A repeat shown zero times leaves its terminator.
  same("*1x:/1a", {0, 'z'});
  same("*1a,;1d", {2, 'x', ',', 7});
  same("1d.1d.1d.1d:2d", {10, 1, 2, 3, 0, 161});
  // A decimal or octal group is one 64-bit number at most.
  for (const char *wide : {"9d", "12o:"}) {
    EXPECT_EQ(format(wide, {1}), "<bad>") << wide;
    EXPECT_EQ(parse(wide, "1"), (Bytes{0xDE, 0xAD})) << wide;
  }
  // Where the rules give two octet strings one text, the parser takes full groups.
  EXPECT_EQ(format("2d", {5}), format("2d", {0, 5}));
  EXPECT_EQ(parse("2d", "5"), (Bytes{0, 5}));
}

TEST(Hint, Integers) {
  char text[64];
  snmpHintFormatInteger("d-2", 1234, 1, text, sizeof text);
  EXPECT_STREQ(text, "12.34");
  snmpHintFormatInteger("d-2", static_cast<uint64_t>(-5), 1, text, sizeof text);
  EXPECT_STREQ(text, "-0.05");
  snmpHintFormatInteger("x", 255, 0, text, sizeof text);
  EXPECT_STREQ(text, "ff");
  snmpHintFormatInteger("", UINT64_MAX, 0, text, sizeof text);
  EXPECT_STREQ(text, "18446744073709551615");
  EXPECT_EQ(snmpHintFormatInteger("d-", 1, 1, text, sizeof text), -1);

  uint64_t v;
  const char *end;
  ASSERT_EQ(snmpHintParseInteger("d-2", "12.3", &v, 1, &end), 0);
  EXPECT_EQ(v, 1230u);
  ASSERT_EQ(snmpHintParseInteger("d", "-42", &v, 1, &end), 0);
  EXPECT_EQ(static_cast<int64_t>(v), -42);
  EXPECT_EQ(snmpHintParseInteger("d", "-42", &v, 0, &end), -1);
  ASSERT_EQ(snmpHintParseInteger("b", "101", &v, 0, &end), 0);
  EXPECT_EQ(v, 5u);
  EXPECT_EQ(snmpHintParseInteger("d", "99999999999999999999", &v, 0, &end), -1);
}

}  // namespace
