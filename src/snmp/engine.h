// Internal helpers of the SNMP engine shared by its source files.
#ifndef TELVI_SNMP_ENGINE_H
#define TELVI_SNMP_ENGINE_H

#include <cstdarg>

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

// States.
void freeMpmState(MpmState *state);
bool isReceivedState(const MpmState *state);
void sweepStaleStates();

// Engine clock without the sweep.
uint32_t engineTime();

inline bool adminEqual(const AdminString &a, const AdminString &b) {
  return a.length == b.length && __builtin_memcmp(a.octets, b.octets, a.length) == 0;
}

}  // namespace telvi::snmp

#endif
