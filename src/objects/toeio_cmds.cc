// Package "toeio": configuration object files read into and written from the current object.
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <string>
#include <vector>

#include "objects/cfglex.h"
#include "pkg/command.h"
#include "telvi/cfgfile.h"
#include "telvi/package.h"
#include "telvi/toe.h"

namespace {

using telvi::fail;

toe *current(Tcl_Interp *interp) { return toeGetCurrentObject(interp, TOE_SELECT_CURRENT); }

bool isPrefixOf(const char *word, const char *of) {
  size_t length = std::strlen(word);
  return length > 0 && std::strncmp(word, of, length) == 0;
}

// A parser action that runs its words as a Tcl command in the parse's current object.
int DefaultParserAction(toe *object, int argc, char **argv, void *clientData, char **result) {
  if (argc == 0) return 0;
  Tcl_Interp *interp = static_cast<Tcl_Interp *>(clientData);
  Tcl_Preserve(interp);
  toePushContext(interp, object, object);
  char *command = Tcl_Merge(argc, argv);
  int code = Tcl_Eval(interp, command);
  Tcl_Free(command);
  int status = 0;
  if (code != TCL_OK) {
    std::string message = Tcl_GetStringResult(interp);
    telvi::cfg::reportError(message.empty() ? "action failed" : message.c_str());
    status = -1;
  } else if (result != nullptr && *Tcl_GetStringResult(interp) != '\0') {
    *result = strdup(Tcl_GetStringResult(interp));
  }
  toePopContext(interp);
  Tcl_Release(interp);
  return status;
}

void interpGone(ClientData clientData, Tcl_Interp *) { telvi::cfg::forgetActions(clientData); }

// ---- export ----

int exportUsage(Tcl_Interp *interp, const char *name) {
  return fail(interp, "usage: ", name, " string|interface slice spec ?-minimal? ?-dot?", " ?-prune slice key value?");
}

int cmdExport(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  std::vector<const char *> words(argv, argv + argc);
  int flags = CFG_EXPORT_INDENT;
  const char *pruneSlice = nullptr, *pruneKey = nullptr, *pruneValue = nullptr;
  const char *actionBase = nullptr, *filterSet = nullptr;
  // Options anywhere after the name, examined from the last word back.
  for (size_t i = words.size(); i-- > 1;) {
    std::string word = words[i];
    size_t values = 0;
    if (word == "-minimal") {
      flags |= CFG_EXPORT_MINIMAL;
    } else if (word == "-dot") {
      flags = CFG_EXPORT_DOT;
    } else if (word == "-parents") {
      flags |= CFG_EXPORT_PARENTS;
    } else if (word == "-prune") {
      values = 3;
    } else if (word == "-action" || word == "-filter") {
      values = 1;
    } else {
      continue;
    }
    if (i + values >= words.size()) return exportUsage(interp, argv[0]);
    if (word == "-prune") {
      pruneSlice = words[i + 1];
      pruneKey = words[i + 2];
      pruneValue = words[i + 3];
    } else if (word == "-action") {
      actionBase = words[i + 1];
    } else if (word == "-filter") {
      filterSet = words[i + 1];
    }
    words.erase(words.begin() + static_cast<long>(i), words.begin() + static_cast<long>(i + values + 1));
  }
  if (words.size() != 4) return exportUsage(interp, argv[0]);
  toe *object = current(interp);
  if (object == nullptr) return fail(interp, "not in dictionary context");

  const char *target = words[3];
  int sliceCount = 0;
  const char **slices = nullptr;
  if (words[2][0] != '\0' &&
      (Tcl_SplitList(interp, words[2], &sliceCount, &slices) != TCL_OK || sliceCount == 0)) {
    if (slices != nullptr) Tcl_Free(reinterpret_cast<char *>(slices));
    return fail(interp, argv[0], ": bad slice specification");
  }
  const char *primary = sliceCount > 0 ? slices[0] : nullptr;
  int code = TCL_OK;
  if (strcasecmp(words[1], "string") == 0) {
    char *text = cfgfileWriteToString(object, primary, slices, sliceCount, flags, pruneSlice, pruneKey, pruneValue,
                                      actionBase, filterSet);
    if (text == nullptr) {
      code = fail(interp, "Failed to export ", target);
    } else if (target[0] == '\0') {
      Tcl_ResetResult(interp);
      Tcl_AppendResult(interp, text, nullptr);
    } else {
      Tcl_ResetResult(interp);
      if (Tcl_SetVar(interp, target, text, TCL_LEAVE_ERR_MSG) == nullptr) code = TCL_ERROR;
    }
    std::free(text);
  } else if (cfgfileWriteToFileExport(target, object, primary, slices, sliceCount, flags, pruneSlice, pruneKey,
                                      pruneValue, actionBase, filterSet) != 0) {
    code = fail(interp, "Failed to export ", target);
  } else {
    Tcl_ResetResult(interp);
  }
  if (slices != nullptr) Tcl_Free(reinterpret_cast<char *>(slices));
  return code;
}

// ---- import ----

int importUsage(Tcl_Interp *interp, const char *name) {
  return fail(interp, "usage: ", name, " string|interface|register ", "...");
}

int cmdImport(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  std::vector<const char *> words(argv, argv + argc);
  telvi::cfg::LoadOptions options;
  if (!telvi::cfg::takeLoadOptions(words, options) || options.superior != nullptr)
    return importUsage(interp, argv[0]);
  bool exact = options.exact;
  const char *actionSlice = options.slice, *parentName = options.parent;
  if (words.size() != 3 && words.size() != 4) return importUsage(interp, argv[0]);
  toe *object = current(interp);
  if (object == nullptr) return fail(interp, "not in dictionary context");

  const char *kind = words[1];
  int status = -1;
  toe *parent = parentName != nullptr ? toeString2Object(object, parentName) : nullptr;
  if (parentName == nullptr || parent != nullptr) {
    toe **parents = parent != nullptr ? &parent : nullptr;
    int parentCount = parent != nullptr ? 1 : 0;
    if (words.size() == 4 && isPrefixOf(kind, "string")) {
      status = cfgfileParseStringSlice(words[3], object, words[2], exact, parents, parentCount);
    } else if (words.size() == 4 && isPrefixOf(kind, "interface")) {
      status = cfgfileParseFileSlice(words[3], object, words[2], exact, parents, parentCount, actionSlice);
    } else if (words.size() == 3 && isPrefixOf(kind, "register")) {
      status = cfgyaccRegisterAction(words[2], DefaultParserAction, interp);
      if (status == 0) {
        // The action table outlives interpreters; drop this one's actions when it goes.
        Tcl_DontCallWhenDeleted(interp, interpGone, interp);
        Tcl_CallWhenDeleted(interp, interpGone, interp);
      }
    }
  }
  if (status != 0) return fail(interp, "import ", kind, " failed");
  Tcl_ResetResult(interp);
  return TCL_OK;
}

}  // namespace

extern "C" int Toeio_InitInternal(Tcl_Interp *interp) {
  toeInterpCommandTable(interp);
  telvi::createCommands(interp, {
                                    {"import", cmdImport},
                                    {"export", cmdExport},
                                });
  return TCL_OK;
}
