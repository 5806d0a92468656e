// libFuzzer target: the bob store through its C functions. The input is lines: the first names a type
// as `bob create` takes it ("pdu", "VarBind(3)"), each other line is a key, a blank and a value to set
// ("varbind(0).val.type Counter32"), or "?" and a key to read.
//   - Every key is cut into tokens with bobKeyNextToken; the tokens, written back in their plain
//     form, cut into the same tokens again, and the cutting always ends.
//   - The bob is created with the pairs, or without them and then set pair by pair.
//   - What is read can be written back: the whole bob, every whole array in it and every field, each
//     read, written with the text read and read again to the same text (a field whose type takes no
//     text, "TcOctets", is only read; a record holding one is written back field by field only).
//   - The key tree and destruction must not fail.
// No host name is ever looked up: transport addresses resolve only numeric and local hosts here.
#include <netdb.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "telvi/bob.h"
#include "telvi/id.h"

// Name look-ups of this process fail at once, so that no input reaches the network or a resolver.
extern "C" int getaddrinfo(const char *, const char *, const struct addrinfo *, struct addrinfo **) {
  return EAI_NONAME;
}
extern "C" struct hostent *gethostbyname(const char *) { return nullptr; }

namespace {

bool setUp() {
  idInit();
  bobRegisterSnmpTypes();
  return true;
}

[[noreturn]] void fail(const char *what, const std::string &key, const std::string &a = "",
                       const std::string &b = "") {
  std::fprintf(stderr, "%s\n  key:    \"%s\"\n  first:  \"%s\"\n  second: \"%s\"\n", what, key.c_str(),
               a.c_str(), b.c_str());
  std::abort();
}

struct Token {
  std::string name;
  int index, flags;
  bool operator==(const Token &o) const { return name == o.name && index == o.index && flags == o.flags; }
};

// The tokens of a key, or false for a malformed one.
bool tokens(const std::string &key, std::vector<Token> &out) {
  out.clear();
  const char *p = key.c_str();
  while (true) {
    if (out.size() > key.size() + 1) fail("key cutting does not end", key);
    const char *name;
    int length, index, flags;
    const char *next = bobKeyNextToken(p, &name, &length, &index, &flags);
    if (next == nullptr) return false;
    if (next <= p && *p != '\0') fail("key cutting does not advance", key);
    if (name != p || length < 0 || name + length > key.c_str() + key.size())
      fail("token name outside the key", key);
    if (index < 0) fail("negative index", key);
    out.push_back({std::string(name, static_cast<size_t>(length)), index, flags});
    if (*next == '\0') return true;
    p = next;
  }
}

std::string plain(const std::vector<Token> &ts) {
  std::string key;
  for (size_t i = 0; i < ts.size(); ++i) {
    if (i > 0) key += '.';
    key += ts[i].name;
    if (ts[i].flags & BOB_TOKEN_INDEX) key += "(" + std::to_string(ts[i].index) + ")";
    if (ts[i].flags & BOB_TOKEN_COUNT) key += '#';
  }
  return key;
}

void checkKey(const std::string &key) {
  std::vector<Token> first, second;
  if (!tokens(key, first)) return;
  std::string again = plain(first);
  if (!tokens(again, second) || !(first == second))
    fail("a key written plainly cuts into other tokens", key, again);
}

bool get(const std::string &id, const std::string &key, std::string &value) {
  bobKeyValue pair{key.c_str(), nullptr};
  int count = 1;
  bool ok = bobIdGet(id.c_str(), &pair, &count) == 0;
  if (ok) value = pair.value != nullptr ? pair.value : "";
  std::free(pair.value);
  return ok;
}

bool set(const std::string &id, const std::string &key, const std::string &value) {
  bobKeyValue pair{key.c_str(), const_cast<char *>(value.c_str())};
  int count = 1;
  return bobIdSet(id.c_str(), &pair, &count) == 0;
}

// Texts a field reads that its type refuses to take: every field of "TcOctets", an empty OID or domain, and
// the number a name table shows for a value that has no name (an unset ASN.1 type reads "0"); an ASN.1 value
// whose type has no name, and an address outside a domain, take no text either. Whatever its hint, a value
// reads back.
bool takesBack(const dataType *t, const std::string &text, const std::string &typeText) {
  if (std::strcmp(t->name, "TcOctets") == 0) return false;
  for (const char *emptyRefused : {"oid", "_oid", "TDomain"})
    if (std::strcmp(t->name, emptyRefused) == 0 && text.empty()) return false;
  if (std::strcmp(t->name, "StringList") == 0) {
    // Items are written between double quotes without escapes: an item holding one does not read back.
    std::string inner = text;
    for (size_t at; (at = inner.find("\"\n\"")) != std::string::npos;) inner.erase(at, 3);
    if (inner.size() >= 2) inner = inner.substr(1, inner.size() - 2);
    if (inner.find('"') != std::string::npos) return false;
  }
  bool numeric = !text.empty() && (std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '-');
  for (const char *named : {"Asn1Type", "MsgVersion", "SecurityLevel", "ErrorStatus"})
    if (std::strcmp(t->name, named) == 0 && numeric) return false;
  // An address is taken only in a domain ("type" reads "inet").
  if (std::strcmp(t->name, "TAddress") == 0 && typeText.empty()) return false;
  if (std::strcmp(t->name, "Asn1Data") == 0) {
    if (!typeText.empty() && (std::isdigit(static_cast<unsigned char>(typeText[0])) || typeText[0] == '-'))
      return false;
  }
  return true;
}

// Reads the key, writes the text back, reads it again. When every field below takes its text back,
// the write must succeed and the text read again be the same.
void writeBack(const std::string &id, const std::string &key, bool writable) {
  std::string before, after;
  if (!get(id, key, before)) {
    if (writable) fail("a key of the bob cannot be read", key);
    return;
  }
  bool written = set(id, key, before);
  if (writable && !written) fail("what was read cannot be written back", key, before);
  if (!get(id, key, after)) fail("a key cannot be read after writing", key);
  if (writable && after != before) fail("writing back what was read changes it", key, before, after);
}

std::string join(const std::string &prefix, const std::string &name) {
  return prefix.empty() ? name : prefix + "." + name;
}

// Every field key of a record (prefix names the record), each written back, deepest first. Whether
// every field below takes its text back.
bool walk(const std::string &id, const std::string &prefix, const dataType *type, void *record, int depth,
          int &budget) {
  if (type->fields == nullptr || type->fieldCount <= 0) {
    std::string text, typeText;
    bool value = std::strcmp(type->name, "Asn1Data") == 0;
    if (!get(id, prefix, text)) fail("a field cannot be read", prefix);
    size_t dot = prefix.rfind('.');
    std::string parent = dot == std::string::npos ? std::string() : prefix.substr(0, dot + 1);
    if (value || std::strcmp(type->name, "TAddress") == 0) get(id, parent + "type", typeText);
    bool writable = takesBack(type, text, typeText);
    // The same text may stand for other octets: their count must stay too.
    std::string lengthBefore, lengthAfter;
    if (value) get(id, parent + "val_len", lengthBefore);
    writeBack(id, prefix, writable);
    if (value) get(id, parent + "val_len", lengthAfter);
    if (writable && lengthAfter != lengthBefore)
      fail("writing back what was read changes the octet count", prefix, lengthBefore, lengthAfter);
    return writable;
  }
  bool all = true;
  if (depth > 6) return false;
  for (int i = 0; i < type->fieldCount; ++i) {
    if (--budget < 0) return false;
    const dataField &f = type->fields[i];
    std::string key = join(prefix, f.name);
    char *at = static_cast<char *>(record) + f.offset;
    if (f.reserved1 & BOB_FIELD_ARRAY) {
      dataArray *array = *reinterpret_cast<dataArray **>(at);
      std::string count;
      if (!get(id, key + "#", count) || count != std::to_string(array ? array->count : 0))
        fail("an array's count is not its number of elements", key, count);
      bool elements = true;
      for (int e = 0; array != nullptr && e < array->count; ++e) {
        std::string element = key + "(" + std::to_string(e) + ")";
        // Elements past the third are read and written only as part of the whole array.
        bool writable = e < 3 ? walk(id, element, f.type,
                                     static_cast<char *>(array->data) +
                                         static_cast<size_t>(e) * static_cast<size_t>(array->size),
                                     depth + 1, budget)
                              : false;
        elements = elements && writable;
      }
      writeBack(id, key, elements);
      all = all && elements;
      continue;
    }
    all = walk(id, key, f.type, at, depth + 1, budget) && all;
  }
  if (!prefix.empty()) writeBack(id, prefix, all);
  return all;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  (void)ready;
  if (size > 8192) return 0;
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(std::strlen(text.c_str()));
  std::vector<std::string> lines;
  for (size_t at = 0; at <= text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  // The type: "<type>" or "<type>(<n>)", as `bob create` reads it.
  std::string spec = lines[0], typeName = spec;
  int count = -1;
  if (size_t open = spec.find('('); open != std::string::npos) {
    typeName = spec.substr(0, open);
    std::string n = spec.substr(open + 1);
    if (n.empty() || n.back() != ')' || n.size() > 3) return 0;
    n.pop_back();
    if (n.find_first_not_of("0123456789") != std::string::npos) return 0;
    count = n.empty() ? 0 : std::atoi(n.c_str());
  }
  dataType *type = dataGetType(typeName.c_str());
  if (type == nullptr) return 0;

  std::vector<std::string> keys, values;
  std::vector<std::string> reads;
  for (size_t i = 1; i < lines.size() && i < 40; ++i) {
    const std::string &line = lines[i];
    if (!line.empty() && line[0] == '?') {
      reads.push_back(line.substr(1));
      checkKey(reads.back());
      continue;
    }
    size_t blank = line.find(' ');
    keys.push_back(line.substr(0, blank));
    values.push_back(blank == std::string::npos ? "" : line.substr(blank + 1));
    checkKey(keys.back());
  }
  std::vector<bobKeyValue> pairs;
  for (size_t i = 0; i < keys.size(); ++i)
    pairs.push_back({keys[i].c_str(), const_cast<char *>(values[i].c_str())});

  bobEntry *entry = nullptr;
  const char *made =
      bobIdCreate(typeName.c_str(), &entry, count, pairs.data(), static_cast<int>(pairs.size()));
  if (made == nullptr) {
    made = bobIdCreate(typeName.c_str(), &entry, count, nullptr, 0);
    if (made == nullptr) {
      if (type->size == 0 && count >= 0) return 0;  // an array of a type without a binary
      fail("a bob of a registered type cannot be created", spec);
    }
    for (bobKeyValue &pair : pairs) {
      int one = 1;
      bobIdSet(made, &pair, &one);
    }
  }
  std::string id = made;
  for (const std::string &key : reads) {
    std::string value;
    get(id, key, value);
  }

  // The whole bob, then its parts.
  int budget = 400;
  std::string whole;
  if (get(id, "", whole)) {
    bool writable = true;
    if (count >= 0) {
      for (int e = 0; e < bobIdLookupSize(entry); ++e) {
        std::string element = "(" + std::to_string(e) + ")";
        bool each = e < 3 && walk(id, element, type, bobIdLookupData(entry, e), 1, budget);
        writable = writable && each;
      }
    } else {
      writable = walk(id, "", type, bobIdLookupData(entry, -1), 0, budget);
    }
    writeBack(id, "", writable && budget >= 0);
  }

  char keyTree[4096];
  bobIdLookupKeys(id.c_str(), keyTree, sizeof keyTree);
  if (bobIdDestroy(id.c_str()) != 0) fail("a bob cannot be destroyed", id);
  return 0;
}
