// Package "Eventloop": `eventloop`, the interpreter's event loop driven from a script.
#include <tcl.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "pkg/command.h"
#include "telvi/package.h"

namespace {

// The result of the words evaluated at global level (empty when they fail), as a new reference.
// Names are qualified so that no method of the current object stands in for Tcl's commands.
Tcl_Obj *evaluate(Tcl_Interp *interp, std::initializer_list<const char *> words) {
  std::vector<Tcl_Obj *> objects;
  for (const char *word : words) {
    objects.push_back(Tcl_NewStringObj(word, -1));
    Tcl_IncrRefCount(objects.back());
  }
  bool ok = Tcl_EvalObjv(interp, static_cast<int>(objects.size()), objects.data(), TCL_EVAL_GLOBAL) == TCL_OK;
  Tcl_Obj *result = ok ? Tcl_GetObjResult(interp) : Tcl_NewObj();
  Tcl_IncrRefCount(result);
  for (Tcl_Obj *object : objects) Tcl_DecrRefCount(object);
  Tcl_ResetResult(interp);
  return result;
}

bool nonEmpty(Tcl_Interp *interp, std::initializer_list<const char *> words) {
  Tcl_Obj *result = evaluate(interp, words);
  bool found = Tcl_GetCharLength(result) > 0;
  Tcl_DecrRefCount(result);
  return found;
}

// Whether command (`after` or `after_secs`) has a timer pending: "command info" lists the ids, and
// "command info id" is {script timer} or {script idle}.
bool timerPending(Tcl_Interp *interp, const char *command) {
  Tcl_CmdInfo info;
  if (Tcl_GetCommandInfo(interp, command, &info) == 0) return false;
  Tcl_Obj *ids = evaluate(interp, {command, "info"});
  int count = 0;
  Tcl_Obj **elements = nullptr;
  bool found = false;
  if (Tcl_ListObjGetElements(nullptr, ids, &count, &elements) == TCL_OK) {
    for (int i = 0; i < count && !found; ++i) {
      Tcl_Obj *entry = evaluate(interp, {command, "info", Tcl_GetString(elements[i])});
      Tcl_Obj *kind = nullptr;
      found = Tcl_ListObjIndex(nullptr, entry, 1, &kind) == TCL_OK && kind != nullptr &&
              std::strcmp(Tcl_GetString(kind), "timer") == 0;
      Tcl_DecrRefCount(entry);
    }
  }
  Tcl_DecrRefCount(ids);
  return found;
}

// Whether an event of the kinds in flags can still come, once none is ready. Tcl 8.6 keeps its
// timers and file handlers to itself and, unlike the loop this command was made for, blocks for
// ever when there are none; so the loop waits only while one of these is there: a Tcl `after`
// timer or an `after_secs` timer of this interpreter, or a channel of this interpreter with a
// readable or writable handler. Idle callbacks never need a wait: one that is pending has been
// run by the look that found nothing ready, or is not wanted.
bool somethingPending(Tcl_Interp *interp, int flags) {
  bool all = (flags & TCL_ALL_EVENTS) == 0;
  if (all || (flags & TCL_TIMER_EVENTS) != 0) {
    if (timerPending(interp, "::after") || timerPending(interp, "::after_secs")) return true;
  }
  if (all || (flags & TCL_FILE_EVENTS) != 0) {
    if (Tcl_GetChannelNamesEx(interp, nullptr) != TCL_OK) return false;
    Tcl_Obj *names = Tcl_GetObjResult(interp);
    Tcl_IncrRefCount(names);
    int count = 0;
    Tcl_Obj **elements = nullptr;
    bool found = false;
    if (Tcl_ListObjGetElements(interp, names, &count, &elements) == TCL_OK) {
      for (int i = 0; i < count && !found; ++i) {
        const char *channel = Tcl_GetString(elements[i]);
        int mode = 0;
        if (Tcl_GetChannel(interp, channel, &mode) == nullptr) continue;
        found = ((mode & TCL_READABLE) != 0 && nonEmpty(interp, {"::chan", "event", channel, "readable"})) ||
                ((mode & TCL_WRITABLE) != 0 && nonEmpty(interp, {"::chan", "event", channel, "writable"}));
      }
    }
    Tcl_DecrRefCount(names);
    Tcl_ResetResult(interp);
    if (found) return true;
  }
  return false;
}

// Runs Tcl_DoOneEvent until it finds nothing to do or the limit (<= 0: none) is reached; the
// result is the count of events processed. When it may wait, it first looks for an event that is
// ready without waiting, and waits only while something can still come (somethingPending).
int cmdEventloop(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  const char *name = argv[0];
  int flags = 0;  // no kind named: Tcl_DoOneEvent takes all kinds
  int limit = 0;
  for (int i = 1; i < argc; ++i) {
    const char *option = argv[i];
    if (std::strcmp(option, "-wait") == 0) {
      int wait;
      if (i + 1 >= argc || Tcl_GetBoolean(interp, argv[i + 1], &wait) != TCL_OK)
        return telvi::fail(interp, name, ": should be -wait true|false");
      if (!wait) flags |= TCL_DONT_WAIT;
      ++i;
    } else if (std::strcmp(option, "-events") == 0) {
      if (i + 1 >= argc || Tcl_GetInt(interp, argv[i + 1], &limit) != TCL_OK)
        return telvi::fail(interp, name, ": should be -events <int>");
      ++i;
    } else if (std::strcmp(option, "-timer") == 0) {
      flags |= TCL_TIMER_EVENTS;
    } else if (std::strcmp(option, "-file") == 0) {
      flags |= TCL_FILE_EVENTS;
    } else if (std::strcmp(option, "-idle") == 0) {
      flags |= TCL_IDLE_EVENTS;
    } else if (std::strcmp(option, "-window") == 0) {
      flags |= TCL_WINDOW_EVENTS;
    } else if (std::strcmp(option, "-all") == 0) {
      flags |= TCL_ALL_EVENTS;
    } else {
      return telvi::fail(interp, name, " -wait true|false -events <int> ?-window? ?-all? ?-idle? ?-file?");
    }
  }
  // The handlers may delete the interpreter.
  Tcl_Preserve(interp);
  int count = 0;
  while (limit <= 0 || count < limit) {
    if (Tcl_DoOneEvent(flags | TCL_DONT_WAIT) != 0) {
      ++count;
      continue;
    }
    if ((flags & TCL_DONT_WAIT) != 0 || Tcl_InterpDeleted(interp) || !somethingPending(interp, flags)) break;
    if (Tcl_DoOneEvent(flags) == 0) break;
    ++count;
  }
  if (!Tcl_InterpDeleted(interp)) Tcl_SetObjResult(interp, Tcl_NewIntObj(count));
  Tcl_Release(interp);
  return TCL_OK;
}

}  // namespace

extern "C" {

int Event_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {{"eventloop", cmdEventloop}});
  return TCL_OK;
}

// Tcl's load derives the entry name from the package name ("Eventloop"), not from the entry word,
// so loading the library file as package Eventloop needs this name too.
TELVI_API int Eventloop_Init(Tcl_Interp *interp) { return Event_Init(interp); }

}  // extern "C"
