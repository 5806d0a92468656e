/*
 * The SNMP engine core: message processing for SNMPv1, SNMPv2c and SNMPv2u (one message model),
 * the security-model table with the community model, the engine record with its clock, counters
 * and sorted tables (users, remote engines, address maps, responder registries), outstanding and
 * received request states, dispatch of received datagrams, OID text and display hints.
 *
 * Single-threaded: the engine record and its lists are process globals without locks.
 * Functions return 0 or a positive value on success and an engine result (SNMP_ERR_*) on failure.
 */
#ifndef TELVI_SNMP_H
#define TELVI_SNMP_H

#include <stddef.h>
#include <stdint.h>
#include "api.h"
#include "asn1.h"

TELVI_BEGIN_DECLS

/* Engine results; snmpErrorToStr gives their texts ("Success", "Failure", ...). */
enum {
  SNMP_SUCCESS = 0,
  SNMP_ERR_FAILURE = -1,
  SNMP_ERR_PARSE = -2,
  SNMP_ERR_VERSION = -3,
  SNMP_ERR_SECURITY_MODEL = -4,
  SNMP_ERR_ENGINE_ID = -5,
  SNMP_ERR_SECURITY_NAME = -6,
  SNMP_ERR_SECURITY_LEVEL = -7,
  SNMP_ERR_ENCRYPTION = -8,
  SNMP_ERR_DECRYPTION = -9,
  SNMP_ERR_AUTHENTICATION = -10,
  SNMP_ERR_TIME_WINDOW = -11,
  SNMP_ERR_PDU_HANDLER = -12,
  SNMP_ERR_PARAMETERS = -13
};

/* Message versions. */
enum { SNMP_V1 = 0, SNMP_V2C = 1, SNMP_V2U = 2 };

/* PDU tags (0xA0 + index) and the flags of the PDU table. */
enum {
  SNMP_PDU_GET = 0xA0,
  SNMP_PDU_GETNEXT = 0xA1,
  SNMP_PDU_RESPONSE = 0xA2,
  SNMP_PDU_SET = 0xA3,
  SNMP_PDU_V1TRAP = 0xA4,
  SNMP_PDU_GETBULK = 0xA5,
  SNMP_PDU_INFORM = 0xA6,
  SNMP_PDU_V2TRAP = 0xA7,
  SNMP_PDU_REPORT = 0xA8
};
enum {
  SNMP_PDU_FLAG_V1 = 1,
  SNMP_PDU_FLAG_V2 = 2,
  SNMP_PDU_FLAG_NOTIFICATION = 4,
  SNMP_PDU_FLAG_CONFIRMED = 8,
  SNMP_PDU_FLAG_RESPONSE = 16
};
/* Flags of the PDU tags 0xA0..0xA8, indexed by tag & 0x1f. */
TELVI_API extern const unsigned char _pduType[9];
/* The flags of a tag, 0 for anything that is not a PDU tag. */
TELVI_API int snmpPduFlags(int tag);

/* Security level bits. */
enum { SNMP_SEC_AUTH = 1, SNMP_SEC_PRIV = 2, SNMP_SEC_REPORTABLE = 4 };

#define SNMPTimeWindow 150
#define SNMPDisabledEngine 0x7fffffff
#define SNMP_MAX_ENGINE_ID 32
#define SNMP_MAX_CONTEXT 40
#define SNMP_TRACE_SIZE 256
/* Room dumpSnmpMsg needs. */
#define SNMP_DUMP_SIZE 256

/* A length octet, up to 255 octets and a NUL; compared over length + 1 bytes. */
typedef struct AdminString {
  unsigned char length;
  unsigned char octets[256];
} AdminString;

/* Sets an admin string; -1 (and nothing changed) when longer than max or 255 octets. */
TELVI_API int setAdminString(AdminString *string, const void *octets, uint32_t length, uint32_t max);
TELVI_API int cmpAdminString(const AdminString *a, const AdminString *b);

/* Peer of a message: transport domain and address. For snmpUDPDomain the address is the IPv4
 * address and the port, 6 octets in network order. */
typedef struct TInfo {
  Oid domain;
  AdminString address;
} TInfo;
TELVI_API extern const uint32_t snmpUDPDomain[];
/* The host as a number whose most significant octet is the first; 0 for other domains. */
TELVI_API uint32_t getSnmpTInfoHost(const TInfo *info);
TELVI_API int setSnmpTInfoHost(TInfo *info, uint32_t host);
TELVI_API uint32_t getSnmpTInfoPort(const TInfo *info);
TELVI_API int setSnmpTInfoPort(TInfo *info, uint32_t port);

/* A datagram: peer, room, bytes used, the bytes. */
typedef struct Netbuf {
  TInfo info;
  uint32_t capacity;
  uint32_t length;
  unsigned char *data;
} Netbuf;

/* The engine part of a message: the peer, where the encoded PDU lies, and the security fields. */
typedef struct PduData {
  TInfo info;
  uint32_t capacity;
  uint32_t length;
  unsigned char *data;
  int32_t version;
  int32_t model;
  int32_t securityLevel;
  union {
    AdminString community;
    AdminString securityName;
  };
  AdminString engineId; /* context engine ID */
  AdminString context;
  int32_t v2;           /* SNMPv2 PDU rules: version != 0 */
} PduData;

typedef struct PduHeader {
  int32_t type;
  int32_t request_id;
  int32_t error_status;
  int32_t error_index;
} PduHeader;

typedef struct TrapHeader {
  int32_t type;
  Oid enterprise;
  uint32_t agent;
  int32_t generic;
  int32_t specific;
  uint32_t timestamp;
} TrapHeader;

typedef struct VarBind {
  Oid oid;
  Asn1Value value;
} VarBind;

/* An area a responder writes its encoded PDU into. */
typedef struct SnmpArea {
  uint32_t capacity;
  uint32_t length;
  unsigned char *buffer;
} SnmpArea;

/* Circular doubly linked lists with a count; every element starts with its link. */
typedef struct SnmpLink {
  struct SnmpLink *next;
  struct SnmpLink *prev;
} SnmpLink;
typedef struct SnmpList {
  SnmpLink head;
  uint32_t count;
} SnmpList;

/* A user of a security model; for the community model the user name is the community. */
typedef struct SnmpUser {
  SnmpLink link;
  AdminString engineId;
  AdminString userName;
  AdminString securityName;
  Oid authProtocol;
  AdminString authKey;
  Oid privProtocol;
  AdminString privKey;
  int32_t rowStatus; /* 1 active ... 6 destroy */
} SnmpUser;

/* A remote engine as learnt from its messages. */
typedef struct SnmpEngine {
  SnmpLink link;
  AdminString engineId;
  uint32_t boots;
  int32_t timeOffset; /* remote time - local engine time */
  uint32_t latestTime;
  uint32_t maxSize;
} SnmpEngine;

/* The agent ID learnt for a transport address. */
typedef struct SnmpAddrMap {
  SnmpLink link;
  AdminString address;
  AdminString agentId;
} SnmpAddrMap;

struct SnmpSlot;
typedef int (*SnmpResponderProc)(struct SnmpSlot *slot, PduData *request, VarBind *report,
                                 void *stateRef, SnmpArea *response, void *clientData);
typedef int (*SnmpAppProc)(int32_t requestId, PduData *pdu, VarBind *report, void *clientData);

typedef struct SnmpSlot {
  void *handle; /* who filled the slot: the slot itself, or the entry for all types */
  SnmpResponderProc callback;
  void *clientData;
} SnmpSlot;

typedef struct SnmpRegistry {
  SnmpLink link;
  AdminString key; /* context engine ID */
  SnmpSlot slots[9];
} SnmpRegistry;

typedef struct SnmpAppContext {
  SnmpAppProc callback;
  void *clientData;
  int32_t lastRequestId; /* 0: slot free */
} SnmpAppContext;

struct SnmpSecurityModel;

/* One outstanding (sent) or received request. */
typedef struct MpmState {
  SnmpLink link;
  struct MpmState *self;
  PduData pdu;
  int32_t v2;
  int32_t requestId;
  PduHeader header;
  int32_t appRequestId;
  const struct SnmpSecurityModel *model;
  void *securityState; /* owned; released by model->release */
  AdminString securityEngineId;
  uint32_t created;   /* engine time */
} MpmState;

/*
 * A security model. generateMsg writes the whole message (SEQUENCE, the version bytes, the
 * security parameters, the PDU of the record) into out and consumes stateRef; it returns the model
 * number or an engine result. processIncomingMsg gets the parameters octets (community or
 * SNMPv2u parameters) and fills the record's security fields; on success *stateRef belongs to the
 * caller (released with release).
 */
typedef struct SnmpSecurityModel {
  const char *name; /* the tag of its trace texts */
  int (*generateMsg)(PduData *pdu, const unsigned char *version, uint32_t versionLength,
                     const AdminString *securityEngineId, void *stateRef, Netbuf *out);
  int (*processIncomingMsg)(PduData *pdu, VarBind *report, const unsigned char *parameters,
                            uint32_t parametersLength, AdminString *securityEngineId,
                            void **stateRef, Netbuf *in);
  void (*release)(void *stateRef);
} SnmpSecurityModel;

/* The community model of SNMPv1 (model 1) and SNMPv2c (model 2). */
TELVI_API extern const SnmpSecurityModel snmpv2csm;
/* The model for (version, model number); number 0 finds the version's first row. */
TELVI_API const SnmpSecurityModel *getSnmpSecurityModel(int version, int number);
/* Puts a model into the table row (version, number); -1 when no such row exists. The row
 * (SNMPv2u, 1) stays empty until the user-based model is registered. */
TELVI_API int setSnmpSecurityModel(int version, int number, const SnmpSecurityModel *model);

/* The user-based model of SNMPv2u (the RFC 1910 parameter layout). */
TELVI_API extern const SnmpSecurityModel snmpv2usec;

#define USECDisabledEngine 0xffffffffu
#define MinSizeofParameters 26
#define MaxSizeofUserName 16
#define MaxSizeofContextName 40
#define USEC_AGENT_ID_SIZE 12
/* The display hint of SNMPv2u parameters in trace texts. */
#define USEC_PARAMETERS_HINT "1d:1x:12x:4x:4x:2x:*1a0a:*1x0x:1a"
TELVI_API extern const AdminString usecNullEngineId;

/* Key functions of an authentication protocol; keys are admin strings. All return 0 or -1. */
typedef struct SnmpKeyFunctions {
  int (*createKey)(AdminString *key, const char *password);
  int (*localizeKey)(AdminString *key, const AdminString *engineId);
  int (*createKeyChange)(const AdminString *oldKey, const AdminString *newKey, AdminString *keyChange,
                         uint32_t randomLength);
  int (*applyKeyChange)(const AdminString *oldKey, AdminString *newKey, const AdminString *keyChange,
                        uint32_t randomLength);
} SnmpKeyFunctions;
TELVI_API extern const SnmpKeyFunctions snmpv3keysmd5;

/*
 * An authentication protocol. The authenticate functions get the key, the digest field (its
 * length and where it lies inside the message) and the whole message; they return 0, -1 when a
 * length is wrong, or SNMP_ERR_AUTHENTICATION when a received digest does not match.
 */
typedef struct SnmpAuthProtocol {
  const uint32_t *oid;
  uint32_t keyLength;
  uint32_t digestLength;
  int (*authenticateOutgoingMsg)(const AdminString *key, uint32_t digestLength, unsigned char *digest,
                                 Netbuf *message);
  int (*authenticateIncomingMsg)(const AdminString *key, uint32_t digestLength, unsigned char *digest,
                                 Netbuf *message);
  const SnmpKeyFunctions *keys;
} SnmpAuthProtocol;
/* Keyed MD5 (usecDigestAuthProtocol) and HMAC-MD5-96 (usmHMACMD5AuthProtocol). */
TELVI_API extern const SnmpAuthProtocol snmpv2udap;
TELVI_API extern const SnmpAuthProtocol snmpv3hmacmd5;
/* The protocol of exactly that OID, or null. */
TELVI_API const SnmpAuthProtocol *snmpAuthProtocol(const uint32_t *oid);

/* A privacy protocol. Encryption is not available: both operations answer
 * SNMP_ERR_SECURITY_LEVEL without touching the data. */
typedef struct SnmpPrivProtocol {
  const uint32_t *oid;
  uint32_t blockSize;
  uint32_t (*sizeofEncryptedData)(uint32_t length);
  int (*encryptData)(const AdminString *key, const unsigned char *in, uint32_t length, unsigned char *out,
                     uint32_t *outLength);
  int (*decryptData)(const AdminString *key, const unsigned char *in, uint32_t length, unsigned char *out,
                     uint32_t *outLength);
} SnmpPrivProtocol;
TELVI_API extern const SnmpPrivProtocol snmpv3des;
TELVI_API const SnmpPrivProtocol *snmpPrivProtocol(const uint32_t *oid);

/* MD5 based primitives; result gets 16 octets. macMD5 is MD5 of the data followed by the key. */
TELVI_API void hmacMD5(const unsigned char *data, uint32_t length, const unsigned char *key,
                       uint32_t keyLength, unsigned char *result);
TELVI_API void macMD5(const unsigned char *data, uint32_t length, const unsigned char *key,
                      uint32_t keyLength, unsigned char *result);
/* count octets from the process's random source (seeded once from the time). */
TELVI_API void snmpRandomOctets(unsigned char *octets, uint32_t count);

/* Statistics counters, in the order of snmpCounterNames. */
typedef struct SnmpCounters {
  uint32_t snmpInPkts, snmpInBadVersions, snmpInASNParseErrs, snmpSilentDrops, snmpProxyDrops,
      snmpInBadCommunityNames, snmpInBadCommunityUses, snmpUnknownSecurityModels, snmpInvalidMsgs,
      snmpUnknownPDUHandlers, usecStatsUnsupportedQoS, usecStatsNotInWindows,
      usecStatsUnknownUserNames, usecStatsWrongDigestValues, usecStatsUnknownContexts,
      usecStatsBadParameters, usecStatsUnauthorizedOperations, usmStatsUnsupportedSecLevels,
      usmStatsNotInTimeWindows, usmStatsUnknownUserNames, usmStatsUnknownEngineIDs,
      usmStatsWrongDigests, usmStatsDecryptionErrors;
} SnmpCounters;
#define SNMP_COUNTER_COUNT 23
TELVI_API extern const char *const snmpCounterNames[SNMP_COUNTER_COUNT];
/* The counter of that name, or null. */
TELVI_API uint32_t *getSnmpCounter(const char *name);

/* The engine record (one per process). */
typedef struct SnmpRecord {
  Oid domain;
  AdminString address;
  AdminString snmpEngineID;
  uint32_t snmpEngineBoots;
  uint32_t snmpEngineTime;
  uint32_t startSeconds;
  uint32_t snmpEngineMaxMessageSize;
  SnmpList addrMaps, engines, users, received, outstanding, registries;
  SnmpAppContext contexts[2];
  AdminString sysDescr, sysContact, sysName, sysLocation;
  Oid sysObjectID;
  uint32_t sysUpTime;
  SnmpCounters counters;
  char trace[SNMP_TRACE_SIZE];
  long startTimeSeconds;
  long startTimeMicroseconds;
  uint32_t lastSweep;
} SnmpRecord;
TELVI_API extern SnmpRecord _snmp;

/* Engine set-up, clock and identifiers. */
TELVI_API void initializeSnmp(void);
TELVI_API uint32_t configureSnmpEngine(const AdminString *engineId, uint32_t boots, uint32_t maxSize);
TELVI_API uint32_t updateSnmpTime(void);
/* Moves the engine's start so that the engine time is now the given number of seconds. */
TELVI_API void setSnmpEngineTime(uint32_t seconds);
TELVI_API int32_t getSnmpMsgId(void);
TELVI_API const char *snmpErrorToStr(int result);

/* Application contexts (at most 2) for requests this engine sends. */
TELVI_API SnmpAppContext *newSnmpAppContext(SnmpAppProc callback, void *clientData);
TELVI_API void deleteSnmpAppContext(SnmpAppContext *context);
TELVI_API int32_t encodeSendSnmpPdu(SnmpAppContext *context, PduData *pdu, Netbuf *out);

/* Messages. */
TELVI_API int encodeSnmpMsg(PduData *pdu, int32_t appRequestId, VarBind *report, void *stateRef,
                            Netbuf *out);
TELVI_API int decodeSnmpMsg(PduData *pdu, int32_t *appRequestId, VarBind *report, void **stateRef,
                            Netbuf *in);
/* Handles one received datagram; an answer, if any, is left in in (length > 0, else 0). */
TELVI_API int dispatchSnmpMsg(Netbuf *in);
/* Frees a state reference that decodeSnmpMsg returned and that will not be answered. */
TELVI_API void releaseSnmpState(void *stateRef);

/* Responder registry; tag -1 registers all types. */
TELVI_API void *registerSnmpResponder(const AdminString *engineId, int tag, SnmpResponderProc callback,
                                      void *clientData);
TELVI_API void unregisterSnmpResponder(void *handle, SnmpResponderProc callback, void *clientData);
TELVI_API SnmpSlot *getSnmpResponder(const AdminString *engineId, int tag);

/* Tables: an add returns the existing element or inserts a new one in order. */
TELVI_API SnmpUser *addSnmpUser(const AdminString *engineId, const AdminString *userName);
TELVI_API SnmpUser *getSnmpUser(const AdminString *engineId, const AdminString *userName);
TELVI_API int deleteSnmpUser(const AdminString *engineId, const AdminString *userName);
TELVI_API SnmpEngine *addSnmpEngine(const AdminString *engineId);
TELVI_API SnmpEngine *getSnmpEngine(const AdminString *engineId);
TELVI_API int validateSnmpEngine(SnmpEngine *engine, uint32_t boots, uint32_t time, uint32_t disabled);
TELVI_API SnmpAddrMap *addSnmpAddrMap(const AdminString *address);
TELVI_API SnmpAddrMap *getSnmpAddrMap(const AdminString *address);

/* PDU pieces. A PDU's header is its tag and length (the "PDUs" wrapper) followed by request ID,
 * error status and error index; an SNMPv1 trap's by the trap fields instead. */
TELVI_API unsigned char *encodePdusHeader(Asn1Cursor *cursor, int tag, uint32_t length);
TELVI_API int decodePdusHeader(Asn1Cursor *cursor, int v2);
TELVI_API uint32_t sizeofPdusHeader(uint32_t length);
TELVI_API unsigned char *encodePduHeader(Asn1Cursor *cursor, const PduHeader *header, uint32_t length);
/* For an SNMPv1 trap only the tag is read (other fields 0), the cursor stays on the trap fields. */
TELVI_API int decodePduHeader(Asn1Cursor *cursor, PduHeader *header, int v2);
TELVI_API uint32_t sizeofPduHeader(const PduHeader *header, uint32_t length);
TELVI_API unsigned char *encodeTrapHeader(Asn1Cursor *cursor, const TrapHeader *header, uint32_t length);
TELVI_API int decodeTrapHeader(Asn1Cursor *cursor, TrapHeader *header);
TELVI_API uint32_t sizeofTrapHeader(const TrapHeader *header, uint32_t length);
TELVI_API unsigned char *encodeVarBind(Asn1Cursor *cursor, const VarBind *binding);
TELVI_API unsigned char *decodeVarBind(Asn1Cursor *cursor, VarBind *binding);
TELVI_API uint32_t sizeofVarBind(const VarBind *binding);
/* A whole PDU: the header, the binding list and count bindings, stride bytes apart
 * (sizeof(VarBind) for an array of VarBind, more for records that begin with one). The bytes and
 * the bindings that fit are those of encodePduHeader with ASN1_OPEN_LENGTH, an open SEQUENCE, one
 * encodeVarBind each and updateAsn1Header for both; but the lengths are not patched afterwards: the
 * bindings are written where the final length fields put them, so they rarely move. A binding that
 * does not fit (or cannot be encoded) is left out with every one after it, and the error cleared;
 * *written (may be null) tells how many went in. Returns the PDU's start, the cursor ending on its
 * header as updateAsn1Header leaves it; null with the error set when not even the header and an
 * empty list fit. The values must not lie in the buffer being written. */
TELVI_API unsigned char *encodePdu(Asn1Cursor *cursor, const PduHeader *header, const VarBind *list, uint32_t count,
                                   size_t stride, uint32_t *written);

/* OID text. */
TELVI_API char *oidtostr(const uint32_t *oid, char *text, uint32_t size);
TELVI_API uint32_t strtooid(const char *text, const char **end, uint32_t *oid);

/* One-line summary of a message record (SNMP_DUMP_SIZE bytes). */
TELVI_API char *dumpSnmpMsg(const PduData *pdu, char *text);

/*
 * Display hints (RFC 2579 DISPLAY-HINT). Octet hints: repeat "*", octet count, format d x o a b,
 * optional separator and terminator; the last part repeats until the octets are used up. Integer
 * hints: "d" or "d-<n>" (implied decimal point), "x", "o", "b".
 * Formatters return the length of the text (always NUL-terminated when size > 0), -1 for a bad hint.
 * Parsers return the number of octets (or 0 with *value set) and set *end to where they stopped;
 * -1 for a bad hint or text that does not fit.
 */
TELVI_API int snmpHintFormatOctets(const char *hint, const unsigned char *octets, uint32_t length,
                                   char *text, uint32_t size);
TELVI_API int snmpHintParseOctets(const char *hint, const char *text, unsigned char *octets,
                                  uint32_t size, const char **end);
TELVI_API int snmpHintFormatInteger(const char *hint, uint64_t value, int isSigned, char *text,
                                    uint32_t size);
TELVI_API int snmpHintParseInteger(const char *hint, const char *text, uint64_t *value, int isSigned,
                                   const char **end);

TELVI_END_DECLS

#endif
