/*
 * 64-bit expressions: Tcl's expression language with signed 64-bit integers. Each function evaluates
 * the expression like its Tcl_Expr* namesake; on error it returns TCL_ERROR with the message in the
 * interpreter result (and an errorCode such as ARITH DIVZERO or ARITH IOVERFLOW).
 */
#ifndef TELVI_EXPR64_H
#define TELVI_EXPR64_H

#include <tcl.h>

#include "api.h"

TELVI_BEGIN_DECLS

TELVI_API int Tcl_ExprLong64(Tcl_Interp *interp, const char *expression, long long *result);
TELVI_API int Tcl_ExprDouble64(Tcl_Interp *interp, const char *expression, double *result);
TELVI_API int Tcl_ExprBoolean64(Tcl_Interp *interp, const char *expression, int *result);
/* Leaves the value's text as the interpreter result. */
TELVI_API int Tcl_ExprString64(Tcl_Interp *interp, const char *expression);

/* The integer reading of expression operands: optional blanks, sign, then a decimal, octal (0) or
 * hexadecimal (0x) number read as unsigned 64 bits (a '-' negates), optional trailing blanks.
 * 0 and the value; -1 for text that is no integer; -2 for one that does not fit in 64 bits. */
TELVI_API int expr64ParseInteger(const char *text, long long *value);

TELVI_END_DECLS

#endif
