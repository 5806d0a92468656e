/*
 * The service mechanism: how a node of the managed-object tree has the commands and methods named in
 * its attributes evaluated by a service object, with "%" parameters substituted from the node's
 * service parameters (slice "serviceparam"), a callback (ECM) run afterwards, and action lists.
 *
 * These functions evaluate scripts, so unlike the store's functions they work with the interpreter
 * result: the TCL_OK/TCL_ERROR ones leave the result or the error message there.
 */
#ifndef TELVI_SERVICE_H
#define TELVI_SERVICE_H

#include <tcl.h>
#include "api.h"
#include "toe.h"

TELVI_BEGIN_DECLS

/* Parameter names and "%[...]" scripts longer than this are refused by the substitution. */
#define SERVICE_MAX_PARAM 140
/* A parameter's name and the depth of its push stack ("#" per level) stay within this length. */
#define SERVICE_MAX_STACKED_KEY 31

/* Service parameters of the node. 0, or -1 when the definition fails (or the push would pass the
 * stack limit, leaving the parameter unchanged). Popping restores the value pushed below, or
 * removes the parameter when nothing was. */
TELVI_API int setParameter(Tcl_Interp *interp, toe *node, const char *name, const char *value);
TELVI_API int clearParameter(Tcl_Interp *interp, toe *node, const char *name);
TELVI_API int clearParameters(Tcl_Interp *interp, toe *node);
TELVI_API int pushParameter(Tcl_Interp *interp, toe *node, const char *name, const char *value);
TELVI_API int popParameter(Tcl_Interp *interp, toe *node, const char *name);

/* The parameter's value as the result (from the node, else from the parameter command paramcmd,
 * which may be null); TCL_ERROR with "invalid parameter: <name>" when neither has it. */
TELVI_API int getParameter(Tcl_Interp *interp, toe *node, const char *name, const char *paramcmd);

/*
 * Substitutes the "%" forms of text into output (initialised by the caller, freed by the caller).
 * Returns the number of substituted parameters, or
 *   -1 a "%{" or "%[" without its closing brace or bracket,
 *   -2 a parameter that neither the node nor paramcmd resolves (or a name that is too long),
 *   -3 a "%[" script that failed (or is too long);
 * on failure output holds the name or text at fault instead. A paramcmd "null" copies the text.
 */
TELVI_API int substituteParams(Tcl_Interp *interp, toe *node, const char *text, Tcl_DString *output,
                               const char *paramcmd);

/* The service object for spec and subspec seen from the node, or null for none; answers are cached
 * in the node's slice "service". */
TELVI_API toe *getService(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec);

/* Evaluates a command (isCommand != 0, through the service's evaluator) or a method text in the
 * service's context, then the callback. TCL_OK or TCL_ERROR. */
TELVI_API int evaluateCommand(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec,
                              const char *command, int isCommand, const char *callback, const char *paramcmd);
TELVI_API int evaluateECM(Tcl_Interp *interp, toe *node, const char *ecm, const char *paramcmd);

/* Look up and evaluate the node's command, method, or command else method for spec and subspec.
 * TCL_ERROR with an empty result when none is defined. */
TELVI_API int triggerCommand(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec,
                             const char *callback, const char *paramcmd);
TELVI_API int triggerMethod(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec,
                            const char *callback, const char *paramcmd);
TELVI_API int triggerCommandOrMethod(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec,
                                     const char *callback, const char *paramcmd);

/* Runs the private then the public action list of spec; the result is the last new value that a
 * starred action chose (also left in the parameter "newvalue"). */
TELVI_API int triggerActions(Tcl_Interp *interp, toe *node, const char *spec, const char *subspec,
                             const char *callback, const char *paramcmd);

TELVI_END_DECLS

#endif
