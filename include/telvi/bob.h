/*
 * The bob store: typed binary records ("bobs") named towards scripts by identifiers bob1, bob2, ...
 * A bob's type is a registered data type; any field, nested field or array element is reached by a
 * key path and read or written as text through the field's data type.
 *
 * Key path: tokens separated by "."; a full key starts with the bob ID. A token may end in an index
 * in parentheses, "(n)" (empty parentheses mean 0), selecting an element of an array, and the last
 * token may end in "#", which asks for the element count of an array.
 *
 * A field whose table entry has BOB_FIELD_ARRAY in its flags word (dataField.reserved1) holds a
 * dataArray pointer; the array is created with the initial count in dataField.reserved2 when the
 * record is created.
 *
 * Store failures print a line "binobj(<line>): <message>" on standard output.
 */
#ifndef TELVI_BOB_H
#define TELVI_BOB_H

#include <stdint.h>

#include "api.h"
#include "datatype.h"
#include "snmp.h"

TELVI_BEGIN_DECLS

#define BOB_FIELD_ARRAY 1

/* Bob flags. */
enum { BOB_ARRAY = 1, BOB_EXTERNAL = 2 };

/* One bob, owned by the store. */
typedef struct bobEntry {
  dataType *type;
  int flags;
  int count;  /* initial element count of an array bob */
  void *data; /* the record, the dataArray of an array bob, or an external bob's foreign pointer */
} bobEntry;

/* A key and its text: the value to set, or the value read (malloc'ed, freed by the caller). */
typedef struct bobKeyValue {
  const char *key;
  char *value;
} bobKeyValue;

/* Flags of a key token. */
enum { BOB_TOKEN_INDEX = 1, BOB_TOKEN_COUNT = 2 };

/*
 * Creates a bob of the named type: count >= 0 an array of count elements, -1 a single record, -2 an
 * external bob whose data pointer the caller sets in *entry. The pairs (relative keys; a null or
 * empty key is the whole bob) are set in order; if one fails the bob is destroyed. Returns the ID
 * (owned by the store, valid until the bob is destroyed) or null.
 */
TELVI_API const char *bobIdCreate(const char *typeName, bobEntry **entry, int count, bobKeyValue *pairs,
                                  int pairCount);
TELVI_API int bobIdDestroy(const char *id);
TELVI_API bobEntry *bobIdLookup(const char *id);
/* The record, or element index of an array bob (index -1 means 0); null when there is none. */
TELVI_API void *bobIdLookupData(bobEntry *entry, int index);
/* The element count of an array bob, -1 for a single record. */
TELVI_API int bobIdLookupSize(bobEntry *entry);
/* Reads or writes each key of the bob ID (which may carry an index) in order. 0, or -1 with *count
 * set to the index of the failing pair; earlier pairs stay applied (and their texts allocated). */
TELVI_API int bobIdGet(const char *id, bobKeyValue *pairs, int *count);
TELVI_API int bobIdSet(const char *id, bobKeyValue *pairs, int *count);
/* Why the last bobIdCreate, bobIdGet or bobIdSet that failed did so ("value \"x\" refused for
 * varcount: ...", "pdu has no field \"nope\"", ...): a text owned by the store, valid until the next
 * of those calls; empty when there is nothing to add. */
TELVI_API const char *bobLastFailure(void);
/* The key tree of the bob into buffer (at most size bytes with the NUL); 0 or -1. */
TELVI_API int bobIdLookupKeys(const char *id, char *buffer, int size);
TELVI_API void *bobListGetIndex(bobEntry *entry, int index);
TELVI_API int bobListDeleteIndex(bobEntry *entry, int index);
/* Deletes the elements at the positions (ascending, each in range) of an array bob in one pass; 0, or
 * -1 with nothing deleted. */
TELVI_API int bobListDeleteIndexes(bobEntry *entry, const int *positions, int count);
/*
 * The next token of a key: its name (not NUL-terminated) and length, index and flags. Returns where
 * the next token starts (the end of the key when this is the last), or null for a malformed token.
 */
TELVI_API const char *bobKeyNextToken(const char *key, const char **name, int *nameLength, int *index,
                                      int *flags);

/* Converters from one bob type to another, keyed "<source>.<target>". The procedure gets the bob ID
 * (or the text given instead of a bob) and returns a malloc'ed text, usually a new bob ID, or null. */
typedef char *(*bobConverterProc)(const char *id);
TELVI_API int bobRegisterConverter(bobConverterProc proc, const char *source, const char *target);
TELVI_API bobConverterProc bobFindConverter(const char *source, const char *target);

/* ---- the SNMP bob types ---- */

/* "Asn1Value": a value with its display hint. An octet string's octets belong to the value
 * (malloc'ed, NUL-terminated). */
typedef struct BobAsn1Value {
  Asn1Value value;
  cvtString hint;
} BobAsn1Value;

typedef struct BobVarBind {
  Oid oid;
  BobAsn1Value val;
} BobVarBind;

/* "netbuf": a datagram's bytes in buf (a "buffer": octet, string, len) and its peer. */
typedef struct BobNetbuf {
  cvtString buf;
  TInfo info;
} BobNetbuf;

/* "pdu": the engine's record of a message plus the PDU and what scripts keep with it. */
typedef struct BobPdu {
  PduData pdu;
  int32_t stateref;
  cvtString groups;
  int32_t type;
  int32_t request_id;
  int32_t error_status;
  int32_t error_index;
  Oid trapoid;
  Oid enterprise;
  uint32_t agent;
  int32_t generic;
  int32_t specific;
  uint32_t timestamp;
  int32_t varcount;
  dataArray *varbind; /* of BobVarBind */
  int32_t walk_flag, verbose_flag, retain_flag, enum_flag, max_retries, retries, timeout;
  cvtString user_data;
  /* Not fields of the type: the PDU tag as received (scripts may change "type" to answer), and the
   * report binding that came with a received message or goes with a Report to be sent. */
  int32_t received;
  VarBind report;
} BobPdu;

/* The bindings of a "pdu" that a reader may use: "varcount" bounded by 0 and the number of elements
 * "varbind" really has. Writing a varcount beyond the array is refused, but the array may shrink
 * afterwards (a new varbind list), so every C reader counts with this, never with varcount. */
TELVI_API int bobPduBindingCount(const BobPdu *pdu);

/* Registers "netbuf", "TInfo", "oid", "Asn1Value", "VarBind" and "pdu" (and the types their fields
 * use); later calls do nothing. */
TELVI_API void bobRegisterSnmpTypes(void);

TELVI_END_DECLS

#endif
