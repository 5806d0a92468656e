// Access control: logical user and group types, access entries, the access and shadow checks.
#include "telvi/acl.h"

#include <cstring>
#include <string>
#include <vector>

#include "rules/service_internal.h"
#include "telvi/ddl.h"
#include "telvi/id.h"

namespace {

using telvi::service::lookup;
using telvi::service::objectOf;

// A Tcl list as words; a text that is no list counts as empty.
std::vector<std::string> words(const char *list) {
  std::vector<std::string> result;
  int count;
  const char **elements;
  if (list == nullptr || Tcl_SplitList(nullptr, list, &count, &elements) != TCL_OK) return result;
  result.assign(elements, elements + count);
  Tcl_Free(reinterpret_cast<char *>(elements));
  return result;
}

bool contains(const std::vector<std::string> &list, const std::string &word) {
  for (const std::string &element : list)
    if (element == word) return true;
  return false;
}

// The requester's level: a level outside the six names would otherwise equal an absent entry's
// requirement and so meet every entry; such a request meets none.
int requesterLevel(const char *text) {
  int level = aclSecurityLevel(text);
  return level < 4 ? level : 0;
}

// The object ".iso" that holds the editable member lists of nodes outside a module. The first one
// found is kept by its identifier and located again should it be destroyed.
toe *coreObject(toe *node) {
  static std::string remembered;
  if (toe *object = remembered.empty() ? nullptr : objectOf(remembered.c_str())) return object;
  toe *object = toeLocate(node, ".iso", 0, nullptr, nullptr, 0);
  if (object != nullptr) remembered = toeGetId(object);
  return object;
}

// "%<type>" for each type of the list "<typesKey>" whose members include one of the candidates.
void logicalTypes(toe *node, const char *typesKey, const std::vector<std::string> &candidates, Tcl_DString *out) {
  bool first = true;
  for (const std::string &type : words(lookup(node, 1, "value", typesKey))) {
    Tcl_DString members;
    Tcl_DStringInit(&members);
    aclGetLogicalMembers(node, type.c_str(), &members);
    std::vector<std::string> listed = words(Tcl_DStringValue(&members));
    Tcl_DStringFree(&members);
    bool member = false;
    for (const std::string &candidate : candidates) member = member || contains(listed, candidate);
    if (!member) continue;
    if (!first) Tcl_DStringAppend(out, " ", 1);
    Tcl_DStringAppend(out, "%", 1);
    Tcl_DStringAppend(out, type.c_str(), static_cast<int>(type.size()));
    first = false;
  }
}

std::string logicalUsers(toe *node, const char *user) {
  Tcl_DString out;
  Tcl_DStringInit(&out);
  aclGetLogicalUsers(node, user, &out);
  std::string text = Tcl_DStringValue(&out);
  Tcl_DStringFree(&out);
  return text;
}

std::string logicalGroups(toe *node, const char *groups) {
  Tcl_DString out;
  Tcl_DStringInit(&out);
  aclGetLogicalGroups(node, groups, &out);
  std::string text = Tcl_DStringValue(&out);
  Tcl_DStringFree(&out);
  return text;
}

// The user as a list of one entity.
std::string userEntity(const char *user) { return telvi::service::mergeList({user != nullptr ? user : ""}); }

// The shadow entry of the entity, per attribute or else for any attribute.
const char *shadowEntry(toe *node, const char *key, const char *attr, const std::string &entity, const char *access) {
  std::string own = std::string(key) + "(" + attr + "," + entity + "," + access + ")";
  if (const char *entry = lookup(node, 1, "value", own)) return entry;
  return lookup(node, 1, "value", std::string(key) + "(," + entity + "," + access + ")");
}

bool shadowGrants(toe *node, const std::string &entities, const char *access, int level, const char *key,
                  const char *attr) {
  for (const std::string &entity : words(entities.c_str()))
    if (aclSecurityLevel(shadowEntry(node, key, attr, entity, access)) <= level) return true;
  return false;
}

// The four checks in order: logical groups, logical users, the groups, the user.
int fourChecks(toe *node, const char *access, int level, const std::string &logicalUser,
               const std::string &logicalGroup, const char *user, const char *groups) {
  return cmpAccess(node, logicalGroup.c_str(), access, level, "groupAccess") ||
         cmpAccess(node, logicalUser.c_str(), access, level, "userAccess") ||
         cmpAccess(node, groups, access, level, "groupAccess") ||
         cmpAccess(node, userEntity(user).c_str(), access, level, "userAccess");
}

// A shadow mode: "<name>(<attr>)", else "<name>()"; null when neither is set.
const char *shadowMode(toe *node, const char *name, const char *attr) {
  if (const char *mode = lookup(node, 1, "value", std::string(name) + "(" + attr + ")")) return mode;
  return lookup(node, 1, "value", std::string(name) + "()");
}

}  // namespace

extern "C" {

const char *aclAccessKind(const char *pdutype) {
  if (pdutype == nullptr) return "none";
  for (const char *read : {"GetRequest", "GetNextRequest", "GetBulkRequest"})
    if (std::strcmp(pdutype, read) == 0) return "read";
  return std::strcmp(pdutype, "SetRequest") == 0 ? "write" : "none";
}

int aclSecurityLevel(const char *text) {
  if (text == nullptr) return 4;
  static const struct {
    const char *name;
    int level;
  } levels[] = {{"noAuthNoPriv", 1}, {"noauth", 1}, {"authNoPriv", 2}, {"auth", 2}, {"authPriv", 3}, {"priv", 3}};
  for (const auto &entry : levels)
    if (std::strcmp(text, entry.name) == 0) return entry.level;
  return 4;
}

const char *aclGetEditMembers(toe *node, const char *type) {
  if (node == nullptr || type == nullptr) return nullptr;
  if (const char *rootId = lookup(node, 0, "internal", "moduleroot")) {
    toe *root = objectOf(rootId);
    return root != nullptr ? lookup(root, 1, "value", type) : nullptr;
  }
  toe *core = coreObject(node);
  return core != nullptr ? lookup(core, 1, "coreAccess", type) : nullptr;
}

void aclGetLogicalMembers(toe *node, const char *type, Tcl_DString *out) {
  if (node == nullptr || type == nullptr || out == nullptr) return;
  const char *statics = lookup(node, 1, "value", std::string("_") + type);
  const char *editable = aclGetEditMembers(node, type);
  if (editable != nullptr) Tcl_DStringAppend(out, editable, -1);
  if (editable != nullptr && statics != nullptr) Tcl_DStringAppend(out, " ", 1);
  if (statics != nullptr) Tcl_DStringAppend(out, statics, -1);
}

void aclGetLogicalUsers(toe *node, const char *user, Tcl_DString *out) {
  if (node == nullptr || user == nullptr || out == nullptr) return;
  logicalTypes(node, "_logicalUserTypes", {user}, out);
}

void aclGetLogicalGroups(toe *node, const char *groups, Tcl_DString *out) {
  if (node == nullptr || out == nullptr) return;
  logicalTypes(node, "_logicalGroupTypes", words(groups), out);
}

int cmpAccess(toe *node, const char *entities, const char *access, int level, const char *attr) {
  if (node == nullptr || access == nullptr || attr == nullptr) return 0;
  for (const std::string &entity : words(entities)) {
    std::string key = std::string(attr) + "(" + entity + "," + access + ")";
    if (aclSecurityLevel(lookup(node, 3, "value", key)) <= level) return 1;
  }
  return 0;
}

int aclCheckAccess(toe *node, const char *pdutype, const char *securityLevel, const char *securityName,
                   const char *groups) {
  if (node == nullptr) return 0;
  return fourChecks(node, aclAccessKind(pdutype), requesterLevel(securityLevel), logicalUsers(node, securityName),
                    logicalGroups(node, groups), securityName, groups);
}

int aclCheckAccessShadow(toe *node, const char *attr, const char *pdutype, const char *securityLevel,
                         const char *securityName, const char *groups) {
  if (node == nullptr) return 0;
  if (attr == nullptr) attr = "";
  const char *access = aclAccessKind(pdutype);
  int level = requesterLevel(securityLevel);
  std::string users = logicalUsers(node, securityName), groupTypes = logicalGroups(node, groups);

  const char *mode = shadowMode(node, "shadowAccessMode", attr);
  if (mode == nullptr) {
    ddlPrintf("warning", "checkAccessShadow: mode not found - using useShadowAccess\n");
    mode = "useShadowAccess";
  }
  bool granted = true;
  if (std::strcmp(mode, "useShadowAccess") == 0) {
    granted = shadowGrants(node, groupTypes, access, level, "shadowGroupAccess", attr) ||
              shadowGrants(node, users, access, level, "shadowUserAccess", attr) ||
              shadowGrants(node, groups != nullptr ? groups : "", access, level, "shadowGroupAccess", attr) ||
              shadowGrants(node, userEntity(securityName), access, level, "shadowUserAccess", attr);
  } else if (std::strcmp(mode, "bypassShadowAccess") != 0) {
    ddlPrintf("warning", "checkAccessShadow: unknown mode - %s\n", mode);
  }
  if (!granted) return 0;

  const char *mibMode = shadowMode(node, "shadowMIBAccessMode", attr);
  if (mibMode == nullptr) {
    ddlPrintf("warning", "checkAccessShadow: mode not found - using useMIBAccess\n");
    mibMode = "useMIBAccess";
  }
  if (std::strcmp(mibMode, "useNoMIBAccess") == 0) return 1;
  if (std::strcmp(mibMode, "useReadMIBAccess") == 0) {
    access = "read";
  } else if (std::strcmp(mibMode, "useWriteMIBAccess") == 0) {
    access = "write";
  } else if (std::strcmp(mibMode, "useMIBAccess") != 0) {
    ddlPrintf("warning", "checkAccessShadow: unknown mode - %s\n", mibMode);
  }
  return fourChecks(node, access, level, users, groupTypes, securityName, groups);
}

}  // extern "C"
