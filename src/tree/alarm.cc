// Alarms of the managed-object tree: alarm windows per row, the module-wide alarm status and
// acknowledgement name kept on the module root.
#include "telvi/alarm.h"

#include <string>

#include "rules/rule_internal.h"
#include "rules/service_internal.h"
#include "telvi/ddl.h"

namespace {

using telvi::service::moduleRoot;
using telvi::service::lookup;
using telvi::service::mergeList;

// The module root whose settings apply to the node: none when the node overrides its module.
toe *applyingRoot(toe *node, const char *who) {
  toe *root = moduleRoot(node);
  if (root == nullptr) return nullptr;
  if (lookup(node, 1, "value", "override_modulestatus") != nullptr) {
    if (who != nullptr) ddlPrintf("trace", "%s: ignoring parent module alarmstatus\n", who);
    return nullptr;
  }
  return root;
}

const char *nameOf(toe *object) {
  const char *name = lookup(object, 0, "internal", "name");
  return name != nullptr ? name : "";
}

}  // namespace

extern "C" {

const char *windowGet(toe *node, const char *row) {
  if (node == nullptr) return "";
  const char *window = telvi::service::specLookup(node, 1, "", "alarmWindow", "", row, nullptr);
  return window != nullptr ? window : "";
}

int windowInit(Tcl_Interp *interp, toe *node, const char *row) {
  if (row == nullptr) row = "";
  std::string window = windowGet(node, row);
  if (window.empty()) {
    Tcl_ResetResult(interp);
    toeRawDefine(node, "alarmwindow", row, nullptr, "");
    return TCL_OK;
  }
  std::string script = mergeList({"periodic", "parse", window.c_str()});
  if (toeEvalIn(interp, node, script.c_str()) != TCL_OK) return TCL_ERROR;
  if (toeRawDefine(node, "alarmwindow", row, nullptr, Tcl_GetStringResult(interp)) == nullptr) {
    Tcl_SetResult(interp, const_cast<char *>("failed to cache alarm window"), TCL_STATIC);
    return TCL_ERROR;
  }
  return TCL_OK;
}

const char *getModuleAlarmStatus(toe *node) {
  toe *root = applyingRoot(node, "getModuleAlarmStatus");
  const char *status = root != nullptr ? lookup(root, 0, "internal", "modulealarmstatus") : nullptr;
  if (status != nullptr)
    ddlPrintf("trace", "getModuleAlarmStatus: alarmstatus %s for object %s in module %s\n", status, nameOf(node),
              nameOf(root));
  return status;
}

const char *getModuleAckName(toe *node) {
  toe *root = applyingRoot(node, nullptr);
  return root != nullptr ? lookup(root, 0, "internal", "moduleAckName") : nullptr;
}

}  // extern "C"
