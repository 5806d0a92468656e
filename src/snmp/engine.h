// Internal helpers of the SNMP engine shared by its source files.
#ifndef TELVI_SNMP_ENGINE_H
#define TELVI_SNMP_ENGINE_H

#include <cstdarg>

#include "telvi/snmp.h"

namespace telvi::snmp {

// The one exit for the engine's diagnostic texts. Today it only keeps the last text for tests;
// once the diagnostic channels exist it forwards to them (channel "trace" or "debug").
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
