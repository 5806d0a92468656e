// The object-aware interpreter layer over Tcl 8.6.
//
// Per interpreter it keeps the stack of object contexts. Commands created while an object is
// current (by proc, rename or toeCreateCommand) go into a namespace of that object's own,
// ::telvi::objects::<id>; a command resolver installed with Tcl_AddInterpResolvers then looks an
// unqualified name up in the current object's methods and its parents' (depth first, in order)
// before Tcl's own lookup finds the global command.
//
// Tcl caches a resolved command in the name's Tcl_Obj, valid while the referring namespace's
// cmdRefEpoch and the command's own cmdEpoch are unchanged. Only names that are methods of some
// object can resolve differently in another context, so a change of the current object invalidates
// just the commands that the resolver's answers for such names led to (their cmdEpoch is bumped):
// every other cached name (toe_send, set, a global proc) stays valid across object sends. Changes
// that can alter any resolution (a new method, a renamed command, a changed parent list, a deleted
// object) bump the epochs of the namespaces the resolver served, so that every name is resolved
// again once. Names of built-ins that Tcl compiles inline (set, llength, ...) lose their inline
// compilation once an object defines a method of that name.
//
// Only unqualified names looked up from code running in :: or in an object's namespace are
// resolved against objects: Tcl's own library, which runs in its namespaces, is never captured by
// a method, and auto_load and package require run with no current object.
#include <tclInt.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "interp/layer.h"
#include "telvi/toe.h"

namespace {

constexpr const char *kAssocKey = "telvi::objects";
constexpr const char *kObjectsNamespace = "::telvi::objects";
constexpr const char *kOriginalAutoLoad = "::telvi::original::auto_load";

struct State {
  Tcl_Interp *interp = nullptr;
  Tcl_HashTable *table = nullptr;  // the global command table: the key of the context stack
  toeContext *top = nullptr;
  std::vector<Namespace *> served;  // namespaces whose lookups the resolver answered or passed on
  // Every name that is (or was) a method of some object in this interpreter.
  Tcl_HashTable methodNames;
  // The commands that names of methods resolved to since the current object last changed, each held
  // by a reference: a change of the current object invalidates what Tcl cached of them.
  std::vector<Command *> handedOut;
  Tcl_Namespace *objects = nullptr;
  Tcl_CmdInfo proc{};
  Tcl_CmdInfo rename{};
  Tcl_CmdInfo package{};
  // Scripts and command names evaluated again and again (a node's method text, "setNodeValue"):
  // kept as Tcl objects so that their bytecode and command look-ups are reused.
  std::unordered_map<std::string, Tcl_Obj *> scripts;
  std::unordered_map<std::string, Tcl_Obj *> names;
  // Frames popped, kept for the next push (an object send pushes and pops one every time).
  std::vector<toeContext *> spareFrames;
  // Which command a method name of an object resolves to, remembered until anything that can
  // change a resolution happens (generation): a send to the same object and method again and
  // again skips the walk through the ancestors. Each entry holds its command and name.
  struct Resolved {
    toe *object = nullptr;
    Command *command = nullptr;
    Tcl_Obj *name = nullptr;
    unsigned long generation = 0;
  };
  Resolved resolved[16];
  unsigned long generation = 1;
};

constexpr size_t kMaxCachedScripts = 1024;
constexpr size_t kMaxCachedScriptLength = 1024;

void releaseObjects(std::unordered_map<std::string, Tcl_Obj *> &objects) {
  for (auto &entry : objects) Tcl_DecrRefCount(entry.second);
  objects.clear();
}

// The cached object for text; a full cache starts again.
Tcl_Obj *cachedObject(std::unordered_map<std::string, Tcl_Obj *> &objects, const char *text) {
  auto found = objects.find(text);
  if (found != objects.end()) return found->second;
  if (objects.size() >= kMaxCachedScripts) releaseObjects(objects);
  Tcl_Obj *object = Tcl_NewStringObj(text, -1);
  Tcl_IncrRefCount(object);
  objects.emplace(text, object);
  return object;
}

std::vector<State *> states;
State *lastState = nullptr;  // the interpreter asked for last: nearly always the only one

State *findState(Tcl_Interp *interp) {
  if (lastState != nullptr && lastState->interp == interp) return lastState;
  for (State *state : states)
    if (state->interp == interp) return lastState = state;
  return nullptr;
}

State *stateByTable(Tcl_HashTable *table) {
  if (lastState != nullptr && lastState->table == table) return lastState;
  for (State *state : states)
    if (state->table == table) return lastState = state;
  return nullptr;
}

toe *methodObject(const State *state) { return state->top != nullptr ? state->top->first : nullptr; }

// The current object changed: names of methods resolve again.
void forgetMethodResolutions(State *state) {
  for (Command *command : state->handedOut) {
    command->cmdEpoch++;
    TclCleanupCommandMacro(command);
  }
  state->handedOut.clear();
}

void handOut(State *state, Command *command) {
  if (std::find(state->handedOut.begin(), state->handedOut.end(), command) != state->handedOut.end()) return;
  command->refCount++;
  state->handedOut.push_back(command);
}

// Anything may resolve differently: every name resolves again.
void forgetResolutions(State *state) {
  state->generation++;
  for (Namespace *ns : state->served) ns->cmdRefEpoch++;
  state->served.clear();
  forgetMethodResolutions(state);
}

bool isMethodName(State *state, const char *name) { return Tcl_FindHashEntry(&state->methodNames, name) != nullptr; }

void noteMethodName(State *state, const char *name) {
  int isNew;
  Tcl_CreateHashEntry(&state->methodNames, name, &isNew);
}

// The command Tcl's own look-up finds for a name the resolver passed on, from code in ns.
Command *ordinaryCommand(State *state, Namespace *ns, const char *name) {
  Interp *iPtr = reinterpret_cast<Interp *>(state->interp);
  Tcl_HashEntry *entry = ns != iPtr->globalNsPtr ? Tcl_FindHashEntry(&ns->cmdTable, name) : nullptr;
  if (entry == nullptr) entry = Tcl_FindHashEntry(&iPtr->globalNsPtr->cmdTable, name);
  return entry != nullptr ? static_cast<Command *>(Tcl_GetHashValue(entry)) : nullptr;
}

void noteServed(State *state, Namespace *ns) {
  if (std::find(state->served.begin(), state->served.end(), ns) == state->served.end())
    state->served.push_back(ns);
}

void forgetNamespace(Namespace *ns) {
  for (State *state : states) {
    auto &served = state->served;
    served.erase(std::remove(served.begin(), served.end(), ns), served.end());
  }
}

bool isQualified(const char *name) {
  for (const char *colon = std::strchr(name, ':'); colon != nullptr; colon = std::strchr(colon + 1, ':'))
    if (colon[1] == ':') return true;
  return false;
}

// Whether code running in ns sees objects' methods.
bool resolvesObjects(const State *state, Namespace *ns) {
  if (ns == reinterpret_cast<Interp *>(state->interp)->globalNsPtr) return true;
  return state->objects != nullptr && ns->parentPtr == reinterpret_cast<Namespace *>(state->objects) &&
         (ns->flags & NS_DYING) == 0;
}

Command *findMethod(Tcl_Interp *interp, toe *object, const char *name) {
  Command *found = nullptr;
  telvi::interp::forEachAncestor(object, [&](toe *candidate) {
    if (candidate->methods == nullptr || candidate->methodsInterp != interp) return false;
    Tcl_HashEntry *entry = Tcl_FindHashEntry(candidate->methods, name);
    if (entry == nullptr) return false;
    found = static_cast<Command *>(Tcl_GetHashValue(entry));
    return true;
  });
  return found;
}

int resolveCommand(Tcl_Interp *interp, const char *name, Tcl_Namespace *context, int flags,
                   Tcl_Command *result) {
  if ((flags & TCL_NAMESPACE_ONLY) != 0 || isQualified(name)) return TCL_CONTINUE;
  State *state = findState(interp);
  if (state == nullptr) return TCL_CONTINUE;
  Namespace *ns = reinterpret_cast<Namespace *>(context != nullptr ? context : Tcl_GetCurrentNamespace(interp));
  if (!resolvesObjects(state, ns)) return TCL_CONTINUE;
  noteServed(state, ns);
  toe *object = methodObject(state);
  Command *method = object != nullptr ? findMethod(interp, object, name) : nullptr;
  if (method == nullptr) {
    // Another object may have a method of this name: what Tcl finds now holds only for now.
    if (isMethodName(state, name))
      if (Command *ordinary = ordinaryCommand(state, ns, name)) handOut(state, ordinary);
    return TCL_CONTINUE;
  }
  if (!isMethodName(state, name)) {
    // A method made past the layer's own ways of making them: names cached before are suspect.
    noteMethodName(state, name);
    forgetResolutions(state);
  }
  handOut(state, method);
  *result = reinterpret_cast<Tcl_Command>(method);
  return TCL_OK;
}

void methodsNamespaceDeleted(ClientData clientData) {
  toe *object = static_cast<toe *>(clientData);
  if (object == nullptr) return;
  forgetNamespace(reinterpret_cast<Namespace *>(object->methodsNamespace));
  object->methods = nullptr;
  object->methodsNamespace = nullptr;
  object->methodsInterp = nullptr;
}

// The namespace of the object's methods in this interpreter, created on first use; null when the
// object's methods live in another interpreter.
Tcl_Namespace *methodsNamespace(State *state, toe *object) {
  if (object->methodsNamespace != nullptr)
    return object->methodsInterp == state->interp ? object->methodsNamespace : nullptr;
  if (state->objects == nullptr) {
    state->objects = Tcl_FindNamespace(state->interp, kObjectsNamespace, nullptr, TCL_GLOBAL_ONLY);
    if (state->objects == nullptr)
      state->objects = Tcl_CreateNamespace(state->interp, kObjectsNamespace, nullptr, nullptr);
    if (state->objects == nullptr) return nullptr;
  }
  std::string name = std::string(kObjectsNamespace) + "::" + (object->id != nullptr ? object->id : "anonymous");
  Tcl_Namespace *ns = Tcl_CreateNamespace(state->interp, name.c_str(), object, methodsNamespaceDeleted);
  if (ns == nullptr) {
    Tcl_ResetResult(state->interp);
    return nullptr;
  }
  object->methodsNamespace = ns;
  object->methodsInterp = state->interp;
  object->methods = &reinterpret_cast<Namespace *>(ns)->cmdTable;
  return ns;
}

// The object that a command created now under this name becomes a method of, or null.
toe *methodOwner(State *state, const char *name) {
  if (name[0] == '\0' || isQualified(name)) return nullptr;
  toe *object = methodObject(state);
  if (object == nullptr) return nullptr;
  Namespace *ns = reinterpret_cast<Namespace *>(Tcl_GetCurrentNamespace(state->interp));
  return resolvesObjects(state, ns) ? object : nullptr;
}

void methodCreated(State *state, const char *name) {
  noteMethodName(state, name);
  // A compiled script would run the inline code of a built-in even where a method shadows it.
  Interp *iPtr = reinterpret_cast<Interp *>(state->interp);
  Tcl_HashEntry *entry = Tcl_FindHashEntry(&iPtr->globalNsPtr->cmdTable, name);
  if (entry != nullptr) {
    Command *builtin = static_cast<Command *>(Tcl_GetHashValue(entry));
    if (builtin->compileProc != nullptr) {
      builtin->compileProc = nullptr;
      iPtr->compileEpoch++;
    }
  }
  forgetResolutions(state);
}

std::string methodName(Tcl_Namespace *ns, const char *name) {
  return std::string(ns->fullName) + "::" + name;
}

// proc and rename: a new command name given in object context names a method.
int createInObject(State *state, const Tcl_CmdInfo &original, int nameIndex, Tcl_Interp *interp, int objc,
                   Tcl_Obj *const objv[]) {
  const char *name = objc > nameIndex ? Tcl_GetString(objv[nameIndex]) : "";
  toe *owner = methodOwner(state, name);
  Tcl_Namespace *ns = owner != nullptr ? methodsNamespace(state, owner) : nullptr;
  if (ns == nullptr) return original.objProc(original.objClientData, interp, objc, objv);
  std::vector<Tcl_Obj *> words(objv, objv + objc);
  std::string qualified = methodName(ns, name);
  words[nameIndex] = Tcl_NewStringObj(qualified.c_str(), -1);
  Tcl_IncrRefCount(words[nameIndex]);
  int code = original.objProc(original.objClientData, interp, objc, words.data());
  Tcl_DecrRefCount(words[nameIndex]);
  if (code == TCL_OK) methodCreated(state, name);
  return code;
}

int procInObject(ClientData clientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]) {
  State *state = static_cast<State *>(clientData);
  // A proc given a qualified name may land in an object's namespace: remembered methods are
  // looked up again.
  state->generation++;
  return createInObject(state, state->proc, 1, interp, objc, objv);
}

int renameInObject(ClientData clientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]) {
  State *state = static_cast<State *>(clientData);
  int code = createInObject(state, state->rename, 2, interp, objc, objv);
  // Renaming away a method, or a command in its place, changes what names resolve to.
  if (code == TCL_OK) forgetResolutions(state);
  return code;
}

// package require sources library files that define global procs: never into an object.
int packageOutsideObjects(ClientData clientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]) {
  State *state = static_cast<State *>(clientData);
  const Tcl_CmdInfo &original = state->package;
  if (objc < 2 || std::strcmp(Tcl_GetString(objv[1]), "require") != 0)
    return original.objProc(original.objClientData, interp, objc, objv);
  toePushContext(interp, nullptr, nullptr);
  int code = original.objProc(original.objClientData, interp, objc, objv);
  toePopContext(interp);
  return code;
}

// auto_load sources library files that define global procs: never into an object.
int autoLoadOutsideObjects(ClientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]) {
  std::vector<Tcl_Obj *> words(objv, objv + objc);
  words[0] = Tcl_NewStringObj(kOriginalAutoLoad, -1);
  Tcl_IncrRefCount(words[0]);
  toePushContext(interp, nullptr, nullptr);
  int code = Tcl_EvalObjv(interp, objc, words.data(), TCL_EVAL_GLOBAL);
  toePopContext(interp);
  Tcl_DecrRefCount(words[0]);
  return code;
}

void wrapCommand(Tcl_Interp *interp, const char *name, Tcl_CmdInfo *original, Tcl_ObjCmdProc *proc,
                 State *state) {
  if (Tcl_GetCommandInfo(interp, name, original) == 0 || original->isNativeObjectProc == 0) return;
  Tcl_CreateObjCommand(interp, name, proc, state, nullptr);
}

void wrapAutoLoad(Tcl_Interp *interp) {
  Tcl_CmdInfo info;
  if (Tcl_GetCommandInfo(interp, "::auto_load", &info) == 0) return;
  if (Tcl_FindNamespace(interp, "::telvi::original", nullptr, TCL_GLOBAL_ONLY) == nullptr)
    Tcl_CreateNamespace(interp, "::telvi::original", nullptr, nullptr);
  Tcl_Command command = Tcl_FindCommand(interp, "::auto_load", nullptr, TCL_GLOBAL_ONLY);
  if (command == nullptr) return;
  Tcl_Obj *script = Tcl_NewStringObj("rename ::auto_load ", -1);
  Tcl_AppendToObj(script, kOriginalAutoLoad, -1);
  Tcl_IncrRefCount(script);
  if (Tcl_EvalObjEx(interp, script, TCL_EVAL_GLOBAL) == TCL_OK)
    Tcl_CreateObjCommand(interp, "::auto_load", autoLoadOutsideObjects, nullptr, nullptr);
  Tcl_DecrRefCount(script);
  Tcl_ResetResult(interp);
}

void forgetResolved(State::Resolved &entry) {
  if (entry.command != nullptr) TclCleanupCommandMacro(entry.command);
  if (entry.name != nullptr) Tcl_DecrRefCount(entry.name);
  entry = State::Resolved{};
}

void deleteState(ClientData clientData, Tcl_Interp *) {
  State *state = static_cast<State *>(clientData);
  states.erase(std::remove(states.begin(), states.end(), state), states.end());
  if (lastState == state) lastState = nullptr;
  while (state->top != nullptr) {
    toeContext *frame = state->top;
    state->top = frame->below;
    toeDecrRefCount(frame->first);
    toeDecrRefCount(frame->second);
    std::free(frame);
  }
  releaseObjects(state->scripts);
  releaseObjects(state->names);
  forgetMethodResolutions(state);
  for (State::Resolved &entry : state->resolved) forgetResolved(entry);
  Tcl_DeleteHashTable(&state->methodNames);
  for (toeContext *frame : state->spareFrames) std::free(frame);
  delete state;
}

State *getState(Tcl_Interp *interp) {
  if (State *state = findState(interp)) return state;
  State *state = new State;
  state->interp = interp;
  state->table = &reinterpret_cast<Interp *>(interp)->globalNsPtr->cmdTable;
  Tcl_InitHashTable(&state->methodNames, TCL_STRING_KEYS);
  states.push_back(state);
  lastState = state;
  Tcl_SetAssocData(interp, kAssocKey, deleteState, state);
  Tcl_AddInterpResolvers(interp, "telvi", resolveCommand, nullptr, nullptr);
  wrapCommand(interp, "::proc", &state->proc, procInObject, state);
  wrapCommand(interp, "::rename", &state->rename, renameInObject, state);
  wrapCommand(interp, "::package", &state->package, packageOutsideObjects, state);
  wrapAutoLoad(interp);
  return state;
}

void setTop(State *state, toeContext *frame) {
  toe *before = methodObject(state);
  state->top = frame;
  if (methodObject(state) != before) forgetMethodResolutions(state);
}

// What Tcl's own trampoline for string commands does, without its stack allocator: the words'
// strings in an argument vector ending in null.
int invokeStringCommand(ClientData clientData, Tcl_Interp *interp, int objc, Tcl_Obj *const objv[]) {
  Command *command = static_cast<Command *>(clientData);
  constexpr int kLocal = 32;
  const char *local[kLocal + 1];
  const char **argv = local;
  if (objc > kLocal) {
    argv = static_cast<const char **>(std::malloc(sizeof(char *) * (static_cast<size_t>(objc) + 1)));
    if (argv == nullptr) {
      Tcl_SetResult(interp, const_cast<char *>("out of memory"), TCL_STATIC);
      return TCL_ERROR;
    }
  }
  for (int i = 0; i < objc; ++i) argv[i] = Tcl_GetString(objv[i]);
  argv[objc] = nullptr;
  int code = command->proc(command->clientData, interp, objc, argv);
  if (argv != local) std::free(argv);
  return code;
}

bool isStringCommand(const Command *command) {
  return command->objProc == TclInvokeStringCommand || command->objProc == invokeStringCommand;
}

}  // namespace

namespace telvi::interp {

void quickenStringCommand(Tcl_Command token) {
  Command *command = reinterpret_cast<Command *>(token);
  if (command != nullptr && command->objProc == TclInvokeStringCommand && command->objClientData == command)
    command->objProc = invokeStringCommand;
}

void resolutionChanged() {
  for (State *state : states) forgetResolutions(state);
}

void deleteMethods(toe *object) {
  if (object == nullptr || object->methods == nullptr) return;
  std::vector<Tcl_Command> commands;
  Tcl_HashSearch search;
  for (Tcl_HashEntry *entry = Tcl_FirstHashEntry(object->methods, &search); entry != nullptr;
       entry = Tcl_NextHashEntry(&search))
    commands.push_back(static_cast<Tcl_Command>(Tcl_GetHashValue(entry)));
  Tcl_Interp *interp = object->methodsInterp;
  for (Tcl_Command command : commands) Tcl_DeleteCommandFromToken(interp, command);
  resolutionChanged();
}

void objectFreed(toe *object) {
  if (object->methodsNamespace == nullptr) return;
  Namespace *ns = reinterpret_cast<Namespace *>(object->methodsNamespace);
  forgetNamespace(ns);
  object->methods = nullptr;
  object->methodsNamespace = nullptr;
  object->methodsInterp = nullptr;
  // The namespace may outlive the object while a method of it still runs: it must not call back.
  ns->clientData = nullptr;
  if ((ns->flags & (NS_DYING | NS_DEAD | NS_KILLED)) == 0) Tcl_DeleteNamespace(reinterpret_cast<Tcl_Namespace *>(ns));
  resolutionChanged();
}

}  // namespace telvi::interp

namespace {

// Runs evaluate() with the object as both objects of the top frame.
template <typename Evaluate>
int evalInObject(State *state, toe *object, Evaluate &&evaluate, bool nullMeansCurrent = false) {
  if (object == nullptr && nullMeansCurrent) return evaluate();
  toeContext *top = state->top;
  if (top != nullptr && top->first == object && top->second == object) return evaluate();
  if (toePushContext(state->interp, object, object) != 0) return TCL_ERROR;
  int code = evaluate();
  toePopContext(state->interp);
  return code;
}

// The method a name resolves to for the object, remembered; null when the name is no method of it.
State::Resolved *resolvedMethod(State *state, toe *object, const char *name) {
  size_t length = std::strlen(name);
  size_t slot = ((reinterpret_cast<uintptr_t>(object) >> 4) ^ (length * 31) ^ static_cast<unsigned char>(name[0]) ^
                 static_cast<unsigned char>(name[length - 1])) %
                (sizeof state->resolved / sizeof state->resolved[0]);
  State::Resolved &entry = state->resolved[slot];
  if (entry.object == object && entry.generation == state->generation && (entry.command->flags & CMD_IS_DELETED) == 0 &&
      std::strcmp(Tcl_GetString(entry.name), name) == 0)
    return &entry;
  Command *method = findMethod(state->interp, object, name);
  if (method == nullptr) return nullptr;
  forgetResolved(entry);
  method->refCount++;
  entry = State::Resolved{object, method, Tcl_NewStringObj(name, static_cast<int>(length)), state->generation};
  Tcl_IncrRefCount(entry.name);
  return &entry;
}

// Whether a call of this command can skip Tcl's dispatch and run its procedure directly, with the
// same outcome: a Tcl proc or a string command, no traces, limits or cancellation that Tcl's
// dispatch would act on, and a nesting level Tcl would accept. At level 0 Tcl's dispatch also
// turns return/break/continue into errors, so only nested calls qualify.
bool directlyCallable(Interp *iPtr, const Command *command) {
  return (command->objProc == TclObjInterpProc || isStringCommand(command)) &&
         command->tracePtr == nullptr && (command->flags & (CMD_IS_DELETED | CMD_HAS_EXEC_TRACES)) == 0 &&
         iPtr->tracePtr == nullptr && iPtr->limit.active == 0 && (iPtr->flags & (CANCELED | TCL_CANCEL_UNWIND)) == 0 &&
         iPtr->numLevels >= 1 && iPtr->numLevels < iPtr->maxNestingDepth;
}

// Calls a method of the current object: when the first word names a method that can be called
// directly, its procedure runs without Tcl resolving the name again (which it would, since every
// change of the current object invalidates method look-ups); otherwise Tcl evaluates the words.
// Either way the interpreter's level, command count, result and error information end as
// Tcl_EvalObjv leaves them.
int evalWords(State *state, int count, const char *const words[]) {
  Tcl_Interp *interp = state->interp;
  Interp *iPtr = reinterpret_cast<Interp *>(interp);
  toe *object = methodObject(state);
  State::Resolved *method = nullptr;
  if (object != nullptr && words[0][0] != '\0' && !isQualified(words[0]) &&
      resolvesObjects(state, reinterpret_cast<Namespace *>(Tcl_GetCurrentNamespace(interp))))
    method = resolvedMethod(state, object, words[0]);
  Tcl_Obj *local[8];
  std::vector<Tcl_Obj *> more;
  Tcl_Obj **objects = local;
  if (count > 8) {
    more.resize(static_cast<size_t>(count));
    objects = more.data();
  }
  objects[0] = method != nullptr ? method->name : cachedObject(state->names, words[0]);
  for (int i = 1; i < count; ++i) objects[i] = Tcl_NewStringObj(words[i], -1);
  for (int i = 0; i < count; ++i) Tcl_IncrRefCount(objects[i]);
  int code;
  if (method != nullptr && directlyCallable(iPtr, method->command)) {
    Command *command = method->command;
    command->refCount++;
    iPtr->numLevels++;
    iPtr->cmdCount++;
    // A proc's body always sets the result; a string command appends to it.
    if (command->objProc != TclObjInterpProc) Tcl_ResetResult(interp);
    code = command->objProc(command->objClientData, interp, count, objects);
    iPtr->numLevels--;
    TclCleanupCommandMacro(command);
    if (code == TCL_ERROR && (iPtr->flags & ERR_ALREADY_LOGGED) == 0) {
      Tcl_Obj *line = Tcl_NewListObj(count, objects);
      int length;
      const char *text = Tcl_GetStringFromObj(line, &length);
      Tcl_LogCommandInfo(interp, text, text, length);
      Tcl_DecrRefCount(line);
    }
    iPtr->flags &= ~ERR_ALREADY_LOGGED;
  } else {
    code = Tcl_EvalObjv(interp, count, objects, 0);
  }
  for (int i = 0; i < count; ++i) Tcl_DecrRefCount(objects[i]);
  return code;
}

}  // namespace

extern "C" {

Tcl_HashTable *toeInterpCommandTable(Tcl_Interp *interp) {
  return interp != nullptr ? getState(interp)->table : nullptr;
}

toeContext *toeGetContextByTable(Tcl_HashTable *table) {
  State *state = stateByTable(table);
  return state != nullptr ? state->top : nullptr;
}

void toeSetContextByTable(Tcl_HashTable *table, toeContext *frame) {
  if (State *state = stateByTable(table)) setTop(state, frame);
}

toe *toeGetCurrentObjectByTable(Tcl_HashTable *table, int selector) {
  State *state = stateByTable(table);
  if (state == nullptr || state->top == nullptr) return nullptr;
  switch (selector) {
    case TOE_SELECT_METHODS: return state->top->first;
    case TOE_SELECT_CURRENT: return state->top->second;
    default: return nullptr;
  }
}

Tcl_HashEntry *Toe_CreateHashEntry(Tcl_HashTable *table, const char *key, int *isNew) {
  return Tcl_CreateHashEntry(table, key, isNew);
}

Tcl_HashEntry *Toe_FindHashEntry(Tcl_HashTable *table, const char *key) { return Tcl_FindHashEntry(table, key); }

Tcl_HashEntry *Toe_FindObjectHashEntry(toe *object, const char *key, int selector, int mode) {
  if (object == nullptr || key == nullptr || selector != 2) return nullptr;
  Tcl_HashEntry *entry = Tcl_FindHashEntry(&object->dictionary, key);
  if (entry != nullptr || mode == 0) return entry;
  auto ownEntry = [&](toe *candidate) {
    entry = Tcl_FindHashEntry(&candidate->dictionary, key);
    return entry != nullptr;
  };
  switch (mode) {
    case 1:
      telvi::interp::forEachAncestor(object, ownEntry);
      return entry;
    case 2:
      // A superior chain cannot loop (an object is never its own superior, but two objects can
      // name each other): bound the walk.
      for (int depth = 0; depth < 10000 && (object = object->superior) != nullptr; ++depth)
        if (ownEntry(object)) return entry;
      return nullptr;
    case 3:
      for (int depth = 0; depth < 10000 && object != nullptr; ++depth, object = object->superior)
        if (telvi::interp::forEachAncestor(object, ownEntry)) return entry;
      return nullptr;
    default:
      return nullptr;
  }
}

Tcl_Command toeCreateCommand(Tcl_Interp *interp, const char *name, Tcl_CmdProc *proc, ClientData clientData,
                             Tcl_CmdDeleteProc *deleteProc) {
  State *state = getState(interp);
  toe *owner = methodOwner(state, name);
  Tcl_Namespace *ns = owner != nullptr ? methodsNamespace(state, owner) : nullptr;
  if (ns == nullptr) return Tcl_CreateCommand(interp, name, proc, clientData, deleteProc);
  Tcl_Command command = Tcl_CreateCommand(interp, methodName(ns, name).c_str(), proc, clientData, deleteProc);
  methodCreated(state, name);
  return command;
}

Tcl_Command toeCreateMethod(Tcl_Interp *interp, toe *object, const char *name, Tcl_CmdProc *proc,
                            ClientData clientData, Tcl_CmdDeleteProc *deleteProc) {
  State *state = getState(interp);
  if (object == nullptr || name[0] == '\0' || isQualified(name)) return nullptr;
  Tcl_Namespace *ns = methodsNamespace(state, object);
  if (ns == nullptr) return nullptr;
  Tcl_Command command = Tcl_CreateCommand(interp, methodName(ns, name).c_str(), proc, clientData, deleteProc);
  methodCreated(state, name);
  return command;
}

toeContext *toeGetContext(Tcl_Interp *interp) { return getState(interp)->top; }

void toeSetContext(Tcl_Interp *interp, toeContext *frame) { setTop(getState(interp), frame); }

toe *toeGetCurrentObject(Tcl_Interp *interp, int selector) {
  return toeGetCurrentObjectByTable(toeInterpCommandTable(interp), selector);
}

int toePushContext(Tcl_Interp *interp, toe *first, toe *second) {
  State *state = getState(interp);
  toeContext *frame = nullptr;
  if (!state->spareFrames.empty()) {
    frame = state->spareFrames.back();
    state->spareFrames.pop_back();
  } else {
    frame = static_cast<toeContext *>(std::calloc(1, sizeof(toeContext)));
    if (frame == nullptr) return -1;
  }
  *frame = toeContext{first, second, state->top, nullptr};
  toeIncrRefCount(first);
  toeIncrRefCount(second);
  if (state->top != nullptr) state->top->above = frame;
  setTop(state, frame);
  return 0;
}

int toePopContext(Tcl_Interp *interp) {
  State *state = getState(interp);
  toeContext *frame = state->top;
  if (frame == nullptr) return -1;
  if (frame->below != nullptr) frame->below->above = nullptr;
  setTop(state, frame->below);
  toeDecrRefCount(frame->first);
  toeDecrRefCount(frame->second);
  constexpr size_t kMaxSpareFrames = 64;
  if (state->spareFrames.size() < kMaxSpareFrames)
    state->spareFrames.push_back(frame);
  else
    std::free(frame);
  return 0;
}

int toeEvalIn(Tcl_Interp *interp, toe *object, const char *script) {
  return evalInObject(getState(interp), object, [&] { return Tcl_Eval(interp, script); });
}

int toeEvalCachedIn(Tcl_Interp *interp, toe *object, const char *script) {
  State *state = getState(interp);
  if (std::strlen(script) > kMaxCachedScriptLength)
    return evalInObject(state, object, [&] { return Tcl_Eval(interp, script); }, true);
  Tcl_Obj *compiled = cachedObject(state->scripts, script);
  // The cache may be flushed while the script runs (it evaluates others): hold it.
  Tcl_IncrRefCount(compiled);
  int code = evalInObject(state, object, [&] { return Tcl_EvalObjEx(interp, compiled, 0); }, true);
  Tcl_DecrRefCount(compiled);
  return code;
}

int toeEvalWordsIn(Tcl_Interp *interp, toe *object, int count, const char *const words[]) {
  if (count < 1) return TCL_OK;
  State *state = getState(interp);
  return evalInObject(state, object, [&] { return evalWords(state, count, words); }, true);
}

}  // extern "C"
