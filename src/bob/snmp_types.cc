// The SNMP data types of the bob store: messages, PDUs, bindings, values and transport addresses,
// with their text forms and name tables.
#include <arpa/inet.h>
#include <netdb.h>

#include <cctype>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bob/types.h"
#include "core/numparse.h"
#include "io/resolve.h"
#include "snmp/engine.h"
#include "telvi/bob.h"
#include "telvi/snmpv2.h"

namespace {

// ---- helpers ----

int giveText(char **string, const std::string &text) {
  if (string == nullptr) return -1;
  if (*string == nullptr) *string = static_cast<char *>(malloc(text.size() + 1));
  if (*string == nullptr) return -1;
  memcpy(*string, text.c_str(), text.size() + 1);
  return 0;
}

// A name table: value and name; reading gives the first name of a value.
struct Name {
  int32_t value;
  const char *name;
};

template <size_t N>
const char *nameOf(const Name (&table)[N], int32_t value) {
  for (const Name &n : table)
    if (n.value == value) return n.name;
  return nullptr;
}

template <size_t N>
bool valueOf(const Name (&table)[N], const char *name, int32_t *value) {
  for (const Name &n : table)
    if (strcmp(n.name, name) == 0) return *value = n.value, true;
  return false;
}

template <size_t N>
int tableTo(const Name (&table)[N], int32_t value, char **string) {
  const char *name = nameOf(table, value);
  return giveText(string, name ? std::string(name) : std::to_string(value));
}

template <size_t N>
int tableFrom(const Name (&table)[N], void *binary, const char *text) {
  int32_t value;
  if (binary == nullptr || text == nullptr || !valueOf(table, text, &value)) return -1;
  memcpy(binary, &value, sizeof value);
  return 0;
}

const Name msgVersions[] = {{0, "SNMPv1"}, {1, "SNMPv2c"}, {2, "SNMPv2u"}, {2, "SNMPv2usec"}};
const Name securityLevels[] = {{0, "noauth"}, {1, "auth"}, {2, ""}, {3, "priv"}};
const Name pduTypes[] = {{0xA0, "GetRequest"},  {0xA1, "GetNextRequest"}, {0xA2, "Response"},
                         {0xA3, "SetRequest"},  {0xA4, "SNMPv1Trap"},     {0xA5, "GetBulkRequest"},
                         {0xA6, "InformRequest"}, {0xA7, "SNMPv2Trap"},    {0xA8, "Report"}};
const Name errorStatuses[] = {
    {0, "noError"},        {1, "tooBig"},          {2, "noSuchName"},         {3, "badValue"},
    {4, "readOnly"},       {5, "genErr"},          {6, "noAccess"},           {7, "wrongType"},
    {8, "wrongLength"},    {9, "wrongEncoding"},   {10, "wrongValue"},        {11, "noCreation"},
    {12, "inconsistentValue"}, {13, "resourceUnavailable"}, {14, "commitFailed"}, {15, "undoFailed"},
    {16, "authorizationError"}, {17, "notWritable"}, {18, "inconsistentName"}};
const Name asn1Types[] = {
    {0x02, "Integer32"},    {0x04, "OCTET STRING"}, {0x05, "NULL"},          {0x06, "OBJECT IDENTIFIER"},
    {0x40, "IpAddress"},    {0x41, "Counter32"},    {0x42, "Unsigned32"},    {0x43, "TimeTicks"},
    {0x46, "Counter64"},    {0x80, "noSuchObject"}, {0x81, "noSuchInstance"}, {0x82, "endOfMibView"},
    {0x02, "INTEGER"},      {0x04, "DISPLAY STRING"}, {0x04, "DisplayString"}, {0x05, "ASN1 NULL"},
    {0x05, "unSpecified"},  {0x40, "NetworkAddress"}, {0x41, "Counter"},     {0x42, "Gauge"},
    {0x42, "Gauge32"}};

int32_t loadInt(const void *binary) {
  int32_t value;
  memcpy(&value, binary, sizeof value);
  return value;
}

// ---- scalar types ----

int msgVersionTo(void *b, char **s) { return b ? tableTo(msgVersions, loadInt(b), s) : -1; }
int msgVersionFrom(void *b, const char *t) { return tableFrom(msgVersions, b, t); }
int securityLevelTo(void *b, char **s) { return b ? tableTo(securityLevels, loadInt(b) & 3, s) : -1; }
int securityLevelFrom(void *b, const char *t) { return tableFrom(securityLevels, b, t); }
int errorStatusTo(void *b, char **s) { return b ? tableTo(errorStatuses, loadInt(b), s) : -1; }
int errorStatusFrom(void *b, const char *t) { return tableFrom(errorStatuses, b, t); }

int pduTypeTo(void *b, char **s) {
  if (b == nullptr) return -1;
  const char *name = snmpPduFlags(loadInt(b)) ? nameOf(pduTypes, loadInt(b)) : nullptr;
  return giveText(s, name ? name : "");
}
int pduTypeFrom(void *b, const char *t) {
  if (b != nullptr && t != nullptr && *t == 0) {
    int32_t zero = 0;
    memcpy(b, &zero, sizeof zero);
    return 0;
  }
  return tableFrom(pduTypes, b, t);
}

int oidTo(void *b, char **s) {
  if (b == nullptr) return -1;
  char text[ASN1_MAX_ARCS * 11 + 1];
  return giveText(s, oidtostr(static_cast<uint32_t *>(b), text, sizeof text));
}
int oidFrom(void *b, const char *t) {
  if (b == nullptr || t == nullptr) return -1;
  Oid oid;
  const char *end;
  if (strtooid(t, &end, oid) == 0 || *end != 0) return -1;
  memcpy(b, oid, (oid[0] + 1) * sizeof(uint32_t));
  return 0;
}

int adminTo(void *b, char **s) {
  if (b == nullptr) return -1;
  auto *a = static_cast<AdminString *>(b);
  return giveText(s, std::string(reinterpret_cast<const char *>(a->octets), a->length));
}
int adminFrom(void *b, const char *t) {
  if (b == nullptr || t == nullptr) return -1;
  size_t length = strlen(t);
  if (length >= 256) return -1;
  return setAdminString(static_cast<AdminString *>(b), t, static_cast<uint32_t>(length), 255);
}

int tcOctetsTo(void *b, char **s) {
  if (b == nullptr) return -1;
  auto *a = static_cast<AdminString *>(b);
  char text[256 * 3 + 1];
  snmpHintFormatOctets("1x:", a->octets, a->length, text, sizeof text);
  return giveText(s, text);
}
int readOnlyFrom(void *, const char *) { return -1; }

std::string dottedQuad(uint32_t address) {
  char text[16];
  snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 255, (address >> 8) & 255,
           address & 255);
  return text;
}
bool parseQuad(const char *t, uint32_t *address) {
  in_addr_t a = inet_addr(t);
  if (a == INADDR_NONE && strcmp(t, "255.255.255.255") != 0) return false;
  *address = ntohl(a);
  return true;
}

int ipAddressTo(void *b, char **s) {
  if (b == nullptr) return -1;
  uint32_t v;
  memcpy(&v, b, sizeof v);
  return giveText(s, dottedQuad(v));
}
int ipAddressFrom(void *b, const char *t) {
  uint32_t v;
  if (b == nullptr || t == nullptr || !parseQuad(t, &v)) return -1;
  memcpy(b, &v, sizeof v);
  return 0;
}

// The integer hint a value is shown and read under: its own, or plain decimal when it has none or
// one the formatter does not take (an octet hint, a typo), so that what is shown reads back.
const char *integerHint(const char *hint) {
  char text[96];
  return hint != nullptr && *hint && snmpHintFormatInteger(hint, 0, 0, text, sizeof text) >= 0 ? hint : "d";
}

std::string integerText(const char *hint, uint64_t value, bool isSigned) {
  char text[96];
  if (snmpHintFormatInteger(integerHint(hint), value, isSigned, text, sizeof text) < 0) text[0] = 0;
  return text;
}

// An integer under a hint, the whole text; false for anything else.
bool parseInteger(const char *hint, const char *t, bool isSigned, uint64_t *value) {
  const char *end;
  return snmpHintParseInteger(integerHint(hint), t, value, isSigned, &end) == 0 && *end == 0 && end != t;
}

// "<d>d <h>:<m>:<s>.<hundredths>" or a number under the hint the ticks are shown with (plain decimal
// by default).
bool parseTicks(const char *t, uint32_t *ticks, const char *hint = "d") {
  unsigned d, h, m, s, c;
  int used = 0;
  if (sscanf(t, "%ud %u:%u:%u.%u%n", &d, &h, &m, &s, &c, &used) == 5 && t[used] == 0) {
    uint64_t v = uint64_t{d} * 8640000 + uint64_t{h} * 360000 + uint64_t{m} * 6000 + uint64_t{s} * 100 + c;
    if (v > UINT32_MAX) return false;
    *ticks = static_cast<uint32_t>(v);
    return true;
  }
  uint64_t value;
  if (t[0] == '-' || !parseInteger(hint, t, false, &value) || value > UINT32_MAX) return false;
  *ticks = static_cast<uint32_t>(value);
  return true;
}

int timeTicksTo(void *b, char **s) {
  if (b == nullptr) return -1;
  uint32_t v;
  memcpy(&v, b, sizeof v);
  return giveText(s, integerText("d", v, false));
}
int timeTicksFrom(void *b, const char *t) {
  uint32_t v;
  if (b == nullptr || t == nullptr || !parseTicks(t, &v)) return -1;
  memcpy(b, &v, sizeof v);
  return 0;
}

// ---- transport ----

int domainTo(void *b, char **s) {
  if (b == nullptr) return -1;
  return giveText(s, oidcmp(static_cast<uint32_t *>(b), snmpUDPDomain) == 0 ? "inet" : "");
}
int domainFrom(void *b, const char *t) {
  if (b == nullptr || t == nullptr || strcmp(t, "inet") != 0) return -1;
  memcpy(b, snmpUDPDomain, (snmpUDPDomain[0] + 1) * sizeof(uint32_t));
  return 0;
}

int addressTo(void *b, char **s) {
  if (b == nullptr) return -1;
  auto *info = static_cast<TInfo *>(b);
  if (info->address.length != 6) return giveText(s, "0.0.0.0:0");
  char text[32];
  snmpHintFormatOctets("1d.1d.1d.1d:2d", info->address.octets, 6, text, sizeof text);
  return giveText(s, text);
}
int addressFrom(void *b, const char *t) {
  if (b == nullptr || t == nullptr) return -1;
  auto *info = static_cast<TInfo *>(b);
  if (oidcmp(info->domain, snmpUDPDomain) != 0) return -1;
  std::string text = t;
  size_t colon = text.rfind(':');
  std::string portText = colon == std::string::npos ? text : text.substr(colon + 1);
  uint32_t host = info->address.length == 6 ? getSnmpTInfoHost(info) : 0;
  if (colon != std::string::npos) {
    in_addr address;
    if (!telvi::io::resolveInetHost(text.substr(0, colon), address)) return -1;
    host = ntohl(address.s_addr);
  }
  char *end;
  unsigned long port = strtoul(portText.c_str(), &end, 10);
  if (portText.empty() || *end != 0 || port > 65535) {
    servent *service = getservbyname(portText.c_str(), "udp");
    if (service == nullptr) return -1;
    port = ntohs(static_cast<uint16_t>(service->s_port));
  }
  setSnmpTInfoHost(info, host);
  setSnmpTInfoPort(info, static_cast<uint32_t>(port));
  return 0;
}

// ---- values ----

const char *hintOf(const BobAsn1Value *v) { return v->hint.buffer ? v->hint.buffer : ""; }

void freeOctets(Asn1Value *value) {
  if (value->tag == ASN1_TAG_OCTET_STRING) free(value->u.octets.data);
  value->u.octets.data = nullptr;
  value->u.octets.length = 0;
}

// ---- octets under a display hint ----
//
// A value's octets are shown under its hint when that text reads back to the same octets. The hint
// rules leave some octets without such a text: a decimal group of several octets cut short by the
// end of the octets ("2d" shows 00 05 and 05 both as 5), groups with nothing between them, a
// repeat count the octets do not hold, a zero octet under "a". Such octets show as "0x" and their
// hexadecimal digits, and that text reads back to them. Where the hint's own text of other octets
// is that very "0x" text (octets "0x0061" under "15t:"), the "0x" text stays with the octets that
// have no other, and those others show in "0x" form too. A hint the formatter or the parser refuses
// is taken as no hint, both ways, as an integer falls back to plain decimal.

bool rawOctetHint(const char *hint) {
  const char *end;
  return *hint == 0 || strcmp(hint, "255a") == 0 || snmpHintParseOctets(hint, "", nullptr, 0, &end) != 0;
}

bool hintText(const char *hint, const std::string &octets, std::string &text) {
  return telvi::snmp::formatOctetsWhole(hint, reinterpret_cast<const unsigned char *>(octets.data()),
                                        static_cast<uint32_t>(octets.size()), text);
}

bool hintOctets(const char *hint, const char *t, std::string &octets) {
  // Room for a value's largest octets, kept: a display reads its text back once or twice.
  static thread_local std::vector<unsigned char> room(65536);
  const char *end;
  int n = snmpHintParseOctets(hint, t, room.data(), static_cast<uint32_t>(room.size()), &end);
  if (n < 0 || *end != 0 || n > 65535) return false;
  octets.assign(reinterpret_cast<const char *>(room.data()), static_cast<size_t>(n));
  return true;
}

int digitOf(char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1; }

std::string hexText(const std::string &octets) {
  std::string text = "0x";
  for (unsigned char c : octets) {
    text += "0123456789abcdef"[c >> 4];
    text += "0123456789abcdef"[c & 15];
  }
  return text;
}

// The octets of a "0x" text: lower-case digit pairs, at least one, at most a value's 65535 octets.
bool hexOctets(const std::string &t, std::string &octets) {
  if (t.size() < 4 || t.size() % 2 != 0 || t.size() > 2 + 2 * 65535 || t.compare(0, 2, "0x") != 0) return false;
  octets.clear();
  for (size_t i = 2; i < t.size(); i += 2) {
    int high = digitOf(t[i]), low = digitOf(t[i + 1]);
    if (high < 0 || low < 0) return false;
    octets += static_cast<char>(high << 4 | low);
  }
  return true;
}

// The text of a value's octets under a usable hint. Whether a hint text is taken by a "0x" text
// asks the same of shorter or other octets; the chain ends after a few steps (each needs a text
// that is all hexadecimal digits after "0x"), and a bound keeps a contrived one from running deep.
std::string showOctets(const char *hint, const std::string &octets, int depth = 0) {
  std::string text, back, other;
  if (!hintText(hint, octets, text) || !hintOctets(hint, text.c_str(), back) || back != octets)
    return hexText(octets);
  if (depth < 16 && hexOctets(text, other) && showOctets(hint, other, depth + 1) == text) return hexText(octets);
  return text;
}

bool readOctets(const char *hint, const char *t, std::string &octets) {
  if (rawOctetHint(hint)) return octets = t, octets.size() <= 65535;
  if (*t == 0) return octets.clear(), true;
  if (hexOctets(t, octets) && showOctets(hint, octets) == t) return true;
  if (hintOctets(hint, t, octets) && showOctets(hint, octets) == t) return true;
  // A text the hint reads that is not exactly the one it shows, as "0A" for "0a" under "1x".
  return hintOctets(hint, t, octets);
}

int asn1TypeTo(void *b, char **s) { return b ? tableTo(asn1Types, loadInt(b), s) : -1; }
int asn1TypeFrom(void *b, const char *t) {
  int32_t tag;
  if (b == nullptr || t == nullptr || !valueOf(asn1Types, t, &tag)) return -1;
  auto *value = static_cast<Asn1Value *>(b);
  if ((tag == ASN1_TAG_OCTET_STRING) != (value->tag == ASN1_TAG_OCTET_STRING)) freeOctets(value);
  value->tag = tag;
  return 0;
}

void asn1DataDestroy(void *b) {
  if (b != nullptr) freeOctets(static_cast<Asn1Value *>(b));
}

int asn1DataTo(void *b, char **s) {
  if (b == nullptr) return -1;
  auto *bv = static_cast<BobAsn1Value *>(b);
  const Asn1Value &v = bv->value;
  const char *hint = hintOf(bv);
  switch (v.tag) {
    case ASN1_TAG_OCTET_STRING: {
      if (v.u.octets.length == 0 || v.u.octets.data == nullptr) return giveText(s, "");
      std::string octets(reinterpret_cast<char *>(v.u.octets.data), v.u.octets.length);
      return giveText(s, rawOctetHint(hint) ? octets : showOctets(hint, octets));
    }
    case ASN1_TAG_OBJECT_ID: return oidTo(const_cast<uint32_t *>(v.u.oid), s);
    case ASN1_TAG_IPADDRESS: return giveText(s, dottedQuad(v.u.unsigned32));
    case ASN1_TAG_TIMETICKS:
    case ASN1_TAG_COUNTER32:
    case ASN1_TAG_UNSIGNED32: return giveText(s, integerText(hint, v.u.unsigned32, false));
    case ASN1_TAG_INTEGER:
      return giveText(s, integerText(hint, static_cast<uint64_t>(static_cast<int64_t>(v.u.integer)), true));
    case ASN1_TAG_COUNTER64:
      return giveText(s, integerText(hint, uint64_t{v.u.counter64.high} << 32 | v.u.counter64.low, false));
    default: return giveText(s, "");  // NULL, the exceptions, no value yet
  }
}

int asn1DataFrom(void *b, const char *t) {
  if (b == nullptr || t == nullptr) return -1;
  auto *bv = static_cast<BobAsn1Value *>(b);
  Asn1Value &v = bv->value;
  const char *hint = hintOf(bv);
  switch (v.tag) {
    case ASN1_TAG_NULL:
    case ASN1_TAG_NOSUCHOBJECT:
    case ASN1_TAG_NOSUCHINSTANCE:
    case ASN1_TAG_ENDOFMIBVIEW: return *t == 0 ? 0 : -1;
    case ASN1_TAG_OCTET_STRING: {
      if (*t == 0) {
        freeOctets(&v);
        return 0;
      }
      std::string octets;
      if (!readOctets(hint, t, octets) || octets.size() > 65535) return -1;
      auto *data = static_cast<unsigned char *>(malloc(octets.size() + 1));
      if (data == nullptr) return -1;
      memcpy(data, octets.data(), octets.size());
      data[octets.size()] = 0;
      freeOctets(&v);
      v.u.octets.data = data;
      v.u.octets.length = static_cast<uint32_t>(octets.size());
      return 0;
    }
    case ASN1_TAG_OBJECT_ID: return oidFrom(v.u.oid, t);
    case ASN1_TAG_IPADDRESS: return parseQuad(t, &v.u.unsigned32) ? 0 : -1;
    case ASN1_TAG_TIMETICKS: return parseTicks(t, &v.u.unsigned32, hint) ? 0 : -1;
    case ASN1_TAG_INTEGER:
    case ASN1_TAG_COUNTER32:
    case ASN1_TAG_UNSIGNED32:
    case ASN1_TAG_COUNTER64: {
      bool isSigned = v.tag == ASN1_TAG_INTEGER;
      uint64_t value;
      if (!parseInteger(hint, t, isSigned, &value)) return -1;
      if (v.tag == ASN1_TAG_COUNTER64) {
        v.u.counter64.high = static_cast<uint32_t>(value >> 32);
        v.u.counter64.low = static_cast<uint32_t>(value);
      } else if (isSigned) {
        auto s = static_cast<int64_t>(value);
        if (s < INT32_MIN || s > INT32_MAX) return -1;
        v.u.integer = static_cast<int32_t>(s);
      } else {
        if (value > UINT32_MAX) return -1;
        v.u.unsigned32 = static_cast<uint32_t>(value);
      }
      return 0;
    }
    default: return -1;
  }
}

int intTo(void *b, char **s) { return b ? giveText(s, std::to_string(loadInt(b))) : -1; }
// A signed 32-bit field: text it cannot hold is refused, never wrapped.
bool signedWord(const char *t, int32_t *value) {
  int64_t parsed;
  if (!telvi::integerText(t, parsed) || parsed > INT32_MAX) return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}
int intFrom(void *b, const char *t) {
  int32_t value;
  if (b == nullptr || !signedWord(t, &value)) return -1;
  memcpy(b, &value, sizeof value);
  return 0;
}
int failTo(void *, char **) { return -1; }
// A length that describes owned storage: writing its own value back (as a whole record read and
// written again does) is accepted, any other value refused.
int lengthFrom(void *b, const char *t) {
  int32_t value;
  if (b == nullptr || !signedWord(t, &value)) return -1;
  return value == loadInt(b) ? 0 : -1;
}

// "varcount" says how many elements of "varbind" hold bindings: a count beyond the array would
// send readers past its end, so it is refused. (The field's binary is the record's varcount.)
BobPdu *pduOfVarcount(void *b) {
  return reinterpret_cast<BobPdu *>(static_cast<char *>(b) - offsetof(BobPdu, varcount));
}
int bindingsIn(const BobPdu *pdu) { return pdu->varbind != nullptr ? pdu->varbind->count : 0; }
int varcountFrom(void *b, const char *t) {
  int32_t value;
  if (b == nullptr || !signedWord(t, &value) || value < 0 || value > bindingsIn(pduOfVarcount(b))) return -1;
  memcpy(b, &value, sizeof value);
  return 0;
}

// ---- the records ----

#define FIELD(name, type, offset) {name, &type, static_cast<intptr_t>(offset), 0, 0}
#define END {nullptr, nullptr, -1, 0, 0}

dataType intType = {"int", nullptr, -1, 4, nullptr, intTo, intFrom};
// A length that describes storage the value owns: shown, never set from text.
dataType lengthType = {"int", nullptr, -1, 4, nullptr, intTo, lengthFrom};
dataType varcountType = {"int", nullptr, -1, 4, nullptr, intTo, varcountFrom};
dataType stringType = {"string", nullptr, -1, sizeof(cvtString), nullptr, failTo, readOnlyFrom};
dataType octetType = {"octet", nullptr, -1, sizeof(cvtString), nullptr, failTo, readOnlyFrom};
dataType oidType = {"oid", nullptr, -1, sizeof(Oid), nullptr, oidTo, oidFrom};
dataType oidAlias = {"_oid", nullptr, -1, sizeof(Oid), nullptr, oidTo, oidFrom};
dataType asn1Type = {"Asn1Type", nullptr, -1, sizeof(int32_t), nullptr, asn1TypeTo, asn1TypeFrom};
dataType asn1Data = {"Asn1Data", nullptr, -1, sizeof(Asn1Value), asn1DataDestroy, asn1DataTo, asn1DataFrom};
dataType domainType = {"TDomain", nullptr, -1, sizeof(Oid), nullptr, domainTo, domainFrom};
dataType addressType = {"TAddress", nullptr, -1, sizeof(TInfo), nullptr, addressTo, addressFrom};
dataType msgVersionType = {"MsgVersion", nullptr, -1, 4, nullptr, msgVersionTo, msgVersionFrom};
dataType securityLevelType = {"SecurityLevel", nullptr, -1, 4, nullptr, securityLevelTo, securityLevelFrom};
dataType adminType = {"SnmpAdminString", nullptr, -1, sizeof(AdminString), nullptr, adminTo, adminFrom};
dataType tcOctetsType = {"TcOctets", nullptr, -1, sizeof(AdminString), nullptr, tcOctetsTo, readOnlyFrom};
dataType pduTypeType = {"PduType", nullptr, -1, 4, nullptr, pduTypeTo, pduTypeFrom};
dataType errorStatusType = {"ErrorStatus", nullptr, -1, 4, nullptr, errorStatusTo, errorStatusFrom};
dataType ipAddressType = {"IpAddress", nullptr, -1, 4, nullptr, ipAddressTo, ipAddressFrom};
dataType timeTicksType = {"TimeTicks", nullptr, -1, 4, nullptr, timeTicksTo, timeTicksFrom};

dataField asn1ValueFields[] = {
    FIELD("hint", stringType, offsetof(BobAsn1Value, hint)),
    FIELD("type", asn1Type, offsetof(BobAsn1Value, value.tag)),
    FIELD("val", asn1Data, offsetof(BobAsn1Value, value)),
    FIELD("val_len", lengthType, offsetof(BobAsn1Value, value.u.octets.length)),
    END};
dataType asn1ValueType = {"Asn1Value", asn1ValueFields, -1, sizeof(BobAsn1Value), nullptr, failTo, readOnlyFrom};

dataField varBindFields[] = {FIELD("oid", oidType, offsetof(BobVarBind, oid)),
                             FIELD("val", asn1ValueType, offsetof(BobVarBind, val)), END};
dataType varBindType = {"VarBind", varBindFields, -1, sizeof(BobVarBind), nullptr, failTo, readOnlyFrom};

dataField tInfoFields[] = {FIELD("address", addressType, 0), FIELD("type", domainType, offsetof(TInfo, domain)),
                           END};
dataType tInfoType = {"TInfo", tInfoFields, -1, sizeof(TInfo), nullptr, failTo, readOnlyFrom};

// The byte buffer of a netbuf: its length follows the bytes it owns, so it is read-only.
// It stays out of the registry, where "buffer" is the built-in type: its fields are listed sorted.
dataField bufferFields[] = {FIELD("len", lengthType, offsetof(cvtString, length)), FIELD("octet", octetType, 0),
                            FIELD("string", stringType, 0), END};
dataType bufferType = {"buffer", bufferFields, 3, sizeof(cvtString), nullptr, failTo, readOnlyFrom};
dataField netbufFields[] = {FIELD("buf", bufferType, offsetof(BobNetbuf, buf)), END};
dataType netbufType = {"netbuf", netbufFields, -1, sizeof(BobNetbuf), nullptr, failTo, readOnlyFrom};

dataField pduFields[] = {
    FIELD("info", tInfoType, offsetof(BobPdu, pdu.info)),
    FIELD("version", msgVersionType, offsetof(BobPdu, pdu.version)),
    FIELD("securityLevel", securityLevelType, offsetof(BobPdu, pdu.securityLevel)),
    FIELD("community", adminType, offsetof(BobPdu, pdu.community)),
    FIELD("securityName", adminType, offsetof(BobPdu, pdu.securityName)),
    FIELD("engineId", tcOctetsType, offsetof(BobPdu, pdu.engineId)),
    FIELD("context", adminType, offsetof(BobPdu, pdu.context)),
    FIELD("stateref", intType, offsetof(BobPdu, stateref)),
    FIELD("groups", stringType, offsetof(BobPdu, groups)),
    FIELD("type", pduTypeType, offsetof(BobPdu, type)),
    FIELD("request_id", intType, offsetof(BobPdu, request_id)),
    FIELD("error_status", errorStatusType, offsetof(BobPdu, error_status)),
    FIELD("error_index", intType, offsetof(BobPdu, error_index)),
    FIELD("trapoid", oidType, offsetof(BobPdu, trapoid)),
    FIELD("enterprise", oidType, offsetof(BobPdu, enterprise)),
    FIELD("agent", ipAddressType, offsetof(BobPdu, agent)),
    FIELD("generic", intType, offsetof(BobPdu, generic)),
    FIELD("specific", intType, offsetof(BobPdu, specific)),
    FIELD("timestamp", timeTicksType, offsetof(BobPdu, timestamp)),
    FIELD("varcount", varcountType, offsetof(BobPdu, varcount)),
    {"varbind", &varBindType, static_cast<intptr_t>(offsetof(BobPdu, varbind)), BOB_FIELD_ARRAY, 5},
    FIELD("walk_flag", intType, offsetof(BobPdu, walk_flag)),
    FIELD("verbose_flag", intType, offsetof(BobPdu, verbose_flag)),
    FIELD("retain_flag", intType, offsetof(BobPdu, retain_flag)),
    FIELD("enum_flag", intType, offsetof(BobPdu, enum_flag)),
    FIELD("max_retries", intType, offsetof(BobPdu, max_retries)),
    FIELD("retries", intType, offsetof(BobPdu, retries)),
    FIELD("timeout", intType, offsetof(BobPdu, timeout)),
    FIELD("user_data", stringType, offsetof(BobPdu, user_data)),
    END};
dataType pduType = {"pdu", pduFields, -1, sizeof(BobPdu), nullptr, failTo, readOnlyFrom};

#undef FIELD
#undef END

// ---- why a text was refused ----

template <size_t N>
std::string namesOf(const Name (&table)[N], size_t most = N) {
  std::string names;
  for (size_t i = 0; i < N && i < most; ++i) {
    if (*table[i].name == 0) continue;
    names += names.empty() ? "" : ", ";
    names += table[i].name;
  }
  return names;
}

// White space, a sign, digits and white space, whatever their value.
bool looksNumeric(const char *t) {
  while (isspace(static_cast<unsigned char>(*t))) ++t;
  if (*t == '+' || *t == '-') ++t;
  if (!isdigit(static_cast<unsigned char>(*t))) return false;
  char *end;
  strtoull(t, &end, 0);
  while (isspace(static_cast<unsigned char>(*end))) ++end;
  return *end == 0;
}

const char kNotInteger[] = "not an integer (decimal, 0x hexadecimal or 0 octal)";

std::string integerProblem(const char *name, const char *t) {
  bool isUnsigned = name[0] == 'u';
  if (isUnsigned && t[0] == '-') return std::string("a ") + name + " cannot be negative";
  if (strcmp(name, "long") == 0 || strcmp(name, "ulong") == 0 || strcmp(name, "longlong") == 0 ||
      strcmp(name, "ulonglong") == 0)
    return "not a whole integer (decimal, 0x hexadecimal or 0 octal) with nothing around it";
  if (!looksNumeric(t)) return kNotInteger;
  if (strcmp(name, "int") == 0) return "outside -2147483648 .. 2147483647";
  if (isUnsigned) return "above 4294967295";
  return "outside the range of a 32-bit word";
}

std::string oidProblem(const char *t) {
  if (*t == 0) return "an OID is not empty";
  uint32_t arcs = 0;
  uint64_t first = 0, second = 0;
  for (const char *p = t;; ++p) {
    if (!isdigit(static_cast<unsigned char>(*p))) return "an OID is arcs of digits joined by single dots";
    uint64_t arc = 0;
    while (isdigit(static_cast<unsigned char>(*p))) {
      arc = arc * 10 + static_cast<uint64_t>(*p++ - '0');
      if (arc > UINT32_MAX) return "an arc is above 4294967295";
    }
    if (++arcs == 1) first = arc;
    else if (arcs == 2) second = arc;
    if (*p == 0) break;
    if (*p != '.') return "an OID is arcs of digits joined by single dots";
  }
  if (arcs > ASN1_MAX_ARCS) return "more than " + std::to_string(ASN1_MAX_ARCS) + " arcs";
  if (arcs < 2) return "an OID has at least two arcs, as 1.3";
  if (first > 2) return "the first arc is 0, 1 or 2";
  if (first < 2 && second >= ASN1OidMultiplier) return "under 0 and 1 the second arc is below 40";
  if (second > UINT32_MAX - 2 * ASN1OidMultiplier) return "under 2 the second arc is at most 4294967215";
  return "";
}

const char kQuad[] = "not a dotted quad such as 10.1.2.3";
const char kTicks[] = "neither hundredths of a second (up to 4294967295) nor <d>d <h>:<m>:<s>.<hundredths>";

std::string valueProblem(const BobAsn1Value *bv, const char *t) {
  const Asn1Value &v = bv->value;
  const char *name = nameOf(asn1Types, v.tag);
  const char *hint = hintOf(bv);
  switch (v.tag) {
    case ASN1_TAG_NULL:
    case ASN1_TAG_NOSUCHOBJECT:
    case ASN1_TAG_NOSUCHINSTANCE:
    case ASN1_TAG_ENDOFMIBVIEW: return std::string("a ") + name + " value is empty";
    case ASN1_TAG_OCTET_STRING:
      if (rawOctetHint(hint) || strlen(t) > 65535) return "more than 65535 octets";
      return std::string("does not match the display hint \"") + hint + "\"";
    case ASN1_TAG_OBJECT_ID: return oidProblem(t);
    case ASN1_TAG_IPADDRESS: return kQuad;
    case ASN1_TAG_TIMETICKS:
      if (strcmp(integerHint(hint), "d") == 0) return kTicks;
      return std::string("neither hundredths of a second under the display hint \"") + hint +
             "\" (up to 4294967295) nor <d>d <h>:<m>:<s>.<hundredths>";
    case ASN1_TAG_INTEGER:
    case ASN1_TAG_COUNTER32:
    case ASN1_TAG_UNSIGNED32:
    case ASN1_TAG_COUNTER64: {
      uint64_t value;
      bool isSigned = v.tag == ASN1_TAG_INTEGER;
      if (!parseInteger(hint, t, isSigned, &value))
        return std::string("not a ") + name + " number under the display hint \"" + integerHint(hint) + "\"";
      return isSigned ? "outside -2147483648 .. 2147483647" : "outside 0 .. 4294967295";
    }
    default: return "the value has no type yet: set its type first";
  }
}

}  // namespace

extern "C" const char *snmpPduTypeName(int tag) { return nameOf(pduTypes, tag); }

extern "C" int snmpErrorStatusValue(const char *name) {
  int32_t value;
  return name != nullptr && valueOf(errorStatuses, name, &value) ? value : -1;
}

std::string telvi::bob::refusalReason(const dataType *type, const void *binary, const char *t) {
  if (type == nullptr || t == nullptr) return "";
  if (type->fromString == nullptr || type->fromString == readOnlyFrom)
    return std::string(type->name) + " is read-only";
  if (type == &oidType || type == &oidAlias) return oidProblem(t);
  if (type == &varcountType) {
    int32_t value;
    if (!signedWord(t, &value)) return kNotInteger;
    int count = bindingsIn(pduOfVarcount(const_cast<void *>(binary)));
    return "varbind holds " + std::to_string(count) + " bindings, so varcount is 0 to " + std::to_string(count);
  }
  if (type == &intType) return looksNumeric(t) ? "outside -2147483648 .. 2147483647" : kNotInteger;
  if (type == &msgVersionType) return "one of " + namesOf(msgVersions);
  if (type == &securityLevelType) return "one of " + namesOf(securityLevels);
  if (type == &errorStatusType) return "one of " + namesOf(errorStatuses);
  if (type == &pduTypeType) return "one of " + namesOf(pduTypes) + ", or empty";
  if (type == &asn1Type) return "not an ASN.1 type such as " + namesOf(asn1Types, 12);
  if (type == &asn1Data) return valueProblem(static_cast<const BobAsn1Value *>(binary), t);
  if (type == &ipAddressType) return kQuad;
  if (type == &timeTicksType) return kTicks;
  if (type == &domainType) return "the only transport domain is inet";
  if (type == &adminType) return "longer than 255 characters";
  if (type == &addressType) {
    if (oidcmp(static_cast<const TInfo *>(binary)->domain, snmpUDPDomain) != 0)
      return "set the transport type to inet first";
    return "not host:port or a port (an unknown host, or a port that is neither a number up to 65535 "
           "nor a udp service)";
  }
  const char *name = type->name;
  if (strcmp(name, "int") == 0 || strcmp(name, "uint") == 0 || strcmp(name, "short") == 0 ||
      strcmp(name, "char") == 0) {
    int32_t value;
    // A text any other int takes: this one is a length, which follows the octets it counts.
    if (strcmp(name, "int") == 0 && signedWord(t, &value))
      return "a length follows the octets it counts: only its own value " + std::to_string(loadInt(binary)) +
             " is taken";
    return integerProblem(name, t);
  }
  if (strcmp(name, "long") == 0 || strcmp(name, "ulong") == 0 || strcmp(name, "longlong") == 0 ||
      strcmp(name, "ulonglong") == 0)
    return integerProblem(name, t);
  if (strcmp(name, "double") == 0 || strcmp(name, "float") == 0) return "not a number";
  if (strcmp(name, "octet") == 0) return "not hexadecimal octets such as 0a:ff:10";
  if (strcmp(name, "StringList") == 0) return "a quoted item is not closed";
  if (strcmp(name, "pointer") == 0) return "not a pointer such as 0x1234";
  if (strcmp(name, "buffer") == 0 || strcmp(name, "explicit") == 0 || type->size == 0)
    return std::string(name) + " has no text form";
  return "";
}

extern "C" int bobPduBindingCount(const BobPdu *pdu) {
  if (pdu == nullptr || pdu->varcount < 0) return 0;
  int count = bindingsIn(pdu);
  return pdu->varcount < count ? pdu->varcount : count;
}

extern "C" void bobRegisterSnmpTypes(void) {
  static bool done = false;
  if (done) return;
  done = true;
  // The string-like field types take their text forms from the registered built-ins.
  dataType *builtString = dataGetType("string");
  dataType *builtOctet = dataGetType("octet");
  stringType.toString = builtString->toString;
  stringType.fromString = builtString->fromString;
  stringType.destroy = builtString->destroy;
  octetType.toString = builtOctet->toString;
  octetType.fromString = builtOctet->fromString;
  octetType.destroy = builtOctet->destroy;
  for (dataType *t : {&netbufType, &tInfoType, &oidType, &asn1ValueType, &varBindType, &pduType})
    dataRegisterType(t);
  dataRegisterType(&oidAlias);
}
