// libFuzzer target: the configuration file reader on arbitrary text, then the writer on whatever it
// built, and the reader again on the writer's output.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "telvi/cfgfile.h"
#include "telvi/id.h"
#include "telvi/toe.h"

namespace {
int quiet(toe *, int, char **, void *, char **) { return 0; }
// Loads would open whatever the input names (devices, pipes to commands): answered with a value.
int noLoad(toe *, int, char **, void *, char **result) {
  if (result != nullptr) *result = strdup("loaded");
  return 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    idInit();
    cfgyaccRegisterAction("parse_error", quiet, nullptr);
    cfgyaccRegisterAction("load", noLoad, nullptr);
    return true;
  }();
  (void)ready;
  std::string text(reinterpret_cast<const char *>(data), size);
  toe *root = toeCreate(nullptr, 0, nullptr);
  cfgfileParseStringSlice(text.c_str(), root, "value", 0, nullptr, 0);
  cfgyaccToggleDebug(0);
  const char *slices[] = {"value", "s"};
  for (int flags : {CFG_EXPORT_INDENT | CFG_EXPORT_PARENTS, CFG_EXPORT_DOT, CFG_EXPORT_MINIMAL | CFG_EXPORT_INDENT}) {
    char *out = cfgfileWriteToString(root, "value", slices, 2, flags, "value", "type", "x", "action", nullptr);
    if (out != nullptr) {
      toe *copy = toeCreate(nullptr, 0, nullptr);
      cfgfileParseString(out, copy);
      toeDestroyHierarchy(copy);
    }
    std::free(out);
  }
  toeDestroyHierarchy(root);
  return 0;
}
