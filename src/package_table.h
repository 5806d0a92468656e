// The package table's row and the generic <Word>_Init behind every package entry point.
#ifndef TELVI_PACKAGE_TABLE_H
#define TELVI_PACKAGE_TABLE_H

#include <tcl.h>

#include <array>

namespace telvi {

struct Package {
  int place;  // position in the full initialisation order
  const char *name;
  const char *word;
  std::array<const char *, 3> required;
  Tcl_PackageInitProc *initInternal;
  Tcl_PackageInitProc *init;
};

// Requires the package's packages at 1.0 (a missing one fails before anything is registered),
// provides the package at 1.0, then registers its commands.
int initPackage(Tcl_Interp *interp, const Package &package);

}  // namespace telvi

#endif
