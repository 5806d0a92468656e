// Key lists of an object's slices, as the store's public interface gives them.
#ifndef TELVI_OBJECTS_KEYS_H
#define TELVI_OBJECTS_KEYS_H

#include <string>
#include <vector>

#include "telvi/toe.h"

namespace telvi::objects {

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
