// Internal helpers of the SNMP engine shared by its source files.
#ifndef TELVI_SNMP_ENGINE_H
#define TELVI_SNMP_ENGINE_H

#include <cstdarg>
#include <string>

#include "telvi/snmp.h"

namespace telvi::snmp {

// The one exit for the engine's diagnostic texts. It keeps the last text per channel for tests;
// the snmp command reads the failure text from _snmp.trace itself.
void diagnostic(const char *channel, const char *text);
// The last text diagnostic() received on a channel (for tests).
const char *lastDiagnostic(const char *channel);

// Trace text of the last failure, kept in _snmp.trace.
void traceClear();
void traceAppend(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Appends ": <tag>(<line>)", after "Assertion Failure" when the trace is still empty.
void traceWhere(const char *tag, int line);
// Hands the finished trace text of a failure to diagnostic().
void traceFlush();

// Lists.
void listInit(SnmpList *list);
void listInsertBefore(SnmpList *list, SnmpLink *position, SnmpLink *element);
void listAppend(SnmpList *list, SnmpLink *element);
void listRemove(SnmpList *list, SnmpLink *element);
// Walks a list of records whose first member is their link; null at the end.
template <typename T>
T *listFirst(SnmpList &list) {
  return list.head.next == &list.head ? nullptr : reinterpret_cast<T *>(list.head.next);
}
template <typename T>
T *listNext(SnmpList &list, T *element) {
  SnmpLink *n = element->link.next;
  return n == &list.head ? nullptr : reinterpret_cast<T *>(n);
}
// Searches a list kept in ascending order, where compare(record) tells how a record stands to the
// one wanted (negative before it, 0 it, positive after it): the record, or null. The search stops
// at the first record after the wanted one; position, when given, receives the link a new record
// goes in front of to keep the order.
template <typename T, typename Compare>
T *listFindSorted(SnmpList &list, Compare compare, SnmpLink **position = nullptr) {
  if (position != nullptr) *position = &list.head;
  for (T *record = listFirst<T>(list); record; record = listNext(list, record)) {
    int c = compare(record);
    if (c == 0) return record;
    if (c > 0) {
      if (position != nullptr) *position = &record->link;
      break;
    }
  }
  return nullptr;
}

// States.
void freeMpmState(MpmState *state);
bool isReceivedState(const MpmState *state);
void sweepStaleStates();

// Engine clock without the sweep.
uint32_t engineTime();

inline bool adminEqual(const AdminString &a, const AdminString &b) {
  return a.length == b.length && __builtin_memcmp(a.octets, b.octets, a.length) == 0;
}

// The whole text of octets under a display hint: the room grows until it fits (a hint may spell
// one octet in many characters). False when the formatter refuses the hint.
bool formatOctetsWhole(const char *hint, const unsigned char *octets, uint32_t length, std::string &text);

}  // namespace telvi::snmp

#endif
