// Key lists of an object's slices, as the store's public interface gives them.
#ifndef TELVI_OBJECTS_KEYS_H
#define TELVI_OBJECTS_KEYS_H

#include <cstring>
#include <string>
#include <vector>

#include "telvi/toe.h"

namespace telvi::objects {

// The most components an object path may have. A deeper path is refused whole, before anything
// is located or created, so that a failed path leaves no half-built branch behind.
constexpr int kMaxPathLevels = 1000;

// The components of an object path: one per name after a leading "." or "..", whether they are
// joined by "." or by "*" (a run of "*" counts once).
inline int pathLevels(const char *path) {
  if (path == nullptr) return 0;
  if (path[0] == '.') path += path[1] == '.' ? 2 : 1;
  int levels = 1;
  for (const char *p = path; *p != '\0'; ++p)
    if (*p == '.' || (*p == '*' && p > path && p[-1] != '*' && p[-1] != '.')) ++levels;
  return levels;
}

// Why slice and key (the key may be a key path, "object.path.key") cannot name a dictionary entry:
// a phrase for a message, or empty when nothing is wrong with them. Given an object, a path that
// leads to no object from it is reported too (located with flags, which must not create).
inline std::string keyPathProblem(toe *object, const char *slice, const char *key, int flags = 0) {
  if (slice == nullptr || key == nullptr) return "";
  const char *dot = std::strrchr(key, '.');
  const char *leaf = dot != nullptr ? dot + 1 : key;
  std::string path = dot != nullptr ? std::string(key, dot) : std::string();
  if (dot != nullptr && pathLevels(path.c_str()) > kMaxPathLevels)
    return "the key's object path has more than " + std::to_string(kMaxPathLevels) + " levels";
  size_t length = std::strlen(slice) + 1 + std::strlen(leaf);
  if (length > TOE_MAX_KEY)
    return "slice, \":\" and key make " + std::to_string(length) + " characters, more than " +
           std::to_string(TOE_MAX_KEY);
  // Every slice has a key list stored under "entries:" and its name.
  if (std::strlen("entries:") + std::strlen(slice) > TOE_MAX_KEY)
    return "a slice name has at most " + std::to_string(TOE_MAX_KEY - std::strlen("entries:")) + " characters";
  if (dot != nullptr && object != nullptr && (flags & 2) == 0 &&
      toeLocate(object, path.c_str(), flags, nullptr, nullptr, 0) == nullptr)
    return "no object " + path;
  return "";
}

// A copy of the slice's keys in order, for walks that may change the object as they go.
inline std::vector<std::string> keysOf(toe *object, const char *slice) {
  std::vector<std::string> keys;
  if (stringList *list = toeEntries(object, slice))
    for (int32_t i = 0; i < list->count; ++i) keys.emplace_back(list->items[i]);
  return keys;
}

inline bool hasKeys(toe *object, const char *slice) {
  stringList *list = toeEntries(object, slice);
  return list != nullptr && list->count > 0;
}

}  // namespace telvi::objects

#endif
