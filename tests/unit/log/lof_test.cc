// Log-file readers over growing, rotated and circular files; the scanner and the viewer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "log/lof_internal.h"
#include "log_support.h"
#include "telvi/clog.h"
#include "telvi/lof.h"

namespace {

using logtest::slurp;
using logtest::spit;

// Lines first .. first + count - 1 as texts ("<none>" for an empty slot), and the reader's got.
std::vector<std::string> get(lof *reader, int first, int count, int *got = nullptr) {
  std::vector<char *> slots(static_cast<size_t>(count), nullptr);
  int filled = -1;
  EXPECT_EQ(lof_get(reader, first, count, slots.data(), &filled), 1);
  if (got != nullptr) *got = filled;
  std::vector<std::string> lines;
  for (int i = 0; i < filled; ++i) lines.push_back(logtest::take(slots[static_cast<size_t>(i)]));
  return lines;
}

int length(lof *reader) {
  int n = -1;
  EXPECT_EQ(lof_length(reader, &n), 1);
  return n;
}

std::string numbered(int from, int to) {
  std::string text;
  for (int i = from; i <= to; ++i) text += "line " + std::to_string(i) + "\n";
  return text;
}

// What a scanner (one matching line a call) or a viewer (one packed reply a call) hands back.
struct Seen {
  std::vector<std::string> lines;
};
template <class Source>
void remember(Source *, const char *text, void *data) {
  static_cast<Seen *>(data)->lines.push_back(text);
}

class LofTest : public ::testing::Test {
 protected:
  logtest::TempDir dir;
};

TEST_F(LofTest, RegularFileGrowsUnderTheReader) {
  std::string path = dir.file("messages");
  spit(path, numbered(1, 3) + "partial");
  lof *reader = lof_open(path.c_str());
  ASSERT_NE(reader, nullptr);
  EXPECT_FALSE(lof_is_circular(reader));
  EXPECT_EQ(length(reader), 3);  // the last line has no newline yet
  EXPECT_EQ(get(reader, 2, 5), (std::vector<std::string>{"line 2\n", "line 3\n"}));
  spit(path, " now whole\nline 5\n", true);
  EXPECT_EQ(get(reader, 4, 3), (std::vector<std::string>{"partial now whole\n", "line 5\n"}));
  EXPECT_EQ(length(reader), 5);
  int got = -1;
  EXPECT_TRUE(get(reader, 9, 2, &got).empty());
  EXPECT_EQ(got, 0);
  EXPECT_EQ(get(reader, 1, 1), (std::vector<std::string>{"line 1\n"}));
  EXPECT_EQ(lof_reset(reader), 1);
  EXPECT_EQ(get(reader, 5, 1), (std::vector<std::string>{"line 5\n"}));
  EXPECT_GE(lof_get_fd(reader), 0);
  char *slot = nullptr;
  EXPECT_EQ(lof_get(reader, 0, 1, &slot, &got), 0);
  EXPECT_EQ(lof_error(), LOF_EREAD);
  EXPECT_EQ(lof_close(reader), 1);
  EXPECT_EQ(lof_open(dir.file("none").c_str()), nullptr);
  EXPECT_EQ(lof_open_regular(dir.file("").c_str()), nullptr);  // a folder
  EXPECT_EQ(lof_open_stream(path.c_str()), nullptr);
}

TEST_F(LofTest, EveryThousandthLineIsFoundAgainFromItsSavedOffset) {
  std::string path = dir.file("big");
  // Lines of varying length, so that a wrong offset shows as a wrong line.
  std::string text;
  for (int i = 1; i <= 3500; ++i) text += std::string(static_cast<size_t>(i % 7), '-') + std::to_string(i) + "\n";
  spit(path, text);
  lof *reader = lof_open_regular(path.c_str());
  ASSERT_NE(reader, nullptr);
  auto *r = reinterpret_cast<lofRegular *>(reader);
  EXPECT_EQ(get(reader, 3000, 1), (std::vector<std::string>{std::string(3000 % 7, '-') + "3000\n"}));
  ASSERT_EQ(r->offsets.size(), 3u);
  EXPECT_EQ(r->offsets[1], static_cast<long long>(text.find("\n" + std::string(2000 % 7, '-') + "2000\n") + 1));
  EXPECT_EQ(get(reader, 2500, 2), (std::vector<std::string>{std::string(2500 % 7, '-') + "2500\n",
                                                             std::string(2501 % 7, '-') + "2501\n"}));
  EXPECT_EQ(get(reader, 999, 3)[2], std::string(1001 % 7, '-') + "1001\n");
  EXPECT_EQ(length(reader), 3500);
  EXPECT_EQ(r->offsets.size(), 3u);
  lof_close(reader);
}

TEST_F(LofTest, RotatedFileKeepsItsReaderAndTheScannerFollowsTheNewOne) {
  std::string path = dir.file("syslog");
  spit(path, "old 1\nold 2\n");
  lof *reader = lof_open(path.c_str());
  ASSERT_NE(reader, nullptr);
  Seen reported;
  LofScanner *scanner = lofscan_open(path.c_str(), "ERR", 0, remember<LofScanner>, &reported);
  ASSERT_NE(scanner, nullptr);
  spit(path, "ERR before rotation\n", true);
  EXPECT_EQ(lofscan_check(scanner, 100, 100), 1);
  ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);
  spit(path + ".1", "old 3\n", true);
  spit(path, "new 1\nERR after rotation\n");
  // The reader stays with the file it opened; the scanner reads the new file from its start.
  EXPECT_EQ(get(reader, 3, 5), (std::vector<std::string>{"ERR before rotation\n", "old 3\n"}));
  EXPECT_EQ(lofscan_check(scanner, 100, 100), 1);
  EXPECT_EQ(reported.lines, (std::vector<std::string>{"ERR before rotation\n", "ERR after rotation\n"}));
  // Truncated in place: followed again from the first line.
  spit(path, "ERR truncated\n");
  EXPECT_EQ(lofscan_check(scanner, 100, 100), 1);
  EXPECT_STREQ(lofscan_last_msg(scanner), "ERR truncated\n");
  lofscan_close(scanner);
  lof_close(reader);
}

TEST_F(LofTest, CircularReaders) {
  std::string path = dir.file("agent.clog");
  clog *log = clog_create();
  ASSERT_EQ(clog_new_file_nl(log, path.c_str(), 4, 30), 0);
  ASSERT_EQ(clog_write_rec(log, "a\nb\nc"), 0);
  lof *reader = lof_open(path.c_str());
  ASSERT_NE(reader, nullptr);
  EXPECT_TRUE(lof_is_circular(reader));
  EXPECT_EQ(length(reader), 3);
  EXPECT_EQ(get(reader, 1, 5), (std::vector<std::string>{"a\n", "b\n", "c\n"}));
  ASSERT_EQ(clog_write_rec(log, "d\ne"), 0);  // a is overwritten
  int got = 0;
  EXPECT_EQ(get(reader, 1, 3, &got), (std::vector<std::string>{"<none>", "b\n", "c\n"}));
  EXPECT_EQ(got, 3);
  unsigned long firstAbs = 9, lastAbs = 9;
  EXPECT_EQ(lofc_firstline_abs(reader, &firstAbs), 1);
  EXPECT_EQ(lofc_lastline_abs(reader, &lastAbs), 1);
  EXPECT_EQ(firstAbs, 1u);
  EXPECT_EQ(lastAbs, 4u);
  std::vector<char *> slots(3, nullptr);
  EXPECT_EQ(lofc_get_abs(reader, 3, 3, slots.data(), &got), 1);
  EXPECT_EQ(got, 2);
  EXPECT_EQ(logtest::take(slots[0]), "d\n");
  EXPECT_EQ(logtest::take(slots[1]), "e\n");
  EXPECT_NEAR(static_cast<double>(lofc_get_createtime(reader)), static_cast<double>(time(nullptr)), 5);
  lof_close(reader);
  clog_destroy(log);
  EXPECT_EQ(lof_open_circular(dir.file("none").c_str()), nullptr);
  spit(dir.file("text"), "plain\n");
  EXPECT_EQ(lof_open_circular(dir.file("text").c_str()), nullptr);
  EXPECT_EQ(lof_error(), LOF_ENOTCLOG);
  lof *plain = lof_open(dir.file("text").c_str());
  EXPECT_FALSE(lof_is_circular(plain));
  lof_close(plain);
}

TEST_F(LofTest, ScannerBacklogAndChecks) {
  std::string path = dir.file("scan");
  spit(path, "ok\nERR one\nok\nERR two\nERR three\nok\n");
  Seen seen;
  LofScanner *scanner = lofscan_open(path.c_str(), "ERR", 2, remember<LofScanner>, &seen);
  ASSERT_NE(scanner, nullptr);
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"ERR two\n", "ERR three\n"}));
  EXPECT_STREQ(lofscan_last_msg(scanner), "ERR three\n");
  EXPECT_EQ(lofscan_check(scanner, 10, 10), 0);
  EXPECT_EQ(lofscan_check(scanner, 0, 10), -1);
  EXPECT_EQ(lofscan_check(scanner, 10, 0), -1);
  EXPECT_EQ(lofscan_check(nullptr, 10, 10), -1);
  spit(path, "ERR four\nok\nERR five\nERR six\nunfinished ERR", true);
  seen.lines.clear();
  EXPECT_EQ(lofscan_check(scanner, 2, 10), 1);  // two lines examined
  EXPECT_EQ(lofscan_check(scanner, 10, 1), 1);  // stops at the first match
  EXPECT_EQ(lofscan_check(scanner, 10, 10), 1);
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"ERR four\n", "ERR five\n", "ERR six\n"}));
  spit(path, "\n", true);
  EXPECT_EQ(lofscan_check(scanner, 10, 10), 1);
  EXPECT_STREQ(lofscan_last_msg(scanner), "unfinished ERR\n");
  lofscan_close(scanner);

  Seen all;
  scanner = lofscan_open(path.c_str(), "ERR", -1, remember<LofScanner>, &all);
  EXPECT_EQ(all.lines.size(), 7u);
  lofscan_close(scanner);
  scanner = lofscan_open(path.c_str(), "ERR", 5, nullptr, nullptr);  // no callback: the newest only
  EXPECT_STREQ(lofscan_last_msg(scanner), "unfinished ERR\n");
  lofscan_close(scanner);
  EXPECT_EQ(lofscan_open(path.c_str(), nullptr, 0, nullptr, nullptr), nullptr);
  EXPECT_EQ(lofscan_open(dir.file("none").c_str(), "x", 0, nullptr, nullptr), nullptr);

  // A text with a line break inside is in no line; an empty text is in every line.
  spit(dir.file("small"), "ab\ncd\n");
  Seen none, every;
  scanner = lofscan_open(dir.file("small").c_str(), "b\nc", -1, remember<LofScanner>, &none);
  lofscan_close(scanner);
  scanner = lofscan_open(dir.file("small").c_str(), "", -1, remember<LofScanner>, &every);
  lofscan_close(scanner);
  EXPECT_TRUE(none.lines.empty());
  EXPECT_EQ(every.lines.size(), 2u);

  // Across block boundaries and saved offsets: the fast path agrees with a line-by-line count.
  std::string big;
  int expected = 0;
  for (int i = 1; i <= 60000; ++i) {
    bool hit = i % 977 == 0 || i == 1000 || i == 59999;
    expected += hit;
    big += std::string(static_cast<size_t>(i % 50), 'x') + (hit ? "needle" : "hay") + std::to_string(i) + "\n";
  }
  spit(dir.file("big"), "");
  Seen found;
  scanner = lofscan_open(dir.file("big").c_str(), "needle", 0, remember<LofScanner>, &found);
  spit(dir.file("big"), big);
  EXPECT_EQ(lofscan_check(scanner, 100000, 100000), expected);
  EXPECT_EQ(found.lines.back(), std::string(59999 % 50, 'x') + "needle59999\n");
  lofscan_close(scanner);
}

TEST_F(LofTest, ScannerAndViewerOnACircularLog) {
  std::string path = dir.file("scan.clog");
  clog *log = clog_create();
  ASSERT_EQ(clog_new_file_nl(log, path.c_str(), 6, 60), 0);
  ASSERT_EQ(clog_write_rec(log, "ERR Jan 02 2020 10:00:00 one\nINFO Jan 02 2020 10:00:01 two\n"), 0);
  Seen seen;
  LofScanner *scanner = lofscan_open(path.c_str(), "ERR", 5, remember<LofScanner>, &seen);
  ASSERT_NE(scanner, nullptr);
  EXPECT_EQ(seen.lines, (std::vector<std::string>{"ERR Jan 02 2020 10:00:00 one\n"}));
  ASSERT_EQ(clog_write_rec(log, "ERR Jan 02 2020 10:00:02 three\n  more of three\n"), 0);
  EXPECT_EQ(lofscan_check(scanner, 10, 10), 1);
  EXPECT_STREQ(lofscan_last_msg(scanner), "ERR Jan 02 2020 10:00:02 three\n");
  lofscan_close(scanner);

  LofViewer *viewer = lofview_open("kovralog", path.c_str(), "three", 5, 0, 0, 0, 1, 0, nullptr, nullptr);
  ASSERT_NE(viewer, nullptr);
  const char *const *matches = nullptr;
  ASSERT_EQ(lofview_matches(viewer, &matches), 1);
  EXPECT_STREQ(matches[0], "ERR Jan 02 2020 10:00:02 three\n  more of three\n");
  lofview_close(viewer);
  clog_destroy(log);
}

TEST_F(LofTest, ViewerSearchesRecordsWithinTheTimeWindow) {
  std::string path = dir.file("agent.log");
  spit(path,
       "INFO Jan 02 2020 10:00:00 started\n"
       "  detail of start\n"
       "WARN Jan 02 2020 11:00:00 disk 91% full\n"
       "  on /var\n"
       "WARN Jan 03 2020 09:00:00 disk 95% full\n");
  Seen got;
  struct tm when {};
  when.tm_year = 120;
  when.tm_mon = 0;
  when.tm_mday = 2;
  when.tm_hour = 10;
  when.tm_min = 30;
  when.tm_isdst = -1;
  time_t start = mktime(&when);
  LofViewer *viewer = lofview_open("kovralog", path.c_str(), "disk [0-9]+%", 10, 0, start, 0, 0, 0, remember<LofViewer>, &got);
  ASSERT_NE(viewer, nullptr);
  ASSERT_EQ(got.lines.size(), 1u);
  std::string first = "WARN Jan 02 2020 11:00:00 disk 91% full\n  on /var";
  std::string second = "WARN Jan 03 2020 09:00:00 disk 95% full";
  char header[32];
  std::snprintf(header, sizeof header, "00000002%08zx", first.size());
  std::string expected = header + first;
  std::snprintf(header, sizeof header, "%08zx", second.size());
  EXPECT_EQ(got.lines[0], expected + header + second);
  lofview_close(viewer);

  // Backward walk with an end to the window: the newest match ends up last after packing.
  got.lines.clear();
  viewer = lofview_open("kovralog", path.c_str(), "full", 10, 0, 0, start + 3600, 1, 0, remember<LofViewer>, &got);
  ASSERT_NE(viewer, nullptr);
  const char *const *matches = nullptr;
  ASSERT_EQ(lofview_matches(viewer, &matches), 1);
  EXPECT_EQ(std::string(matches[0]), first + "\n");
  lofview_close(viewer);

  got.lines.clear();
  EXPECT_EQ(lofview_open("other", path.c_str(), "([", 10, 0, 0, 0, 0, 0, remember<LofViewer>, &got), nullptr);
  EXPECT_EQ(got.lines, (std::vector<std::string>{"-0000001"}));
  got.lines.clear();
  EXPECT_EQ(lofview_open("other", dir.file("none").c_str(), "x", 10, 0, 0, 0, 0, 0, remember<LofViewer>, &got), nullptr);
  EXPECT_EQ(got.lines, (std::vector<std::string>{"-0000001"}));
}

TEST_F(LofTest, ViewerFollowsNewLinesAndPacksMatches) {
  std::string path = dir.file("follow.log");
  spit(path, "a match\nnothing\n");
  Seen got;
  EXPECT_EQ(lofview_monitor("other", path.c_str(), "match", 10, 0, remember<LofViewer>, &got), 1);
  spit(path, "second match\nthird match\n", true);
  EXPECT_EQ(lofview_monitor("other", path.c_str(), "match", 10, 0, remember<LofViewer>, &got), 2);
  EXPECT_EQ(lofview_monitor("other", path.c_str(), "match", 10, 0, remember<LofViewer>, &got), 0);
  ASSERT_EQ(got.lines.size(), 3u);
  EXPECT_EQ(got.lines[1], "000000020000000csecond match0000000bthird match");
  EXPECT_EQ(got.lines[2], "00000000");

  char one[] = "x\\\\\\\\y\n", two[] = "z";
  char *list[] = {one, two};
  std::unique_ptr<char, decltype(&std::free)> forward(logview_combine_data(list, 2, 0, 0), std::free);
  EXPECT_EQ(std::string(forward.get()), "0000000200000003x\ny00000001z");
  std::unique_ptr<char, decltype(&std::free)> backward(logview_combine_data(list, 2, 1, 0), std::free);
  EXPECT_EQ(std::string(backward.get()), "0000000200000001z00000003x\ny");
}

}  // namespace
