// Package "alarm": the limit check of a node over its rows, alarm windows, module alarm status and
// acknowledgement names, the alarm configuration and the status-line template. Every command works
// on the current object.
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "objects/keys.h"
#include "pkg/command.h"
#include "rules/rule_internal.h"
#include "rules/service_internal.h"
#include "telvi/alarm.h"
#include "telvi/data.h"
#include "telvi/datatype.h"
#include "telvi/ddl.h"
#include "telvi/package.h"
#include "telvi/rule.h"

namespace {

using telvi::fail;
using telvi::service::moduleRoot;
using telvi::service::Hold;
using telvi::service::lookup;
using telvi::service::mergeList;
using telvi::service::objectOf;
using telvi::service::setResult;
using telvi::service::ok;
using telvi::service::objectNode;
using telvi::objects::keysOf;

// ---- the limit check ----

int cmdCheckLimitsNoOp(ClientData, Tcl_Interp *interp, int, const char *[]) {
  if (objectNode(interp) == nullptr) return TCL_ERROR;
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// Whether the row's alarm window is open now: its schedule is parsed once and cached.
int inWindow(Tcl_Interp *interp, toe *node, const std::string &row, bool *open) {
  const char *cached = lookup(node, 0, "alarmwindow", row);
  std::string window;
  if (cached == nullptr) {
    if (windowInit(interp, node, row.c_str()) != TCL_OK) return TCL_ERROR;
    window = Tcl_GetStringResult(interp);
  } else {
    window = cached;
  }
  *open = true;
  if (window.empty()) return TCL_OK;
  std::string script = mergeList({"periodic", "inrange", window.c_str()});
  if (toeEvalIn(interp, node, script.c_str()) != TCL_OK) return TCL_ERROR;
  int inRange;
  if (Tcl_GetBoolean(interp, Tcl_GetStringResult(interp), &inRange) != TCL_OK) return TCL_ERROR;
  *open = inRange != 0;
  return TCL_OK;
}

// The row's status from the node's rules, fired in order until one reports other than "ok". A rule
// that fails makes the row "irr" (irregular) and stops the others.
std::string fireRules(Tcl_Interp *interp, toe *node, const std::vector<std::string> &rules, const std::string &row,
                      const std::string &index) {
  std::string status = "ok";
  for (const std::string &rule : rules) {
    if (ruleFire(interp, node, RULE_FIRE_REFRESH, rule.c_str(), row.c_str(), index.c_str(), "") != TCL_OK) {
      ddlPrintf("error", "error firing rule %s : %s", rule.c_str(), Tcl_GetStringResult(interp));
      status = "irr";
    } else {
      status = Tcl_GetStringResult(interp);
    }
    if (status != "ok") break;
  }
  return status;
}

int checkLimitsLeaf(Tcl_Interp *interp, toe *node) {
  std::vector<std::string> indexes = keysOf(node, "data");
  if (indexes.empty()) return ok(interp, "");
  const char *moduleStatus = getModuleAlarmStatus(node);
  std::string module = moduleStatus != nullptr ? moduleStatus : "";
  bool hasModuleStatus = moduleStatus != nullptr;
  std::vector<std::string> rules = keysOf(node, "alarmrule");
  bool hasRules = !rules.empty();
  std::vector<std::pair<std::string, std::string>> rows;
  int code = TCL_OK;
  for (const std::string &index : indexes) {
    std::string row = getRowName(node, index.c_str());
    std::string status;
    bool decided = hasModuleStatus;
    if (decided) {
      status = module;
    } else if (const char *forced = lookup(node, 0, "alarmoverride", row)) {
      status = forced;
      decided = true;
    }
    if (!decided && hasRules) {
      bool open;
      if (inWindow(interp, node, row, &open) != TCL_OK) {
        code = TCL_ERROR;
        break;
      }
      if (open) {
        status = fireRules(interp, node, rules, row, index);
        decided = true;
      }
    }
    if (!decided) status = "ok";
    rows.emplace_back(row, status);
  }
  // The slice holds exactly the rows of this check, also when the check failed part way.
  if (hasRules || hasModuleStatus) {
    toeUndefineSlice(node, "alarmstatus");
    for (const auto &[row, status] : rows) toeRawDefine(node, "alarmstatus", row.c_str(), nullptr, status.c_str());
  } else {
    toeUndefineSlice(node, "alarmstatus");
  }
  if (code != TCL_OK) return code;
  Tcl_DString list;
  Tcl_DStringInit(&list);
  for (const auto &[row, status] : rows) {
    Tcl_DStringAppendElement(&list, row.c_str());
    Tcl_DStringAppendElement(&list, status.c_str());
  }
  std::string result(Tcl_DStringValue(&list), static_cast<size_t>(Tcl_DStringLength(&list)));
  Tcl_DStringFree(&list);
  const char *previous = lookup(node, 0, "internal", "alarmstatus");
  if (result == (previous != nullptr ? previous : "")) return ok(interp, result);
  if (toeRawDefine(node, "internal", "alarmstatus", nullptr, result.c_str()) == nullptr) {
    std::fputs("Memory allocation error\n", stderr);
    return fail(interp, "Memory allocation error");
  }
  return toeEvalIn(interp, node, "checkLimitsCallback");
}

int cmdCheckLimitsLeaf(ClientData, Tcl_Interp *interp, int, const char *[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  Hold hold(node);
  return checkLimitsLeaf(interp, node);
}

int cmdCheckLimitsBranch(ClientData, Tcl_Interp *interp, int, const char *[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  Hold hold(node);
  toeVal *value = toeRawLookup(node, 0, "internal", "receptivechildren");
  if (value == nullptr) return ok(interp, "");
  auto *list = static_cast<stringList *>(toeValGetType(value, dataGetType("StringList")));
  if (list == nullptr) return fail(interp, "checkLimits-branch: ", "failed to get receptivechildren");
  std::vector<std::string> children(list->items, list->items + list->count);
  for (const std::string &id : children) {
    toe *child = objectOf(id.c_str());
    if (child == nullptr) return fail(interp, "checkLimits-branch: ", "invalid child ", id.c_str());
    if (toeEvalIn(interp, child, "checkLimits") != TCL_OK) return TCL_ERROR;
  }
  return TCL_OK;
}

// ---- windows, acknowledgement names, module settings ----

int cmdWindow(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return telvi::usageSuffix(interp, argv[0], " rowname");
  if (data != nullptr) return windowInit(interp, node, argv[1]);
  return ok(interp, windowGet(node, argv[1]));
}

int cmdGetAckByName(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return telvi::usageSuffix(interp, argv[0], " rowname");
  return ok(interp, getAckByName(node, argv[1]));
}

int cmdGetModule(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  const char *text = data != nullptr ? getModuleAckName(node) : getModuleAlarmStatus(node);
  return ok(interp, text != nullptr ? text : "");
}

// Sets or (with an empty text) removes a setting of the node's module root; without a root there
// is nowhere to keep it, and the command does nothing.
int cmdSetModule(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return telvi::usageSuffix(interp, argv[0], " status ");
  bool ackName = data != nullptr;
  const char *key = ackName ? "moduleAckName" : "modulealarmstatus";
  toe *root = moduleRoot(node);
  if (root == nullptr) return ok(interp, "");
  if (argv[1][0] == '\0') {
    toeRawUndefine(root, "internal", key);
  } else {
    if (toeRawDefine(root, "internal", key, nullptr, argv[1]) == nullptr)
      return fail(interp, argv[0], ": unable to define ", key);
    if (!ackName) {
      const char *name = lookup(root, 0, "internal", "name");
      ddlPrintf("trace", "setModuleAlarmStatus: set alarm status to %s for module %s\n", argv[1],
                name != nullptr ? name : "");
    }
  }
  return ok(interp, "");
}

// ---- configuration ----

int cmdInitializeAlarms(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  const char *checks = lookup(node, 1, "value", "alarmChecks");
  const char *rules = lookup(node, 1, "value", "alarmRules");
  if (lookup(node, 0, "internal", "activeOnDemand") != nullptr) {
    if (checks == nullptr && rules == nullptr) return ok(interp, "");
    return fail(interp, "on-demand node: alarms not supported");
  }
  const std::pair<const char *, const char *> lists[] = {{"alarmcheck", checks}, {"alarmrule", rules}};
  std::vector<std::vector<std::string>> split;
  for (const auto &[slice, text] : lists) {
    int count = 0;
    const char **items = nullptr;
    if (Tcl_SplitList(nullptr, text != nullptr ? text : "", &count, &items) != TCL_OK)
      return fail(interp, argv[0], ": ",
                  std::strcmp(slice, "alarmcheck") == 0 ? "failed to get alarmChecks" : "failed to get alarmRules");
    split.emplace_back(items, items + count);
    Tcl_Free(reinterpret_cast<char *>(items));
  }
  // A node initialised again (after its configuration changed) keeps no checks or rules it no
  // longer has.
  for (int i = 0; i < 2; ++i) {
    toeUndefineSlice(node, lists[i].first);
    for (const std::string &name : split[i]) toeRawDefine(node, lists[i].first, name.c_str(), nullptr, "true");
  }
  return ok(interp, "");
}

int cmdSetAlarmTemplate(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  toe *root = moduleRoot(node);
  auto text = [](const char *found) { return std::string(found != nullptr ? found : ""); };
  std::string general = "${ack}${label}\t";
  const char *type = root != nullptr ? lookup(root, 0, "param", "moduleType") : nullptr;
  if (type != nullptr && std::strcmp(type, "remoteSystem") == 0)
    general += text(lookup(root, 1, "param", "targetHost"));
  else
    general += text(lookup(node, 1, "value", "hostname"));
  general += "\t$instance\t";
  if (root != nullptr) general += text(lookup(root, 1, "param", "moduleName"));
  general += "\t$subtree\t$rowdesc\t" + text(lookup(node, 1, "value", "mediumDesc"));
  general += "\t$info\t$url\t$severity\t$timestamp";
  if (toeRawDefine(node, "internal", "generalinfo", nullptr, general.c_str()) == nullptr)
    return fail(interp, argv[0], ": unable to define generalinfo");
  std::string value = "= ${value}";
  if (const char *units = lookup(node, 0, "value", "units")) value += units;
  if (toeRawDefine(node, "internal", "valueinfo", nullptr, value.c_str()) == nullptr)
    return fail(interp, argv[0], ": unable to define valueinfo");
  return ok(interp, "");
}

}  // namespace

extern "C" int Alarm_InitInternal(Tcl_Interp *interp) {
  ClientData other = reinterpret_cast<ClientData>(1);  // the second command of a shared procedure
  telvi::createCommands(interp, {
                                    {"checkLimits-no-op", cmdCheckLimitsNoOp},
                                    {"checkLimits-branch", cmdCheckLimitsBranch},
                                    {"checkLimits-leaf", cmdCheckLimitsLeaf},
                                    {"getModuleAlarmStatus", cmdGetModule},
                                    {"setModuleAlarmStatus", cmdSetModule},
                                    {"getModuleAckName", cmdGetModule, other},
                                    {"setModuleAckName", cmdSetModule, other},
                                    {"windowInit", cmdWindow, other},
                                    {"windowGet", cmdWindow},
                                    {"getAckByName", cmdGetAckByName},
                                    {"initializeAlarms", cmdInitializeAlarms},
                                    {"setAlarmTemplate", cmdSetAlarmTemplate},
                                });
  return TCL_OK;
}
