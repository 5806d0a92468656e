// Diagnostic channels, their configuration files and the string-keyed table.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

#include "../test_support.h"
#include "telvi/cfg.h"
#include "telvi/ddl.h"
#include "telvi/package.h"
#include "util/strtable.h"

namespace {

using testsupport::slurp;
using testsupport::TempDir;

TEST(StringTable, BucketsAndOrder) {
  // h = h * 31 + byte over signed bytes, modulo 101.
  EXPECT_EQ(telvi::stringTableBucket("a"), 97 % 101);
  EXPECT_EQ(telvi::stringTableBucket("ab"), (97 * 31 + 98) % 101);
  EXPECT_EQ(telvi::stringTableBucket(""), 0);
  telvi::StringTable<int> table;
  table.set("x", 1);
  table.set("x", 2);
  table.set("y", 3);
  EXPECT_EQ(*table.find("x"), 2);
  EXPECT_EQ(table.size(), 2u);
  EXPECT_TRUE(table.erase("x"));
  EXPECT_EQ(table.find("x"), nullptr);
  EXPECT_FALSE(table.erase("x"));
}

TEST(Cfg, ReadsBlocksKeysCommentsAndContinuations) {
  TempDir dir;
  std::ofstream(dir.file("c.cfg")) << "# head\n"
                                      "agent:\n"
                                      "  name = first   # a comment\n"
                                      "  list = a b \\\n"
                                      "c\n"
                                      "  empty =\n"
                                      "  name = second\n"
                                      "\n"
                                      "other :\n"
                                      "  name = third\n";
  cfgFile *cfg = cfgLoad(nullptr, dir.file("c.cfg").c_str());
  ASSERT_NE(cfg, nullptr);
  EXPECT_STREQ(cfgGet(cfg, "agent", "name"), "second");
  EXPECT_STREQ(cfgGet(cfg, "agent", "list"), "a b c");
  EXPECT_STREQ(cfgGet(cfg, "agent", "empty"), "");
  EXPECT_STREQ(cfgGet(cfg, "other", "name"), "third");
  EXPECT_EQ(cfgGet(cfg, "agent", "none"), nullptr);

  EXPECT_EQ(cfgSet(cfg, "other", "name", "fourth"), 0);
  EXPECT_EQ(cfgSet(cfg, "other", "added", "1"), 0);
  EXPECT_EQ(cfgSet(cfg, "new", "k", "v"), 0);
  EXPECT_EQ(cfgDelKey(cfg, "agent", "list"), 0);
  EXPECT_EQ(cfgDelBlock(cfg, "agent"), 0);
  EXPECT_EQ(cfgDelBlock(cfg, "agent"), -1);
  ASSERT_EQ(cfgSave(cfg, dir.file("out.cfg").c_str()), 0);
  cfgFree(cfg);
  EXPECT_EQ(slurp(dir.file("out.cfg")), "# head\nother :\n\tadded = 1\n\tname = fourth\nnew:\n\tk = v\n");
  EXPECT_EQ(cfgLoad(nullptr, dir.file("missing").c_str()), nullptr);
}

// What the API writes reads back from the saved file as it was set: names and values the format
// cannot hold are refused, a line ending in a backslash stays its own line, a line of exactly the
// line limit gains no blank line on each load and save, and the nameless block (the lines before the
// first header) can be deleted like any other.
TEST(Cfg, WritesOnlyWhatReadsBack) {
  TempDir dir;
  cfgFile *cfg = cfgCreate();
  std::string longValue(4100, 'v');
  const char *refused[][3] = {{"b", "k=x", "v"}, {"b", "k", "v # c"}, {"b", "k", "v\nw"},  {"b", "k", "v:"},
                              {"b", "k", " v"},  {"b", " k", "v"},    {"b#", "k", "v"},     {"b\n", "k", "v"},
                              {"b", "k", longValue.c_str()}};
  for (auto &r : refused) {
    EXPECT_EQ(cfgSet(cfg, r[0], r[1], r[2]), -1) << r[0] << "." << r[1] << " = " << r[2];
    EXPECT_EQ(cfgGet(cfg, r[0], r[1]), nullptr);
  }
  ASSERT_EQ(cfgSet(cfg, "b", "dir", "c:\\tmp\\"), 0);
  ASSERT_EQ(cfgSet(cfg, "b", "next", "1"), 0);
  ASSERT_EQ(cfgSave(cfg, dir.file("set.cfg").c_str()), 0);
  cfgFree(cfg);
  cfg = cfgLoad(nullptr, dir.file("set.cfg").c_str());
  ASSERT_NE(cfg, nullptr);
  EXPECT_STREQ(cfgGet(cfg, "b", "dir"), "c:\\tmp\\");
  EXPECT_STREQ(cfgGet(cfg, "b", "next"), "1");
  cfgFree(cfg);

  // A last line ending in a backslash, and a line of 4095 bytes: saved, they read and save the same.
  std::string text = "# " + std::string(4093, 'x') + "\na:\n k = v\n last = x\\";
  std::ofstream(dir.file("edge.cfg")) << text;
  cfg = cfgLoad(nullptr, dir.file("edge.cfg").c_str());
  ASSERT_NE(cfg, nullptr);
  EXPECT_STREQ(cfgGet(cfg, "a", "last"), "x\\");
  ASSERT_EQ(cfgSave(cfg, dir.file("edge1.cfg").c_str()), 0);
  cfgFree(cfg);
  cfg = cfgLoad(nullptr, dir.file("edge1.cfg").c_str());
  ASSERT_NE(cfg, nullptr);
  EXPECT_STREQ(cfgGet(cfg, "a", "last"), "x\\");
  ASSERT_EQ(cfgSave(cfg, dir.file("edge2.cfg").c_str()), 0);
  cfgFree(cfg);
  EXPECT_EQ(slurp(dir.file("edge1.cfg")), text + " \n");
  EXPECT_EQ(slurp(dir.file("edge2.cfg")), slurp(dir.file("edge1.cfg")));

  std::ofstream(dir.file("top.cfg")) << "k = 1\na:\n k = 2\n";
  cfg = cfgLoad(nullptr, dir.file("top.cfg").c_str());
  ASSERT_NE(cfg, nullptr);
  EXPECT_STREQ(cfgGet(cfg, "", "k"), "1");
  EXPECT_EQ(cfgDelBlock(cfg, ""), 0);
  EXPECT_EQ(cfgGet(cfg, "", "k"), nullptr);
  EXPECT_STREQ(cfgGet(cfg, "a", "k"), "2");
  cfgFree(cfg);
}

TEST(Ddl, ConfiguredChannelsExportsAndTheSignal) {
  Intfile_InitInternal();
  TempDir dir;
  std::string log = dir.file("diag.log");
  setenv("DDL_TIMESTAMP_FORMAT", "%Y", 1);
  std::ofstream(dir.file("agent.cfg")) << "unitagent:\n"
                                          "  ddl_config_block = diag\n"
                                          "diag:\n"
                                          "  timestamp_format = [%H:%M:%S]\n"
                                          "  all_channels = export, u_info | u_off\n"
                                          "  export = file://localhost/" << log << ";flags=w+\n"
                                          "  u_info = file:" << log << ":w+\n"
                                          "  u_off = file:" << log << ":w+\n"
                                          "  active_channels = export u_info\n"
                                          "  export_vars = counter, label ratio\n"
                                          "  export_signal = 0x1e\n";
  cfgFile *cfg = cfgLoad(nullptr, dir.file("agent.cfg").c_str());
  ASSERT_NE(cfg, nullptr);
  static int counter = 41;
  static double ratio = 0.5;
  ddlExport("counter", DDL_EXPORT_PINT, &counter);
  ddlExport("label", DDL_EXPORT_STRING, const_cast<char *>("agent x"));
  ddlExport("ratio", DDL_EXPORT_PDOUBLE, &ratio);
  ddlExport("word", 9, reinterpret_cast<void *>(0x2a));
  ddlInit("unitagent", cfg);
  cfgFree(cfg);
  unsetenv("DDL_TIMESTAMP_FORMAT");

  EXPECT_EQ(ddlChannelIsEnabled("u_info"), 1);
  EXPECT_EQ(ddlChannelIsEnabled("u_off"), 0);
  EXPECT_EQ(ddlPrintf("u_info", "n=%d\n", 7), 0);
  EXPECT_EQ(ddlPrintf("u_off", "hidden\n"), 0);
  EXPECT_EQ(ddlExportSetValue("counter", "42"), 0);
  EXPECT_EQ(ddlExportSetValue("counter", "junk"), 0);
  char shown[64];
  ASSERT_EQ(ddlExportGetValue("word", shown, sizeof shown), 0);
  EXPECT_STREQ(shown, "0x0000002A");
  ASSERT_EQ(ddlExportGetValue("ratio", shown, sizeof shown), 0);
  EXPECT_STREQ(shown, "0.500000");
  EXPECT_EQ(ddlExportGetValue("nosuch", shown, sizeof shown), -1);

  raise(0x1e);  // the configured export signal (SIGUSR1 on Linux is 10, 0x1e is SIGPWR)
  std::string text = slurp(log);
  const std::string header = R"(\[\d\d:\d\d:\d\d\] unitagent     )";
  std::regex expected("^export   " + header + "application = unitagent\n" +
                      "export   " + header + "pid = \\d+\n" +
                      "u_info   " + header + "n=7\n" +
                      "export   " + header + "counter = 42\n" +
                      "export   " + header + "label = \"agent x\"\n" +
                      "export   " + header + "ratio = 0.500000\n$");
  EXPECT_TRUE(std::regex_match(text, expected)) << text;
  for (const char *name : {"export", "u_info", "u_off"}) EXPECT_EQ(ddlChannelDestroy(name), 0);
  EXPECT_EQ(ddlChannelDestroy("export"), -1);
  signal(0x1e, SIG_DFL);
}

TEST(Ddl, SpecialChannelsAndOversizedLines) {
  Intfile_InitInternal();
  TempDir dir;
  ddlInit("unitagent", nullptr);
  static std::string seen;
  static void *seenArgument;
  auto callback = [](const char *line, void *argument) {
    seen = line;
    seenArgument = argument;
  };
  int marker;
  ASSERT_EQ(ddlChannelCreateSpecial("u_special", ("file:" + dir.file("s.log") + ":w").c_str(), callback), 0);
  ddlChannelEnable("u_special");
  EXPECT_EQ(ddlPrintfSpecial("u_special", &marker, "%s\n", "hello"), 0);
  EXPECT_TRUE(seen.ends_with("unitagent     hello\n")) << seen;
  EXPECT_EQ(seenArgument, &marker);
  // Too long: not written, reported on standard error instead.
  std::string big(5000, 'x');
  testing::internal::CaptureStderr();
  EXPECT_EQ(ddlPrintf("u_special", "%s", big.c_str()), -1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("DDL message boundary exceeded ... memory corrupted\nmessage='", 0), 0u);
  // ddlPrint sizes its buffer to the text.
  EXPECT_EQ(ddlPrint("u_special", big.c_str()), 0);
  EXPECT_TRUE(seen.starts_with("u_special ") && seen.ends_with("unitagent     " + big)) << seen.size();
  EXPECT_EQ(ddlChannelCreate("u_special", nullptr), 0);  // exists: nothing changes
  EXPECT_EQ(ddlChannelCreate(nullptr, nullptr), -1);
  EXPECT_EQ(ddlChannelValidate("u_special"), 0);
  EXPECT_EQ(ddlChannelValidate("u_nosuch"), -1);
  ddlChannelDestroy("u_special");
}

}  // namespace
