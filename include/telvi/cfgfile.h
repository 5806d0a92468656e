/*
 * Configuration object files: a text form of object trees and their dictionary entries.
 *
 *     # a comment
 *     community = public                  # slice "value", key "community"
 *     trap:host = "manager.example.com"   # slice "trap"
 *     interfaces = {                      # the child "interfaces", created when missing
 *         [ inherit classes.interface ]
 *         eth0.speed = 1000               # key path: the child "eth0", key "speed"
 *     }
 *     [ load more.cfg -slice value ]
 *
 * The reader parses such text from a file, any interface address or a string into an object;
 * bracketed actions run handlers registered by name ("load", "inherit" and "parse_error" are
 * built in; scripts register their own). Errors are reported through the "parse_error" action with
 * file, line, message and token, and end the parse, which then undoes what it did: objects it
 * created are destroyed, keys get back their old values, inherits lose the parents they added; a
 * file read by "load" belongs to the parse that loads it. What handlers did otherwise stays.
 *
 * The writer produces the same syntax from an object and its subtree, so that reading the output
 * back gives the same entries and children.
 *
 * Not thread-safe: used from the agent's one thread. Functions return 0 on success and -1 on
 * failure unless noted.
 */
#ifndef TELVI_CFGFILE_H
#define TELVI_CFGFILE_H

#include "api.h"
#include "toe.h"

TELVI_BEGIN_DECLS

/* Token codes of the scanner. */
#define CFG_KEYLIST 257
#define CFG_VALUE 258
#define CFG_ACTION 259
#define CFG_SEMI 260

/* The longest chain of inputs loading each other. */
#define CFG_MAX_INPUT_DEPTH 50

/* Blocks nest as deep as the reader's stack of 150 entries allows: about 72 levels (two entries
 * per open block and the line being read). The writer opens blocks at most this deep; an object
 * below is written as a block named by its path from there ("a.b.c = {"), which takes one level,
 * so whatever the writer writes reads back. */
#define CFG_BLOCK_NESTING 64

/* ---- reading ---- */

/* An action handler: called with the current object of the parse and the words of the action
 * (the first is the action's name). When result is not null the caller wants a value; the handler
 * may store a malloc'ed string there. Returns 0 for success. */
typedef int cfgActionProc(toe *object, int argc, char **argv, void *clientData, char **result);

TELVI_API int cfgfileParseFile(const char *file, toe *object);
/* slice: the slice of keys written without one (null: "value"); exact: objects must exist instead of
 * being created; parents: what every created object inherits; actionSlice: when not null, every
 * action is also recorded in the current object, in the slice actionSlice + "_pre" (before the
 * block's first key) or actionSlice + "_post", key "key" + a process-wide counter. */
TELVI_API int cfgfileParseFileSlice(const char *file, toe *object, const char *slice, int exact, toe **parents,
                                    int parentCount, const char *actionSlice);
TELVI_API int cfgfileParseString(const char *string, toe *object);
TELVI_API int cfgfileParseStringSlice(const char *string, toe *object, const char *slice, int exact,
                                      toe **parents, int parentCount);
/* The file or interface address opened for reading: an interface descriptor, or -1. */
TELVI_API int cfgfileOpenFile(const char *name);

/* Enters or replaces the action name. */
TELVI_API int cfgyaccRegisterAction(const char *name, cfgActionProc *handler, void *clientData);
/* Trace output on standard error: on while non-zero. */
TELVI_API int cfgyaccDebugOn(void);
TELVI_API void cfgyaccToggleDebug(int on);

/* Input contexts: exactly one of file and string. The context is read until it is popped. */
struct cfgLexContext;
TELVI_API struct cfgLexContext *cfglexPushContext(const char *file, const char *string);
TELVI_API void cfglexPopContext(struct cfgLexContext *context);
/* The current input's name ("" when none), line (-1 when none) and the text of the last token. */
TELVI_API const char *cfglexFile(void);
TELVI_API int cfglexLineno(void);
TELVI_API const char *cfglexToken(void);

/* ---- writing ---- */

/* Export flags. */
#define CFG_EXPORT_MINIMAL 1 /* only children whose subtree holds something to write */
#define CFG_EXPORT_DOT 2     /* flat: one line per entry with its object path, no braces */
#define CFG_EXPORT_PARENTS 4 /* an inherit action for objects with parents */
#define CFG_EXPORT_INDENT 8  /* nested lines indented with tabs */

/* Called with every piece of output (text is never null). */
typedef int cfgWriteProc(void *handle, const char *text);

/* Writes object at depth (0 for the exported object). slice: the primary slice, whose keys are
 * written without a slice name; slices/sliceCount: the slices to write (with neither a primary
 * slice nor a count, every slice of each object). prune*: children whose inherited pruneSlice
 * pruneKey value is pruneValue are left out with their subtrees. actionBase: slices actionBase +
 * "_pre"/"_post" are written back as actions. filterSet: one of the built-in key filters. */
TELVI_API int cfgfileWrite(cfgWriteProc *write, void *handle, int depth, toe *object, const char *slice,
                           const char **slices, int sliceCount, int flags, const char *pruneSlice,
                           const char *pruneKey, const char *pruneValue, const char *actionBase,
                           const char *filterSet);
TELVI_API int cfgfileWriteToFile(const char *target, toe *object, const char *slice, const char **slices,
                                 int sliceCount, int flags, const char *pruneSlice, const char *pruneKey,
                                 const char *pruneValue);
TELVI_API int cfgfileWriteToFileExport(const char *target, toe *object, const char *slice, const char **slices,
                                       int sliceCount, int flags, const char *pruneSlice,
                                       const char *pruneKey, const char *pruneValue, const char *actionBase,
                                       const char *filterSet);
/* The output as a malloc'ed string, or null. */
TELVI_API char *cfgfileWriteToString(toe *object, const char *slice, const char **slices, int sliceCount,
                                     int flags, const char *pruneSlice, const char *pruneKey,
                                     const char *pruneValue, const char *actionBase, const char *filterSet);
/* Non-zero when the subtree holds a key in the slices; marks the objects a minimal export writes. */
TELVI_API int cfgfileCheckMinimalExport(toe *object, const char *slice, const char **slices, int sliceCount,
                                        const char *pruneSlice, const char *pruneKey, const char *pruneValue);
/* A malloc'ed copy of the value's string with a backslash before every double quote and every
 * backslash; null when the key has no string. */
TELVI_API char *cfgfileLookupString(toe *object, int mode, const char *slice, const char *key);

TELVI_END_DECLS

#endif
