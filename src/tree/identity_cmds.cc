// Packages "mibnode" (node kinds, OID assignment), "module" (module roots, parameters, context
// names), "nodemacro" (URLs, labels, attribute remapping, path, host and port) and "macro" (macro
// lists kept in a node attribute). Every command works on the current object.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pkg/command.h"
#include "rules/service_internal.h"
#include "telvi/data.h"
#include "telvi/identity.h"
#include "telvi/package.h"
#include "tree/identity_internal.h"

namespace {

using telvi::fail;
using telvi::usageSuffix;
using telvi::service::lookup;
using telvi::service::setResult;
using telvi::service::ok;
using telvi::service::dictionaryNode;
using telvi::service::objectNode;

// ---- mibnode ----

// clientData: the kind test.
int cmdNodeKind(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  auto test = reinterpret_cast<int (*)(toe *)>(data);
  return ok(interp, test(node) ? "1" : "0");
}

int cmdSetMibNodeOid(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return usageSuffix(interp, argv[0], " contextName");
  return telvi::identity::setOid(interp, node, argv[0], argv[1]);
}

// ---- module ----

int cmdSetModuleRoot(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  const char *root;
  if (telvi::identity::setRoot(node, &root) != 0) return fail(interp, "setModuleRoot: ", "Failed to set moduleroot");
  return ok(interp, root);
}

int cmdGetModuleRoot(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  return ok(interp, lookup(node, 0, "internal", "moduleroot"));
}

int cmdGetModuleParam(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2 && argc != 3) return usageSuffix(interp, argv[0], " name ?default?");
  const char *value = moduleGetParam(node, argv[1]);
  if (value == nullptr && argc == 3) value = argv[2];
  if (value == nullptr) return fail(interp, "invalid parameter: ", argv[1]);
  return ok(interp, value);
}

int cmdGetContextName(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  return ok(interp, moduleGetContextName(node));
}

// ---- nodemacro ----

int cmdSetUrl(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return usageSuffix(interp, argv[0], " url index");
  std::string url;
  if (toe *superior = toeGetSuperior(node)) {
    if (const char *prefix = lookup(superior, 1, "value", "urlprefix")) {
      url = prefix;
    } else {
      // Computed once per branch by the agent and kept; a failed computation keeps an empty prefix.
      telvi::service::Hold hold(superior);
      if (toeEvalIn(interp, superior, "buildUrlPrefix") == TCL_OK) url = Tcl_GetStringResult(interp);
      toeRawDefine(superior, "value", "urlprefix", nullptr, url.c_str());
    }
  }
  url += argv[1];
  if (std::strcmp(getDimension(node), "vector") == 0) url += "#[ widgetGetIndex ]";
  if (toeRawDefine(node, "value", "url", nullptr, url.c_str()) == nullptr)
    return fail(interp, argv[0], ": Failed to set url");
  return ok(interp, url.c_str());
}

int cmdRemapAttribute(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 4 && argc != 5) return usageSuffix(interp, argv[0], " key ?newslice? newkey index");
  const char *slice = argc == 5 ? argv[2] : "value";
  const char *newKey = argc == 5 ? argv[3] : argv[2];
  if (const char *value = lookup(node, 1, "value", argv[1])) {
    std::string copy = value;  // the definition may replace the value read
    if (toeRawDefine(node, slice, newKey, nullptr, copy.c_str()) == nullptr)
      return fail(interp, argv[0], ": Failed to set ", newKey);
  }
  return ok(interp, "");
}

int cmdSetLabels(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3) return usageSuffix(interp, argv[0], " label index");
  long index = std::strtol(argv[2], nullptr, 10);
  std::string name;
  bool listed = false;
  int count;
  const char **children;
  const char *list = lookup(node, 1, "value", "children");
  if (list != nullptr && Tcl_SplitList(nullptr, list, &count, &children) == TCL_OK) {
    if (index >= 0 && index < count) {
      name = children[index];
      listed = true;
    }
    Tcl_Free(reinterpret_cast<char *>(children));
  }
  if (!listed) name = "child" + std::to_string(index);
  toe *child = toeLocate(node, name.c_str(), 0, nullptr, nullptr, 0);
  if (child == nullptr) return fail(interp, argv[0], ": unable to locate child", name.c_str());
  if (toeRawDefine(child, "value", "label", nullptr, argv[1]) == nullptr)
    return fail(interp, argv[0], ": Failed to set label");
  return ok(interp, "");
}

// clientData: 0 path, 1 host, 2 port.
int cmdGetAttribute(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  switch (reinterpret_cast<intptr_t>(data)) {
    case 1:
      return ok(interp, nodemacroGetHost(node));
    case 2:
      return ok(interp, nodemacroGetPort(node));
    default: {
      Tcl_DString path;
      Tcl_DStringInit(&path);
      nodemacroGetPath(node, &path);
      Tcl_DStringResult(interp, &path);
      return TCL_OK;
    }
  }
}

// ---- macro ----

int cmdEvalMacro(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc < 2 || argc > 4) return usageSuffix(interp, argv[0], " key ?proc?");
  std::string procedure = argc > 2 ? argv[2] : "evalMacro";
  const char *value = lookup(node, 1, "value", argv[1]);
  if (value == nullptr || value[0] == '\0') return ok(interp, "0");
  std::string list = value;  // the macros may change the attribute
  int count;
  const char **entries;
  if (Tcl_SplitList(nullptr, list.c_str(), &count, &entries) != TCL_OK)
    return fail(interp, "error splitting macro list: ", list.c_str());
  telvi::service::Hold hold(node);
  int code = TCL_OK;
  for (int i = 0; i < count && code == TCL_OK; ++i) {
    // {proc part1 ... partN i}: the entry cut at every ":", then the entry's position.
    std::vector<std::string> words{procedure};
    for (const char *part = entries[i];; ++part) {
      const char *colon = std::strchr(part, ':');
      words.emplace_back(part, colon != nullptr ? static_cast<size_t>(colon - part) : std::strlen(part));
      if (colon == nullptr) break;
      part = colon;
    }
    words.push_back(std::to_string(i));
    std::vector<const char *> pointers;
    for (const std::string &word : words) pointers.push_back(word.c_str());
    code = toeEvalWordsIn(interp, node, static_cast<int>(pointers.size()), pointers.data());
  }
  Tcl_Free(reinterpret_cast<char *>(entries));
  // A failed macro keeps its message; otherwise "1" tells that the list was run.
  return code == TCL_OK ? ok(interp, "1") : code;
}

}  // namespace

extern "C" int Mibnode_InitInternal(Tcl_Interp *interp) {
  auto kind = [](int (*test)(toe *)) { return reinterpret_cast<ClientData>(test); };
  telvi::createCommands(interp, {
                                    {"leafNode", cmdNodeKind, kind(mibnodeIsLeaf)},
                                    {"branchNode", cmdNodeKind, kind(mibnodeIsBranch)},
                                    {"tableBranchNode", cmdNodeKind, kind(mibnodeIsTableBranch)},
                                    {"setMibNodeOid", cmdSetMibNodeOid},
                                });
  return TCL_OK;
}

extern "C" int Module_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {
                                    {"setModuleRoot", cmdSetModuleRoot},
                                    {"getModuleRoot", cmdGetModuleRoot},
                                    {"getModuleParam", cmdGetModuleParam},
                                    {"getContextName", cmdGetContextName},
                                });
  return TCL_OK;
}

extern "C" int Nodemacro_InitInternal(Tcl_Interp *interp) {
  auto which = [](intptr_t attribute) { return reinterpret_cast<ClientData>(attribute); };
  telvi::createCommands(interp, {
                                    {"setUrl", cmdSetUrl},
                                    {"remapAttribute", cmdRemapAttribute},
                                    {"setLabels", cmdSetLabels},
                                    {"getPath", cmdGetAttribute, which(0)},
                                    {"getHost", cmdGetAttribute, which(1)},
                                    {"getPort", cmdGetAttribute, which(2)},
                                });
  return TCL_OK;
}

extern "C" int Macro_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {{"evalMacro", cmdEvalMacro}});
  return TCL_OK;
}
