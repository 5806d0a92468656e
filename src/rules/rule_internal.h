// Pieces of the rule engine that its command layer and the alarm package share.
#ifndef TELVI_RULES_RULE_INTERNAL_H
#define TELVI_RULES_RULE_INTERNAL_H

#include <tcl.h>

#include <string>

#include "telvi/toe.h"

namespace telvi::rule {

// The rule-row key: the rule, or "<rule>(<row>)" for a named row.
std::string rowKey(const char *rule, const char *row);

// The key of a rule parameter: row null "<rule>-<parm>()", row empty "<rule>-<parm>", otherwise
// "<rule>-<parm>(<row>)".
std::string parmKey(const char *rule, const char *row, const char *parm);

// Parameter types of setRuleParm and getRuleParm.
enum ParmType { kDynamic, kStatic, kEditable };

// Stores a dynamic parameter; false with the message in the result.
bool setRuleParm(Tcl_Interp *interp, toe *node, ParmType type, const char *rule, const char *row, const char *parm,
                 const char *value);
// The parameter's value, or null when none is found; false with the message in the result.
bool getRuleParm(Tcl_Interp *interp, toe *node, ParmType type, const char *rule, const char *row, const char *parm,
                 const char **value);

// Integer and time entries of a rule-row key (0 when absent).
int32_t ruleCount(toe *node, const std::string &key);
uint32_t ruleStartTime(toe *node, const std::string &key);

}  // namespace telvi::rule

#endif
