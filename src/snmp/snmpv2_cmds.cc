// Package "snmpv2": the engine as scripts see it. Scripts own the UDP socket; `snmp dispatch` hands
// each datagram to the engine, which calls back into the current object through service triggers
// (spec "pdu", subspec the PDU's type name) with the PDU as a "pdu" bob. Outgoing PDUs are "pdu"
// bobs turned into datagrams by the converter to "netbuf" (used by `interface bwrite`).

#include <arpa/inet.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>
#include <iterator>
#include <unordered_map>
#include <vector>

#include "io/interface_cmds.h"
#include "io/resolve.h"
#include "pkg/command.h"
#include "snmp/ber.h"
#include "snmp/engine.h"
#include "telvi/bob.h"
#include "telvi/ddl.h"
#include "telvi/interface.h"
#include "telvi/package.h"
#include "telvi/service.h"
#include "telvi/snmpv2.h"
#include "telvi/toe.h"

using namespace telvi::snmp;
using telvi::fail;

namespace {

const char kHexHint[] = "1x:";
const char kAddressHint[] = "1d.1d.1d.1d:2d";
const uint32_t kMaxOidText = ASN1_MAX_ARCS * 11 + 1;

// ---- package state ----

struct State {
  SnmpAppContext *context = nullptr;
  void *localRegistration = nullptr;  // responderCB for all types under the local engine ID
  void *emptyRegistration = nullptr;  // ... and under the empty ID once the engine has an ID
  Tcl_Interp *owner = nullptr;        // the interpreter that set the engine up
  Tcl_Interp *current = nullptr;      // the interpreter running `snmp dispatch`
  std::string ecm;                    // the ECM of that dispatch
  int stacksRead = 0;
  bool v1 = true, v2c = true;
  // Received requests a script keeps to answer later: the engine's state behind a small number,
  // because the bob's "stateref" field is a 32-bit word.
  std::unordered_map<int32_t, void *> states;
  int32_t nextState = 0;
};
State &state() {
  static State s;
  return s;
}

int32_t keepState(void *stateRef) {
  if (stateRef == nullptr) return 0;
  State &s = state();
  // A script may drop a request it meant to answer later; the engine forgets such states after a
  // while, and so do we, so the table stays as small as the requests really pending.
  if (s.states.size() >= 64) {
    for (auto it = s.states.begin(); it != s.states.end();)
      it = isReceivedState(static_cast<const MpmState *>(it->second)) ? std::next(it) : s.states.erase(it);
  }
  do s.nextState = s.nextState == INT32_MAX ? 1 : s.nextState + 1;
  while (s.states.count(s.nextState));
  s.states[s.nextState] = stateRef;
  return s.nextState;
}
void *takeState(int32_t handle) {
  auto it = state().states.find(handle);
  if (it == state().states.end()) return nullptr;
  void *stateRef = it->second;
  state().states.erase(it);
  return stateRef;
}

// Callbacks run in the interpreter that is dispatching, else in the one that set the engine up.
Tcl_Interp *callbackInterp(void *) { return state().current ? state().current : state().owner; }

void logf(const char *channel, const char *format, const char *a, const char *b = "") {
  char line[1024];
  snprintf(line, sizeof line, format, a, b);
  ddlPrint(channel, line);
  diagnostic(channel, line);
}

std::string result(Tcl_Interp *interp) { return Tcl_GetStringResult(interp); }

// A new "pdu" bob holding the engine part of a received message; null when the store refuses.
BobPdu *newPdu(const PduData *pdu, std::string &id) {
  bobEntry *e;
  const char *made = bobIdCreate("pdu", &e, -1, nullptr, 0);
  if (made == nullptr) return nullptr;
  id = made;
  auto *bob = static_cast<BobPdu *>(e->data);
  memcpy(&bob->pdu, pdu, sizeof(PduData));
  return bob;
}

// The stack switches come from the agent's configuration, read at the first request.
void readStacks(Tcl_Interp *interp) {
  State &s = state();
  if (s.stacksRead) return;
  s.stacksRead = 1;
  toe *node = toeGetCurrentObject(interp, TOE_SELECT_CURRENT);
  auto off = [node](const char *key) {
    const char *value = node ? toeLookupString(node, 3, "value", key) : nullptr;
    return value != nullptr && strcasecmp(value, "off") == 0;
  };
  s.v1 = !off(".config.current.SNMPv1");
  s.v2c = !off(".config.current.SNMPv2c");
}

// The received request's encoded binding list (from its SEQUENCE header to the end of the PDU).
bool requestList(const PduData *request, const unsigned char **list, uint32_t *length) {
  if (request->data == nullptr || request->length == 0 || request->data[0] == SNMP_PDU_V1TRAP) return false;
  Asn1Cursor c;
  initAsn1Cursor(&c, request->data, request->length);
  PduHeader header;
  if (decodePduHeader(&c, &header, request->v2) < 0) return false;
  *list = c.cur;
  *length = static_cast<uint32_t>(c.end - c.cur);
  return *length > 0;
}

// ---- callbacks from the engine ----

int responderCB(SnmpSlot *, PduData *request, VarBind *report, void *stateRef, SnmpArea *response,
                void *clientData) {
  Tcl_Interp *interp = callbackInterp(clientData);
  if (interp == nullptr) return SNMP_ERR_FAILURE;
  std::string id;
  BobPdu *bob = newPdu(request, id);
  if (bob == nullptr) return fail(interp, "Unable to decode pdu"), SNMP_ERR_PARSE;
  bob->stateref = keepState(stateRef);
  if (report != nullptr) memcpy(&bob->report, report, sizeof(VarBind));
  if (decodeBobPdu(bob, request) != 0) {
    takeState(bob->stateref);
    bobIdDestroy(id.c_str());
    fail(interp, "Unable to decode pdu");
    return SNMP_ERR_PARSE;
  }
  int tag = bob->received;
  auto drop = [&](int code) {
    takeState(bob->stateref);
    bobIdDestroy(id.c_str());
    return code;
  };
  readStacks(interp);
  State &s = state();
  if (((request->version == SNMP_V1 && !s.v1) || (request->version == SNMP_V2C && !s.v2c)) &&
      tag != SNMP_PDU_V2TRAP) {
    fail(interp, "Unknown version");
    return drop(SNMP_ERR_VERSION);
  }
  if (response != nullptr && response->buffer == request->data) {
    fail(interp, "malloc() for reply buffer failed");
    return drop(SNMP_ERR_FAILURE);
  }
  toe *node = toeGetCurrentObject(interp, TOE_SELECT_CURRENT);
  if (node == nullptr) {
    fail(interp, "Not in dictionary context");
    return drop(SNMP_ERR_FAILURE);
  }
  toeIncrRefCount(node);

  // The groups of the requester, for access control in the request methods.
  std::string name(reinterpret_cast<const char *>(request->securityName.octets), request->securityName.length);
  std::string groups = "ANYGROUP";
  setParameter(interp, node, "securityName", name.c_str());
  Tcl_ResetResult(interp);
  if (triggerMethod(interp, node, "group", "", nullptr, nullptr) == TCL_OK && *Tcl_GetStringResult(interp))
    groups += std::string(" ") + Tcl_GetStringResult(interp);
  clearParameter(interp, node, "securityName");
  cvtStringSet(&bob->groups, groups.c_str(), static_cast<uint32_t>(groups.size() + 1));

  if (setParameter(interp, node, "pdu", id.c_str()) != 0) {
    toeDecrRefCount(node);
    fail(interp, "setParameter(\"pdu\", bobId) failed");
    return drop(SNMP_ERR_FAILURE);
  }
  Tcl_ResetResult(interp);
  const char *ecm = s.ecm.empty() ? nullptr : s.ecm.c_str();
  int code = triggerCommandOrMethod(interp, node, "pdu", snmpPduTypeName(tag), ecm, nullptr);
  std::string answer = result(interp);
  clearParameter(interp, node, "pdu");
  toeDecrRefCount(node);

  bool confirmed = (snmpPduFlags(tag) & SNMP_PDU_FLAG_CONFIRMED) != 0 && response != nullptr;
  bob = snmpPduOf(id.c_str());  // the handler may have destroyed it
  if (code == TCL_OK && answer.empty() && confirmed && bob != nullptr) {
    Tcl_ResetResult(interp);
    return 0;  // the script keeps the bob and answers later
  }
  int outcome = 0;
  if (code != TCL_OK && answer.empty()) {
    outcome = SNMP_ERR_PDU_HANDLER;
  } else if (code != TCL_OK) {
    logf("warning", "responderCB: %s)\n", answer.c_str());
    if (bob != nullptr) {
      bob->error_status = 5;
      bob->error_index = 0;
    }
  }
  Tcl_ResetResult(interp);
  if (bob == nullptr) return outcome ? outcome : SNMP_ERR_FAILURE;
  if (confirmed && outcome == 0) {
    bob->type = SNMP_PDU_RESPONSE;
    const unsigned char *list = nullptr;
    uint32_t listLength = 0;
    if (!requestList(request, &list, &listLength)) list = nullptr;
    if (encodeBobPdu(bob, response, list, listLength) < 0) outcome = SNMP_ERR_FAILURE;
  }
  return drop(outcome);
}

int generatorCB(int32_t, PduData *pdu, VarBind *report, void *clientData) {
  Tcl_Interp *interp = callbackInterp(clientData);
  if (interp == nullptr) return SNMP_ERR_FAILURE;
  std::string id;
  BobPdu *bob = newPdu(pdu, id);
  if (bob == nullptr) return fail(interp, "Unable to create/decode pdu"), SNMP_ERR_FAILURE;
  if (report != nullptr) memcpy(&bob->report, report, sizeof(VarBind));
  if (decodeBobPdu(bob, pdu) != 0) {
    bobIdDestroy(id.c_str());
    fail(interp, "Unable to create/decode pdu");
    return SNMP_ERR_PARSE;
  }
  toe *node = toeGetCurrentObject(interp, TOE_SELECT_CURRENT);
  if (node == nullptr) {
    bobIdDestroy(id.c_str());
    fail(interp, "Not in dictionary context");
    return SNMP_ERR_FAILURE;
  }
  toeIncrRefCount(node);
  int code = TCL_ERROR;
  if (setParameter(interp, node, "pdu", id.c_str()) == 0) {
    Tcl_ResetResult(interp);
    const char *ecm = state().ecm.empty() ? nullptr : state().ecm.c_str();
    code = triggerCommandOrMethod(interp, node, "pdu", snmpPduTypeName(bob->received), ecm, nullptr);
    clearParameter(interp, node, "pdu");
  } else {
    fail(interp, "strdup(bobId) failed");
  }
  toeDecrRefCount(node);
  bool kept = code == TCL_OK && id == Tcl_GetStringResult(interp);
  if (!kept && bobIdLookup(id.c_str()) != nullptr) bobIdDestroy(id.c_str());
  if (code != TCL_OK) return *Tcl_GetStringResult(interp) ? SNMP_ERR_FAILURE : SNMP_ERR_PDU_HANDLER;
  Tcl_ResetResult(interp);
  return 0;
}

// ---- engine set-up ----

void registerResponders() {
  State &s = state();
  if (s.localRegistration) unregisterSnmpResponder(s.localRegistration, responderCB, nullptr);
  if (s.emptyRegistration) unregisterSnmpResponder(s.emptyRegistration, responderCB, nullptr);
  s.localRegistration = registerSnmpResponder(&_snmp.snmpEngineID, -1, responderCB, nullptr);
  static const AdminString empty = {0, {0}};
  s.emptyRegistration = _snmp.snmpEngineID.length ? registerSnmpResponder(&empty, -1, responderCB, nullptr) : nullptr;
}

void setLocalAddress() {
  // The host's own name, resolved as transport addresses are; the loopback when it does not resolve.
  char host[256] = "localhost";
  gethostname(host, sizeof host - 1);
  in_addr address{};
  if (!telvi::io::resolveInetHost(host, address)) address.s_addr = htonl(INADDR_LOOPBACK);
  TInfo info{};
  memcpy(info.domain, snmpUDPDomain, (snmpUDPDomain[0] + 1) * sizeof(uint32_t));
  setSnmpTInfoHost(&info, ntohl(address.s_addr));
  setSnmpTInfoPort(&info, 0);
  memcpy(_snmp.domain, info.domain, sizeof info.domain);
  memcpy(&_snmp.address, &info.address, sizeof info.address);
}

// ---- texts ----

std::string hex(const unsigned char *octets, uint32_t length) {
  std::string text(static_cast<size_t>(length) * 3 + 1, '\0');
  int n = snmpHintFormatOctets(kHexHint, octets, length, text.data(), static_cast<uint32_t>(text.size()));
  text.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return text;
}

// Parses text under the hint into at most max octets; false when it does not parse whole.
bool parseOctets(const char *hint, const char *text, std::vector<unsigned char> &octets, uint32_t max) {
  octets.assign(max + 1, 0);
  if (hint == nullptr || *hint == 0) {
    size_t n = strlen(text);
    if (n > max) return false;
    memcpy(octets.data(), text, n);
    octets.resize(n);
    return true;
  }
  if (*text == 0) {
    octets.clear();
    return true;
  }
  const char *end = text;
  int n = snmpHintParseOctets(hint, text, octets.data(), max, &end);
  if (n < 0 || *end != 0) return false;
  octets.resize(static_cast<size_t>(n));
  return true;
}

bool parseAdmin(const char *hint, const char *text, AdminString *admin, uint32_t max) {
  std::vector<unsigned char> octets;
  if (!parseOctets(hint, text, octets, max)) return false;
  return setAdminString(admin, octets.data(), static_cast<uint32_t>(octets.size()), max) == 0;
}

std::string formatOctets(const char *hint, const unsigned char *octets, uint32_t length) {
  std::string text;
  return telvi::snmp::formatOctetsWhole(hint, octets, length, text) ? text : std::string();
}

bool parseOid(const char *text, uint32_t *oid) {
  const char *end = text;
  return strtooid(text, &end, oid) > 0 && *end == 0;
}

std::string oidText(const uint32_t *oid) {
  char text[kMaxOidText];
  return oidtostr(oid, text, sizeof text) ? text : "";
}

// A complete unsigned number: decimal, 0 octal or 0x hexadecimal.
bool wholeNumber(const char *text, uint32_t *value) {
  if (*text == 0 || *text == '-' || isspace(static_cast<unsigned char>(*text))) return false;
  errno = 0;
  char *end;
  unsigned long long n = strtoull(text, &end, 0);
  if (*end != 0 || errno != 0 || n > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(n);
  return true;
}

// ---- the named engine fields ----

struct StringField {
  const char *name;
  AdminString *field;
  bool writable;
  uint32_t max;
  const char *hint;
};
const StringField *stringField(const char *name) {
  static const StringField fields[] = {
      {"sysDescr", &_snmp.sysDescr, true, 255, nullptr},
      {"sysContact", &_snmp.sysContact, true, 255, nullptr},
      {"sysName", &_snmp.sysName, true, 255, nullptr},
      {"sysLocation", &_snmp.sysLocation, true, 255, nullptr},
      {"snmpEngineID", &_snmp.snmpEngineID, false, 32, kHexHint},
      {"agentID", &_snmp.snmpEngineID, false, 32, kHexHint},
      {"address", &_snmp.address, true, 255, kAddressHint},
  };
  for (const StringField &f : fields)
    if (strcmp(f.name, name) == 0) return &f;
  return nullptr;
}

uint32_t *unsignedField(const char *name) {
  struct Named {
    const char *name;
    uint32_t *field;
    bool clock;
  };
  static const Named fields[] = {
      {"sysUpTime", &_snmp.sysUpTime, true},
      {"snmpEngineTime", &_snmp.snmpEngineTime, true},
      {"agentTime", &_snmp.snmpEngineTime, true},
      {"snmpEngineBoots", &_snmp.snmpEngineBoots, false},
      {"agentBoots", &_snmp.snmpEngineBoots, false},
      {"snmpEngineMaxMessageSize", &_snmp.snmpEngineMaxMessageSize, false},
      {"agentSize", &_snmp.snmpEngineMaxMessageSize, false},
  };
  for (const Named &f : fields)
    if (strcmp(f.name, name) == 0) {
      if (f.clock) updateSnmpTime();
      return f.field;
    }
  return getSnmpCounter(name);
}

// ---- snmp get / set ----

int getUser(Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 5) return fail(interp, "Usage:\t snmp get", " <engineId> <userName>\n");
  AdminString engineId, userName;
  if (!parseAdmin(kHexHint, argv[3], &engineId, SNMP_MAX_ENGINE_ID)) return fail(interp, "Invalid engine ID: ", argv[3]);
  size_t n = strlen(argv[4]);
  if (n == 0 || n > 32) return fail(interp, "Invalid user name: ", argv[4]);
  setAdminString(&userName, argv[4], static_cast<uint32_t>(n), 255);
  SnmpUser *user = getSnmpUser(&engineId, &userName);
  if (user == nullptr) return fail(interp, "Unable to get user: ", argv[3], " ", argv[4]);
  auto protocol = [](const uint32_t *oid) { return oid[0] ? oidText(oid) : std::string("0.0"); };
  auto key = [](const AdminString &k) { return k.length ? hex(k.octets, k.length) : std::string("{}"); };
  std::string text = (*argv[3] ? argv[3] : "{}");
  text += std::string(" ") + argv[4] + " " + protocol(user->authProtocol) + " " + key(user->authKey) + " " +
          protocol(user->privProtocol) + " " + key(user->privKey) + " " + std::to_string(user->rowStatus);
  Tcl_SetResult(interp, const_cast<char *>(text.c_str()), TCL_VOLATILE);
  return TCL_OK;
}

int snmpGet(Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 3) return fail(interp, "Usage:\t", argv[0], " ", argv[1], " <name> ...");
  if (strcmp(argv[2], "user") == 0) return getUser(interp, argc, argv);
  std::string text;
  for (int i = 2; i < argc; ++i) {
    std::string value;
    if (uint32_t *u = unsignedField(argv[i])) {
      value = std::to_string(*u);
    } else if (const StringField *f = stringField(argv[i])) {
      value = formatOctets(f->hint, f->field->octets, f->field->length);
    } else if (strcmp(argv[i], "sysObjectID") == 0) {
      value = oidText(_snmp.sysObjectID);
    } else if (strcmp(argv[i], "domain") == 0) {
      value = oidText(_snmp.domain);
    } else {
      return fail(interp, "Invalid SNMP name: ", argv[i]);
    }
    if (i > 2) text += ' ';
    text += value;
  }
  Tcl_SetResult(interp, const_cast<char *>(text.c_str()), TCL_VOLATILE);
  return TCL_OK;
}

int setUser(Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 10)
    return fail(interp, "Usage:\t", argv[0], " ", argv[1], " ", argv[2],
                " <engineId> <userName> <authProtocol> <authKey>\n\t<privProtocol> <privKey> <rowStatus>");
  AdminString engineId, userName, authKey{}, privKey{};
  Oid auth{}, priv{};
  if (!parseAdmin(kHexHint, argv[3], &engineId, SNMP_MAX_ENGINE_ID)) return fail(interp, "Invalid engine ID: ", argv[3]);
  size_t n = strlen(argv[4]);
  if (n == 0 || n > 32) return fail(interp, "Invalid user name: ", argv[4]);
  setAdminString(&userName, argv[4], static_cast<uint32_t>(n), 255);
  uint32_t status;
  if (!wholeNumber(argv[9], &status) || status < 1 || status > 6) return fail(interp, "Invalid row status: ", argv[9]);
  if (status != 6) {
    if (*argv[5] && !parseOid(argv[5], auth)) return fail(interp, "Invalid auth protocol: ", argv[5]);
    if (!parseAdmin(kHexHint, argv[6], &authKey, 256)) return fail(interp, "Invalid auth key: ", argv[6]);
    if (*argv[7] && !parseOid(argv[7], priv)) return fail(interp, "Invalid priv protocol: ", argv[7]);
    if (!parseAdmin(kHexHint, argv[8], &privKey, 256)) return fail(interp, "Invalid priv key: ", argv[8]);
  }
  SnmpUser *user = addSnmpUser(&engineId, &userName);
  if (user == nullptr) return fail(interp, "Unable to set user: ", argv[3], " ", argv[4]);
  if (status == 6) {
    deleteSnmpUser(&engineId, &userName);
  } else {
    memcpy(&user->securityName, &userName, sizeof userName);
    memcpy(user->authProtocol, auth, sizeof auth);
    memcpy(&user->authKey, &authKey, sizeof authKey);
    memcpy(user->privProtocol, priv, sizeof priv);
    memcpy(&user->privKey, &privKey, sizeof privKey);
    user->rowStatus = static_cast<int32_t>(status);
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int setEngine(Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 5 && argc != 6)
    return fail(interp, "Usage:\t", argv[0], " ", argv[1], " ", argv[2], " <engineId> <boots> [<time>]");
  AdminString engineId;
  if (!parseAdmin(kHexHint, argv[3], &engineId, SNMP_MAX_ENGINE_ID) || engineId.length != 12)
    return fail(interp, "Invalid snmpEngineID (12 hex octets): ", argv[3]);
  uint32_t boots, time = 0;
  if (!wholeNumber(argv[4], &boots)) return fail(interp, "Invalid snmpEngineBoots value: ", argv[4]);
  if (argc == 6 && !wholeNumber(argv[5], &time)) return fail(interp, "Invalid snmpEngineTime value: ", argv[5]);
  // The engine ID names this host: its octets 6 to 9 are the host's IPv4 address.
  if (telvi::ber::decodeAsn1Word(engineId.octets + 5, 4) != snmpLocalHost()) return fail(interp, "Host IP address mismatch");
  if (argc == 6) setSnmpEngineTime(time);
  uint32_t newBoots = configureSnmpEngine(&engineId, boots, _snmp.snmpEngineMaxMessageSize);
  if (_snmp.snmpEngineID.length != 12) return fail(interp, "Unable to set engine parameters");
  registerResponders();
  Tcl_SetResult(interp, const_cast<char *>(std::to_string(newBoots).c_str()), TCL_VOLATILE);
  return TCL_OK;
}

int snmpSet(Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc >= 3 && strcmp(argv[2], "user") == 0) return setUser(interp, argc, argv);
  if (argc >= 3 && strcmp(argv[2], "engine") == 0) return setEngine(interp, argc, argv);
  if (argc < 4 || argc % 2 != 0)
    return fail(interp, "Usage:\t", argv[0], " ", argv[1], " {user|engine}\n\t", " <name> <value> ...");
  for (int i = 2; i + 1 < argc; i += 2) {
    const char *name = argv[i], *value = argv[i + 1];
    if (const StringField *f = stringField(name)) {
      if (!f->writable) return fail(interp, "noAccess");
      AdminString parsed;
      if (!parseAdmin(f->hint, value, &parsed, f->max)) return fail(interp, "wrongLength");
      memcpy(f->field, &parsed, sizeof parsed);
    } else if (strcmp(name, "sysObjectID") == 0) {
      Oid oid;
      if (!parseOid(value, oid)) return fail(interp, "invalid OID");
      memcpy(_snmp.sysObjectID, oid, sizeof oid);
    } else if (strcmp(name, "domain") == 0 || unsignedField(name) != nullptr) {
      return fail(interp, "noAccess");
    } else {
      return fail(interp, "Invalid SNMP name: ", name);
    }
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// ---- snmp key ----

int snmpKey(Tcl_Interp *interp, int argc, const char *argv[]) {
  static const char kKey[] = "snmp key";
  if (argc < 4) return fail(interp, "Usage: ", kKey, " <protocolOID>", " {create|localize|createchange|applychange} <args>");
  Oid oid;
  if (!parseOid(argv[2], oid)) return fail(interp, kKey, ": bad protocol OID ", argv[2]);
  const SnmpAuthProtocol *protocol = snmpAuthProtocol(oid);
  if (protocol == nullptr || protocol->keys == nullptr) return fail(interp, kKey, ": unknown protocol OID ", argv[2]);
  const SnmpKeyFunctions *keys = protocol->keys;
  const char *sub = argv[3];
  auto readKey = [&](const char *text, AdminString *key) {
    if (parseAdmin(kHexHint, text, key, 128)) return true;
    fail(interp, kKey, ": invalid key ", text);
    return false;
  };
  auto readLength = [&](const char *text, uint32_t *length) {
    if (wholeNumber(text, length)) return true;
    fail(interp, kKey, ": invalid maxlen ", text);
    return false;
  };
  AdminString key{}, other{}, out{};
  uint32_t length;
  int code;
  if (strcmp(sub, "create") == 0) {
    if (argc != 5) return fail(interp, "Usage: ", kKey, " <protocolOID>", " create <passwd>");
    code = keys->createKey(&out, argv[4]);
  } else if (strcmp(sub, "localize") == 0) {
    if (argc != 6) return fail(interp, "Usage: ", kKey, " <protocolOID>", " localize <key> <engineID>");
    if (!readKey(argv[4], &out) || !readKey(argv[5], &other)) return TCL_ERROR;
    code = keys->localizeKey(&out, &other);
  } else if (strcmp(sub, "createchange") == 0) {
    if (argc != 7) return fail(interp, "Usage: ", kKey, " <protocolOID>", " createchange <oldkey> <newkey> <maxlen>");
    if (!readKey(argv[4], &key) || !readKey(argv[5], &other) || !readLength(argv[6], &length)) return TCL_ERROR;
    code = keys->createKeyChange(&key, &other, &out, length);
  } else if (strcmp(sub, "applychange") == 0) {
    if (argc != 7) return fail(interp, "Usage: ", kKey, " <protocolOID>", " applychange <oldkey> <keychange> <maxlen>");
    if (!readKey(argv[4], &key) || !readKey(argv[5], &other) || !readLength(argv[6], &length)) return TCL_ERROR;
    code = keys->applyKeyChange(&key, &out, &other, length);
  } else {
    return fail(interp, "Usage: ", kKey, " <protocolOID>", " {create|localize|createchange|applychange} <args>");
  }
  if (code != 0) return fail(interp, kKey, ": ", sub, " failed");
  std::string text = hex(out.octets, out.length);
  Tcl_SetResult(interp, const_cast<char *>(text.c_str()), TCL_VOLATILE);
  return TCL_OK;
}

// ---- snmp dispatch ----

int snmpDispatch(Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 4) return fail(interp, "Usage:\t", argv[0], " ", argv[1], " <ecm> <arc>");
  int count;
  const char **words;
  if (Tcl_SplitList(nullptr, argv[3], &count, &words) != TCL_OK) return fail(interp, "Invalid arc: ", argv[3]);
  std::vector<std::string> arc(words, words + count);
  Tcl_Free(reinterpret_cast<char *>(words));
  if (count != 3) return fail(interp, "Invalid arc: ", argv[3]);
  bobEntry *e = bobIdLookup(arc[2].c_str());
  if (e == nullptr || strcmp(e->type->name, "netbuf") != 0 || (e->flags & (BOB_ARRAY | BOB_EXTERNAL)))
    return fail(interp, "Invalid netbuf bob id: ", arc[2].c_str());
  // The datagram must have come from a UDP socket of the inet class.
  std::string className;
  int fd;
  if (telvi::io::channelInterface(interp, arc[0].c_str(), &fd)) {
    const char *spec = nullptr;
    if (interfaceInfo(fd, nullptr, nullptr, nullptr, &spec, nullptr, nullptr) == 0 && spec != nullptr)
      className.assign(spec, strcspn(spec, ":"));
  } else {
    className = arc[0];
  }
  if (className != "inet") return fail(interp, "Invalid interface class: ", className.c_str());
  Tcl_ResetResult(interp);

  auto *netbuf = static_cast<BobNetbuf *>(e->data);
  TInfo peer = netbuf->info;
  memcpy(peer.domain, _snmp.domain, sizeof peer.domain);
  uint32_t length = netbuf->buf.buffer ? netbuf->buf.length : 0;
  // Room for the largest answer, and never less than the datagram already holds.
  uint32_t room = std::max<uint32_t>(length, SNMPV2_MAX_MESSAGE);
  auto *bytes = static_cast<char *>(realloc(netbuf->buf.buffer, room + 1));
  if (bytes == nullptr) return fail(interp, "realloc() failed");
  netbuf->buf.buffer = bytes;
  Netbuf message{peer, room, length, reinterpret_cast<unsigned char *>(bytes)};

  State &s = state();
  Tcl_Interp *outer = s.current;
  std::string outerEcm = s.ecm;
  s.current = interp;
  s.ecm = argv[2];
  std::string id = arc[2];
  int code = dispatchSnmpMsg(&message);
  s.current = outer;
  s.ecm = outerEcm;

  std::string handler = result(interp);
  Tcl_ResetResult(interp);
  // The handler may have destroyed the datagram's bob.
  e = bobIdLookup(id.c_str());
  netbuf = e != nullptr && strcmp(e->type->name, "netbuf") == 0 ? static_cast<BobNetbuf *>(e->data) : nullptr;
  bool answered = message.length > 0 && netbuf != nullptr;
  if (code < 0 && !answered) {
    if (!handler.empty()) logf("warning", "%s\n", handler.c_str());
    logf("warning", "SNMP %s: %s\n", snmpErrorToStr(code), _snmp.trace);
    if (netbuf != nullptr) bobIdDestroy(id.c_str());
    return fail(interp, "SNMP ", snmpErrorToStr(code), ": ", _snmp.trace);
  }
  if (!answered) {
    if (netbuf != nullptr) bobIdDestroy(id.c_str());
    return TCL_OK;
  }
  // A Report (or an answer) was written into the datagram's buffer: it goes back to the sender.
  if (code < 0 || _snmp.trace[0]) logf("warning", "SNMP Report: %s\n", _snmp.trace);
  netbuf->buf.length = message.length;
  netbuf->buf.buffer[message.length] = 0;
  netbuf->info = message.info;
  Tcl_SetResult(interp, const_cast<char *>(id.c_str()), TCL_VOLATILE);
  return TCL_OK;
}

int cmdSnmp(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 2) return fail(interp, "Usage:\t", argv[0], " {dispatch|get|set|key}");
  if (strcmp(argv[1], "dispatch") == 0) return snmpDispatch(interp, argc, argv);
  if (strcmp(argv[1], "get") == 0) return snmpGet(interp, argc, argv);
  if (strcmp(argv[1], "set") == 0) return snmpSet(interp, argc, argv);
  if (strcmp(argv[1], "key") == 0) return snmpKey(interp, argc, argv);
  return fail(interp, "Usage:\t", argv[0], " {dispatch|get|set|key}");
}

// ---- index and URL conversions ----

int setText(Tcl_Interp *interp, const std::string &text) {
  Tcl_SetResult(interp, const_cast<char *>(text.c_str()), TCL_VOLATILE);
  return TCL_OK;
}

int cmdStrToUrl(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return fail(interp, "Usage:\t", argv[0], " <str> <display-hint>");
  std::vector<unsigned char> octets;
  if (!parseOctets(argv[2], argv[1], octets, 127))
    return fail(interp, argv[0], ": \"", argv[1], "\" does not match the display hint \"", argv[2],
                "\" in at most 127 octets");
  std::string text(octets.size() * 3 + 1, '\0');
  int n = encodeUrlOctets(octets.data(), static_cast<uint32_t>(octets.size()), text.data(),
                          static_cast<uint32_t>(text.size()));
  text.resize(static_cast<size_t>(n));
  return setText(interp, text);
}

int cmdUrlToStr(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2 && argc != 3) return fail(interp, "Usage:\t", argv[0], " <str> [<display-hint>]");
  std::vector<unsigned char> octets(strlen(argv[1]) + 1);
  int n = decodeUrlOctets(argv[1], octets.data(), static_cast<uint32_t>(octets.size()));
  const char *hint = argc == 3 ? argv[2] : "";
  std::string text = formatOctets(hint, octets.data(), static_cast<uint32_t>(n));
  if (n > 0 && text.empty()) return fail(interp, argv[0], ": invalid display hint \"", hint, "\"");
  return setText(interp, text);
}

int cmdIndexStrToOid(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2 && argc != 3) return fail(interp, "Usage:\t", argv[0], " <str> [[+]<display-hint>]");
  const char *hint = argc == 3 ? argv[2] : nullptr;
  bool counted = hint != nullptr && *hint == '+';
  if (counted) ++hint;
  std::vector<unsigned char> octets;
  const uint32_t kMax = 511;
  if (hint == nullptr || *hint == 0) {
    // Without a hint the text is URL octet text.
    octets.resize(strlen(argv[1]) + 1);
    int n = decodeUrlOctets(argv[1], octets.data(), static_cast<uint32_t>(octets.size()));
    octets.resize(static_cast<size_t>(n));
    if (octets.size() > kMax) return fail(interp, argv[0], ": more than 511 octets in \"", argv[1], "\"");
  } else if (!parseOctets(hint, argv[1], octets, kMax)) {
    return fail(interp, argv[0], ": \"", argv[1], "\" does not match the display hint \"", hint,
                "\" in at most 511 octets");
  }
  std::string text;
  if (counted) text = std::to_string(octets.size());
  for (unsigned char octet : octets) {
    if (!text.empty()) text += '.';
    text += std::to_string(octet);
  }
  return setText(interp, text);
}

int cmdIndexOidToStr(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 2 || argc > 4) return fail(interp, "Usage:\t", argv[0], " <oid> [[+]<display-hint> [<size>]]");
  if (strlen(argv[1]) >= 1148) return fail(interp, argv[0], " too long");
  const char *hint = argc >= 3 ? argv[2] : "";
  bool counted = *hint == '+';
  if (counted) ++hint;
  // Put two arcs in front so that any list of arcs parses as an OID.
  std::string text = std::string("0.0") + (*argv[1] ? "." : "") + argv[1];
  Oid oid;
  const char *end = text.c_str();
  if (strtooid(text.c_str(), &end, oid) == 0 || *end != 0)
    return fail(interp, argv[0], ": invalid OID \"", argv[1], "\"");
  uint32_t arcs = oid[0] - 2, at = 3, count = arcs;
  if (counted) {
    if (arcs == 0) return fail(interp, argv[0], ": no octet count in \"", argv[1], "\"");
    count = oid[at++];
    --arcs;
  } else if (argc == 4) {
    uint32_t size;
    if (!wholeNumber(argv[3], &size)) return fail(interp, argv[0], ": invalid size \"", argv[3], "\"");
    count = size;
  }
  if (count > arcs) return fail(interp, argv[0], ": ", std::to_string(count).c_str(), " octets wanted, ",
                                std::to_string(arcs).c_str(), " arcs in \"", argv[1], "\"");
  std::vector<unsigned char> octets;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t arc = oid[at + i];
    if (arc > 255) return fail(interp, argv[0], ": arc ", std::to_string(arc).c_str(), " is not an octet");
    octets.push_back(static_cast<unsigned char>(arc));
  }
  std::string str = formatOctets(hint, octets.data(), count);
  if (count > 0 && str.empty()) return fail(interp, argv[0], ": the octets do not render under the display hint \"", hint, "\"");
  std::string rest;
  for (uint32_t i = at + count; i <= oid[0]; ++i) {
    if (!rest.empty()) rest += '.';
    rest += std::to_string(oid[i]);
  }
  Tcl_ResetResult(interp);
  Tcl_AppendElement(interp, str.c_str());
  Tcl_AppendElement(interp, rest.c_str());
  return TCL_OK;
}

int cmdOidCmp(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return fail(interp, "usage: ", argv[0], " oid1 oid2");
  return setText(interp, std::to_string(oidTextCompare(argv[1], argv[2])));
}

void forgetInterp(ClientData, Tcl_Interp *interp) {
  State &s = state();
  if (s.owner == interp) s.owner = nullptr;
  if (s.current == interp) s.current = nullptr;
}

}  // namespace

extern "C" {

BobPdu *snmpPduOf(const char *id) {
  bobEntry *e = id ? bobIdLookup(id) : nullptr;
  if (e == nullptr || e->type == nullptr || strcmp(e->type->name, "pdu") != 0 || (e->flags & (BOB_ARRAY | BOB_EXTERNAL)))
    return nullptr;
  return static_cast<BobPdu *>(e->data);
}

int encodeUrlOctets(const unsigned char *octets, uint32_t length, char *text, uint32_t size) {
  static const char digits[] = "0123456789abcdef";
  uint32_t used = 0;
  for (uint32_t i = 0; i < length; ++i) {
    unsigned char c = octets[i];
    bool plain = c > ' ' && c < 0x7f && (isalnum(c) || strchr("_+-/:", c) != nullptr);
    if (size < 4 || used > size - 4) break;  // keep room for an escape and the NUL
    if (plain) {
      text[used++] = static_cast<char>(c);
    } else {
      text[used++] = '?';
      text[used++] = digits[c >> 4];
      text[used++] = digits[c & 15];
    }
  }
  if (size > 0) text[used < size ? used : size - 1] = 0;
  return static_cast<int>(used);
}

int decodeUrlOctets(const char *text, unsigned char *octets, uint32_t size) {
  uint32_t n = 0;
  while (*text && n < size) {
    if (text[0] == '?' && isxdigit(static_cast<unsigned char>(text[1])) && isxdigit(static_cast<unsigned char>(text[2]))) {
      char pair[3] = {text[1], text[2], 0};
      octets[n++] = static_cast<unsigned char>(strtoul(pair, nullptr, 16));
      text += 3;
    } else {
      octets[n++] = static_cast<unsigned char>(*text++);
    }
  }
  return static_cast<int>(n);
}

int oidTextCompare(const char *a, const char *b) {
  while (true) {
    if (*a == 0 || *b == 0) {
      // The text that ends first sorts first, unless what is left of the other is only dots.
      const char *rest = *a ? a : b;
      while (*rest == '.') ++rest;
      if (*rest == 0) return 0;
      return *a == 0 ? -1 : 1;
    }
    bool emptyA = *a == '.', emptyB = *b == '.';
    unsigned long long x = strtoull(a, nullptr, 10), y = strtoull(b, nullptr, 10);
    if (!isdigit(static_cast<unsigned char>(*a))) x = 0;
    if (!isdigit(static_cast<unsigned char>(*b))) y = 0;
    if (emptyA != emptyB) return emptyA ? -1 : 1;
    if (x != y) return x < y ? -1 : 1;
    a += strcspn(a, ".");
    b += strcspn(b, ".");
    if (*a == '.') ++a;
    if (*b == '.') ++b;
  }
}

char *bobCvtPduToNetbuf(const char *id) {
  BobPdu *bob = snmpPduOf(id);
  if (bob == nullptr) {
    logf("warning", "Invalid pdu bob: %s\n", id ? id : "");
    return nullptr;
  }
  bobEntry *e;
  const char *made = bobIdCreate("netbuf", &e, -1, nullptr, 0);
  if (made == nullptr) {
    logf("warning", "%s", "Unable to create netbuf bob\n");
    return nullptr;
  }
  std::string netbufId = made;
  auto *netbuf = static_cast<BobNetbuf *>(e->data);
  auto *buffer = static_cast<unsigned char *>(malloc(SNMPV2_MAX_MESSAGE + 1));
  auto *area = static_cast<unsigned char *>(malloc(SNMPV2_MAX_MESSAGE));
  if (buffer == nullptr || area == nullptr) {
    free(buffer);
    free(area);
    logf("error", "%s", "malloc() failed\n");
    bobIdDestroy(netbufId.c_str());
    return nullptr;
  }
  netbuf->buf.buffer = reinterpret_cast<char *>(buffer);
  netbuf->buf.length = 0;
  bob->pdu.model = 0;
  bob->pdu.v2 = bob->pdu.version != SNMP_V1;
  SnmpArea pduArea = {SNMPV2_MAX_MESSAGE, 0, area};
  Netbuf message{bob->pdu.info, SNMPV2_MAX_MESSAGE, 0, buffer};
  int tag = encodeBobPdu(bob, &pduArea, nullptr, 0);
  int code = SNMP_ERR_FAILURE;
  traceClear();
  if (tag < 0) {
    traceAppend("the pdu cannot be encoded as %s", bob->pdu.version == SNMP_V1 ? "SNMPv1" : "SNMPv2");
  } else {
    PduData record = bob->pdu;
    record.data = area;
    record.length = pduArea.length;
    record.capacity = pduArea.capacity;
    if (snmpPduFlags(tag) & SNMP_PDU_FLAG_RESPONSE) {
      void *stateRef = takeState(bob->stateref);
      bob->stateref = 0;
      code = stateRef ? encodeSnmpMsg(&record, -1, &bob->report, stateRef, &message) : SNMP_ERR_FAILURE;
      if (stateRef == nullptr) traceAppend("no request to answer (stateref)");
    } else {
      code = encodeSendSnmpPdu(state().context, &record, &message);
    }
  }
  free(area);
  if (code < 0) {
    logf("warning", "SNMP %s: %s\n", snmpErrorToStr(code), _snmp.trace);
    bobIdDestroy(netbufId.c_str());
    return nullptr;
  }
  netbuf->buf.length = message.length;
  netbuf->info = bob->pdu.info;
  return strdup(netbufId.c_str());
}

int Snmpv2_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {{"snmp", cmdSnmp},
                                 {"indexStrToOid", cmdIndexStrToOid},
                                 {"indexOidToStr", cmdIndexOidToStr},
                                 {"strtourl", cmdStrToUrl},
                                 {"urltostr", cmdUrlToStr},
                                 {"oidcmp", cmdOidCmp}});
  bobRegisterSnmpTypes();
  bobRegisterConverter(bobCvtPduToNetbuf, "pdu", "netbuf");
  State &s = state();
  if (s.owner == nullptr) {
    static bool engineStarted = false;
    if (!engineStarted) {
      engineStarted = true;
      initializeSnmp();
      _snmp.snmpEngineMaxMessageSize = SNMPV2_MAX_MESSAGE;
      setLocalAddress();
    }
    // The first interpreter (or the next, once that one is gone) gets the engine's callbacks.
    s.owner = interp;
    if (s.context == nullptr) s.context = newSnmpAppContext(generatorCB, nullptr);
    if (s.localRegistration == nullptr) registerResponders();
    Tcl_CallWhenDeleted(interp, forgetInterp, nullptr);
  }
  return TCL_OK;
}

}  // extern "C"
