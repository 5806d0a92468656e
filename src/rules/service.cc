// The service mechanism: service resolution with its cache, "%" parameter substitution, the
// parameter stack, command/method evaluation with callbacks (ECMs), triggers and action lists.
#include "telvi/service.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "rules/service_internal.h"
#include "telvi/id.h"

namespace telvi::service {

// Keys are built by hand and read without key-path resolution: a subspec or an index may hold "."
// (an OID, an address), which the store would otherwise take for a path to another object.
const char *lookup(toe *object, int mode, const char *slice, const std::string &key) {
  toeVal *value = toeRawLookup(object, mode, slice, key.c_str());
  if (value == nullptr) return nullptr;
  const char *text = toeValGetStringValue(value);
  return text != nullptr ? text : "";
}

const char *specLookup(toe *node, int mode, const char *prefix, const char *spec, const char *kind,
                       const char *subspec, std::string *foundKey) {
  std::string base = std::string(prefix) + spec + kind;
  const char *text = nullptr;
  std::string key;
  if (subspec != nullptr && subspec[0] != '\0') {
    key = base + "(" + subspec + ")";
    text = lookup(node, mode, "value", key);
    if (text == nullptr) {
      key = base + "()";
      text = lookup(node, mode, "value", key);
    }
  } else {
    key = base;
    text = lookup(node, mode, "value", key);
  }
  if (foundKey != nullptr) *foundKey = key;
  return text;
}

void setResult(Tcl_Interp *interp, const std::string &text) {
  Tcl_SetObjResult(interp, Tcl_NewStringObj(text.data(), static_cast<int>(text.size())));
}

int failWith(Tcl_Interp *interp, const std::string &text) {
  setResult(interp, text);
  return TCL_ERROR;
}

int ok(Tcl_Interp *interp, const std::string &text) {
  setResult(interp, text);
  return TCL_OK;
}

int ok(Tcl_Interp *interp, const char *text) { return ok(interp, std::string(text != nullptr ? text : "")); }

toe *moduleRoot(toe *node) {
  const char *root = node != nullptr ? lookup(node, 0, "internal", "moduleroot") : nullptr;
  return root != nullptr && root[0] != '\0' ? toeString2Object(node, root) : nullptr;
}

toe *currentNode(Tcl_Interp *interp, const char *message) {
  toe *node = toeGetCurrentObject(interp, TOE_SELECT_CURRENT);
  if (node == nullptr) {
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, message, static_cast<const char *>(nullptr));
  }
  return node;
}

std::string mergeList(std::initializer_list<const char *> elements) {
  Tcl_DString list;
  Tcl_DStringInit(&list);
  for (const char *element : elements) Tcl_DStringAppendElement(&list, element);
  std::string text(Tcl_DStringValue(&list), static_cast<size_t>(Tcl_DStringLength(&list)));
  Tcl_DStringFree(&list);
  return text;
}

toe *objectOf(const char *id) {
  void *pointer = nullptr;
  if (id == nullptr || idLookup("toe", id, &pointer) != 0) return nullptr;
  return static_cast<toe *>(pointer);
}

}  // namespace telvi::service

namespace {

using namespace telvi::service;

constexpr int kMaxLinks = 16;  // "_link" chains longer than this (or circular ones) give no service

// ---- parameters ----

const char *parameter(toe *node, const std::string &name) { return lookup(node, 0, "serviceparam", name); }

// The parameter's value from the node, else from paramcmd: true when found.
bool resolveParameter(Tcl_Interp *interp, toe *node, const std::string &name, const char *paramcmd,
                      std::string &value) {
  if (const char *own = parameter(node, name)) {
    value = own;
    return true;
  }
  if (paramcmd == nullptr || paramcmd[0] == '\0') return false;
  std::string script = std::string(paramcmd) + " \"" + name + "\"";
  if (toeEvalIn(interp, node, script.c_str()) != TCL_OK) {
    Tcl_ResetResult(interp);
    return false;
  }
  value = Tcl_GetStringResult(interp);
  Tcl_ResetResult(interp);
  return true;
}

// The value as one properly quoted list element, joined to the text around it with no separator.
void appendQuoted(Tcl_DString *output, const std::string &value) {
  int flags = 0;
  int room = Tcl_ScanElement(value.c_str(), &flags);
  int length = Tcl_DStringLength(output);
  Tcl_DStringSetLength(output, length + room);
  int used = Tcl_ConvertElement(value.c_str(), Tcl_DStringValue(output) + length, flags);
  Tcl_DStringSetLength(output, length + used);
}

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// ---- service resolution ----

toe *resolveService(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec, int depth);

toe *serviceByName(Tcl_Interp *interp, toe *node, const std::string &name, int depth) {
  if (name.empty() || name == "_internal" || name == "_self") return node;
  if (name == "_superior") return toeGetSuperior(node);
  if (name.compare(0, 6, "_link ") == 0) {
    // "_link spec2 ?subspec2?": whatever the node's service for that pair is.
    char spec2[256], subspec2[256];
    int words = std::sscanf(name.c_str(), "_link %255s %255s", spec2, subspec2);
    if (words < 1 || depth >= kMaxLinks) return nullptr;
    return resolveService(interp, node, spec2, words == 2 ? subspec2 : "", depth + 1);
  }
  if (toe *byId = objectOf(name.c_str())) return byId;
  return toeLocate(node, name.c_str(), 1, nullptr, nullptr, 0);
}

toe *resolveService(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec, int depth) {
  std::string cacheKey = std::string(spec) + "(" + subspec + ")";
  if (const char *cached = lookup(node, 0, "service", cacheKey)) return cached[0] ? objectOf(cached) : nullptr;
  const char *name = specLookup(node, 3, "", spec, "Service", subspec, nullptr);
  toe *service = serviceByName(interp, node, name != nullptr ? name : "", depth);
  if (service != nullptr) {
    if (const char *reference = lookup(service, 0, "service", "reference")) service = objectOf(reference);
  }
  toeRawDefine(node, "service", cacheKey.c_str(), nullptr, service != nullptr ? toeGetId(service) : "");
  return service;
}

std::string evaluatorOf(toe *service) {
  const char *evaluator = lookup(service, 1, "value", "serviceEvaluator");
  return evaluator != nullptr && evaluator[0] != '\0' ? evaluator : "runCommand";
}

// The callback built from the node's "<spec>Callback" method or command, or empty.
std::string defaultCallback(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec) {
  std::string callbackSpec = std::string(spec) + "Callback";
  const char *method = specLookup(node, 1, "", callbackSpec.c_str(), "Method", subspec, nullptr);
  const char *command = method != nullptr ? nullptr : specLookup(node, 1, "", callbackSpec.c_str(), "Command", subspec, nullptr);
  // Most nodes name no callback: no service is resolved (nor cached) for one then.
  if (method == nullptr && command == nullptr) return "";
  std::string text = method != nullptr ? method : command;
  toe *service = getService(interp, node, callbackSpec.c_str(), subspec);
  if (service == nullptr) return "";
  if (method != nullptr) return mergeList({toeGetId(service), text.c_str()});
  std::string target = mergeList({toeGetId(node), "null"});
  std::string evaluator = evaluatorOf(service);
  std::string script = mergeList({evaluator.c_str(), target.c_str(), text.c_str()});
  return mergeList({toeGetId(service), script.c_str()});
}

// "Nothing defined" comes back as TCL_ERROR with an empty result.
int nothingDefined(Tcl_Interp *interp) {
  Tcl_ResetResult(interp);
  return TCL_ERROR;
}

int trigger(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec, const char *callback,
            const char *paramcmd, bool commands, bool methods) {
  if (commands) {
    if (const char *text = specLookup(node, 1, "", spec, "Command", subspec, nullptr))
      return evaluateCommand(interp, node, spec, subspec, text, 1, callback, paramcmd);
  }
  if (methods) {
    if (const char *text = specLookup(node, 1, "", spec, "Method", subspec, nullptr))
      return evaluateCommand(interp, node, spec, subspec, text, 0, callback, paramcmd);
  }
  return nothingDefined(interp);
}

// A starred action's result: the new value it chose, or false when its result is no list.
bool newValueOf(const char *result, std::string &value) {
  int count;
  const char **elements;
  if (Tcl_SplitList(nullptr, result, &count, &elements) != TCL_OK) return false;
  if (count == 3)
    value = std::strcmp(elements[0], "data") == 0 ? elements[2] : "";
  else
    value = result;
  Tcl_Free(reinterpret_cast<char *>(elements));
  return true;
}

// One action list; stops at the first failure. newValue is replaced by every starred action.
int runActionList(Tcl_Interp *interp, toe *node, const char *spec, const char *list, const char *callback,
                  const char *paramcmd, std::string &newValue, bool &chosen) {
  int count;
  const char **actions;
  if (Tcl_SplitList(nullptr, list, &count, &actions) != TCL_OK)
    return failWith(interp, std::string("error splitting action list: ") + list);
  int code = TCL_OK;
  for (int i = 0; i < count && code == TCL_OK; ++i) {
    const char *action = actions[i];
    bool starred = action[0] == '*';
    if (starred) ++action;
    code = triggerCommandOrMethod(interp, node, spec, action, callback, paramcmd);
    if (code != TCL_OK) {
      if (Tcl_GetStringResult(interp)[0] == '\0')
        failWith(interp, std::string("no command or method defined for ") + spec + "," + action);
      break;
    }
    if (!starred) continue;
    std::string result = Tcl_GetStringResult(interp);
    std::string value;
    if (!newValueOf(result.c_str(), value)) {
      setResult(interp, "error splitting result: " + result + " - ignoring");
      continue;
    }
    newValue = value;
    chosen = true;
    setParameter(interp, node, "newvalue", value.c_str());
  }
  Tcl_Free(reinterpret_cast<char *>(actions));
  return code;
}

}  // namespace

extern "C" {

int setParameter(Tcl_Interp *, toe *node, const char *name, const char *value) {
  if (node == nullptr || name == nullptr) return -1;
  return toeRawDefine(node, "serviceparam", name, nullptr, value != nullptr ? value : "") != nullptr ? 0 : -1;
}

int clearParameter(Tcl_Interp *, toe *node, const char *name) {
  if (node == nullptr || name == nullptr) return -1;
  return toeRawUndefine(node, "serviceparam", name);
}

int clearParameters(Tcl_Interp *, toe *node) {
  if (node == nullptr) return -1;
  toeUndefineSlice(node, "serviceparam");
  return 0;
}

int pushParameter(Tcl_Interp *interp, toe *node, const char *name, const char *value) {
  if (node == nullptr || name == nullptr) return -1;
  // The stack of name: name, #name, ##name, ... as deep as values are stored. Each level moves one
  // down, so the deepest key written is one "#" longer than the deepest now.
  std::string key = name;
  if (parameter(node, key) != nullptr) {
    std::string deepest = key;
    while (parameter(node, "#" + deepest) != nullptr) deepest.insert(0, "#");
    if (deepest.size() + 1 > SERVICE_MAX_STACKED_KEY) return -1;
    for (std::string level = deepest; level.size() >= key.size(); level.erase(0, 1)) {
      if (setParameter(interp, node, ("#" + level).c_str(), parameter(node, level)) != 0) return -1;
      if (level.size() == key.size()) break;
    }
  }
  return setParameter(interp, node, name, value);
}

int popParameter(Tcl_Interp *interp, toe *node, const char *name) {
  if (node == nullptr || name == nullptr) return -1;
  std::string key = name;
  // Moves every level up by one; the deepest level is removed.
  while (true) {
    std::string below = "#" + key;
    const char *saved = below.size() <= SERVICE_MAX_STACKED_KEY ? parameter(node, below) : nullptr;
    if (saved == nullptr) {
      clearParameter(interp, node, key.c_str());
      return 0;
    }
    std::string text = saved;
    if (setParameter(interp, node, key.c_str(), text.c_str()) != 0) return -1;
    key = below;
  }
}

int getParameter(Tcl_Interp *interp, toe *node, const char *name, const char *paramcmd) {
  std::string value;
  if (node == nullptr || !resolveParameter(interp, node, name, paramcmd, value))
    return failWith(interp, std::string("invalid parameter: ") + name);
  setResult(interp, value);
  return TCL_OK;
}

int substituteParams(Tcl_Interp *interp, toe *node, const char *text, Tcl_DString *output, const char *paramcmd) {
  if (paramcmd != nullptr && std::strcmp(paramcmd, "null") == 0) {
    Tcl_DStringAppend(output, text, -1);
    return 0;
  }
  Hold hold(node);
  auto fault = [output](int code, const char *begin, size_t length) {
    Tcl_DStringSetLength(output, 0);
    Tcl_DStringAppend(output, begin, static_cast<int>(length));
    return code;
  };
  int count = 0;
  const char *p = text;
  while (const char *percent = std::strchr(p, '%')) {
    Tcl_DStringAppend(output, p, static_cast<int>(percent - p));
    const char *q = percent + 1;
    if (*q == '%') {
      Tcl_DStringAppend(output, "%", 1);
      p = q + 1;
      continue;
    }
    std::string value;
    if (*q == '[') {
      const char *script = q + 1;
      const char *close = std::strchr(script, ']');
      if (close == nullptr) return fault(-1, script, std::strlen(script));
      size_t length = static_cast<size_t>(close - script);
      if (length > SERVICE_MAX_PARAM) return fault(-3, script, length);
      std::string code(script, length);
      if (toeEvalIn(interp, node, code.c_str()) != TCL_OK) return fault(-3, script, length);
      value = Tcl_GetStringResult(interp);
      Tcl_ResetResult(interp);
      p = close + 1;
    } else {
      const char *name = q, *end = q;
      if (*q == '{') {
        name = q + 1;
        end = std::strchr(name, '}');
        if (end == nullptr) return fault(-1, name, std::strlen(name));
        p = end + 1;
      } else {
        while (isNameChar(*end)) ++end;
        p = end;
      }
      size_t length = static_cast<size_t>(end - name);
      if (length > SERVICE_MAX_PARAM ||
          !resolveParameter(interp, node, std::string(name, length), paramcmd, value))
        return fault(-2, name, length);
    }
    appendQuoted(output, value);
    ++count;
  }
  Tcl_DStringAppend(output, p, -1);
  return count;
}

toe *getService(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec) {
  if (node == nullptr || spec == nullptr) return nullptr;
  return resolveService(interp, node, spec, subspec != nullptr ? subspec : "", 0);
}

int evaluateCommand(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec, const char *command,
                    int isCommand, const char *callbackGiven, const char *paramcmd) {
  if (subspec == nullptr) subspec = "";
  if (command == nullptr || command[0] == '\0') return failWith(interp, "no command specified");
  Hold hold(node);
  toe *service = getService(interp, node, spec, subspec);
  if (service == nullptr) return failWith(interp, std::string("no service defined for ") + spec + "," + subspec);
  std::string callback = callbackGiven != nullptr ? callbackGiven : "";
  if (callback.empty()) callback = defaultCallback(interp, node, spec, subspec);

  Tcl_DString substituted;
  Tcl_DStringInit(&substituted);
  int substitutions = substituteParams(interp, node, command, &substituted, paramcmd);
  if (substitutions < 0) {
    std::string message = std::string("unable to resolve parameter \"") + Tcl_DStringValue(&substituted) +
                          "\" in string: " + command;
    Tcl_DStringFree(&substituted);
    return failWith(interp, message);
  }
  std::string script;
  if (isCommand) {
    int elements = 0;
    const char **parts = nullptr;
    bool single = Tcl_SplitList(nullptr, callback.c_str(), &elements, &parts) == TCL_OK && elements == 1;
    if (parts != nullptr) Tcl_Free(reinterpret_cast<char *>(parts));
    std::string target = single ? mergeList({toeGetId(node), callback.c_str()}) : callback;
    std::string evaluator = evaluatorOf(service);
    script = mergeList({evaluator.c_str(), target.c_str(), Tcl_DStringValue(&substituted)});
  } else {
    script.assign(Tcl_DStringValue(&substituted), static_cast<size_t>(Tcl_DStringLength(&substituted)));
  }
  Tcl_DStringFree(&substituted);

  // A text without parameters is the same every time: its compiled form is kept.
  int code = substitutions == 0 ? toeEvalCachedIn(interp, service, script.c_str())
                                : toeEvalIn(interp, service, script.c_str());
  // Without a callback there is nothing to run that could see the parameters result and ecm.
  if (code != TCL_OK || callback.empty()) return code;
  Tcl_Obj *result = Tcl_GetObjResult(interp);
  Tcl_IncrRefCount(result);
  pushParameter(interp, node, "result", Tcl_GetString(result));
  pushParameter(interp, node, "ecm", callback.c_str());
  code = evaluateECM(interp, node, callback.c_str(), nullptr);
  if (code == TCL_OK) Tcl_SetObjResult(interp, result);
  Tcl_DecrRefCount(result);
  popParameter(interp, node, "result");
  popParameter(interp, node, "ecm");
  return code;
}

int evaluateECM(Tcl_Interp *interp, toe *node, const char *ecm, const char *paramcmd) {
  if (ecm == nullptr || ecm[0] == '\0') return TCL_OK;
  int count;
  const char **elements;
  if (Tcl_SplitList(nullptr, ecm, &count, &elements) != TCL_OK)
    return failWith(interp, std::string("error splitting ecm: ") + ecm);
  if (count == 0) {
    Tcl_Free(reinterpret_cast<char *>(elements));
    return TCL_OK;
  }
  Hold hold(node);
  toe *target = node;
  const char *script = elements[0];
  if (count >= 2) {
    target = objectOf(elements[0]);
    if (target == nullptr) {
      std::string message = std::string("invalid object: ") + elements[0];
      Tcl_Free(reinterpret_cast<char *>(elements));
      return failWith(interp, message);
    }
    script = elements[1];
  }
  Tcl_DString substituted;
  Tcl_DStringInit(&substituted);
  int code;
  if (substituteParams(interp, node, script, &substituted, paramcmd) < 0) {
    code = failWith(interp, std::string("unable to resolve parameter \"") + Tcl_DStringValue(&substituted) +
                                "\" in staring: " + script);
  } else {
    code = toeEvalIn(interp, target, Tcl_DStringValue(&substituted));
  }
  Tcl_DStringFree(&substituted);
  Tcl_Free(reinterpret_cast<char *>(elements));
  return code;
}

int triggerCommand(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec, const char *callback,
                   const char *paramcmd) {
  return trigger(interp, node, spec, subspec, callback, paramcmd, true, false);
}

int triggerMethod(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec, const char *callback,
                  const char *paramcmd) {
  return trigger(interp, node, spec, subspec, callback, paramcmd, false, true);
}

int triggerCommandOrMethod(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec,
                           const char *callback, const char *paramcmd) {
  return trigger(interp, node, spec, subspec, callback, paramcmd, true, true);
}

int triggerActions(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec, const char *callback,
                   const char *paramcmd) {
  std::string newValue;
  bool chosen = false;
  Hold hold(node);
  for (const char *prefix : {"_", ""}) {
    const char *list = specLookup(node, 1, prefix, spec, "Actions", subspec, nullptr);
    if (list == nullptr) continue;
    std::string actions = list;  // the actions may redefine the list while it runs
    if (runActionList(interp, node, spec, actions.c_str(), callback, paramcmd, newValue, chosen) != TCL_OK)
      return TCL_ERROR;
  }
  setResult(interp, chosen ? newValue : "");
  return TCL_OK;
}

}  // extern "C"
