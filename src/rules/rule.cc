// Rules: limits and the comparison of values with them by data type, and the rule state machine
// (init, open, continue, close) with its events, file-scan matches and parameters.
#include "telvi/rule.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "pkg/command.h"
#include "rules/rule_internal.h"
#include "rules/service_internal.h"
#include "telvi/alarm.h"
#include "telvi/data.h"
#include "telvi/datatype.h"
#include "telvi/ddl.h"

namespace telvi::rule {

using service::Hold;
using service::lookup;
using service::mergeList;

std::string rowKey(const char *rule, const char *row) {
  std::string key = rule != nullptr ? rule : "";
  if (row != nullptr && row[0] != '\0') key.append("(").append(row).append(")");
  return key;
}

std::string parmKey(const char *rule, const char *row, const char *parm) {
  std::string key = std::string(rule) + "-" + parm;
  if (row == nullptr) return key + "()";
  if (row[0] == '\0') return key;
  return key + "(" + row + ")";
}

namespace {

dataType *intType() {
  static dataType *const type = dataGetType("int");
  return type;
}
dataType *ulongType() {
  static dataType *const type = dataGetType("ulong");
  return type;
}

template <typename T>
std::optional<T> readNumber(toe *node, const char *slice, const std::string &key, dataType *type) {
  toeVal *value = toeRawLookup(node, 0, slice, key.c_str());
  void *binary = value != nullptr ? toeValGetType(value, type) : nullptr;
  if (binary == nullptr) return std::nullopt;
  T number;
  std::memcpy(&number, binary, sizeof number);
  return number;
}

// A count or a time of 0 is kept as no entry at all.
template <typename T>
bool storeNumber(toe *node, const char *slice, const std::string &key, dataType *type, T number) {
  if (number == 0) {
    toeRawUndefine(node, slice, key.c_str());
    return true;
  }
  return toeRawDefine(node, slice, key.c_str(), type, &number) != nullptr;
}

bool storeText(toe *node, const char *slice, const std::string &key, const char *text) {
  if (text == nullptr) {
    toeRawUndefine(node, slice, key.c_str());
    return true;
  }
  return toeRawDefine(node, slice, key.c_str(), nullptr, text) != nullptr;
}

std::optional<std::string> text(toe *node, const char *slice, const std::string &key) {
  if (const char *found = lookup(node, 0, slice, key)) return std::string(found);
  return std::nullopt;
}

int stateOf(toe *node, const std::string &key) {
  std::optional<int32_t> state = readNumber<int32_t>(node, "rule-state", key, intType());
  return state ? *state : -1;
}

// Moves the rule-row to state s; nothing happens when it is already there.
int setRuleState(Tcl_Interp *interp, toe *node, const std::string &key, int s) {
  if (s < RULE_STATE_INIT || s > RULE_STATE_CLOSE) return fail(interp, "Invalid state");
  if (stateOf(node, key) == s) return TCL_OK;
  uint32_t now = static_cast<uint32_t>(std::time(nullptr));
  switch (s) {
    case RULE_STATE_INIT:
      toeRawUndefine(node, "rule-count", key.c_str());
      toeRawUndefine(node, "rule-startime", key.c_str());
      toeRawUndefine(node, "rule-statetime", key.c_str());
      break;
    case RULE_STATE_OPEN:
      if (!storeNumber<int32_t>(node, "rule-count", key, intType(), 1)) return fail(interp, "Failed to set rule count");
      if (!storeNumber(node, "rule-startime", key, ulongType(), now))
        return fail(interp, "Failed to set rule starting time");
      [[fallthrough]];
    default:
      if (!storeNumber(node, "rule-statetime", key, ulongType(), now))
        return fail(interp, "Failed to set rule state time");
  }
  int32_t state = s;
  if (toeRawDefine(node, "rule-state", key.c_str(), intType(), &state) == nullptr)
    return fail(interp, "Failed to set rule state");
  return TCL_OK;
}

int setCondition(Tcl_Interp *interp, toe *node, const std::string &key, const char *condition) {
  if (!storeText(node, "rule-cond", key, condition)) return fail(interp, "Failed to set rule condition");
  return TCL_OK;
}

// A call of the rule: the rule identifier is a command prefix, the arguments follow as list elements.
int invokeRule(Tcl_Interp *interp, toe *node, const char *rule, const char *action, const char *row, const char *index,
               const char *matchList) {
  std::string script = std::string(rule) + " " + mergeList({action, rule, row, index, matchList});
  int code = toeEvalIn(interp, node, script.c_str());
  if (code == TCL_OK || code == TCL_RETURN) return TCL_OK;
  ddlPrintf("error", "error firing rule %s action %s, error is : %s\n", rule, action, Tcl_GetStringResult(interp));
  return TCL_ERROR;
}

std::string resultText(Tcl_Interp *interp) { return Tcl_GetStringResult(interp); }

// Asks the agent to write an event. With an inhibit slice, a key for the row in that slice of the
// current object suppresses it. A failing writeEvent is logged, never returned: losing one event
// record must not stop the rules.
int writeEvent(Tcl_Interp *interp, toe *node, const char *type, const char *rule, const char *row, const char *status,
               const char *inhibit) {
  if (inhibit != nullptr) {
    toe *current = toeGetCurrentObject(interp, TOE_SELECT_CURRENT);
    if (current == nullptr)
      return fail(interp, "not in object context", "failed to check log inhibit flag ", inhibit, ":(", row, ")");
    if (toeRawLookup(current, 0, inhibit, row) != nullptr) {
      Tcl_ResetResult(interp);
      return TCL_OK;
    }
  }
  const char *words[] = {"writeEvent", type, rule, row, status};
  if (toeEvalWordsIn(interp, node, 5, words) != TCL_OK)
    ddlPrintf("error", "error logging event in rule %s : error is %s\n", rule, Tcl_GetStringResult(interp));
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// The arguments of one firing.
struct Firing {
  Tcl_Interp *interp;
  toe *node;
  const char *rule;
  const char *row;
  const char *index;
  std::string key;
};

int initialise(const Firing &f) {
  if (setRuleState(f.interp, f.node, f.key, RULE_STATE_INIT) != TCL_OK) return TCL_ERROR;
  // The whole-table row of a vector is bookkeeping only: its rule is never called.
  if (f.row[0] == '\0' && std::strcmp(getDimension(f.node), "scalar") != 0) {
    Tcl_ResetResult(f.interp);
    return TCL_OK;
  }
  if (setCondition(f.interp, f.node, f.key, nullptr) != TCL_OK) return TCL_ERROR;
  if (invokeRule(f.interp, f.node, f.rule, "init", f.row, f.index, "") != TCL_OK) return TCL_ERROR;
  Tcl_ResetResult(f.interp);
  return TCL_OK;
}

int enterOpen(const Firing &f, const std::string &matchList, bool fileScan, std::string &status) {
  if (invokeRule(f.interp, f.node, f.rule, "open", f.row, f.index, matchList.c_str()) != TCL_OK) return TCL_ERROR;
  status = resultText(f.interp);
  if (status.empty()) return fail(f.interp, "open action cannot return blank string");
  if (status == "ok") {
    // A file-scan rule may decide that a match is no condition after all.
    if (!fileScan) return fail(f.interp, "open action cannot return ok");
    status.clear();
    return TCL_OK;
  }
  return openEvent(f.interp, f.node, f.rule, f.row, status.c_str());
}

int continueOpen(const Firing &f, int before, const std::string &matchList, std::string &status) {
  if (invokeRule(f.interp, f.node, f.rule, "continue", f.row, f.index, matchList.c_str()) != TCL_OK) return TCL_ERROR;
  status = resultText(f.interp);
  std::optional<std::string> previous = text(f.node, "rule-cond", f.key);
  if (status == "ok") return fail(f.interp, "continue action cannot return ok");
  if (status.empty()) {
    if (!previous) return fail(f.interp, "cannot find previous status in continue action");
    status = *previous;
  }
  if (previous && *previous != status) {
    if (writeEvent(f.interp, f.node, "C", f.rule, f.row, previous->c_str(), "prevNoLogEvent") != TCL_OK)
      return TCL_ERROR;
    return openEvent(f.interp, f.node, f.rule, f.row, status.c_str());
  }
  if (before != RULE_STATE_CONTINUE && setRuleState(f.interp, f.node, f.key, RULE_STATE_CONTINUE) != TCL_OK)
    return TCL_ERROR;
  int32_t count = ruleCount(f.node, f.key) + 1;
  if (!storeNumber(f.node, "rule-count", f.key, intType(), count)) return fail(f.interp, "Failed to set rule count");
  return TCL_OK;
}

int enterClose(const Firing &f, std::string &status) {
  if (invokeRule(f.interp, f.node, f.rule, "close", f.row, f.index, "") != TCL_OK) return TCL_ERROR;
  if (closeEvent(f.interp, f.node, f.rule, f.row, "") != TCL_OK) return TCL_ERROR;
  status = "ok";
  return TCL_OK;
}

enum class Condition { kTrue, kFalse, kNoNews };

int refresh(const Firing &f) {
  int state = stateOf(f.node, f.key);
  if (state < 0) {
    if (initialise(f) != TCL_OK) return TCL_ERROR;
    state = RULE_STATE_INIT;
  }
  bool fileScan = toeRawLookup(f.node, 0, "rule-fs", f.key.c_str()) != nullptr;
  Condition condition;
  std::string matchList;
  if (fileScan) {
    // A file-scan rule hears of its condition only through a match handed in by ruleFire fs.
    std::optional<std::string> match = text(f.node, "rule-match", f.key);
    condition = match ? Condition::kTrue : Condition::kNoNews;
    if (match) matchList = *match;
  } else {
    if (invokeRule(f.interp, f.node, f.rule, "condition", f.row, f.index, "") != TCL_OK) return TCL_ERROR;
    condition = Tcl_GetStringResult(f.interp)[0] == '1' ? Condition::kTrue : Condition::kFalse;
  }
  std::string status;
  switch (state) {
    case RULE_STATE_INIT:
    case RULE_STATE_CLOSE:
      if (condition != Condition::kTrue) break;
      if (enterOpen(f, matchList, fileScan, status) != TCL_OK) return TCL_ERROR;
      // A row with an acknowledgement name has its first condition acknowledged at once.
      if (state == RULE_STATE_INIT && getAckByName(f.node, f.row)[0] != '\0') {
        std::string kept = status;
        if (invokeRule(f.interp, f.node, f.rule, "ack", f.row, f.index, "") != TCL_OK) return TCL_ERROR;
        std::string current = text(f.node, "rule-cond", f.key).value_or("");
        if (writeEvent(f.interp, f.node, "A", f.rule, f.row, current.c_str(), nullptr) != TCL_OK) return TCL_ERROR;
        status = kept;
      }
      break;
    default:
      if (condition == Condition::kTrue) {
        if (continueOpen(f, state, matchList, status) != TCL_OK) return TCL_ERROR;
      } else if (condition == Condition::kFalse) {
        if (enterClose(f, status) != TCL_OK) return TCL_ERROR;
      } else {
        status = text(f.node, "rule-cond", f.key).value_or("");
      }
  }
  if (status.empty()) status = "ok";
  service::setResult(f.interp, status);
  return TCL_OK;
}

// A match of a file-scan rule: stored while the node refreshes, so that this rule's refresh sees it.
int fileScanMatch(const Firing &f, const char *matchList) {
  if (f.row[0] != '\0') {
    const char *words[] = {"getRowIndex", f.row};
    if (toeEvalWordsIn(f.interp, f.node, 2, words) != TCL_OK) {
      // The row went away while its log was still being scanned: stop the scan and clear up.
      const char *unsubscribe[] = {"logUnsubscribe", f.rule, f.row};
      toeEvalWordsIn(f.interp, f.node, 3, unsubscribe);
      const char *cleanup[] = {"emergencyCleanupRow", f.row};
      toeEvalWordsIn(f.interp, f.node, 2, cleanup);
      ddlPrintf("warning", "ruleFire: file scan call for non-existent row %s in rule %s\n", f.row, f.rule);
      return fail(f.interp, "row not found");
    }
  }
  if (!storeText(f.node, "rule-match", f.key, matchList[0] != '\0' ? matchList : nullptr))
    return fail(f.interp, "Failed to set rule matchlist");
  if (toeEvalIn(f.interp, f.node, "refreshValue") != TCL_OK) {
    ddlPrintf("warning", "ruleFire: failed to refresh after File Scan match, error is %s\n",
              Tcl_GetStringResult(f.interp));
    return TCL_ERROR;
  }
  toeRawUndefine(f.node, "rule-match", f.key.c_str());
  Tcl_ResetResult(f.interp);
  return TCL_OK;
}

}  // namespace

int32_t ruleCount(toe *node, const std::string &key) {
  return readNumber<int32_t>(node, "rule-count", key, intType()).value_or(0);
}

uint32_t ruleStartTime(toe *node, const std::string &key) {
  return readNumber<uint32_t>(node, "rule-startime", key, ulongType()).value_or(0);
}

bool setRuleParm(Tcl_Interp *interp, toe *node, ParmType type, const char *rule, const char *row, const char *parm,
                 const char *value) {
  if (rule == nullptr || rule[0] == '\0' || parm == nullptr || parm[0] == '\0') {
    fail(interp, "null parameter passed to setRuleParm");
    return false;
  }
  if (type != kDynamic) {
    fail(interp, "not dynamic parameter type");
    return false;
  }
  if (toeRawDefine(node, "rule-dyn", parmKey(rule, row, parm).c_str(), nullptr, value != nullptr ? value : "") ==
      nullptr) {
    fail(interp, "Failed to define dynamic parameter ");
    return false;
  }
  return true;
}

bool getRuleParm(Tcl_Interp *interp, toe *node, ParmType type, const char *rule, const char *row, const char *parm,
                 const char **value) {
  *value = nullptr;
  if (rule == nullptr || rule[0] == '\0' || parm == nullptr || parm[0] == '\0') {
    fail(interp, "null parameter passed to getRuleParm");
    return false;
  }
  if (type == kDynamic) {
    *value = lookup(node, 0, "rule-dyn", parmKey(rule, row, parm));
    return true;
  }
  const char *slice = type == kStatic ? "rule" : "alarmlimit";
  if (row != nullptr && row[0] != '\0') {
    *value = lookup(node, 1, slice, parmKey(rule, row, parm));
    if (*value == nullptr) *value = lookup(node, 1, slice, parmKey(rule, nullptr, parm));
  }
  if (*value == nullptr) *value = lookup(node, 1, slice, parmKey(rule, "", parm));
  return true;
}

}  // namespace telvi::rule

// ---- limits and comparison ----

namespace {

using telvi::fail;
using telvi::rule::rowKey;
using telvi::service::lookup;

// The operator's first two characters, or "" when it has fewer.
std::string opOf(const char *op) {
  if (op == nullptr || op[0] == '\0' || op[1] == '\0') return "";
  return std::string(op, 2);
}

// Integers compare as their machine type. For the floating types ge and le are >= and <=, which is
// false when either side is not a number; for the others they are the same as "not less than".
template <typename T>
int compareNumbers(const char *op, T value, T limit) {
  std::string o = opOf(op);
  if (o == "eq") return value == limit;
  if (o == "ne") return value != limit;
  if (o == "gt") return value > limit;
  if (o == "ge") return value >= limit;
  if (o == "lt") return value < limit;
  if (o == "le") return value <= limit;
  return -1;
}

// The limit's value (inherited look-up), null when absent or empty. The row's own limit, when it
// exists, decides even when empty: an empty one switches the check off for that row.
toeVal *limitValue(toe *node, const char *check, const char *row) {
  if (node == nullptr || check == nullptr) return nullptr;
  auto find = [node](const std::string &key) { return toeRawLookup(node, 1, "alarmlimit", key.c_str()); };
  toeVal *value = nullptr;
  if (row == nullptr || row[0] == '\0') {
    value = find(check);
  } else if ((value = find(std::string(check) + "(" + row + ")")) == nullptr) {
    value = find(std::string(check) + "()");
  }
  const char *text = value != nullptr ? toeValGetStringValue(value) : nullptr;
  return text != nullptr && text[0] != '\0' ? value : nullptr;
}

struct ValDeleter {
  void operator()(toeVal *value) const { toeValDestroy(value); }
};
using ValPtr = std::unique_ptr<toeVal, ValDeleter>;

template <typename T>
T binaryOf(toeVal *value) {
  T number;
  std::memcpy(&number, value->binary, sizeof number);
  return number;
}

// The comparison by the value's type: 1, 0, -1, or -2 when the type has no comparison.
int compareByType(Tcl_Interp *interp, const char *type, const char *op, toeVal *value, toeVal *limit) {
  std::string name = type;
  if (name == "int") return checkAlarmInt(interp, op, binaryOf<int32_t>(value), binaryOf<int32_t>(limit));
  if (name == "uint") return checkAlarmUint(interp, op, binaryOf<uint32_t>(value), binaryOf<uint32_t>(limit));
  if (name == "long") return checkAlarmLong(interp, op, binaryOf<int32_t>(value), binaryOf<int32_t>(limit));
  if (name == "ulong") return checkAlarmUlong(interp, op, binaryOf<uint32_t>(value), binaryOf<uint32_t>(limit));
  if (name == "longlong") return checkAlarmLongLong(interp, op, binaryOf<int64_t>(value), binaryOf<int64_t>(limit));
  if (name == "ulonglong")
    return checkAlarmUlongLong(interp, op, binaryOf<uint64_t>(value), binaryOf<uint64_t>(limit));
  if (name == "short") return checkAlarmShort(interp, op, binaryOf<int16_t>(value), binaryOf<int16_t>(limit));
  if (name == "double") return checkAlarmDouble(interp, op, binaryOf<double>(value), binaryOf<double>(limit));
  if (name == "float") return checkAlarmFloat(interp, op, binaryOf<float>(value), binaryOf<float>(limit));
  if (name == "char") return checkAlarmChar(interp, op, binaryOf<int8_t>(value), binaryOf<int8_t>(limit));
  return -2;
}

bool isText(const dataType *type) {
  return type == nullptr || std::strcmp(type->name, "string") == 0 || std::strcmp(type->name, "pchar") == 0;
}

const char *typeName(const dataType *type) { return type != nullptr ? type->name : "pchar"; }

}  // namespace

extern "C" {

int checkAlarmInt(Tcl_Interp *, const char *op, int32_t value, int32_t limit) {
  return compareNumbers(op, value, limit);
}
int checkAlarmUint(Tcl_Interp *, const char *op, uint32_t value, uint32_t limit) {
  return compareNumbers(op, value, limit);
}
int checkAlarmLong(Tcl_Interp *, const char *op, int32_t value, int32_t limit) {
  return compareNumbers(op, value, limit);
}
int checkAlarmUlong(Tcl_Interp *, const char *op, uint32_t value, uint32_t limit) {
  return compareNumbers(op, value, limit);
}
int checkAlarmLongLong(Tcl_Interp *, const char *op, int64_t value, int64_t limit) {
  return compareNumbers(op, value, limit);
}
int checkAlarmUlongLong(Tcl_Interp *, const char *op, uint64_t value, uint64_t limit) {
  return compareNumbers(op, value, limit);
}
int checkAlarmShort(Tcl_Interp *, const char *op, int16_t value, int16_t limit) {
  return compareNumbers(op, value, limit);
}
int checkAlarmDouble(Tcl_Interp *, const char *op, double value, double limit) {
  return compareNumbers(op, value, limit);
}
int checkAlarmFloat(Tcl_Interp *, const char *op, float value, float limit) {
  return compareNumbers(op, value, limit);
}
int checkAlarmChar(Tcl_Interp *, const char *op, int8_t value, int8_t limit) {
  return compareNumbers(op, value, limit);
}

int checkAlarmString(Tcl_Interp *interp, const char *op, const char *value, const char *limit) {
  if (value == nullptr || limit == nullptr) return -1;
  std::string o = opOf(op);
  int order = std::strcmp(value, limit);
  if (o == "eq") return order == 0;
  if (o == "ne") return order != 0;
  if (o == "gt") return order > 0;
  if (o == "lt") return order < 0;
  if (o == "rx") {
    int match = Tcl_RegExpMatch(interp, value, limit);
    return match < 0 ? -1 : match;
  }
  return -1;
}

const char *getLimit(toe *node, const char *check, const char *row) {
  toeVal *value = limitValue(node, check, row);
  return value != nullptr ? toeValGetStringValue(value) : nullptr;
}

const char *rCompare(Tcl_Interp *interp, toe *node, const char *row, const char *index) {
  if (row == nullptr) row = "";
  if (index == nullptr) index = "0";
  stringList *checks = node != nullptr ? toeEntries(node, "alarmcheck") : nullptr;
  int count = checks != nullptr ? checks->count : 0;
  for (int i = 0; i < count; ++i) {
    const char *check = checks->items[i];
    const char *dash = std::strchr(check, '-');
    if (dash == nullptr) {
      fail(interp, "bad alarm check: ", check);
      return nullptr;
    }
    const char *op = dash + 1;
    toeVal *limit = limitValue(node, check, row);
    if (limit == nullptr) continue;
    toeVal *value = toeRawLookup(node, 0, "data", index);
    if (value == nullptr) {
      fail(interp, "bad data value in alarm check: ", index);
      return nullptr;
    }
    // A limit of another type is compared in the value's type; the stored limit is left as it is.
    ValPtr converted;
    if (value->type != limit->type) {
      const char *limitText = toeValGetStringValue(limit);
      converted.reset(toeValCreate(nullptr, limitText != nullptr ? limitText : ""));
      if (converted == nullptr || toeValCvtType(converted.get(), value->type) != 0) {
        fail(interp, "type check error: value type (", typeName(value->type), ") not compatible with limit type (",
             typeName(limit->type), ")");
        return nullptr;
      }
      limit = converted.get();
    }
    int holds;
    const char *name = typeName(value->type);
    if (isText(value->type)) {
      std::string valueText = toeValGetStringValue(value) != nullptr ? toeValGetStringValue(value) : "";
      std::string limitText = toeValGetStringValue(limit) != nullptr ? toeValGetStringValue(limit) : "";
      holds = checkAlarmString(interp, op, valueText.c_str(), limitText.c_str());
      name = "pchar";
    } else {
      holds = compareByType(interp, name, op, value, limit);
    }
    if (holds == 1) return check;
    if (holds != 0) {
      fail(interp, "inappropriate alarm check: ", "type=", name, ", check=", op);
      return nullptr;
    }
  }
  return "ok";
}

// ---- the state machine ----

int getRuleState(toe *node, const char *rule, const char *row) {
  if (node == nullptr || rule == nullptr) return -1;
  return telvi::rule::stateOf(node, rowKey(rule, row));
}

int ruleActive(toe *node, const char *rule, const char *row) {
  int state = getRuleState(node, rule, row);
  return state == RULE_STATE_OPEN || state == RULE_STATE_CONTINUE;
}

const char *getRuleCond(toe *node, const char *rule, const char *row) {
  if (node == nullptr || rule == nullptr) return nullptr;
  return lookup(node, 0, "rule-cond", rowKey(rule, row));
}

int openEvent(Tcl_Interp *interp, toe *node, const char *rule, const char *row, const char *status) {
  using namespace telvi::rule;
  if (row == nullptr) row = "";
  if (status == nullptr) status = "";
  std::string key = rowKey(rule, row);
  const char *condition = getRuleCond(node, rule, row);
  if (!ruleActive(node, rule, row) || condition == nullptr || std::strcmp(condition, status) != 0) {
    if (setRuleState(interp, node, key, RULE_STATE_OPEN) != TCL_OK) return TCL_ERROR;
    if (setCondition(interp, node, key, status) != TCL_OK) return TCL_ERROR;
  }
  return writeEvent(interp, node, "O", rule, row, status, "curNoLogEvent");
}

int closeEvent(Tcl_Interp *interp, toe *node, const char *rule, const char *row, const char *status) {
  using namespace telvi::rule;
  if (row == nullptr) row = "";
  if (status == nullptr) status = "";
  std::string key = rowKey(rule, row);
  if (setCondition(interp, node, key, nullptr) != TCL_OK) return TCL_ERROR;
  if (setRuleState(interp, node, key, RULE_STATE_CLOSE) != TCL_OK) return TCL_ERROR;
  return writeEvent(interp, node, "C", rule, row, status, "prevNoLogEvent");
}

int logEvent(Tcl_Interp *interp, toe *node, const char *rule, const char *row, const char *status) {
  using namespace telvi::rule;
  if (row == nullptr) row = "";
  if (status == nullptr) status = "";
  if (writeEvent(interp, node, "L", rule, row, status, nullptr) != TCL_OK) return TCL_ERROR;
  if (ruleActive(node, rule, row)) {
    ddlPrintf("warning", "logEvent called when rule %s was already active\n", rule);
    return TCL_OK;
  }
  // A one-shot event leaves the trace of a condition that opened and closed at once.
  std::string key = rowKey(rule, row);
  if (setRuleState(interp, node, key, RULE_STATE_OPEN) != TCL_OK ||
      setRuleState(interp, node, key, RULE_STATE_CLOSE) != TCL_OK)
    return TCL_ERROR;
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int ruleFire(Tcl_Interp *interp, toe *node, int action, const char *rule, const char *row, const char *index,
             const char *matchList) {
  using namespace telvi::rule;
  if (node == nullptr || rule == nullptr) return fail(interp, "not in object context");
  Hold hold(node);
  Firing f{interp, node, rule, row != nullptr ? row : "", index != nullptr ? index : "0", rowKey(rule, row)};
  switch (action) {
    case RULE_FIRE_REFRESH:
      return refresh(f);
    case RULE_FIRE_INIT:
      return initialise(f);
    case RULE_FIRE_ACK:
      if (invokeRule(interp, node, rule, "ack", f.row, f.index, "") != TCL_OK) return TCL_ERROR;
      Tcl_ResetResult(interp);
      return TCL_OK;
    case RULE_FIRE_FIX:
      if (invokeRule(interp, node, rule, "fix", f.row, f.index, "") != TCL_OK ||
          setCondition(interp, node, f.key, nullptr) != TCL_OK ||
          setRuleState(interp, node, f.key, RULE_STATE_CLOSE) != TCL_OK)
        return TCL_ERROR;
      Tcl_ResetResult(interp);
      return TCL_OK;
    case RULE_FIRE_FS:
      return fileScanMatch(f, matchList != nullptr ? matchList : "");
    default:
      return fail(interp, "action must be one of: ", "refresh init ack fix fs");
  }
}

const char *getAckByName(toe *node, const char *row) {
  if (node == nullptr) return "";
  const char *name = telvi::service::specLookup(node, 0, "", "ackName", "", row, nullptr);
  if (name == nullptr) name = getModuleAckName(node);
  return name != nullptr ? name : "";
}

}  // extern "C"
