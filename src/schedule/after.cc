// Package "after": `after_secs`, scripts run after a delay in whole seconds, through a timer event
// source of the package's own on Tcl's notifier (so its timers never mix with Tcl's `after`).
#include <tcl.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "pkg/command.h"
#include "telvi/package.h"

namespace {

// ---- The timer event source -------------------------------------------------------------------
//
// One module-wide list of pending timers, sorted by due time; equal times keep their order of
// creation. Everything runs on the interpreter's thread.

struct TimerHandler {
  Tcl_Time due;
  Tcl_TimerProc *proc;
  ClientData clientData;
  int token;
  TimerHandler *next;
};

TimerHandler *firstTimer = nullptr;
// A single slot for a handler that runs even when the loop asks for no timer events; kept so that
// the source has the shape of Tcl's own, but nothing fills it.
TimerHandler *modalTimer = nullptr;
int lastToken = 0;
bool sourceRegistered = false;
// A timer event sits in Tcl's queue and has not run yet: no second one is queued meanwhile.
bool eventQueued = false;

struct TimerEvent {
  Tcl_Event header;
  Tcl_Time stamp;
};

bool atOrBefore(const Tcl_Time &a, const Tcl_Time &b) {
  return a.sec < b.sec || (a.sec == b.sec && a.usec <= b.usec);
}

bool before(const Tcl_Time &a, const Tcl_Time &b) {
  return a.sec < b.sec || (a.sec == b.sec && a.usec < b.usec);
}

// The handler that decides when the loop must wake: the first timer (only when timer events are
// wanted) or the modal one, whichever is due earlier.
TimerHandler *nextHandler(int flags) {
  TimerHandler *timer = (flags & TCL_TIMER_EVENTS) ? firstTimer : nullptr;
  if (modalTimer != nullptr && (timer == nullptr || before(modalTimer->due, timer->due))) return modalTimer;
  return timer;
}

void setupProc(ClientData, int flags) {
  TimerHandler *handler = nextHandler(flags);
  if (handler == nullptr) return;
  Tcl_Time now;
  Tcl_GetTime(&now);
  Tcl_Time block = {0, 0};
  if (!atOrBefore(handler->due, now)) {
    block.sec = handler->due.sec - now.sec;
    block.usec = handler->due.usec - now.usec;
    if (block.usec < 0) {
      block.usec += 1000000;
      --block.sec;
    }
  }
  Tcl_SetMaxBlockTime(&block);
}

int eventProc(Tcl_Event *event, int flags) {
  Tcl_Time stamp = reinterpret_cast<TimerEvent *>(event)->stamp;
  bool ran = false;
  if (modalTimer != nullptr && before(modalTimer->due, stamp)) {
    TimerHandler *modal = modalTimer;
    modalTimer = nullptr;
    modal->proc(modal->clientData);
    std::free(modal);
    ran = true;
  }
  if (!(flags & TCL_TIMER_EVENTS)) {
    if (ran) eventQueued = false;
    return ran ? 1 : 0;
  }
  // From here on a nested event loop (a script that waits) may queue the next event.
  eventQueued = false;
  // Always take the head: a handler may delete or create others while it runs. New ones are due
  // no earlier than the stamp, so they wait for the next event.
  while (firstTimer != nullptr && before(firstTimer->due, stamp)) {
    TimerHandler *timer = firstTimer;
    firstTimer = timer->next;
    timer->proc(timer->clientData);
    std::free(timer);
  }
  return 1;
}

void checkProc(ClientData, int flags) {
  TimerHandler *handler = nextHandler(flags);
  if (handler == nullptr || eventQueued) return;
  Tcl_Time now;
  Tcl_GetTime(&now);
  if (!atOrBefore(handler->due, now)) return;
  auto *event = static_cast<TimerEvent *>(ckalloc(sizeof(TimerEvent)));
  event->header.proc = eventProc;
  event->stamp = now;
  eventQueued = true;
  Tcl_QueueEvent(&event->header, TCL_QUEUE_TAIL);
}

void exitProc(ClientData) {
  if (!sourceRegistered) return;
  Tcl_DeleteEventSource(setupProc, checkProc, nullptr);
  sourceRegistered = false;
  eventQueued = false;
}

// Schedules proc(clientData) after the given seconds; returns the token that deletes it.
int createTimerHandler(long seconds, Tcl_TimerProc *proc, ClientData clientData) {
  if (!sourceRegistered) {
    Tcl_CreateEventSource(setupProc, checkProc, nullptr);
    Tcl_CreateExitHandler(exitProc, nullptr);
    sourceRegistered = true;
  }
  auto *timer = static_cast<TimerHandler *>(std::malloc(sizeof(TimerHandler)));
  if (timer == nullptr) return 0;
  Tcl_GetTime(&timer->due);
  timer->due.sec += seconds;
  timer->proc = proc;
  timer->clientData = clientData;
  if (lastToken == INT_MAX) lastToken = 0;
  timer->token = ++lastToken;
  TimerHandler **link = &firstTimer;
  while (*link != nullptr && atOrBefore((*link)->due, timer->due)) link = &(*link)->next;
  timer->next = *link;
  *link = timer;
  return timer->token;
}

void deleteTimerHandler(int token) {
  for (TimerHandler **link = &firstTimer; *link != nullptr; link = &(*link)->next) {
    if ((*link)->token == token) {
      TimerHandler *timer = *link;
      *link = timer->next;
      std::free(timer);
      return;
    }
  }
}

// ---- after_secs ----------------------------------------------------------------------------------

const char kAssocKey[] = "tclAfter_secs";

struct AfterState;

// One pending script.
struct AfterRecord {
  AfterState *owner;
  char *script;
  int id;
  int token;  // 0: an idle callback
  AfterRecord *next;
};

// Per interpreter: its pending scripts, newest first.
struct AfterState {
  Tcl_Interp *interp;
  AfterRecord *first;
};

int lastAfterId = 0;

void unlink(AfterRecord *record) {
  for (AfterRecord **link = &record->owner->first; *link != nullptr; link = &(*link)->next) {
    if (*link == record) {
      *link = record->next;
      return;
    }
  }
}

void freeRecord(AfterRecord *record) {
  ckfree(record->script);
  ckfree(record);
}

// Timer and idle callback: runs the script at global level; a failure becomes a background error.
void afterProc(ClientData clientData) {
  auto *record = static_cast<AfterRecord *>(clientData);
  unlink(record);
  Tcl_Interp *interp = record->owner->interp;
  Tcl_Preserve(interp);
  int code = Tcl_EvalEx(interp, record->script, -1, TCL_EVAL_GLOBAL);
  if (code != TCL_OK && !Tcl_InterpDeleted(interp)) {
    Tcl_AddErrorInfo(interp, "\n    (\"after_secs\" script)");
    Tcl_BackgroundException(interp, code);
  }
  Tcl_Release(interp);
  freeRecord(record);
}

void cancel(AfterRecord *record) {
  if (record->token != 0) deleteTimerHandler(record->token);
  else Tcl_CancelIdleCall(afterProc, record);
  unlink(record);
  freeRecord(record);
}

// The interpreter is going away: nothing of it may run any more.
void deleteState(ClientData clientData, Tcl_Interp *) {
  auto *state = static_cast<AfterState *>(clientData);
  while (state->first != nullptr) cancel(state->first);
  ckfree(state);
}

int cmdAfterSecs(ClientData clientData, Tcl_Interp *interp, int argc, const char *argv[]);

AfterState *stateOf(ClientData clientData, Tcl_Interp *interp, const char *name) {
  if (clientData != nullptr) return static_cast<AfterState *>(clientData);
  auto *state = static_cast<AfterState *>(Tcl_GetAssocData(interp, kAssocKey, nullptr));
  if (state == nullptr) {
    state = static_cast<AfterState *>(ckalloc(sizeof(AfterState)));
    state->interp = interp;
    state->first = nullptr;
    Tcl_SetAssocData(interp, kAssocKey, deleteState, state);
  }
  // Later calls find the state without the look-up; only when the name still means this command.
  Tcl_CmdInfo info;
  if (Tcl_GetCommandInfo(interp, name, &info) && info.proc == cmdAfterSecs && info.clientData == nullptr) {
    info.clientData = state;
    Tcl_SetCommandInfo(interp, name, &info);
  }
  return state;
}

std::string_view idText(int id, char (&buffer)[32]) {
  int length = std::snprintf(buffer, sizeof buffer, "after_secs#%d", id);
  return {buffer, static_cast<size_t>(length)};
}

// The words from argv[first] on as one script: a single word as it is, more joined with blanks.
char *joinWords(int argc, const char *argv[], int first) {
  if (argc - first == 1) {
    size_t length = std::strlen(argv[first]);
    char *copy = static_cast<char *>(ckalloc(length + 1));
    std::memcpy(copy, argv[first], length + 1);
    return copy;
  }
  return Tcl_Concat(argc - first, argv + first);
}

AfterRecord *findById(AfterState *state, const char *word) {
  char buffer[32];
  for (AfterRecord *record = state->first; record != nullptr; record = record->next)
    if (idText(record->id, buffer) == word) return record;
  return nullptr;
}

int schedule(Tcl_Interp *interp, AfterState *state, int argc, const char *argv[], long seconds) {
  auto *record = static_cast<AfterRecord *>(ckalloc(sizeof(AfterRecord)));
  record->owner = state;
  record->script = joinWords(argc, argv, 2);
  if (lastAfterId == INT_MAX) lastAfterId = 0;
  record->id = ++lastAfterId;
  if (seconds >= 0) {
    record->token = createTimerHandler(seconds, afterProc, record);
    if (record->token == 0) {
      freeRecord(record);
      return telvi::fail(interp, "out of memory");
    }
  } else {
    record->token = 0;
    Tcl_DoWhenIdle(afterProc, record);
  }
  record->next = state->first;
  state->first = record;
  char buffer[32];
  std::string_view id = idText(record->id, buffer);
  Tcl_SetObjResult(interp, Tcl_NewStringObj(id.data(), static_cast<int>(id.size())));
  return TCL_OK;
}

// Blocks the whole process for the given seconds (Tcl_Sleep takes milliseconds in an int).
void sleepSeconds(long seconds) {
  constexpr long kChunk = 1000000;
  while (seconds > 0) {
    long step = seconds < kChunk ? seconds : kChunk;
    Tcl_Sleep(static_cast<int>(step * 1000));
    seconds -= step;
  }
}

int cmdAfterSecs(ClientData clientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  const char *name = argv[0];
  if (argc < 2) return telvi::fail(interp, "wrong # args: should be \"", name, " option ?arg arg ...?\"");
  AfterState *state = stateOf(clientData, interp, name);
  const char *word = argv[1];
  size_t length = std::strlen(word);
  if (std::isdigit(static_cast<unsigned char>(word[0]))) {
    int seconds;
    if (Tcl_GetInt(interp, word, &seconds) != TCL_OK) return TCL_ERROR;
    if (seconds < 0) seconds = 0;
    if (argc == 2) {
      sleepSeconds(seconds);
      Tcl_ResetResult(interp);
      return TCL_OK;
    }
    return schedule(interp, state, argc, argv, seconds);
  }
  if (word[0] == 'c' && std::strncmp(word, "cancel", length) == 0) {
    if (argc < 3) return telvi::fail(interp, "wrong # args: should be \"", name, " cancel id|command\"");
    char *command = joinWords(argc, argv, 2);
    AfterRecord *record = state->first;
    while (record != nullptr && std::strcmp(record->script, command) != 0) record = record->next;
    if (record == nullptr) record = findById(state, command);
    ckfree(command);
    if (record != nullptr) cancel(record);
    Tcl_ResetResult(interp);
    return TCL_OK;
  }
  if (length >= 2 && std::strncmp(word, "idle", length) == 0) {
    if (argc < 3) return telvi::fail(interp, "wrong # args: should be \"", name, " idle script script ...\"");
    return schedule(interp, state, argc, argv, -1);
  }
  if (length >= 2 && std::strncmp(word, "info", length) == 0) {
    Tcl_ResetResult(interp);
    if (argc == 2) {
      char buffer[32];
      for (AfterRecord *record = state->first; record != nullptr; record = record->next)
        Tcl_AppendElement(interp, idText(record->id, buffer).data());
      return TCL_OK;
    }
    if (argc != 3) return telvi::fail(interp, "wrong # args: should be \"", name, " info ?id?\"");
    AfterRecord *record = findById(state, argv[2]);
    if (record == nullptr) return telvi::fail(interp, "event \"", argv[2], "\" doesn't exist");
    Tcl_AppendElement(interp, record->script);
    Tcl_AppendElement(interp, record->token != 0 ? "timer" : "idle");
    return TCL_OK;
  }
  return telvi::fail(interp, "bad argument \"", word, "\": must be cancel, idle, info, or a number");
}

}  // namespace

extern "C" int After_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {{"after_secs", cmdAfterSecs}});
  return TCL_OK;
}
