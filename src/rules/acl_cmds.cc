// Package "acl": logical types and the access decisions for the current object.
#include <string>

#include "pkg/command.h"
#include "rules/service_internal.h"
#include "telvi/acl.h"
#include "telvi/package.h"

namespace {

using telvi::fail;
using telvi::usageSuffix;
using telvi::service::lookup;
using telvi::service::setResult;
using telvi::service::ok;
using telvi::service::dictionaryNode;

int dstringResult(Tcl_Interp *interp, Tcl_DString *text) {
  Tcl_DStringResult(interp, text);
  return TCL_OK;
}

// clientData: the key of the list of types ("_logicalUserTypes" or "_logicalGroupTypes"), or null
// for both.
int cmdGetLogicalTypes(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 1) return usageSuffix(interp, argv[0], "");
  if (data != nullptr) return ok(interp, lookup(node, 1, "value", static_cast<const char *>(data)));
  const char *users = lookup(node, 1, "value", "_logicalUserTypes");
  const char *groups = lookup(node, 1, "value", "_logicalGroupTypes");
  std::string both = users != nullptr ? users : "";
  if (users != nullptr && groups != nullptr) both += " ";
  if (groups != nullptr) both += groups;
  return ok(interp, both.c_str());
}

int cmdGetLogicalUsers(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return fail(interp, "usage: getLogicalUsers user");
  Tcl_DString users;
  Tcl_DStringInit(&users);
  aclGetLogicalUsers(node, argv[1], &users);
  return dstringResult(interp, &users);
}

int cmdGetLogicalGroups(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return usageSuffix(interp, argv[0], " groups");
  Tcl_DString groups;
  Tcl_DStringInit(&groups);
  aclGetLogicalGroups(node, argv[1], &groups);
  return dstringResult(interp, &groups);
}

int cmdGetEditMembers(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2) return usageSuffix(interp, argv[0], " type");
  return ok(interp, aclGetEditMembers(node, argv[1]));
}

int cmdCheckAccess(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 5) return usageSuffix(interp, argv[0], " pdutype securityLevel securityName groups");
  return ok(interp, aclCheckAccess(node, argv[1], argv[2], argv[3], argv[4]) ? "1" : "0");
}

int cmdCheckAccessShadow(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = dictionaryNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 6) return usageSuffix(interp, argv[0], " attr pdutype securityLevel securityName groups");
  return ok(interp, aclCheckAccessShadow(node, argv[1], argv[2], argv[3], argv[4], argv[5]) ? "1" : "0");
}

}  // namespace

extern "C" int Acl_InitInternal(Tcl_Interp *interp) {
  auto key = [](const char *name) { return const_cast<char *>(name); };
  telvi::createCommands(interp, {
                                    {"getLogicalUsers", cmdGetLogicalUsers},
                                    {"getLogicalGroups", cmdGetLogicalGroups},
                                    {"getLogicalUserTypes", cmdGetLogicalTypes, key("_logicalUserTypes")},
                                    {"getLogicalGroupTypes", cmdGetLogicalTypes, key("_logicalGroupTypes")},
                                    {"getLogicalTypes", cmdGetLogicalTypes},
                                    {"getEditMembers", cmdGetEditMembers},
                                    {"_checkAccess", cmdCheckAccess},
                                    {"_checkAccessShadow", cmdCheckAccessShadow},
                                });
  return TCL_OK;
}
