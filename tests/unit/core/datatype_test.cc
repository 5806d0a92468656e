// Built-in data types: registry, binary sizes and the exact text forms scripts and files rely on.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "telvi/datatype.h"

namespace {

const char *const kBuiltins[] = {"int",    "uint",       "long",  "ulong",    "longlong", "ulonglong", "short",
                                 "double", "float",      "char",  "buffer",   "string",   "StringList", "octet",
                                 "explicit", "pointer", "ppchar", "pchar", "boolean"};

dataType *type(const char *name) {
  dataType *t = dataGetType(name);
  EXPECT_NE(t, nullptr) << name;
  return t;
}

// A type may have no conversion at all ("buffer" converts only through its fields); callers treat
// a missing operation as a failed conversion.
int from(dataType *t, void *binary, const char *text) {
  return t->fromString == nullptr ? -1 : t->fromString(binary, text);
}
int to(dataType *t, void *binary, char **text) { return t->toString == nullptr ? -1 : t->toString(binary, text); }

// The text form of a binary, or "<fail>".
std::string show(const char *name, void *binary) {
  char *text = nullptr;
  if (to(type(name), binary, &text) != 0) return "<fail>";
  std::string result(text);
  free(text);
  return result;
}

TEST(DataTypeRegistry, BuiltinsHaveTheirSizes) {
  for (const char *name : kBuiltins) EXPECT_NE(dataGetType(name), nullptr) << name;
  EXPECT_EQ(dataGetType("no such type"), nullptr);
  EXPECT_EQ(dataGetType(nullptr), nullptr);
  ASSERT_NE(dataTypeGetTypesTable(), nullptr);
  EXPECT_GE(dataTypeGetTypesTable()->numEntries, 19);

  // Integer widths stay those of the 32-bit host; pointer-holding binaries follow this host.
  const struct { const char *name; size_t size; } sizes[] = {
      {"boolean", 1}, {"char", 1}, {"short", 2}, {"int", 4}, {"uint", 4}, {"long", 4}, {"ulong", 4},
      {"float", 4}, {"longlong", 8}, {"ulonglong", 8}, {"double", 8}, {"explicit", 0},
      {"pointer", sizeof(void *)}, {"ppchar", sizeof(char *)}, {"string", sizeof(cvtString)},
      {"octet", sizeof(cvtString)}, {"buffer", sizeof(cvtString)}, {"StringList", sizeof(stringList)}};
  for (const auto &s : sizes) EXPECT_EQ(type(s.name)->size, s.size) << s.name;
  for (const char *name : kBuiltins) {
    if (std::strcmp(name, "buffer") != 0) {
      EXPECT_EQ(type(name)->fieldCount, 0) << name;
    }
  }

  dataType *buffer = type("buffer");
  ASSERT_EQ(buffer->fieldCount, 3);
  const char *names[] = {"len", "octet", "string"};
  const char *types[] = {"int", "octet", "string"};
  // "len" reads the length word of the counted string that "octet" and "string" share.
  const intptr_t offsets[] = {offsetof(cvtString, length), 0, 0};
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(buffer->fields[i].name, names[i]);
    EXPECT_STREQ(buffer->fields[i].type->name, types[i]) << names[i];
    EXPECT_EQ(buffer->fields[i].offset, offsets[i]) << names[i];
  }
  EXPECT_LT(buffer->fields[3].offset, 0);
  // The length follows the bytes: it takes back only its own value.
  cvtString bytes{};
  ASSERT_EQ(0, cvtStringSet(&bytes, "abc", 3));
  dataType *length = buffer->fields[0].type;
  EXPECT_EQ(0, length->fromString(&bytes.length, "3"));
  EXPECT_EQ(-1, length->fromString(&bytes.length, "100000"));
  EXPECT_EQ(3u, bytes.length);
  std::free(bytes.buffer);
}

int customToString(void *, char **) { return 0; }
int customFromString(void *, const char *) { return 0; }

TEST(DataTypeRegistry, RegistrationCountsSortsAndReplaces) {
  static dataField fields[] = {{"zeta", nullptr, 8, 0, 0}, {"alpha", nullptr, 0, 0, 0},
                               {"mid", nullptr, 4, 0, 0},  {nullptr, nullptr, -1, 0, 0}};
  static dataType first = {"dtRegCustom", fields, -1, 12, nullptr, customToString, customFromString};
  static dataType second = {"dtRegCustom", nullptr, -1, 4, nullptr, customToString, customFromString};

  dataRegisterType(&first);
  EXPECT_EQ(dataGetType("dtRegCustom"), &first);
  EXPECT_EQ(first.fieldCount, 3);
  EXPECT_STREQ(fields[0].name, "alpha");
  EXPECT_STREQ(fields[1].name, "mid");
  EXPECT_STREQ(fields[2].name, "zeta");
  EXPECT_EQ(fields[2].offset, 8);  // whole entries move, not just names

  dataRegisterType(&second);
  EXPECT_EQ(dataGetType("dtRegCustom"), &second);
  EXPECT_EQ(second.fieldCount, 0);
  dataRegisterType(nullptr);
  EXPECT_EQ(dataGetType("dtRegCustom"), &second);
}

void registerOwnIntFirst() {
  static dataType mine = {"int", nullptr, -1, 4, nullptr, customToString, customFromString};
  dataRegisterType(&mine);
  std::exit(dataGetType("int") == &mine && dataGetType("boolean") != nullptr ? 0 : 1);
}

// A type registered before anything touched the registry must still replace a built-in of the
// same name, because the built-ins go in first. That needs a fresh process.
TEST(DataTypeRegistry, FirstUserTypeReplacesBuiltinOfSameName) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(registerOwnIntFirst(), ::testing::ExitedWithCode(0), "");
}

TEST(DataTypeText, ParseThenPrint) {
  const struct { const char *type, *text, *printed; } cases[] = {
      {"boolean", "Yesterday", "TRUE"}, {"boolean", "1", "FALSE"}, {"boolean", "On", "TRUE"},
      {"boolean", "", "FALSE"},
      {"int", " 0x1F ", "31"}, {"int", "-5", "-5"}, {"int", "+7", "7"}, {"int", "010", "8"},
      {"int", "\t42\n", "42"}, {"int", "-2147483648", "-2147483648"}, {"int", "12abc", nullptr},
      {"int", "abc", nullptr}, {"int", "", nullptr},
      {"uint", "-5", nullptr}, {"uint", " -5", "4294967291"}, {"uint", "4294967295", "4294967295"},
      // Text no 32-bit word holds is refused, never wrapped or saturated into another number.
      {"int", "2147483647", "2147483647"}, {"int", "2147483648", nullptr}, {"int", "4294967295", nullptr},
      {"int", "99999999999", nullptr}, {"int", "-2147483649", nullptr}, {"int", "0x100000000", nullptr},
      {"int", "- 5", nullptr}, {"uint", "4294967296", nullptr}, {"uint", " -2147483649", nullptr},
      {"uint", "99999999999999999999999", nullptr},
      // Narrow types keep the low bits and print them signed.
      {"short", "65535", "-1"}, {"short", "70000", "4464"}, {"char", "255", "-1"}, {"char", "0x41", "65"},
      {"short", "4294967295", "-1"}, {"short", "99999999999", nullptr}, {"char", "4294967296", nullptr},
      // "long" and "ulong" saturate as the 32-bit strtol/strtoul did; "ulong" holds time stamps.
      {"long", "-42", "-42"}, {"long", "0x10", "16"}, {"long", "2147483648", "2147483647"},
      {"long", "-2147483649", "-2147483648"}, {"long", "12 ", nullptr}, {"long", "12abc", nullptr},
      {"ulong", "4294967296", "4294967295"}, {"ulong", "4294967295", "4294967295"},
      {"ulong", " -5", "4294967291"}, {"ulong", "-1", nullptr},
      {"longlong", "9223372036854775807", "9223372036854775807"}, {"longlong", "-0x10", "-16"},
      {"longlong", "1.5", nullptr}, {"ulonglong", "18446744073709551615", "18446744073709551615"},
      {"ulonglong", "-1", nullptr},
      {"double", "3.14159", "3.142"}, {"double", "12345678", "1.235e+07"}, {"double", "2.5e3", "2500"},
      {"double", "2.5x", nullptr},
      {"float", "2.0", "2.0"}, {"float", "2.5", "2.5"}, {"float", "100", "100.0"},
      {"float", "-2", "-2"},  // the "%.4g" text is not all digits, so it stays
      {"float", "123456789", "1.235e+08"}, {"float", "1.5abc", "1.5"}, {"float", "abc", nullptr},
      {"string", "hello world", "hello world"}, {"octet", "0a:ff:10", "0A:FF:10"}, {"octet", "0a:f", nullptr},
      {"StringList", "\"a b\", c, d", "\"a b\"\n\"c\"\n\"d\""}, {"StringList", "", ""},
      {"StringList", "\"x\" \"\"", "\"x\"\n\"\""},
      {"buffer", "abc", nullptr}, {"explicit", "abc", nullptr}};
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.type) + " from \"" + c.text + "\"");
    alignas(16) unsigned char binary[16] = {};
    const int result = from(type(c.type), binary, c.text);
    if (c.printed == nullptr) {
      EXPECT_EQ(result, -1);
      for (unsigned char byte : binary) EXPECT_EQ(byte, 0);
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(show(c.type, binary), c.printed);
    }
    if (type(c.type)->destroy != nullptr) type(c.type)->destroy(binary);
  }

  int32_t value = 0;
  EXPECT_EQ(convertersGetInt(" 0x1F ", &value), 0);
  EXPECT_EQ(value, 31);
  EXPECT_EQ(convertersGetInt(nullptr, &value), -1);
  EXPECT_EQ(convertersGetInt("4294967295", &value), 0);  // the unsigned word's bits, for "uint"
  EXPECT_EQ(value, -1);
  value = 5;
  EXPECT_EQ(convertersGetInt("4294967296", &value), -1);
  EXPECT_EQ(value, 5);
  // Given a buffer, toString writes into it instead of allocating.
  char buffer[64] = "junk";
  char *text = buffer;
  value = -17;
  ASSERT_EQ(type("int")->toString(&value, &text), 0);
  EXPECT_EQ(text, buffer);
  EXPECT_STREQ(buffer, "-17");
}

// The largest finite reals print rounded past the range; that text reads back as the largest value,
// and what lies further out stays infinite.
TEST(DataTypeText, LargestRealsReadBackFromTheirText) {
  double d = 0;
  ASSERT_EQ(from(type("double"), &d, "1.7976931348623157e308"), 0);
  EXPECT_EQ(show("double", &d), "1.798e+308");
  ASSERT_EQ(from(type("double"), &d, "-1.798e+308"), 0);
  EXPECT_EQ(d, -DBL_MAX);
  ASSERT_EQ(from(type("double"), &d, "1e309"), 0);
  EXPECT_TRUE(std::isinf(d));
  float f = 0;
  ASSERT_EQ(from(type("float"), &f, "3.4028235e38"), 0);
  EXPECT_EQ(show("float", &f), "3.403e+38");
  ASSERT_EQ(from(type("float"), &f, "3.403e+38"), 0);
  EXPECT_EQ(f, FLT_MAX);
  ASSERT_EQ(from(type("float"), &f, "3.5e38"), 0);
  EXPECT_TRUE(std::isinf(f));
}

TEST(DataTypeText, BinariesThatOwnMemory) {
  int target = 0;
  void *pointer = &target;
  char expected[64];
  std::snprintf(expected, sizeof expected, "%p", pointer);
  EXPECT_EQ(show("pointer", &pointer), expected);
  void *parsed = nullptr;
  ASSERT_EQ(type("pointer")->fromString(&parsed, expected), 0);
  EXPECT_EQ(parsed, pointer);

  char *held = nullptr;
  EXPECT_EQ(show("ppchar", &held), "");
  ASSERT_EQ(type("ppchar")->fromString(&held, "first"), 0);
  ASSERT_EQ(type("ppchar")->fromString(&held, "second value"), 0);
  EXPECT_EQ(show("ppchar", &held), "second value");
  type("ppchar")->destroy(&held);
  char characters[16] = "abc";
  EXPECT_EQ(show("pchar", characters), "abc");

  cvtString octet{};
  ASSERT_EQ(type("octet")->fromString(&octet, "0a:ff:10"), 0);
  ASSERT_EQ(octet.length, 3u);
  EXPECT_EQ(std::memcmp(octet.buffer, "\x0a\xff\x10", 4), 0);  // terminated after the bytes
  // A bad text keeps the bytes that were there.
  EXPECT_EQ(type("octet")->fromString(&octet, "zz"), -1);
  EXPECT_EQ(show("octet", &octet), "0A:FF:10");
  type("octet")->destroy(&octet);
  EXPECT_EQ(octet.buffer, nullptr);
  EXPECT_EQ(octet.length, 0u);

  // An unterminated quote empties the list rather than leaving it half parsed or as it was.
  stringList list{};
  ASSERT_EQ(type("StringList")->fromString(&list, "\"a b\", c, d"), 0);
  EXPECT_EQ(type("StringList")->fromString(&list, "x, \"open y"), -1);
  EXPECT_EQ(list.count, 0);
  EXPECT_EQ(show("StringList", &list), "");
  type("StringList")->destroy(&list);
}

TEST(DataTypeText, NullArgumentsFailWithoutTouchingTheBinary) {
  for (const char *name : kBuiltins) {
    dataType *t = type(name);
    alignas(16) unsigned char binary[16] = {};
    char *text = nullptr;
    EXPECT_EQ(from(t, binary, nullptr), -1) << name;
    for (unsigned char byte : binary) EXPECT_EQ(byte, 0) << name;
    EXPECT_EQ(from(t, nullptr, "1"), -1) << name;
    EXPECT_EQ(to(t, binary, nullptr), -1) << name;
    EXPECT_EQ(to(t, nullptr, &text), -1) << name;
    EXPECT_EQ(text, nullptr) << name;
    if (t->destroy != nullptr) t->destroy(nullptr);
  }
}

}  // namespace
