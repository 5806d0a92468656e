/*
 * The SNMP engine as scripts see it: "pdu" bobs to and from encoded PDUs, the converter that turns
 * a "pdu" bob into a datagram, URL octet text, and the request driver that hands each binding of a
 * request to the current object's "request" method.
 */
#ifndef TELVI_SNMPV2_H
#define TELVI_SNMPV2_H

#include <tcl.h>
#include "api.h"
#include "bob.h"

TELVI_BEGIN_DECLS

/* The largest datagram the agent reads or writes (the largest UDP payload over IPv4). */
#define SNMPV2_MAX_MESSAGE 65507

/*
 * Encodes the PDU of the bob into area (capacity, buffer given; length set), with the conversions
 * the bob's version needs (SNMPv1 error statuses and traps, SNMPv2 traps). requestList, when not
 * null, is the received request's encoded binding list (SEQUENCE header included), which an error
 * Response carries back unchanged. Returns the PDU tag written, or -1.
 */
TELVI_API int encodeBobPdu(BobPdu *bob, SnmpArea *area, const unsigned char *requestList,
                           uint32_t requestListLength);
/* Decodes the record's encoded PDU into the bob (whose engine part the caller has filled): header,
 * bindings (octets copied), an SNMPv1 trap shown as an SNMPv2 trap. 0, or SNMP_ERR_PARSE with the
 * reason in the engine's trace text. */
TELVI_API int decodeBobPdu(BobPdu *bob, const PduData *pdu);
/* The "pdu" record behind a bob ID, or null when the ID names no single "pdu" bob. */
TELVI_API BobPdu *snmpPduOf(const char *id);
/* The names the "pdu" bob shows: a PDU type's name for its tag ("GetRequest", ...; null for no
 * PDU type), an error status's value for its name ("noError" 0 ... "inconsistentName" 18; -1 for
 * none). */
TELVI_API const char *snmpPduTypeName(int tag);
TELVI_API int snmpErrorStatusValue(const char *name);
/* The host part of the engine's own transport address (host byte order). */
TELVI_API uint32_t snmpLocalHost(void);
/* The converter "pdu" to "netbuf": a malloc'ed new netbuf bob ID, or null. */
TELVI_API char *bobCvtPduToNetbuf(const char *id);

/* URL octet text: letters, digits and "_+-/:" stand for themselves, every other octet is "?" and
 * two lowercase hexadecimal digits. Encoding writes at most size - 1 characters and a NUL and stops
 * before an octet that would not fit whole; it returns the length written. Decoding returns the
 * number of octets (at most size). */
TELVI_API int encodeUrlOctets(const unsigned char *octets, uint32_t length, char *text, uint32_t size);
TELVI_API int decodeUrlOctets(const char *text, unsigned char *octets, uint32_t size);

/* Compares OID texts arc by arc as unsigned 64-bit numbers: -1, 0 or 1. */
TELVI_API int oidTextCompare(const char *a, const char *b);

/*
 * Triggers the current object's "request" method with the phase for bindings first .. last - 1 of
 * the "pdu" bob, with the service parameters "pdu", "oid" and "index". Sets the bob's error status
 * and index (0 and 0 when every binding answered "noError") and returns the status.
 */
TELVI_API int processRequest(Tcl_Interp *interp, const char *bobId, const char *phase, int first, int last);

TELVI_END_DECLS

#endif
