// Data nodes: row names and descriptions, raw values, dimensions, time stamps, scalar check.
#include "telvi/data.h"

#include <ctime>
#include <string>

#include "rules/service_internal.h"
#include "telvi/datatype.h"
#include "telvi/ddl.h"

namespace {

using telvi::service::lookup;
using telvi::service::objectOf;

constexpr int kMaxNesting = 1000;  // receptive children within receptive children

// A column leaf has no children of its own: its rows are named by its table branch.
toe *tableOf(toe *node) {
  if (toeGetChildCount(node) == 0 && toeGetSuperior(node) != nullptr) return toeGetSuperior(node);
  return node;
}

// The value of a column (named by "internal" <columnKey>) at the index; null when there is no column.
const char *columnValue(toe *table, const char *columnKey, const char *index, bool &hasColumn) {
  const char *columnId = lookup(table, 0, "internal", columnKey);
  hasColumn = columnId != nullptr;
  if (!hasColumn) return nullptr;
  toe *column = objectOf(columnId);
  const char *value = column != nullptr ? lookup(column, 0, "data", index) : nullptr;
  return value != nullptr ? value : "";
}

const char *dimensionOf(toe *node) {
  const char *dimension = node != nullptr ? lookup(node, 1, "value", "childDimension") : nullptr;
  return dimension != nullptr && dimension[0] != '\0' ? dimension : "scalar";
}

int oneScalar(toe *node, int depth) {
  if (depth > kMaxNesting) return 0;
  toeVal *value = toeRawLookup(node, 0, "internal", "receptivechildren");
  if (value == nullptr) return std::string(getDimension(node)) == "scalar";
  auto *children = static_cast<stringList *>(toeValGetType(value, dataGetType("StringList")));
  if (children == nullptr || children->count != 1) return 0;
  toe *child = objectOf(children->items[0]);
  return child != nullptr && oneScalar(child, depth + 1);
}

}  // namespace

extern "C" {

const char *getRowName(toe *node, const char *index) {
  if (node == nullptr || index == nullptr) return "";
  toe *table = tableOf(node);
  if (const char *name = lookup(table, 0, "nameByIndex", index)) return name;
  bool hasColumn;
  if (const char *name = columnValue(table, "nameColumn", index, hasColumn)) return name;
  return std::string(index) == "0" ? "" : index;
}

const char *getRowDesc(toe *node, const char *index) {
  if (node == nullptr || index == nullptr) return "";
  bool hasColumn;
  if (const char *desc = columnValue(tableOf(node), "descColumn", index, hasColumn)) return desc;
  return getRowName(node, index);
}

const char *getRawValue(toe *node, const char *index) {
  if (node == nullptr || index == nullptr) return nullptr;
  return lookup(node, 0, "data", index);
}

const char *getDimension(toe *node) {
  toe *superior = node != nullptr ? toeGetSuperior(node) : nullptr;
  return superior != nullptr ? dimensionOf(superior) : "scalar";
}

const char *getChildDimension(toe *node) { return dimensionOf(node); }

int setTimeStamp(toe *node) {
  if (node == nullptr) return 1;
  uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  return toeRawDefine(node, "internal", "timeStamp", dataGetType("ulong"), &now) != nullptr ? 0 : 1;
}

int checkForOneScalar(toe *node) { return node != nullptr && oneScalar(node, 0); }

int controlNode(const char *directive) {
  ddlPrintf("info", "controlNode - received directive: %s\n", directive != nullptr ? directive : "");
  return 0;
}

}  // extern "C"
