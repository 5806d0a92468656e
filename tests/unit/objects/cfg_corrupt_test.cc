// The reader on damaged configuration files: the sample files cut at every byte and with a bit
// flipped at every byte, and absurd inputs. Each either reads or fails with the messages the
// reader documents, and a failure leaves the tree it read into exactly as it was before.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../test_support.h"
#include "telvi/cfgfile.h"
#include "telvi/id.h"
#include "telvi/toe.h"

namespace {

const std::set<std::string> kDocumented = {
    "syntax error",      "yacc stack overflow",        "Failed to set value",
    "ACTION did not return VALUE", "Failed to set KEYLIST from ACTION", "badly placed ':'",
    "failed to create tree object", "action not registered", "action failed",
    "Bad arguments for load operation", "attempted to exceed maximum file nesting depth", "failed to open file"};

std::vector<std::string> messages, files;

int collect(toe *, int argc, char **argv, void *, char **) {
  files.emplace_back(argc == 5 ? argv[1] : "");
  messages.emplace_back(argc == 5 ? argv[3] : "<malformed report>");
  return 0;
}

int refuse(toe *, int, char **, void *, char **) { return -1; }

const std::string kData = TELVI_SOURCE_DIR "/tests/data/config/";

using testsupport::slurp;

class CfgCorrupt : public ::testing::Test {
 protected:
  void SetUp() override {
    idInit();
    cfgyaccRegisterAction("parse_error", collect, nullptr);
    cfgyaccRegisterAction("refuse", refuse, nullptr);
    rebuild("hostmon.cfg");
  }
  void TearDown() override {
    toeDestroyHierarchy(root);
    std::remove(scratch.c_str());
  }

  // The tree a damaged text is read into: the sample it belongs to (hostmon.cfg loads the others),
  // so that damaged lines meet existing objects and keys, which a failure must leave as they were.
  void rebuild(const std::string &sample) {
    base = sample;
    if (root != nullptr) toeDestroyHierarchy(root);
    root = toeCreate(nullptr, 0, nullptr);
    messages.clear();
    ASSERT_EQ(0, cfgfileParseFile((kData + sample).c_str(), root));
    before = snapshot();
  }
  void rebuild() { rebuild(base); }
  void baseFor(const std::string &sample) {
    std::string wanted = sample == "datatree.cfg" ? sample : "hostmon.cfg";
    if (wanted != base) rebuild(wanted);
  }
  // Every slice of every object (bookkeeping included, so key order and child ids count) and the
  // parents.
  std::string snapshot() {
    char *text = cfgfileWriteToString(root, nullptr, nullptr, 0, CFG_EXPORT_INDENT | CFG_EXPORT_PARENTS, nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
    std::string copy = text != nullptr ? text : "<no export>";
    std::free(text);
    return copy;
  }

  // Reads text into the tree; on failure checks the reports and that nothing changed. Returns the
  // reader's result. A success that changed the tree rebuilds it for the next case.
  int check(const std::string &text, const std::string &what) {
    messages.clear();
    int ids = idCount("toe");
    int code = cfgfileParseStringSlice(text.c_str(), root, "value", 0, nullptr, 0);
    if (code == 0) {
      if (idCount("toe") != ids || snapshot() != before) rebuild();
      return code;
    }
    EXPECT_FALSE(messages.empty()) << what;
    for (const std::string &message : messages) EXPECT_EQ(1u, kDocumented.count(message)) << what << ": " << message;
    EXPECT_EQ(ids, idCount("toe")) << what;
    std::string after = snapshot();
    if (after != before) {
      ADD_FAILURE() << what << ": the failed read changed the tree";
      rebuild();
    }
    return code;
  }

  // Reads text as a file that a parse loads before it fails on purpose, which takes back whatever
  // the text did: the tree must come out unchanged either way. Returns the text's own result.
  int checkLoaded(const std::string &text, const std::string &what) {
    std::ofstream(scratch, std::ios::binary | std::ios::trunc) << text;
    messages.clear();
    files.clear();
    int ids = idCount("toe");
    std::string outer = "[ load " + scratch + " ]\n[ refuse ]\n";
    EXPECT_EQ(-1, cfgfileParseStringSlice(outer.c_str(), root, "value", 0, nullptr, 0)) << what;
    int code = 0;
    for (size_t i = 0; i < messages.size(); ++i) {
      EXPECT_EQ(1u, kDocumented.count(messages[i])) << what << ": " << messages[i];
      if (files[i] != "<STRING INPUT>") code = -1;
    }
    EXPECT_EQ(ids, idCount("toe")) << what;
    if (snapshot() != before) {
      ADD_FAILURE() << what << ": the tree changed";
      rebuild();
    }
    return code;
  }

  // The loads inside the samples name their files relative to this folder.
  testsupport::EnvGuard path{"INTERFACE_PATH", kData.c_str()};
  toe *root = nullptr;
  // A file rewritten for every case: in memory when the host has a tmpfs.
  const std::string scratch = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/telvi-corrupt-" +
                              std::to_string(getpid()) + ".cfg";
  std::string before, base;
};

const char *const kSamples[] = {"hostmon.cfg", "classes.cfg", "classes-table.cfg", "hostmon-fs.cfg",
                                "hostmon-net.cfg", "site-limits.cfg", "datatree.cfg"};

TEST_F(CfgCorrupt, EveryTruncation) {
  for (const char *sample : kSamples) {
    baseFor(sample);
    std::string text = slurp(kData + sample);
    ASSERT_FALSE(text.empty()) << sample;
    int failed = 0;
    for (size_t length = 0; length < text.size(); ++length)
      failed += check(text.substr(0, length), std::string(sample) + " cut at " + std::to_string(length)) != 0;
    EXPECT_GT(failed, 0) << sample;
  }
}

TEST_F(CfgCorrupt, EveryFlippedByte) {
  for (const char *sample : kSamples) {
    baseFor(sample);
    std::string text = slurp(kData + sample);
    int failed = 0;
    for (size_t at = 0; at < text.size(); ++at) {
      std::string damaged = text;
      // One bit per byte, a different one from byte to byte: letters change case or turn into
      // punctuation, braces and "=" into other characters, newlines and blanks into controls.
      damaged[at] = static_cast<char>(damaged[at] ^ (1 << (at % 8)));
      failed += checkLoaded(damaged, std::string(sample) + " flipped at " + std::to_string(at)) != 0;
    }
    EXPECT_GT(failed, 0) << sample;
  }
}

TEST_F(CfgCorrupt, AbsurdContents) {
  auto repeat = [](const std::string &piece, size_t times) {
    std::string text;
    text.reserve(piece.size() * times);
    for (size_t i = 0; i < times; ++i) text += piece;
    return text;
  };
  const std::string big(1 << 20, 'x');
  struct Case {
    std::string name, text;
    bool reads;
  } cases[] = {
      {"closing braces", repeat("}\n", 10000), false},
      {"opening braces", repeat("a = {\n", 100000), false},
      {"braces on one line", repeat("{", 100000) + "\n", false},
      {"brackets", repeat("[", 1000) + repeat("]", 1000) + "\n", false},
      {"equals", repeat("= ", 10000) + "\n", false},
      {"quotes", repeat("\"", 10001) + "\n", false},
      {"escaped quotes", "k = \"" + repeat("\\\"", 100000) + "\n", true},
      {"a block left open", "hostmon = {\ncpu = {\nk = 1\n", false},
      {"deep key path", repeat("a.", 100000) + "k = 1\n", false},
      {"deep block path", repeat("a.", 100000) + "a = {\n}\n", false},
      {"superiors", repeat("^", 100000) + "k.k = 1\n", false},
      {"long key", big + " = 1\n", false},
      {"long block name", big + " = {\n}\n", false},
      {"long value", "k = " + big + "\n", true},
      {"long quoted value", "k = \"" + big + "\"\n", true},
      {"long action", "[ " + big + " ]\n", false},
      {"long comment", "# " + big + "\n", true},
      {"long continuation", "k = v" + repeat("\\\n", 100000) + "\n", true},
      {"many lines", repeat("k = v\n", 100000), true},
      {"NUL alone", std::string(1, '\0'), false},
      {"NUL before a key", std::string("a = 1\n\0b = 2\n", 13), false},
      {"NUL in a key", std::string("a\0b = 2\n", 8), false},
      {"NUL in a value", std::string("k = a\0b\n", 8), false},
      {"NUL in a quoted value", std::string("k = \"a\0b\"\n", 10), false},
      {"NUL in an action", std::string("[ inherit \0 ]\n", 14), false},
      {"NUL in a comment", std::string("# a\0b\nk = 1\n", 12), false},
      {"NUL in a block", std::string("hostmon = {\nk = 1\n\0\n}\n", 22), false},
      {"bytes above 127", "k = 1\n\xff\xfe = 2\n", false},
  };
  for (const Case &c : cases) {
    // Strings end at their first NUL: texts that hold one go through a file.
    if (c.text.find('\0') != std::string::npos) {
      std::ofstream(scratch, std::ios::binary | std::ios::trunc) << c.text;
      messages.clear();
      EXPECT_EQ(-1, cfgfileParseFile(scratch.c_str(), root)) << c.name;
      ASSERT_FALSE(messages.empty()) << c.name;
      EXPECT_EQ("syntax error", messages[0]) << c.name;
      EXPECT_EQ(before, snapshot()) << c.name;
      continue;
    }
    EXPECT_EQ(c.reads ? 0 : -1, check(c.text, c.name)) << c.name << (messages.empty() ? "" : ": " + messages[0]);
  }
}

}  // namespace
