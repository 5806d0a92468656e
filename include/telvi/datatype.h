/*
 * Data types: how a value is held in binary form and how it converts to and from text; the
 * process-wide registry of types by name; string lists, counted strings, hexadecimal text and
 * growable arrays of fixed-size elements.
 *
 * The integer types keep the value ranges of the agent's original 32-bit host: "long" and "ulong"
 * are 32-bit here too. Binaries that hold pointers are sized as pointers.
 */
#ifndef TELVI_DATATYPE_H
#define TELVI_DATATYPE_H

#include <stdint.h>
#include <tcl.h>
#include "api.h"

TELVI_BEGIN_DECLS

struct dataType;

/* A named field of a structured type. Tables end with an entry whose offset is negative. */
typedef struct dataField {
  const char *name;
  struct dataType *type;
  intptr_t offset;
  intptr_t reserved1;
  intptr_t reserved2;
} dataField;

typedef struct dataType {
  const char *name;
  dataField *fields;   /* sorted by name at registration; null for unstructured types */
  int32_t fieldCount;  /* -1 until registered */
  uint32_t size;       /* bytes of the binary form */
  /* Releases what the binary owns, not the binary itself. */
  void (*destroy)(void *binary);
  /* Writes the text of the binary into *string; allocates it with malloc when *string is
   * null. 0 or -1. */
  int (*toString)(void *binary, char **string);
  /* Parses the text into the binary; 0 or -1, the binary unchanged on failure. */
  int (*fromString)(void *binary, const char *string);
} dataType;

/* "StringList" binary: count items in a null-terminated array of heap strings. */
typedef struct stringList {
  int32_t count;
  char **items;
} stringList;

/* "string" and "octet" binary: a heap buffer with a zero byte after length bytes. */
typedef struct cvtString {
  char *buffer;
  uint32_t length;
} cvtString;

/* A growable array of count zero-initialised elements of size bytes each. */
typedef struct dataArray {
  int size;
  int count;
  void *data;
} dataArray;

/* Registry. The built-in types are registered on first use. */
TELVI_API void dataRegisterType(dataType *type);
TELVI_API dataType *dataGetType(const char *name);
TELVI_API Tcl_HashTable *dataTypeGetTypesTable(void);

/* The integer parse shared by "int", "uint", "short" and "char": 0 with the 32-bit word in *value
 * (a text from 2147483648 to 4294967295 gives its unsigned word's bits), or -1 for text that is
 * no number or lies outside -2^31 .. 2^32-1. */
TELVI_API int convertersGetInt(const char *text, int *value);

/* String lists. */
TELVI_API stringList *stringListCreate(void);
TELVI_API void stringListDestroy(stringList *list);
TELVI_API void stringListFree(stringList *list);
TELVI_API int stringListAdd(stringList *list, const char *string);
TELVI_API int stringListAddUnique(stringList *list, const char *string);
TELVI_API int stringListRemove(stringList *list, const char *string);
TELVI_API int stringListRemoveRange(stringList *list, int first, int last);
TELVI_API int stringListCvtStringToStringList(stringList *list, const char *text);

/* Counted strings. */
TELVI_API int cvtStringSet(cvtString *string, const void *bytes, uint32_t length);
TELVI_API int cvtStringAppend(cvtString *string, const void *bytes, uint32_t length);
TELVI_API uint32_t cvtStringGet(const cvtString *string, const char **bytes);

/* Hexadecimal text "0A:FF". BinToHex needs 3 * length + 1 bytes of text (0, or -1 for null
 * arguments). HexToBin needs room for strlen(text) / 2 bytes; it accepts pairs of hexadecimal digits
 * each optionally followed by one ":", and rejects anything else with -1 (length then 0). */
TELVI_API int BinToHex(const unsigned char *bytes, int length, char *text);
TELVI_API int HexToBin(const char *text, unsigned char *bytes, int *length);

/* Data arrays. */
TELVI_API dataArray *dataArrayCreate(int size, int count);
TELVI_API void dataArrayDestroy(dataArray **array);
TELVI_API int dataArrayResize(dataArray *array, int count);
TELVI_API void *dataArrayIndex(dataArray *array, int index, int grow);
TELVI_API int dataArrayRemoveIndex(dataArray *array, int index);
TELVI_API int dataArraySize(const dataArray *array);

TELVI_END_DECLS

#endif
