// The community model of SNMPv1 and SNMPv2c: the community string is the security name (and,
// after a ":", the context), and a request is accepted when a user of that name is active.
#include <cstdlib>
#include <cstring>

#include "snmp/engine.h"

using namespace telvi::snmp;

namespace {

const char kTag[] = "snmpv2csm";

int generateMsg(PduData *pdu, const unsigned char *version, uint32_t versionLength,
                const AdminString * /*securityEngineId*/, void *stateRef, Netbuf *out) {
  auto *answering = static_cast<AdminString *>(stateRef);
  int number = pdu->version == SNMP_V2C ? 2 : 1;
  unsigned char community[512];
  uint32_t length;
  if (answering != nullptr) {
    // The answer carries the request's community as received.
    memcpy(community, answering->octets, answering->length);
    length = answering->length;
  } else {
    memcpy(community, pdu->community.octets, pdu->community.length);
    length = pdu->community.length;
    if (pdu->context.length) {
      community[length++] = ':';
      memcpy(community + length, pdu->context.octets, pdu->context.length);
      length += pdu->context.length;
    }
  }
  free(answering);
  out->length = 0;
  if (pdu->securityLevel & (SNMP_SEC_AUTH | SNMP_SEC_PRIV)) return SNMP_ERR_SECURITY_LEVEL;
  Asn1Cursor c;
  initAsn1Cursor(&c, out->data, out->capacity);
  uint32_t total = versionLength + sizeofAsn1Header(length) + length + pdu->length;
  encodeAsn1Header(&c, ASN1_TAG_SEQUENCE, total);
  appendAsn1(&c, version, versionLength);
  encodeAsn1Octets(&c, ASN1_TAG_OCTET_STRING, community, length);
  if (pdu->length) appendAsn1(&c, pdu->data, pdu->length);
  if (c.error) {
    char dump[ASN1_DUMP_SIZE];
    traceAppend("%s", dumpAsn1(&c, dump));
    traceWhere(kTag, __LINE__);
    return SNMP_ERR_FAILURE;
  }
  out->length = static_cast<uint32_t>(c.cur - out->data);
  return number;
}

int processIncomingMsg(PduData *pdu, VarBind * /*report*/, const unsigned char *parameters,
                       uint32_t parametersLength, AdminString *securityEngineId, void **stateRef,
                       Netbuf *in) {
  pdu->model = pdu->version == SNMP_V2C ? 2 : 1;
  pdu->securityLevel = 0;
  securityEngineId->length = 0;
  securityEngineId->octets[0] = 0;
  *stateRef = nullptr;
  if (parametersLength > 255) {
    traceAppend(" community too long");
    return SNMP_ERR_FAILURE;
  }
  auto *community = static_cast<AdminString *>(malloc(sizeof(AdminString)));
  if (community == nullptr) {
    traceWhere(kTag, __LINE__);
    return SNMP_ERR_FAILURE;
  }
  setAdminString(community, parameters, parametersLength, 255);
  const void *colon = parametersLength > 1 ? memchr(parameters, ':', parametersLength - 1) : nullptr;
  if (colon != nullptr) {
    uint32_t at = static_cast<uint32_t>(static_cast<const unsigned char *>(colon) - parameters);
    setAdminString(&pdu->securityName, parameters, at, 255);
    setAdminString(&pdu->context, parameters + at + 1, parametersLength - at - 1, 255);
  } else {
    setAdminString(&pdu->securityName, parameters, parametersLength, 255);
    setAdminString(&pdu->context, nullptr, 0, 255);
  }
  // An answer must fit a message of the transport's size with this version and community.
  uint32_t fixed = 3 + sizeofAsn1Header(parametersLength) + parametersLength;
  uint32_t largest = sizeofAsn1Data(in->capacity);
  uint32_t room = largest > fixed ? largest - fixed : 0;
  if (pdu->capacity > room) pdu->capacity = room;

  int tag = pdu->length ? pdu->data[0] : 0;
  int flags = snmpPduFlags(tag);
  if (!(flags & (pdu->version == SNMP_V1 ? SNMP_PDU_FLAG_V1 : SNMP_PDU_FLAG_V2)) ||
      tag == SNMP_PDU_REPORT) {
    traceAppend(" Invalid PDU type '%x'", tag);
    free(community);
    return SNMP_ERR_PARSE;
  }
  if ((flags & SNMP_PDU_FLAG_CONFIRMED) && !(flags & SNMP_PDU_FLAG_NOTIFICATION)) {
    SnmpUser *user = getSnmpUser(&_snmp.snmpEngineID, &pdu->securityName);
    if (user == nullptr || user->rowStatus != 1) {
      ++_snmp.counters.snmpInBadCommunityNames;
      free(community);
      return SNMP_ERR_SECURITY_NAME;
    }
  }
  *stateRef = community;
  return 0;
}

void release(void *stateRef) { free(stateRef); }

}  // namespace

extern "C" const SnmpSecurityModel snmpv2csm = {kTag, generateMsg, processIncomingMsg, release};
