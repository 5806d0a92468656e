// Package "mibman": the driver between a request's "pdu" bob and the agent's "request" methods. Each
// binding goes to the current object's "request" method (spec "request", the phase as subspec) with
// the service parameters "pdu", "oid" and "index"; the method's answer, an error-status name, becomes
// the PDU's error status and index.

#include <climits>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "pkg/command.h"
#include "telvi/bob.h"
#include "telvi/ddl.h"
#include "telvi/package.h"
#include "telvi/service.h"
#include "telvi/snmpv2.h"
#include "telvi/toe.h"

using telvi::fail;

namespace {

const int kGenErr = 5;
// A GetBulk answer carries what fits into one message: at the usual twenty-odd octets a binding,
// about 2 700. Repetitions beyond that are not made room for (a binding of the pdu takes about half a
// kilobyte), so that a large max-repetitions cannot make every request allocate megabytes.
const int kMostBindings = 2048;

// Makes sure the bob has bindings 0 .. count - 1 (new ones empty).
bool haveBindings(BobPdu *bob, int count) {
  if (count <= 0) return true;
  if (bob->varbind == nullptr) bob->varbind = dataArrayCreate(sizeof(BobVarBind), 0);
  return dataArrayIndex(bob->varbind, count - 1, 0) != nullptr;
}

void print(const char *channel, const std::string &line) { ddlPrint(channel, line.c_str()); }

// What every command checks before it runs: the bob, and the object whose methods answer.
struct Request {
  Tcl_Interp *interp;
  const char *id;
  toe *node = nullptr;

  int open(int argc, const char *argv[]) {
    if (argc != 2) return fail(interp, "Usage: ", argv[0], " <pduBob>");
    id = argv[1];
    bobEntry *e = bobIdLookup(id);
    if (e == nullptr) return fail(interp, "Invalid bob id: ", id);
    if (snmpPduOf(id) == nullptr) return fail(interp, "Invalid bob type: ", id);
    node = toeGetCurrentObject(interp, TOE_SELECT_CURRENT);
    if (node == nullptr) return fail(interp, "Not in dictionary context");
    toeIncrRefCount(node);
    clearParameter(interp, node, "totalreps");
    if (setParameter(interp, node, "pdu", id) != 0) return fail(interp, "Unable to set parameter");
    return TCL_OK;
  }
  ~Request() {
    if (node == nullptr) return;
    for (const char *name : {"pdu", "oid", "index", "maxreps", "increment", "totalreps"})
      clearParameter(interp, node, name);
    toeDecrRefCount(node);
  }
  int done() {
    Tcl_SetResult(interp, const_cast<char *>(id), TCL_VOLATILE);
    return TCL_OK;
  }
};

int cmdGet(ClientData clientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  Request request{interp, nullptr};
  if (request.open(argc, argv) != TCL_OK) return TCL_ERROR;
  const char *phase = static_cast<const char *>(clientData);
  processRequest(interp, request.id, phase, 0, bobPduBindingCount(snmpPduOf(request.id)));
  return request.done();
}

int cmdSet(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  Request request{interp, nullptr};
  if (request.open(argc, argv) != TCL_OK) return TCL_ERROR;
  auto pass = [&](const char *phase) {
    BobPdu *bob = snmpPduOf(request.id);
    return bob ? processRequest(interp, request.id, phase, 0, bobPduBindingCount(bob)) : kGenErr;
  };
  // A failed set or check is undone; the answer still tells the manager which binding failed and
  // why, so the rollback pass's own answer does not replace it.
  auto rollback = [&] {
    BobPdu *bob = snmpPduOf(request.id);
    if (bob == nullptr) return;
    int status = bob->error_status, index = bob->error_index;
    if (pass("rollback") != 0) print("debug", "processSetRequest - rollback failed\n");
    if ((bob = snmpPduOf(request.id)) != nullptr) {
      bob->error_status = status;
      bob->error_index = index;
    }
  };
  if (pass("prevalidate") == 0) {
    if (pass("set") != 0 || pass("postvalidate") != 0) rollback();
    else pass("setactions");
  }
  return request.done();
}

int cmdGetBulk(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  Request request{interp, nullptr};
  if (request.open(argc, argv) != TCL_OK) return TCL_ERROR;
  BobPdu *bob = snmpPduOf(request.id);
  uint32_t started = updateSnmpTime();
  int total = bobPduBindingCount(bob);
  // In a GetBulk the error fields carry non-repeaters and max-repetitions.
  int nonRepeaters = bob->error_status < 0 ? 0 : bob->error_status > total ? total : bob->error_status;
  int maxRepetitions = bob->error_index < 1 ? 0 : bob->error_index;
  // The repetitions share what room is left after the non-repeaters, which are never cut.
  int repeaters = total - nonRepeaters;
  int room = std::max(0, kMostBindings - nonRepeaters);
  if (repeaters > 0 && maxRepetitions > room / repeaters) maxRepetitions = room / repeaters;
  if (maxRepetitions == 0) {
    bob->varcount = nonRepeaters;
    repeaters = 0;
  }

  int status = processRequest(interp, request.id, "getnext", 0, nonRepeaters);
  if (status == 0 && repeaters > 0) {
    if (setParameter(interp, request.node, "maxreps", std::to_string(maxRepetitions).c_str()) != 0)
      return fail(interp, "Unable to set parameter: maxreps");
    if (setParameter(interp, request.node, "increment", std::to_string(repeaters).c_str()) != 0)
      return fail(interp, "Unable to set parameter: increment");
    int wanted = nonRepeaters + repeaters * maxRepetitions;
    if ((bob = snmpPduOf(request.id)) == nullptr || !haveBindings(bob, wanted)) return request.done();
    bob->varcount = wanted;
    status = processRequest(interp, request.id, "getnext", nonRepeaters, nonRepeaters + repeaters);
    if ((bob = snmpPduOf(request.id)) == nullptr) return request.done();
    Tcl_ResetResult(interp);
    if (getParameter(interp, request.node, "totalreps", nullptr) != TCL_OK) {
      print("error", "processGetBulk - total repetitions not defined.\n");
    } else {
      int repetitions;
      if (sscanf(Tcl_GetStringResult(interp), "%d", &repetitions) != 1) {
        print("error", "processGetBulk - error determining total repetitions\n");
      } else {
        // Never more than the bindings that were made room for.
        if (repetitions < 0) repetitions = 0;
        if (repetitions > maxRepetitions) repetitions = maxRepetitions;
        bob->varcount = nonRepeaters + repeaters * repetitions;
      }
    }
    Tcl_ResetResult(interp);
  }
  if ((bob = snmpPduOf(request.id)) != nullptr && status != 0) bob->varcount = total;
  char line[64];
  snprintf(line, sizeof line, "processGetBulk - %u TimeTicks\n", updateSnmpTime() - started);
  print("trace", line);
  return request.done();
}

}  // namespace

extern "C" {

int processRequest(Tcl_Interp *interp, const char *bobId, const char *phase, int first, int last) {
  BobPdu *bob = snmpPduOf(bobId);
  toe *node = toeGetCurrentObject(interp, TOE_SELECT_CURRENT);
  if (bob == nullptr || node == nullptr) return kGenErr;
  bob->error_status = kGenErr;
  int status = kGenErr, i;
  std::string context(reinterpret_cast<const char *>(bob->pdu.context.octets), bob->pdu.context.length);
  for (i = first; i < last; ++i) {
    if ((bob = snmpPduOf(bobId)) == nullptr || !haveBindings(bob, i + 1)) break;
    auto *binding = static_cast<BobVarBind *>(dataArrayIndex(bob->varbind, i, 0));
    char text[ASN1_MAX_ARCS * 11 + 1];
    if (*oidtostr(binding->oid, text, sizeof text) == 0) break;
    std::string oid = context + "/" + text;
    if (oid.size() > 1663 || setParameter(interp, node, "oid", oid.c_str()) != 0 ||
        setParameter(interp, node, "index", std::to_string(i).c_str()) != 0)
      break;
    Tcl_ResetResult(interp);
    if (triggerMethod(interp, node, "request", phase, nullptr, nullptr) != TCL_OK) {
      std::string line = std::string("processRequest - ") + phase + "(" + oid + ") error: " +
                         Tcl_GetStringResult(interp) + "\n";
      print("debug", line);
      break;
    }
    int answer = snmpErrorStatusValue(Tcl_GetStringResult(interp));
    Tcl_ResetResult(interp);
    if (answer == 0) continue;
    if (answer > 0) status = answer;
    break;
  }
  if ((bob = snmpPduOf(bobId)) == nullptr) return status;
  if (i >= last) {
    status = 0;
    bob->error_index = 0;
  } else {
    bob->error_index = i + 1;
  }
  bob->error_status = status;
  return status;
}

int Mibman_InitInternal(Tcl_Interp *interp) {
  static char get[] = "get", getnext[] = "getnext";
  telvi::createCommands(interp, {{"processGetRequest", cmdGet, get},
                                 {"processGetNextRequest", cmdGet, getnext},
                                 {"processSetRequest", cmdSet},
                                 {"processGetBulkRequest", cmdGetBulk}});
  return TCL_OK;
}

}  // extern "C"
