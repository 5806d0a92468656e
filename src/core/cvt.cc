// The containers of the built-in types: string lists, counted strings, hexadecimal text and arrays.
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "telvi/datatype.h"

namespace {

bool isListSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Appends a copy of [text, text + length) to items, doubling the room (from six) when it is full.
bool appendItem(char ***items, int32_t *count, int32_t *room, const char *text, size_t length) {
  if (*count + 1 >= *room) {
    int32_t newRoom = *room == 0 ? 6 : *room * 2;
    char **grown = static_cast<char **>(std::realloc(*items, sizeof(char *) * static_cast<size_t>(newRoom)));
    if (grown == nullptr) return false;
    *items = grown;
    *room = newRoom;
  }
  char *copy = static_cast<char *>(std::malloc(length + 1));
  if (copy == nullptr) return false;
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  (*items)[(*count)++] = copy;
  (*items)[*count] = nullptr;
  return true;
}

void freeItems(char **items, int32_t count) {
  for (int32_t i = 0; i < count; ++i) std::free(items[i]);
  std::free(items);
}

}  // namespace

extern "C" {

// ---- string lists ----

stringList *stringListCreate(void) { return static_cast<stringList *>(std::calloc(1, sizeof(stringList))); }

void stringListDestroy(stringList *list) {
  if (list == nullptr) return;
  stringListFree(list);
  std::free(list);
}

void stringListFree(stringList *list) {
  if (list == nullptr) return;
  if (list->items != nullptr) freeItems(list->items, list->count);
  list->items = nullptr;
  list->count = 0;
}

int stringListAdd(stringList *list, const char *string) {
  if (list == nullptr || string == nullptr || list->count < 0 || list->count == INT32_MAX - 1) return -1;
  char *copy = strdup(string);
  if (copy == nullptr) return -1;
  char **grown = static_cast<char **>(
      std::realloc(list->items, sizeof(char *) * (static_cast<size_t>(list->count) + 2)));
  if (grown == nullptr) {
    std::free(copy);
    return -1;
  }
  list->items = grown;
  list->items[list->count++] = copy;
  list->items[list->count] = nullptr;
  return 0;
}

int stringListAddUnique(stringList *list, const char *string) {
  if (list == nullptr || string == nullptr) return -1;
  for (int32_t i = 0; i < list->count; ++i)
    if (std::strcmp(list->items[i], string) == 0) return 1;
  return stringListAdd(list, string);
}

int stringListRemove(stringList *list, const char *string) {
  if (list == nullptr || string == nullptr) return 0;
  int32_t kept = 0;
  for (int32_t i = 0; i < list->count; ++i) {
    if (std::strcmp(list->items[i], string) == 0) std::free(list->items[i]);
    else list->items[kept++] = list->items[i];
  }
  int removed = list->count - kept;
  list->count = kept;
  if (list->items != nullptr) list->items[kept] = nullptr;
  return removed;
}

int stringListRemoveRange(stringList *list, int first, int last) {
  if (list == nullptr || first < 0 || (last != -1 && last < first)) return -1;
  if (first >= list->count) return list->count;
  if (last == -1 || last >= list->count) last = list->count - 1;
  for (int i = first; i <= last; ++i) std::free(list->items[i]);
  int removed = last - first + 1;
  std::memmove(&list->items[first], &list->items[last + 1],
               sizeof(char *) * static_cast<size_t>(list->count - last));  // with the terminator
  list->count -= removed;
  return list->count;
}

int stringListCvtStringToStringList(stringList *list, const char *text) {
  if (list == nullptr || text == nullptr) return -1;
  stringListFree(list);
  char **items = nullptr;
  int32_t count = 0, room = 0;
  const char *p = text;
  for (;;) {
    while (isListSpace(*p)) ++p;
    if (*p == '\0') break;
    const char *start;
    size_t length;
    if (*p == '"') {
      start = p + 1;
      const char *close = std::strchr(start, '"');
      if (close == nullptr) {
        freeItems(items, count);
        return -1;
      }
      length = static_cast<size_t>(close - start);
      p = close + 1;
    } else {
      start = p;
      while (*p != '\0' && *p != ',' && !isListSpace(*p)) ++p;
      length = static_cast<size_t>(p - start);
    }
    if (!appendItem(&items, &count, &room, start, length)) {
      freeItems(items, count);
      return -1;
    }
    while (isListSpace(*p)) ++p;
    if (*p == ',') ++p;
  }
  list->items = items;
  list->count = count;
  return 0;
}

// ---- counted strings ----

int cvtStringSet(cvtString *string, const void *bytes, uint32_t length) {
  if (string == nullptr || bytes == nullptr || length == 0) return -1;
  char *buffer = static_cast<char *>(std::malloc(static_cast<size_t>(length) + 1));
  if (buffer == nullptr) return -1;
  std::memcpy(buffer, bytes, length);
  buffer[length] = '\0';
  std::free(string->buffer);
  string->buffer = buffer;
  string->length = length;
  return 0;
}

int cvtStringAppend(cvtString *string, const void *bytes, uint32_t length) {
  if (string == nullptr || bytes == nullptr || length == 0) return -1;
  uint32_t old = string->buffer != nullptr ? string->length : 0;
  if (length > UINT32_MAX - old - 1) return -1;
  char *buffer = static_cast<char *>(std::realloc(string->buffer, static_cast<size_t>(old) + length + 1));
  if (buffer == nullptr) return -1;
  std::memcpy(buffer + old, bytes, length);
  buffer[old + length] = '\0';
  string->buffer = buffer;
  string->length = old + length;
  return 0;
}

uint32_t cvtStringGet(const cvtString *string, const char **bytes) {
  if (string == nullptr || bytes == nullptr) return 0;
  *bytes = string->buffer;
  return string->buffer != nullptr ? string->length : 0;
}

// ---- hexadecimal ----

int BinToHex(const unsigned char *bytes, int length, char *text) {
  static const char digits[] = "0123456789ABCDEF";
  if (text == nullptr || length < 0 || (bytes == nullptr && length > 0)) return -1;
  char *p = text;
  for (int i = 0; i < length; ++i) {
    if (i > 0) *p++ = ':';
    *p++ = digits[bytes[i] >> 4];
    *p++ = digits[bytes[i] & 0x0F];
  }
  *p = '\0';
  return 0;
}

int HexToBin(const char *text, unsigned char *bytes, int *length) {
  if (length != nullptr) *length = 0;
  if (text == nullptr || bytes == nullptr || length == nullptr) return -1;
  int count = 0;
  const char *p = text;
  while (*p != '\0') {
    int high = hexValue(p[0]);
    int low = high < 0 ? -1 : hexValue(p[1]);  // p[1] is read only when p[0] was a digit
    if (low < 0) return -1;
    bytes[count++] = static_cast<unsigned char>(high << 4 | low);
    p += 2;
    if (*p == ':') ++p;
  }
  *length = count;
  return 0;
}

// ---- data arrays ----

dataArray *dataArrayCreate(int size, int count) {
  if (size < 1) return nullptr;
  dataArray *array = static_cast<dataArray *>(std::calloc(1, sizeof(dataArray)));
  if (array == nullptr) return nullptr;
  array->size = size;
  if (count > 0 && dataArrayResize(array, count) != 0) {
    std::free(array);
    return nullptr;
  }
  return array;
}

void dataArrayDestroy(dataArray **array) {
  if (array == nullptr || *array == nullptr) return;
  std::free((*array)->data);
  std::free(*array);
  *array = nullptr;
}

int dataArrayResize(dataArray *array, int count) {
  if (array == nullptr) return -1;
  if (count <= 0) {
    std::free(array->data);
    array->data = nullptr;
    array->count = 0;
    return 0;
  }
  size_t size = static_cast<size_t>(array->size);
  if (static_cast<size_t>(count) > SIZE_MAX / size) return -1;
  void *data = std::realloc(array->data, size * static_cast<size_t>(count));
  if (data == nullptr) return -1;
  if (count > array->count)
    std::memset(static_cast<char *>(data) + size * static_cast<size_t>(array->count), 0,
                size * static_cast<size_t>(count - array->count));
  array->data = data;
  array->count = count;
  return 0;
}

void *dataArrayIndex(dataArray *array, int index, int grow) {
  if (array == nullptr || index < 0) return nullptr;
  if (index >= array->count) {
    long long wanted = grow ? 2LL * index + 1 : static_cast<long long>(index) + 1;
    if (wanted > INT_MAX || dataArrayResize(array, static_cast<int>(wanted)) != 0) return nullptr;
  }
  return static_cast<char *>(array->data) + static_cast<size_t>(array->size) * static_cast<size_t>(index);
}

int dataArrayRemoveIndex(dataArray *array, int index) {
  if (array == nullptr || index < 0 || index >= array->count) return -1;
  size_t size = static_cast<size_t>(array->size);
  char *data = static_cast<char *>(array->data);
  std::memmove(data + size * static_cast<size_t>(index), data + size * static_cast<size_t>(index + 1),
               size * static_cast<size_t>(array->count - index - 1));
  if (--array->count == 0) {
    std::free(array->data);
    array->data = nullptr;
  }
  return 0;
}

int dataArraySize(const dataArray *array) { return array != nullptr ? array->count : 0; }

}  // extern "C"
