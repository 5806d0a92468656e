// The engine record: identity, clock, message IDs, counters, sorted tables, responder registry,
// application contexts, and the trace text of the last failure.
#include "snmp/engine.h"

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>

using namespace telvi::snmp;

SnmpRecord _snmp;

namespace {

bool initialized = false;
uint32_t messageCounter = 0;

void ensureInit() {
  if (!initialized) initializeSnmp();
}

int cmpUser(const SnmpUser *u, const AdminString *engineId, const AdminString *name) {
  int c = cmpAdminString(&u->engineId, engineId);
  return c != 0 ? c : cmpAdminString(&u->userName, name);
}

// The registry entry of a key, or null.
SnmpRegistry *findRegistry(const AdminString *key) {
  auto byKey = [key](const SnmpRegistry *r) { return cmpAdminString(&r->key, key); };
  return listFindSorted<SnmpRegistry>(_snmp.registries, byKey);
}

SnmpRegistry *addRegistry(const AdminString *key) {
  SnmpLink *position;
  auto byKey = [key](const SnmpRegistry *r) { return cmpAdminString(&r->key, key); };
  if (SnmpRegistry *found = listFindSorted<SnmpRegistry>(_snmp.registries, byKey, &position)) return found;
  auto *r = static_cast<SnmpRegistry *>(calloc(1, sizeof(SnmpRegistry)));
  if (r == nullptr) return nullptr;
  memcpy(&r->key, key, key->length + 2u);
  listInsertBefore(&_snmp.registries, position, &r->link);
  return r;
}

bool registryEmpty(const SnmpRegistry *r) {
  for (const SnmpSlot &slot : r->slots)
    if (slot.callback != nullptr) return false;
  return true;
}

void deleteRegistry(SnmpRegistry *r) {
  listRemove(&_snmp.registries, &r->link);
  free(r);
}

std::map<std::string, std::string> &diagnostics() {
  static std::map<std::string, std::string> last;
  return last;
}

void freeList(SnmpList &list) {
  while (list.head.next != &list.head) {
    SnmpLink *l = list.head.next;
    listRemove(&list, l);
    free(l);
  }
}

}  // namespace

namespace telvi::snmp {

void diagnostic(const char *channel, const char *text) {
  diagnostics()[channel ? channel : ""] = text ? text : "";
}

const char *lastDiagnostic(const char *channel) {
  auto it = diagnostics().find(channel ? channel : "");
  return it == diagnostics().end() ? "" : it->second.c_str();
}

void traceClear() { _snmp.trace[0] = 0; }

void traceAppend(const char *format, ...) {
  size_t used = strlen(_snmp.trace);
  if (used + 1 >= sizeof _snmp.trace) return;
  va_list args;
  va_start(args, format);
  vsnprintf(_snmp.trace + used, sizeof _snmp.trace - used, format, args);
  va_end(args);
}

void traceWhere(const char *tag, int line) {
  if (_snmp.trace[0] == 0) traceAppend("Assertion Failure");
  traceAppend(": %s(%d)", tag, line);
}

void traceFlush() {
  if (_snmp.trace[0]) diagnostic("trace", _snmp.trace);
}

void listInit(SnmpList *list) {
  list->head.next = list->head.prev = &list->head;
  list->count = 0;
}

void listInsertBefore(SnmpList *list, SnmpLink *position, SnmpLink *element) {
  element->next = position;
  element->prev = position->prev;
  position->prev->next = element;
  position->prev = element;
  ++list->count;
}

void listAppend(SnmpList *list, SnmpLink *element) { listInsertBefore(list, &list->head, element); }

void listRemove(SnmpList *list, SnmpLink *element) {
  element->prev->next = element->next;
  element->next->prev = element->prev;
  element->next = element->prev = element;
  --list->count;
}

uint32_t engineTime() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  long seconds = now.tv_sec - _snmp.startTimeSeconds;
  long micro = now.tv_usec - _snmp.startTimeMicroseconds;
  _snmp.snmpEngineTime = static_cast<uint32_t>(micro < 0 ? seconds - 1 : seconds);
  _snmp.sysUpTime = static_cast<uint32_t>(seconds * 100 + micro / 10000);
  return _snmp.snmpEngineTime;
}

}  // namespace telvi::snmp

extern "C" {

const char *const snmpCounterNames[SNMP_COUNTER_COUNT] = {
    "snmpInPkts", "snmpInBadVersions", "snmpInASNParseErrs", "snmpSilentDrops", "snmpProxyDrops",
    "snmpInBadCommunityNames", "snmpInBadCommunityUses", "snmpUnknownSecurityModels", "snmpInvalidMsgs",
    "snmpUnknownPDUHandlers", "usecStatsUnsupportedQoS", "usecStatsNotInWindows",
    "usecStatsUnknownUserNames", "usecStatsWrongDigestValues", "usecStatsUnknownContexts",
    "usecStatsBadParameters", "usecStatsUnauthorizedOperations", "usmStatsUnsupportedSecLevels",
    "usmStatsNotInTimeWindows", "usmStatsUnknownUserNames", "usmStatsUnknownEngineIDs",
    "usmStatsWrongDigests", "usmStatsDecryptionErrors"};

uint32_t *getSnmpCounter(const char *name) {
  if (name == nullptr) return nullptr;
  for (int i = 0; i < SNMP_COUNTER_COUNT; ++i)
    if (strcmp(name, snmpCounterNames[i]) == 0) return &reinterpret_cast<uint32_t *>(&_snmp.counters)[i];
  return nullptr;
}

const char *snmpErrorToStr(int result) {
  static const char *const texts[] = {"Success",
                                      "Failure",
                                      "Parse error",
                                      "Unknown version",
                                      "Unknown security model",
                                      "Unknown engine ID",
                                      "Unknown security name",
                                      "Unsupported security level",
                                      "Encryption error",
                                      "Decryption error",
                                      "Authentication failure",
                                      "Not in time window",
                                      "Unknown PDU handler",
                                      "Bad parameters"};
  if (result > 0) return texts[0];
  if (result < -13) return texts[1];
  return texts[-result];
}

int setAdminString(AdminString *string, const void *octets, uint32_t length, uint32_t max) {
  if (string == nullptr || length > max || length > 255 || (octets == nullptr && length)) return -1;
  if (length) memmove(string->octets, octets, length);
  string->length = static_cast<unsigned char>(length);
  string->octets[length] = 0;
  return 0;
}

int cmpAdminString(const AdminString *a, const AdminString *b) {
  // The length octet first, so a shorter string sorts first.
  return memcmp(a, b, a->length + 1u);
}

const uint32_t snmpUDPDomain[] = {7, 1, 3, 6, 1, 6, 1, 1};

static bool isUdp(const TInfo *info) {
  return info != nullptr && oidcmp(info->domain, snmpUDPDomain) == 0;
}

uint32_t getSnmpTInfoHost(const TInfo *info) {
  return isUdp(info) ? decodeAsn1Word(info->address.octets, 4) : 0;
}

int setSnmpTInfoHost(TInfo *info, uint32_t host) {
  if (!isUdp(info)) return -1;
  encodeAsn1Word(info->address.octets, 4, host);
  info->address.length = 6;
  info->address.octets[6] = 0;
  return 0;
}

uint32_t getSnmpTInfoPort(const TInfo *info) {
  return isUdp(info) ? decodeAsn1Word(info->address.octets + 4, 2) : 0;
}

int setSnmpTInfoPort(TInfo *info, uint32_t port) {
  if (!isUdp(info)) return -1;
  encodeAsn1Word(info->address.octets + 4, 2, port);
  info->address.length = 6;
  info->address.octets[6] = 0;
  return 0;
}

void initializeSnmp(void) {
  if (initialized) {
    // Starting again: free what the lists hold.
    for (auto *s = listFirst<MpmState>(_snmp.received); s; s = listFirst<MpmState>(_snmp.received)) {
      listRemove(&_snmp.received, &s->link);
      freeMpmState(s);
    }
    for (auto *s = listFirst<MpmState>(_snmp.outstanding); s; s = listFirst<MpmState>(_snmp.outstanding)) {
      listRemove(&_snmp.outstanding, &s->link);
      freeMpmState(s);
    }
    freeList(_snmp.addrMaps);
    freeList(_snmp.engines);
    freeList(_snmp.users);
    freeList(_snmp.registries);
  }
  memset(&_snmp, 0, sizeof _snmp);
  memcpy(_snmp.domain, snmpUDPDomain, sizeof(uint32_t) * 8);
  for (SnmpList *l : {&_snmp.addrMaps, &_snmp.engines, &_snmp.users, &_snmp.received, &_snmp.outstanding,
                      &_snmp.registries})
    listInit(l);
  _snmp.snmpEngineMaxMessageSize = 65507;
  initialized = true;
  updateSnmpTime();
}

uint32_t updateSnmpTime(void) {
  ensureInit();
  if (_snmp.startTimeSeconds == 0 && _snmp.startTimeMicroseconds == 0) {
    struct timeval now;
    gettimeofday(&now, nullptr);
    _snmp.startTimeSeconds = now.tv_sec;
    _snmp.startTimeMicroseconds = now.tv_usec;
    _snmp.startSeconds = static_cast<uint32_t>(now.tv_sec);
  }
  engineTime();
  return _snmp.sysUpTime;
}

void setSnmpEngineTime(uint32_t seconds) {
  updateSnmpTime();
  long shift = static_cast<long>(_snmp.snmpEngineTime) - static_cast<long>(seconds);
  _snmp.startTimeSeconds += shift;
  _snmp.startSeconds = static_cast<uint32_t>(_snmp.startTimeSeconds);
  engineTime();
}

uint32_t configureSnmpEngine(const AdminString *engineId, uint32_t boots, uint32_t maxSize) {
  ensureInit();
  if (engineId != nullptr) setAdminString(&_snmp.snmpEngineID, engineId->octets, engineId->length,
                                          SNMP_MAX_ENGINE_ID);
  _snmp.snmpEngineBoots = boots == SNMPDisabledEngine ? boots : boots + 1;
  _snmp.snmpEngineMaxMessageSize = maxSize;
  if (_snmp.sysObjectID[0] == 0) {
    static const uint32_t enterprises[] = {6, 1, 3, 6, 1, 4, 1};
    memcpy(_snmp.sysObjectID, enterprises, sizeof enterprises);
    unsigned char id[4] = {0, 0, 0, 0};
    memcpy(id, _snmp.snmpEngineID.octets, _snmp.snmpEngineID.length < 4 ? _snmp.snmpEngineID.length : 4);
    uint32_t enterprise = decodeAsn1Word(id, 4) & 0x7fffffffu;
    oidcat(_snmp.sysObjectID, &enterprise, 1);
  }
  updateSnmpTime();
  SnmpEngine *local = addSnmpEngine(&_snmp.snmpEngineID);
  if (local != nullptr) {
    local->boots = _snmp.snmpEngineBoots;
    local->timeOffset = 0;
    local->latestTime = _snmp.startSeconds;
    local->maxSize = maxSize;
  }
  return _snmp.snmpEngineBoots;
}

int32_t getSnmpMsgId(void) {
  ++messageCounter;
  return static_cast<int32_t>((messageCounter & 0xFFFFu) | ((_snmp.snmpEngineBoots & 0x7FFFu) << 16));
}

SnmpAppContext *newSnmpAppContext(SnmpAppProc callback, void *clientData) {
  ensureInit();
  for (SnmpAppContext &c : _snmp.contexts) {
    if (c.lastRequestId == 0) {
      c.callback = callback;
      c.clientData = clientData;
      c.lastRequestId = -1;
      return &c;
    }
  }
  return nullptr;
}

void deleteSnmpAppContext(SnmpAppContext *context) {
  if (context == nullptr) return;
  for (SnmpAppContext &c : _snmp.contexts)
    if (&c == context) c = SnmpAppContext{nullptr, nullptr, 0};
}

SnmpUser *getSnmpUser(const AdminString *engineId, const AdminString *userName) {
  ensureInit();
  if (engineId == nullptr || userName == nullptr) return nullptr;
  auto byName = [=](const SnmpUser *u) { return cmpUser(u, engineId, userName); };
  return listFindSorted<SnmpUser>(_snmp.users, byName);
}

SnmpUser *addSnmpUser(const AdminString *engineId, const AdminString *userName) {
  ensureInit();
  if (engineId == nullptr || userName == nullptr || engineId->length > SNMP_MAX_ENGINE_ID) return nullptr;
  SnmpLink *position;
  auto byName = [=](const SnmpUser *u) { return cmpUser(u, engineId, userName); };
  if (SnmpUser *found = listFindSorted<SnmpUser>(_snmp.users, byName, &position)) return found;
  auto *u = static_cast<SnmpUser *>(calloc(1, sizeof(SnmpUser)));
  if (u == nullptr) return nullptr;
  memcpy(&u->engineId, engineId, engineId->length + 2u);
  memcpy(&u->userName, userName, userName->length + 2u);
  memcpy(&u->securityName, userName, userName->length + 2u);
  listInsertBefore(&_snmp.users, position, &u->link);
  return u;
}

int deleteSnmpUser(const AdminString *engineId, const AdminString *userName) {
  SnmpUser *u = getSnmpUser(engineId, userName);
  if (u == nullptr) return -1;
  listRemove(&_snmp.users, &u->link);
  free(u);
  return 0;
}

SnmpEngine *getSnmpEngine(const AdminString *engineId) {
  ensureInit();
  if (engineId == nullptr) return nullptr;
  auto byId = [engineId](const SnmpEngine *e) { return cmpAdminString(&e->engineId, engineId); };
  return listFindSorted<SnmpEngine>(_snmp.engines, byId);
}

SnmpEngine *addSnmpEngine(const AdminString *engineId) {
  ensureInit();
  if (engineId == nullptr || engineId->length > SNMP_MAX_ENGINE_ID) return nullptr;
  SnmpLink *position;
  auto byId = [engineId](const SnmpEngine *e) { return cmpAdminString(&e->engineId, engineId); };
  if (SnmpEngine *found = listFindSorted<SnmpEngine>(_snmp.engines, byId, &position)) return found;
  auto *e = static_cast<SnmpEngine *>(calloc(1, sizeof(SnmpEngine)));
  if (e == nullptr) return nullptr;
  memcpy(&e->engineId, engineId, engineId->length + 2u);
  listInsertBefore(&_snmp.engines, position, &e->link);
  return e;
}

int validateSnmpEngine(SnmpEngine *engine, uint32_t boots, uint32_t time, uint32_t disabled) {
  if (engine == nullptr) return SNMP_ERR_TIME_WINDOW;
  uint32_t local = updateSnmpTime(), now = _snmp.snmpEngineTime;
  (void)local;
  if (cmpAdminString(&engine->engineId, &_snmp.snmpEngineID) == 0) {
    if (_snmp.snmpEngineBoots == SNMPDisabledEngine || _snmp.snmpEngineBoots != boots)
      return SNMP_ERR_TIME_WINDOW;
    uint32_t difference = now > time ? now - time : time - now;
    return difference < SNMPTimeWindow + 1 ? 0 : SNMP_ERR_TIME_WINDOW;
  }
  if (boots > engine->boots || (boots == engine->boots && time > engine->latestTime)) {
    engine->boots = boots;
    engine->timeOffset = static_cast<int32_t>(time - now);
    engine->latestTime = time;
    return 0;
  }
  if (engine->boots == disabled || engine->boots > boots) return SNMP_ERR_TIME_WINDOW;
  uint32_t estimate = engine->latestTime == 0 ? 0 : static_cast<uint32_t>(engine->timeOffset) + now;
  if (estimate > time && estimate - time > SNMPTimeWindow) return SNMP_ERR_TIME_WINDOW;
  return 0;
}

SnmpAddrMap *getSnmpAddrMap(const AdminString *address) {
  ensureInit();
  if (address == nullptr) return nullptr;
  auto byAddress = [address](const SnmpAddrMap *m) { return cmpAdminString(&m->address, address); };
  return listFindSorted<SnmpAddrMap>(_snmp.addrMaps, byAddress);
}

SnmpAddrMap *addSnmpAddrMap(const AdminString *address) {
  ensureInit();
  if (address == nullptr) return nullptr;
  SnmpLink *position;
  auto byAddress = [address](const SnmpAddrMap *m) { return cmpAdminString(&m->address, address); };
  if (SnmpAddrMap *found = listFindSorted<SnmpAddrMap>(_snmp.addrMaps, byAddress, &position)) return found;
  auto *m = static_cast<SnmpAddrMap *>(calloc(1, sizeof(SnmpAddrMap)));
  if (m == nullptr) return nullptr;
  memcpy(&m->address, address, address->length + 2u);
  listInsertBefore(&_snmp.addrMaps, position, &m->link);
  return m;
}

void *registerSnmpResponder(const AdminString *engineId, int tag, SnmpResponderProc callback,
                            void *clientData) {
  ensureInit();
  static const AdminString empty = {0, {0}};
  if (engineId == nullptr) engineId = &empty;
  if (callback == nullptr) return nullptr;
  bool emptyKey = engineId->length == 0;
  if (tag == -1) {
    if (findRegistry(engineId) != nullptr) return nullptr;
    SnmpRegistry *r = addRegistry(engineId);
    if (r == nullptr) return nullptr;
    for (int i = 0; i < 9; ++i) {
      int flags = _pduType[i];
      bool notification = flags & SNMP_PDU_FLAG_NOTIFICATION;
      bool request = (flags & SNMP_PDU_FLAG_CONFIRMED) && !notification;
      bool fill = emptyKey ? (notification || (request && _snmp.snmpEngineID.length == 0)) : request;
      if (fill) r->slots[i] = SnmpSlot{r, callback, clientData};
    }
    if (registryEmpty(r)) {
      deleteRegistry(r);
      return nullptr;
    }
    return r;
  }
  int flags = snmpPduFlags(tag);
  if ((flags & (SNMP_PDU_FLAG_V1 | SNMP_PDU_FLAG_V2)) == 0) return nullptr;
  bool notification = flags & SNMP_PDU_FLAG_NOTIFICATION;
  bool request = (flags & SNMP_PDU_FLAG_CONFIRMED) && !notification;
  if (notification && !emptyKey) return nullptr;
  if (request && emptyKey) return nullptr;
  SnmpRegistry *r = addRegistry(engineId);
  if (r == nullptr) return nullptr;
  SnmpSlot *slot = &r->slots[tag & 0x1f];
  if (slot->callback != nullptr) return nullptr;
  *slot = SnmpSlot{slot, callback, clientData};
  return slot;
}

void unregisterSnmpResponder(void *handle, SnmpResponderProc callback, void *clientData) {
  ensureInit();
  if (handle == nullptr) return;
  for (auto *r = listFirst<SnmpRegistry>(_snmp.registries); r; r = listNext(_snmp.registries, r)) {
    if (handle == r) {
      for (SnmpSlot &slot : r->slots)
        if (slot.handle == r && slot.callback == callback && slot.clientData == clientData)
          slot = SnmpSlot{nullptr, nullptr, nullptr};
      if (registryEmpty(r)) deleteRegistry(r);
      return;
    }
    for (SnmpSlot &slot : r->slots) {
      if (&slot != handle) continue;
      if (slot.callback == callback && slot.clientData == clientData) slot = SnmpSlot{nullptr, nullptr, nullptr};
      if (registryEmpty(r)) deleteRegistry(r);
      return;
    }
  }
}

SnmpSlot *getSnmpResponder(const AdminString *engineId, int tag) {
  ensureInit();
  static const AdminString empty = {0, {0}};
  if (engineId == nullptr) engineId = &empty;
  if (snmpPduFlags(tag) == 0) return nullptr;
  SnmpRegistry *r = findRegistry(engineId);
  if (r == nullptr) return nullptr;
  SnmpSlot *slot = &r->slots[tag & 0x1f];
  return slot->callback != nullptr ? slot : nullptr;
}

}  // extern "C"
