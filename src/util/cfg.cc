// Simple block/key configuration files: a list of lines kept for writing back, and a string-keyed
// table ("block.key" -> value) rebuilt from the lines after every change.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "telvi/cfg.h"
#include "util/strtable.h"

struct cfgFile {
  std::vector<std::string> lines;  // logical lines, without their newline
  telvi::StringTable<std::string> entries;
};

namespace {

constexpr size_t kLineLimit = 4096;

std::string trim(const std::string &text) {
  size_t begin = text.find_first_not_of(" \t\r\n\f\v");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r\n\f\v");
  return text.substr(begin, end - begin + 1);
}

enum class LineKind { kOther, kBlock, kEntry };

struct Parsed {
  LineKind kind = LineKind::kOther;
  std::string name;   // block name, or the entry's key
  std::string value;  // entry value
};

Parsed parse(const std::string &line) {
  Parsed parsed;
  std::string text = trim(line.substr(0, line.find('#')));
  if (!text.empty() && text.back() == ':') {
    parsed.kind = LineKind::kBlock;
    parsed.name = trim(text.substr(0, text.size() - 1));
  } else if (size_t equals = text.find('='); equals != std::string::npos) {
    parsed.kind = LineKind::kEntry;
    parsed.name = trim(text.substr(0, equals));
    parsed.value = trim(text.substr(equals + 1));
  }
  return parsed;
}

void reindex(cfgFile &cfg) {
  cfg.entries = telvi::StringTable<std::string>();
  std::string block;
  for (const std::string &line : cfg.lines) {
    Parsed parsed = parse(line);
    if (parsed.kind == LineKind::kBlock) block = parsed.name;
    if (parsed.kind == LineKind::kEntry)
      cfg.entries.set((block + "." + parsed.name).c_str(), parsed.value);
  }
}

// Calls f(index, parsed, block) for every line.
template <typename F>
void walk(const cfgFile &cfg, F f) {
  std::string block;
  for (size_t i = 0; i < cfg.lines.size(); ++i) {
    Parsed parsed = parse(cfg.lines[i]);
    if (parsed.kind == LineKind::kBlock) block = parsed.name;
    f(i, parsed, block);
  }
}

// Whether an entry set through the API reads back as given from the file it is saved to: no comment
// mark or line end inside a name or value, no blanks around one (reading trims them), no '=' in a key,
// no ':' ending a value (the line would open a block), and the entry's line within the line limit.
bool holdable(const std::string &block, const std::string &key, const std::string &value) {
  for (const std::string *text : {&block, &key, &value})
    if (text->find_first_of("#\n") != std::string::npos || trim(*text) != *text) return false;
  if (key.find('=') != std::string::npos) return false;
  if (!value.empty() && value.back() == ':') return false;
  return key.size() + value.size() + 4 < kLineLimit && block.size() + 1 < kLineLimit;
}

}  // namespace

extern "C" {

cfgFile *cfgCreate(void) { return new cfgFile; }

cfgFile *cfgLoad(void *, const char *path) {
  if (path == nullptr) return nullptr;
  FILE *file = std::fopen(path, "r");
  if (file == nullptr) return nullptr;
  auto *cfg = new cfgFile;
  char buffer[kLineLimit];
  std::string physical, pending;
  bool continued = false;
  // Lines are read whole and then cut at the limit: a piece of kLineLimit - 1 bytes is a line of its
  // own, and only the last piece of a line can continue on the next. (Cutting where fgets happens to
  // stop would turn the newline right after a full buffer into an extra blank line on every load and
  // save.)
  auto take = [&](bool hadNewline) {
    size_t at = 0;
    while (physical.size() - at > kLineLimit - 1) {
      pending += physical.substr(at, kLineLimit - 1);
      cfg->lines.push_back(pending);
      pending.clear();
      at += kLineLimit - 1;
    }
    std::string piece = physical.substr(at);
    physical.clear();
    pending += piece;
    continued = hadNewline && !piece.empty() && piece.back() == '\\';
    if (continued) {
      pending.pop_back();
      return;
    }
    cfg->lines.push_back(pending);
    pending.clear();
  };
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
    physical += buffer;
    if (!physical.empty() && physical.back() == '\n') {
      physical.pop_back();
      take(true);
    }
  }
  if (!physical.empty()) take(false);
  if (continued || !pending.empty()) cfg->lines.push_back(pending);
  std::fclose(file);
  reindex(*cfg);
  return cfg;
}

void cfgFree(cfgFile *cfg) { delete cfg; }

const char *cfgGet(cfgFile *cfg, const char *block, const char *key) {
  if (cfg == nullptr || block == nullptr || key == nullptr) return nullptr;
  const std::string *value = cfg->entries.find((std::string(block) + "." + key).c_str());
  return value == nullptr ? nullptr : value->c_str();
}

int cfgSet(cfgFile *cfg, const char *block, const char *key, const char *value) {
  if (cfg == nullptr || block == nullptr || key == nullptr || value == nullptr) return -1;
  if (!holdable(block, key, value)) return -1;
  std::string line = std::string("\t") + key + " = " + value;
  long entry = -1, header = -1;
  walk(*cfg, [&](size_t i, const Parsed &parsed, const std::string &current) {
    if (parsed.kind == LineKind::kBlock && parsed.name == block && header < 0)
      header = static_cast<long>(i);
    if (parsed.kind == LineKind::kEntry && current == block && parsed.name == key)
      entry = static_cast<long>(i);
  });
  if (entry >= 0) {
    std::string &old = cfg->lines[static_cast<size_t>(entry)];
    if (size_t hash = old.find('#'); hash != std::string::npos)
      line += " # " + trim(old.substr(hash + 1));
    old = line;
  } else if (header >= 0) {
    cfg->lines.insert(cfg->lines.begin() + header + 1, line);
  } else {
    cfg->lines.push_back(std::string(block) + ":");
    cfg->lines.push_back(line);
  }
  reindex(*cfg);
  return 0;
}

int cfgDelKey(cfgFile *cfg, const char *block, const char *key) {
  if (cfg == nullptr || block == nullptr || key == nullptr) return -1;
  std::vector<bool> drop(cfg->lines.size());
  bool any = false;
  walk(*cfg, [&](size_t i, const Parsed &parsed, const std::string &current) {
    if (parsed.kind == LineKind::kEntry && current == block && parsed.name == key)
      drop[i] = any = true;
  });
  std::vector<std::string> kept;
  for (size_t i = 0; i < cfg->lines.size(); ++i)
    if (!drop[i]) kept.push_back(std::move(cfg->lines[i]));
  cfg->lines = std::move(kept);
  reindex(*cfg);
  return any ? 0 : -1;
}

int cfgDelBlock(cfgFile *cfg, const char *block) {
  if (cfg == nullptr || block == nullptr) return -1;
  std::vector<std::string> kept;
  // Lines before the first header belong to the block without a name.
  bool inside = *block == '\0', any = false;
  for (std::string &line : cfg->lines) {
    Parsed parsed = parse(line);
    if (parsed.kind == LineKind::kBlock) inside = parsed.name == block;
    if (inside)
      any = true;
    else
      kept.push_back(std::move(line));
  }
  cfg->lines = std::move(kept);
  reindex(*cfg);
  return any ? 0 : -1;
}

int cfgSave(cfgFile *cfg, const char *path) {
  if (cfg == nullptr || path == nullptr) return -1;
  FILE *file = std::fopen(path, "w");
  if (file == nullptr) return -1;
  bool ok = true;
  for (const std::string &line : cfg->lines) {
    ok = ok && std::fputs(line.c_str(), file) >= 0;
    // A line ending in a backslash (the last of a file, or one cut at the line limit) would join the
    // next line when read back: a blank after it keeps it a line of its own, with the same entry.
    if (!line.empty() && line.back() == '\\') ok = ok && std::fputc(' ', file) != EOF;
    ok = ok && std::fputc('\n', file) != EOF;
  }
  return std::fclose(file) == 0 && ok ? 0 : -1;
}

}  // extern "C"
