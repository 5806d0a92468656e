// Packages "status" (status records and lists of the current node) and "table" (matching the rows
// of a node's column slices "col-<column>").
#include <cstring>
#include <string>
#include <vector>

#include "pkg/command.h"
#include "rules/service_internal.h"
#include "telvi/package.h"
#include "telvi/status.h"

namespace {

using telvi::fail;
using telvi::usageSuffix;
using telvi::service::lookup;
using telvi::service::setResult;
using telvi::service::ok;
using telvi::service::objectNode;

// ---- status ----

int cmdFormatStatus(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return usageSuffix(interp, argv[0], " name severity");
  Tcl_DString record;
  Tcl_DStringInit(&record);
  formatStatus(node, argv[1], argv[2], &record);
  Tcl_DStringResult(interp, &record);
  return TCL_OK;
}

int cmdSetStatus(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return usageSuffix(interp, argv[0], " name severity");
  return setStatus(interp, node, argv[1], argv[2]);
}

int cmdClearStatus(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) toeRawUndefine(node, "status", argv[i]);
  } else {
    toeCopySlice(node, "status", "oldstatus");
    toeUndefineSlice(node, "status");
  }
  return ok(interp, "");
}

int cmdGetStatus(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc == 1) return ok(interp, lookup(node, 1, "internal", "status"));
  Tcl_DString result;
  Tcl_DStringInit(&result);
  for (int i = 1; i < argc; ++i) {
    const char *entry = lookup(node, 1, "status", argv[i]);
    if (entry == nullptr) {
      // A condition that is not raised reads as a record of severity 0.
      Tcl_DString record;
      Tcl_DStringInit(&record);
      Tcl_DStringAppendElement(&record, "0");
      Tcl_DStringAppendElement(&record, toeGetId(node));
      Tcl_DStringAppendElement(&record, argv[i]);
      Tcl_DStringAppendElement(&result, Tcl_DStringValue(&record));
      Tcl_DStringFree(&record);
      continue;
    }
    int count;
    const char **records;
    if (Tcl_SplitList(interp, entry, &count, &records) != TCL_OK) {
      Tcl_DStringFree(&result);
      return TCL_ERROR;
    }
    Tcl_DStringAppendElement(&result, count > 0 ? records[0] : "");
    Tcl_Free(reinterpret_cast<char *>(records));
  }
  Tcl_DStringResult(interp, &result);
  return TCL_OK;
}

int cmdGetSortedStatusList(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  return ok(interp, lookup(node, 1, "internal", "status"));
}

int cmdDefineStatus(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return usageSuffix(interp, argv[0], " name statuslist");
  int changed = defineStatus(node, argv[1], argv[2]);
  if (changed < 0) return fail(interp, argv[0], ": Failed to set status");
  return ok(interp, changed ? "1" : "0");
}

int cmdConfirmStatus(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  return confirmStatus(interp, node);
}

int cmdSetNodeStatus(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return usageSuffix(interp, argv[0], " name statuslist");
  return setNodeStatus(interp, node, argv[1], argv[2]);
}

int cmdForwardStatus(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return usageSuffix(interp, argv[0], " name statuslist");
  forwardStatus(interp, node, argv[1], argv[2]);
  return ok(interp, "0");
}

int cmdGetStatusList(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  Tcl_DString list;
  Tcl_DStringInit(&list);
  getStatusList(node, &list);
  Tcl_DStringResult(interp, &list);
  return TCL_OK;
}

int cmdStatusSortCommand(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (objectNode(interp) == nullptr) return TCL_ERROR;
  if (argc != 3) return usageSuffix(interp, argv[0], " status1 status2");
  int order = statusCompare(argv[1], argv[2]);
  return ok(interp, order > 0 ? "1" : order < 0 ? "-1" : "0");
}

int cmdGetModuleStatus(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  return ok(interp, getModuleStatus(node));
}

int cmdSetModuleStatus(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return usageSuffix(interp, argv[0], " status ");
  // A node outside any module has no module status to set: nothing is stored, and nothing fails.
  setModuleStatus(node, argv[1]);
  return ok(interp, "");
}

// ---- table ----

// Whether one text matches the pattern under the operation's first character.
bool textMatches(char operation, const char *text, const char *pattern) {
  switch (operation) {
    case '=':
      return std::strcmp(text, pattern) == 0;
    case '?':  // the text is a prefix of the pattern
      return std::strncmp(text, pattern, std::strlen(text)) == 0;
    case '~':  // the pattern is a prefix of the text
      return std::strncmp(text, pattern, std::strlen(pattern)) == 0;
    default:
      return false;
  }
}

// 1 match, 0 none, -1 a field that is no list (message set).
int fieldMatch(Tcl_Interp *interp, toe *node, const char *row, const char *column, const char *operation,
               const char *pattern) {
  std::string slice = std::string("col-") + column;
  const char *field = lookup(node, 0, slice.c_str(), row);
  if (field == nullptr) return 0;
  // A one-character operation matches any element of the field; a longer one the whole field.
  if (operation[0] == '\0' || operation[1] != '\0') return textMatches(operation[0], field, pattern);
  int count;
  const char **elements;
  if (Tcl_SplitList(nullptr, field, &count, &elements) != TCL_OK) {
    fail(interp, "error splitting list: ", field);
    return -1;
  }
  bool matched = false;
  for (int i = 0; i < count && !matched; ++i) matched = textMatches(operation[0], elements[i], pattern);
  Tcl_Free(reinterpret_cast<char *>(elements));
  return matched ? 1 : 0;
}

int cmdTableRowMatch(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 4) return usageSuffix(interp, argv[0], " column operation pattern");
  std::string slice = std::string("col-") + argv[1];
  stringList *keys = toeEntries(node, slice.c_str());
  std::vector<std::string> rows;
  for (int i = 0; keys != nullptr && i < keys->count; ++i) rows.emplace_back(keys->items[i]);
  Tcl_DString result;
  Tcl_DStringInit(&result);
  for (const std::string &row : rows) {
    int match = fieldMatch(interp, node, row.c_str(), argv[1], argv[2], argv[3]);
    if (match < 0) {
      Tcl_DStringFree(&result);
      return TCL_ERROR;
    }
    if (match) Tcl_DStringAppendElement(&result, row.c_str());
  }
  Tcl_DStringResult(interp, &result);
  return TCL_OK;
}

int cmdTableFieldMatch(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 5) return usageSuffix(interp, argv[0], " row column operation pattern");
  int match = fieldMatch(interp, node, argv[1], argv[2], argv[3], argv[4]);
  if (match < 0) return TCL_ERROR;
  Tcl_ResetResult(interp);
  Tcl_AppendElement(interp, match ? "1" : "0");
  return TCL_OK;
}

}  // namespace

extern "C" int Status_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {
                                    {"defineStatus", cmdDefineStatus},
                                    {"confirmStatus", cmdConfirmStatus},
                                    {"forwardStatus", cmdForwardStatus},
                                    {"setNodeStatus", cmdSetNodeStatus},
                                    {"statusSortCommand", cmdStatusSortCommand},
                                    {"getStatusList", cmdGetStatusList},
                                    {"getModuleStatus", cmdGetModuleStatus},
                                    {"setModuleStatus", cmdSetModuleStatus},
                                    {"formatStatus", cmdFormatStatus},
                                    {"setStatus", cmdSetStatus},
                                    {"clearStatus", cmdClearStatus},
                                    {"getStatus", cmdGetStatus},
                                    {"getSortedStatusList", cmdGetSortedStatusList},
                                });
  return TCL_OK;
}

extern "C" int Table_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {
                                    {"tableRowMatch", cmdTableRowMatch},
                                    {"tableFieldMatch", cmdTableFieldMatch},
                                });
  return TCL_OK;
}
