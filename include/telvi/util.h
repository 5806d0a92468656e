/*
 * Small utilities for the agent's modules: singly linked lists of opaque items, heap strings, and the
 * printable escape form of byte strings ("<0x0A>" for a byte, other characters as themselves).
 */
#ifndef TELVI_UTIL_H
#define TELVI_UTIL_H

#include "api.h"

TELVI_BEGIN_DECLS

/* A list node; a list is named by its first node, the empty list is null. */
struct link {
  void *item;
  struct link *next;
};

TELVI_API struct link *linkCreate(void *item, struct link *next);
TELVI_API void linkInsert(struct link *node, struct link *newNode);
TELVI_API struct link *linkEnd(struct link *list);
TELVI_API struct link *linkReverse(struct link *list);
TELVI_API void linkDestroy(struct link *list, void (*freeItem)(void *item));

/* Heap strings, freed with strDestroy. */
TELVI_API char *strCreate(const char *text);
TELVI_API void strDestroy(char **string);
TELVI_API char *strAppend(const char *first, const char *second);
/* Cuts text into tokens in place (strtok rules); returns a heap array of pointers into text, which
 * the caller frees with free(). */
TELVI_API char **strToken(char *text, const char *delimiters, int *count);

/* Byte escapes. */
TELVI_API int scanStringToBinary(const char *text, unsigned char *bytes, int *length);
TELVI_API int scanBinaryToString(const unsigned char *bytes, int length, char *text);
TELVI_API int scanBinaryToken(const unsigned char *buffer, int length, const unsigned char *token,
                              int tokenLength);

TELVI_END_DECLS

#endif
