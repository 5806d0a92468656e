/*
 * Identifier registry: names such as toe17 or lof3 under which objects are handed to scripts.
 * One process-wide table maps identifiers to pointers; "null" is always registered with a null
 * pointer. Numbers are never reused within a prefix.
 */
#ifndef TELVI_ID_H
#define TELVI_ID_H

#include "api.h"

TELVI_BEGIN_DECLS

typedef void (*idForEachProc)(const char *id, void *argument);

/* Creates the tables and registers "null"; later calls do nothing. */
TELVI_API void idInit(void);
/* The next identifier for the prefix (heap copy, freed by the caller); registers nothing. */
TELVI_API char *idNext(const char *prefix);
/* Registers the next identifier of the prefix with the pointer; the string returned belongs to the
 * registry and stays valid until idDestroy. Null on a null prefix. */
TELVI_API const char *idCreate(const char *prefix, void *pointer);
/* 0 and the pointer when id is registered and begins with the prefix (or is "null": null pointer);
 * -1 otherwise, with the pointer set to null when the identifier was not found. */
TELVI_API int idLookup(const char *prefix, const char *id, void **pointer);
/* 1 when the identifier was registered and is now removed, else 0. "null" is never removed. */
TELVI_API int idDestroy(const char *id);
/* Number of registered identifiers made of the prefix directly followed by a digit. */
TELVI_API int idCount(const char *prefix);
/* Calls proc for each such identifier, in table order. The callback may destroy identifiers. */
TELVI_API void idForEach(const char *prefix, idForEachProc proc, void *argument);

TELVI_END_DECLS

#endif
