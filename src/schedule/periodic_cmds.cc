// Package "periodic": `periodic`, schedules compiled once and kept behind ids "periodic<n>".
#include <tcl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "pkg/command.h"
#include "telvi/id.h"
#include "telvi/package.h"
#include "telvi/periodic.h"

namespace {

using telvi::fail;

const char kPrefix[] = "periodic";
const char kVerbs[] = " parse|free|inrange|secs_to_wait|freq ?args?";

// When the package was initialised: the default start of cycles that have none of their own.
long starttime = 0;

// The schedule behind an id; "null" and unknown ids give null.
PeriodicSchedule *lookup(const char *id) {
  void *pointer = nullptr;
  if (idLookup(kPrefix, id, &pointer) != 0) return nullptr;
  return static_cast<PeriodicSchedule *>(pointer);
}

// A signed long in decimal, the whole word.
bool parseTime(const char *word, long &value) {
  if (*word == ' ' || (*word >= '\t' && *word <= '\r')) return false;  // strtol would skip blanks
  errno = 0;
  char *end;
  value = std::strtol(word, &end, 10);
  return end != word && *end == '\0' && errno == 0;
}

int badTime(Tcl_Interp *interp, const char *word) { return fail(interp, "invalid time ", word); }

// A recorded evaluation error turns the call into a failure.
int evaluationResult(Tcl_Interp *interp, const char *name, const char *verb, PeriodicSchedule *schedule,
                     const char *text) {
  const char *error = periodic_get_error(schedule);
  if (error != nullptr) return fail(interp, name, " ", verb, " failed: ", error);
  Tcl_SetObjResult(interp, Tcl_NewStringObj(text, -1));
  return TCL_OK;
}

int parse(Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return fail(interp, "wrong # args: should be \"", argv[0], " ", argv[1], " string");
  const char *message = nullptr;
  PeriodicSchedule *schedule = periodic_parse(argv[2], &message);
  if (schedule == nullptr) return fail(interp, argv[0], " ", argv[1], " failed: ", message);
  const char *id = idCreate(kPrefix, schedule);
  if (id == nullptr) {
    periodic_free(schedule);
    return fail(interp, argv[0], " ", argv[1], " failed: no more memory: malloc() failed");
  }
  Tcl_SetObjResult(interp, Tcl_NewStringObj(id, -1));
  return TCL_OK;
}

int release(Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return fail(interp, "wrong # args: should be \"", argv[0], " ", argv[1], " id");
  // "null" names no schedule: freeing it does nothing.
  void *pointer = nullptr;
  if (idLookup(kPrefix, argv[2], &pointer) != 0)
    return fail(interp, "bad periodic id: '", argv[2], "' should be \"", argv[0], " ", argv[1], " id\"");
  periodic_free(static_cast<PeriodicSchedule *>(pointer));
  idDestroy(argv[2]);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// The schedule named by argv[2] after checking the word count (3 to most); null, with the usage or
// bad-id message as the result, when either is wrong.
PeriodicSchedule *scheduleArgument(Tcl_Interp *interp, int argc, const char *argv[], int most, const char *usage) {
  if (argc < 3 || argc > most) {
    fail(interp, "wrong # args: should be \"", argv[0], " ", argv[1], usage);
    return nullptr;
  }
  PeriodicSchedule *schedule = lookup(argv[2]);
  if (schedule == nullptr) fail(interp, "bad periodic id: '", argv[2], "' should be \"", argv[0], " ", argv[1], usage);
  return schedule;
}

int inrange(Tcl_Interp *interp, int argc, const char *argv[]) {
  PeriodicSchedule *schedule = scheduleArgument(interp, argc, argv, 5, " id time? period_start_time?\"");
  if (schedule == nullptr) return TCL_ERROR;
  long time = std::time(nullptr), periodStart = starttime;
  if (argc > 3 && !parseTime(argv[3], time)) return badTime(interp, argv[3]);
  if (argc > 4 && !parseTime(argv[4], periodStart)) return badTime(interp, argv[4]);
  tzset();  // a script may have changed env(TZ) since the last call
  int inside = periodic_inrange(schedule, time, periodStart);
  return evaluationResult(interp, argv[0], argv[1], schedule, inside ? "1" : "0");
}

int secsToWait(Tcl_Interp *interp, int argc, const char *argv[]) {
  PeriodicSchedule *schedule =
      scheduleArgument(interp, argc, argv, 6, " id edge_type? start_time? period_start_time?\"");
  if (schedule == nullptr) return TCL_ERROR;
  int edge = PERIODIC_BEAT;
  if (argc > 3) {
    if (std::strcmp(argv[3], "BEAT") == 0) edge = PERIODIC_BEAT;
    else if (std::strcmp(argv[3], "RISING") == 0) edge = PERIODIC_RISING;
    else if (std::strcmp(argv[3], "FALLING") == 0) edge = PERIODIC_FALLING;
    else return fail(interp, "invalid edge_type: '", argv[3], "' (should be BEAT or FALLING or RISING)");
  }
  long time = std::time(nullptr), periodStart = starttime;
  if (argc > 4 && !parseTime(argv[4], time)) return badTime(interp, argv[4]);
  if (argc > 5 && !parseTime(argv[5], periodStart)) return badTime(interp, argv[5]);
  tzset();
  long seconds = periodic_secs_to_wait(schedule, edge, time, periodStart);
  char text[32];
  std::snprintf(text, sizeof text, "%ld", seconds);
  return evaluationResult(interp, argv[0], argv[1], schedule, text);
}

int freq(Tcl_Interp *interp, int argc, const char *argv[]) {
  PeriodicSchedule *schedule = scheduleArgument(interp, argc, argv, 3, " id\"");
  if (schedule == nullptr) return TCL_ERROR;
  int flag = 0;
  long period = periodic_freq(schedule, &flag);
  char text[48];
  std::snprintf(text, sizeof text, "%ld %d", period, flag);
  return evaluationResult(interp, argv[0], argv[1], schedule, text);
}

int cmdPeriodic(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 2) return fail(interp, "wrong # args: should be \"", argv[0], kVerbs);
  const char *verb = argv[1];
  if (std::strcmp(verb, "parse") == 0) return parse(interp, argc, argv);
  if (std::strcmp(verb, "free") == 0) return release(interp, argc, argv);
  if (std::strcmp(verb, "inrange") == 0) return inrange(interp, argc, argv);
  if (std::strcmp(verb, "secs_to_wait") == 0) return secsToWait(interp, argc, argv);
  if (std::strcmp(verb, "freq") == 0) return freq(interp, argc, argv);
  return fail(interp, "bad verb: '", verb, "': should be \"", argv[0], kVerbs);
}

}  // namespace

extern "C" int Periodic_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {{"periodic", cmdPeriodic}});
  idInit();
  starttime = static_cast<long>(std::time(nullptr));
  const char *message = periodic_init();
  if (message != nullptr) {
    Tcl_AppendResult(interp, message, static_cast<const char *>(nullptr));
    return TCL_ERROR;
  }
  return TCL_OK;
}
