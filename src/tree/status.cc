// Status lists: records, their definition per source, sorting, confirmation with forwarding up the
// tree, and the status a module imposes on its nodes.
#include "telvi/status.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "rules/service_internal.h"
#include "telvi/datatype.h"
#include "telvi/ddl.h"
#include "telvi/service.h"

namespace {

using telvi::service::Hold;
using telvi::service::moduleRoot;
using telvi::service::lookup;
using telvi::service::setResult;

// The nodes a change has climbed through so far. Superiors can be set by scripts, so the naming tree
// may loop; a change stops at a node it has already passed (and after this many superiors).
using Climb = std::vector<toe *>;
constexpr size_t kMaxClimb = 1000;

float severityOf(const char *text) { return static_cast<float>(std::atof(text != nullptr ? text : "")); }

// The node's own name, as its superior's "status" slice knows it; empty when it has none.
std::string ownName(toe *node) {
  std::unique_ptr<char, decltype(&std::free)> name(toeObject2Name(node, 0), &std::free);
  return name != nullptr ? name.get() : "";
}

int confirm(Tcl_Interp *interp, toe *node, Climb &climb);

// defineStatus on the superior and, when that changed its entry, its confirmation. The superior's
// own work is its business: its code and result do not reach the caller.
void forwardTo(Tcl_Interp *interp, toe *superior, const std::string &name, const std::string &list, Climb &climb) {
  if (superior == nullptr || name.empty() || climb.size() >= kMaxClimb) return;
  if (std::find(climb.begin(), climb.end(), superior) != climb.end()) return;
  if (defineStatus(superior, name.c_str(), list.c_str()) == 1) confirm(interp, superior, climb);
}

int confirm(Tcl_Interp *interp, toe *node, Climb &climb) {
  Hold hold(node);
  climb.push_back(node);
  Tcl_DString unsorted;
  Tcl_DStringInit(&unsorted);
  getStatusList(node, &unsorted);
  const char *words[] = {"lsort", "-decreasing", "-command", "statusSortCommand", Tcl_DStringValue(&unsorted)};
  int code = toeEvalWordsIn(interp, node, 5, words);
  Tcl_DStringFree(&unsorted);
  if (code != TCL_OK) return code;
  std::string sorted = Tcl_GetStringResult(interp);

  const char *old = lookup(node, 1, "internal", "status");
  bool first = old == nullptr;
  if (!first && sorted == old) {
    setResult(interp, sorted);
    return TCL_OK;
  }
  if (toeRawDefine(node, "internal", "status", nullptr, sorted.c_str()) == nullptr)
    return telvi::service::failWith(interp, "confirmStatus: Failed to set status");
  uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  toeRawDefine(node, "internal", "statusTimeStamp", dataGetType("ulong"), &now);

  const char *inform[] = {"informDependencies", "status"};
  if (toeEvalWordsIn(interp, node, 2, inform) != TCL_OK) return TCL_ERROR;
  // A node that starts out without conditions has nothing to act on.
  if (!(first && sorted.empty())) {
    toePushContext(interp, node, node);
    code = triggerActions(interp, node, "status", "", "", "_resolveStatusParams");
    toePopContext(interp);
    if (code != TCL_OK) return code;
  }
  const char *forward = lookup(node, 1, "value", "forwardStatus");
  if (forward == nullptr || std::strcmp(forward, "false") != 0)
    forwardTo(interp, toeGetSuperior(node), ownName(node), sorted, climb);
  setResult(interp, sorted);
  return TCL_OK;
}

}  // namespace

extern "C" {

void formatStatus(toe *node, const char *name, const char *severity, Tcl_DString *out) {
  if (severity == nullptr || out == nullptr) return;
  char *end;
  float value = std::strtof(severity, &end);
  if (end == severity) value = 1.0f;  // a word such as "high" still raises the condition
  if (!(value > 0.0f)) return;
  Tcl_DString record;
  Tcl_DStringInit(&record);
  Tcl_DStringAppendElement(&record, severity);
  Tcl_DStringAppendElement(&record, node != nullptr ? toeGetId(node) : "");
  Tcl_DStringAppendElement(&record, name != nullptr ? name : "");
  Tcl_DStringAppendElement(out, Tcl_DStringValue(&record));
  Tcl_DStringFree(&record);
}

int setStatus(Tcl_Interp *interp, toe *node, const char *name, const char *severity) {
  if (node == nullptr || name == nullptr) return TCL_ERROR;
  Tcl_DString record;
  Tcl_DStringInit(&record);
  formatStatus(node, name, severity, &record);
  bool stored = true;
  if (Tcl_DStringLength(&record) > 0)
    stored = toeRawDefine(node, "status", name, nullptr, Tcl_DStringValue(&record)) != nullptr;
  else
    toeRawUndefine(node, "status", name);
  if (!stored) {
    Tcl_DStringFree(&record);
    return telvi::service::failWith(interp, "setStatus: Failed to set status");
  }
  Tcl_DStringResult(interp, &record);
  return TCL_OK;
}

int defineStatus(toe *node, const char *name, const char *list) {
  if (node == nullptr || name == nullptr || list == nullptr) return -1;
  const char *old = lookup(node, 1, "status", name);
  int changed = old == nullptr || std::strcmp(old, list) != 0;
  if (list[0] != '\0') {
    if (toeRawDefine(node, "status", name, nullptr, list) == nullptr) return -1;
  } else {
    toeRawUndefine(node, "status", name);
  }
  return changed;
}

int confirmStatus(Tcl_Interp *interp, toe *node) {
  if (node == nullptr) return TCL_ERROR;
  Climb climb;
  return confirm(interp, node, climb);
}

int setNodeStatus(Tcl_Interp *interp, toe *node, const char *name, const char *list) {
  if (defineStatus(node, name, list) == 1) confirmStatus(interp, node);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int forwardStatus(Tcl_Interp *interp, toe *node, const char *name, const char *list) {
  toe *superior = node != nullptr ? toeGetSuperior(node) : nullptr;
  if (superior != nullptr) setNodeStatus(interp, superior, name, list);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

const char *getModuleStatus(toe *node) {
  if (node == nullptr) return nullptr;
  toe *root = moduleRoot(node);
  const char *status = root != nullptr ? lookup(root, 0, "internal", "modulestatus") : nullptr;
  if (status == nullptr || status[0] == '\0') return nullptr;
  const char *nodeName = lookup(node, 0, "internal", "name");
  const char *rootName = lookup(root, 0, "internal", "name");
  ddlPrintf("trace", "getModuleStatus: status is %s for object %s within module %s\n", status,
            nodeName != nullptr ? nodeName : "", rootName != nullptr ? rootName : "");
  if (lookup(node, 1, "value", "override_modulestatus") != nullptr) {
    ddlPrintf("trace", "getModuleStatus: ignoring parent module status\n");
    return nullptr;
  }
  return status;
}

int setModuleStatus(toe *node, const char *status) {
  toe *root = moduleRoot(node);
  if (root == nullptr) return -1;
  if (status != nullptr && status[0] != '\0') {
    if (toeRawDefine(root, "internal", "modulestatus", nullptr, status) == nullptr) return -1;
  } else {
    toeRawUndefine(root, "internal", "modulestatus");
  }
  const char *rootName = lookup(root, 0, "internal", "name");
  ddlPrintf("trace", "setModuleStatus: set status to %s for module %s\n", status != nullptr ? status : "",
            rootName != nullptr ? rootName : "");
  return 0;
}

void getStatusList(toe *node, Tcl_DString *out) {
  if (node == nullptr || out == nullptr) return;
  if (const char *moduleStatus = getModuleStatus(node)) {
    const char *dimension = lookup(node, 0, "internal", "childdimension");
    if (dimension == nullptr || std::strcmp(dimension, "vector") != 0) {
      ddlPrintf("trace", "getStatusList: Not a vector, so returning NOW\n");
      Tcl_DStringAppend(out, moduleStatus, -1);
      Tcl_DStringAppend(out, " ", 1);
      return;
    }
    ddlPrintf("trace", "getStatusList: Is a vector, so build status list\n");
  }
  stringList *keys = toeEntries(node, "status");
  for (int i = 0; keys != nullptr && i < keys->count; ++i) {
    const char *entry = lookup(node, 1, "status", keys->items[i]);
    if (entry == nullptr) break;
    Tcl_DStringAppend(out, entry, -1);
    Tcl_DStringAppend(out, " ", 1);
  }
}

int statusCompare(const char *a, const char *b) {
  float left = severityOf(a), right = severityOf(b);
  return left > right ? 1 : left < right ? -1 : 0;
}

}  // extern "C"
