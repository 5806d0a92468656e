/*
 * Access control: whether a requester (PDU type, security level, security name and groups) may
 * read or write a node. Users and groups map to logical user and group types through member lists
 * (static ones in the node's "_<type>" attributes, editable ones on the module root or, outside a
 * module, in slice "coreAccess" of the object ".iso"); access entries such as
 * "userAccess(<entity>,<access>)" or "groupAccess(%<type>,<access>)" name the lowest security level
 * accepted; shadow entries per attribute come in front of them for the shadow check.
 *
 * Security levels as numbers: "noAuthNoPriv"/"noauth" 1, "authNoPriv"/"auth" 2, "authPriv"/"priv"
 * 3; an access entry that is absent or holds any other text requires 4, which no request meets. A
 * request made at a level outside the six names meets no entry at all.
 */
#ifndef TELVI_ACL_H
#define TELVI_ACL_H

#include <tcl.h>
#include "api.h"
#include "toe.h"

TELVI_BEGIN_DECLS

/* "read" for GetRequest, GetNextRequest and GetBulkRequest, "write" for SetRequest, else "none". */
TELVI_API const char *aclAccessKind(const char *pdutype);
/* The number of a security level text: 1, 2, 3, or 4 for null and any other text. */
TELVI_API int aclSecurityLevel(const char *text);

/* Member lists of a logical type: the editable list alone, or null. */
TELVI_API const char *aclGetEditMembers(toe *node, const char *type);
/* Appends the editable and the static members of the type (in that order) to out. */
TELVI_API void aclGetLogicalMembers(toe *node, const char *type, Tcl_DString *out);
/* Appends "%<type>" for each logical user type the user belongs to (separated by blanks). */
TELVI_API void aclGetLogicalUsers(toe *node, const char *user, Tcl_DString *out);
/* Appends "%<type>" for each logical group type that any of the groups (a Tcl list) belongs to. */
TELVI_API void aclGetLogicalGroups(toe *node, const char *groups, Tcl_DString *out);

/* 1 when an entry "<attr>(<entity>,<access>)" of one of the entities (a Tcl list) requires no more
 * than the requester's level number, else 0. */
TELVI_API int cmpAccess(toe *node, const char *entities, const char *access, int level, const char *attr);

/* The access decisions: 1 granted, 0 denied. */
TELVI_API int aclCheckAccess(toe *node, const char *pdutype, const char *securityLevel, const char *securityName,
                             const char *groups);
TELVI_API int aclCheckAccessShadow(toe *node, const char *attr, const char *pdutype, const char *securityLevel,
                                   const char *securityName, const char *groups);

TELVI_END_DECLS

#endif
