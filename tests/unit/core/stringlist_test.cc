// String lists, counted strings, hexadecimal text and data arrays.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "telvi/datatype.h"

namespace {

using Items = std::vector<std::string>;

Items items(const stringList *list) {
  Items result;
  for (int i = 0; i < list->count; ++i) result.emplace_back(list->items[i]);
  if (list->items != nullptr) {
    EXPECT_EQ(list->items[list->count], nullptr);
  }
  return result;
}

TEST(StringList, AddRemoveAndRanges) {
  stringList *list = stringListCreate();
  ASSERT_NE(list, nullptr);
  std::string source = "a";
  EXPECT_EQ(stringListAdd(list, source.c_str()), 0);
  source = "changed";  // the list keeps its own copy
  EXPECT_EQ(stringListAdd(list, "b"), 0);
  EXPECT_EQ(stringListAdd(list, "a"), 0);
  EXPECT_EQ(stringListAddUnique(list, "b"), 1);
  EXPECT_EQ(stringListAddUnique(list, "c"), 0);
  EXPECT_EQ(items(list), (Items{"a", "b", "a", "c"}));
  EXPECT_EQ(stringListRemove(list, "a"), 2);
  EXPECT_EQ(stringListRemove(list, "zz"), 0);
  EXPECT_EQ(items(list), (Items{"b", "c"}));
  EXPECT_EQ(stringListAdd(nullptr, "x"), -1);
  EXPECT_EQ(stringListAdd(list, nullptr), -1);

  stringListFree(list);
  EXPECT_EQ(list->count, 0);
  for (int i = 0; i < 10; ++i) stringListAdd(list, std::to_string(i).c_str());
  EXPECT_EQ(stringListRemoveRange(list, -1, 2), -1);
  EXPECT_EQ(stringListRemoveRange(list, 3, 2), -1);
  EXPECT_EQ(stringListRemoveRange(list, 10, 12), 10);
  EXPECT_EQ(stringListRemoveRange(list, 2, 4), 7);
  EXPECT_EQ(items(list), (Items{"0", "1", "5", "6", "7", "8", "9"}));
  EXPECT_EQ(stringListRemoveRange(list, 5, 100), 5);  // bounded by the count
  EXPECT_EQ(stringListRemoveRange(list, 3, -1), 3);   // -1 names the last item
  EXPECT_EQ(items(list), (Items{"0", "1", "5"}));
  stringListDestroy(list);
  stringListDestroy(nullptr);
}

TEST(StringList, ParseText) {
  stringList *list = stringListCreate();
  ASSERT_EQ(stringListCvtStringToStringList(list, "  \"\" plain,\"x, y\"  ,last  "), 0);
  EXPECT_EQ(items(list), (Items{"", "plain", "x, y", "last"}));
  // Parsing replaces what the list held; long lists outgrow the initial item array.
  std::string text;
  for (int i = 0; i < 50; ++i) text += "w" + std::to_string(i) + (i % 2 ? " " : ",");
  ASSERT_EQ(stringListCvtStringToStringList(list, text.c_str()), 0);
  ASSERT_EQ(list->count, 50);
  EXPECT_STREQ(list->items[0], "w0");
  EXPECT_STREQ(list->items[49], "w49");
  EXPECT_EQ(stringListCvtStringToStringList(list, "a \"b"), -1);
  EXPECT_EQ(list->count, 0);
  EXPECT_EQ(stringListCvtStringToStringList(nullptr, "a"), -1);
  stringListDestroy(list);
}

TEST(CountedString, SetAppendGet) {
  cvtString s{};
  const char *bytes = nullptr;
  EXPECT_EQ(cvtStringGet(&s, &bytes), 0u);
  ASSERT_EQ(cvtStringSet(&s, "abc", 3), 0);
  ASSERT_EQ(cvtStringAppend(&s, "d\0f", 3), 0);  // bytes, not C strings
  ASSERT_EQ(cvtStringGet(&s, &bytes), 6u);
  EXPECT_EQ(std::memcmp(bytes, "abcd\0f", 7), 0);  // and still terminated

  // Refused calls leave the contents alone.
  EXPECT_EQ(cvtStringSet(&s, "xyz", 0), -1);
  EXPECT_EQ(cvtStringAppend(&s, "xyz", 0), -1);
  EXPECT_EQ(cvtStringSet(&s, nullptr, 2), -1);
  EXPECT_EQ(cvtStringSet(nullptr, "xyz", 3), -1);
  EXPECT_EQ(cvtStringGet(&s, &bytes), 6u);
  ASSERT_EQ(cvtStringSet(&s, "Z", 1), 0);
  EXPECT_EQ(cvtStringGet(&s, &bytes), 1u);
  EXPECT_STREQ(bytes, "Z");
  EXPECT_EQ(cvtStringGet(nullptr, &bytes), 0u);
  dataGetType("string")->destroy(&s);
}

using Bytes = std::vector<unsigned char>;

std::string hex(const Bytes &bytes) {
  std::string text(3 * bytes.size() + 1, '?');
  EXPECT_EQ(BinToHex(bytes.data(), static_cast<int>(bytes.size()), text.data()), 0);
  return text.c_str();
}

// The bytes of the text, or {0xEE} when HexToBin refuses it (which must also report length 0).
Bytes unhex(const char *text) {
  Bytes bytes(std::strlen(text) / 2 + 1);
  int length = -7;
  if (HexToBin(text, bytes.data(), &length) != 0) {
    EXPECT_EQ(length, 0) << text;
    return {0xEE};
  }
  bytes.resize(length);
  return bytes;
}

TEST(HexText, ConvertsBothWays) {
  EXPECT_EQ(hex({0x0A, 0xFF}), "0A:FF");
  EXPECT_EQ(hex({}), "");
  EXPECT_EQ(unhex("0a:FF:10"), (Bytes{0x0A, 0xFF, 0x10}));
  EXPECT_EQ(unhex("0aff10"), (Bytes{0x0A, 0xFF, 0x10}));
  EXPECT_EQ(unhex("0a:"), (Bytes{0x0A}));
  EXPECT_EQ(unhex(""), Bytes{});
  for (const char *bad : {"0af", "0g", "0a::ff", ":0a", "0a ff"}) EXPECT_EQ(unhex(bad), Bytes{0xEE}) << bad;

  unsigned char byte = 0;
  int length = 0;
  char text[8];
  EXPECT_EQ(BinToHex(nullptr, 1, text), -1);
  EXPECT_EQ(BinToHex(&byte, 1, nullptr), -1);
  EXPECT_EQ(HexToBin(nullptr, &byte, &length), -1);
  EXPECT_EQ(HexToBin("00", nullptr, &length), -1);
  EXPECT_EQ(HexToBin("00", &byte, nullptr), -1);

  std::mt19937 random(7);
  for (int round = 0; round < 50; ++round) {
    Bytes bytes(random() % 40);
    for (unsigned char &b : bytes) b = static_cast<unsigned char>(random());
    EXPECT_EQ(unhex(hex(bytes).c_str()), bytes);
  }
}

int &at(dataArray *array, int index, int grow = 0) { return *static_cast<int *>(dataArrayIndex(array, index, grow)); }

TEST(DataArray, GrowsShrinksAndShifts) {
  EXPECT_EQ(dataArrayCreate(0, 3), nullptr);
  dataArray *array = dataArrayCreate(sizeof(int), 3);
  ASSERT_NE(array, nullptr);
  ASSERT_EQ(dataArraySize(array), 3);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(at(array, i), 0);
    at(array, i) = 10 + i;
  }
  EXPECT_EQ(dataArrayIndex(array, -1, 0), nullptr);
  EXPECT_EQ(at(array, 5), 0);  // grows to index + 1, zero-filled
  EXPECT_EQ(dataArraySize(array), 6);
  EXPECT_EQ(at(array, 2), 12);
  EXPECT_EQ(at(array, 7, 1), 0);  // grows to 2 * index + 1
  EXPECT_EQ(dataArraySize(array), 15);

  EXPECT_EQ(dataArrayRemoveIndex(array, 0), 0);
  EXPECT_EQ(dataArraySize(array), 14);
  EXPECT_EQ(at(array, 0), 11);
  EXPECT_EQ(at(array, 1), 12);
  EXPECT_EQ(dataArrayRemoveIndex(array, 14), -1);
  EXPECT_EQ(dataArrayRemoveIndex(array, -1), -1);

  // Shrinking then growing again must not bring old values back.
  ASSERT_EQ(dataArrayResize(array, 1), 0);
  ASSERT_EQ(dataArrayResize(array, 4), 0);
  EXPECT_EQ(at(array, 0), 11);
  EXPECT_EQ(at(array, 1), 0);
  ASSERT_EQ(dataArrayResize(array, 0), 0);
  EXPECT_EQ(dataArraySize(array), 0);
  EXPECT_EQ(dataArrayResize(nullptr, 2), -1);
  dataArrayDestroy(&array);
  EXPECT_EQ(array, nullptr);
  dataArrayDestroy(&array);
}

}  // namespace
