// Node identity: kinds, OID assignment, module roots, module parameters and context names, and the
// path, host and port attributes of a node.
#include "telvi/identity.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "rules/service_internal.h"
#include "tree/identity_internal.h"

namespace telvi::identity {

using service::lookup;

bool is(const char *text, const char *expected) { return text != nullptr && std::strcmp(text, expected) == 0; }

const char *nonEmpty(const char *text) { return text != nullptr && text[0] != '\0' ? text : nullptr; }

// An OID arc: a Tcl integer within 0 .. 2^32-1, written back in decimal.
bool subidentifier(const char *text, std::string &subid) {
  if (text == nullptr) return false;
  Tcl_Obj *word = Tcl_NewStringObj(text, -1);
  Tcl_IncrRefCount(word);
  Tcl_WideInt value;
  bool integer = Tcl_GetWideIntFromObj(nullptr, word, &value) == TCL_OK;
  Tcl_DecrRefCount(word);
  if (!integer || value < 0 || value > 0xffffffffLL) return false;
  subid = std::to_string(value);
  return true;
}

int setOid(Tcl_Interp *interp, toe *node, const char *command, const char *contextName) {
  std::string prefix = std::string(command) + ": ";
  const char *peerName = lookup(node, 1, "peer", "mib");
  toe *peer = peerName != nullptr ? toeString2Object(node, peerName) : nullptr;
  if (peer == nullptr) return service::failWith(interp, prefix + "Failed to lookup peer mib");
  service::Hold holdNode(node), holdPeer(peer);

  std::string subid;
  if (!subidentifier(lookup(node, 1, "value", "oid"), subid)) {
    std::unique_ptr<char, decltype(&std::free)> name(toeObject2Name(node, -1), &std::free);
    const char *words[] = {"getOidPreference", name != nullptr ? name.get() : ""};
    if (toeEvalWordsIn(interp, peer, 2, words) != TCL_OK)
      return service::failWith(interp, prefix + "getOidPreference failed");
    if (!subidentifier(Tcl_GetStringResult(interp), subid)) return service::failWith(interp, prefix + " bad subid");
  }
  if (toeRawDefine(node, "internal", "subid", nullptr, subid.c_str()) == nullptr)
    return service::failWith(interp, prefix + "Failed to set subid");
  toe *superior = toeGetSuperior(node);
  if (superior != nullptr) toeRawDefine(superior, "oid", subid.c_str(), nullptr, toeGetId(node));

  const char *above = superior != nullptr ? nonEmpty(lookup(superior, 0, "internal", "fulloid")) : nullptr;
  std::string fullOid = above != nullptr ? std::string(above) + "." + subid : subid;
  if (toeRawDefine(node, "internal", "fulloid", nullptr, fullOid.c_str()) == nullptr)
    return service::failWith(interp, prefix + "Failed to set fulloid");

  std::string registered = std::string(contextName) + "/" + fullOid;
  const char *words[] = {"registerName", registered.c_str(), toeGetId(node)};
  if (toeEvalWordsIn(interp, peer, 3, words) != TCL_OK) {
    std::string script = service::mergeList({"registerName", registered.c_str(), toeGetId(node)});
    return service::failWith(interp, prefix + script + " failed");
  }
  service::setResult(interp, fullOid);
  return TCL_OK;
}

int setRoot(toe *node, const char **root) {
  toe *superior = toeGetSuperior(node);
  *root = superior != nullptr ? nonEmpty(lookup(superior, 0, "internal", "moduleroot")) : nullptr;
  if (*root == nullptr) return 0;
  toeVal *value = toeRawDefine(node, "internal", "moduleroot", nullptr, *root);
  if (value == nullptr) return -1;
  *root = toeValGetStringValue(value);
  return 0;
}

}  // namespace telvi::identity

using telvi::identity::is;
using telvi::identity::nonEmpty;
using telvi::service::lookup;

extern "C" {

int mibnodeIsLeaf(toe *node) {
  const char *type = node != nullptr ? lookup(node, 1, "value", "nodeType") : nullptr;
  return node != nullptr && (type == nullptr || is(type, "leaf"));
}

int mibnodeIsBranch(toe *node) { return node != nullptr && is(lookup(node, 1, "value", "nodeType"), "branch"); }

int mibnodeIsTableBranch(toe *node) {
  return mibnodeIsBranch(node) && is(lookup(node, 0, "internal", "childdimension"), "vector");
}

int mibnodeSetOid(Tcl_Interp *interp, toe *node, const char *contextName) {
  if (node == nullptr) return TCL_ERROR;
  return telvi::identity::setOid(interp, node, "setMibNodeOid", contextName != nullptr ? contextName : "");
}

const char *moduleSetRoot(toe *node) {
  const char *root = nullptr;
  if (node == nullptr || telvi::identity::setRoot(node, &root) != 0) return nullptr;
  return root;
}

const char *moduleGetParam(toe *node, const char *name) {
  if (node == nullptr || name == nullptr) return nullptr;
  const char *rootId = lookup(node, 2, "internal", "moduleroot");
  if (rootId == nullptr) return lookup(node, 1, "param", name);
  toe *root = toeString2Object(node, rootId);
  return root != nullptr ? lookup(root, 1, "param", name) : nullptr;
}

const char *moduleGetContextName(toe *node) {
  if (const char *instance = moduleGetParam(node, "instance")) return instance;
  const char *context = node != nullptr ? lookup(node, 2, "internal", "contextName") : nullptr;
  return context != nullptr ? context : "";
}

void nodemacroGetPath(toe *node, Tcl_DString *out) {
  if (node == nullptr || out == nullptr) return;
  if (const char *modspec = lookup(node, 3, "value", "modspec")) {
    Tcl_DStringAppend(out, modspec, -1);
    Tcl_DStringAppend(out, "/", 1);
  }
  if (const char *prefix = nonEmpty(lookup(node, 1, "value", "refreshOidPrefix"))) {
    Tcl_DStringAppend(out, prefix, -1);
    Tcl_DStringAppend(out, ".", 1);
  }
}

const char *nodemacroGetHost(toe *node) {
  if (node == nullptr) return "";
  const char *host = lookup(node, 1, "value", "refreshHost");
  if (host == nullptr) host = lookup(node, 3, "value", "agentHost");
  return host != nullptr ? host : "";
}

const char *nodemacroGetPort(toe *node) {
  if (node == nullptr) return "";
  const char *port = lookup(node, 1, "value", "refreshPort");
  if (port == nullptr) port = lookup(node, 3, "value", "agentPort");
  return port != nullptr ? port : "";
}

}  // extern "C"
