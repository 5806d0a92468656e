// Package "data": storing values into the nodes of the managed-object tree. Every command works on
// the current object.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pkg/command.h"
#include "rules/service_internal.h"
#include "telvi/bob.h"
#include "telvi/data.h"
#include "telvi/datatype.h"
#include "telvi/ddl.h"
#include "telvi/package.h"
#include "telvi/service.h"

namespace {

using telvi::fail;
using telvi::service::failWith;
using telvi::service::Hold;
using telvi::service::lookup;
using telvi::service::mergeList;
using telvi::service::objectOf;
using telvi::service::setResult;
using telvi::service::ok;
using telvi::service::dictionaryNode;

// ---- shared pieces ----

// A configuration attribute of the node (slice "value", inherited), null when unset or empty.
const char *attribute(toe *node, const char *key) {
  const char *text = lookup(node, 1, "value", key);
  return text != nullptr && text[0] != '\0' ? text : nullptr;
}

// Defines slice/key (the key taken as it is) from text, converted to the type when one is given; a
// failed conversion leaves the key undefined.
bool defineText(toe *node, const char *slice, const char *key, dataType *type, const char *text) {
  toeVal *value = toeRawDefine(node, slice, key, nullptr, text);
  if (value == nullptr) return false;
  if (type != nullptr && toeValCvtType(value, type) != 0) {
    toeRawUndefine(node, slice, key);
    return false;
  }
  return true;
}

// The node's "dataType": true with *type null when it has none, false (message set) when unknown.
bool dataTypeOf(Tcl_Interp *interp, toe *node, const char *prefix, dataType **type) {
  *type = nullptr;
  const char *name = attribute(node, "dataType");
  if (name == nullptr) return true;
  *type = dataGetType(name);
  if (*type == nullptr) fail(interp, prefix, "Invalid data type ", name);
  return *type != nullptr;
}

// After a successful store: the time stamp, then "updateAction"; the action's code when there is
// one, else the time stamp's.
int afterStore(Tcl_Interp *interp, toe *node) {
  int code = setTimeStamp(node) == 0 ? TCL_OK : TCL_ERROR;
  if (const char *action = attribute(node, "updateAction")) {
    std::string script = action;
    return toeEvalCachedIn(interp, node, script.c_str());
  }
  if (code == TCL_OK) Tcl_ResetResult(interp);
  return code;
}

// The node's "updateFilter", called as {filter row value} with the node current. The words are kept
// as Tcl objects across the elements of one store, so the filter is looked up once and its command
// stays cached.
class UpdateFilter {
 public:
  UpdateFilter(Tcl_Interp *interp, toe *node, const char *prefix) : interp_(interp), node_(node), prefix_(prefix) {
    if (const char *filter = attribute(node, "updateFilter")) {
      name_ = Tcl_NewStringObj(filter, -1);
      Tcl_IncrRefCount(name_);
    }
  }
  ~UpdateFilter() {
    if (name_ != nullptr) Tcl_DecrRefCount(name_);
  }
  UpdateFilter(const UpdateFilter &) = delete;
  UpdateFilter &operator=(const UpdateFilter &) = delete;

  bool active() const { return name_ != nullptr; }

  // Replaces value by the filter's result; false (message appended) when the filter fails.
  bool apply(const char *row, std::string &value) {
    if (name_ == nullptr) return true;
    Tcl_Obj *words[3] = {name_, Tcl_NewStringObj(row, -1),
                         Tcl_NewStringObj(value.data(), static_cast<int>(value.size()))};
    for (Tcl_Obj *word : words) Tcl_IncrRefCount(word);
    bool pushed = toeGetCurrentObject(interp_, TOE_SELECT_CURRENT) != node_ ||
                  toeGetCurrentObject(interp_, TOE_SELECT_METHODS) != node_;
    if (pushed) toePushContext(interp_, node_, node_);
    int code = Tcl_EvalObjv(interp_, 3, words, 0);
    if (pushed) toePopContext(interp_);
    for (Tcl_Obj *word : words) Tcl_DecrRefCount(word);
    if (code != TCL_OK) {
      Tcl_AppendResult(interp_, prefix_, "filter failed", nullptr);
      return false;
    }
    int length;
    const char *result = Tcl_GetStringFromObj(Tcl_GetObjResult(interp_), &length);
    value.assign(result, static_cast<size_t>(length));
    return true;
  }

 private:
  Tcl_Interp *interp_;
  toe *node_;
  const char *prefix_;
  Tcl_Obj *name_ = nullptr;
};

// A list of strings in a new "ppchar" array bob (the form in which values reach the value methods).
const char *createValueBob(const char *list) {
  bobEntry *entry;
  bobKeyValue whole{nullptr, const_cast<char *>(list)};
  return bobIdCreate("ppchar", &entry, 0, &whole, 1);
}

std::string bobCommand(const char *list, const char *tail = "") {
  return std::string("bob create ppchar() {") + list + "}" + tail;
}

// Evaluates "setNodeValue index 1 bob" with the node current.
int storeThroughNode(Tcl_Interp *interp, toe *node, const char *index, const char *bob) {
  const char *words[] = {"setNodeValue", index, "1", bob};
  return toeEvalWordsIn(interp, node, 4, words);
}

// An element of a "ppchar" array bob; null for any other bob, which holds no strings to store.
const char *elementOf(bobEntry *bob, int position) {
  static dataType *const strings = dataGetType("ppchar");
  if (bob == nullptr || bob->type != strings) return nullptr;
  void *slot = bobListGetIndex(bob, position);
  return slot != nullptr ? *static_cast<char **>(slot) : nullptr;
}

// ---- the value methods ----

using Setter = int (*)(Tcl_Interp *, toe *, const char *id, const char *index, int incr);

int setNoOp(Tcl_Interp *interp, toe *node, const char *, const char *, int) {
  if (setTimeStamp(node) != 0) return TCL_ERROR;
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// One value, the bob's first element, stored at the index. Filters and actions are scripts that may
// destroy the bob, so it is looked up again after each.
int storeOne(Tcl_Interp *interp, toe *node, const char *id, const char *index, const char *prefix) {
  dataType *type;
  if (!dataTypeOf(interp, node, prefix, &type)) return TCL_ERROR;
  const char *element = elementOf(bobIdLookup(id), 0);
  if (element == nullptr) return fail(interp, prefix, "Failed to get new value");
  std::string value = element;
  UpdateFilter filter(interp, node, prefix);
  if (!filter.apply(index, value)) return TCL_ERROR;
  int code = defineText(node, "data", index, type, value.c_str()) ? afterStore(interp, node)
                                                                   : fail(interp, prefix, "Failed to set new value");
  bobListDeleteIndex(bobIdLookup(id), 0);
  return code;
}

int setLeafScalar(Tcl_Interp *interp, toe *node, const char *id, const char *index, int) {
  return storeOne(interp, node, id, index, "setNodeValueLeafScalar: ");
}

int setLeafVector(Tcl_Interp *interp, toe *node, const char *id, const char *index, int incr) {
  const char *prefix = "setNodeValueLeafVector: ";
  if (incr < 1) return fail(interp, prefix, "Increment must be greater than 0");
  int row = 0;
  Tcl_GetInt(nullptr, index, &row);
  if (row != 0) return storeOne(interp, node, id, index, prefix);
  dataType *type;
  if (!dataTypeOf(interp, node, prefix, &type)) return TCL_ERROR;
  // Every incr-th element from the first becomes the next row. Without a filter the rows are the
  // bob's own strings; a filter is a script that may change or destroy the bob, so its results are
  // kept apart and the bob is looked up again after each call.
  UpdateFilter filter(interp, node, prefix);
  bobEntry *bob = bobIdLookup(id);
  int count = bobIdLookupSize(bob);
  std::vector<std::string> filteredRows;
  std::vector<const char *> values;
  std::vector<int> taken;
  bool failed = false;
  for (int position = 0; position < count && !failed; position += incr) {
    const char *element = elementOf(bob, position);
    if (element == nullptr) {
      failed = fail(interp, prefix, "Failed to get new value");
      break;
    }
    if (filter.active()) {
      std::string value = element;
      failed = !filter.apply(std::to_string(taken.size() + 1).c_str(), value);
      bob = bobIdLookup(id);
      if (failed) break;
      filteredRows.push_back(std::move(value));
    } else {
      values.push_back(element);
    }
    taken.push_back(position);
  }
  if (filter.active())
    for (const std::string &row : filteredRows) values.push_back(row.c_str());
  int rows = static_cast<int>(values.size());
  values.push_back(nullptr);
  if (toeDefineSlice(node, "data", type, rows, nullptr, values.data()) != 0 && !failed)
    failed = fail(interp, prefix, "Failed to set new value");
  int code = failed ? TCL_ERROR : afterStore(interp, node);
  bobListDeleteIndexes(bobIdLookup(id), taken.data(), static_cast<int>(taken.size()));
  return code;
}

// Each receptive child in turn takes its share of the flat list: the first every n-th element, the
// next every (n-1)-th of what is left, ...
int setBranch(Tcl_Interp *interp, toe *node, const char *id, const char *index, int) {
  const char *prefix = "setNodeValue-branch: ";
  int row = 0;
  Tcl_GetInt(nullptr, index, &row);
  if (toeVal *value = toeRawLookup(node, 0, "internal", "receptivechildren")) {
    auto *list = static_cast<stringList *>(toeValGetType(value, dataGetType("StringList")));
    if (list == nullptr) return fail(interp, prefix, "failed to get receptivechildren");
    std::vector<std::string> children(list->items, list->items + list->count);
    int n = static_cast<int>(children.size());
    for (int i = 0; i < n; ++i) {
      toe *child = objectOf(children[i].c_str());
      if (child == nullptr) return fail(interp, prefix, "invalid receptive child ", children[i].c_str());
      std::string rowText = std::to_string(row), share = std::to_string(n - i);
      const char *words[] = {"setNodeValue", rowText.c_str(), share.c_str(), id};
      if (toeEvalWordsIn(interp, child, 4, words) != TCL_OK) return TCL_ERROR;
    }
  }
  return afterStore(interp, node);
}

// The method that stores values for the node, or null (message set) when its kind is not known.
Setter chooseSetter(Tcl_Interp *interp, toe *node) {
  const char *type = attribute(node, "type");
  static const char *const takesValues[] = {"active", "passive", "derived", "conditional"};
  bool active = false;
  for (const char *word : takesValues) active = active || (type != nullptr && std::strcmp(type, word) == 0);
  if (!active) return setNoOp;
  const char *children = lookup(node, 1, "internal", "receptivechildren");
  const char *dimension = lookup(node, 1, "internal", "childdimension");
  std::string kind = children != nullptr && children[0] != '\0' ? "branch" : "leaf";
  std::string shape = dimension != nullptr && dimension[0] != '\0' ? dimension : "scalar";
  if (shape == "scalar" || shape == "vector") {
    if (kind == "branch") return setBranch;
    return shape == "scalar" ? setLeafScalar : setLeafVector;
  }
  ddlPrintf("warning", "setNodeValue failed for %s, %s\n", kind.c_str(), shape.c_str());
  Tcl_Eval(interp, "error err  binding method: setNodeValue");
  return nullptr;
}

const char *methodName(Setter setter) {
  if (setter == setNoOp) return "setNodeValue-no-op";
  if (setter == setLeafScalar) return "setNodeValue-leaf-scalar";
  if (setter == setLeafVector) return "setNodeValue-leaf-vector";
  return "setNodeValue-branch";
}

int cmdSetNodeValueVariant(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]);

// Makes the chosen method the node's own "setNodeValue"; null when that fails.
Setter bind(Tcl_Interp *interp, toe *node) {
  Setter setter = chooseSetter(interp, node);
  if (setter == nullptr) return nullptr;
  if (toeCreateMethod(interp, node, "setNodeValue", cmdSetNodeValueVariant, reinterpret_cast<ClientData>(setter),
                      nullptr) == nullptr) {
    ddlPrintf("error", "setNodeValue-bind: %s failed\n", methodName(setter));
    fail(interp, "setNodeValue-bind: ", methodName(setter), " failed");
    return nullptr;
  }
  return setter;
}

// The entry shared by the value methods: index and incr integers, id a bob.
int runSetter(Setter setter, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = toeGetCurrentObject(interp, TOE_SELECT_CURRENT);
  int index, incr;
  bobEntry *bob = argc == 4 ? bobIdLookup(argv[3]) : nullptr;
  if (node == nullptr || bob == nullptr || Tcl_GetInt(nullptr, argv[1], &index) != TCL_OK ||
      Tcl_GetInt(nullptr, argv[2], &incr) != TCL_OK)
    return fail(interp, "usage: ", argv[0], " index incr id");
  Hold hold(node);
  return setter(interp, node, argv[3], argv[1], incr);
}

int cmdSetNodeValueVariant(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  return runSetter(reinterpret_cast<Setter>(data), interp, argc, argv);
}

int cmdSetNodeValueBind(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  if (bind(interp, node) == nullptr) return TCL_ERROR;
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// Reached only while the node has not been bound: binds it, then stores through the method chosen.
int cmdSetNodeValue(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 4) return telvi::usage(interp, argv[0], "index incr id");
  Setter setter = bind(interp, node);
  if (setter == nullptr) return fail(interp, "setNodeValue: cmdSetNodeValueBind failed");
  if (runSetter(setter, interp, argc, argv) != TCL_OK) {
    Tcl_AppendResult(interp, "setNodeValue: call SetNodeValue failed", nullptr);
    return TCL_ERROR;
  }
  return TCL_OK;
}

// ---- storing values from scripts ----

// The set actions of the type and the store of a new value they chose.
int runSetActions(Tcl_Interp *interp, toe *node, const char *type, const char *index) {
  if (triggerActions(interp, node, type, "", "", "_resolveActionParameters") != TCL_OK) {
    ddlPrintf("error", "%s: triggerActions failed: spec=%s\n", "invokeSetActions", type);
    return fail(interp, "invokeSetActions (", type, ") failed");
  }
  const char *chosen = lookup(node, 0, "serviceparam", "newvalue");
  if (chosen == nullptr) return TCL_OK;
  std::string newValue = chosen;
  const char *bypass = lookup(node, 1, "override", "bypass");
  if (!newValue.empty() && bypass != nullptr && newValue == bypass) return TCL_OK;
  std::string command = bobCommand(newValue.c_str(), " ");
  int code = TCL_ERROR;
  if (const char *bob = createValueBob(newValue.c_str())) {
    std::string id = bob;
    command = mergeList({"setNodeValue", index, "1", id.c_str()});
    code = storeThroughNode(interp, node, index, id.c_str());
    bobIdDestroy(id.c_str());
  }
  if (code == TCL_OK) return TCL_OK;
  ddlPrintf("error", "%s failed\n", command.c_str());
  return failWith(interp, command + "failed");
}

// The parameters the actions see are cleared on every path, so that a failure cannot leave an index
// or a chosen value behind for the next store.
int invokeSetActions(Tcl_Interp *interp, toe *node, const char *type, const char *index) {
  Hold hold(node);
  setParameter(interp, node, "index", index);
  setParameter(interp, node, "rowname", getRowName(node, index));
  int code = runSetActions(interp, node, type, index);
  for (const char *name : {"newvalue", "index", "rowname"}) clearParameter(interp, node, name);
  if (code != TCL_OK) return code;
  std::string inform = std::string("informDependencies ") + type;
  const char *words[] = {"informDependencies", type};
  if (toeEvalWordsIn(interp, node, 2, words) != TCL_OK) {
    ddlPrintf("error", "%s failed\n", inform.c_str());
    return failWith(interp, inform + "failed");
  }
  return ok(interp, getRawValue(node, index));
}

int setValue(Tcl_Interp *interp, toe *node, const char *index, const char *datalist, const char *type) {
  Hold hold(node);
  bool ownIndex = lookup(node, 0, "serviceparam", "index") == nullptr;
  if (ownIndex) setParameter(interp, node, "index", index);
  auto finish = [&](int code) {
    if (ownIndex) clearParameter(interp, node, "index");
    return code;
  };
  std::string list = datalist;
  std::string filterKey = std::string(type) + "Filter";
  if (const char *filter = attribute(node, filterKey.c_str())) {
    std::string script = std::string(filter) + "  {" + list + "}";
    if (toeEvalIn(interp, node, script.c_str()) != TCL_OK) return finish(failWith(interp, script + "failed"));
    list = Tcl_GetStringResult(interp);
  }
  // An empty list stores one empty value where the node takes one value, else no value at all.
  if (list.empty()) {
    bool one = toeRawLookup(node, 1, "internal", "receptivechildren") == nullptr || checkForOneScalar(node);
    list = one ? "{}" : "";
  }
  const char *made = createValueBob(list.c_str());
  if (made == nullptr) return finish(failWith(interp, bobCommand(list.c_str()) + "failed"));
  std::string bob = made;
  if (storeThroughNode(interp, node, index, bob.c_str()) != TCL_OK) {
    std::string command = mergeList({"setNodeValue", index, "1", bob.c_str()});
    std::string error = Tcl_GetStringResult(interp);
    bobIdDestroy(bob.c_str());
    ddlPrintf("error", "setNodeValue failed: cmd=%s, error=%s\n", command.c_str(), error.c_str());
    std::string raise = "raise error \"" + command + "\" \"" + error + "\"";
    toeEvalIn(interp, node, raise.c_str());
    return finish(failWith(interp, error));
  }
  if (std::strcmp(type, "_defer") != 0) invokeSetActions(interp, node, type, index);
  bobIdDestroy(bob.c_str());
  finish(TCL_OK);
  return ok(interp, getRawValue(node, index));
}

int cmdSetValue(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc < 3) return telvi::usageSuffix(interp, argv[0], " index datalist args");
  return setValue(interp, node, argv[1], argv[2], argc > 3 ? argv[3] : "set");
}

int cmdInvokeSetActions(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return telvi::usageSuffix(interp, argv[0], " type index");
  return invokeSetActions(interp, node, argv[1], argv[2]);
}

int cmdSetArcValue(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 4) return telvi::usageSuffix(interp, argv[0], " index result type");
  const char *result = argv[2];
  if (result[0] == '\0') return ok(interp, "");
  int count;
  const char **parts;
  if (Tcl_SplitList(interp, result, &count, &parts) != TCL_OK) return TCL_ERROR;
  std::string status = count > 0 ? parts[0] : "", arg1 = count > 1 ? parts[1] : "", arg2 = count > 2 ? parts[2] : "";
  Tcl_Free(reinterpret_cast<char *>(parts));
  if (count == 0 || status == "wait" || status == "retry") return ok(interp, "");
  if (status == "data" || status == "update") {
    if (toeEvalIn(interp, node, "clearError") != TCL_OK) return fail(interp, "clearError", " failed");
    if (setValue(interp, node, argv[1], arg2.c_str(), argv[3]) != TCL_OK)
      return fail(interp, "setValue failed: ", toeGetId(node));
  } else if (status == "control") {
    controlNode(arg2.c_str());
  } else if (status == "warning" || status == "error") {
    std::string script = "setError {" + arg1 + "} {" + arg2 + "}";
    if (toeEvalIn(interp, node, script.c_str()) != TCL_OK) return failWith(interp, script + "failed");
  } else {
    std::string script = std::string("error ") + result;
    toeEvalIn(interp, node, script.c_str());
    return TCL_ERROR;
  }
  return ok(interp, "");
}

// ---- rows ----

int cmdClearValue(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return telvi::usageSuffix(interp, argv[0], "  index ");
  int index;
  if (Tcl_GetInt(nullptr, argv[1], &index) != TCL_OK) return fail(interp, "Index ", argv[1], " not an integer");
  dataType *type;
  if (!dataTypeOf(interp, node, "clearValue: ", &type)) return TCL_ERROR;
  stringList *keys = toeEntries(node, "data");
  int n = keys != nullptr ? keys->count : 0;
  if (index >= 1 && index <= n) {
    for (int i = index; i < n; ++i) {
      const char *next = lookup(node, 0, "data", std::to_string(i + 1));
      std::string moved = next != nullptr ? next : "";
      if (!defineText(node, "data", std::to_string(i).c_str(), type, moved.c_str()))
        return fail(interp, "error defining object");
    }
    toeRawUndefine(node, "data", std::to_string(n).c_str());
  }
  return ok(interp, "");
}

int cmdGetRawValue(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return argc > 1 ? telvi::usage(interp, argv[0], argv[1]) : telvi::usageSuffix(interp, argv[0], "");
  return ok(interp, getRawValue(node, argv[1]));
}

int cmdGetRowName(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return telvi::usageSuffix(interp, argv[0], " index");
  return ok(interp, data != nullptr ? getRowDesc(node, argv[1]) : getRowName(node, argv[1]));
}

// ---- node shape ----

int cmdSetTimeStamp(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  Tcl_ResetResult(interp);
  return setTimeStamp(node) == 0 ? TCL_OK : TCL_ERROR;
}

int cmdGetDimension(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  return ok(interp, data != nullptr ? getChildDimension(node) : getDimension(node));
}

int cmdCheckForOneScalar(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  return ok(interp, checkForOneScalar(node) ? "1" : "0");
}

int cmdSetReceptiveChildren(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  Tcl_DString list;
  Tcl_DStringInit(&list);
  for (int i = 0, n = toeGetChildCount(node); i < n; ++i) {
    toe *child = toeGetChild(node, i);
    const char *type = child != nullptr ? lookup(child, 1, "value", "type") : nullptr;
    if (type != nullptr && std::strcmp(type, "passive") == 0) Tcl_DStringAppendElement(&list, toeGetId(child));
  }
  if (Tcl_DStringLength(&list) > 0 &&
      !defineText(node, "internal", "receptivechildren", dataGetType("StringList"), Tcl_DStringValue(&list))) {
    Tcl_DStringFree(&list);
    return fail(interp, argv[0], ": Failed to set receptive children");
  }
  Tcl_DStringResult(interp, &list);
  return TCL_OK;
}

int cmdGetReceptiveChildren(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  return ok(interp, lookup(node, 0, "internal", "receptivechildren"));
}

bool setVectorDimension(Tcl_Interp *interp, toe *node, const char *command) {
  if (toeRawDefine(node, "internal", "childdimension", nullptr, "vector") != nullptr) return true;
  fail(interp, command, ": Failed to set child dimension");
  return false;
}

int cmdInitializeLeafVector(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return telvi::usageSuffix(interp, argv[0], "");
  if (std::strcmp(getDimension(node), "vector") != 0) return ok(interp, "0");
  if (!setVectorDimension(interp, node, argv[0])) return TCL_ERROR;
  return ok(interp, "1");
}

// Locates the column named by "value" <key> and records it as "internal" <key>; true when unset.
bool recordColumn(Tcl_Interp *interp, toe *node, const char *command, const char *key, const char *what) {
  const char *name = attribute(node, key);
  if (name == nullptr) return true;
  toe *column = toeLocate(node, name, 0, nullptr, nullptr, 0);
  if (column == nullptr) {
    fail(interp, command, ": bad ", what, " object: ", name);
    return false;
  }
  if (toeRawDefine(node, "internal", key, nullptr, toeGetId(column)) == nullptr) {
    fail(interp, command, ": Failed to set ", what);
    return false;
  }
  return true;
}

int cmdInitializeTableBranch(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  const char *command = argv[0];
  if (argc != 1) return telvi::usageSuffix(interp, command, "");
  if (std::strcmp(getChildDimension(node), "vector") != 0) return ok(interp, "0");
  if (!setVectorDimension(interp, node, command) || !recordColumn(interp, node, command, "nameColumn", "nameColumn"))
    return TCL_ERROR;
  const char *spec = attribute(node, "index");
  if (spec == nullptr) spec = attribute(node, "nameColumn");
  if (spec != nullptr) {
    std::string script = mergeList({"configIndex", spec});
    if (toeEvalIn(interp, node, script.c_str()) != TCL_OK) return fail(interp, command, ": ", script.c_str(), " failed");
  }
  if (!recordColumn(interp, node, command, "descColumn", "descColumn")) return TCL_ERROR;
  return ok(interp, "1");
}

// ---- status lines ----

int cmdStatusUpdateFilter(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return telvi::usageSuffix(interp, argv[0], " index data");
  std::string slice = std::string("critical") + argv[1];
  const char *data = argv[2];
  toeUndefineSlice(node, slice.c_str());
  toeRawDefine(node, slice.c_str(), "data", nullptr, data);
  std::vector<std::string> fields;
  for (const char *p = data;; ++p) {
    const char *tab = std::strchr(p, '\t');
    fields.emplace_back(p, tab != nullptr ? static_cast<size_t>(tab - p) : std::strlen(p));
    if (tab == nullptr) break;
    p = tab;
  }
  if (fields.size() != 11 || fields[0].size() < 6) return fail(interp, "invalid data: ", data);
  const std::string &flags = fields[0];
  const std::pair<const char *, std::string> entries[] = {
      {"ack", flags.substr(0, 1)}, {"level", flags.substr(1, 3)}, {"relsev", flags.substr(5, 1)},
      {"target", fields[1]},       {"instance", fields[2]},       {"module", fields[3]},
      {"subtree", fields[4]},      {"row", fields[5]},            {"desc", fields[6]},
      {"info", fields[7]},         {"url", fields[8]},            {"sev", fields[9]},
      {"timestamp", fields[10]},   {"proxyInstance", fields[2]},  {"proxyModule", fields[3]},
  };
  for (const auto &[key, value] : entries) toeRawDefine(node, slice.c_str(), key, nullptr, value.c_str());
  const char *instance = lookup(node, 3, "param", "instanceName");
  const char *module = lookup(node, 3, "param", "moduleName");
  if (instance != nullptr && module != nullptr && fields[2] == instance && fields[3] == module) {
    toeRawDefine(node, slice.c_str(), "proxyInstance", nullptr, nullptr);
    toeRawDefine(node, slice.c_str(), "proxyModule", nullptr, nullptr);
  }
  const char *display = lookup(node, 1, "value", "displayFields");
  std::string names = display != nullptr ? display : "desc";
  int count;
  const char **keys;
  if (Tcl_SplitList(nullptr, names.c_str(), &count, &keys) != TCL_OK)
    return fail(interp, "Bad field list - ", names.c_str());
  std::string result;
  for (int i = 0; i < count; ++i) {
    const char *value = lookup(node, 0, slice.c_str(), keys[i]);
    if (value != nullptr && value[0] != '\0') result += std::string(value) + " ";
  }
  Tcl_Free(reinterpret_cast<char *>(keys));
  return ok(interp, result.c_str());
}

}  // namespace

extern "C" int Data_InitInternal(Tcl_Interp *interp) {
  auto setter = [](Setter method) { return reinterpret_cast<ClientData>(method); };
  ClientData other = reinterpret_cast<ClientData>(1);  // the second command of a shared procedure
  telvi::createCommands(interp, {
                                    {"setTimeStamp", cmdSetTimeStamp},
                                    {"getRowName", cmdGetRowName},
                                    {"getRowDesc", cmdGetRowName, other},
                                    {"getDimension", cmdGetDimension},
                                    {"setNodeValue-no-op", cmdSetNodeValueVariant, setter(setNoOp)},
                                    {"setNodeValue-leaf-scalar", cmdSetNodeValueVariant, setter(setLeafScalar)},
                                    {"setNodeValue-leaf-vector", cmdSetNodeValueVariant, setter(setLeafVector)},
                                    {"setNodeValue-branch", cmdSetNodeValueVariant, setter(setBranch)},
                                    {"statusUpdateFilter", cmdStatusUpdateFilter},
                                    {"clearValue", cmdClearValue},
                                    {"getRawValue", cmdGetRawValue},
                                    {"checkForOneScalar", cmdCheckForOneScalar},
                                    {"setNodeValue-bind", cmdSetNodeValueBind},
                                    {"setNodeValue", cmdSetNodeValue},
                                    {"setArcValue", cmdSetArcValue},
                                    {"setValue", cmdSetValue},
                                    {"invokeSetActions", cmdInvokeSetActions},
                                    {"setReceptiveChildren", cmdSetReceptiveChildren},
                                    {"getReceptiveChildren", cmdGetReceptiveChildren},
                                    {"getChildDimension", cmdGetDimension, other},
                                    {"initializeTableBranch", cmdInitializeTableBranch},
                                    {"initializeLeafVector", cmdInitializeLeafVector},
                                });
  return TCL_OK;
}
