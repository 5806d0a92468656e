// Package "rule": limits, the rule procedure rCompare, and the commands of the rule state machine.
// Every command works on the current object.
#include <cstring>
#include <string>

#include "pkg/command.h"
#include "rules/rule_internal.h"
#include "rules/service_internal.h"
#include "telvi/package.h"
#include "telvi/rule.h"

namespace {

using telvi::fail;
using telvi::rule::rowKey;
using telvi::service::Hold;
using telvi::service::lookup;
using telvi::service::setResult;
using telvi::service::ok;
using telvi::service::objectNode;

const char *const kStateNames[] = {"init", "open", "continue", "close"};

// ---- limits ----

int cmdGetLimit(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return telvi::usageSuffix(interp, argv[0], " state row");
  const char *limit = getLimit(node, argv[1], argv[2]);
  return ok(interp, limit != nullptr ? limit : "");
}

// The action word as rCompare recognises it: condition by its first and fourth letters, open and
// continue by their first (and fourth) letters, the others as whole words.
enum class CompareAction { kCondition, kOpenOrContinue, kClose, kNothing, kRefresh, kUnknown };

CompareAction compareAction(const char *action) {
  size_t length = std::strlen(action);
  if (action[0] == 'c' && length >= 4 && action[3] == 'd') return CompareAction::kCondition;
  if (action[0] == 'o' || (action[0] == 'c' && length >= 4 && action[3] == 't')) return CompareAction::kOpenOrContinue;
  std::string word = action;
  if (word == "close") return CompareAction::kClose;
  if (word == "init" || word == "ack" || word == "fix") return CompareAction::kNothing;
  if (word == "refresh") return CompareAction::kRefresh;
  return CompareAction::kUnknown;
}

int cmdRCompare(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 6) return telvi::usageSuffix(interp, argv[0], " action ruleid rowname rowindex match-list");
  const char *action = argv[1], *rule = argv[2], *row = argv[3], *index = argv[4];
  switch (compareAction(action)) {
    case CompareAction::kCondition: {
      const char *outcome = rCompare(interp, node, row, index);
      if (outcome == nullptr) return TCL_ERROR;
      if (std::strcmp(outcome, "ok") == 0) return ok(interp, "0");
      // The open and continue calls that follow report the check that held.
      std::string check = outcome;
      if (toeRawDefine(node, "rule-dyn", row, nullptr, check.c_str()) == nullptr)
        return fail(interp, "error caching status in ", rule);
      return ok(interp, "1");
    }
    case CompareAction::kOpenOrContinue: {
      const char *cached = lookup(node, 0, "rule-dyn", row);
      if (cached == nullptr) return fail(interp, "error retrieving cached status in ", rule);
      return ok(interp, cached);
    }
    case CompareAction::kClose:
      toeRawUndefine(node, "rule-dyn", row);
      return ok(interp, "ok");
    case CompareAction::kNothing:
      return ok(interp, "");
    case CompareAction::kRefresh: {
      const char *outcome = rCompare(interp, node, row, index);
      if (outcome == nullptr) return TCL_ERROR;
      return ok(interp, outcome);
    }
    default:
      return fail(interp, "unknown action ", action, " in ", rule);
  }
}

// ---- firing and events ----

int cmdRuleFire(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc < 3 || argc > 6) return telvi::usageSuffix(interp, argv[0], " action ruleId ?rowName rowIndex matchList?");
  static const char *const actions[] = {"refresh", "init", "ack", "fix", "fs"};
  int action = -1;
  for (int i = 0; i < 5; ++i)
    if (std::strcmp(argv[1], actions[i]) == 0) action = i;
  if (action < 0) return fail(interp, "action must be one of: ", "refresh init ack fix fs");
  return ruleFire(interp, node, action, argv[2], argc > 3 ? argv[3] : "", argc > 4 ? argv[4] : "0",
                  argc > 5 ? argv[5] : "");
}

using EventFunction = int (*)(Tcl_Interp *, toe *, const char *, const char *, const char *);

int cmdEvent(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 4) return telvi::usageSuffix(interp, argv[0], " ruleid rowname status");
  Hold hold(node);
  if (reinterpret_cast<EventFunction>(data)(interp, node, argv[1], argv[2], argv[3]) != TCL_OK) return TCL_ERROR;
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// ---- state ----

int cmdGetRuleState(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 4) return telvi::usageSuffix(interp, argv[0], " ruleid rowname default");
  int state = getRuleState(node, argv[1], argv[2]);
  return ok(interp, state >= 0 && state <= RULE_STATE_CLOSE ? kStateNames[state] : argv[3]);
}

// The commands that read one thing of a rule-row: ruleActive, getRuleCond, getRuleCount,
// getRuleStartTime, getFileScanRule (the client data says which).
enum class Reading { kActive, kCondition, kCount, kStartTime, kPattern };

int cmdRead(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return telvi::usageSuffix(interp, argv[0], " ruleid rowname");
  const char *rule = argv[1], *row = argv[2];
  switch (static_cast<Reading>(reinterpret_cast<intptr_t>(data))) {
    case Reading::kActive:
      return ok(interp, ruleActive(node, rule, row) ? "1" : "0");
    case Reading::kCondition: {
      const char *condition = getRuleCond(node, rule, row);
      return ok(interp, condition != nullptr ? condition : "");
    }
    case Reading::kCount:
      return ok(interp, std::to_string(telvi::rule::ruleCount(node, rowKey(rule, row))));
    case Reading::kStartTime:
      return ok(interp, std::to_string(telvi::rule::ruleStartTime(node, rowKey(rule, row))));
    default: {
      const char *pattern = lookup(node, 0, "rule-fs", rowKey(rule, row));
      return ok(interp, pattern != nullptr ? pattern : "");
    }
  }
}

ClientData reading(Reading what) { return reinterpret_cast<ClientData>(static_cast<intptr_t>(what)); }

int cmdSetFileScanRule(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 4) return telvi::usageSuffix(interp, argv[0], " ruleid rowname pattern");
  std::string key = rowKey(argv[1], argv[2]);
  if (argv[3][0] == '\0') {
    toeRawUndefine(node, "rule-fs", key.c_str());
  } else if (toeRawDefine(node, "rule-fs", key.c_str(), nullptr, argv[3]) == nullptr) {
    return fail(interp, "Failed to set file scan rule");
  }
  return ok(interp, "");
}

// ---- parameters ----

bool parmType(Tcl_Interp *interp, const char *word, telvi::rule::ParmType *type) {
  std::string name = word;
  if (name == "DYN") *type = telvi::rule::kDynamic;
  else if (name == "STATIC") *type = telvi::rule::kStatic;
  else if (name == "EDIT") *type = telvi::rule::kEditable;
  else return fail(interp, "type must be one of: ", "DYN  STATIC  EDIT"), false;
  return true;
}

int cmdSetRuleParm(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 6) return telvi::usageSuffix(interp, argv[0], " type ruleid rowname parm value");
  telvi::rule::ParmType type;
  if (!parmType(interp, argv[1], &type)) return TCL_ERROR;
  if (!telvi::rule::setRuleParm(interp, node, type, argv[2], argv[3], argv[4], argv[5])) return TCL_ERROR;
  return ok(interp, "");
}

int cmdGetRuleParm(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 5 && argc != 6) return telvi::usageSuffix(interp, argv[0], " type ruleid rowname parm ?default?");
  telvi::rule::ParmType type;
  if (!parmType(interp, argv[1], &type)) return TCL_ERROR;
  const char *value;
  if (!telvi::rule::getRuleParm(interp, node, type, argv[2], argv[3], argv[4], &value)) return TCL_ERROR;
  return ok(interp, value != nullptr ? value : argc == 6 ? argv[5] : "");
}

int cmdBuildRuleParmKey(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (objectNode(interp) == nullptr) return TCL_ERROR;
  if (argc != 4) return telvi::usageSuffix(interp, argv[0], " ruleid rowname parm");
  return ok(interp, telvi::rule::parmKey(argv[1], argv[2], argv[3]));
}

int cmdGetRuleSliceList(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (objectNode(interp) == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  return ok(interp, "rule rule-dyn rule-state rule-statetime rule-cond rule-fs rule-match rule-count rule-startime");
}

}  // namespace

extern "C" int Rule_InitInternal(Tcl_Interp *interp) {
  auto event = [](EventFunction function) { return reinterpret_cast<ClientData>(function); };
  telvi::createCommands(interp, {
                                    {"getLimit", cmdGetLimit},
                                    {"rCompare", cmdRCompare},
                                    {"ruleFire", cmdRuleFire},
                                    {"logEvent", cmdEvent, event(logEvent)},
                                    {"closeEvent", cmdEvent, event(closeEvent)},
                                    {"openEvent", cmdEvent, event(openEvent)},
                                    {"getRuleState", cmdGetRuleState},
                                    {"ruleActive", cmdRead, reading(Reading::kActive)},
                                    {"getRuleCond", cmdRead, reading(Reading::kCondition)},
                                    {"getRuleCount", cmdRead, reading(Reading::kCount)},
                                    {"getRuleStartTime", cmdRead, reading(Reading::kStartTime)},
                                    {"setFileScanRule", cmdSetFileScanRule},
                                    {"getFileScanRule", cmdRead, reading(Reading::kPattern)},
                                    {"setRuleParm", cmdSetRuleParm},
                                    {"getRuleParm", cmdGetRuleParm},
                                    {"buildRuleParmKey", cmdBuildRuleParmKey},
                                    {"getRuleSliceList", cmdGetRuleSliceList},
                                });
  return TCL_OK;
}
