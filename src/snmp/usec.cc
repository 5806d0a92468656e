// The user-based security model of SNMPv2u: the parameters octet string of RFC 1910 (model, qos,
// agentID, boots, time, maxSize, user, digest, context), user lookup, authentication, the time
// window, and the mapping of failures to statistics counters and Report bindings.
#include <cstdlib>
#include <cstring>

#include "snmp/engine.h"

using namespace telvi::snmp;

extern "C" const AdminString usecNullEngineId = {12, {0}};

namespace {

const char kTag[] = "snmpv2usec";

// The security state reference: the user as used (keys localised when needed) and the granted qos.
struct SmState {
  SnmpUser user;
  int32_t qos;
};

void copyAdmin(AdminString &to, const AdminString &from) { memcpy(&to, &from, from.length + 2u); }

bool isNullEngine(const unsigned char *id) {
  for (int i = 0; i < USEC_AGENT_ID_SIZE; ++i)
    if (id[i]) return false;
  return true;
}

// The user of (engine, name), or the one of that name valid for any engine.
SnmpUser *findUser(const AdminString &engineId, const AdminString &name) {
  SnmpUser *user = getSnmpUser(&engineId, &name);
  if (user == nullptr) {
    static const AdminString any = {0, {0}};
    user = getSnmpUser(&any, &name);
  }
  return user;
}

// Checks the user's protocols against qos and localises its keys to the engine when the user
// is valid for any engine. -7 for a protocol that is unknown or a key of the wrong length.
int prepareKeys(SnmpUser &user, int qos, const AdminString &engineId, const SnmpAuthProtocol **auth,
                const SnmpPrivProtocol **priv) {
  *auth = nullptr;
  *priv = nullptr;
  if (!(qos & SNMP_SEC_AUTH)) return 0;
  *auth = snmpAuthProtocol(user.authProtocol);
  if (*auth == nullptr || user.authKey.length != (*auth)->keyLength) return SNMP_ERR_SECURITY_LEVEL;
  if (qos & SNMP_SEC_PRIV) {
    *priv = snmpPrivProtocol(user.privProtocol);
    if (*priv == nullptr || user.privKey.length != user.authKey.length) return SNMP_ERR_SECURITY_LEVEL;
  }
  if (user.engineId.length == 0) {
    if ((*auth)->keys->localizeKey(&user.authKey, &engineId) < 0) return SNMP_ERR_FAILURE;
    if ((qos & SNMP_SEC_PRIV) && (*auth)->keys->localizeKey(&user.privKey, &engineId) < 0)
      return SNMP_ERR_FAILURE;
  }
  return 0;
}

int generateMsg(PduData *pdu, const unsigned char *version, uint32_t versionLength,
                const AdminString *securityEngineId, void *stateRef, Netbuf *out) {
  auto *answering = static_cast<SmState *>(stateRef);
  SnmpUser user;
  int qos;
  uint32_t boots, time;
  AdminString agentId;
  const AdminString *context = &pdu->context;
  static const AdminString empty = {0, {0}};
  out->length = 0;
  auto fail = [&](int result, int line) {
    free(answering);
    if (line) traceWhere(kTag, line);
    return result;
  };

  if (answering != nullptr) {
    if (!adminEqual(answering->user.engineId, _snmp.snmpEngineID)) return fail(SNMP_ERR_FAILURE, __LINE__);
    copyAdmin(agentId, _snmp.snmpEngineID);
    boots = _snmp.snmpEngineBoots >= SNMPDisabledEngine ? USECDisabledEngine : _snmp.snmpEngineBoots;
    time = _snmp.snmpEngineTime;
    user = answering->user;
    qos = answering->qos & (SNMP_SEC_AUTH | SNMP_SEC_PRIV);
    context = &empty;
    if (pdu->context.length) context = &pdu->context;
  } else {
    if (securityEngineId == nullptr) return fail(SNMP_ERR_FAILURE, __LINE__);
    bool discovery = securityEngineId->length == USEC_AGENT_ID_SIZE && isNullEngine(securityEngineId->octets);
    SnmpUser *found = findUser(*securityEngineId, pdu->securityName);
    qos = pdu->securityLevel;
    if (found != nullptr && found->rowStatus == 1) {
      user = *found;
    } else if (discovery && !(qos & SNMP_SEC_AUTH)) {
      // Asking an unknown agent for its ID needs no keys: the name alone goes out.
      memset(&user, 0, sizeof user);
      copyAdmin(user.userName, pdu->securityName);
      if (user.userName.length > MaxSizeofUserName) return fail(SNMP_ERR_SECURITY_NAME, 0);
    } else {
      return fail(SNMP_ERR_SECURITY_NAME, 0);
    }
    if (qos < 0 || qos > 7 || (qos & 3) == SNMP_SEC_PRIV) return fail(SNMP_ERR_PARAMETERS, 0);
    copyAdmin(agentId, *securityEngineId);
    SnmpEngine *engine = getSnmpEngine(securityEngineId);
    if (engine != nullptr) {
      boots = engine->boots;
      time = engine->latestTime == 0 ? 0 : static_cast<uint32_t>(engine->timeOffset) + _snmp.snmpEngineTime;
    } else if (discovery) {
      // Discovery: nothing is known of the agent yet.
      boots = 0;
      time = 0;
    } else {
      return fail(SNMP_ERR_ENGINE_ID, 0);
    }
    // A request asks for a Report when something goes wrong.
    int tag = pdu->length ? pdu->data[0] : 0;
    if (snmpPduFlags(tag) & SNMP_PDU_FLAG_CONFIRMED) qos |= SNMP_SEC_REPORTABLE;
  }

  const SnmpAuthProtocol *auth;
  const SnmpPrivProtocol *priv;
  int keys = prepareKeys(user, qos, agentId, &auth, &priv);
  if (keys < 0) return fail(keys, keys == SNMP_ERR_FAILURE ? __LINE__ : 0);
  if (priv != nullptr) return fail(SNMP_ERR_SECURITY_LEVEL, 0);  // nothing can be encrypted
  if (agentId.length != USEC_AGENT_ID_SIZE) return fail(SNMP_ERR_FAILURE, __LINE__);

  uint32_t digestLength = auth ? auth->digestLength : 0;
  uint32_t parametersLength = MinSizeofParameters + user.userName.length + digestLength + context->length;
  uint32_t total = versionLength + sizeofAsn1Header(parametersLength) + parametersLength + pdu->length;
  Asn1Cursor c;
  initAsn1Cursor(&c, out->data, out->capacity);
  encodeAsn1Header(&c, ASN1_TAG_SEQUENCE, total);
  appendAsn1(&c, version, versionLength);
  unsigned char *parameters = encodeAsn1Octets(&c, ASN1_TAG_OCTET_STRING, nullptr, parametersLength);
  unsigned char *digest = nullptr;
  if (!c.error) {
    unsigned char *p = c.cur - parametersLength;
    (void)parameters;
    unsigned char *end = c.cur;
    uint32_t maxSize = out->capacity < 65535 ? out->capacity : 65535;
    *p++ = 1;
    *p++ = static_cast<unsigned char>(qos);
    memcpy(p, agentId.octets, USEC_AGENT_ID_SIZE);
    p += USEC_AGENT_ID_SIZE;
    p = encodeAsn1Word(p, 4, boots);
    p = encodeAsn1Word(p, 4, time);
    p = encodeAsn1Word(p, 2, maxSize);
    *p++ = user.userName.length;
    memcpy(p, user.userName.octets, user.userName.length);
    p += user.userName.length;
    *p++ = static_cast<unsigned char>(digestLength);
    digest = p;
    memset(p, 0, digestLength);
    p += digestLength;
    memcpy(p, context->octets, context->length);
    p += context->length;
    if (p != end) c.error = ASN1_ERR_STRUCTURE;
  }
  if (pdu->length) appendAsn1(&c, pdu->data, pdu->length);
  if (c.error) {
    char dump[ASN1_DUMP_SIZE];
    traceAppend("%s", dumpAsn1(&c, dump));
    return fail(SNMP_ERR_FAILURE, __LINE__);
  }
  out->length = static_cast<uint32_t>(c.cur - out->data);
  if (auth != nullptr && auth->authenticateOutgoingMsg(&user.authKey, digestLength, digest, out) < 0) {
    out->length = 0;
    return fail(SNMP_ERR_FAILURE, __LINE__);
  }
  free(answering);
  return 1;
}

// The counter and Report binding of a failure; false when the failure is not reported.
bool mapFailure(int result, VarBind *report) {
  static const struct {
    int result;
    uint32_t arc;
    uint32_t SnmpCounters::*counter;
  } rows[] = {
      {SNMP_ERR_PARAMETERS, 6, &SnmpCounters::usecStatsBadParameters},
      {SNMP_ERR_TIME_WINDOW, 2, &SnmpCounters::usecStatsNotInWindows},
      {SNMP_ERR_AUTHENTICATION, 4, &SnmpCounters::usecStatsWrongDigestValues},
      {SNMP_ERR_SECURITY_LEVEL, 1, &SnmpCounters::usecStatsUnsupportedQoS},
      {SNMP_ERR_SECURITY_NAME, 3, &SnmpCounters::usecStatsUnknownUserNames},
      {SNMP_ERR_ENGINE_ID, 5, &SnmpCounters::usecStatsUnknownContexts},
  };
  for (const auto &row : rows) {
    if (row.result != result) continue;
    uint32_t value = ++(_snmp.counters.*row.counter);
    if (result == SNMP_ERR_PARAMETERS) return false;
    // usecStats (1.3.6.1.6.3.6.1.2) . counter . 0
    const uint32_t oid[] = {11, 1, 3, 6, 1, 6, 3, 6, 1, 2, row.arc, 0};
    memset(report, 0, sizeof *report);
    memcpy(report->oid, oid, sizeof oid);
    report->value.tag = ASN1_TAG_COUNTER32;
    report->value.u.unsigned32 = value;
    return true;
  }
  return false;
}

int processIncomingMsg(PduData *pdu, VarBind *report, const unsigned char *parameters,
                       uint32_t parametersLength, AdminString *securityEngineId, void **stateRef,
                       Netbuf *in) {
  *stateRef = nullptr;
  securityEngineId->length = 0;
  securityEngineId->octets[0] = 0;
  auto *state = static_cast<SmState *>(calloc(1, sizeof(SmState)));
  if (state == nullptr) {
    traceWhere(kTag, __LINE__);
    return SNMP_ERR_FAILURE;
  }
  const unsigned char *p = parameters;
  const unsigned char *end = parameters + parametersLength;
  bool engineKnown = false;
  int qos = 0;
  auto fail = [&](int result, int line) {
    if (line) traceWhere(kTag, line);
    if (result == SNMP_ERR_PARAMETERS) {
      char text[2048];
      if (snmpHintFormatOctets(USEC_PARAMETERS_HINT, parameters, parametersLength, text, sizeof text) >= 0)
        traceAppend(" %s", text);
    }
    bool reported = mapFailure(result, report);
    // The time-window Report goes only to a request addressed to this engine.
    if (reported && result == SNMP_ERR_TIME_WINDOW && !adminEqual(*securityEngineId, _snmp.snmpEngineID))
      reported = false;
    if (!reported) {
      report->oid[0] = 0;
      free(state);
      return result;
    }
    if (result != SNMP_ERR_TIME_WINDOW) state->qos = 0;
    copyAdmin(state->user.engineId, _snmp.snmpEngineID);
    *stateRef = state;
    return result;
  };

  if (parametersLength < MinSizeofParameters) return fail(SNMP_ERR_PARAMETERS, 0);
  pdu->model = p[0];
  if (p[0] != 1) return fail(SNMP_ERR_PARAMETERS, 0);
  qos = p[1] & 7;
  if ((qos & 3) == SNMP_SEC_PRIV) qos &= ~SNMP_SEC_PRIV;
  pdu->securityLevel = qos;
  const unsigned char *agentId = p + 2;
  setAdminString(securityEngineId, agentId, USEC_AGENT_ID_SIZE, USEC_AGENT_ID_SIZE);
  uint32_t boots = decodeAsn1Word(p + 14, 4);
  uint32_t time = decodeAsn1Word(p + 18, 4);
  uint32_t maxSize = decodeAsn1Word(p + 22, 2);
  if (static_cast<int32_t>(time) < 0) return fail(SNMP_ERR_PARAMETERS, 0);
  p += 24;
  uint32_t userLength = *p++;
  if (userLength > MaxSizeofUserName || static_cast<uint32_t>(end - p) < userLength + 1)
    return fail(SNMP_ERR_PARAMETERS, 0);
  AdminString userName;
  setAdminString(&userName, p, userLength, MaxSizeofUserName);
  // A Report goes back under the name it answers, so that the requester can take it.
  copyAdmin(state->user.userName, userName);
  p += userLength;
  uint32_t digestLength = *p++;
  if (static_cast<uint32_t>(end - p) < digestLength) return fail(SNMP_ERR_PARAMETERS, 0);
  unsigned char *digest = in->data + (p - in->data);
  p += digestLength;
  uint32_t contextLength = static_cast<uint32_t>(end - p);
  if (contextLength > MaxSizeofContextName) return fail(SNMP_ERR_PARAMETERS, 0);
  setAdminString(&pdu->context, p, contextLength, MaxSizeofContextName);

  // An answer must fit a message of the size the sender accepts.
  uint32_t largestMessage = maxSize < in->capacity ? maxSize : in->capacity;
  uint32_t fixed = 3 + sizeofAsn1Header(parametersLength) + parametersLength;
  uint32_t largest = sizeofAsn1Data(largestMessage);
  uint32_t room = largest > fixed ? largest - fixed : 0;
  if (pdu->capacity > room) pdu->capacity = room;

  SnmpEngine *engine = getSnmpEngine(securityEngineId);
  engineKnown = engine != nullptr;
  if (!engineKnown && isNullEngine(agentId)) return fail(SNMP_ERR_ENGINE_ID, 0);

  copyAdmin(pdu->securityName, userName);
  SnmpUser *user = findUser(*securityEngineId, userName);
  if (user == nullptr || user->rowStatus != 1)
    return fail(engineKnown ? SNMP_ERR_SECURITY_NAME : SNMP_ERR_ENGINE_ID, 0);
  state->user = *user;
  state->user.link.next = state->user.link.prev = nullptr;
  copyAdmin(pdu->securityName, user->securityName);

  const SnmpAuthProtocol *auth;
  const SnmpPrivProtocol *priv;
  int keys = prepareKeys(state->user, qos, *securityEngineId, &auth, &priv);
  if (keys < 0) return fail(keys, keys == SNMP_ERR_FAILURE ? __LINE__ : 0);
  if (auth != nullptr) {
    int checked = auth->authenticateIncomingMsg(&state->user.authKey, digestLength, digest, in);
    if (checked < 0) return fail(checked, checked == SNMP_ERR_FAILURE ? __LINE__ : 0);
  }
  if (priv != nullptr) return fail(SNMP_ERR_SECURITY_LEVEL, 0);  // nothing can be decrypted

  int tag = pdu->length ? pdu->data[0] : 0;
  int flags = snmpPduFlags(tag);
  if (!(flags & SNMP_PDU_FLAG_V2) || (tag & 0xE0) != 0xA0) {
    traceAppend(" Invalid PDU type '%x'", tag);
    return fail(SNMP_ERR_PARSE, 0);
  }
  if ((flags & SNMP_PDU_FLAG_CONFIRMED) && !adminEqual(*securityEngineId, _snmp.snmpEngineID))
    return fail(SNMP_ERR_ENGINE_ID, 0);
  if (engine == nullptr) {
    engine = addSnmpEngine(securityEngineId);
    if (engine == nullptr) return fail(SNMP_ERR_FAILURE, __LINE__);
    engine->maxSize = maxSize;
  }
  if (auth != nullptr) {
    state->qos = qos & 3;  // the time-window Report is authenticated like the request
    copyAdmin(state->user.engineId, *securityEngineId);
    if (validateSnmpEngine(engine, boots, time, USECDisabledEngine) < 0) return fail(SNMP_ERR_TIME_WINDOW, 0);
  }
  state->qos = qos & 3;
  copyAdmin(state->user.engineId, *securityEngineId);
  *stateRef = state;
  return 0;
}

void release(void *stateRef) { free(stateRef); }

}  // namespace

extern "C" const SnmpSecurityModel snmpv2usec = {kTag, generateMsg, processIncomingMsg, release};
