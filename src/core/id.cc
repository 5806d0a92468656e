// Identifier registry: process-wide tables of identifier -> pointer and prefix -> last identifier.
#include "telvi/id.h"

#include <tcl.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

Tcl_HashTable idTable;      // identifier -> registered pointer
Tcl_HashTable prefixTable;  // prefix -> heap copy of the last identifier issued
bool initialised = false;

// Does id consist of the prefix directly followed by a digit?
bool hasPrefix(const char *id, const char *prefix, size_t prefixLength) {
  return std::strncmp(id, prefix, prefixLength) == 0 &&
         std::isdigit(static_cast<unsigned char>(id[prefixLength]));
}

std::vector<std::string> matching(const char *prefix) {
  std::vector<std::string> ids;
  size_t length = std::strlen(prefix);
  Tcl_HashSearch search;
  for (Tcl_HashEntry *entry = Tcl_FirstHashEntry(&idTable, &search); entry != nullptr;
       entry = Tcl_NextHashEntry(&search)) {
    const char *id = static_cast<const char *>(Tcl_GetHashKey(&idTable, entry));
    if (hasPrefix(id, prefix, length)) ids.emplace_back(id);
  }
  return ids;
}

}  // namespace

extern "C" {

void idInit(void) {
  if (initialised) return;
  initialised = true;
  Tcl_InitHashTable(&idTable, TCL_STRING_KEYS);
  Tcl_InitHashTable(&prefixTable, TCL_STRING_KEYS);
  int isNew;
  Tcl_SetHashValue(Tcl_CreateHashEntry(&idTable, "null", &isNew), nullptr);
}

char *idNext(const char *prefix) {
  if (prefix == nullptr) return nullptr;
  idInit();
  int isNew;
  Tcl_HashEntry *entry = Tcl_CreateHashEntry(&prefixTable, prefix, &isNew);
  std::string next = isNew ? std::string(prefix) + "0"
                           : std::string(static_cast<const char *>(Tcl_GetHashValue(entry)));
  // Add one to the decimal number at the end, as text; a carry out of the leading digit
  // inserts a new "1" (toe9 -> toe10, toe99 -> toe100).
  size_t i = next.size();
  for (;;) {
    if (i == 0 || !std::isdigit(static_cast<unsigned char>(next[i - 1]))) {
      next.insert(i, 1, '1');
      break;
    }
    if (next[i - 1] == '9') {
      next[i - 1] = '0';
      --i;
      continue;
    }
    ++next[i - 1];
    break;
  }
  char *last = strdup(next.c_str());
  char *result = strdup(next.c_str());
  if (last == nullptr || result == nullptr) {
    std::free(last);
    std::free(result);
    if (isNew) Tcl_DeleteHashEntry(entry);
    return nullptr;
  }
  if (!isNew) std::free(Tcl_GetHashValue(entry));
  Tcl_SetHashValue(entry, last);
  return result;
}

const char *idCreate(const char *prefix, void *pointer) {
  // A prefix ending in digits can run into another prefix's numbers (a1 + 1 = a11): skip identifiers
  // that are taken rather than hand one object's identifier to another.
  Tcl_HashEntry *entry;
  int isNew;
  do {
    char *id = idNext(prefix);
    if (id == nullptr) return nullptr;
    entry = Tcl_CreateHashEntry(&idTable, id, &isNew);
    std::free(id);
  } while (!isNew);
  Tcl_SetHashValue(entry, pointer);
  return static_cast<const char *>(Tcl_GetHashKey(&idTable, entry));
}

int idLookup(const char *prefix, const char *id, void **pointer) {
  if (pointer != nullptr) *pointer = nullptr;
  if (prefix == nullptr || id == nullptr) return -1;
  idInit();
  if (id[0] == 'n' && std::strcmp(id, "null") == 0) return 0;
  // The prefix compared by hand: this runs for every object argument of every command.
  for (size_t i = 0; prefix[i] != '\0'; ++i)
    if (id[i] != prefix[i]) return -1;
  Tcl_HashEntry *entry = Tcl_FindHashEntry(&idTable, id);
  if (entry == nullptr) return -1;
  if (pointer != nullptr) *pointer = Tcl_GetHashValue(entry);
  return 0;
}

int idDestroy(const char *id) {
  if (id == nullptr || !initialised || std::strcmp(id, "null") == 0) return 0;
  Tcl_HashEntry *entry = Tcl_FindHashEntry(&idTable, id);
  if (entry == nullptr) return 0;
  Tcl_DeleteHashEntry(entry);
  return 1;
}

int idCount(const char *prefix) {
  if (prefix == nullptr) return 0;
  idInit();
  return static_cast<int>(matching(prefix).size());
}

void idForEach(const char *prefix, idForEachProc proc, void *argument) {
  if (prefix == nullptr || proc == nullptr) return;
  idInit();
  // Walk a snapshot, so that the callback may destroy identifiers (its own or others).
  for (const std::string &id : matching(prefix)) {
    Tcl_HashEntry *entry = Tcl_FindHashEntry(&idTable, id.c_str());
    if (entry != nullptr) proc(static_cast<const char *>(Tcl_GetHashKey(&idTable, entry)), argument);
  }
}

}  // extern "C"
