// Helpers of the service mechanism that the managed-object packages share.
#ifndef TELVI_RULES_SERVICE_INTERNAL_H
#define TELVI_RULES_SERVICE_INTERNAL_H

#include <tcl.h>

#include <initializer_list>
#include <string>

#include "telvi/toe.h"

namespace telvi::service {

// The string of slice/key seen from the object in the search mode, or null. The key is taken as it
// is, never as a key path.
const char *lookup(toe *object, int mode, const char *slice, const std::string &key);

// The first of "<prefix><spec><kind>(<subspec>)" and "<prefix><spec><kind>()" (or, with an empty
// subspec, "<prefix><spec><kind>") defined in slice "value"; the key found in *foundKey.
const char *specLookup(toe *node, int mode, const char *prefix, const char *spec, const char *kind,
                       const char *subspec, std::string *foundKey);

// The elements as one properly quoted Tcl list.
std::string mergeList(std::initializer_list<const char *> elements);

// The object of an identifier, or null.
toe *objectOf(const char *id);

// Keeps an object alive while scripts run that might destroy it.
class Hold {
 public:
  explicit Hold(toe *object) : object_(object) { toeIncrRefCount(object_); }
  ~Hold() { toeDecrRefCount(object_); }
  Hold(const Hold &) = delete;
  Hold &operator=(const Hold &) = delete;

 private:
  toe *object_;
};

void setResult(Tcl_Interp *interp, const std::string &text);
int failWith(Tcl_Interp *interp, const std::string &text);
// The text (null: empty) as the result; TCL_OK.
int ok(Tcl_Interp *interp, const std::string &text);
int ok(Tcl_Interp *interp, const char *text);

// The module root of a node: the object its own "internal" "moduleroot" names (none when empty), or
// null.
toe *moduleRoot(toe *node);

// The node a command works on, the current object; null with the message as the error result. Some
// packages (data, mibnode, module, acl) word a missing object as "Not in dictionary context", the
// others as "not in object context".
toe *currentNode(Tcl_Interp *interp, const char *message);
inline toe *dictionaryNode(Tcl_Interp *interp) { return currentNode(interp, "Not in dictionary context"); }
inline toe *objectNode(Tcl_Interp *interp) { return currentNode(interp, "not in object context"); }

}  // namespace telvi::service

#endif
