// Package "service": the service mechanism's commands. Every command works on the current object.
#include <cstring>
#include <string>

#include "pkg/command.h"
#include "rules/service_internal.h"
#include "telvi/package.h"
#include "telvi/service.h"

namespace {

using telvi::service::failWith;
using telvi::service::objectNode;

// Which of the commands that share a procedure was called.
enum Kind { kCommand = 1, kMethod = 2, kCommandOrMethod = 3 };

ClientData kindData(Kind kind) { return reinterpret_cast<ClientData>(static_cast<intptr_t>(kind)); }
Kind kindOf(ClientData data) { return static_cast<Kind>(reinterpret_cast<intptr_t>(data)); }

// This package writes "usage:" with no blank; the synopsis brings its own.
int usage(Tcl_Interp *interp, const char *command, const char *synopsis) {
  return telvi::fail(interp, "usage:", command, synopsis);
}

const char *optional(int argc, const char *argv[], int index) { return index < argc ? argv[index] : nullptr; }

int cmdEvaluateCommand(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 5 && argc != 6) return usage(interp, argv[0], " spec subspec command callback ?paramcmd?");
  return evaluateCommand(interp, node, argv[1], argv[2], argv[3], kindOf(data) == kCommand, argv[4],
                         optional(argc, argv, 5));
}

int cmdEvalCommand(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 3 && argc != 4) return usage(interp, argv[0], " spec command ?paramcmd?");
  return evaluateCommand(interp, node, argv[1], "", argv[2], kindOf(data) == kCommand, "",
                         optional(argc, argv, 3));
}

int cmdEvalECM(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2 && argc != 3) return usage(interp, argv[0], " ecm ?paramcmd?");
  return evaluateECM(interp, node, argv[1], optional(argc, argv, 2));
}

int cmdTrigger(ClientData data, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  int first = argc > 1 && std::strcmp(argv[1], "-q") == 0 ? 2 : 1;
  int words = argc - first;
  if (words != 3 && words != 4) return usage(interp, argv[0], " ?-q? spec subspec callback ?paramcmd?");
  const char *spec = argv[first], *subspec = argv[first + 1], *callback = argv[first + 2];
  const char *paramcmd = optional(argc, argv, first + 3);
  int code;
  switch (kindOf(data)) {
    case kCommand: code = triggerCommand(interp, node, spec, subspec, callback, paramcmd); break;
    case kMethod: code = triggerMethod(interp, node, spec, subspec, callback, paramcmd); break;
    default: code = triggerCommandOrMethod(interp, node, spec, subspec, callback, paramcmd); break;
  }
  if (code == TCL_ERROR && Tcl_GetStringResult(interp)[0] == '\0') {
    if (first == 2) return TCL_OK;
    return failWith(interp, std::string("no command or method defined for ") + spec + "," + subspec);
  }
  return code;
}

int cmdTriggerActions(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 4 && argc != 5) return usage(interp, argv[0], " spec subspec callback ?paramcmd?");
  return triggerActions(interp, node, argv[1], argv[2], argv[3], optional(argc, argv, 4));
}

int cmdSubstituteParams(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2 && argc != 3) return usage(interp, argv[0], " string ?paramcmd?");
  Tcl_DString output;
  Tcl_DStringInit(&output);
  int count = substituteParams(interp, node, argv[1], &output, optional(argc, argv, 2));
  if (count < 0) {
    // -2: no value for a parameter; -1 and -3: a brace or bracket form that could not be used.
    const char *what = count == -2 ? "unable to resolve parameter \"" : "could not substitute parameter \"";
    std::string message = what + std::string(Tcl_DStringValue(&output)) + "\" in string: " + argv[1];
    Tcl_DStringFree(&output);
    return failWith(interp, message);
  }
  Tcl_DStringResult(interp, &output);
  return TCL_OK;
}

// setParameters and pushParameters: name/value pairs, applied in order.
int parameterPairs(Tcl_Interp *interp, int argc, const char *argv[],
                   int (*apply)(Tcl_Interp *, toe *, const char *, const char *), const char *verb) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc < 3 || argc % 2 != 1) return usage(interp, argv[0], " name value ?name value? ...");
  for (int i = 1; i < argc; i += 2)
    if (apply(interp, node, argv[i], argv[i + 1]) != 0)
      return failWith(interp, std::string("unable to ") + verb + " parameter " + argv[i]);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdSetParameters(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  return parameterPairs(interp, argc, argv, setParameter, "set");
}

int cmdGetParameter(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc != 2 && argc != 3) return usage(interp, argv[0], " param ?paramcmd?");
  return getParameter(interp, node, argv[1], optional(argc, argv, 2));
}

int cmdClearParameters(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc == 1) clearParameters(interp, node);
  for (int i = 1; i < argc; ++i) clearParameter(interp, node, argv[i]);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdPushParameters(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  return parameterPairs(interp, argc, argv, pushParameter, "push");
}

int cmdPopParameters(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *node = objectNode(interp);
  if (node == nullptr) return TCL_ERROR;
  if (argc < 2) return usage(interp, argv[0], " name ...");
  for (int i = 1; i < argc; ++i)
    if (popParameter(interp, node, argv[i]) != 0)
      return failWith(interp, std::string("unable to pop parameter ") + argv[i]);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

}  // namespace

extern "C" int Service_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {
                                    {"evaluateCommand", cmdEvaluateCommand, kindData(kCommand)},
                                    {"evaluateMethod", cmdEvaluateCommand, kindData(kMethod)},
                                    {"evalCommand", cmdEvalCommand, kindData(kCommand)},
                                    {"evalMethod", cmdEvalCommand, kindData(kMethod)},
                                    {"evalECM", cmdEvalECM},
                                    {"triggerCommand", cmdTrigger, kindData(kCommand)},
                                    {"triggerMethod", cmdTrigger, kindData(kMethod)},
                                    {"triggerCommandOrMethod", cmdTrigger, kindData(kCommandOrMethod)},
                                    {"triggerActions", cmdTriggerActions},
                                    {"setParameters", cmdSetParameters},
                                    {"getParameter", cmdGetParameter},
                                    {"clearParameters", cmdClearParameters},
                                    {"substituteParams", cmdSubstituteParams},
                                    {"popParameters", cmdPopParameters},
                                    {"pushParameters", cmdPushParameters},
                                });
  return TCL_OK;
}
