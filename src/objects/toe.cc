// The object store: objects, their dictionaries and values, key paths and inheritance.
#include "telvi/toe.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "interp/layer.h"
#include "objects/keys.h"
#include "telvi/id.h"

namespace {

constexpr const char *kEntries = "entries";
constexpr const char *kObject = "object";
constexpr const char *kInternal = "internal";
constexpr const char *kWalk = "_iwalk_";
constexpr const char *kMarker = "\003_duplicate_\003";
// Guards against loops in the naming tree, which scripts can build with toe_child.
constexpr int kMaxDepth = 1000;

dataType *stringListType() {
  static dataType *type = dataGetType("StringList");
  return type;
}

// "slice:key" into a buffer of TOE_MAX_KEY + 1 bytes; false when it would not fit.
bool compose(char (&buffer)[TOE_MAX_KEY + 1], const char *slice, const char *key) {
  if (slice == nullptr || key == nullptr) return false;
  size_t sliceLength = std::strlen(slice), keyLength = std::strlen(key);
  if (sliceLength + 1 + keyLength > TOE_MAX_KEY) return false;
  std::memcpy(buffer, slice, sliceLength);
  buffer[sliceLength] = ':';
  std::memcpy(buffer + sliceLength + 1, key, keyLength + 1);
  return true;
}

Tcl_HashEntry *ownEntry(toe *object, const char *slice, const char *key) {
  char composite[TOE_MAX_KEY + 1];
  if (object == nullptr || !compose(composite, slice, key)) return nullptr;
  return Tcl_FindHashEntry(&object->dictionary, composite);
}

toeVal *ownValue(toe *object, const char *slice, const char *key) {
  Tcl_HashEntry *entry = ownEntry(object, slice, key);
  return entry != nullptr ? static_cast<toeVal *>(Tcl_GetHashValue(entry)) : nullptr;
}

const char *ownString(toe *object, const char *slice, const char *key) {
  return toeValGetStringValue(ownValue(object, slice, key));
}

// The key list of a slice, as a string list (converted in place).
stringList *keyList(toe *object, const char *slice) {
  return static_cast<stringList *>(toeValGetType(ownValue(object, kEntries, slice), stringListType()));
}

std::vector<std::string> keysOf(toe *object, const char *slice) {
  std::vector<std::string> keys;
  if (stringList *list = keyList(object, slice))
    for (int32_t i = 0; i < list->count; ++i) keys.emplace_back(list->items[i]);
  return keys;
}

toe *objectById(const char *id) {
  void *pointer = nullptr;
  if (id == nullptr || idLookup("toe", id, &pointer) != 0) return nullptr;
  return static_cast<toe *>(pointer);
}

toe *childByName(toe *object, const char *name) { return objectById(ownString(object, kObject, name)); }

int parentCount(const toe *object) {
  int count = 0;
  if (object->parents != nullptr)
    while (object->parents[count] != nullptr) ++count;
  return count;
}

bool contains(toe **array, int count, const toe *object) {
  for (int i = 0; i < count; ++i)
    if (array[i] == object) return true;
  return false;
}

void freeObject(toe *object) {
  object->destroyPending = 2;  // being freed: references dropped below must not free it again
  telvi::interp::objectFreed(object);
  Tcl_HashSearch search;
  for (Tcl_HashEntry *entry = Tcl_FirstHashEntry(&object->dictionary, &search); entry != nullptr;
       entry = Tcl_NextHashEntry(&search))
    toeValDestroy(static_cast<toeVal *>(Tcl_GetHashValue(entry)));
  Tcl_DeleteHashTable(&object->dictionary);
  if (object->id != nullptr) idDestroy(object->id);
  toe **parents = object->parents;
  toe *superior = object->superior;
  object->parents = nullptr;
  object->superior = nullptr;
  if (parents != nullptr)
    for (int i = 0; parents[i] != nullptr; ++i) toeDecrRefCount(parents[i]);
  std::free(parents);
  toeDecrRefCount(superior);
  std::free(object);
}

// Stores an untyped string under slice/key in the object's own dictionary, with the key list kept.
toeVal *defineStringHere(toe *object, const char *slice, const char *key, dataType *type, const char *string) {
  toeVal *value = toeRawDefine(object, slice, key, nullptr, string);
  if (value == nullptr || type == nullptr) return value;
  if (toeValCvtType(value, type) != 0) {
    toeRawUndefine(object, slice, key);
    return nullptr;
  }
  return value;
}

toe *rootOf(toe *object) {
  for (int depth = 0; depth < kMaxDepth && object->superior != nullptr; ++depth) object = object->superior;
  return object;
}

struct LocateRequest {
  int flags;
  int *created;
  toe **parents;
  int count;
  int depth = 0;
  std::set<std::pair<toe *, const char *>> searched;
};

toe *searchPath(toe *start, const char *path, LocateRequest &request);

toe *createChild(toe *object, const std::string &name, LocateRequest &request) {
  toe *child = toeCreate(nullptr, 0, object);
  if (child == nullptr) return nullptr;
  for (int i = 0; i < request.count; ++i)
    if (request.parents[i] != nullptr) toeDuplicateAndInherit(child, request.parents[i]);
  if (toeRawDefine(object, kObject, name.c_str(), nullptr, child->id) == nullptr ||
      toeRawDefine(child, kInternal, "name", nullptr, name.c_str()) == nullptr) {
    toeDestroyHierarchy(child);
    return nullptr;
  }
  return child;
}

toe *matchHere(toe *object, const char *path, bool descendant, LocateRequest &request);

// Matches one component (up to the next "." or "*") at the object and goes on with the rest.
// Bounded in depth, and a descendant search looks into each object once for each rest of the path,
// so loops in the naming tree end.
toe *matchComponent(toe *object, const char *path, bool descendant, LocateRequest &request) {
  if (request.depth >= kMaxDepth) return nullptr;
  if (descendant && !request.searched.insert({object, path}).second) return nullptr;
  ++request.depth;
  toe *found = matchHere(object, path, descendant, request);
  --request.depth;
  return found;
}

toe *matchHere(toe *object, const char *path, bool descendant, LocateRequest &request) {
  const char *end = path + std::strcspn(path, ".*");
  std::string component(path, end);
  const char *rest = *end == '.' ? end + 1 : end;  // a "*" stays and sets descendant mode
  bool continues = *end != '\0';
  if (toe *child = childByName(object, component.c_str()))
    return continues ? searchPath(child, rest, request) : child;
  if (descendant) {
    for (const std::string &name : keysOf(object, kObject)) {
      toe *child = childByName(object, name.c_str());
      if (child == nullptr) continue;
      if (toe *found = matchComponent(child, path, true, request)) return found;
    }
  }
  if ((request.flags & 2) == 0) return nullptr;
  toe *child = createChild(object, component, request);
  if (child == nullptr) return nullptr;
  if (continues) return searchPath(child, rest, request);
  if (request.created != nullptr) *request.created = 1;
  return child;
}

toe *searchPath(toe *start, const char *path, LocateRequest &request) {
  toe *current = start;
  for (;;) {
    if (*path == '~') {
      current = rootOf(current);
      ++path;
    } else if (*path == '^' && path[1] == '{') {
      const char *close = std::strchr(path + 2, '}');
      if (close == nullptr) return nullptr;
      std::string name(path + 2, close);
      toe *superior = current->superior;
      for (int depth = 0; superior != nullptr && depth < kMaxDepth; ++depth, superior = superior->superior) {
        const char *superiorName = ownString(superior, kInternal, "name");
        if (superiorName != nullptr && name == superiorName) break;
      }
      if (superior == nullptr) return nullptr;
      current = superior;
      path = close + 1;
    } else if (*path == '^') {
      if (current->superior != nullptr) current = current->superior;
      ++path;
    } else {
      break;
    }
    if (*path == '\0') return current;
  }
  bool descendant = false;
  while (*path == '*') {
    descendant = true;
    ++path;
  }
  return matchComponent(current, path, descendant, request);
}

int inheritStep(toe *object, toe *source, bool addParent, int depth) {
  if (object == nullptr || source == nullptr || depth > kMaxDepth) return -1;
  if (addParent && ownEntry(object, kMarker, "ancestor") == nullptr) {
    if (toeAddParents(object, &source, 1, -1) != 0) return -1;
    if (toeRawDefine(object, kMarker, "ancestor", nullptr, source->id) == nullptr) return -1;
  }
  int result = 0;
  for (const std::string &name : keysOf(source, kObject)) {
    // A child entry left behind by a destroyed object has nothing to copy.
    toe *sourceChild = childByName(source, name.c_str());
    if (sourceChild == nullptr) continue;
    int created = 0;
    toe *child = toeLocate(object, name.c_str(), 2, &created, nullptr, 0);
    result = inheritStep(child, sourceChild, true, depth + 1);
    if (result != 0) {
      if (created && child != nullptr) toeDestroyHierarchy(child);
      return result;
    }
  }
  std::vector<toe *> parents(source->parents, source->parents + parentCount(source));
  for (toe *parent : parents) {
    result = inheritStep(object, parent, false, depth + 1);
    if (result != 0) return result;
  }
  return result;
}

int removeKey(toe *object, const char *slice, const char *key, int depth) {
  if (object == nullptr || depth > kMaxDepth) return -1;
  for (const std::string &name : keysOf(object, kObject)) removeKey(childByName(object, name.c_str()), slice, key, depth + 1);
  return toeRawUndefine(object, slice, key);
}

int destroyHierarchy(toe *object, std::vector<toe *> &walk) {
  // A loop in the naming tree comes back to an object on the walk: stop there.
  if (object == nullptr || walk.size() > kMaxDepth || contains(walk.data(), static_cast<int>(walk.size()), object))
    return -1;
  walk.push_back(object);
  toeIncrRefCount(object);  // children release their superior while we still work on it
  for (;;) {
    stringList *children = keyList(object, kObject);
    if (children == nullptr || children->count == 0) break;
    std::string first = children->items[0];
    toe *child = childByName(object, first.c_str());
    if (child != nullptr) destroyHierarchy(child, walk);
    // The child removes its own entry when it is named so; any other entry goes here.
    if (ownEntry(object, kObject, first.c_str()) != nullptr) toeRawUndefine(object, kObject, first.c_str());
  }
  if (object->superior != nullptr) {
    const char *name = ownString(object, kInternal, "name");
    if (name != nullptr) {
      std::string own = name;
      if (childByName(object->superior, own.c_str()) == object) toeRawUndefine(object->superior, kObject, own.c_str());
    }
  }
  walk.pop_back();
  toeDestroy(object);
  toeDecrRefCount(object);
  return 0;
}

void releaseBinary(toeVal *value) {
  if (value->binary == nullptr) return;
  if (value->type != nullptr && value->type->destroy != nullptr) value->type->destroy(value->binary);
  std::free(value->binary);
  value->binary = nullptr;
}

void *zeroBinary(const dataType *type) { return std::calloc(1, type->size > 0 ? type->size : 1); }

// Appends element to the string list at slice/key; 1 when the list was created.
int appendElement(toe *object, const char *slice, const char *key, const char *element, bool unique) {
  char composite[TOE_MAX_KEY + 1];
  if (object == nullptr || element == nullptr || !compose(composite, slice, key)) return -1;
  int isNew = 0;
  Tcl_HashEntry *entry = Tcl_CreateHashEntry(&object->dictionary, composite, &isNew);
  if (isNew) {
    toeVal *value = toeValCreate(stringListType(), nullptr);
    if (value == nullptr) {
      Tcl_DeleteHashEntry(entry);
      return -1;
    }
    Tcl_SetHashValue(entry, value);
  }
  auto *list = static_cast<stringList *>(toeValGetType(static_cast<toeVal *>(Tcl_GetHashValue(entry)), stringListType()));
  if (list == nullptr || (unique ? stringListAddUnique(list, element) : stringListAdd(list, element)) < 0) return -1;
  return isNew ? 1 : 0;
}

}  // namespace

extern "C" {

// ---- objects ----

toe *toeCreate(toe **parents, int count, toe *superior) {
  idInit();
  toe *object = static_cast<toe *>(std::calloc(1, sizeof(toe)));
  if (object == nullptr) return nullptr;
  Tcl_InitHashTable(&object->dictionary, TCL_STRING_KEYS);
  if (toeSetParents(object, parents, count) != 0 || toeSetSuperior(object, superior) != 0) {
    freeObject(object);
    return nullptr;
  }
  object->id = idCreate("toe", object);
  if (object->id == nullptr) {
    freeObject(object);
    return nullptr;
  }
  return object;
}

int toeDestroy(toe *object) {
  if (object == nullptr || object->destroyPending == 2) return 0;
  object->destroyPending = 1;
  if (object->refCount > 0) return 0;
  freeObject(object);
  return 0;
}

void toeIncrRefCount(toe *object) {
  if (object != nullptr) ++object->refCount;
}

void toeDecrRefCount(toe *object) {
  if (object == nullptr) return;
  --object->refCount;
  if (object->destroyPending == 1 && object->refCount <= 0) freeObject(object);
}

int toeCleanOutObject(Tcl_Interp *interp, toe *object) {
  toePushContext(interp, object, object);
  telvi::interp::deleteMethods(object);
  toePopContext(interp);
  return 0;
}

const char *toeGetId(toe *object) { return object != nullptr ? object->id : nullptr; }

toe *toeGetSuperior(toe *object) { return object != nullptr ? object->superior : nullptr; }

int toeSetSuperior(toe *object, toe *superior) {
  if (object == nullptr || superior == object) return -1;
  toeIncrRefCount(superior);
  toe *old = object->superior;
  object->superior = superior;
  toeDecrRefCount(old);
  return 0;
}

int toeGetParents(toe *object, toe ***parents, int *count) {
  if (object == nullptr) return -1;
  if (parents != nullptr) *parents = object->parents;
  if (count != nullptr) *count = parentCount(object);
  return 0;
}

int toeSetParents(toe *object, toe **parents, int count) {
  if (object == nullptr || count < 0 || (count > 0 && parents == nullptr)) return -1;
  if (contains(parents, count, object)) return -1;
  toe **fresh = static_cast<toe **>(std::calloc(static_cast<size_t>(count) + 1, sizeof(toe *)));
  if (fresh == nullptr) return -1;
  int kept = 0;
  for (int i = 0; i < count; ++i) {
    if (parents[i] == nullptr) continue;
    toeIncrRefCount(parents[i]);
    fresh[kept++] = parents[i];
  }
  toe **old = object->parents;
  object->parents = fresh;
  if (old != nullptr)
    for (int i = 0; old[i] != nullptr; ++i) toeDecrRefCount(old[i]);
  std::free(old);
  telvi::interp::resolutionChanged();
  return 0;
}

int toeAddParents(toe *object, toe **parents, int count, int position) {
  if (object == nullptr || count < 0 || (count > 0 && parents == nullptr)) return -1;
  if (contains(parents, count, object)) return -1;
  int existing = parentCount(object);
  if (position < 0 || position > existing) position = existing;
  toe **grown = static_cast<toe **>(std::calloc(static_cast<size_t>(existing + count) + 1, sizeof(toe *)));
  if (grown == nullptr) return -1;
  int n = 0;
  for (int i = 0; i < position; ++i) grown[n++] = object->parents[i];
  for (int i = 0; i < count; ++i) {
    if (parents[i] == nullptr) continue;
    toeIncrRefCount(parents[i]);
    grown[n++] = parents[i];
  }
  for (int i = position; i < existing; ++i) grown[n++] = object->parents[i];
  std::free(object->parents);
  object->parents = grown;
  telvi::interp::resolutionChanged();
  return 0;
}

toe *toeGetInheritObject(toe *object, int index) {
  if (object == nullptr || index < 0 || index >= parentCount(object)) return nullptr;
  return object->parents[index];
}

toe *toeGetChild(toe *object, int index) {
  stringList *children = keyList(object, kObject);
  if (children == nullptr || index < 0 || index >= children->count) return nullptr;
  return childByName(object, children->items[index]);
}

int toeGetChildCount(toe *object) {
  stringList *children = keyList(object, kObject);
  return children != nullptr ? children->count : 0;
}

char *toeObject2Name(toe *object, int depth) {
  const char *name = ownString(object, kInternal, "name");
  if (name == nullptr) return nullptr;
  std::string full = name;
  toe *above = object->superior;
  for (int level = 1; depth != 0 && above != nullptr && level < kMaxDepth; ++level, --depth) {
    const char *aboveName = ownString(above, kInternal, "name");
    if (aboveName == nullptr) break;
    full = std::string(aboveName) + "." + full;
    above = above->superior;
  }
  return strdup(full.c_str());
}

toe *toeString2Object(toe *object, const char *string) {
  if (string == nullptr) return nullptr;
  void *pointer = nullptr;
  if (idLookup("toe", string, &pointer) == 0) return static_cast<toe *>(pointer);
  toe *start = object;
  for (int depth = 0; start != nullptr && depth < kMaxDepth; ++depth) {
    toe *found = toeLocate(start, string, 1, nullptr, nullptr, 0);
    if (found != start) return found;
    start = start->superior;
  }
  return nullptr;
}

toe *toeLocate(toe *object, const char *path, int flags, int *created, toe **parents, int count) {
  if (created != nullptr) *created = 0;
  if (object == nullptr || path == nullptr) return nullptr;
  // Refused before the walk: with flag 2 a walk that gave up deep down would leave what it created.
  if (telvi::objects::pathLevels(path) > telvi::objects::kMaxPathLevels) return nullptr;
  std::string work = path;
  if (work.compare(0, 2, "..") == 0) {
    work.erase(0, 2);
    flags |= 1;
  } else if (!work.empty() && work[0] == '.') {
    work[0] = '~';
  }
  LocateRequest request{flags, created, parents, count, 0, {}};
  toe *found = searchPath(object, work.c_str(), request);
  if (found == nullptr && (flags & 1) != 0) {
    toe *superior = object->superior;
    for (int depth = 0; found == nullptr && superior != nullptr && depth < kMaxDepth; ++depth) {
      request.depth = 0;
      request.searched.clear();
      found = searchPath(superior, work.c_str(), request);
      superior = superior->superior;
    }
  }
  return found;
}

toe *toeKeyList2ObjectAndKey(toe *object, const char **key, int flags) {
  if (object == nullptr || key == nullptr || *key == nullptr) return nullptr;
  const char *dot = std::strrchr(*key, '.');
  if (dot == nullptr) return object;
  std::string path(*key, dot);
  toe *found = toeLocate(object, path.c_str(), flags, nullptr, nullptr, 0);
  if (found != nullptr) *key = dot + 1;
  return found;
}

int toeInherit(toe *object, const char *name) {
  toe *source = toeString2Object(object, name);
  if (source == nullptr) return -1;
  return toeDuplicateAndInherit(object, source);
}

int toeDuplicateAndInherit(toe *object, toe *source) {
  int result = inheritStep(object, source, true, 0);
  if (object != nullptr) toeRemoveKey(object, kMarker, "ancestor");
  return result;
}

int toeDestroyHierarchy(toe *object) {
  std::vector<toe *> walk;
  return destroyHierarchy(object, walk);
}

int toeRemoveKey(toe *object, const char *slice, const char *key) { return removeKey(object, slice, key, 0); }

void toeDump(toe *object) {
  if (object == nullptr) return;
  std::fputs("parents:\t", stderr);
  for (int i = 0; i < parentCount(object); ++i)
    std::fprintf(stderr, "%s ", object->parents[i]->id != nullptr ? object->parents[i]->id : "null");
  std::fputs("\n", stderr);
  if (object->superior != nullptr) std::fprintf(stderr, "superior:\t%s\n", object->superior->id);
  std::fputs("methods:\t", stderr);
  Tcl_HashSearch search;
  if (object->methods != nullptr)
    for (Tcl_HashEntry *entry = Tcl_FirstHashEntry(object->methods, &search); entry != nullptr;
         entry = Tcl_NextHashEntry(&search))
      std::fprintf(stderr, "%s ", static_cast<const char *>(Tcl_GetHashKey(object->methods, entry)));
  std::fputs("\ndictionary:\t", stderr);
  for (Tcl_HashEntry *entry = Tcl_FirstHashEntry(&object->dictionary, &search); entry != nullptr;
       entry = Tcl_NextHashEntry(&search))
    std::fprintf(stderr, "%s ", static_cast<const char *>(Tcl_GetHashKey(&object->dictionary, entry)));
  std::fputs("\n", stderr);
}

// ---- dictionary ----

toeVal *toeDefine(toe *object, const char *slice, const char *key, dataType *type, const void *data) {
  toe *target = toeKeyList2ObjectAndKey(object, &key, 0);
  return target != nullptr ? toeRawDefine(target, slice, key, type, data) : nullptr;
}

toeVal *toeRawDefine(toe *object, const char *slice, const char *key, dataType *type, const void *data) {
  char composite[TOE_MAX_KEY + 1], keyList[TOE_MAX_KEY + 1];
  // The slice's key list lives under "entries:<slice>": a slice whose list could not be kept is
  // refused, so no entry is ever stored that the key lists (and export) do not know of.
  if (object == nullptr || !compose(composite, slice, key) || !compose(keyList, kEntries, slice)) return nullptr;
  int isNew = 0;
  Tcl_HashEntry *entry = Tcl_CreateHashEntry(&object->dictionary, composite, &isNew);
  if (isNew) {
    toeVal *value = toeValCreate(type, data);
    if (value == nullptr) {
      Tcl_DeleteHashEntry(entry);
      return nullptr;
    }
    Tcl_SetHashValue(entry, value);
    // A key new to the dictionary is not in its slice's list yet: no need to search that list.
    int listed = appendElement(object, kEntries, slice, key, false);
    if (listed < 0) {
      toeValDestroy(value);
      Tcl_DeleteHashEntry(entry);
      return nullptr;
    }
    if (listed == 1) toeAppendValue(object, kEntries, kEntries, slice);
    return value;
  }
  toeVal *value = static_cast<toeVal *>(Tcl_GetHashValue(entry));
  if (toeValSetType(value, type, data) == 0) return value;
  toeValDestroy(value);
  Tcl_DeleteHashEntry(entry);
  if (toeRemoveValue(object, kEntries, slice, key) == 1) toeRawUndefine(object, kEntries, slice);
  return nullptr;
}

toeVal *toeDefineString(toe *object, const char *slice, const char *key, dataType *type, const char *string) {
  toe *target = toeKeyList2ObjectAndKey(object, &key, 0);
  return target != nullptr ? defineStringHere(target, slice, key, type, string) : nullptr;
}

toeVal *toeLookup(toe *object, int mode, const char *slice, const char *key) {
  toe *target = toeKeyList2ObjectAndKey(object, &key, 0);
  return target != nullptr ? toeRawLookup(target, mode, slice, key) : nullptr;
}

toeVal *toeRawLookup(toe *object, int mode, const char *slice, const char *key) {
  char composite[TOE_MAX_KEY + 1];
  if (object == nullptr || !compose(composite, slice, key)) return nullptr;
  Tcl_HashEntry *entry = Toe_FindObjectHashEntry(object, composite, 2, mode);
  return entry != nullptr ? static_cast<toeVal *>(Tcl_GetHashValue(entry)) : nullptr;
}

const char *toeLookupString(toe *object, int mode, const char *slice, const char *key) {
  return static_cast<const char *>(toeValGetType(toeLookup(object, mode, slice, key), nullptr));
}

void *toeLookupType(toe *object, int mode, const char *slice, const char *key, dataType *type) {
  toeVal *value = toeLookup(object, mode, slice, key);
  return value != nullptr ? toeValGetType(value, type) : nullptr;
}

int toeUndefine(toe *object, const char *slice, const char *key) {
  toe *target = toeKeyList2ObjectAndKey(object, &key, 0);
  return target != nullptr ? toeRawUndefine(target, slice, key) : -1;
}

int toeRawUndefine(toe *object, const char *slice, const char *key) {
  Tcl_HashEntry *entry = ownEntry(object, slice, key);
  if (entry == nullptr) return -1;
  toeValDestroy(static_cast<toeVal *>(Tcl_GetHashValue(entry)));
  Tcl_DeleteHashEntry(entry);
  // The key list of slice "entries" is "entries":"entries" itself, so undefining an emptied key
  // list also takes its slice out of the slice list, and the slice list when that empties.
  if (toeRemoveValue(object, kEntries, slice, key) == 1) toeRawUndefine(object, kEntries, slice);
  return 0;
}

int toeUndefineSlice(toe *object, const char *slice) { return toeUndefineRange(object, slice, 0, -1); }

int toeUndefineRange(toe *object, const char *slice, int first, int last) {
  if (first < 0) return -1;
  stringList *keys = keyList(object, slice);
  if (keys == nullptr) return -1;
  int end = (last == -1 || last >= keys->count) ? keys->count - 1 : last;
  if (end >= first) {
    for (int i = first; i <= end; ++i) {
      if (Tcl_HashEntry *entry = ownEntry(object, slice, keys->items[i])) {
        toeValDestroy(static_cast<toeVal *>(Tcl_GetHashValue(entry)));
        Tcl_DeleteHashEntry(entry);
      }
    }
  }
  int remaining = stringListRemoveRange(keys, first, last);
  if (remaining == 0) toeRawUndefine(object, kEntries, slice);
  return remaining;
}

stringList *toeSlices(toe *object) { return keyList(object, kEntries); }

stringList *toeEntries(toe *object, const char *slice) { return keyList(object, slice); }

int toeCopySlice(toe *object, const char *source, const char *destination) {
  if (object == nullptr || source == nullptr || destination == nullptr) return -1;
  toeUndefineSlice(object, destination);
  for (const std::string &key : keysOf(object, source)) {
    toeVal *value = ownValue(object, source, key.c_str());
    if (value == nullptr) continue;
    std::string text;
    const char *string = toeValGetStringValue(value);
    if (string != nullptr) text = string;
    if (defineStringHere(object, destination, key.c_str(), value->type, string != nullptr ? text.c_str() : nullptr) ==
        nullptr) {
      toeUndefineSlice(object, destination);
      return -1;
    }
  }
  return 0;
}

int toeAppendValue(toe *object, const char *slice, const char *key, const char *element) {
  return appendElement(object, slice, key, element, true);
}


int toeRemoveValue(toe *object, const char *slice, const char *key, const char *element) {
  toeVal *value = ownValue(object, slice, key);
  if (value == nullptr) return -1;
  auto *list = static_cast<stringList *>(toeValGetType(value, stringListType()));
  if (list == nullptr) return -1;
  stringListRemove(list, element);
  return list->count == 0 ? 1 : 0;
}

int toeAddKeyByIndex(toe *object, const char *slice, const char *key, int index) {
  if (object == nullptr || key == nullptr) return -1;
  stringList *keys = keyList(object, slice);
  if (keys == nullptr) return toeAppendValue(object, kEntries, slice, key) == 1 ? 1 : -1;
  // Redefining a slice in the same order (a vector stored again) finds every key in its place.
  if (index >= 0 && index < keys->count && std::strcmp(keys->items[index], key) == 0) return 0;
  int position = -1;
  for (int i = 0; i < keys->count && position < 0; ++i)
    if (std::strcmp(keys->items[i], key) == 0) position = i;
  if (position >= 0) {
    if (position == index || index < 0) return 0;
    if (position < index) return -1;
    std::swap(keys->items[position], keys->items[index]);
    return 0;
  }
  if (index >= 0 && index < keys->count) {
    char *copy = strdup(key);
    if (copy == nullptr) return -1;
    char *moved = keys->items[index];
    keys->items[index] = copy;
    if (stringListAdd(keys, moved) != 0) {
      keys->items[index] = moved;
      std::free(copy);
      return -1;
    }
    std::free(moved);
    return 0;
  }
  return stringListAdd(keys, key) == 0 ? 0 : -1;
}

int toeDefineSlice(toe *object, const char *slice, dataType *type, int count, const char **keys, const char **values) {
  if (object == nullptr || slice == nullptr || values == nullptr) return 1;
  stringList *order = keyList(object, slice);
  int i = 0;
  for (; i < count; ++i) {
    std::string numbered = std::to_string(i + 1);
    const char *key = keys != nullptr ? keys[i] : numbered.c_str();
    if (key == nullptr || values[i] == nullptr) break;
    char composite[TOE_MAX_KEY + 1];
    if (!compose(composite, slice, key)) break;
    int isNew = 0;
    Tcl_HashEntry *entry = Tcl_CreateHashEntry(&object->dictionary, composite, &isNew);
    toeVal *value = isNew ? nullptr : static_cast<toeVal *>(Tcl_GetHashValue(entry));
    // A value of the same type takes the new text in place (a typed one parses it into its binary);
    // any other is replaced by a fresh untyped value, converted below.
    bool inPlace = value != nullptr && value->type == type && (type == nullptr || value->binary != nullptr);
    bool parsed = true;
    if (inPlace) {
      parsed = toeValSetStringValue(value, values[i]) == 0;
    } else {
      toeVal *fresh = toeValCreate(nullptr, values[i]);
      if (fresh == nullptr) {
        if (isNew) Tcl_DeleteHashEntry(entry);
        break;
      }
      if (value != nullptr) toeValDestroy(value);
      Tcl_SetHashValue(entry, fresh);
      value = fresh;
    }
    // A slice defined again in the same order finds each key in its place: no list update.
    int listed = order != nullptr && i < order->count && std::strcmp(order->items[i], key) == 0
                     ? 0
                     : toeAddKeyByIndex(object, slice, key, i);
    if (listed != 0 || order == nullptr) order = keyList(object, slice);
    if (listed == 1) toeAppendValue(object, kEntries, kEntries, slice);
    if (listed < 0) {
      // Keep the store consistent: an entry is always in its key list.
      toeValDestroy(value);
      Tcl_DeleteHashEntry(entry);
      if (stringList *list = keyList(object, slice)) stringListRemove(list, key);
      break;
    }
    if (!parsed || (!inPlace && type != nullptr && toeValCvtType(value, type) != 0)) break;
  }
  if (keyList(object, slice) != nullptr) toeUndefineRange(object, slice, i, -1);
  return i == count ? 0 : 1;
}

const char *toeFirstKey(toe *object, const char *slice) {
  if (slice == nullptr) slice = "value";
  stringList *keys = keyList(object, slice);
  if (keys == nullptr || keys->count == 0) {
    if (ownEntry(object, kWalk, slice) != nullptr) toeRawUndefine(object, kWalk, slice);
    return nullptr;
  }
  std::string first = keys->items[0];
  if (toeRawDefine(object, kWalk, slice, nullptr, first.c_str()) == nullptr) return nullptr;
  keys = keyList(object, slice);  // defining the position may have grown the slice lists
  return keys != nullptr && keys->count > 0 ? keys->items[0] : nullptr;
}

const char *toeNextKey(toe *object, const char *slice) {
  if (slice == nullptr) slice = "value";
  const char *position = ownString(object, kWalk, slice);
  if (position == nullptr) return toeFirstKey(object, slice);
  stringList *keys = keyList(object, slice);
  int at = -1;
  if (keys != nullptr)
    for (int i = 0; i < keys->count && at < 0; ++i)
      if (std::strcmp(keys->items[i], position) == 0) at = i;
  if (at < 0 || at + 1 >= keys->count) {
    toeRawUndefine(object, kWalk, slice);
    return nullptr;
  }
  std::string next = keys->items[at + 1];
  if (toeRawDefine(object, kWalk, slice, nullptr, next.c_str()) == nullptr) return nullptr;
  keys = keyList(object, slice);
  return keys != nullptr && at + 1 < keys->count ? keys->items[at + 1] : nullptr;
}

// ---- values ----

toeVal *toeValCreate(dataType *type, const void *data) {
  toeVal *value = static_cast<toeVal *>(std::calloc(1, sizeof(toeVal)));
  if (value == nullptr) return nullptr;
  if (type != nullptr) {
    value->type = type;
    value->binary = zeroBinary(type);
    if (value->binary == nullptr) {
      std::free(value);
      return nullptr;
    }
    if (data != nullptr) std::memcpy(value->binary, data, type->size);
  } else if (data != nullptr) {
    value->string = strdup(static_cast<const char *>(data));
    if (value->string == nullptr) {
      std::free(value);
      return nullptr;
    }
  }
  return value;
}

void toeValDestroy(toeVal *value) {
  if (value == nullptr) return;
  releaseBinary(value);
  std::free(value->string);
  std::free(value);
}

int toeValCvtType(toeVal *value, dataType *type) {
  if (value == nullptr) return -1;
  if (type == nullptr || type == value->type) return 0;
  if (value->string == nullptr && value->binary != nullptr) {
    if (value->type == nullptr || value->type->toString == nullptr) return -1;
    if (value->type->toString(value->binary, &value->string) != 0) {
      value->string = nullptr;
      return -1;
    }
  }
  if (type->fromString == nullptr) return -1;
  void *binary = zeroBinary(type);
  if (binary == nullptr) return -1;
  if (value->string != nullptr && type->fromString(binary, value->string) != 0) {
    std::free(binary);
    return -1;
  }
  std::free(value->string);
  value->string = nullptr;
  releaseBinary(value);
  value->type = type;
  value->binary = binary;
  return 0;
}

const char *toeValGetStringValue(toeVal *value) {
  if (value == nullptr) return nullptr;
  if (value->type == nullptr) return value->string;
  std::free(value->string);
  value->string = nullptr;
  if (value->type->toString == nullptr || value->binary == nullptr) return nullptr;
  if (value->type->toString(value->binary, &value->string) != 0) {
    std::free(value->string);
    value->string = nullptr;
  }
  return value->string;
}

void *toeValGetType(toeVal *value, dataType *type) {
  if (value == nullptr) return nullptr;
  if (type == nullptr) return const_cast<char *>(toeValGetStringValue(value));
  return toeValCvtType(value, type) == 0 ? value->binary : nullptr;
}

int toeValSetStringValue(toeVal *value, const char *string) {
  if (value == nullptr) return -1;
  if (value->type == nullptr) {
    char *copy = nullptr;
    if (string != nullptr && (copy = strdup(string)) == nullptr) return -1;
    std::free(value->string);
    value->string = copy;
    return 0;
  }
  std::free(value->string);
  value->string = nullptr;
  if (string != nullptr && value->type->fromString != nullptr && value->binary != nullptr &&
      value->type->fromString(value->binary, string) == 0)
    return 0;
  if (value->binary != nullptr) {
    // What the binary held is released; zeroing it keeps a later destroy from releasing it twice.
    if (value->type->destroy != nullptr) value->type->destroy(value->binary);
    std::memset(value->binary, 0, value->type->size);
  }
  return -1;
}

int toeValSetType(toeVal *value, dataType *type, const void *data) {
  if (value == nullptr) return -1;
  if (type == nullptr) return toeValSetStringValue(value, static_cast<const char *>(data));
  if (toeValCvtType(value, type) != 0) return -1;
  if (data != nullptr) {
    if (type->destroy != nullptr) type->destroy(value->binary);
    std::memcpy(value->binary, data, type->size);
  }
  std::free(value->string);
  value->string = nullptr;
  return 0;
}

dataType *toeValGetDataType(toeVal *value) { return value != nullptr ? value->type : nullptr; }

}  // extern "C"
