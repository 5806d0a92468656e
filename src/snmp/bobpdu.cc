// "pdu" bobs to and from encoded PDUs. A bob holds what scripts see of a message; what goes on the
// wire must be representable in the message's version, so SNMPv1 answers get their statuses
// mapped and traps are turned between the SNMPv1 and SNMPv2 forms on the way in and out.

#include <cstdlib>
#include <cstring>
#include <cstddef>

#include "snmp/ber.h"
#include "snmp/engine.h"
#include "telvi/snmpv2.h"

using namespace telvi::snmp;

namespace {

// A binding of a bob is laid out as an engine binding followed by the hint, so the codec reads it
// in place.
static_assert(offsetof(BobVarBind, oid) == offsetof(VarBind, oid));
static_assert(offsetof(BobVarBind, val) + offsetof(BobAsn1Value, value) == offsetof(VarBind, value));

const uint32_t kSysUpTime0[] = {9, 1, 3, 6, 1, 2, 1, 1, 3, 0};
const uint32_t kSnmpTrapOid0[] = {11, 1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
const uint32_t kSnmpTraps[] = {9, 1, 3, 6, 1, 6, 3, 1, 1, 5};
const uint32_t kSnmpTrapAddress0[] = {11, 1, 3, 6, 1, 6, 3, 1, 1, 4, 6, 0};
const uint32_t kSnmpTrapEnterprise0[] = {11, 1, 3, 6, 1, 6, 3, 1, 1, 4, 3, 0};
const uint32_t kSnmpTrapDomain0[] = {11, 1, 3, 6, 1, 6, 3, 1, 1, 4, 5, 0};
const uint32_t kSnmpTrapCommunity0[] = {11, 1, 3, 6, 1, 6, 3, 1, 1, 4, 7, 0};
const char kAddressHint[] = "1d.1d.1d.1d:2d";

enum { kTooBig = 1, kNoSuchName = 2, kBadValue = 3, kGenErr = 5, kNoAccess = 6, kWrongType = 7,
       kWrongLength = 8, kWrongValue = 10, kNotWritable = 17 };

void copyOid(uint32_t *to, const uint32_t *from) { memcpy(to, from, (from[0] + 1) * sizeof(uint32_t)); }

bool isException(int tag) {
  return tag == ASN1_TAG_NOSUCHOBJECT || tag == ASN1_TAG_NOSUCHINSTANCE || tag == ASN1_TAG_ENDOFMIBVIEW;
}

// The SNMPv2 trap OID of an SNMPv1 trap, or false for a generic trap number beyond 6.
bool v2TrapOid(int32_t generic, int32_t specific, const uint32_t *enterprise, uint32_t *trapOid) {
  if (generic < 0 || generic > 6) return false;
  if (generic == 6) {
    if (enterprise[0] + 2 > ASN1_MAX_ARCS) return false;
    copyOid(trapOid, enterprise);
    uint32_t arcs[2] = {0, static_cast<uint32_t>(specific)};
    telvi::ber::oidcat(trapOid, arcs, 2);
  } else {
    copyOid(trapOid, kSnmpTraps);
    uint32_t arc = static_cast<uint32_t>(generic + 1);
    telvi::ber::oidcat(trapOid, &arc, 1);
  }
  return true;
}

// The bindings to write: up to two put in front, then the bob's from first to last.
struct Bindings {
  VarBind prefix[2];
  int prefixCount = 0;
  const BobVarBind *list = nullptr;
  int first = 0;
  int last = 0;
  int written = 0; // of the bob's, counted from first
};

// Header, binding list and bindings (open lengths patched at the end where encodePdu does not
// take the whole PDU). rawList replaces the bindings.
// Returns the length, or -1 when even the header did not fit; b.written tells how many of the bob's
// bindings fit.
int writePdu(SnmpArea *area, const PduHeader *header, const TrapHeader *trap, Bindings &b,
             const unsigned char *rawList, uint32_t rawLength, bool emptyList, bool *complete) {
  Asn1Cursor c;
  initAsn1Cursor(&c, area->buffer, area->capacity);
  if (trap == nullptr && rawList == nullptr && b.prefixCount == 0) {
    // The usual answer: the PDU in one call, the bob's bindings read in place.
    uint32_t count = emptyList || b.last <= b.first ? 0 : static_cast<uint32_t>(b.last - b.first), written = 0;
    const VarBind *list = count ? reinterpret_cast<const VarBind *>(&b.list[b.first]) : nullptr;
    if (encodePdu(&c, header, list, count, sizeof(BobVarBind), &written) == nullptr) return -1;
    b.written = static_cast<int>(written);
    *complete = written == count;
    area->length = static_cast<uint32_t>(c.cur - area->buffer);
    return static_cast<int>(area->length);
  }
  unsigned char *top = trap ? encodeTrapHeader(&c, trap, ASN1_OPEN_LENGTH)
                            : encodePduHeader(&c, header, ASN1_OPEN_LENGTH);
  *complete = true;
  b.written = 0;
  if (rawList != nullptr) {
    telvi::ber::appendAsn1(&c, rawList, rawLength);
  } else {
    unsigned char *list = telvi::ber::encodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, ASN1_OPEN_LENGTH, nullptr);
    if (c.error) return -1;
    if (!emptyList) {
      for (int i = 0; i < b.prefixCount && *complete; ++i) {
        unsigned char *before = c.cur;
        if (encodeVarBind(&c, &b.prefix[i]) == nullptr) {
          c.cur = before;
          c.error = 0;
          *complete = false;
        }
      }
      for (int i = b.first; i < b.last && *complete; ++i) {
        unsigned char *before = c.cur;
        if (encodeVarBind(&c, reinterpret_cast<const VarBind *>(&b.list[i])) == nullptr) {
          // The binding that did not fit is dropped whole; the ones before it stand.
          c.cur = before;
          c.error = 0;
          *complete = false;
          break;
        }
        ++b.written;
      }
    }
    telvi::ber::updateAsn1Header(&c, list);
  }
  telvi::ber::updateAsn1Header(&c, top);
  if (c.error) return -1;
  area->length = static_cast<uint32_t>(c.cur - area->buffer);
  return static_cast<int>(area->length);
}

BobVarBind *binding(BobPdu *bob, int index) {
  if (bob->varbind == nullptr) bob->varbind = dataArrayCreate(sizeof(BobVarBind), 0);
  return static_cast<BobVarBind *>(dataArrayIndex(bob->varbind, index, 1));
}

// Stores a decoded binding as the bob's binding at index, octets copied into storage of its own.
bool storeBinding(BobPdu *bob, int index, const VarBind &from, const char *hint) {
  BobVarBind *to = binding(bob, index);
  if (to == nullptr) return false;
  if (to->val.value.tag == ASN1_TAG_OCTET_STRING) free(to->val.value.u.octets.data);
  copyOid(to->oid, from.oid);
  to->val.value = from.value;
  if (from.value.tag == ASN1_TAG_OCTET_STRING) {
    uint32_t n = from.value.u.octets.length;
    auto *octets = static_cast<unsigned char *>(malloc(n + 1));
    if (octets == nullptr) {
      to->val.value.tag = ASN1_TAG_NULL;
      return false;
    }
    if (n) memcpy(octets, from.value.u.octets.data, n);
    octets[n] = 0;
    to->val.value.u.octets.data = octets;
  }
  if (hint != nullptr) cvtStringSet(&to->val.hint, hint, static_cast<uint32_t>(strlen(hint) + 1));
  return true;
}

bool hasBinding(BobPdu *bob, int count, const uint32_t *oid) {
  for (int i = 0; i < count; ++i) {
    BobVarBind *b = binding(bob, i);
    if (b != nullptr && telvi::ber::oidcmp(b->oid, oid) == 0) return true;
  }
  return false;
}

int decodeFailure(const PduData *pdu, const Asn1Cursor *c) {
  char summary[SNMP_DUMP_SIZE], dump[ASN1_DUMP_SIZE];
  traceClear();
  traceAppend("%s", dumpSnmpMsg(pdu, summary));
  if (c != nullptr && c->error) traceAppend(" %s", dumpAsn1(c, dump));
  return SNMP_ERR_PARSE;
}

}  // namespace

extern "C" int encodeBobPdu(BobPdu *bob, SnmpArea *area, const unsigned char *requestList,
                            uint32_t requestListLength) {
  if (bob == nullptr || area == nullptr || area->buffer == nullptr) return -1;
  area->length = 0;
  bool v2 = bob->pdu.version != SNMP_V1;
  PduHeader header = {bob->type, bob->request_id, bob->error_status, bob->error_index};
  TrapHeader trap{};
  bool asTrap = false;
  Bindings b;
  b.list = bob->varbind ? static_cast<const BobVarBind *>(bob->varbind->data) : nullptr;
  b.last = bobPduBindingCount(bob);
  if (!v2) {
    switch (header.type) {
      case SNMP_PDU_RESPONSE:
        switch (header.error_status) {
          case kWrongType: case kWrongLength: case kWrongValue: header.error_status = kBadValue; break;
          case kNoAccess: case kNotWritable: header.error_status = kNoSuchName; break;
          default: if (header.error_status > kGenErr) header.error_status = kGenErr;
        }
        if (header.error_status == 0) {
          for (int i = 0; i < b.last; ++i)
            if (isException(b.list[i].val.value.tag)) {
              header.error_status = kNoSuchName;
              header.error_index = i + 1;
              break;
            }
        }
        break;
      case SNMP_PDU_GETBULK:
        header = {SNMP_PDU_GETNEXT, header.request_id, 0, 0};
        break;
      case SNMP_PDU_INFORM:
      case SNMP_PDU_REPORT: return -1;
      case SNMP_PDU_V1TRAP:
        asTrap = true;
        trap = {SNMP_PDU_V1TRAP, {}, bob->agent ? bob->agent : snmpLocalHost(), bob->generic, bob->specific,
                bob->timestamp};
        copyOid(trap.enterprise, bob->enterprise);
        break;
      case SNMP_PDU_V2TRAP: {
        // The first two bindings carry the time stamp and the trap's identity.
        if (b.last < 2 || telvi::ber::oidcmp(b.list[0].oid, kSysUpTime0) != 0 ||
            telvi::ber::oidcmp(b.list[1].oid, kSnmpTrapOid0) != 0 ||
            b.list[1].val.value.tag != ASN1_TAG_OBJECT_ID)
          return -1;
        asTrap = true;
        trap.type = SNMP_PDU_V1TRAP;
        trap.timestamp = b.list[0].val.value.u.unsigned32;
        const uint32_t *trapOid = b.list[1].val.value.u.oid;
        if (trapOid[0] == kSnmpTraps[0] + 1 && telvi::ber::oidncmp(trapOid, kSnmpTraps, kSnmpTraps[0]) == 0 &&
            trapOid[trapOid[0]] >= 1 && trapOid[trapOid[0]] <= 6) {
          trap.generic = static_cast<int32_t>(trapOid[trapOid[0]] - 1);
          trap.specific = 0;
          // An engine that was never given an identity still names an enterprise: enterprises.
          static const uint32_t kEnterprises[] = {6, 1, 3, 6, 1, 4, 1};
          copyOid(trap.enterprise, _snmp.sysObjectID[0] ? _snmp.sysObjectID : kEnterprises);
        } else {
          if (trapOid[0] < 9) return -1;
          trap.generic = 6;
          trap.specific = static_cast<int32_t>(trapOid[trapOid[0]]);
          copyOid(trap.enterprise, trapOid);
          trap.enterprise[0] -= 2;
        }
        trap.agent = snmpLocalHost();
        for (int i = 2; i < b.last; ++i) {
          const Asn1Value &v = b.list[i].val.value;
          if (telvi::ber::oidcmp(b.list[i].oid, kSnmpTrapAddress0) == 0 && v.tag == ASN1_TAG_OCTET_STRING &&
              v.u.octets.length >= 4)
            trap.agent = telvi::ber::decodeAsn1Word(v.u.octets.data, 4);
          else if (telvi::ber::oidcmp(b.list[i].oid, kSnmpTrapEnterprise0) == 0 && v.tag == ASN1_TAG_OBJECT_ID)
            copyOid(trap.enterprise, v.u.oid);
        }
        b.first = 2;
        break;
      }
      default: break;
    }
  } else if (header.type == SNMP_PDU_V1TRAP) {
    // Scripts may build the SNMPv1 form; an SNMPv2 message carries it as an SNMPv2 trap.
    header = {SNMP_PDU_V2TRAP, bob->request_id, 0, 0};
    b.prefix[0].value.tag = ASN1_TAG_TIMETICKS;
    copyOid(b.prefix[0].oid, kSysUpTime0);
    b.prefix[0].value.u.unsigned32 = bob->timestamp;
    copyOid(b.prefix[1].oid, kSnmpTrapOid0);
    b.prefix[1].value.tag = ASN1_TAG_OBJECT_ID;
    if (!v2TrapOid(bob->generic, bob->specific, bob->enterprise, b.prefix[1].value.u.oid)) return -1;
    b.prefixCount = 2;
  }
  if (snmpPduFlags(header.type) == 0) return -1;

  bool complete;
  if (writePdu(area, &header, asTrap ? &trap : nullptr, b, nullptr, 0, false, &complete) < 0) return -1;
  bool response = header.type == SNMP_PDU_RESPONSE;
  bool statusChanged = false;  // the PDU written above carries the status from before
  if (!complete) {
    if (!response) return -1;
    if (bob->received == SNMP_PDU_GETBULK && header.error_status == 0 && b.prefixCount == 0) {
      // A GetBulk answer is cut to the bindings that fit, without an error.
      bob->varcount = b.first + b.written;
    } else {
      // Writing stops at the first binding that is not written: one that cannot be encoded is a
      // genErr at its index, a valid one did not fit.
      int unwritten = b.first + b.written;
      if (sizeofVarBind(reinterpret_cast<const VarBind *>(&b.list[unwritten])) == ASN1_BAD_SIZE) {
        header.error_status = kGenErr;
        header.error_index = unwritten + 1;
      } else {
        header.error_status = kTooBig;
        header.error_index = 0;
      }
      statusChanged = true;
    }
  }
  if (response && header.error_status != 0 && (header.error_status == kTooBig || requestList != nullptr)) {
    // An error answer carries the request's bindings as they came, or none when they were too big.
    bool tooBig = header.error_status == kTooBig || requestList == nullptr;
    if (writePdu(area, &header, nullptr, b, tooBig ? nullptr : requestList, requestListLength, tooBig,
                 &complete) < 0) {
      header.error_status = kTooBig;
      header.error_index = 0;
      if (writePdu(area, &header, nullptr, b, nullptr, 0, true, &complete) < 0) return -1;
    }
  } else if (statusChanged) {
    // No request bytes to carry: the genErr answer keeps the bindings that could be written.
    if (writePdu(area, &header, nullptr, b, nullptr, 0, false, &complete) < 0) return -1;
  } else if (!complete && !response) {
    return -1;
  }
  return asTrap ? SNMP_PDU_V1TRAP : header.type;
}

extern "C" uint32_t snmpLocalHost(void) {
  TInfo info;
  copyOid(info.domain, _snmp.domain[0] ? _snmp.domain : snmpUDPDomain);
  memcpy(&info.address, &_snmp.address, sizeof info.address);
  return getSnmpTInfoHost(&info);
}

extern "C" int decodeBobPdu(BobPdu *bob, const PduData *pdu) {
  if (bob == nullptr || pdu == nullptr || pdu->data == nullptr || pdu->length == 0)
    return decodeFailure(pdu, nullptr);
  Asn1Cursor c;
  initAsn1Cursor(&c, pdu->data, pdu->length);
  PduHeader header{};
  TrapHeader trap{};
  bool v1Trap = pdu->data[0] == SNMP_PDU_V1TRAP;
  int tag = v1Trap ? decodeTrapHeader(&c, &trap) : decodePduHeader(&c, &header, pdu->v2);
  if (tag < 0) return decodeFailure(pdu, &c);
  bob->received = bob->type = tag;
  bob->request_id = header.request_id;
  bob->error_status = header.error_status;
  bob->error_index = header.error_index;
  int count = 0;
  bool notification = (snmpPduFlags(tag) & SNMP_PDU_FLAG_NOTIFICATION) != 0;
  if (v1Trap) {
    bob->received = bob->type = SNMP_PDU_V2TRAP;
    bob->request_id = bob->error_status = bob->error_index = 0;
    copyOid(bob->enterprise, trap.enterprise);
    bob->agent = trap.agent;
    bob->generic = trap.generic;
    bob->specific = trap.specific;
    bob->timestamp = trap.timestamp;
    VarBind first{}, second{};
    copyOid(first.oid, kSysUpTime0);
    first.value.tag = ASN1_TAG_TIMETICKS;
    first.value.u.unsigned32 = trap.timestamp;
    copyOid(second.oid, kSnmpTrapOid0);
    second.value.tag = ASN1_TAG_OBJECT_ID;
    if (!v2TrapOid(trap.generic, trap.specific, trap.enterprise, second.value.u.oid)) {
      traceClear();
      traceAppend("SNMPv1 trap with generic trap %d", trap.generic);
      return SNMP_ERR_PARSE;
    }
    copyOid(bob->trapoid, second.value.u.oid);
    if (!storeBinding(bob, count++, first, nullptr) || !storeBinding(bob, count++, second, nullptr))
      return decodeFailure(pdu, nullptr);
  }
  unsigned char *saved = nullptr;
  telvi::ber::decodeAsn1Struct(&c, ASN1_TAG_SEQUENCE, &saved);
  while (c.error == 0 && c.cur < c.end) {
    VarBind b;
    if (decodeVarBind(&c, &b) == nullptr) break;
    const char *hint = notification && telvi::ber::oidcmp(b.oid, kSnmpTrapAddress0) == 0 ? kAddressHint : nullptr;
    if (!storeBinding(bob, count++, b, hint)) return decodeFailure(pdu, nullptr);
    if (count == 2 && !v1Trap && tag == SNMP_PDU_V2TRAP && b.value.tag == ASN1_TAG_OBJECT_ID &&
        telvi::ber::oidcmp(b.oid, kSnmpTrapOid0) == 0)
      copyOid(bob->trapoid, b.value.u.oid);
  }
  telvi::ber::frameAsn1Struct(&c, saved);
  if (c.error) {
    bob->varcount = 0;
    return decodeFailure(pdu, &c);
  }
  if (v1Trap) {
    // What the SNMPv1 header said and the SNMPv2 form keeps in bindings of its own.
    int received = count;
    VarBind extra{};
    if (!hasBinding(bob, received, kSnmpTrapDomain0)) {
      copyOid(extra.oid, kSnmpTrapDomain0);
      extra.value.tag = ASN1_TAG_OBJECT_ID;
      copyOid(extra.value.u.oid, pdu->info.domain[0] ? pdu->info.domain : snmpUDPDomain);
      storeBinding(bob, count++, extra, nullptr);
    }
    if (!hasBinding(bob, received, kSnmpTrapAddress0)) {
      unsigned char address[6] = {};
      uint32_t sender = getSnmpTInfoHost(&pdu->info);
      if (trap.agent == sender && pdu->info.address.length == 6) {
        memcpy(address, pdu->info.address.octets, 6);
      } else {
        telvi::ber::encodeAsn1Word(address, 4, trap.agent);
      }
      extra = VarBind{};
      copyOid(extra.oid, kSnmpTrapAddress0);
      extra.value.tag = ASN1_TAG_OCTET_STRING;
      extra.value.u.octets.data = address;
      extra.value.u.octets.length = 6;
      storeBinding(bob, count++, extra, kAddressHint);
    }
    if (!hasBinding(bob, received, kSnmpTrapCommunity0)) {
      extra = VarBind{};
      copyOid(extra.oid, kSnmpTrapCommunity0);
      extra.value.tag = ASN1_TAG_OCTET_STRING;
      extra.value.u.octets.data = const_cast<unsigned char *>(pdu->community.octets);
      extra.value.u.octets.length = pdu->community.length;
      storeBinding(bob, count++, extra, nullptr);
    }
    if (!hasBinding(bob, received, kSnmpTrapEnterprise0)) {
      extra = VarBind{};
      copyOid(extra.oid, kSnmpTrapEnterprise0);
      extra.value.tag = ASN1_TAG_OBJECT_ID;
      copyOid(extra.value.u.oid, trap.enterprise);
      storeBinding(bob, count++, extra, nullptr);
    }
  }
  bob->varcount = count;
  return 0;
}
