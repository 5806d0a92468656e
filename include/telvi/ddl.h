/*
 * Diagnostic channels: every message of the library goes through a named channel ("error",
 * "warning", "info", "debug", "trace", "export", or any name) bound to an interface URL or spec.
 *
 *     ddlChannelCreate("error", "file://localhost//var/log/agent.log;flags=w+");
 *     ddlChannelEnable("error");
 *     ddlPrintf("error", "cannot open %s\n", path);
 *
 * A line is written only when its channel exists and is enabled; it starts with the header
 * "%-8s %s %-12s  " (channel, local time in the time-stamp format, application name). The time-stamp
 * format is "%h %d %T" unless DDL_TIMESTAMP_FORMAT or the configuration sets another.
 */
#ifndef TELVI_DDL_H
#define TELVI_DDL_H

#include "api.h"

TELVI_BEGIN_DECLS

struct cfgFile;

#if defined(__GNUC__)
#define TELVI_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TELVI_PRINTF(f, a)
#endif

/* A special channel hands every printed line to its callback too. */
typedef void (*ddlCallback)(const char *line, void *argument);

/* Export type codes: how ddlExport's value word is read and shown. */
enum {
  DDL_EXPORT_STRING = 0,  /* char *, shown in double quotes */
  DDL_EXPORT_INT = 1,     /* the integer held in the word itself */
  DDL_EXPORT_PINT = 2,    /* int * */
  DDL_EXPORT_PLONG = 3,   /* long * */
  DDL_EXPORT_PFLOAT = 5,  /* float *, "%f" */
  DDL_EXPORT_PDOUBLE = 6  /* double *, "%f"; any other code shows the word as "0x%08X" */
};

/* Creates the tables and sets the application name; with a configuration, creates, enables and
 * exports what its block names (see doc/c-api.md). */
TELVI_API void ddlInit(const char *application, struct cfgFile *cfg);

/* 0 also when the channel does not exist or is disabled; -1 when it has no descriptor. */
TELVI_API int ddlPrintf(const char *channel, const char *format, ...) TELVI_PRINTF(2, 3);
TELVI_API int ddlPrint(const char *channel, const char *text);
TELVI_API int ddlRawPrint(const char *channel, const char *text);

TELVI_API int ddlChannelCreate(const char *name, const char *stream);
TELVI_API int ddlChannelCreateSpecial(const char *name, const char *stream, ddlCallback callback);
TELVI_API int ddlChannelDestroy(const char *name);
TELVI_API int ddlChannelEnable(const char *name);
TELVI_API int ddlChannelDisable(const char *name);
TELVI_API int ddlChannelIsEnabled(const char *name);
/* -1 no such channel; 0 a stream that is not a local file; else interfaceValidateFD. */
TELVI_API int ddlChannelValidate(const char *name);
/* Reopens file channels whose file was moved or removed; null or "" checks every channel. */
TELVI_API int ddlChannelRevalidate(const char *name);
TELVI_API int ddlPrintSpecial(const char *name, void *argument, const char *text);
TELVI_API int ddlPrintfSpecial(const char *name, void *argument, const char *format, ...)
    TELVI_PRINTF(3, 4);

/* Exported variables: value is the word of the type code (a pointer, or for DDL_EXPORT_INT the
 * integer itself). A name already exported keeps its record. */
TELVI_API int ddlExport(const char *name, int type, void *value);
TELVI_API int ddlExportGetValue(const char *name, char *buffer, int size);
TELVI_API int ddlExportSetValue(const char *name, const char *text);
TELVI_API int ddlExportPrintf(const char *channel, const char *name);
TELVI_API int ddlUpdate(const char *name);

TELVI_END_DECLS

#endif
