// URL parts and spec fields: the two ways an interface is named.
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "telvi/interface.h"

namespace {

char *copyOrNull(const char *begin, size_t length) {
  if (length == 0) return nullptr;
  char *result = static_cast<char *>(std::malloc(length + 1));
  if (result == nullptr) return nullptr;
  std::memcpy(result, begin, length);
  result[length] = '\0';
  return result;
}

// The text after "://", or null when the text is no URL.
const char *afterScheme(const char *url) {
  if (url == nullptr) return nullptr;
  const char *mark = std::strstr(url, "://");
  return mark == nullptr ? nullptr : mark + 3;
}

}  // namespace

extern "C" {

int isURL(const char *text) { return text != nullptr && std::strstr(text, "://") != nullptr; }

char *getURLScheme(const char *url) {
  const char *rest = afterScheme(url);
  if (rest == nullptr) return nullptr;
  return copyOrNull(url, static_cast<size_t>(rest - 3 - url));
}

char *getURLHost(const char *url) {
  const char *rest = afterScheme(url);
  if (rest == nullptr) return nullptr;
  return copyOrNull(rest, std::strcspn(rest, ":/"));
}

char *getURLPort(const char *url) {
  const char *rest = afterScheme(url);
  if (rest == nullptr) return nullptr;
  rest += std::strcspn(rest, ":/");
  if (*rest != ':') return nullptr;
  ++rest;
  return copyOrNull(rest, std::strcspn(rest, "/"));
}

char *getURLResource(const char *url) {
  const char *rest = afterScheme(url);
  if (rest == nullptr) return nullptr;
  const char *slash = std::strchr(rest, '/');
  if (slash == nullptr) return nullptr;
  ++slash;
  return copyOrNull(slash, std::strcspn(slash, ";?#"));
}

char *getURLParam(const char *url, const char *name) {
  if (afterScheme(url) == nullptr || name == nullptr) return nullptr;
  const char *p = url + std::strcspn(url, ";?#");
  size_t nameLength = std::strlen(name);
  while (*p == ';') {
    ++p;
    size_t fieldLength = std::strcspn(p, ";?#");
    size_t keyLength = std::strcspn(p, "=;?#");
    if (keyLength == nameLength && strncasecmp(p, name, nameLength) == 0 && p[keyLength] == '=')
      return copyOrNull(p + keyLength + 1, fieldLength - keyLength - 1);
    p += fieldLength;
  }
  return nullptr;
}

char *stringParse(const char **cursor, char sep) {
  if (cursor == nullptr || *cursor == nullptr) return nullptr;
  const char *begin = *cursor;
  const char *end = std::strchr(begin, sep);
  size_t length = end == nullptr ? std::strlen(begin) : static_cast<size_t>(end - begin);
  *cursor = end == nullptr ? nullptr : end + 1;
  return copyOrNull(begin, length);
}

}  // extern "C"
