/*
 * The BER codec of the SNMP engine: the subset of ASN.1 Basic Encoding Rules that SNMP needs
 * (one-octet tags, definite lengths of at most four length octets, 32- and 64-bit integers, octet
 * strings, NULL-like values, object identifiers, SEQUENCE-like structures).
 *
 * Everything works in place on the caller's buffer through an Asn1Cursor and nothing allocates.
 * Errors are sticky: once cursor->error is non-zero every further operation on that cursor does
 * nothing and returns its failure value, so a caller runs a whole sequence of steps and tests the
 * error once. No operation reads or writes a byte outside [cur, end) of the cursor.
 */
#ifndef TELVI_ASN1_H
#define TELVI_ASN1_H

#include <stdint.h>
#include "api.h"

TELVI_BEGIN_DECLS

/* Sticky error codes of a cursor. */
enum {
  ASN1_OK = 0,
  ASN1_ERR_TYPE = 1,      /* value type not supported */
  ASN1_ERR_LENGTH = 2,    /* bad length encoding */
  ASN1_ERR_VALUE = 3,     /* bad value */
  ASN1_ERR_SPACE = 4,     /* buffer exhausted */
  ASN1_ERR_TAG = 6,       /* unexpected tag */
  ASN1_ERR_STRUCTURE = 7  /* structure mismatch */
};

/* Tags. */
enum {
  ASN1_TAG_INTEGER = 0x02,
  ASN1_TAG_OCTET_STRING = 0x04,
  ASN1_TAG_NULL = 0x05,
  ASN1_TAG_OBJECT_ID = 0x06,
  ASN1_TAG_SEQUENCE = 0x30,
  ASN1_TAG_IPADDRESS = 0x40,
  ASN1_TAG_COUNTER32 = 0x41,
  ASN1_TAG_UNSIGNED32 = 0x42, /* also Gauge32 */
  ASN1_TAG_TIMETICKS = 0x43,
  ASN1_TAG_COUNTER64 = 0x46,
  ASN1_TAG_NOSUCHOBJECT = 0x80,
  ASN1_TAG_NOSUCHINSTANCE = 0x81,
  ASN1_TAG_ENDOFMIBVIEW = 0x82
};

#define ASN1OidMultiplier 40
#define ASN1_IPADDRESS_SIZE 4
#define ASN1_MAX_ARCS 128
/* The size answer for a value or OID that cannot be encoded. */
#define ASN1_BAD_SIZE 0x80000000u
/* The length that asks encodeAsn1Struct for the largest length that fits (patched later). */
#define ASN1_OPEN_LENGTH 0x7fffffffu
/* Room dumpAsn1 needs in its text buffer. */
#define ASN1_DUMP_SIZE 160

/* One message being built or parsed; lives in the caller's frame. */
typedef struct Asn1Cursor {
  unsigned char *base;   /* first byte of the buffer (only for dumpAsn1's offsets) */
  unsigned char *end;    /* one past the last usable byte; narrowed inside a structure */
  unsigned char *cur;    /* next byte to read or write */
  unsigned char *header; /* start of the last header written or read */
  uint32_t length;       /* content length of that header (or of the last appended block) */
  int32_t tag;           /* its tag (on a mismatch: the tag that was expected) */
  int32_t error;         /* sticky error code */
} Asn1Cursor;

/* An object identifier: word 0 the number of arcs (at most 128), words 1..128 the arcs. */
typedef uint32_t Oid[ASN1_MAX_ARCS + 1];

/* A 64-bit value in two halves. */
typedef struct Asn1Int64 {
  uint32_t high;
  uint32_t low;
} Asn1Int64;

/*
 * The value of a variable binding. Octet strings (and the raw contents of constructed tags) point
 * into a buffer that the value does not own.
 */
typedef struct Asn1Value {
  int32_t tag;
  union {
    int32_t integer;  /* Integer32 */
    uint32_t unsigned32; /* IpAddress (first octet most significant), Counter32, Unsigned32, TimeTicks */
    struct {
      unsigned char *data;
      uint32_t length;
    } octets;         /* OCTET STRING, constructed tags */
    Asn1Int64 counter64;
    Oid oid;          /* OBJECT IDENTIFIER */
  } u;
} Asn1Value;

/* Sets a cursor over [buffer, buffer + size). */
TELVI_API void initAsn1Cursor(Asn1Cursor *cursor, unsigned char *buffer, uint32_t size);

/* Raw bytes and big-endian words. */
TELVI_API unsigned char *appendAsn1(Asn1Cursor *cursor, const void *data, uint32_t length);
TELVI_API int sizeofAsn1Word(uint32_t value);
TELVI_API unsigned char *encodeAsn1Word(unsigned char *destination, int count, uint32_t value);
TELVI_API uint32_t decodeAsn1Word(const unsigned char *source, int count);

/* Headers and structures. */
TELVI_API uint32_t sizeofAsn1Data(uint32_t total);
TELVI_API uint32_t sizeofAsn1Header(uint32_t length);
TELVI_API unsigned char *encodeAsn1Header(Asn1Cursor *cursor, int tag, uint32_t length);
TELVI_API unsigned char *updateAsn1Header(Asn1Cursor *cursor, unsigned char *header);
TELVI_API int decodeAsn1Header(Asn1Cursor *cursor, int tag);
/* With ASN1_OPEN_LENGTH the length is patched by updateAsn1Header; pass no saved limit then. */
TELVI_API unsigned char *encodeAsn1Struct(Asn1Cursor *cursor, int tag, uint32_t length,
                                          unsigned char **saved);
TELVI_API int decodeAsn1Struct(Asn1Cursor *cursor, int tag, unsigned char **saved);
TELVI_API unsigned char *frameAsn1Struct(Asn1Cursor *cursor, unsigned char *saved);

/* Octet strings: data may be null to reserve the contents for the caller. */
TELVI_API unsigned char *encodeAsn1Octets(Asn1Cursor *cursor, int tag, const void *data, uint32_t length);
TELVI_API unsigned char *decodeAsn1Octets(Asn1Cursor *cursor, int tag);

/* 32-bit integers (INTEGER, IpAddress, Counter32, Unsigned32, TimeTicks). */
TELVI_API unsigned char *encodeAsn1Int32(Asn1Cursor *cursor, int tag, int32_t value);
TELVI_API int32_t decodeAsn1Int32(Asn1Cursor *cursor, int tag);
TELVI_API uint32_t sizeofAsn1Int32Data(int tag, int32_t value);
TELVI_API unsigned char *encodeAsn1Int32Data(unsigned char *destination, uint32_t count, int32_t value);
TELVI_API int32_t decodeAsn1Int32Data(const unsigned char *source, uint32_t count,
                                      const unsigned char **next);

/* Counter64. */
TELVI_API unsigned char *encodeAsn1Int64(Asn1Cursor *cursor, int tag, Asn1Int64 value);
TELVI_API Asn1Int64 decodeAsn1Int64(Asn1Cursor *cursor, int tag);
TELVI_API uint32_t sizeofAsn1Int64Data(Asn1Int64 value);
TELVI_API unsigned char *encodeAsn1Int64Data(unsigned char *destination, uint32_t count, Asn1Int64 value);
TELVI_API Asn1Int64 decodeAsn1Int64Data(const unsigned char *source, uint32_t count,
                                        const unsigned char **next);

/* Object identifiers. */
TELVI_API uint32_t sizeofAsn1Oid(const uint32_t *oid);
TELVI_API unsigned char *encodeAsn1Oid(Asn1Cursor *cursor, const uint32_t *oid);
TELVI_API uint32_t *decodeAsn1Oid(Asn1Cursor *cursor, uint32_t *oid);
TELVI_API uint32_t sizeofAsn1OidData(const uint32_t *oid);
/* Writes sizeofAsn1OidData(oid) bytes; the caller has checked the room. */
TELVI_API unsigned char *encodeAsn1OidData(unsigned char *destination, const uint32_t *oid);
/* Decodes length bytes of contents at data (inside the cursor's buffer); sets the cursor's error. */
TELVI_API uint32_t *decodeAsn1OidData(Asn1Cursor *cursor, const unsigned char *data, uint32_t length,
                                      uint32_t *oid);
TELVI_API int sizeofAsn1Subid(uint32_t value);
TELVI_API unsigned char *encodeAsn1Subid(unsigned char *destination, uint32_t value);
/* 0xFFFFFFFF and a null *next on failure. */
TELVI_API uint32_t decodeAsn1Subid(const unsigned char *source, const unsigned char *limit,
                                   const unsigned char **next);

/* Values of variable bindings. */
TELVI_API uint32_t sizeofAsn1Value(const Asn1Value *value);
TELVI_API unsigned char *encodeAsn1Value(Asn1Cursor *cursor, const Asn1Value *value);
TELVI_API unsigned char *decodeAsn1Value(Asn1Cursor *cursor, Asn1Value *value);

/* One-line trace of the cursor into text (ASN1_DUMP_SIZE bytes); returns text. */
TELVI_API char *dumpAsn1(const Asn1Cursor *cursor, char *text);

/* OID arithmetic. */
TELVI_API uint32_t *oidcat(uint32_t *oid, const uint32_t *arcs, uint32_t count);
TELVI_API int oidcmp(const uint32_t *a, const uint32_t *b);
TELVI_API int oidncmp(const uint32_t *a, const uint32_t *b, uint32_t n);
/* 1 when the OID can be encoded: 2..128 arcs, first arc 0..2, second below 40 under 0 and 1. */
TELVI_API int oidIsValid(const uint32_t *oid);

TELVI_END_DECLS

#endif
