// Package "Eventloop": `eventloop`, the interpreter's event loop driven from a script.
#include <tcl.h>

#include <cstring>

#include "pkg/command.h"
#include "telvi/package.h"

namespace {

// Runs Tcl_DoOneEvent until it finds nothing to do or the limit (<= 0: none) is reached; the
// result is the count of events processed.
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
  int count = 0;
  while ((limit <= 0 || count < limit) && Tcl_DoOneEvent(flags) != 0) ++count;
  Tcl_SetObjResult(interp, Tcl_NewIntObj(count));
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
