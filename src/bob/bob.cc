// The bob store: creation and destruction through the field tables, key paths, reading and
// writing as text, the key tree, converters.
#include "telvi/bob.h"

#include <tcl.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bob/types.h"
#include "telvi/id.h"

namespace {

const char kPrefix[] = "bob";

// Why the last store call failed, for the command layer's messages. The first (innermost) reason
// found wins: a record set from a list fails in one of its fields, and that field says why.
std::string lastFailure;

void because(const std::string &reason) {
  if (lastFailure.empty()) lastFailure = reason;
}

// A value as a message quotes it: long texts are cut, so a message stays readable.
std::string quoted(const char *text) {
  std::string value = text ? text : "";
  if (value.size() > 64) value = value.substr(0, 60) + "...";
  return "\"" + value + "\"";
}

std::string tokenName(const char *name, int length) { return std::string(name, static_cast<size_t>(length)); }

// Last-resort store messages go to standard output, tagged with the module and a line.
void storeMessage(int line, const char *text) {
  printf("binobj(%d): %s\n", line, text);
  fflush(stdout);
}

bool isStructured(const dataType *type) { return type->fields != nullptr && type->fieldCount > 0; }
bool isArrayField(const dataField &field) { return (field.reserved1 & BOB_FIELD_ARRAY) != 0; }

void *element(dataArray *array, int index) {
  if (array == nullptr || index < 0 || index >= array->count) return nullptr;
  return static_cast<char *>(array->data) + static_cast<size_t>(index) * static_cast<size_t>(array->size);
}

void destroyRecord(dataType *type, void *data);

// Creates the array fields of a zero-filled record, recursively; false when an allocation fails
// (what was created stays for destroyRecord).
bool initRecord(dataType *type, void *data) {
  if (!isStructured(type)) return true;
  for (int i = 0; i < type->fieldCount; ++i) {
    dataField &f = type->fields[i];
    char *at = static_cast<char *>(data) + f.offset;
    if (isArrayField(f)) {
      auto **slot = reinterpret_cast<dataArray **>(at);
      if (*slot != nullptr) continue;  // a second name for the same storage
      int count = static_cast<int>(f.reserved2);
      *slot = dataArrayCreate(f.type->size ? static_cast<int>(f.type->size) : 1, count > 0 ? count : 0);
      if (*slot == nullptr) return false;
      for (int e = 0; e < (*slot)->count; ++e)
        if (!initRecord(f.type, element(*slot, e))) return false;
    } else if (isStructured(f.type) && !initRecord(f.type, at)) {
      return false;
    }
  }
  return true;
}

void destroyArray(dataType *type, dataArray **array) {
  if (*array == nullptr) return;
  for (int e = 0; e < (*array)->count; ++e) destroyRecord(type, element(*array, e));
  dataArrayDestroy(array);
}

// Nested fields first, then the type's own destructor.
void destroyRecord(dataType *type, void *data) {
  if (data == nullptr) return;
  if (isStructured(type)) {
    for (int i = 0; i < type->fieldCount; ++i) {
      dataField &f = type->fields[i];
      char *at = static_cast<char *>(data) + f.offset;
      if (isArrayField(f)) destroyArray(f.type, reinterpret_cast<dataArray **>(at));
      else if (isStructured(f.type) || f.type->destroy) destroyRecord(f.type, at);
    }
  }
  if (type->destroy) type->destroy(data);
}

// What a key names.
struct Target {
  dataType *type = nullptr;
  void *data = nullptr;         // a record or element
  dataArray *array = nullptr;   // a whole array (type: its elements)
  dataArray **arraySlot = nullptr;
  bool count = false;
};

const dataField *findField(const dataType *type, const char *name, int length) {
  if (!isStructured(type)) return nullptr;
  int low = 0, high = type->fieldCount - 1;
  while (low <= high) {
    int mid = (low + high) / 2;
    const char *fieldName = type->fields[mid].name;
    int c = strncmp(fieldName, name, static_cast<size_t>(length));
    if (c == 0 && fieldName[length] != 0) c = 1;
    if (c == 0) return &type->fields[mid];
    if (c < 0) low = mid + 1;
    else high = mid - 1;
  }
  return nullptr;
}

// Applies an index or count token to an array.
bool selectInArray(Target &t, dataArray **slot, dataType *type, int index, int flags,
                   const std::string &name) {
  t.type = type;
  t.data = nullptr;
  t.array = nullptr;
  t.arraySlot = nullptr;
  if (flags & BOB_TOKEN_INDEX) {
    t.data = element(*slot, index);
    if (t.data == nullptr) {
      int count = *slot ? (*slot)->count : 0;
      because(name + " has no element " + std::to_string(index) + " (it holds " + std::to_string(count) + ")");
      return false;
    }
    if (flags & BOB_TOKEN_COUNT) {  // the count of an element: only that it exists is checked
      t.count = true;
      t.array = *slot;
    }
    return true;
  }
  t.array = *slot;
  t.arraySlot = slot;
  t.count = (flags & BOB_TOKEN_COUNT) != 0;
  return true;
}

// Resolves a full key (bob ID first). The entry is returned too.
bool resolve(const char *key, Target &t, bobEntry **found = nullptr) {
  const char *name;
  int length, index, flags;
  const char *next = bobKeyNextToken(key, &name, &length, &index, &flags);
  if (next == nullptr) {
    because("malformed key " + quoted(key));
    return false;
  }
  std::string id = tokenName(name, length);
  bobEntry *e = bobIdLookup(id.c_str());
  if (e == nullptr) {
    because(id + " is not a valid bob");
    return false;
  }
  if (found) *found = e;
  if (e->flags & BOB_ARRAY) {
    if (!selectInArray(t, reinterpret_cast<dataArray **>(&e->data), e->type, index, flags, id)) return false;
  } else {
    if (flags) {
      because(id + " is not an array");
      return false;
    }
    t.type = e->type;
    t.data = e->data;
  }
  std::string previous = id;
  while (*next) {
    if (t.count) {
      because("nothing may follow a count (#)");
      return false;
    }
    if (t.data == nullptr) {  // only a record has fields
      because(previous + " is an array: name one element, as " + previous + "(0)");
      return false;
    }
    next = bobKeyNextToken(next, &name, &length, &index, &flags);
    if (next == nullptr) {
      because("malformed key " + quoted(key));
      return false;
    }
    const dataField *f = findField(t.type, name, length);
    if (f == nullptr) {
      because(std::string(t.type->name) + " has no field " + quoted(tokenName(name, length).c_str()));
      return false;
    }
    previous = f->name;
    char *at = static_cast<char *>(t.data) + f->offset;
    if (isArrayField(*f)) {
      if (!selectInArray(t, reinterpret_cast<dataArray **>(at), f->type, index, flags, previous)) return false;
    } else {
      if (flags) {
        because(previous + " is not an array");
        return false;
      }
      t.type = f->type;
      t.data = at;
    }
  }
  return true;
}

bool readValue(dataType *type, void *data, std::string &out);

bool readArray(dataType *type, dataArray *array, std::string &out) {
  Tcl_DString list;
  Tcl_DStringInit(&list);
  bool ok = true;
  for (int e = 0; ok && array != nullptr && e < array->count; ++e) {
    std::string item;
    ok = readValue(type, element(array, e), item);
    if (ok) Tcl_DStringAppendElement(&list, item.c_str());
  }
  if (ok) out.assign(Tcl_DStringValue(&list), static_cast<size_t>(Tcl_DStringLength(&list)));
  Tcl_DStringFree(&list);
  return ok;
}

bool readValue(dataType *type, void *data, std::string &out) {
  if (isStructured(type)) {
    Tcl_DString list;
    Tcl_DStringInit(&list);
    bool ok = true;
    for (int i = 0; ok && i < type->fieldCount; ++i) {
      const dataField &f = type->fields[i];
      char *at = static_cast<char *>(data) + f.offset;
      std::string item;
      ok = isArrayField(f) ? readArray(f.type, *reinterpret_cast<dataArray **>(at), item) : readValue(f.type, at, item);
      if (ok) Tcl_DStringAppendElement(&list, item.c_str());
    }
    if (ok) out.assign(Tcl_DStringValue(&list), static_cast<size_t>(Tcl_DStringLength(&list)));
    Tcl_DStringFree(&list);
    return ok;
  }
  if (type->toString == nullptr) return false;
  char *text = nullptr;
  if (type->toString(data, &text) != 0) {
    free(text);
    return false;
  }
  out = text ? text : "";
  free(text);
  return true;
}

bool writeValue(dataType *type, void *data, const char *text, const std::string &what);

bool writeArray(dataType *type, dataArray **slot, const char *text, const std::string &what) {
  int count;
  const char **items;
  if (*slot == nullptr) return false;
  if (Tcl_SplitList(nullptr, text, &count, &items) != TCL_OK) {
    because("the value for " + what + " is not a list");
    return false;
  }
  for (int e = 0; e < (*slot)->count; ++e) destroyRecord(type, element(*slot, e));
  if ((*slot)->count > 0) memset((*slot)->data, 0, static_cast<size_t>((*slot)->count) * static_cast<size_t>((*slot)->size));
  bool ok = dataArrayResize(*slot, count) == 0;
  for (int e = 0; ok && e < (*slot)->count; ++e) ok = initRecord(type, element(*slot, e));
  bool plain = !isStructured(type) && type->fromString != nullptr;
  for (int e = 0; ok && e < count; ++e) {
    void *data = element(*slot, e);
    // The element's name is only needed for a message: plain values are tried without it first.
    if (plain && type->fromString(data, items[e]) == 0) continue;
    ok = writeValue(type, data, items[e], what + "(" + std::to_string(e) + ")");
  }
  Tcl_Free(reinterpret_cast<char *>(items));
  return ok;
}

bool writeValue(dataType *type, void *data, const char *text, const std::string &what) {
  if (text == nullptr) return false;
  if (isStructured(type)) {
    int count;
    const char **items;
    if (Tcl_SplitList(nullptr, text, &count, &items) != TCL_OK) {
      because("the value for " + what + " is not a list of its fields");
      return false;
    }
    bool ok = true;
    for (int i = 0; ok && i < type->fieldCount && i < count; ++i) {
      const dataField &f = type->fields[i];
      char *at = static_cast<char *>(data) + f.offset;
      ok = isArrayField(f) ? writeArray(f.type, reinterpret_cast<dataArray **>(at), items[i], f.name)
                           : writeValue(f.type, at, items[i], f.name);
    }
    Tcl_Free(reinterpret_cast<char *>(items));
    return ok;
  }
  if (type->fromString != nullptr && type->fromString(data, text) == 0) return true;
  std::string reason = telvi::bob::refusalReason(type, data, text);
  because("value " + quoted(text) + " refused for " + what + (reason.empty() ? "" : ": " + reason));
  return false;
}

std::string fullKey(const char *id, const char *key) {
  std::string full = id;
  // A key may continue the ID's own token: "(2)" or "#" of an array bob.
  if (key != nullptr && *key) full.append(*key == '(' || *key == '#' ? "" : ".").append(key);
  return full;
}

// The name a message gives the target of a key: its last field or the bob's type.
std::string targetName(const char *key, const Target &t) {
  if (key == nullptr || *key == 0 || *key == '(' || *key == '#') return t.type ? t.type->name : "the bob";
  const char *dot = strrchr(key, '.');
  std::string last = dot ? dot + 1 : key;
  return last.substr(0, last.find_first_of("(#"));
}

bool getOne(const char *id, bobKeyValue &pair) {
  Target t;
  if (!resolve(fullKey(id, pair.key).c_str(), t)) return false;
  std::string text;
  if (t.count) text = std::to_string(t.array ? t.array->count : 0);
  else if (t.array != nullptr) {
    if (!readArray(t.type, t.array, text)) return false;
  } else if (!readValue(t.type, t.data, text)) {
    because(targetName(pair.key, t) + " has no text form");
    return false;
  }
  pair.value = strdup(text.c_str());
  return pair.value != nullptr;
}

bool setOne(const char *id, const bobKeyValue &pair) {
  Target t;
  if (!resolve(fullKey(id, pair.key).c_str(), t)) return false;
  if (t.count) return true;  // writing a count only tests that the element exists
  std::string what = targetName(pair.key, t);
  if (t.array != nullptr) return writeArray(t.type, t.arraySlot, pair.value, what);
  return writeValue(t.type, t.data, pair.value, what);
}

bool appendKeys(std::string &text, dataType *type, int depth) {
  if (!isStructured(type)) return true;
  for (int i = 0; i < type->fieldCount; ++i) {
    const dataField &f = type->fields[i];
    text += '\n';
    text.append(static_cast<size_t>(depth), '\t');
    text.append(f.name).append(" : [").append(f.type->name).append("]");
    if (depth > 16 || !appendKeys(text, f.type, depth + 1)) return false;
  }
  return true;
}

Tcl_HashTable converters;
bool convertersReady = false;

}  // namespace

extern "C" {

const char *bobKeyNextToken(const char *key, const char **name, int *nameLength, int *index, int *flags) {
  if (key == nullptr) return nullptr;
  *name = key;
  *index = 0;
  *flags = 0;
  const char *p = key;
  while (*p && *p != '(' && *p != '.' && *p != '#' && *p != ')') ++p;
  *nameLength = static_cast<int>(p - key);
  if (*p == '(') {
    ++p;
    long value = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + (*p++ - '0');
      if (value > INT_MAX) return nullptr;
    }
    if (*p != ')') return nullptr;
    ++p;
    *index = static_cast<int>(value);
    *flags |= BOB_TOKEN_INDEX;
  }
  if (*p == '#') {
    ++p;
    if (*p) return nullptr;
    *flags |= BOB_TOKEN_COUNT;
    return p;
  }
  if (*p == 0) return p;
  if (*p == '.' && p[1] != 0) return p + 1;
  return nullptr;
}

const char *bobIdCreate(const char *typeName, bobEntry **entry, int count, bobKeyValue *pairs, int pairCount) {
  if (entry) *entry = nullptr;
  lastFailure.clear();
  idInit();
  dataType *type = dataGetType(typeName);
  if (type == nullptr) {
    because(std::string("unknown type ") + quoted(typeName));
    storeMessage(__LINE__, "bobIdCreate: bad type.");
    return nullptr;
  }
  if (count < -2) {
    because("invalid array size");
    storeMessage(__LINE__, "bobIdCreate: invalid array size");
    return nullptr;
  }
  auto *e = static_cast<bobEntry *>(calloc(1, sizeof(bobEntry)));
  if (e == nullptr) {
    storeMessage(__LINE__, "bobIdCreate: could not malloc struct");
    return nullptr;
  }
  e->type = type;
  bool ok = true;
  if (count == -2) {
    e->flags = BOB_EXTERNAL;
  } else if (count >= 0) {
    e->flags = BOB_ARRAY;
    e->count = count;
    dataArray *array = type->size ? dataArrayCreate(static_cast<int>(type->size), count) : nullptr;
    if (array == nullptr) {
      because(type->size ? "out of memory" : std::string(type->name) + " has no size, so no array of it");
      storeMessage(__LINE__, "bobIdCreate: invalid array size");
      free(e);
      return nullptr;
    }
    e->data = array;
    for (int i = 0; ok && i < count; ++i) ok = initRecord(type, element(array, i));
  } else {
    e->data = calloc(1, type->size ? type->size : 1);
    if (e->data == nullptr) {
      storeMessage(__LINE__, "bobIdCreate: could not calloc type");
      free(e);
      return nullptr;
    }
    ok = initRecord(type, e->data);
  }
  const char *id = ok ? idCreate(kPrefix, e) : nullptr;
  if (id == nullptr) {
    because("out of memory");
    if (e->flags & BOB_ARRAY) destroyArray(type, reinterpret_cast<dataArray **>(&e->data));
    else if (!(e->flags & BOB_EXTERNAL)) destroyRecord(type, e->data), free(e->data);
    free(e);
    storeMessage(__LINE__, "bobIdCreate: could not calloc type");
    return nullptr;
  }
  int n = pairCount;
  if (pairs != nullptr && pairCount > 0 && bobIdSet(id, pairs, &n) != 0) {
    bobIdDestroy(id);
    return nullptr;
  }
  if (entry) *entry = e;
  return id;
}

const char *bobLastFailure(void) { return lastFailure.c_str(); }

bobEntry *bobIdLookup(const char *id) {
  void *pointer = nullptr;
  idInit();
  if (id == nullptr || idLookup(kPrefix, id, &pointer) != 0) return nullptr;
  return static_cast<bobEntry *>(pointer);
}

int bobIdDestroy(const char *id) {
  bobEntry *e = bobIdLookup(id);
  if (e == nullptr) return -1;
  if (e->flags & BOB_ARRAY) {
    destroyArray(e->type, reinterpret_cast<dataArray **>(&e->data));
  } else if (!(e->flags & BOB_EXTERNAL)) {
    destroyRecord(e->type, e->data);
    free(e->data);
  }
  free(e);
  idDestroy(id);
  return 0;
}

void *bobIdLookupData(bobEntry *entry, int index) {
  if (entry == nullptr) return nullptr;
  if (!(entry->flags & BOB_ARRAY)) return entry->data;
  return element(static_cast<dataArray *>(entry->data), index < 0 ? 0 : index);
}

int bobIdLookupSize(bobEntry *entry) {
  if (entry == nullptr || !(entry->flags & BOB_ARRAY)) return -1;
  return static_cast<dataArray *>(entry->data)->count;
}

int bobIdGet(const char *id, bobKeyValue *pairs, int *count) {
  lastFailure.clear();
  if (count == nullptr || (pairs == nullptr && *count > 0)) return -1;
  for (int i = 0; i < *count; ++i) {
    pairs[i].value = nullptr;
    if (!getOne(id, pairs[i])) {
      *count = i;
      return -1;
    }
  }
  return 0;
}

int bobIdSet(const char *id, bobKeyValue *pairs, int *count) {
  lastFailure.clear();
  if (count == nullptr || (pairs == nullptr && *count > 0)) return -1;
  for (int i = 0; i < *count; ++i)
    if (!setOne(id, pairs[i])) {
      *count = i;
      return -1;
    }
  return 0;
}

int bobIdLookupKeys(const char *id, char *buffer, int size) {
  bobEntry *e = bobIdLookup(id);
  if (e == nullptr || buffer == nullptr || size <= 0) return -1;
  std::string text = std::string(id) + " : [" + e->type->name + "]";
  if (!appendKeys(text, e->type, 1) || text.size() + 1 > static_cast<size_t>(size)) {
    storeMessage(__LINE__, "bobIdLookupKeys: Overwrote length of buffer");
    return -1;
  }
  memcpy(buffer, text.c_str(), text.size() + 1);
  return 0;
}

void *bobListGetIndex(bobEntry *entry, int index) {
  if (entry == nullptr || !(entry->flags & BOB_ARRAY)) return nullptr;
  return element(static_cast<dataArray *>(entry->data), index);
}

int bobListDeleteIndex(bobEntry *entry, int index) {
  void *data = bobListGetIndex(entry, index);
  if (data == nullptr) return -1;
  destroyRecord(entry->type, data);
  return dataArrayRemoveIndex(static_cast<dataArray *>(entry->data), index);
}

int bobListDeleteIndexes(bobEntry *entry, const int *positions, int count) {
  if (entry == nullptr || !(entry->flags & BOB_ARRAY) || (count > 0 && positions == nullptr)) return -1;
  auto *array = static_cast<dataArray *>(entry->data);
  for (int i = 0; i < count; ++i)
    if (positions[i] < 0 || positions[i] >= array->count || (i > 0 && positions[i] <= positions[i - 1])) return -1;
  // One pass that destroys the named elements and closes the gaps, instead of one move per element.
  char *data = static_cast<char *>(array->data);
  size_t size = static_cast<size_t>(array->size);
  int kept = 0;
  for (int e = 0, next = 0; e < array->count; ++e) {
    if (next < count && positions[next] == e) {
      destroyRecord(entry->type, data + size * static_cast<size_t>(e));
      ++next;
      continue;
    }
    if (kept != e) std::memcpy(data + size * static_cast<size_t>(kept), data + size * static_cast<size_t>(e), size);
    ++kept;
  }
  return dataArrayResize(array, kept);
}

int bobRegisterConverter(bobConverterProc proc, const char *source, const char *target) {
  if (proc == nullptr || source == nullptr || target == nullptr) return -1;
  if (!convertersReady) {
    Tcl_InitHashTable(&converters, TCL_STRING_KEYS);
    convertersReady = true;
  }
  std::string key = std::string(source) + "." + target;
  int isNew;
  Tcl_SetHashValue(Tcl_CreateHashEntry(&converters, key.c_str(), &isNew), reinterpret_cast<ClientData>(proc));
  return 0;
}

bobConverterProc bobFindConverter(const char *source, const char *target) {
  if (!convertersReady || source == nullptr || target == nullptr) return nullptr;
  std::string key = std::string(source) + "." + target;
  Tcl_HashEntry *h = Tcl_FindHashEntry(&converters, key.c_str());
  return h ? reinterpret_cast<bobConverterProc>(Tcl_GetHashValue(h)) : nullptr;
}

}  // extern "C"
