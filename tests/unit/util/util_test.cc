// Linked lists, heap strings, tokenising and the "<0x0A>" byte-escape form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <tcl.h>

#include "telvi/expr64.h"
#include "telvi/util.h"

namespace {

std::vector<int> values(struct link *list) {
  std::vector<int> result;
  for (; list != nullptr; list = list->next) result.push_back(*static_cast<int *>(list->item));
  return result;
}

std::vector<void *> freed;
void recordFree(void *item) { freed.push_back(item); }

TEST(Link, BuildReverseAndDestroy) {
  int v[4] = {1, 2, 3, 4};
  struct link *list = linkCreate(&v[0], linkCreate(&v[2], nullptr));
  struct link *node = linkCreate(&v[1], nullptr);
  linkInsert(list, node);
  linkInsert(linkEnd(list), linkCreate(&v[3], nullptr));
  linkInsert(nullptr, node);
  linkInsert(node, nullptr);
  EXPECT_EQ(values(list), (std::vector<int>{1, 2, 3, 4}));
  list = linkReverse(list);
  EXPECT_EQ(values(list), (std::vector<int>{4, 3, 2, 1}));
  EXPECT_EQ(linkEnd(list)->item, &v[0]);

  // Items that are none are not handed to the free function; the others are, front to back.
  linkInsert(list, linkCreate(nullptr, nullptr));
  freed.clear();
  linkDestroy(list, recordFree);
  EXPECT_EQ(freed, (std::vector<void *>{&v[3], &v[2], &v[1], &v[0]}));

  struct link *single = linkCreate(&v[0], nullptr);
  EXPECT_EQ(linkReverse(single), single);
  EXPECT_EQ(single->next, nullptr);
  linkDestroy(single, nullptr);
  EXPECT_EQ(linkEnd(nullptr), nullptr);
  EXPECT_EQ(linkReverse(nullptr), nullptr);
  linkDestroy(nullptr, recordFree);
}

TEST(HeapString, CreateAppendDestroy) {
  char *copy = strCreate("hello");
  char *joined = strAppend(copy, ", world");
  ASSERT_NE(joined, nullptr);
  EXPECT_STREQ(joined, "hello, world");
  EXPECT_STREQ(copy, "hello");  // arguments are left alone
  EXPECT_EQ(strCreate(nullptr), nullptr);
  EXPECT_EQ(strAppend(nullptr, "x"), nullptr);
  EXPECT_EQ(strAppend("x", nullptr), nullptr);
  strDestroy(&copy);
  EXPECT_EQ(copy, nullptr);
  strDestroy(&copy);
  strDestroy(&joined);
}

TEST(HeapString, TokenCutsTextInPlace) {
  char text[] = " a,,b ";
  int count = -1;
  char **tokens = strToken(text, " ,", &count);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(tokens[0], text + 1);  // pointers into the caller's text, now cut
  EXPECT_EQ(tokens[1], text + 4);
  EXPECT_STREQ(tokens[0], "a");
  EXPECT_STREQ(tokens[1], "b");
  free(tokens);

  for (const char *none : {"", " ,, "}) {
    std::string copy(none);
    count = -1;
    free(strToken(copy.data(), " ,", &count));
    EXPECT_EQ(count, 0) << '"' << none << '"';
  }
  count = -1;
  EXPECT_EQ(strToken(nullptr, ",", &count), nullptr);
  EXPECT_EQ(count, 0);
  count = -1;
  EXPECT_EQ(strToken(text, nullptr, &count), nullptr);
  EXPECT_EQ(count, 0);
}

// The bytes of an escaped text, checking the returned and stored lengths agree.
std::string unescape(const std::string &text, int expectLength) {
  std::vector<unsigned char> bytes(text.size() + 1);
  int length = -7;
  const int result = scanStringToBinary(text.c_str(), bytes.data(), &length);
  EXPECT_EQ(result, expectLength) << text;
  if (result >= 0) {
    EXPECT_EQ(length, result) << text;
  }
  return std::string(bytes.begin(), bytes.begin() + std::max(result, 0));
}

std::string escape(const std::string &bytes) {
  std::string text(6 * bytes.size() + 1, '#');
  EXPECT_EQ(scanBinaryToString(reinterpret_cast<const unsigned char *>(bytes.data()),
                               static_cast<int>(bytes.size()), text.data()), 0);
  return text.c_str();
}

TEST(ByteEscape, ConvertsBothWays) {
  EXPECT_EQ(unescape("A<0x41><65><0101>", 4), "AAAA");
  EXPECT_EQ(unescape("<>", 2), "<>");
  EXPECT_EQ(unescape("x<0x141>", 2), "xA");  // low eight bits of the code
  EXPECT_EQ(unescape("<65 junk>", 1), "A");  // text after the number is ignored
  EXPECT_EQ(unescape("a<0>b", 3), std::string("a\0b", 3));
  EXPECT_EQ(unescape("tail<", 5), "tail<");
  testing::internal::CaptureStderr();
  unescape("<xyz>", -1);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "error parsing character code: <xyz>\n");

  EXPECT_EQ(escape(std::string("a\nb", 3)), "a<0xA>b");
  EXPECT_EQ(escape(std::string(1, '\0')), "<0x0>");
  EXPECT_EQ(escape("\x1f \x7f~"), "<0x1F> <0x7F>~");
  EXPECT_EQ(escape("\x80\xff"), "\x80\xff");  // high bytes are copied as they are
  EXPECT_EQ(escape(""), "");

  // A literal '<' could read back as the start of a code, so random bytes leave it out.
  std::mt19937 random(11);
  for (int round = 0; round < 200; ++round) {
    std::string bytes(random() % 48, '\0');
    for (char &c : bytes) do c = static_cast<char>(random()); while (c == '<');
    EXPECT_EQ(unescape(escape(bytes), static_cast<int>(bytes.size())), bytes);
  }
}

int findToken(const std::string &buffer, const std::string &token) {
  return scanBinaryToken(reinterpret_cast<const unsigned char *>(buffer.data()), static_cast<int>(buffer.size()),
                         reinterpret_cast<const unsigned char *>(token.data()), static_cast<int>(token.size()));
}

TEST(ByteEscape, FindsTokenInsideBuffer) {
  EXPECT_EQ(findToken("abcdef", "cd"), 2);
  EXPECT_EQ(findToken("abcdef", "ef"), 4);
  EXPECT_EQ(findToken("aaab", "aab"), 1);
  EXPECT_EQ(findToken(std::string("x\0yz", 4), std::string("\0y", 2)), 1);
  EXPECT_EQ(findToken("abcdef", "efg"), -1);  // would run past the end of the buffer
  EXPECT_EQ(findToken("abcdef", "xy"), -1);
  EXPECT_EQ(findToken("abcdef", ""), -1);
  EXPECT_EQ(findToken("", "a"), -1);
  EXPECT_EQ(scanBinaryToken(nullptr, 4, reinterpret_cast<const unsigned char *>("a"), 1), -1);
}

// A real that no integer of the range holds fails rather than converting: Tcl_ExprLong64 beyond
// 64 bits, int() and round() beyond 32 bits and on a NaN (a braced "nan(1)" reads as one).
TEST(Expr64, RealsOutsideTheIntegerRangeFail) {
  Tcl_Interp *interp = Tcl_CreateInterp();
  long long value = 0;
  for (const char *e : {"1e300", "-9.3e18", "9223372036854775808.0", "int({nan(1)})", "round({nan(1)})"}) {
    EXPECT_EQ(Tcl_ExprLong64(interp, e, &value), TCL_ERROR) << e;
    EXPECT_STREQ(Tcl_GetStringResult(interp), "integer value too large to represent") << e;
  }
  ASSERT_EQ(Tcl_ExprLong64(interp, "9.2e18", &value), TCL_OK);
  EXPECT_EQ(value, 9200000000000000000LL);
  ASSERT_EQ(Tcl_ExprLong64(interp, "-9223372036854775808.0", &value), TCL_OK);
  EXPECT_EQ(value, INT64_MIN);
  Tcl_DeleteInterp(interp);
}

}  // namespace
