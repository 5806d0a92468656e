// libFuzzer target: the text converters of every data type. Each registered type, and each field of
// a registered structured type (converted in place inside its record, as the bob store does), reads
// the input text; whatever it reads, it must print, and the printed text must read back to the same
// value: the same binary for the exact types, the same items for string lists, and otherwise the same
// text again.
//
// Input: byte 0 picks the type, byte 1 the context a field needs (an ASN.1 value's tag and display
// hint, a transport address's domain), the rest is the text.
#include <netdb.h>
#include <tcl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "telvi/bob.h"
#include "telvi/datatype.h"

// Name look-ups of this process fail at once, so that no input reaches the network or a resolver
// (a dotted text such as 1.2.3.4.5 is no address and would be looked up as a name).
extern "C" int getaddrinfo(const char *, const char *, const struct addrinfo *, struct addrinfo **) {
  return EAI_NONAME;
}
extern "C" struct hostent *gethostbyname(const char *) { return nullptr; }

namespace {

// A converter reached from the registry: a registered type, or a field inside a registered record.
struct Item {
  std::string name;  // for messages
  dataType *root;    // the record that is allocated
  dataType *type;    // the converter
  intptr_t offset;   // where the converter's binary lies in the record
  const dataField *field = nullptr;
  dataType *parent = nullptr;  // the record holding the field
  intptr_t parentOffset = 0;
};

std::vector<Item> items;

bool structured(const dataType *t) { return t->fields != nullptr && t->fieldCount > 0; }

void addFields(const std::string &path, dataType *root, dataType *parent, intptr_t base, int depth) {
  if (depth > 6) return;
  for (int i = 0; i < parent->fieldCount; ++i) {
    const dataField &f = parent->fields[i];
    if (f.reserved1 & BOB_FIELD_ARRAY) continue;  // elements are the registered types themselves
    std::string name = path + "." + f.name;
    if (structured(f.type)) {
      addFields(name, root, f.type, base + f.offset, depth + 1);
      continue;
    }
    items.push_back({name, root, f.type, base + f.offset, &f, parent, base});
  }
}

bool setUp() {
  bobRegisterSnmpTypes();
  std::vector<std::pair<std::string, dataType *>> types;
  Tcl_HashSearch search;
  for (Tcl_HashEntry *e = Tcl_FirstHashEntry(dataTypeGetTypesTable(), &search); e != nullptr;
       e = Tcl_NextHashEntry(&search))
    types.emplace_back(static_cast<const char *>(Tcl_GetHashKey(dataTypeGetTypesTable(), e)),
                       static_cast<dataType *>(Tcl_GetHashValue(e)));
  std::sort(types.begin(), types.end(), [](auto &a, auto &b) { return a.first < b.first; });
  for (auto &[name, type] : types) {
    if (structured(type))
      addFields(name, type, type, 0, 0);
    else
      items.push_back({name, type, type, 0});
  }
  // DATATYPE_CVT_LIST=1 prints the items with the first input byte that picks each (for corpus files).
  if (std::getenv("DATATYPE_CVT_LIST") != nullptr)
    for (size_t i = 0; i < items.size(); ++i) std::fprintf(stderr, "%zu %s\n", i, items[i].name.c_str());
  return true;
}

// Releases what a record owns, fields first (array fields are never created here).
void destroy(dataType *type, void *data) {
  if (structured(type)) {
    for (int i = 0; i < type->fieldCount; ++i) {
      const dataField &f = type->fields[i];
      if (f.reserved1 & BOB_FIELD_ARRAY) continue;
      destroy(f.type, static_cast<char *>(data) + f.offset);
    }
  }
  if (type->destroy != nullptr) type->destroy(data);
}

const dataField *sibling(const Item &item, const char *name) {
  if (item.parent == nullptr) return nullptr;
  for (int i = 0; i < item.parent->fieldCount; ++i)
    if (std::strcmp(item.parent->fields[i].name, name) == 0) return &item.parent->fields[i];
  return nullptr;
}

void setSibling(const Item &item, char *record, const char *name, const char *text) {
  const dataField *f = sibling(item, name);
  if (f != nullptr && f->type->fromString != nullptr)
    f->type->fromString(record + item.parentOffset + f->offset, text);
}

// The context of a field: an ASN.1 value is read under its tag and hint, an address needs its domain.
void preset(const Item &item, char *record, uint8_t context) {
  static const char *const kTags[] = {"Integer32", "OCTET STRING", "NULL",         "OBJECT IDENTIFIER",
                                      "IpAddress", "Counter32",    "Unsigned32",   "TimeTicks",
                                      "Counter64", "noSuchObject", "endOfMibView", "Gauge32"};
  static const char *const kHints[] = {"",  "255a", "1x:", "1d.", "2d", "d-2",
                                       "x", "o",    "b",   "1a",  "4d", "1x"};
  if (sibling(item, "hint") != nullptr && sibling(item, "type") != nullptr &&
      std::strcmp(item.type->name, "Asn1Data") == 0) {
    setSibling(item, record, "type", kTags[context % 12]);
    setSibling(item, record, "hint", kHints[(context / 12) % 12]);
  }
  if (std::strcmp(item.type->name, "TAddress") == 0 && (context & 1))
    setSibling(item, record, "type", "inet");
}

// Types whose binary is the whole value: what reads back must be the same bytes.
bool exact(const dataType *t) {
  static const char *const kExact[] = {"int",       "uint",      "long",       "ulong",   "longlong",
                                       "ulonglong", "short",     "char",       "boolean", "pointer",
                                       "IpAddress", "TimeTicks", "MsgVersion", "PduType", "ErrorStatus",
                                       "oid",       "_oid",      "TDomain",    "Asn1Type"};
  for (const char *name : kExact)
    if (std::strcmp(t->name, name) == 0) return true;
  return false;
}

// The resolver would look names up: only numeric hosts are handed to it.
bool resolvesLocally(const std::string &text) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return true;
  std::string host = text.substr(0, colon);
  return host == "localhost" || host.find_first_not_of("0123456789.") == std::string::npos;
}

[[noreturn]] void fail(const Item &item, const char *what, const std::string &a, const std::string &b) {
  std::fprintf(stderr, "%s: %s\n  first:  \"%s\"\n  second: \"%s\"\n", item.name.c_str(), what, a.c_str(),
               b.c_str());
  std::abort();
}

struct Record {
  const Item &item;
  char *data;
  explicit Record(const Item &i)
      : item(i), data(static_cast<char *>(std::calloc(1, i.root->size ? i.root->size : 1))) {}
  ~Record() {
    destroy(item.root, data);
    std::free(data);
  }
  void *at() const { return data + item.offset; }
};

bool print(const Item &item, void *binary, std::string &text) {
  char *out = nullptr;
  if (item.type->toString == nullptr || item.type->toString(binary, &out) != 0) {
    std::free(out);
    return false;
  }
  text = out != nullptr ? out : "";
  std::free(out);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  (void)ready;
  if (size < 2 || size > 70000) return 0;
  const Item &item = items[data[0] % items.size()];
  uint8_t context = data[1];
  std::string text(reinterpret_cast<const char *>(data + 2), size - 2);
  text.resize(std::strlen(text.c_str()));
  if (item.type->fromString == nullptr) return 0;
  if (std::strcmp(item.type->name, "TAddress") == 0 && !resolvesLocally(text)) return 0;

  Record first(item);
  preset(item, first.data, context);
  if (item.type->fromString(first.at(), text.c_str()) != 0) return 0;
  std::string printed;
  if (!print(item, first.at(), printed)) {
    // Types that convert only one way ("buffer", "explicit" and the structured records) print nothing.
    if (item.type->toString != nullptr && item.type->fromString != nullptr &&
        std::strcmp(item.type->name, "buffer") != 0)
      fail(item, "reads a text it cannot print", text, "");
    return 0;
  }
  // A string list item holding a double quote cannot be written between quotes.
  if (std::strcmp(item.type->name, "StringList") == 0) {
    const auto *list = static_cast<const stringList *>(first.at());
    for (int32_t i = 0; i < list->count; ++i)
      if (std::strchr(list->items[i], '"') != nullptr) return 0;
  }

  Record second(item);
  preset(item, second.data, context);
  if (item.type->fromString(second.at(), printed.c_str()) != 0)
    fail(item, "cannot read what it printed", text, printed);
  std::string again;
  if (!print(item, second.at(), again)) fail(item, "cannot print what it read back", text, printed);
  if (again != printed) fail(item, "prints another text after reading its own", printed, again);
  if (exact(item.type) && std::memcmp(first.at(), second.at(), item.type->size) != 0)
    fail(item, "reads its own text back to another binary", text, printed);
  // A value's text may stand for other octets or another number under its hint: the value itself
  // must come back.
  if (std::strcmp(item.type->name, "Asn1Data") == 0) {
    const auto *a = static_cast<const Asn1Value *>(first.at());
    const auto *b = static_cast<const Asn1Value *>(second.at());
    bool same = a->tag == b->tag;
    if (same && a->tag == ASN1_TAG_OCTET_STRING)
      same = a->u.octets.length == b->u.octets.length &&
             (a->u.octets.length == 0 || std::memcmp(a->u.octets.data, b->u.octets.data, a->u.octets.length) == 0);
    else if (same && a->tag == ASN1_TAG_OBJECT_ID)
      same = std::memcmp(a->u.oid, b->u.oid, (a->u.oid[0] + 1) * sizeof(uint32_t)) == 0;
    else if (same)
      same = std::memcmp(&a->u.counter64, &b->u.counter64, sizeof a->u.counter64) == 0;
    if (!same) fail(item, "reads its own text back to another value", text, printed);
  }
  if (std::strcmp(item.type->name, "StringList") == 0) {
    const auto *a = static_cast<const stringList *>(first.at());
    const auto *b = static_cast<const stringList *>(second.at());
    if (a->count != b->count) fail(item, "reads its own text back to another count of items", text, printed);
    for (int32_t i = 0; i < a->count; ++i)
      if (std::strcmp(a->items[i], b->items[i]) != 0)
        fail(item, "reads back another item", a->items[i], b->items[i]);
  }
  return 0;
}
