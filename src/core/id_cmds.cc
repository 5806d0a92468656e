// Package "id": scripts' access to the identifier registry.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "pkg/command.h"
#include "telvi/id.h"
#include "telvi/package.h"

namespace {

int cmdIdNext(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc > 2) return telvi::usage(interp, argv[0], "?prefix?");
  char *id = idNext(argc == 2 ? argv[1] : "id");
  if (id == nullptr) return TCL_ERROR;
  Tcl_SetResult(interp, id, TCL_VOLATILE);
  std::free(id);
  return TCL_OK;
}

int cmdIdExists(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return telvi::usage(interp, argv[0], "<id>");
  const char *word = argv[1];
  size_t digit = std::strcspn(word, "0123456789");
  bool exists = false;
  if (word[digit] != '\0') {
    std::string prefix(word, digit);
    void *pointer;
    exists = idLookup(prefix.c_str(), word, &pointer) == 0;
  }
  Tcl_SetResult(interp, const_cast<char *>(exists ? "1" : "0"), TCL_STATIC);
  return TCL_OK;
}

int cmdIdCount(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return telvi::usage(interp, argv[0], "prefix");
  Tcl_SetObjResult(interp, Tcl_NewIntObj(idCount(argv[1])));
  return TCL_OK;
}

int cmdIdList(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return telvi::usage(interp, argv[0], "prefix");
  idForEach(
      argv[1],
      [](const char *id, void *data) { Tcl_AppendElement(static_cast<Tcl_Interp *>(data), id); },
      interp);
  return TCL_OK;
}

}  // namespace

extern "C" int Id_InitInternal(Tcl_Interp *interp) {
  idInit();
  telvi::createCommands(interp, {
                                    {"idnext", cmdIdNext},
                                    {"idexists", cmdIdExists},
                                    {"idcount", cmdIdCount},
                                    {"idlist", cmdIdList},
                                });
  return TCL_OK;
}
