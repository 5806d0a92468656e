// Configuration object files through the C interface: what the scanner and grammar make of the
// text, how errors are reported, nested loads and the parser's limits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../test_support.h"
#include "telvi/cfgfile.h"
#include "telvi/id.h"
#include "telvi/toe.h"

namespace {

std::vector<std::string> reports;

// Replaces the built-in reporter: "file(line): message at token".
int collect(toe *, int argc, char **argv, void *, char **) {
  std::string text;
  if (argc == 5) text = std::string(argv[1]) + "(" + argv[2] + "): " + argv[3] + " at '" + argv[4] + "'";
  reports.push_back(text);
  return 0;
}

int answer(toe *, int argc, char **argv, void *, char **result) {
  if (result != nullptr) *result = strdup(argc > 1 ? argv[1] : "none");
  return 0;
}

int refuse(toe *, int, char **, void *, char **) { return -1; }

std::string value(toe *object, const char *slice, const char *key) {
  const char *text = toeLookupString(object, 0, slice, key);
  return text != nullptr ? text : "<none>";
}
std::string value(toe *object, const char *key) { return value(object, "value", key); }

class CfgFile : public ::testing::Test {
 protected:
  void SetUp() override {
    idInit();
    cfgyaccRegisterAction("parse_error", collect, nullptr);
    reports.clear();
    root = toeCreate(nullptr, 0, nullptr);
  }
  void TearDown() override { toeDestroyHierarchy(root); }
  std::string file(const std::string &name, const std::string &text) {
    std::string path = dir.file(name);
    std::ofstream(path) << text;
    return path;
  }
  int parse(const std::string &text, int exact = 0) {
    return cfgfileParseStringSlice(text.c_str(), root, "value", exact, nullptr, 0);
  }
  toe *at(const char *path) { return toeLocate(root, path, 0, nullptr, nullptr, 0); }

  toe *root = nullptr;
  testsupport::TempDir dir;
  const std::string &directory = dir.path();
};

TEST_F(CfgFile, LinesBlocksAndKeyPaths) {
  ASSERT_EQ(0, parse("a = 1\nb = {\nc = 2\n}\nk =\ns:k = v\nx.y.k = deep\ne = {}\n"));
  EXPECT_EQ("1", value(root, "a"));
  ASSERT_NE(nullptr, at("b"));
  EXPECT_EQ("2", value(at("b"), "c"));
  ASSERT_NE(nullptr, toeRawLookup(root, 0, "value", "k"));
  EXPECT_EQ(nullptr, toeLookupString(root, 0, "value", "k"));  // defined, with no value
  EXPECT_EQ("v", value(root, "s", "k"));
  EXPECT_EQ("deep", value(at("x.y"), "k"));
  EXPECT_NE(nullptr, at("e"));
  EXPECT_TRUE(reports.empty());
  // Nothing of the block bookkeeping remains.
  EXPECT_EQ(nullptr, toeEntries(at("b"), "\003_PARSE_\003"));

  // Exact: objects must exist.
  EXPECT_EQ(0, parse("x.y.k = again\n", 1));
  EXPECT_EQ("again", value(at("x.y"), "k"));
  EXPECT_EQ(-1, parse("no.such.k = 1\n", 1));
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ("<STRING INPUT>(1): Failed to set value at '1'", reports[0]);
  EXPECT_EQ(nullptr, at("no"));
}

TEST_F(CfgFile, ValuesQuotingContinuationAndComments) {
  ASSERT_EQ(0, parse("# a comment\n"
                     "plain = some text   \t\n"
                     "hash = a#b  # stays\n"
                     "semi = one; two = 2\n"
                     "cont = first \\\n   second\n"
                     "quoted = \"with ; and\nnewline and \\\"quotes\\\"\"  # comment\n"
                     "brace = x }\n"
                     "escapes = \\a\\b\\f\\n\\r\\t\\v|\\x41\\x4a42|\\xz|\\101\\18\\9|\\q\n"
                     "joined = \"a\\\n      b\"\n"
                     "later = \\\n   on the next line\n"
                     "block = \\\n{\n}\n"
                     "empty = \"\"\n"
                     "last = no newline"));
  EXPECT_EQ("some text", value(root, "plain"));
  EXPECT_EQ("a#b  # stays", value(root, "hash"));
  EXPECT_EQ("one", value(root, "semi"));
  EXPECT_EQ("2", value(root, "two"));
  EXPECT_EQ("first    second", value(root, "cont"));
  EXPECT_EQ("with ; and\nnewline and \"quotes\"", value(root, "quoted"));
  EXPECT_EQ("x }", value(root, "brace"));
  EXPECT_EQ(std::string("\a\b\f\n\r\t\v|AB|xz|A\x10\t|q"), value(root, "escapes"));
  EXPECT_EQ("a b", value(root, "joined"));
  EXPECT_EQ("on the next line", value(root, "later"));
  EXPECT_NE(nullptr, at("block"));
  EXPECT_EQ("", value(root, "empty"));
  EXPECT_EQ("no newline", value(root, "last"));

  // A block opened and a value ending in "}" on one line leaves the block open: the read fails.
  EXPECT_EQ(-1, parse("open = { b = 1 }\n"));
  EXPECT_EQ(nullptr, at("open"));
  EXPECT_EQ(0, parse("closed = { b = 1; }\n"));
  EXPECT_EQ("1", value(at("closed"), "b"));
  EXPECT_EQ(nullptr, toeEntries(at("closed"), "\003_PARSE_\003"));

  EXPECT_EQ(0, cfgyaccDebugOn());
  testing::internal::CaptureStderr();
  EXPECT_EQ(0, parse("#debug_on\nt = 1\n#debug_off\n"));
  std::string trace = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, trace.find("dlexer <STRING INPUT>(2): Matched KEYLIST 't'"));
  EXPECT_NE(std::string::npos, trace.find("parser: Matched KEY = VALUE"));
  EXPECT_EQ(0, cfgyaccDebugOn());
}

TEST_F(CfgFile, ErrorsNameFileLineAndToken) {
  struct Case {
    const char *text, *report;
  } cases[] = {
      // The end of an input pops it before the grammar sees the end: no input, no line.
      {"a = {\nb = 1\n", "(-1): syntax error at ''"},
      {"a = 1\n}\n", "(2): syntax error at '}'"},
      {"a = \"1\" b\n", "(1): syntax error at 'b'"},
      {"= 1\n", "(1): syntax error at '='"},
      {"k: = 1\n", "(1): badly placed ':' at '1'"},
      {"[ nosuch x ]\n", "(1): action not registered at ']'"},
      {"k = [ load a b c ]\n", "(1): Bad arguments for load operation at ']'"},
  };
  for (const Case &c : cases) {
    reports.clear();
    EXPECT_EQ(-1, parse(c.text)) << c.text;
    ASSERT_FALSE(reports.empty()) << c.text;
    EXPECT_EQ(std::string("<STRING INPUT>") + c.report, reports[0]) << c.text;
  }
  // A file's errors carry its name.
  std::string path = file("broken.cfg", "good = 1\nbad = {\n  inner = 2\n  x y\n}\n");
  reports.clear();
  EXPECT_EQ(-1, cfgfileParseFile(path.c_str(), root));
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(path + "(4): syntax error at 'y'", reports[0]);

  // The parser's stack holds 150 entries: the start state, two per open block (its name and its
  // lines so far) and the symbols of the current line.
  auto nested = [](int levels, const std::string &open, const std::string &inner) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "n = {" + open;
    text += inner;
    for (int i = 0; i < levels; ++i) text += "}\n";
    return text;
  };
  struct Depth {
    int levels;
    const char *open, *inner;
    bool fits;
  } depths[] = {{73, "\n", "k = v\n", true},  {74, "\n", "", true},       {73, "\n", "k =\n\n", false},
                {75, "\n", "", false},        {146, " ", "k = v\n", true}, {148, " ", "k = v\n", false}};
  for (const Depth &d : depths) {
    reports.clear();
    EXPECT_EQ(d.fits ? 0 : -1, parse(nested(d.levels, d.open, d.inner))) << d.levels << " " << d.inner;
    if (!d.fits) {
      ASSERT_FALSE(reports.empty());
      EXPECT_NE(std::string::npos, reports[0].find("yacc stack overflow"));
    }
  }

  // An unclosed block at the end of a loaded file is reported at the loading line.
  std::string open = file("open.cfg", "a = {\n");
  reports.clear();
  EXPECT_EQ(-1, parse("x = 1\n[ load " + open + " ]\n"));
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(open + "(2): syntax error at ''", reports[0]);

  reports.clear();
  EXPECT_EQ(nullptr, cfglexPushContext(nullptr, nullptr));
  EXPECT_EQ(std::vector<std::string>{"(-1): must specify either a string or a file at ''"}, reports);
  cfgyaccRegisterAction("answer", answer, nullptr);
  reports.clear();
  EXPECT_EQ(-1, parse("k: = [ answer 1 ]\n"));
  ASSERT_EQ(2u, reports.size());
  EXPECT_NE(std::string::npos, reports[1].find("Failed to set KEYLIST from ACTION"));
}

std::string snapshot(toe *object) {
  char *text = cfgfileWriteToString(object, nullptr, nullptr, 0, CFG_EXPORT_INDENT | CFG_EXPORT_PARENTS, nullptr,
                                    nullptr, nullptr, nullptr, nullptr);
  std::string copy = text != nullptr ? text : "<none>";
  std::free(text);
  return copy;
}

// A read that fails takes back all it did, and all that the files it loaded did: objects it
// created go, keys get their old values (types and places in the key lists included), inherits
// lose the parents they added.
TEST_F(CfgFile, FailedReadsAreTakenBack) {
  int number = 5;
  ASSERT_NE(nullptr, toeDefine(root, "value", "n", dataGetType("int"), &number));
  ASSERT_EQ(0, parse("a = 1\nb = {\n  c = 2\n}\nbase = { kind = x; sub = {}; }\nlast = 1\n"));
  std::string loaded = file("loaded.cfg", "a = from file\nfresh = { k = 1; }\nb.c = 3\n[ inherit base ]\n");
  std::string before = snapshot(root);
  int ids = idCount("toe");
  const std::string failing[] = {
      "a = 2\nnew = { x = 1; }\nb = {\n  [ inherit base ]\n  c = 4\n  d.e.f = 5\n}\ns:k = 1\n= oops\n",
      "a = 2\nn = not a number\n",  // the typed key refuses the text and is removed
      "[ load " + loaded + " ]\n[ nosuch ]\n",
      "b = {\n[ load " + loaded + " ]\n}\nnew = {\n",
      "a = 3\n" + [] {
        std::string path;
        for (int i = 0; i < 10000; ++i) path += "a.";
        return path;
      }() + "k = 1\n",  // 1000 objects are created before the path is refused
  };
  for (const std::string &text : failing) {
    EXPECT_EQ(-1, parse(text)) << text.substr(0, 60);
    EXPECT_EQ(before, snapshot(root)) << text.substr(0, 60);
    EXPECT_EQ(ids, idCount("toe")) << text.substr(0, 60);
  }
  EXPECT_EQ(dataGetType("int"), toeValGetDataType(toeRawLookup(root, 0, "value", "n")));
  EXPECT_EQ("5", value(root, "n"));

  // A read that an action starts is one of its own: its failure takes back its own work only,
  // and the read around it goes on.
  auto tolerate = [](toe *object, int, char **, void *, char **) {
    cfgfileParseString("inner = 1\nb = {\n", object);
    return 0;
  };
  cfgyaccRegisterAction("tolerate", tolerate, nullptr);
  EXPECT_EQ(0, parse("kept = 1\n[ tolerate ]\n"));
  EXPECT_EQ("1", value(root, "kept"));
  EXPECT_EQ("<none>", value(root, "inner"));
}

// Whatever the writer writes reads back: trees deeper than the reader's block nesting are written
// with blocks named by paths below CFG_BLOCK_NESTING, and the flat form carries long paths.
TEST_F(CfgFile, DeepTreesReadBack) {
  std::string text, path;
  for (int depth = 0; depth < 1000; ++depth) {
    text += path + "k = " + std::to_string(depth) + "\n";
    if (depth % 100 == 0) text += path + "side.s = x\n";
    path += "a.";
  }
  ASSERT_EQ(0, parse(text));
  const char *slices[] = {"value", "s"};
  for (int flags : {CFG_EXPORT_INDENT, 0, CFG_EXPORT_DOT, CFG_EXPORT_INDENT | CFG_EXPORT_PARENTS}) {
    char *written = cfgfileWriteToString(root, "value", slices, 2, flags, nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, written);
    if (flags & CFG_EXPORT_INDENT) {
      size_t tabs = 0, run = 0;
      for (const char *p = written; *p != '\0'; ++p) {
        run = *p == '\t' ? run + 1 : (*p == '\n' ? 0 : run);
        tabs = std::max(tabs, run);
      }
      EXPECT_EQ(CFG_BLOCK_NESTING + 1, static_cast<int>(tabs));
    }
    toe *copy = toeCreate(nullptr, 0, nullptr);
    reports.clear();
    EXPECT_EQ(0, cfgfileParseString(written, copy)) << flags << (reports.empty() ? "" : reports[0]);
    char *again = cfgfileWriteToString(copy, "value", slices, 2, flags, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_STREQ(written, again) << flags;
    std::free(again);
    std::free(written);
    toeDestroyHierarchy(copy);
  }
  char *flat = cfgfileWriteToString(root, "value", slices, 1, CFG_EXPORT_DOT, nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_NE(nullptr, std::strstr(flat, ("\n" + path.substr(0, path.size() - 2) + "k = \"999\"\n").c_str()));
  std::free(flat);
}

// A reporter that parses again (and fails again) is cut off after six nested reports.
int reparse(toe *object, int, char **, void *, char **) {
  reports.emplace_back("report");
  cfgfileParseString("bad = {\n", object);
  return 0;
}

TEST_F(CfgFile, ReportsNestSixDeep) {
  cfgyaccRegisterAction("parse_error", reparse, nullptr);
  EXPECT_EQ(-1, parse("a = {\n"));
  EXPECT_EQ(6u, reports.size());
}

TEST_F(CfgFile, ActionsLoadInheritAndResults) {
  std::string classes = file("classes.cfg", "base = {\n  kind = generic\n  color = blue\n}\n");
  std::string inner = file("inner.cfg", "leaf = 1\nsub = { q = 2; }\n");
  std::string main = file("main.cfg", "[ load " + classes + " ]\n"
                                      "item = {\n  [ inherit base ]\n  color = red\n}\n"
                                      "box = {\n  [ load " + inner + " ]\n}\n"
                                      "other = {}\n"
                                      "[ load " + inner + " -slice alt -superior other ]\n");
  ASSERT_EQ(0, cfgfileParseFile(main.c_str(), root)) << (reports.empty() ? "" : reports[0]);
  EXPECT_STREQ("generic", toeLookupString(at("item"), 1, "value", "kind"));
  EXPECT_EQ("red", value(at("item"), "color"));
  EXPECT_EQ("1", value(at("box"), "leaf"));
  EXPECT_EQ("2", value(at("box.sub"), "q"));
  EXPECT_EQ("1", value(at("other"), "alt", "leaf"));

  // A value from an action; "load" gives none; an unregistered word goes to the default action.
  cfgyaccRegisterAction("answer", answer, nullptr);
  EXPECT_EQ(0, parse("k = [ answer 42 ]\n"));
  EXPECT_EQ("42", value(root, "k"));
  reports.clear();
  EXPECT_EQ(-1, parse("k = [ load " + classes + " -exact ]\n"));
  ASSERT_FALSE(reports.empty());
  EXPECT_NE(std::string::npos, reports.back().find("ACTION did not return VALUE"));
  cfgyaccRegisterAction("PARSE_DEFAULT_ACTION", answer, nullptr);
  EXPECT_EQ(0, parse("d = [ whatever 7 ]\n"));
  EXPECT_EQ("7", value(root, "d"));
  cfgyaccRegisterAction("PARSE_DEFAULT_ACTION", refuse, nullptr);
  reports.clear();
  EXPECT_EQ(-1, parse("[ whatever ]\n"));
  EXPECT_EQ(std::vector<std::string>{"<STRING INPUT>(1): action failed at ']'"}, reports);
}

TEST_F(CfgFile, NestedLoadsStopAtTheDepthLimit) {
  std::string self = directory + "/self.cfg";
  file("self.cfg", "[ load " + self + " ]\n");
  reports.clear();
  EXPECT_EQ(-1, cfgfileParseFile(self.c_str(), root));
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(self + "(1): attempted to exceed maximum file nesting depth at ']'", reports[0]);
  EXPECT_EQ("", std::string(cfglexFile()));  // every input was popped
  EXPECT_EQ(-1, cfglexLineno());

  std::string missing = file("missing.cfg", "a = 1\n[ load " + directory + "/nothere.cfg ]\n");
  reports.clear();
  EXPECT_EQ(-1, cfgfileParseFile(missing.c_str(), root));
  ASSERT_EQ(2u, reports.size());
  EXPECT_NE(std::string::npos, reports[0].find("nothere.cfg(2): failed to open file"));
  EXPECT_EQ(missing + "(2): action failed at ']'", reports[1]);
}

TEST_F(CfgFile, LookupStringEscapesForQuoting) {
  // The writer's own forms and the round trip are driven through export and import in toeio.test.
  toeDefineString(root, "value", "q", nullptr, "say \"hi\" \\o/ \\");
  toeDefineString(root, "value", "none", nullptr, nullptr);
  char *escaped = cfgfileLookupString(root, 0, "value", "q");
  EXPECT_STREQ("say \\\"hi\\\" \\\\o/ \\\\", escaped);
  std::free(escaped);
  EXPECT_EQ(nullptr, cfgfileLookupString(root, 0, "value", "none"));
}

}  // namespace
