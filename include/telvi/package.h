/*
 * The Tcl packages of telvi and their entry points.
 *
 * TELVI_PACKAGES lists every package that is built, in the order in which Telvi_Init initialises
 * them; the number is the package's place in the full order of 38 packages, so rows of packages not
 * built yet are simply absent. Each row: place, package name, entry word, required packages.
 * Rows written with X are packages whose <Word>_InitInternal takes the interpreter; rows written with
 * C are the interface-class packages, whose <Word>_InitInternal(void) only registers a class with
 * the interface registry (they have no commands). A user that treats both alike passes one macro
 * twice; the package table wraps the C rows in an adapter that ignores the interpreter.
 * The same list drives Telvi_Init, every <Word>_Init and <Word>_InitInternal, the static package
 * registrations, the build's per-package file names and pkgIndex.tcl.
 */
#ifndef TELVI_PACKAGE_H
#define TELVI_PACKAGE_H

#include <tcl.h>
#include "api.h"

#define TELVI_PACKAGES(X, C) \
  X(1, "source", Source) \
  X(2, "pkg", Pkg) \
  X(3, "Eventloop", Event) \
  X(4, "id", Id) \
  X(5, "toe", Toe, "id") \
  X(6, "interface", Interface) \
  C(7, "intfile", Intfile, "interface") \
  C(8, "intpipe", Intpipe, "interface") \
  C(9, "intinet", Intinet, "interface") \
  C(10, "intunix", Intunix, "interface") \
  C(11, "intclog", Intclog, "interface") \
  C(12, "intsyslog", Intsyslog, "interface") \
  X(13, "intraface", Intraface, "interface") \
  X(14, "toeio", Toeio, "toe") \
  X(15, "general", General) \
  X(16, "ddl", Ddl) \
  X(17, "service", Service) \
  X(18, "expr64", Expr64) \
  X(19, "ssi", Ssi) \
  X(20, "unix", Unix) \
  X(21, "mibman", Mibman) \
  X(22, "periodic", Periodic) \
  X(23, "after", After) \
  X(24, "bob", Bob, "id") \
  X(25, "data", Data) \
  X(26, "status", Status, "data", "service") \
  X(27, "lof", Lof) \
  X(28, "macro", Macro) \
  X(29, "nodemacro", Nodemacro, "data") \
  X(30, "rule", Rule) \
  X(31, "alarm", Alarm, "rule") \
  X(32, "binterface", Binterface, "interface") \
  X(33, "snmpv2", Snmpv2, "bob", "service") \
  X(34, "table", Table) \
  X(35, "icmp", Icmp) \
  X(36, "mibnode", Mibnode) \
  X(37, "module", Module) \
  X(38, "acl", Acl)

TELVI_BEGIN_DECLS

/* Registers every built package's commands in the fixed order; always TCL_OK. */
TELVI_API int Telvi_Init(Tcl_Interp *interp);

#define TELVI_DECLARE_ENTRIES(place, name, Word, ...) \
  TELVI_API int Word##_Init(Tcl_Interp *interp); \
  TELVI_API int Word##_InitInternal(Tcl_Interp *interp);
#define TELVI_DECLARE_CLASS_ENTRIES(place, name, Word, ...) \
  TELVI_API int Word##_Init(Tcl_Interp *interp); \
  TELVI_API int Word##_InitInternal(void);
TELVI_PACKAGES(TELVI_DECLARE_ENTRIES, TELVI_DECLARE_CLASS_ENTRIES)
#undef TELVI_DECLARE_ENTRIES
#undef TELVI_DECLARE_CLASS_ENTRIES

/* Tcl's load looks for <Name>_Init with the package name capitalised; where that is not the entry
 * word, the library exports that name too. */
TELVI_API int Eventloop_Init(Tcl_Interp *interp);

TELVI_END_DECLS

#endif
