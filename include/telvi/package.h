/*
 * The Tcl packages of telvi and their entry points.
 *
 * TELVI_PACKAGES lists every package that is built, in the order in which Telvi_Init initialises
 * them; the number is the package's place in the full order of 38 packages, so rows of packages not
 * built yet are simply absent. Each row: place, package name, entry word, required packages.
 * The same list drives Telvi_Init, every <Word>_Init and <Word>_InitInternal, the static package
 * registrations, the build's per-package file names and pkgIndex.tcl.
 */
#ifndef TELVI_PACKAGE_H
#define TELVI_PACKAGE_H

#include <tcl.h>
#include "api.h"

#define TELVI_PACKAGES(X) \
  X(1, "source", Source) \
  X(2, "pkg", Pkg) \
  X(4, "id", Id) \
  X(5, "toe", Toe, "id") \
  X(19, "ssi", Ssi) \
  X(35, "icmp", Icmp)

TELVI_BEGIN_DECLS

/* Registers every built package's commands in the fixed order; always TCL_OK. */
TELVI_API int Telvi_Init(Tcl_Interp *interp);

#define TELVI_DECLARE_ENTRIES(place, name, Word, ...) \
  TELVI_API int Word##_Init(Tcl_Interp *interp); \
  TELVI_API int Word##_InitInternal(Tcl_Interp *interp);
TELVI_PACKAGES(TELVI_DECLARE_ENTRIES)
#undef TELVI_DECLARE_ENTRIES

TELVI_END_DECLS

#endif
