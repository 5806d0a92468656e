// Package "toe": scripts' access to the object store.
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "objects/keys.h"
#include "pkg/command.h"
#include "telvi/id.h"
#include "telvi/package.h"
#include "telvi/toe.h"

namespace {

constexpr int kMaxRecursion = 1000;

// ---- messages ----

using telvi::fail;
constexpr auto usage = telvi::usageSuffix;

int wrongArgs(Tcl_Interp *interp, const char *name, const char *suffix) {
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, "wrong # args: should be \"", name, suffix, "\"", nullptr);
  return TCL_ERROR;
}

int notInObjectContext(Tcl_Interp *interp) { return fail(interp, "not in object context"); }
int notInDictionaryContext(Tcl_Interp *interp) { return fail(interp, "not in dictionary context"); }
int badObject(Tcl_Interp *interp, const char *word) { return fail(interp, "bad object: ", word); }

// A failure text with the reason behind it appended, when there is one.
int failBecause(Tcl_Interp *interp, const std::string &message, const std::string &reason) {
  return fail(interp, reason.empty() ? message.c_str() : (message + ": " + reason).c_str());
}

// Why a definition of slice/key failed: the key path, or else the value the type refused.
std::string defineProblem(toe *object, const char *slice, const char *key, const dataType *type) {
  std::string reason = telvi::objects::keyPathProblem(object, slice, key);
  if (reason.empty() && type != nullptr) reason = std::string("the value is not a valid ") + type->name;
  return reason;
}

// Why an object path could not be located, when it is its depth.
std::string pathProblem(const char *path) {
  if (telvi::objects::pathLevels(path) <= telvi::objects::kMaxPathLevels) return "";
  return "the path has more than " + std::to_string(telvi::objects::kMaxPathLevels) + " levels";
}

int setString(Tcl_Interp *interp, const char *text) {
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, text != nullptr ? text : "", nullptr);
  return TCL_OK;
}

// ---- arguments ----

toe *current(Tcl_Interp *interp) { return toeGetCurrentObject(interp, TOE_SELECT_CURRENT); }

// An object id, or "null" for no object. False for any other word.
bool objectArgument(const char *word, toe **object) {
  void *pointer = nullptr;
  if (idLookup("toe", word, &pointer) != 0) return false;
  *object = static_cast<toe *>(pointer);
  return true;
}

// A real object (not "null").
bool someObject(const char *word, toe **object) { return objectArgument(word, object) && *object != nullptr; }

// Option letters before the positional words, getopt style: "-t type" or "-ttype", "--" ends them.
// withValue lists the letters that take a value, flags those that do not. Returns the index of the
// first positional word, or -1 for an unknown option or a missing value.
struct Options {
  const char *values[128] = {};
  bool flags[128] = {};
};

int parseOptions(int argc, const char *argv[], const char *withValue, const char *flags, Options &options) {
  int i = 1;
  while (i < argc && argv[i][0] == '-' && argv[i][1] != '\0') {
    if (std::strcmp(argv[i], "--") == 0) return i + 1;
    for (const char *letter = argv[i] + 1; *letter != '\0'; ++letter) {
      unsigned char c = static_cast<unsigned char>(*letter);
      if (c < 128 && std::strchr(withValue, c) != nullptr) {
        if (letter[1] != '\0') {
          options.values[c] = letter + 1;
        } else {
          if (i + 1 >= argc) return -1;
          options.values[c] = argv[++i];
        }
        break;
      }
      if (c >= 128 || std::strchr(flags, c) == nullptr) return -1;
      options.flags[c] = true;
    }
    ++i;
  }
  return i;
}

// Evaluates the words from first on as a command: one word as it is, several merged as a list.
int evalWords(Tcl_Interp *interp, int count, const char *const words[]) {
  if (count == 1) return Tcl_Eval(interp, words[0]);
  char *script = Tcl_Merge(count, words);
  int code = Tcl_Eval(interp, script);
  Tcl_Free(script);
  return code;
}

void appendKeys(Tcl_Interp *interp, stringList *keys) {
  if (keys != nullptr)
    for (int32_t i = 0; i < keys->count; ++i) Tcl_AppendElement(interp, keys->items[i]);
}

using telvi::objects::keysOf;

std::string fullName(toe *object) {
  char *name = object != nullptr ? toeObject2Name(object, -1) : nullptr;
  std::string text = name != nullptr ? name : "";
  std::free(name);
  return text;
}

// ---- object commands ----

int cmdToeCreate(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  std::vector<toe *> parents;
  toe *superior = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char *word = argv[i];
    if (std::strcmp(word, "-superior") == 0) {
      if (++i >= argc) return usage(interp, argv[0], "");
      if (!objectArgument(argv[i], &superior)) return badObject(interp, argv[i]);
      continue;
    }
    if (word[0] == '-') return usage(interp, argv[0], "");
    toe *parent = nullptr;
    if (!objectArgument(word, &parent)) return badObject(interp, word);
    if (parent != nullptr) parents.push_back(parent);
  }
  toe *object = toeCreate(parents.data(), static_cast<int>(parents.size()), superior);
  if (object == nullptr) return fail(interp, "error creating object");
  return setString(interp, object->id);
}

int cmdToeDestroy(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 2) return usage(interp, argv[0], "toeId ?toeId? ...");
  for (int i = 1; i < argc; ++i) {
    toe *object = nullptr;
    if (!someObject(argv[i], &object)) return badObject(interp, argv[i]);
    toeCleanOutObject(interp, object);
    toeDestroy(object);
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdToeParents(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  Tcl_ResetResult(interp);
  if (argc == 1) {
    for (toe **parent = object->parents; parent != nullptr && *parent != nullptr; ++parent)
      Tcl_AppendElement(interp, (*parent)->id);
    return TCL_OK;
  }
  std::vector<toe *> parents;
  for (int i = 1; i < argc; ++i) {
    toe *parent = nullptr;
    if (!objectArgument(argv[i], &parent)) return badObject(interp, argv[i]);
    if (parent == nullptr) break;  // "null" ends the list
    parents.push_back(parent);
  }
  if (toeSetParents(object, parents.data(), static_cast<int>(parents.size())) != 0)
    return fail(interp, "error setting parent list");
  return TCL_OK;
}

int cmdToeSuperior(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc > 2) return usage(interp, argv[0], " ?object?");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  if (argc == 1) return setString(interp, object->superior != nullptr ? object->superior->id : "");
  toe *superior = nullptr;
  if (!objectArgument(argv[1], &superior)) return badObject(interp, argv[1]);
  if (toeSetSuperior(object, superior) != 0) return fail(interp, "error setting superior");
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdToeChild(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return usage(interp, argv[0], " name object");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  toe *child = nullptr;
  if (!someObject(argv[2], &child)) return badObject(interp, argv[2]);
  if (toeRawDefine(object, "object", argv[1], nullptr, child->id) == nullptr)
    return fail(interp, "error defining object");
  if (toeSetSuperior(child, object) != 0) return fail(interp, "error setting superior");
  if (toeRawDefine(child, "internal", "name", nullptr, argv[1]) == nullptr)
    return fail(interp, "error defining object name");
  return setString(interp, child->id);
}

int cmdToeSelf(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 1) return usage(interp, argv[0], "");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  return setString(interp, object->id);
}

int cmdToeName(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc > 3) return usage(interp, argv[0], " ?-full? ?object?");
  bool full = argc > 1 && std::strcmp(argv[1], "-full") == 0;
  int objectIndex = full ? 2 : 1;
  if (!full && argc == 3) return usage(interp, argv[0], " ?-full? ?object?");
  toe *object = nullptr;
  if (objectIndex < argc && !objectArgument(argv[objectIndex], &object)) return badObject(interp, argv[objectIndex]);
  if (object == nullptr) object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  char *name = toeObject2Name(object, full ? -1 : 0);
  if (name == nullptr) return fail(interp, "could not determine object name");
  setString(interp, name);
  std::free(name);
  return TCL_OK;
}

int cmdToeBegin(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return usage(interp, argv[0], " object");
  toe *object = nullptr;
  if (!objectArgument(argv[1], &object)) return badObject(interp, argv[1]);
  toePushContext(interp, object, object);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdToeEnd(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 1) return usage(interp, argv[0], "");
  toePopContext(interp);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// A word that is nothing but a command name: letters, digits and _ - : . only.
bool isPlainName(const char *word) {
  static const auto plain = [] {
    std::array<bool, 256> table{};
    for (const char *c = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-:."; *c != '\0'; ++c)
      table[static_cast<unsigned char>(*c)] = true;
    return table;
  }();
  if (*word == '\0') return false;
  for (; *word != '\0'; ++word)
    if (!plain[static_cast<unsigned char>(*word)]) return false;
  return true;
}

// toe_send and toe_supersend: run the command with the object pushed as context.
int sendTo(Tcl_Interp *interp, int argc, const char *argv[], bool super) {
  if (argc < 3) return usage(interp, argv[0], " object command...");
  toe *object = nullptr;
  if (!objectArgument(argv[1], &object)) return badObject(interp, argv[1]);
  toe *self = super ? current(interp) : object;
  toePushContext(interp, object, self);
  // A script sent again and again (`toe_send $node {...}` in a loop) keeps its bytecode; several
  // words are one command and need no parsing.
  int count = argc - 2;
  // A lone command name (the usual `toe_send $node method`) is one command word: no script to run.
  bool plainName = count == 1 && isPlainName(argv[2]);
  int code = count == 1 && !plainName ? toeEvalCachedIn(interp, nullptr, argv[2])
                                      : toeEvalWordsIn(interp, nullptr, count, argv + 2);
  toePopContext(interp);
  return code;
}

int cmdToeSend(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) { return sendTo(interp, argc, argv, false); }

int cmdToeSuperSend(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  return sendTo(interp, argc, argv, true);
}

int cmdToeCSend(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 3) return wrongArgs(interp, argv[0], " varName command ...");
  // The inner send sees varName in the place of its own name, as its usage message shows.
  int code = sendTo(interp, argc - 1, argv + 1, false);
  std::string result = Tcl_GetStringResult(interp);
  Tcl_ResetResult(interp);
  if (Tcl_SetVar(interp, argv[1], result.c_str(), 0) == nullptr)
    return fail(interp, "couldn't save command result in variable");
  Tcl_SetObjResult(interp, Tcl_NewIntObj(code));
  return TCL_OK;
}

int recurse(Tcl_Interp *interp, bool pre, int count, const char *const words[], int depth) {
  if (depth > kMaxRecursion) return fail(interp, "toe_recurse: object tree too deep");
  toe *object = current(interp);
  if (pre) {
    int code = evalWords(interp, count, words);
    if (code != TCL_OK) return code;
  }
  if (object != nullptr) {
    for (const std::string &name : keysOf(object, "object")) {
      toe *child = toeLocate(object, name.c_str(), 1, nullptr, nullptr, 0);
      if (child == nullptr) return badObject(interp, name.c_str());
      toePushContext(interp, child, child);
      int code = recurse(interp, pre, count, words, depth + 1);
      toePopContext(interp);
      if (code != TCL_OK) return code;
    }
  }
  if (!pre) return evalWords(interp, count, words);
  return TCL_OK;
}

int cmdToeRecurse(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 3 || (std::strcmp(argv[1], "pre") != 0 && std::strcmp(argv[1], "post") != 0))
    return usage(interp, argv[0], " pre|post command...");
  if (current(interp) == nullptr) return notInObjectContext(interp);
  return recurse(interp, argv[1][1] == 'r', argc - 2, argv + 2, 0);
}

int cmdToeDump(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc > 2) return usage(interp, argv[0], " ?object?");
  toe *object = nullptr;
  if (argc == 2) {
    if (!someObject(argv[1], &object)) return badObject(interp, argv[1]);
  } else if ((object = current(interp)) == nullptr) {
    return notInObjectContext(interp);
  }
  toeDump(object);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// ---- saved contexts ----

struct SavedContext {
  toeContext *top = nullptr;
  bool installed = false;  // its frames are the interpreter's stack during a send
  bool destroyed = false;  // destroyed during that send: freed when it ends
};

void freeFrames(toeContext *top) {
  while (top != nullptr) {
    toeContext *below = top->below;
    toeDecrRefCount(top->first);
    toeDecrRefCount(top->second);
    std::free(top);
    top = below;
  }
}

int cmdToeContext(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 2) return usage(interp, argv[0], " create|destroy|send|info");
  const char *sub = argv[1];
  if (std::strcmp(sub, "create") == 0) {
    if (argc != 2) return usage(interp, argv[0], " create");
    idInit();
    SavedContext *saved = new SavedContext;
    const char *id = idCreate("context", saved);
    if (id == nullptr) {
      delete saved;
      return fail(interp, "error allocating context pointer");
    }
    return setString(interp, id);
  }
  if (std::strcmp(sub, "info") == 0) {
    if (argc != 2) return usage(interp, argv[0], " info");
    Tcl_ResetResult(interp);
    for (toeContext *frame = toeGetContext(interp); frame != nullptr; frame = frame->below)
      if (frame->second != nullptr && frame->first != nullptr) Tcl_AppendElement(interp, frame->first->id);
    return TCL_OK;
  }
  bool destroy = std::strcmp(sub, "destroy") == 0, send = std::strcmp(sub, "send") == 0;
  if (!destroy && !send) return usage(interp, argv[0], " create|destroy|send args");
  if (destroy && argc != 3) return usage(interp, argv[0], " destroy context");
  if (send && argc < 4) return usage(interp, argv[0], " send context command...");
  void *pointer = nullptr;
  if (idLookup("context", argv[2], &pointer) != 0) return fail(interp, "invalid context: ", argv[2]);
  SavedContext *saved = static_cast<SavedContext *>(pointer);
  if (saved == nullptr) return fail(interp, "error allocating context pointer");
  if (destroy) {
    idDestroy(argv[2]);
    if (saved->installed) {
      saved->destroyed = true;
    } else {
      freeFrames(saved->top);
      delete saved;
    }
    Tcl_ResetResult(interp);
    return TCL_OK;
  }
  if (saved->installed) return fail(interp, "invalid context: ", argv[2]);
  toeContext *remembered = toeGetContext(interp);
  toeSetContext(interp, saved->top);
  saved->top = nullptr;
  saved->installed = true;
  int code = evalWords(interp, argc - 3, argv + 3);
  toeContext *left = toeGetContext(interp);
  toeSetContext(interp, remembered);
  saved->installed = false;
  if (saved->destroyed) {
    freeFrames(left);
    delete saved;
  } else {
    saved->top = left;
  }
  return code;
}

int cmdToeCd(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return usage(interp, argv[0], " object");
  toe *object = current(interp);
  if (object == nullptr) return notInDictionaryContext(interp);
  if (std::strcmp(argv[1], "..") == 0) {
    toePopContext(interp);
  } else {
    toe *found = toeLocate(object, argv[1], 1, nullptr, nullptr, 0);
    if (found == nullptr)
      return failBecause(interp, std::string(argv[0]) + ": could not locate " + argv[1], pathProblem(argv[1]));
    toePushContext(interp, found, found);
  }
  return setString(interp, fullName(current(interp)).c_str());
}

int cmdToeLs(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  bool all = false, longForm = false;
  if (argc > 2) return usage(interp, argv[0], " ?-la?");
  if (argc == 2) {
    if (argv[1][0] != '-') return usage(interp, argv[0], " ?-la?");
    for (const char *letter = argv[1] + 1; *letter != '\0'; ++letter) {
      if (*letter == 'a') all = true;
      else if (*letter == 'l') longForm = true;
      else return usage(interp, argv[0], " ?-la?");
    }
  }
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  std::vector<std::string> slices{"object"};
  if (all) {
    const char *listed = Tcl_GetVar(interp, "lsSlices", TCL_GLOBAL_ONLY);
    int count = 0;
    const char **items = nullptr;
    if (listed != nullptr && Tcl_SplitList(nullptr, listed, &count, &items) == TCL_OK) {
      slices.assign(items, items + count);
      Tcl_Free(reinterpret_cast<char *>(items));
    }
  }
  Tcl_ResetResult(interp);
  for (const std::string &slice : slices) {
    std::vector<std::string> keys = keysOf(object, slice.c_str());
    if (keys.empty()) continue;
    if (all) {
      Tcl_AppendElement(interp, slice.c_str());
      Tcl_AppendResult(interp, "\n", nullptr);
    }
    if (longForm) {
      for (const std::string &key : keys) {
        Tcl_AppendResult(interp, "    ", nullptr);
        Tcl_AppendElement(interp, key.c_str());
        Tcl_AppendResult(interp, "\t", nullptr);
        const char *value = toeLookupString(object, 0, slice.c_str(), key.c_str());
        if (value != nullptr) Tcl_AppendElement(interp, value);
        Tcl_AppendResult(interp, "\n", nullptr);
      }
    } else {
      if (all) Tcl_AppendResult(interp, "    ", nullptr);
      for (const std::string &key : keys) Tcl_AppendElement(interp, key.c_str());
      if (all) Tcl_AppendResult(interp, "\n", nullptr);
    }
  }
  return TCL_OK;
}

// Takes no arguments and, unlike toe_self, ignores any it is given.
int cmdToePwd(ClientData, Tcl_Interp *interp, int, const char *[]) {
  toe *object = current(interp);
  char *name = object != nullptr ? toeObject2Name(object, -1) : nullptr;
  if (name == nullptr) return fail(interp, "could not determine object name");
  setString(interp, name);
  std::free(name);
  return TCL_OK;
}

// ---- dictionary commands ----

// The data type named by -t, if any; false with the message when no type has that name.
bool typeOption(Tcl_Interp *interp, const char *name, const Options &options, dataType **type) {
  const char *typeName = options.values['t'];
  if (typeName == nullptr) return true;
  if ((*type = dataGetType(typeName)) != nullptr) return true;
  fail(interp, name, " - Invalid data type ", typeName);
  return false;
}

int cmdDefine(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  Options options;
  int first = parseOptions(argc, argv, "t", "", options);
  if (first < 0 || argc - first != 3) return usage(interp, argv[0], " ?-t type? slice key value");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  dataType *type = nullptr;
  if (!typeOption(interp, argv[0], options, &type)) return TCL_ERROR;
  const char *slice = argv[first], *key = argv[first + 1], *value = argv[first + 2];
  if (toeDefineString(object, slice, key, type, value) == nullptr)
    return failBecause(interp, std::string(argv[0]) + " - failed to define " + slice + ":" + key + " to " + value,
                       defineProblem(object, slice, key, type));
  return setString(interp, value);
}

int cmdLDefine(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 5) return usage(interp, argv[0], " slice key value index");
  const char *name = argv[0], *slice = argv[1], *key = argv[2], *value = argv[3];
  toe *object = current(interp);
  if (object == nullptr) return fail(interp, name, ": not in object context");
  int index = 0;
  if (std::sscanf(argv[4], "%d", &index) != 1) return fail(interp, name, ": bad index", argv[4]);
  const char *text = toeLookupString(object, 0, slice, key);
  int count = 0;
  const char **items = nullptr;
  if (text == nullptr || Tcl_SplitList(nullptr, text, &count, &items) != TCL_OK)
    return fail(interp, name, ": lookup of ", slice, ":", key, " failed");
  if (index >= count) {
    Tcl_Free(reinterpret_cast<char *>(items));
    return fail(interp, name, ": not enough elements in list");
  }
  stringList list{};
  for (int i = 0; i < count; ++i) stringListAdd(&list, i == index ? value : items[i]);
  Tcl_Free(reinterpret_cast<char *>(items));
  if (list.count != count || toeDefine(object, slice, key, dataGetType("StringList"), &list) == nullptr) {
    stringListFree(&list);
    std::string message = std::string(name) + ": failed to define element " + argv[4] + " in " + slice + ":" +
                          key + " to " + value;
    return failBecause(interp, message, defineProblem(object, slice, key, nullptr));
  }
  // The store owns the list now; the result is its text as a Tcl list.
  stringList *stored = static_cast<stringList *>(toeLookupType(object, 0, slice, key, dataGetType("StringList")));
  char *merged = Tcl_Merge(stored != nullptr ? stored->count : 0, stored != nullptr ? stored->items : nullptr);
  setString(interp, merged);
  Tcl_Free(merged);
  return TCL_OK;
}

int cmdUndefine(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2 && argc != 3) return usage(interp, argv[0], " slice ?key?");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  if (argc == 3) toeUndefine(object, argv[1], argv[2]);
  else toeUndefineSlice(object, argv[1]);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

// The search mode a lookup command uses, chosen by the first letter of the name it was called by.
int searchModeOf(const char *name, bool withSuperiors) {
  switch (name[0]) {
    case 'i': return 0;
    case 't': return withSuperiors ? 2 : 1;
    case 's': return 3;
    default: return 1;
  }
}

// The value of key in the first slice of the list that has it, or null.
toeVal *lookupInSlices(toe *object, int mode, const char *sliceList, const char *key) {
  int count = 0;
  const char **slices = nullptr;
  if (Tcl_SplitList(nullptr, sliceList, &count, &slices) != TCL_OK) return toeLookup(object, mode, sliceList, key);
  toeVal *found = nullptr;
  for (int i = 0; i < count && found == nullptr; ++i) found = toeLookup(object, mode, slices[i], key);
  Tcl_Free(reinterpret_cast<char *>(slices));
  return found;
}

int cmdLookup(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  Options options;
  int first = parseOptions(argc, argv, "dt", "", options);
  if (first < 0 || argc - first != 2) return usage(interp, argv[0], " ?-d val? ?-t type? slice key");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  dataType *type = nullptr;
  if (!typeOption(interp, argv[0], options, &type)) return TCL_ERROR;
  const char *slices = argv[first], *key = argv[first + 1];
  toeVal *value = lookupInSlices(object, searchModeOf(argv[0], true), slices, key);
  if (value == nullptr) {
    if (options.values['d'] != nullptr) return setString(interp, options.values['d']);
    return fail(interp, "invalid dictionary entry: ", slices, " ", key);
  }
  if (type != nullptr && toeValGetType(value, type) == nullptr)
    return fail(interp, argv[0], " - failed to convert to specified type");
  return setString(interp, toeValGetStringValue(value));
}

int cmdLLookup(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  Options options;
  int first = parseOptions(argc, argv, "d", "", options);
  if (first < 0 || argc - first != 3) return usage(interp, argv[0], " ?-d val? slice key index");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  const char *slices = argv[first], *key = argv[first + 1], *indexWord = argv[first + 2];
  int index = 0;
  if (std::sscanf(indexWord, "%d", &index) != 1) return fail(interp, argv[0], ": bad index: ", indexWord);
  const char *fallback = options.values['d'];
  toeVal *value = lookupInSlices(object, searchModeOf(argv[0], false), slices, key);
  if (value == nullptr) {
    if (fallback != nullptr) return setString(interp, fallback);
    return fail(interp, "invalid dictionary entry: ", slices, " ", key);
  }
  const char *text = toeValGetStringValue(value);
  int count = 0;
  const char **items = nullptr;
  Tcl_ResetResult(interp);
  if (text != nullptr && Tcl_SplitList(nullptr, text, &count, &items) == TCL_OK) {
    if (index >= 0 && index < count) Tcl_AppendElement(interp, items[index]);
    else if (fallback != nullptr) Tcl_AppendResult(interp, fallback, nullptr);
    Tcl_Free(reinterpret_cast<char *>(items));
  } else if (fallback != nullptr) {
    Tcl_AppendResult(interp, fallback, nullptr);
  }
  return TCL_OK;
}

int cmdEntries(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc > 2) return usage(interp, argv[0], " ?slice?");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  Tcl_ResetResult(interp);
  appendKeys(interp, toeEntries(object, argc == 2 ? argv[1] : "entries"));
  return TCL_OK;
}

int cmdSliceCopy(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return usage(interp, argv[0], " source destination");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  if (toeCopySlice(object, argv[1], argv[2]) != 0) return fail(interp, "copy failed");
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdSliceLength(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return usage(interp, argv[0], " slice");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  stringList *keys = toeEntries(object, argv[1]);
  Tcl_SetObjResult(interp, Tcl_NewIntObj(keys != nullptr ? keys->count : 0));
  return TCL_OK;
}

int cmdSliceDiff(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return usage(interp, argv[0], " slice1 slice2");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  const char *a = argv[1], *b = argv[2];
  auto text = [&](const char *slice, const std::string &key) {
    const char *value = toeLookupString(object, 0, slice, key.c_str());
    return std::string(value != nullptr ? value : "");
  };
  auto has = [&](const char *slice, const std::string &key) {
    return toeRawLookup(object, 0, slice, key.c_str()) != nullptr;
  };
  std::vector<std::string> keysA = keysOf(object, a), keysB = keysOf(object, b);
  Tcl_DString onlyA, onlyB, differ;
  Tcl_DStringInit(&onlyA);
  Tcl_DStringInit(&onlyB);
  Tcl_DStringInit(&differ);
  for (const std::string &key : keysA) {
    if (!has(b, key)) Tcl_DStringAppendElement(&onlyA, key.c_str());
    else if (text(a, key) != text(b, key)) Tcl_DStringAppendElement(&differ, key.c_str());
  }
  for (const std::string &key : keysB)
    if (!has(a, key)) Tcl_DStringAppendElement(&onlyB, key.c_str());
  Tcl_ResetResult(interp);
  Tcl_AppendElement(interp, Tcl_DStringValue(&onlyA));
  Tcl_AppendElement(interp, Tcl_DStringValue(&onlyB));
  Tcl_AppendElement(interp, Tcl_DStringValue(&differ));
  Tcl_DStringFree(&onlyA);
  Tcl_DStringFree(&onlyB);
  Tcl_DStringFree(&differ);
  return TCL_OK;
}

int cmdSliceForeach(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 5 || (argc - 2) % 3 != 0)
    return wrongArgs(interp, argv[0], " varKey varValue slice ?varKey varValue slice ...? command");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  struct Group {
    const char *varKey, *varValue, *slice;
    std::vector<std::string> keys;
  };
  std::vector<Group> groups;
  size_t iterations = 0;
  for (int i = 1; i + 2 < argc - 1; i += 3) {
    groups.push_back({argv[i], argv[i + 1], argv[i + 2], keysOf(object, argv[i + 2])});
    iterations = std::max(iterations, groups.back().keys.size());
  }
  const char *body = argv[argc - 1];
  for (size_t n = 0; n < iterations; ++n) {
    for (const Group &group : groups) {
      std::string key = n < group.keys.size() ? group.keys[n] : "";
      if (group.varKey[0] != '\0' && Tcl_SetVar(interp, group.varKey, key.c_str(), 0) == nullptr)
        return fail(interp, "couldn't set loop variable: \"", group.varKey, "\"");
      if (group.varValue[0] != '\0') {
        const char *value = n < group.keys.size() ? toeLookupString(object, 0, group.slice, key.c_str()) : nullptr;
        std::string copy = value != nullptr ? value : "";
        if (Tcl_SetVar(interp, group.varValue, copy.c_str(), 0) == nullptr)
          return fail(interp, "couldn't set loop variable: \"", group.varValue, "\"");
      }
    }
    int code = Tcl_Eval(interp, body);
    if (code == TCL_CONTINUE || code == TCL_OK) continue;
    if (code == TCL_BREAK) break;
    if (code == TCL_ERROR) {
      char info[64];
      std::snprintf(info, sizeof info, "\n    (\"foreach\" body line %d)", Tcl_GetErrorLine(interp));
      Tcl_AddErrorInfo(interp, info);
    }
    return code;
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdExists(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return usage(interp, argv[0], " slice key");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  return setString(interp, toeLookup(object, 0, argv[1], argv[2]) != nullptr ? "1" : "0");
}

// Copies the value found for slice/key into the object itself, with its data type.
bool promoteKey(toe *object, int mode, const char *slice, const char *key) {
  toeVal *value = toeLookup(object, mode, slice, key);
  if (value == nullptr) return false;
  dataType *type = value->type;
  const char *text = toeValGetStringValue(value);
  std::string copy = text != nullptr ? text : "";
  return toeDefineString(object, slice, key, type, text != nullptr ? copy.c_str() : nullptr) != nullptr;
}

bool promoteKeysOf(toe *object, toe *source, int mode, const char *slice) {
  for (const std::string &key : keysOf(source, slice))
    if (!promoteKey(object, mode, slice, key.c_str())) return false;
  return true;
}

// The ancestors of source, each one's parents before it; failures here are not reported.
void promoteAncestors(toe *object, toe *source, int mode, const char *slice, int depth) {
  if (depth > kMaxRecursion) return;
  std::vector<toe *> parents;
  for (toe **p = source->parents; p != nullptr && *p != nullptr; ++p) parents.push_back(*p);
  for (toe *parent : parents) {
    promoteAncestors(object, parent, mode, slice, depth + 1);
    promoteKeysOf(object, parent, mode, slice);
  }
}

int cmdPromote(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  Options options;
  int first = parseOptions(argc, argv, "", "s", options);
  int positional = first < 0 ? 0 : argc - first;
  if (positional != 1 && positional != 2) return usage(interp, argv[0], "?-s? slice ?key?");
  toe *object = current(interp);
  if (object == nullptr) return notInObjectContext(interp);
  int mode = options.flags['s'] ? 3 : 1;
  const char *slice = argv[first];
  if (positional == 2) {
    if (!promoteKey(object, mode, slice, argv[first + 1]))
      return fail(interp, "unable to promote attribute: ", slice, " ", argv[first + 1]);
    Tcl_ResetResult(interp);
    return TCL_OK;
  }
  std::vector<toe *> parents;
  for (toe **p = object->parents; p != nullptr && *p != nullptr; ++p) parents.push_back(*p);
  for (toe *parent : parents) {
    promoteAncestors(object, parent, mode, slice, 0);
    if (!promoteKeysOf(object, parent, mode, slice)) return fail(interp, "unable to promote slice: ", slice);
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdLocate(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  constexpr const char *kSynopsis = " name ?-noscope? ?-create parents?";
  if (argc < 2) return usage(interp, argv[0], kSynopsis);
  int flags = 1, next = 2;
  if (next < argc && std::strcmp(argv[next], "-noscope") == 0) {
    flags = 0;
    ++next;
  }
  std::vector<toe *> parents;
  if (next < argc) {
    if (std::strcmp(argv[next], "-create") != 0) return usage(interp, argv[0], kSynopsis);
    flags = 2;
    for (++next; next < argc; ++next) {
      toe *parent = nullptr;
      if (!objectArgument(argv[next], &parent)) return badObject(interp, argv[next]);
      if (parent != nullptr) parents.push_back(parent);
    }
  }
  toe *object = current(interp);
  if (object == nullptr) return notInDictionaryContext(interp);
  if (argv[1][0] == '\0') return setString(interp, object->id);
  toe *found = toeLocate(object, argv[1], flags, nullptr, parents.data(), static_cast<int>(parents.size()));
  if (found == nullptr)
    return failBecause(interp, std::string(argv[0]) + ": could not locate " + argv[1], pathProblem(argv[1]));
  return setString(interp, found->id);
}

int cmdKeyLocate(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 2 || argc > 3 || (argc == 3 && std::strcmp(argv[2], "-scope") != 0))
    return usage(interp, argv[0], " key ?-scope?");
  toe *object = current(interp);
  if (object == nullptr) return notInDictionaryContext(interp);
  const char *key = argv[1];
  toe *found = toeKeyList2ObjectAndKey(object, &key, argc == 3 ? 1 : 0);
  if (found == nullptr) {
    const char *dot = std::strrchr(argv[1], '.');
    return failBecause(interp, std::string(argv[0]) + ": could not locate key " + argv[1],
                       dot != nullptr ? pathProblem(std::string(argv[1], dot).c_str()) : "");
  }
  Tcl_ResetResult(interp);
  Tcl_AppendElement(interp, found->id);
  Tcl_AppendElement(interp, key);
  return TCL_OK;
}

int cmdInherit(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 2) return usage(interp, argv[0], " object ...");
  toe *object = current(interp);
  if (object == nullptr) return notInDictionaryContext(interp);
  for (int i = 1; i < argc; ++i)
    if (toeInherit(object, argv[i]) != 0) return fail(interp, argv[0], ": could not inherit ", argv[i]);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

}  // namespace

extern "C" int Toe_InitInternal(Tcl_Interp *interp) {
  idInit();
  toeInterpCommandTable(interp);  // installs the object-aware layer in this interpreter
  telvi::createCommands(interp, {
                                    {"toe_create", cmdToeCreate},
                                    {"toe_destroy", cmdToeDestroy},
                                    {"toe_parents", cmdToeParents},
                                    {"toe_superior", cmdToeSuperior},
                                    {"toe_child", cmdToeChild},
                                    {"toe_self", cmdToeSelf},
                                    {"toe_begin", cmdToeBegin},
                                    {"toe_end", cmdToeEnd},
                                    {"toe_send", cmdToeSend},
                                    {"toe_csend", cmdToeCSend},
                                    {"toe_supersend", cmdToeSuperSend},
                                    {"toe_recurse", cmdToeRecurse},
                                    {"toe_dump", cmdToeDump},
                                    {"toe_name", cmdToeName},
                                    {"toe_context", cmdToeContext},
                                    {"define", cmdDefine},
                                    {"ldefine", cmdLDefine},
                                    {"undefine", cmdUndefine},
                                    {"lookup", cmdLookup},
                                    {"entries", cmdEntries},
                                    {"slicecopy", cmdSliceCopy},
                                    {"slicelength", cmdSliceLength},
                                    {"slicediff", cmdSliceDiff},
                                    {"sliceforeach", cmdSliceForeach},
                                    {"exists", cmdExists},
                                    {"ilookup", cmdLookup},
                                    {"slookup", cmdLookup},
                                    {"tlookup", cmdLookup},
                                    {"llookup", cmdLLookup},
                                    {"sllookup", cmdLLookup},
                                    {"illookup", cmdLLookup},
                                    {"promote", cmdPromote},
                                    {"locate", cmdLocate},
                                    {"keylocate", cmdKeyLocate},
                                    {"inherit", cmdInherit},
                                    {"toe_cd", cmdToeCd},
                                    {"toe_ls", cmdToeLs},
                                    {"toe_pwd", cmdToePwd},
                                });
  return TCL_OK;
}
