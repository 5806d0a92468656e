// Reader of configuration object files: the grammar, the parse context and the action table.
//
// The grammar, with the production numbers that traces show:
//
//    1 file : (empty)                   11 line : object
//    2 file : lines                     12 line : action semi
//    3 lines : line                     13 line : action
//    4 lines : lines line               14 key_value : KEYLIST "=" VALUE
//    5 lines : semi                     15 object : object_name lines object_terminator
//    6 semi : SEMI                      16 object : object_name object_terminator
//    7 semi : semi SEMI                 17 object_name : KEYLIST "=" "{"
//    8 line : key_value semi            18 object_terminator : "}"
//    9 line : KEYLIST "=" semi          19 action : "[" ACTION "]"
//   10 line : object semi               20 action : KEYLIST "=" "[" ACTION "]"
//
// It is parsed by recursive descent with one token of look-ahead. Every semantic action runs as
// soon as the last token of its production has been read, as an LALR parser's default reductions
// would, so definitions and errors happen at the same tokens. Each parse keeps its state in its own
// Parser and ParseContext, so an action may start a nested parse (a "load") at any point.
//
// A parse that fails is taken back: a journal notes every object the reader creates, every key it
// defines or redefines (with the old value) and every parent an "inherit" adds, and undoes them in
// reverse order. A file read by "load" writes into the journal of the parse that loads it, so a
// failure anywhere undoes the whole import; what script actions do by other means stays.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "objects/cfglex.h"
#include "objects/keys.h"
#include "telvi/cfgfile.h"
#include "telvi/id.h"
#include "telvi/toe.h"

namespace telvi::cfg {
namespace {

constexpr int kMaxStack = 150;      // entries of the parser's value stack
// The writer's deepest blocks, plus one level of path-named blocks, with a line inside each: the
// start state, the file's lines, two entries per block, three for the line.
static_assert(2 + 2 * (CFG_BLOCK_NESTING + 1) + 3 <= kMaxStack);
constexpr int kMaxReportDepth = 6;  // errors raised while reporting an error, nested
constexpr const char *kStringInput = "<STRING INPUT>";
constexpr const char *kParseSlice = "\003_PARSE_\003";

const char *const kProductions[] = {
    "",
    "file : (empty)",
    "file : lines",
    "lines : line",
    "lines : lines line",
    "lines : semi",
    "semi : SEMI",
    "semi : semi SEMI",
    "line : key_value semi",
    "line : KEYLIST \"=\" semi",
    "line : object semi",
    "line : object",
    "line : action semi",
    "line : action",
    "key_value : KEYLIST \"=\" VALUE",
    "object : object_name lines object_terminator",
    "object : object_name object_terminator",
    "object_name : KEYLIST \"=\" \"{\"",
    "object_terminator : \"}\"",
    "action : \"[\" ACTION \"]\"",
    "action : KEYLIST \"=\" \"[\" ACTION \"]\"",
};

// An object the parse holds on to: a script action may destroy it meanwhile, and the store then
// frees it only when the last reference goes.
class Held {
 public:
  Held() = default;
  explicit Held(toe *object) : object_(object) { toeIncrRefCount(object_); }
  Held(const Held &other) : Held(other.object_) {}
  Held(Held &&other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  Held &operator=(const Held &other) {
    Held copy(other);
    std::swap(object_, copy.object_);
    return *this;
  }
  Held &operator=(Held &&other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Held() { toeDecrRefCount(object_); }
  toe *get() const { return object_; }

 private:
  toe *object_ = nullptr;
};

// ---- the journal of a parse ----

// The number of an object's id ("toe17": 17); 0 for none.
unsigned long idNumber(const char *id) {
  if (id == nullptr || std::strncmp(id, "toe", 3) != 0) return 0;
  return std::strtoul(id + 3, nullptr, 10);
}

// The number the next object will get: objects are numbered in order of creation, never twice.
unsigned long nextIdNumber() {
  char *id = idNext("toe");
  unsigned long number = idNumber(id);
  std::free(id);
  return number;
}

class Journal {
 public:
  size_t size() const { return entries_.size(); }

  // Before slice/key of object is (re)defined: notes what stood there. Objects created since mark
  // go as a whole, so their keys need no note.
  void noteKey(toe *object, const std::string &slice, const char *key, size_t mark) {
    if (object == nullptr || createdSince(object, mark)) return;
    Entry entry{Entry::kKey, Held(object)};
    entry.slice = slice;
    entry.key = key;
    if (toeVal *value = toeRawLookup(object, 0, slice.c_str(), key)) {
      entry.existed = true;
      entry.type = toeValGetDataType(value);
      // Only a typed value can refuse the new text, which removes the key: then it must come back
      // to its place.
      if (entry.type != nullptr) {
        entry.keyIndex = indexOf(toeEntries(object, slice.c_str()), key);
        entry.sliceIndex = indexOf(toeSlices(object), slice.c_str());
      }
      if (const char *text = toeValGetStringValue(value)) {
        entry.hadString = true;
        entry.text = text;
      }
    }
    entries_.push_back(std::move(entry));
  }

  // Objects are created between begin and end of a step that runs no script: every object
  // numbered in between was made by the step.
  unsigned long beginCreating() const { return nextIdNumber(); }
  void endCreating(unsigned long first) {
    unsigned long end = nextIdNumber();
    if (end <= first) return;
    Entry entry{Entry::kCreated, Held()};
    entry.first = first;
    entry.end = end;
    ranges_.push_back({first, end, entries_.size()});
    entries_.push_back(std::move(entry));
  }

  // The parent counts of the object and everything below it, before an inherit adds parents.
  // Objects created since mark go as a whole, with everything below them.
  std::vector<std::pair<Held, int>> parentCounts(toe *object, size_t mark) {
    std::vector<std::pair<Held, int>> counts;
    std::unordered_set<toe *> seen;
    collectParentCounts(object, mark, counts, seen, 0);
    return counts;
  }
  // After the inherit: notes those whose parents grew.
  void noteParents(std::vector<std::pair<Held, int>> &counts) {
    for (auto &[object, before] : counts) {
      toe **parents = nullptr;
      int count = 0;
      if (toeGetParents(object.get(), &parents, &count) != 0 || count <= before) continue;
      Entry entry{Entry::kParents, std::move(object)};
      entry.parentCount = before;
      entries_.push_back(std::move(entry));
    }
  }

  // Undoes everything noted since mark, the latest first.
  void rollBack(size_t mark) {
    while (entries_.size() > mark) {
      Entry entry = std::move(entries_.back());
      entries_.pop_back();
      undo(entry);
    }
    while (!ranges_.empty() && ranges_.back().entry >= mark) ranges_.pop_back();
  }

 private:
  struct Entry {
    enum Kind { kKey, kCreated, kParents };
    Entry(Kind kind, Held object) : kind(kind), object(std::move(object)) {}
    Kind kind;
    Held object;
    std::string slice, key, text;  // kKey: what stood at slice/key
    bool existed = false, hadString = false;
    dataType *type = nullptr;
    int keyIndex = -1, sliceIndex = -1;  // where key and slice stood in their lists
    unsigned long first = 0, end = 0;  // kCreated: objects numbered first to end - 1
    int parentCount = 0;               // kParents: the count before
  };
  struct Range {
    unsigned long first, end;
    size_t entry;
  };

  bool createdSince(toe *object, size_t mark) const {
    unsigned long number = idNumber(toeGetId(object));
    auto after = std::upper_bound(ranges_.begin(), ranges_.end(), number,
                                  [](unsigned long n, const Range &range) { return n < range.first; });
    if (after == ranges_.begin()) return false;
    const Range &range = *(after - 1);
    return number < range.end && range.entry >= mark;
  }

  void collectParentCounts(toe *object, size_t mark, std::vector<std::pair<Held, int>> &counts,
                           std::unordered_set<toe *> &seen, int depth) {
    // Naming trees can hold loops; an object is counted once.
    if (object == nullptr || depth > 1000 || createdSince(object, mark) || !seen.insert(object).second) return;
    toe **parents = nullptr;
    int count = 0;
    toeGetParents(object, &parents, &count);
    counts.emplace_back(Held(object), count);
    for (const std::string &name : telvi::objects::keysOf(object, "object")) {
      void *child = nullptr;
      const char *id = toeValGetStringValue(toeRawLookup(object, 0, "object", name.c_str()));
      if (id != nullptr && idLookup("toe", id, &child) == 0)
        collectParentCounts(static_cast<toe *>(child), mark, counts, seen, depth + 1);
    }
  }

  static int indexOf(const stringList *list, const char *name) {
    for (int32_t i = 0; list != nullptr && i < list->count; ++i)
      if (std::strcmp(list->items[i], name) == 0) return i;
    return -1;
  }
  // Moves name, which came back at the end of the list, to where it stood.
  static void moveBack(stringList *list, const char *name, int index) {
    int now = indexOf(list, name);
    if (index < 0 || now <= index) return;
    std::rotate(list->items + index, list->items + now, list->items + now + 1);
  }

  static void undo(Entry &entry) {
    toe *object = entry.object.get();
    switch (entry.kind) {
      case Entry::kKey:
        if (!entry.existed) {
          toeRawUndefine(object, entry.slice.c_str(), entry.key.c_str());
        } else {
          // A typed value that refused the new text was removed with its key, and comes back
          // at the end of the lists: it goes back to its place.
          bool gone = toeRawLookup(object, 0, entry.slice.c_str(), entry.key.c_str()) == nullptr;
          toeDefineString(object, entry.slice.c_str(), entry.key.c_str(), entry.type,
                          entry.hadString ? entry.text.c_str() : nullptr);
          if (gone) {
            moveBack(toeEntries(object, entry.slice.c_str()), entry.key.c_str(), entry.keyIndex);
            moveBack(toeSlices(object), entry.slice.c_str(), entry.sliceIndex);
          }
        }
        break;
      case Entry::kCreated:
        // The latest first: children before the objects they were created in. Their parents go
        // first: an object that inherited one below it (inherit of a child that an earlier
        // inherit copied in) would otherwise keep itself alive through that child.
        for (unsigned long number = entry.end; number-- > entry.first;) {
          void *created = nullptr;
          if (idLookup("toe", ("toe" + std::to_string(number)).c_str(), &created) == 0 && created != nullptr) {
            toeSetParents(static_cast<toe *>(created), nullptr, 0);
            toeDestroyHierarchy(static_cast<toe *>(created));
          }
        }
        break;
      case Entry::kParents: {
        toe **parents = nullptr;
        int count = 0;
        if (toeGetParents(object, &parents, &count) != 0 || count <= entry.parentCount) break;
        std::vector<toe *> kept(parents, parents + entry.parentCount);
        toeSetParents(object, kept.data(), entry.parentCount);
        break;
      }
    }
  }

  std::vector<Entry> entries_;
  std::vector<Range> ranges_;  // of the kCreated entries, in order of numbers
};

struct ParseContext {
  Held root;
  Held current;
  std::string name;
  std::string slice = "value";
  int locateFlags = 2;
  std::vector<Held> heldParents;
  std::vector<toe *> parents;
  const char *actionSlice = nullptr;
  bool keyValue = false;
  Journal *journal = nullptr;
  size_t mark = 0;  // the journal's size when this parse began
};

ParseContext *active = nullptr;
int reportDepth = 0;
unsigned long recordCounter = 0;

void traceParser(const char *text) {
  if (tracing()) std::fprintf(stderr, "parser: %s\n", text);
}

void traceReduce(int production) {
  if (tracing()) std::fprintf(stderr, "Reduce by (%d) \"%s\"\n", production, kProductions[production]);
}

// ---- actions ----

Tcl_HashTable *actionTable();

bool lookupAction(const std::string &name, cfgActionProc **handler, void **clientData) {
  Tcl_HashEntry *entry = Tcl_FindHashEntry(actionTable(), name.c_str());
  if (entry == nullptr) return false;
  *handler = reinterpret_cast<cfgActionProc *>(Tcl_GetHashValue(entry));
  Tcl_HashEntry *data = Tcl_FindHashEntry(actionTable(), ("\003" + name).c_str());
  *clientData = data != nullptr ? Tcl_GetHashValue(data) : nullptr;
  return true;
}

// Runs the text of an action; result, when not null, asks for a value.
bool runAction(const char *text, char **result) {
  if (text == nullptr) {
    reportError("action failed");
    return false;
  }
  toe *object = active != nullptr ? active->current.get() : nullptr;
  if (active != nullptr && active->actionSlice != nullptr && object != nullptr &&
      std::strstr(text, "parse_error") == nullptr) {
    std::string slice = std::string(active->actionSlice) + (active->keyValue ? "_post" : "_pre");
    std::string key = "key" + std::to_string(recordCounter++);
    active->journal->noteKey(object, slice, key.c_str(), active->mark);
    toeDefineString(object, slice.c_str(), key.c_str(), nullptr, text);
  }
  stringList words{0, nullptr};
  if (stringListCvtStringToStringList(&words, text) != 0 || words.count == 0) {
    stringListFree(&words);
    reportError("action failed");
    return false;
  }
  cfgActionProc *handler = nullptr;
  void *clientData = nullptr;
  if (!lookupAction(words.items[0], &handler, &clientData) &&
      !lookupAction("PARSE_DEFAULT_ACTION", &handler, &clientData)) {
    stringListFree(&words);
    reportError("action not registered");
    reportError("action failed");
    return false;
  }
  int code = handler(object, words.count, words.items, clientData, result);
  stringListFree(&words);
  if (code != 0) {
    reportError("action failed");
    return false;
  }
  return true;
}

// ---- the parser ----

// The parser's stack is accounted as an LALR parser would fill it: the start state, per level (the
// file and every open block) the "lines" reduced so far once there are any, per block its
// object_name, and the symbols of the line being read. More than kMaxStack entries overflow.
class Parser {
 public:
  Parser(ParseContext &context, unsigned long input) : context_(context), input_(input) {}

  bool run() {
    bool ok = peek() == 0 ? (traceReduce(1), true) : lines(false);
    if (ok) traceReduce(2);
    // Blocks left open by an error are closed, so no bookkeeping outlives the parse.
    while (!blocks_.empty()) endObject();
    return ok;
  }

 private:
  struct Block {
    Held object;    // the object whose block is open
    Held returnTo;  // the object that was current before
    int level;      // the object's own count of open blocks, from 0
    bool hasLines = false;
  };

  int peek() {
    if (!haveToken_) {
      token_ = nextToken(input_, text_);
      haveToken_ = true;
    }
    return token_;
  }
  void take() { haveToken_ = false; }

  bool fail(const char *message) {
    reportError(message);
    return false;
  }
  bool syntaxError() { return fail("syntax error"); }

  // Entries below the line being read.
  int base() const {
    int entries = 1 + (fileHasLines_ ? 1 : 0);
    for (const Block &block : blocks_) entries += 1 + (block.hasLines ? 1 : 0);
    return entries;
  }
  // Shifts the look-ahead, which makes the line occupy inLine entries.
  bool shift(int inLine) {
    if (base() + inLine > kMaxStack) return fail("yacc stack overflow");
    take();
    return true;
  }
  // Reads SEMI tokens after a symbol that occupies below entries of the line: the first SEMI
  // stands above it, every further one above the semi they make.
  bool semis(int below) {
    for (int count = 0; peek() == CFG_SEMI; ++count)
      if (!shift(below + (count == 0 ? 1 : 2))) return false;
    return true;
  }
  void levelHasLines() {
    if (blocks_.empty())
      fileHasLines_ = true;
    else
      blocks_.back().hasLines = true;
  }

  bool lines(bool inObject) {
    for (;;) {
      int token = peek();
      if (token == 0) return !inObject || syntaxError();
      if (token == '}' && inObject) return true;
      // SEMI tokens stand only where a level's lines begin: every line takes those after it.
      if (!(token == CFG_SEMI ? semis(0) : line())) return false;
      levelHasLines();
    }
  }

  bool line() {
    if (peek() == '[') {
      if (!shift(1) || !actionText(2, nullptr)) return false;
      return semis(1);
    }
    if (peek() != CFG_KEYLIST) return syntaxError();
    std::string key = text_;
    if (!shift(1)) return false;
    if (peek() != '=') return syntaxError();
    if (!shift(2)) return false;
    switch (peek()) {
      case CFG_VALUE: {
        std::string value = text_;
        if (!shift(3)) return false;
        traceReduce(14);
        traceParser("Matched KEY = VALUE");
        if (!addKeyValue(key, value.c_str())) return fail("Failed to set value");
        if (peek() != CFG_SEMI) return syntaxError();
        if (!semis(1)) return false;
        traceReduce(8);
        return true;
      }
      case CFG_SEMI:
        if (!semis(2)) return false;
        traceReduce(9);
        traceParser("Matched empty value");
        if (!addKeyValue(key, nullptr)) return fail("Failed to set value");
        return true;
      case '{':
        if (!shift(3)) return false;
        traceReduce(17);
        if (!startObject(key)) return false;
        if (peek() != '}' && !lines(true)) return false;
        if (!shift(1)) return false;  // above the block's object_name and lines
        traceReduce(18);
        endObject();
        traceParser("Matched object");
        return semis(1);
      case '[': {
        if (!shift(3)) return false;
        char *result = nullptr;
        if (!actionText(4, &result)) return false;
        if (result == nullptr) return fail("ACTION did not return VALUE");
        bool ok = addKeyValue(key, result);
        std::free(result);
        if (!ok) return fail("Failed to set KEYLIST from ACTION");
        return semis(1);
      }
      default:
        return syntaxError();
    }
  }

  // ACTION "]" after a "[" (which made the line inLine entries): runs the action.
  bool actionText(int inLine, char **result) {
    if (peek() != CFG_ACTION) return syntaxError();
    std::string text = text_;
    if (!shift(inLine)) return false;
    if (peek() != ']') return syntaxError();
    if (!shift(inLine + 1)) return false;
    traceReduce(result != nullptr ? 20 : 19);
    return runAction(text.c_str(), result);
  }

  bool addKeyValue(const std::string &keylist, const char *value) {
    context_.keyValue = true;
    std::string slice = context_.slice;
    std::string key = keylist;
    size_t colon = keylist.rfind(':');
    if (colon != std::string::npos) {
      if (colon + 1 == keylist.size()) return fail("badly placed ':'");
      slice = keylist.substr(0, colon);
      key = keylist.substr(colon + 1);
    }
    const char *name = key.c_str();
    Journal &journal = *context_.journal;
    toe *object = context_.current.get();
    if (key.find('.') != std::string::npos) {  // a key path, which may create objects
      unsigned long first = journal.beginCreating();
      object = toeKeyList2ObjectAndKey(object, &name, context_.locateFlags);
      journal.endCreating(first);
    }
    if (object == nullptr) return false;
    journal.noteKey(object, slice, name, context_.mark);
    return toeDefineString(object, slice.c_str(), name, nullptr, value) != nullptr;
  }

  bool startObject(const std::string &keylist) {
    context_.keyValue = false;
    unsigned long first = context_.journal->beginCreating();
    toe *object = toeLocate(context_.current.get(), keylist.c_str(), context_.locateFlags, nullptr,
                            context_.parents.data(), static_cast<int>(context_.parents.size()));
    context_.journal->endCreating(first);
    if (object == nullptr) return fail("failed to create tree object");
    traceParser("Started object");
    int level = 0;
    if (int *index = static_cast<int *>(toeLookupType(object, 0, kParseSlice, "index", dataGetType("int"))))
      level = *index + 1;
    toeRawDefine(object, kParseSlice, "index", dataGetType("int"), &level);
    toe *returnTo = context_.current.get();
    toeRawDefine(object, kParseSlice, std::to_string(level).c_str(), dataGetType("pointer"), &returnTo);
    blocks_.push_back(Block{Held(object), context_.current, level});
    context_.current = Held(object);
    return true;
  }

  void endObject() {
    Block block = blocks_.back();
    blocks_.pop_back();
    toe *object = block.object.get();
    toeRawUndefine(object, kParseSlice, std::to_string(block.level).c_str());
    if (block.level == 0) {
      toeRawUndefine(object, kParseSlice, "index");
    } else {
      int index = block.level - 1;
      toeRawDefine(object, kParseSlice, "index", dataGetType("int"), &index);
    }
    context_.current = block.returnTo;
  }

  ParseContext &context_;
  unsigned long input_;
  std::vector<Block> blocks_;
  bool fileHasLines_ = false;
  int token_ = 0;
  bool haveToken_ = false;
  std::string text_;
};

// journal: the journal of the parse this one is part of (a load), or none for a parse of its own.
int parse(const char *file, const char *string, toe *object, const char *slice, int exact, toe **parents,
          int parentCount, const char *actionSlice, Journal *journal = nullptr) {
  if (object == nullptr || (file == nullptr && string == nullptr)) return -1;
  Journal own;
  ParseContext context;
  context.journal = journal != nullptr ? journal : &own;
  context.mark = context.journal->size();
  context.root = Held(object);
  context.current = Held(object);
  context.name = file != nullptr ? file : kStringInput;
  if (slice != nullptr) context.slice = slice;
  context.locateFlags = exact ? 0 : 2;
  for (int i = 0; parents != nullptr && i < parentCount; ++i) {
    if (parents[i] == nullptr) continue;
    context.heldParents.emplace_back(parents[i]);
    context.parents.push_back(parents[i]);
  }
  context.actionSlice = actionSlice;

  // Error reports keep counting through parses that a reporter starts, so that a reporter which
  // parses again cannot recurse without end.
  ParseContext *saved = active;
  active = &context;
  int code = -1;
  if (cfgLexContext *input = cfglexPushContext(file, file != nullptr ? nullptr : string)) {
    unsigned long serial = inputSerial(input);
    Parser parser(context, serial);
    code = parser.run() ? 0 : -1;
    popInput(serial);
  }
  if (code != 0) context.journal->rollBack(context.mark);
  active = saved;
  return code;
}

// ---- built-in actions ----

int loadAction(toe *object, int argc, char **argv, void *, char **) {
  std::vector<const char *> words(argv, argv + argc);
  LoadOptions options;
  if (!takeLoadOptions(words, options) || words.size() != 2) {
    reportError("Bad arguments for load operation");
    return -1;
  }
  toe *superior = nullptr, *parent = nullptr;
  if (options.superior != nullptr && (superior = toeString2Object(object, options.superior)) == nullptr) return -1;
  if (options.parent != nullptr && (parent = toeString2Object(object, options.parent)) == nullptr) return -1;
  const char *slice = options.slice;
  bool exact = options.exact;
  std::string defaultSlice = active != nullptr ? active->slice : "value";
  std::vector<toe *> parents;
  if (parent != nullptr)
    parents.push_back(parent);
  else if (active != nullptr)
    parents = active->parents;
  // What the loaded file does is part of this parse: a failure later on undoes it too.
  return parse(words[1], nullptr, superior != nullptr ? superior : object, slice != nullptr ? slice : defaultSlice.c_str(),
               exact, parents.data(), static_cast<int>(parents.size()), nullptr,
               active != nullptr ? active->journal : nullptr);
}

int inheritAction(toe *object, int argc, char **argv, void *, char **) {
  Journal *journal = active != nullptr ? active->journal : nullptr;
  int code = 0;
  for (int i = 1; i < argc && code == 0; ++i) {
    if (journal == nullptr) {
      code = toeInherit(object, argv[i]);
      continue;
    }
    // An inherit adds a parent to the object and to the same-named objects below it, and creates
    // the children the source has and the object lacks.
    auto counts = journal->parentCounts(object, active->mark);
    unsigned long first = journal->beginCreating();
    code = toeInherit(object, argv[i]);
    journal->endCreating(first);
    journal->noteParents(counts);
  }
  return code;
}

int parseErrorAction(toe *, int argc, char **argv, void *, char **) {
  if (argc == 5) {
    std::fprintf(stderr, "%s(%s): Parsing error '%s' at token '%s'.\n", argv[1], argv[2], argv[3], argv[4]);
  } else {
    for (int i = 0; i < argc; ++i) std::fprintf(stderr, "%s ", argv[i]);
    std::fputc('\n', stderr);
  }
  return 0;
}

void enter(Tcl_HashTable *table, const char *name, cfgActionProc *handler, void *clientData) {
  int isNew = 0;
  Tcl_SetHashValue(Tcl_CreateHashEntry(table, name, &isNew), reinterpret_cast<ClientData>(handler));
  Tcl_SetHashValue(Tcl_CreateHashEntry(table, ("\003" + std::string(name)).c_str(), &isNew), clientData);
}

Tcl_HashTable *actionTable() {
  static Tcl_HashTable *table = [] {
    static Tcl_HashTable storage;
    Tcl_InitHashTable(&storage, TCL_STRING_KEYS);
    enter(&storage, "load", loadAction, nullptr);
    enter(&storage, "inherit", inheritAction, nullptr);
    enter(&storage, "parse_error", parseErrorAction, nullptr);
    return &storage;
  }();
  return table;
}

}  // namespace

bool takeLoadOptions(std::vector<const char *> &words, LoadOptions &options) {
  for (size_t i = words.size(); i-- > 1;) {
    std::string word = words[i];
    if (word == "-exact") {
      options.exact = true;
      words.erase(words.begin() + static_cast<long>(i));
      continue;
    }
    const char **value = word == "-slice"      ? &options.slice
                         : word == "-superior" ? &options.superior
                         : word == "-parent"   ? &options.parent
                                               : nullptr;
    if (value == nullptr) continue;
    if (i + 1 >= words.size()) return false;
    *value = words[i + 1];
    words.erase(words.begin() + static_cast<long>(i), words.begin() + static_cast<long>(i + 2));
  }
  return true;
}

void reportError(const char *message) {
  if (reportDepth >= kMaxReportDepth) return;
  ++reportDepth;
  std::string token = cfglexToken();
  // The reporter's words are split at double quotes, and a NUL would end its text.
  if (token.find_first_of(std::string("\"\0", 2)) != std::string::npos) token = "???";
  std::string name = active != nullptr ? active->name : cfglexFile();
  std::string text = "parse_error \"" + name + "\" \"" + std::to_string(cfglexLineno()) + "\" \"" + message +
                     "\" \"" + token + "\"";
  runAction(text.c_str(), nullptr);
  --reportDepth;
}

// Built-in actions are restored when a script's replacement goes away.
void restoreBuiltinAction(const char *name) {
  if (std::strcmp(name, "load") == 0) enter(actionTable(), name, loadAction, nullptr);
  if (std::strcmp(name, "inherit") == 0) enter(actionTable(), name, inheritAction, nullptr);
  if (std::strcmp(name, "parse_error") == 0) enter(actionTable(), name, parseErrorAction, nullptr);
}

// Removes every action whose client data is clientData (an interpreter going away).
void forgetActions(void *clientData) {
  Tcl_HashTable *table = actionTable();
  std::vector<std::string> names;
  Tcl_HashSearch search;
  for (Tcl_HashEntry *entry = Tcl_FirstHashEntry(table, &search); entry != nullptr; entry = Tcl_NextHashEntry(&search)) {
    const char *key = static_cast<const char *>(Tcl_GetHashKey(table, entry));
    if (key[0] == '\003' && Tcl_GetHashValue(entry) == clientData) names.emplace_back(key + 1);
  }
  for (const std::string &name : names) {
    if (Tcl_HashEntry *entry = Tcl_FindHashEntry(table, name.c_str())) Tcl_DeleteHashEntry(entry);
    if (Tcl_HashEntry *entry = Tcl_FindHashEntry(table, ("\003" + name).c_str())) Tcl_DeleteHashEntry(entry);
    restoreBuiltinAction(name.c_str());
  }
}

}  // namespace telvi::cfg

using namespace telvi::cfg;

extern "C" {

int cfgfileParseFile(const char *file, toe *object) {
  return cfgfileParseFileSlice(file, object, "value", 0, nullptr, 0, nullptr);
}

int cfgfileParseFileSlice(const char *file, toe *object, const char *slice, int exact, toe **parents, int parentCount,
                          const char *actionSlice) {
  if (file == nullptr) return -1;
  return parse(file, nullptr, object, slice, exact, parents, parentCount, actionSlice);
}

int cfgfileParseString(const char *string, toe *object) {
  return cfgfileParseStringSlice(string, object, "value", 0, nullptr, 0);
}

int cfgfileParseStringSlice(const char *string, toe *object, const char *slice, int exact, toe **parents,
                            int parentCount) {
  if (string == nullptr) return -1;
  return parse(nullptr, string, object, slice, exact, parents, parentCount, nullptr);
}

int cfgyaccRegisterAction(const char *name, cfgActionProc *handler, void *clientData) {
  if (name == nullptr || handler == nullptr) return -1;
  enter(actionTable(), name, handler, clientData);
  return 0;
}

int cfgyaccDebugOn(void) { return tracing() ? 1 : 0; }
void cfgyaccToggleDebug(int on) { setTracing(on != 0); }

}  // extern "C"
