// Helpers shared by the interface classes: spec fields, owned C strings, the localhost rule.
#ifndef TELVI_IO_CLASS_H
#define TELVI_IO_CLASS_H

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telvi/interface.h"

namespace telvi::io {

struct FreeDeleter {
  void operator()(char *p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

// A possibly absent text as an optional string (absent and empty are the same).
inline std::optional<std::string> take(char *text) {
  CString owned(text);
  if (!owned) return std::nullopt;
  return std::string(owned.get());
}

// The fields of a spec after its scheme word, in order; an empty field is absent. The last field
// takes the rest of the text when `restInLast` is set (paths and commands may hold ':').
std::vector<std::optional<std::string>> specFields(const char *spec, size_t count);

// A URL names a local resource: its host is absent or "localhost" (any case).
bool hostIsLocal(const char *url);

// The spec form of a URL for the classes whose URL is scheme://localhost/resource;p=v...: the
// resource and then each named parameter, joined with ':'. Null when the host is not local, the
// resource is missing, or the resource or a value holds a ':' (the interface error text says which).
std::optional<std::string> localSpec(const char *url, const char *scheme,
                                     std::initializer_list<const char *> params);

// The spec of an open request: the text itself when it is no URL, else the class's conversion.
// File permissions written as exactly three octal digits ("644"); -1 for anything else.
inline int permissions(const std::string &text) {
  if (text.size() != 3) return -1;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '7') return -1;
    value = value * 8 + (c - '0');
  }
  return value;
}

inline const char *fieldOr(const std::optional<std::string> &field, const char *fallback) {
  return field ? field->c_str() : fallback;
}

// Registers the interface's class once the registry exists.
void registerClass(const intClass *cls);

// The remove of the classes kept in a file (file, clog): deletes the file whose path a spec starts
// with, found as the interface path rules place it; -1 with errno EINVAL when there is no spec or
// it has no path.
int removeSpecFile(const std::optional<std::string> &spec);

// Accepts the connection waiting on listener fd and records it as an interface of the class named
// className with spec; -1 with errno set when either step fails (the connection is then closed).
int acceptConnection(int fd, const char *className, const char *spec);

// The class registries of interfaces and intrafaces: a table of classes ended by a null entry, at
// most N - 1 of them. A class registered under a name already there replaces the old one.
template <typename Class, size_t N>
int addToClassTable(const Class *(&table)[N], const Class *cls) {
  size_t slot = 0;
  for (; table[slot] != nullptr; ++slot) {
    if (std::strcmp(table[slot]->name, cls->name) == 0) {
      table[slot] = cls;
      return 0;
    }
  }
  if (slot >= N - 1) return errno = ENOSPC, -1;
  table[slot] = cls;
  table[slot + 1] = nullptr;
  return 0;
}

template <typename Class, size_t N>
const Class *findInClassTable(const Class *(&table)[N], const char *name) {
  for (size_t slot = 0; table[slot] != nullptr; ++slot)
    if (std::strcmp(table[slot]->name, name) == 0) return table[slot];
  return nullptr;
}

}  // namespace telvi::io

#endif
