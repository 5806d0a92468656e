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

}  // namespace

extern "C" {

cfgFile *cfgCreate(void) { return new cfgFile; }

cfgFile *cfgLoad(void *, const char *path) {
  if (path == nullptr) return nullptr;
  FILE *file = std::fopen(path, "r");
  if (file == nullptr) return nullptr;
  auto *cfg = new cfgFile;
  char buffer[kLineLimit];
  std::string pending;
  bool continued = false;
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
    std::string piece(buffer);
    bool hadNewline = !piece.empty() && piece.back() == '\n';
    if (hadNewline) piece.pop_back();
    pending += piece;
    continued = hadNewline && !piece.empty() && piece.back() == '\\';
    if (continued) {
      pending.pop_back();
      continue;
    }
    cfg->lines.push_back(pending);
    pending.clear();
  }
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
  bool inside = false, any = false;
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
  for (const std::string &line : cfg->lines)
    ok = ok && std::fputs(line.c_str(), file) >= 0 && std::fputc('\n', file) != EOF;
  return std::fclose(file) == 0 && ok ? 0 : -1;
}

}  // extern "C"
