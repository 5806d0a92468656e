// libFuzzer target: the block/key configuration files of the diagnostic set-up. The input is a file.
//   - Loaded, every entry must read as a plain model of the format finds it (blocks, "key = value"
//     entries, '#' comments, backslash continuation, lines cut at 4095 bytes).
//   - Saved and loaded again it must hold the same entries, and a second save must write the same
//     bytes as the first.
//   - Entries set through the API (names taken from the file and from the input's bytes) read back as
//     set, before and after a save and load; deleted entries and blocks are gone. A name or value the
//     format cannot hold (a '#', a newline, a value ending in ':' or '\', blanks around it) is refused.
//   - The loaded file then configures the diagnostic channels (ddlInit, application "agent"). Every
//     interface class is replaced here by one that opens /dev/null, so no stream named in the input
//     is opened; the signal dispositions are put back afterwards.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "telvi/cfg.h"
#include "telvi/ddl.h"
#include "telvi/interface.h"

namespace {

std::string folder, input, saved, again;

int nullOpen(const char *urlOrSpec) {
  int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  if (intAdd(interfaceFindClass("desc"), fd, -1, -1, urlOrSpec, 2, -1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

const char *const kSchemes[] = {"desc", "file", "pipe", "inet", "unix", "syslog", "clog"};
intClass nullClasses[7];

bool setUp() {
  char pattern[] = "/tmp/blockcfg_parse.XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  folder = pattern;
  input = folder + "/in.cfg";
  saved = folder + "/saved.cfg";
  again = folder + "/again.cfg";
  std::atexit([] {
    for (const std::string *file : {&input, &saved, &again}) unlink(file->c_str());
    rmdir(folder.c_str());
  });
  interfaceInitialize();
  for (size_t i = 0; i < 7; ++i) {
    nullClasses[i] = intClass{kSchemes[i], nullOpen, nullptr, nullptr, nullptr,
                              nullptr,     nullptr,  nullptr, nullptr, nullptr};
    interfaceRegister(&nullClasses[i]);
  }
  unsetenv("DDL_TIMESTAMP_FORMAT");
  return true;
}

[[noreturn]] void fail(const char *what, const std::string &a = "", const std::string &b = "") {
  std::fprintf(stderr, "%s\n  first:  \"%s\"\n  second: \"%s\"\n", what, a.c_str(), b.c_str());
  std::abort();
}

std::string trim(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t\r\n\f\v");
  if (begin == std::string::npos) return "";
  size_t end = text.find_last_not_of(" \t\r\n\f\v");
  return text.substr(begin, end - begin + 1);
}

// ---- the model ----

// The logical lines of a file: physical lines of at most 4095 bytes (a longer one is cut into such
// pieces), a backslash before the newline joining the next line.
std::vector<std::string> modelLines(const std::string &text) {
  std::vector<std::string> lines;
  std::string pending;
  bool continued = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t newline = text.find('\n', at);
    size_t end = newline == std::string::npos ? text.size() : newline;
    size_t length = std::min<size_t>(end - at, 4095);
    std::string piece = text.substr(at, length);
    bool hadNewline = length == end - at && newline != std::string::npos;
    at += length + (hadNewline ? 1 : 0);
    // A piece cut at the limit whose line ends right after it: the newline ends this piece.
    if (!hadNewline && length == 4095 && at < text.size() && text[at] == '\n') {
      hadNewline = true;
      ++at;
    }
    pending += piece;
    continued = hadNewline && !piece.empty() && piece.back() == '\\';
    if (continued) {
      pending.pop_back();
      continue;
    }
    lines.push_back(pending);
    pending.clear();
  }
  if (continued || !pending.empty()) lines.push_back(pending);
  return lines;
}

using Entries = std::map<std::pair<std::string, std::string>, std::string>;

Entries modelEntries(const std::vector<std::string> &lines) {
  Entries entries;
  std::string block;
  for (const std::string &line : lines) {
    std::string text = trim(line.substr(0, line.find('#')));
    if (!text.empty() && text.back() == ':') {
      block = trim(text.substr(0, text.size() - 1));
    } else if (size_t equals = text.find('='); equals != std::string::npos) {
      entries[{block, trim(text.substr(0, equals))}] = trim(text.substr(equals + 1));
    }
  }
  return entries;
}

std::string readFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeFile(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

void checkEntries(cfgFile *cfg, const Entries &entries, const char *when) {
  for (const auto &[name, value] : entries) {
    const char *got = cfgGet(cfg, name.first.c_str(), name.second.c_str());
    if (got == nullptr || value != got)
      fail(when, name.first + "." + name.second + " = " + value, got != nullptr ? got : "<none>");
  }
}

// Whether the format holds a block name, key or value as it is: no comment mark or line end inside,
// no blanks around it, no '=' in a key, no ':' closing a value (the line would open a block), and the
// entry's line within the line limit.
bool holdable(const std::string &block, const std::string &key, const std::string &value) {
  for (const std::string *text : {&block, &key, &value})
    if (text->find_first_of("#\n") != std::string::npos || trim(*text) != *text) return false;
  if (key.find('=') != std::string::npos) return false;
  if (!value.empty() && value.back() == ':') return false;
  return 1 + key.size() + 3 + value.size() <= 4095 && block.size() + 1 <= 4095;
}

std::string word(const uint8_t *&p, const uint8_t *end) {
  size_t n = p < end ? *p++ % 12 : 0;
  std::string w;
  while (n-- > 0 && p < end) w += static_cast<char>(*p++);
  w.resize(std::strlen(w.c_str()));  // the functions take C strings
  return w;
}

void edit(cfgFile *cfg, Entries entries, const uint8_t *p, const uint8_t *end) {
  for (int round = 0; round < 6 && p < end; ++round) {
    uint8_t what = *p++;
    std::string block, key, value = word(p, end);
    // Names from the file half of the time, from the bytes otherwise.
    if ((what & 1) && !entries.empty()) {
      auto it = entries.begin();
      std::advance(it, (what >> 1) % entries.size());
      block = it->first.first;
      key = it->first.second;
    } else {
      block = word(p, end);
      key = word(p, end);
    }
    switch ((what >> 4) % 3) {
      case 0: {
        bool ok = holdable(block, key, value);
        int code = cfgSet(cfg, block.c_str(), key.c_str(), value.c_str());
        if (ok != (code == 0))
          fail(ok ? "a holdable entry is refused" : "an entry the file cannot hold is taken",
               block + "." + key, value);
        if (code == 0) {
          const char *got = cfgGet(cfg, block.c_str(), key.c_str());
          if (got == nullptr || value != got)
            fail("an entry set reads back otherwise", block + "." + key + " = " + value,
                 got ? got : "<none>");
          entries[{block, key}] = value;
        }
        break;
      }
      case 1:
        cfgDelKey(cfg, block.c_str(), key.c_str());
        if (cfgGet(cfg, block.c_str(), key.c_str()) != nullptr)
          fail("a deleted entry is still there", block + "." + key);
        entries.erase({block, key});
        break;
      default:
        cfgDelBlock(cfg, block.c_str());
        for (auto it = entries.begin(); it != entries.end();) {
          if (it->first.first == block) {
            if (cfgGet(cfg, block.c_str(), it->first.second.c_str()) != nullptr)
              fail("an entry of a deleted block is still there", block);
            it = entries.erase(it);
          } else {
            ++it;
          }
        }
        break;
    }
  }
  // What the edits left survives a save and a load. (Entries of a block whose name was set again
  // further down may be shadowed by later lines: only what the model of the saved file finds counts.)
  if (cfgSave(cfg, saved.c_str()) != 0) fail("cannot save");
  Entries now = modelEntries(modelLines(readFile(saved)));
  checkEntries(cfg, now, "an entry of the edited file reads otherwise");
  cfgFile *loaded = cfgLoad(nullptr, saved.c_str());
  if (loaded == nullptr) fail("cannot load what was saved");
  checkEntries(loaded, now, "an edited entry reads otherwise after a save and load");
  cfgFree(loaded);
}

// ---- the diagnostic set-up ----

std::vector<std::string> words(const char *list) {
  std::vector<std::string> result;
  if (list == nullptr) return result;
  std::string text = list;
  for (size_t pos = 0; (pos = text.find_first_not_of(" \t,+|", pos)) != std::string::npos;) {
    size_t end = text.find_first_of(" \t,+|", pos);
    result.push_back(text.substr(pos, end - pos));
    pos = end;
  }
  return result;
}

void configure(cfgFile *cfg) {
  // Another file it names is this one, wherever it pointed.
  if (cfgGet(cfg, "agent", "ddl_config_file") != nullptr)
    cfgSet(cfg, "agent", "ddl_config_file", input.c_str());
  struct sigaction before[NSIG];
  for (int s = 1; s < NSIG; ++s) sigaction(s, nullptr, &before[s]);
  ddlInit("agent", cfg);
  ddlPrintf("error", "%s %d\n", "line", 1);
  ddlPrint("info", "text\n");
  ddlChannelRevalidate(nullptr);
  for (int s = 1; s < NSIG; ++s)
    if (s != SIGKILL && s != SIGSTOP) sigaction(s, &before[s], nullptr);
  // Channels are process-wide: the ones this file made go again.
  const char *block = cfgGet(cfg, "agent", "ddl_config_block");
  std::vector<std::string> names;
  if (block != nullptr) names = words(cfgGet(cfg, block, "all_channels"));
  for (const char *name : {"error", "warning", "info", "debug", "trace", "export"}) names.push_back(name);
  for (const std::string &name : names) ddlChannelDestroy(name.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  (void)ready;
  if (size > 20000) return 0;
  // The file is the input up to a NUL byte; the bytes after it drive the edits.
  const uint8_t *nul = static_cast<const uint8_t *>(std::memchr(data, 0, size));
  std::string text(reinterpret_cast<const char *>(data),
                   nul != nullptr ? static_cast<size_t>(nul - data) : size);
  writeFile(input, text);
  cfgFile *cfg = cfgLoad(nullptr, input.c_str());
  if (cfg == nullptr) fail("cannot load a readable file");
  Entries entries = modelEntries(modelLines(text));
  checkEntries(cfg, entries, "an entry reads otherwise than the file has it");

  if (cfgSave(cfg, saved.c_str()) != 0) fail("cannot save");
  cfgFile *reloaded = cfgLoad(nullptr, saved.c_str());
  if (reloaded == nullptr) fail("cannot load what was saved");
  checkEntries(reloaded, entries, "an entry reads otherwise after a save and load");
  if (cfgSave(reloaded, again.c_str()) != 0) fail("cannot save again");
  std::string first = readFile(saved), second = readFile(again);
  if (first != second)
    fail("a saved file saves to other bytes after loading", first.substr(0, 200), second.substr(0, 200));
  cfgFree(reloaded);

  configure(cfg);
  if (nul != nullptr) edit(cfg, entries, nul + 1, data + size);
  cfgFree(cfg);
  return 0;
}
