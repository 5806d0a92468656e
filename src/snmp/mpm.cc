// Message processing: outgoing messages (prepareMessage), incoming messages
// (prepareDataElements), request states, the security-model table and dispatch.
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "snmp/engine.h"

using namespace telvi::snmp;

namespace {

const char kTag[] = "snmpv2mpm";

struct ModelRow {
  int version;
  int number;
  const SnmpSecurityModel *model;
};
ModelRow modelRows[] = {{SNMP_V1, 1, &snmpv2csm}, {SNMP_V2C, 2, &snmpv2csm},
                        {SNMP_V2U, 1, &snmpv2usec}};

const uint32_t snmpUnknownPDUHandlersOid[] = {10, 1, 3, 6, 1, 6, 3, 11, 2, 1, 3, 0};

bool inList(SnmpList &list, const MpmState *state) {
  for (auto *s = listFirst<MpmState>(list); s; s = listNext(list, s))
    if (s == state) return true;
  return false;
}

void copyAdmin(AdminString &to, const AdminString &from) { memcpy(&to, &from, from.length + 2u); }

// Writes the failure text of a message: summary, what went wrong, the cursor when it failed.
void describeFailure(const PduData *pdu, const char *detail, const Asn1Cursor *cursor) {
  char summary[SNMP_DUMP_SIZE];
  dumpSnmpMsg(pdu, summary);
  std::string text = _snmp.trace;
  traceClear();
  traceAppend("%s%s%s", summary, detail ? detail : "", text.c_str());
  if (cursor != nullptr && cursor->error) {
    char dump[ASN1_DUMP_SIZE];
    traceAppend(" %s", dumpAsn1(cursor, dump));
  }
}

// The result of a failed decode: counted, described and handed to the diagnostics.
int decodeFailed(int result, const PduData *pdu, const char *detail, const Asn1Cursor *cursor,
                 int line = 0) {
  if (result == SNMP_ERR_VERSION) ++_snmp.counters.snmpInBadVersions;
  if (result == SNMP_ERR_PARSE) ++_snmp.counters.snmpInASNParseErrs;
  describeFailure(pdu, detail, cursor);
  if (line) traceWhere(kTag, line);
  traceFlush();
  return result;
}

int encodeFailed(int result, const char *detail, int line = 0) {
  if (detail) traceAppend("%s", detail);
  if (line) traceWhere(kTag, line);
  traceFlush();
  return result;
}

MpmState *newState(const PduData *pdu) {
  auto *state = static_cast<MpmState *>(calloc(1, sizeof(MpmState)));
  if (state == nullptr) return nullptr;
  state->self = state;
  memcpy(&state->pdu, pdu, sizeof(PduData));
  state->v2 = pdu->version != 0;
  state->created = _snmp.snmpEngineTime;
  return state;
}

// Writes a Report carrying one binding into the record's PDU area.
int buildReport(PduData *pdu, const MpmState *state, const VarBind *report) {
  Asn1Cursor c;
  initAsn1Cursor(&c, pdu->data, pdu->capacity);
  PduHeader header = {SNMP_PDU_REPORT, state->header.request_id, 0, 0};
  uint32_t binding = sizeofVarBind(report);
  if (binding == ASN1_BAD_SIZE) return -1;
  uint32_t list = sizeofAsn1Header(binding) + binding;
  encodePduHeader(&c, &header, list);
  encodeAsn1Header(&c, ASN1_TAG_SEQUENCE, binding);
  encodeVarBind(&c, report);
  if (c.error) return -1;
  pdu->length = static_cast<uint32_t>(c.cur - pdu->data);
  return 0;
}

int prepareMessage(PduData *pdu, int32_t appRequestId, VarBind *report, void *stateRef, Netbuf *out) {
  traceClear();
  updateSnmpTime();
  if (pdu == nullptr || out == nullptr || out->data == nullptr) return encodeFailed(SNMP_ERR_FAILURE, nullptr, __LINE__);
  if (pdu->version < SNMP_V1 || pdu->version > SNMP_V2U ||
      (pdu->version == SNMP_V2U && _snmp.snmpEngineID.length != 12))
    return encodeFailed(SNMP_ERR_VERSION, nullptr);
  pdu->v2 = pdu->version != 0;
  bool originated = stateRef == nullptr;
  MpmState *state;
  void *securityState = nullptr;
  AdminString securityEngineId = {0, {0}};
  unsigned char discovery[32];
  unsigned char *pduData = pdu->data;
  uint32_t pduLength = pdu->length;
  int32_t level = pdu->securityLevel;
  bool confirmed = false;

  if (originated) {
    if (pdu->data == nullptr) return encodeFailed(SNMP_ERR_FAILURE, nullptr, __LINE__);
    state = newState(pdu);
    if (state == nullptr) return encodeFailed(SNMP_ERR_FAILURE, nullptr, __LINE__);
    state->pdu.data = nullptr;
    state->appRequestId = appRequestId;
    Asn1Cursor c;
    initAsn1Cursor(&c, pdu->data, pdu->length);
    if (decodePduHeader(&c, &state->header, pdu->v2) < 0) {
      char dump[ASN1_DUMP_SIZE];
      traceAppend("bad PDU %s", dumpAsn1(&c, dump));
      freeMpmState(state);
      return encodeFailed(SNMP_ERR_PARSE, nullptr);
    }
    state->requestId = state->header.request_id;
    int flags = snmpPduFlags(state->header.type);
    if (flags & SNMP_PDU_FLAG_RESPONSE) {
      freeMpmState(state);
      return encodeFailed(SNMP_ERR_FAILURE, "cannot reply without a state reference");
    }
    confirmed = flags & SNMP_PDU_FLAG_CONFIRMED;
    if (pdu->version == SNMP_V2U && confirmed) {
      SnmpAddrMap *map = getSnmpAddrMap(&pdu->info.address);
      if (map != nullptr && map->agentId.length == 12) {
        copyAdmin(securityEngineId, map->agentId);
      } else {
        // Nobody known at that address: ask with an empty, unauthenticated GetRequest; the
        // Report that comes back tells the agent ID.
        setAdminString(&securityEngineId, "\0\0\0\0\0\0\0\0\0\0\0\0", 12, 12);
        Asn1Cursor d;
        initAsn1Cursor(&d, discovery, sizeof discovery);
        PduHeader get = {SNMP_PDU_GET, state->header.request_id, 0, 0};
        encodePduHeader(&d, &get, 2);
        encodeAsn1Header(&d, ASN1_TAG_SEQUENCE, 0);
        pduData = discovery;
        pduLength = static_cast<uint32_t>(d.cur - discovery);
        level = 0;
      }
      level |= SNMP_SEC_REPORTABLE;
    } else if (pdu->version == SNMP_V2U) {
      copyAdmin(securityEngineId, _snmp.snmpEngineID);
      level &= ~SNMP_SEC_REPORTABLE;
    }
    state->model = getSnmpSecurityModel(pdu->version, pdu->model);
    if (state->model == nullptr) {
      freeMpmState(state);
      return encodeFailed(SNMP_ERR_SECURITY_MODEL, nullptr);
    }
    state->pdu.securityLevel = level;
    copyAdmin(state->securityEngineId, securityEngineId);
    // The answer names the agent as its context engine; a request that named none asked that
    // agent, so the answer is matched against it.
    if (pdu->version == SNMP_V2U && confirmed && state->pdu.engineId.length == 0)
      copyAdmin(state->pdu.engineId, securityEngineId);
  } else {
    state = static_cast<MpmState *>(stateRef);
    if (!inList(_snmp.received, state) || state->self != state)
      return encodeFailed(SNMP_ERR_FAILURE, "invalid state reference", __LINE__);
    if (state->pdu.version != pdu->version) {
      traceAppend("version mismatch: received %d, expecting %d", state->pdu.version, pdu->version);
      return encodeFailed(SNMP_ERR_FAILURE, nullptr);
    }
    if (report != nullptr && report->oid[0] != 0) {
      if (!(state->pdu.securityLevel & SNMP_SEC_REPORTABLE))
        return encodeFailed(SNMP_ERR_FAILURE, "report to a message that is not reportable");
      if (pdu->data == nullptr || buildReport(pdu, state, report) < 0)
        return encodeFailed(SNMP_ERR_FAILURE, "no room for the report", __LINE__);
      pduData = pdu->data;
      pduLength = pdu->length;
    } else if (pdu->data == nullptr || pdu->length == 0 || pdu->data[0] != SNMP_PDU_RESPONSE) {
      return encodeFailed(SNMP_ERR_FAILURE, "answer is not a Response");
    }
    securityState = state->securityState;
    state->securityState = nullptr;
    copyAdmin(securityEngineId, state->securityEngineId);
    listRemove(&_snmp.received, &state->link);
  }

  unsigned char version[8];
  Asn1Cursor v;
  initAsn1Cursor(&v, version, sizeof version);
  encodeAsn1Int32(&v, ASN1_TAG_INTEGER, pdu->version);
  unsigned char *savedData = pdu->data;
  uint32_t savedLength = pdu->length;
  int32_t savedLevel = pdu->securityLevel;
  pdu->data = pduData;
  pdu->length = pduLength;
  if (originated) pdu->securityLevel = level & ~SNMP_SEC_REPORTABLE;
  int result = state->model->generateMsg(pdu, version, static_cast<uint32_t>(v.cur - version),
                                         &securityEngineId, securityState, out);
  pdu->data = savedData;
  pdu->length = savedLength;
  pdu->securityLevel = savedLevel;
  if (result >= 0) {
    memcpy(&out->info, &pdu->info, sizeof(TInfo));
    if (originated && confirmed) {
      state->pdu.model = result;
      listAppend(&_snmp.outstanding, &state->link);
      state = nullptr;
    }
  }
  if (state != nullptr) freeMpmState(state);
  sweepStaleStates();
  if (result < 0) traceFlush();
  return result;
}

// The response's "securityName:context" against the request's name and context.
void matchCommunityContext(PduData *pdu, const MpmState *request) {
  const PduData &asked = request->pdu;
  if (cmpAdminString(&pdu->context, &asked.context) == 0) return;
  if (asked.securityName.length + asked.context.length >= 255) return;
  std::string got(reinterpret_cast<const char *>(pdu->securityName.octets), pdu->securityName.length);
  got += ':';
  got.append(reinterpret_cast<const char *>(pdu->context.octets), pdu->context.length);
  std::string want(reinterpret_cast<const char *>(asked.securityName.octets), asked.securityName.length);
  if (asked.context.length) {
    want += ':';
    want.append(reinterpret_cast<const char *>(asked.context.octets), asked.context.length);
  }
  if (got == want) {
    copyAdmin(pdu->securityName, asked.securityName);
    copyAdmin(pdu->context, asked.context);
  }
}

int prepareDataElements(PduData *pdu, int32_t *appRequestId, VarBind *report, void **stateRef,
                        Netbuf *in) {
  ++_snmp.counters.snmpInPkts;
  memset(pdu, 0, sizeof(PduData));
  *appRequestId = 0;
  report->oid[0] = 0;
  *stateRef = nullptr;
  traceClear();
  updateSnmpTime();
  sweepStaleStates();
  if (in == nullptr || in->data == nullptr || in->length > in->capacity)
    return decodeFailed(SNMP_ERR_FAILURE, pdu, nullptr, nullptr, __LINE__);
  memcpy(&pdu->info, &in->info, sizeof(TInfo));

  Asn1Cursor c;
  initAsn1Cursor(&c, in->data, in->length);
  decodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, nullptr);
  int32_t version = decodeAsn1Int32(&c, ASN1_TAG_INTEGER);
  if (c.error) return decodeFailed(SNMP_ERR_PARSE, pdu, nullptr, &c);
  if (version < SNMP_V1 || version > SNMP_V2U ||
      (version == SNMP_V2U && _snmp.snmpEngineID.length != 12))
    return decodeFailed(SNMP_ERR_VERSION, pdu, nullptr, nullptr);
  pdu->version = version;
  pdu->v2 = version != 0;
  unsigned char *parameters = decodeAsn1Octets(&c, ASN1_TAG_OCTET_STRING);
  if (c.error) return decodeFailed(SNMP_ERR_PARSE, pdu, nullptr, &c);
  uint32_t parametersLength = c.length;
  pdu->data = c.cur;
  pdu->length = static_cast<uint32_t>(c.end - c.cur);
  pdu->capacity = in->capacity - static_cast<uint32_t>(c.cur - in->data);

  int number = version == SNMP_V2U ? (parametersLength ? parameters[0] : 256) : 0;
  const SnmpSecurityModel *model = getSnmpSecurityModel(version, number);
  if (model == nullptr) {
    if (version == SNMP_V2U) ++_snmp.counters.usecStatsBadParameters;
    return decodeFailed(SNMP_ERR_SECURITY_MODEL, pdu, nullptr, nullptr);
  }
  void *securityState = nullptr;
  AdminString securityEngineId = {0, {0}};
  int security = model->processIncomingMsg(pdu, report, parameters, parametersLength, &securityEngineId,
                                           &securityState, in);
  if (security < 0 && report->oid[0] == 0) return decodeFailed(security, pdu, nullptr, nullptr);

  auto release = [&]() {
    if (securityState != nullptr && model->release) model->release(securityState);
    securityState = nullptr;
  };
  Asn1Cursor p;
  initAsn1Cursor(&p, pdu->data, pdu->length);
  PduHeader header;
  if (decodePduHeader(&p, &header, pdu->v2) < 0) {
    release();
    report->oid[0] = 0;
    return decodeFailed(SNMP_ERR_PARSE, pdu, nullptr, &p);
  }
  int flags = snmpPduFlags(header.type);
  if (!(flags & SNMP_PDU_FLAG_CONFIRMED)) {
    copyAdmin(pdu->engineId, securityEngineId);
    pdu->securityLevel &= ~SNMP_SEC_REPORTABLE;
  } else if (version == SNMP_V2U) {
    if (header.type == SNMP_PDU_INFORM) pdu->engineId.length = 0, pdu->engineId.octets[0] = 0;
    else copyAdmin(pdu->engineId, securityEngineId);
    pdu->securityLevel |= SNMP_SEC_REPORTABLE;
  } else {
    copyAdmin(pdu->engineId, _snmp.snmpEngineID);
  }

  auto keepState = [&]() -> MpmState * {
    MpmState *state = newState(pdu);
    if (state == nullptr) return nullptr;
    state->header = header;
    state->requestId = header.request_id;
    state->model = model;
    state->securityState = securityState;
    securityState = nullptr;
    copyAdmin(state->securityEngineId, securityEngineId);
    listAppend(&_snmp.received, &state->link);
    return state;
  };

  if (security < 0) {
    // The security model wants a Report sent back.
    if ((pdu->securityLevel & SNMP_SEC_REPORTABLE) && (*stateRef = keepState()) != nullptr) {
      pdu->securityLevel &= ~SNMP_SEC_REPORTABLE;
      return decodeFailed(security, pdu, nullptr, nullptr);
    }
    report->oid[0] = 0;
    release();
    return decodeFailed(security, pdu, nullptr, nullptr);
  }

  if (flags & SNMP_PDU_FLAG_RESPONSE) {
    release();
    MpmState *request = nullptr;
    for (auto *s = listFirst<MpmState>(_snmp.outstanding); s; s = listNext(_snmp.outstanding, s))
      if (s->requestId == header.request_id) {
        request = s;
        break;
      }
    char detail[64];
    if (request == nullptr) {
      snprintf(detail, sizeof detail, " %d - message ID not found (stale?)", header.request_id);
      return decodeFailed(SNMP_ERR_FAILURE, pdu, detail, nullptr);
    }
    if (request->pdu.version != version) return decodeFailed(SNMP_ERR_FAILURE, pdu, " - version mismatch", nullptr);
    *appRequestId = request->appRequestId;
    if (header.type == SNMP_PDU_REPORT) {
      SnmpAddrMap *map = addSnmpAddrMap(&request->pdu.info.address);
      if (map != nullptr) copyAdmin(map->agentId, securityEngineId);
      unsigned char *saved;
      decodeAsn1Struct(&p, ASN1_TAG_SEQUENCE, &saved);
      decodeVarBind(&p, report);
      frameAsn1Struct(&p, saved);
      if (p.error) {
        report->oid[0] = 0;
        return decodeFailed(SNMP_ERR_PARSE, pdu, nullptr, &p);
      }
    } else {
      if (version != SNMP_V2U) matchCommunityContext(pdu, request);
      const PduData &asked = request->pdu;
      if (pdu->model != asked.model ||
          (pdu->securityLevel & 3) != (asked.securityLevel & 3) ||
          cmpAdminString(&pdu->securityName, &asked.securityName) != 0 ||
          cmpAdminString(&pdu->engineId, &asked.engineId) != 0 ||
          cmpAdminString(&pdu->context, &asked.context) != 0)
        return decodeFailed(SNMP_ERR_FAILURE, pdu, " - message value mismatch", nullptr);
      if (cmpAdminString(&securityEngineId, &request->securityEngineId) != 0)
        return decodeFailed(SNMP_ERR_FAILURE, pdu, " - security engine ID mismatch", nullptr);
    }
    listRemove(&_snmp.outstanding, &request->link);
    freeMpmState(request);
  } else if (flags & SNMP_PDU_FLAG_CONFIRMED) {
    if (version == SNMP_V2U && cmpAdminString(&securityEngineId, &_snmp.snmpEngineID) != 0) {
      release();
      return decodeFailed(SNMP_ERR_FAILURE, pdu, " - security engine ID mismatch", nullptr);
    }
    *stateRef = keepState();
    if (*stateRef == nullptr) {
      release();
      return decodeFailed(SNMP_ERR_FAILURE, pdu, nullptr, nullptr, __LINE__);
    }
  } else {
    release();
  }
  pdu->securityLevel &= ~SNMP_SEC_REPORTABLE;
  return header.type;
}

}  // namespace

namespace telvi::snmp {

void freeMpmState(MpmState *state) {
  if (state == nullptr) return;
  if (state->securityState != nullptr && state->model != nullptr && state->model->release)
    state->model->release(state->securityState);
  state->self = nullptr;
  free(state);
}

bool isReceivedState(const MpmState *state) { return inList(_snmp.received, state); }

void sweepStaleStates() {
  uint32_t now = _snmp.snmpEngineTime;
  if (static_cast<int32_t>(now - _snmp.lastSweep) < 31 && static_cast<int32_t>(now - _snmp.lastSweep) >= 0)
    return;
  _snmp.lastSweep = now;
  for (SnmpList *list : {&_snmp.received, &_snmp.outstanding}) {
    for (auto *s = listFirst<MpmState>(*list); s;) {
      auto *next = listNext(*list, s);
      int32_t age = static_cast<int32_t>(now - s->created);
      if (age > SNMPTimeWindow || age < 0) {
        listRemove(list, &s->link);
        freeMpmState(s);
      }
      s = next;
    }
  }
}

}  // namespace telvi::snmp

extern "C" {

const SnmpSecurityModel *getSnmpSecurityModel(int version, int number) {
  for (const ModelRow &row : modelRows)
    if (row.version == version && (number == 0 || number == row.number)) return row.model;
  return nullptr;
}

int setSnmpSecurityModel(int version, int number, const SnmpSecurityModel *model) {
  for (ModelRow &row : modelRows)
    if (row.version == version && row.number == number) {
      row.model = model;
      return 0;
    }
  return -1;
}

int encodeSnmpMsg(PduData *pdu, int32_t appRequestId, VarBind *report, void *stateRef, Netbuf *out) {
  return prepareMessage(pdu, appRequestId, report, stateRef, out);
}

int decodeSnmpMsg(PduData *pdu, int32_t *appRequestId, VarBind *report, void **stateRef, Netbuf *in) {
  if (pdu == nullptr || appRequestId == nullptr || report == nullptr || stateRef == nullptr) return SNMP_ERR_FAILURE;
  return prepareDataElements(pdu, appRequestId, report, stateRef, in);
}

void releaseSnmpState(void *stateRef) {
  auto *state = static_cast<MpmState *>(stateRef);
  if (state == nullptr || !isReceivedState(state)) return;
  listRemove(&_snmp.received, &state->link);
  freeMpmState(state);
}

int32_t encodeSendSnmpPdu(SnmpAppContext *context, PduData *pdu, Netbuf *out) {
  if (pdu == nullptr || pdu->data == nullptr || pdu->length == 0) return SNMP_ERR_FAILURE;
  int index = -1;
  for (int i = 0; i < 2; ++i)
    if (context == &_snmp.contexts[i]) index = i;
  bool confirmed = snmpPduFlags(pdu->data[0]) & SNMP_PDU_FLAG_CONFIRMED;
  if (index >= 0 && context->lastRequestId != 0 && confirmed) {
    int32_t id = (index << 24) | ((context->lastRequestId + 1) & 0xFFFFFF);
    if (id == 0) id = 1;
    context->lastRequestId = id;
    int result = encodeSnmpMsg(pdu, id, nullptr, nullptr, out);
    return result < 0 ? result : id;
  }
  int result = encodeSnmpMsg(pdu, -1, nullptr, nullptr, out);
  return result < 0 ? result : 0;
}

int dispatchSnmpMsg(Netbuf *in) {
  if (in == nullptr) return SNMP_ERR_FAILURE;
  PduData pdu;
  int32_t appRequestId;
  VarBind report;
  void *stateRef;
  int tag = decodeSnmpMsg(&pdu, &appRequestId, &report, &stateRef, in);
  if (tag < 0) {
    in->length = 0;
    if (report.oid[0] != 0 && stateRef != nullptr) {
      // The security model asked for a Report: send it at once through the same buffer.
      auto *area = static_cast<unsigned char *>(malloc(pdu.capacity ? pdu.capacity : 1));
      if (area != nullptr) {
        std::string trace = _snmp.trace;
        pdu.data = area;
        pdu.capacity = pdu.capacity ? pdu.capacity : 1;
        pdu.length = 0;
        encodeSnmpMsg(&pdu, -1, &report, stateRef, in);
        free(area);
        char text[ASN1_MAX_ARCS * 11 + 1];
        traceClear();
        traceAppend("%s %s", trace.c_str(), oidtostr(report.oid, text, sizeof text));
      } else {
        releaseSnmpState(stateRef);
      }
    }
    return tag;
  }
  int flags = snmpPduFlags(tag);
  in->length = 0;
  if (flags & SNMP_PDU_FLAG_RESPONSE) {
    uint32_t index = static_cast<uint32_t>(appRequestId) >> 24;
    if (index <= 1 && _snmp.contexts[index].lastRequestId != 0 && _snmp.contexts[index].callback) {
      int result = _snmp.contexts[index].callback(appRequestId, &pdu, &report, _snmp.contexts[index].clientData);
      if (result == SNMP_ERR_PARSE) ++_snmp.counters.snmpInASNParseErrs;
      return result;
    }
    ++_snmp.counters.snmpUnknownPDUHandlers;
    return SNMP_ERR_PDU_HANDLER;
  }
  static const AdminString empty = {0, {0}};
  SnmpSlot *slot = getSnmpResponder((flags & SNMP_PDU_FLAG_NOTIFICATION) ? &empty : &pdu.engineId, tag);
  SnmpArea area = {0, 0, nullptr};
  if (stateRef != nullptr) {
    area.capacity = pdu.capacity;
    area.buffer = static_cast<unsigned char *>(malloc(area.capacity ? area.capacity : 1));
    if (area.buffer == nullptr) {
      releaseSnmpState(stateRef);
      return SNMP_ERR_FAILURE;
    }
  }
  int result = slot != nullptr ? slot->callback(slot, &pdu, &report, stateRef,
                                                stateRef != nullptr ? &area : nullptr, slot->clientData)
                               : SNMP_ERR_PDU_HANDLER;
  if (result == SNMP_ERR_PARSE) ++_snmp.counters.snmpInASNParseErrs;
  if (result == SNMP_ERR_PDU_HANDLER) {
    uint32_t count = ++_snmp.counters.snmpUnknownPDUHandlers;
    memcpy(report.oid, snmpUnknownPDUHandlersOid, sizeof snmpUnknownPDUHandlersOid);
    report.value.tag = ASN1_TAG_COUNTER32;
    report.value.u.unsigned32 = count;
  } else if (result < 0 && stateRef != nullptr && report.oid[0] == 0) {
    ++_snmp.counters.snmpSilentDrops;
  }
  if (stateRef == nullptr) return result;
  if ((result < 0 || area.length == 0) && report.oid[0] == 0) {
    free(area.buffer);
    // A responder that succeeded without an answer may still answer later with the state;
    // one that failed will not.
    if (result < 0) releaseSnmpState(stateRef);
    return result;
  }
  pdu.data = area.buffer;
  pdu.length = area.length;
  pdu.capacity = area.capacity;
  int encoded = encodeSnmpMsg(&pdu, -1, &report, stateRef, in);
  free(area.buffer);
  if (encoded < 0) {
    in->length = 0;
    // A state the encode did not use up will not be answered any more.
    releaseSnmpState(stateRef);
    if (result < 0) return result;
    return encoded;
  }
  return result;
}

}  // extern "C"
