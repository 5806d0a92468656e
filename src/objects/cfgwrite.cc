// Writer of configuration object files: an object and its subtree in the syntax the reader takes.
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "objects/keys.h"
#include "telvi/cfgfile.h"
#include "telvi/id.h"
#include "telvi/interface.h"
#include "telvi/package.h"
#include "telvi/toe.h"

namespace {

constexpr const char *kMarkSlice = "_xport_";
constexpr const char *kMarkKey = "export";
// Naming trees can contain loops (toe_child); deeper than this is taken for one.
constexpr int kMaxDepth = 1000;

// ---- filter sets ----

struct FilterRow {
  const char *set;
  const char *slice;
  const char *key;  // "*": every key
};

#define USER_ACCESS(mode)                                                                                      \
  {"_d", "value", "userAccess(%adminUsers," mode ")"}, {"_d", "value", "userAccess(%operatorUsers," mode ")"},  \
      {"_d", "value", "userAccess(%generalUsersUsers," mode ")"},                                             \
      {"_d", "value", "userAccess(%adminGroups," mode ")"},                                                   \
      {"_d", "value", "userAccess(%operatorGroups," mode ")"},                                                \
      {"_d", "value", "userAccess(%generalGroups," mode ")"},                                                 \
      {"_d", "value", "userAccess(%adminCommunities," mode ")"},                                              \
      {"_d", "value", "userAccess(%operatorCommunties," mode ")"},                                            \
      {"_d", "value", "userAccess(%generalCommunities," mode ")"}
#define MODEL_ROWS(set)                                                                                        \
  {set, "value", "shortDesc"}, {set, "value", "mediumDesc"}, {set, "value", "fullDesc"},                      \
      {set, "value", "units"}, {set, "value", "index"}, {set, "value", "descColumn"}, {set, "value", "oid"},   \
      {set, "consoleHint", "mediumDesc"}, {set, "action_models_pre", "*"}, {set, "action_models_post", "*"}
#define STATUS_ROWS(state)                                                                                     \
  {"_def", "statusActions", "statusActions(" state ")"}, {"_def", "statusActions", "statusService(" state "1)"}, \
      {"_def", "statusActions", "statusCommand(" state "1)"}
#define ACTION_ROWS(state)                                                                                     \
  {"_def", "value", "actionCommandEnabled(" state ")"}, {"_def", "value", "actionCommand(" state ")"},        \
      {"_def", "value", "rawActionCommand(" state ")"}

const FilterRow kFilters[] = {
    {"_d", "value", "refreshService"}, {"_d", "value", "refreshCommand"}, {"_d", "value", "refreshInterval"},
    {"_d", "value", "refreshParams"}, {"_d", "value", "refreshFilter"}, {"_d", "value", "refreshTrigger"},
    {"_d", "value", "refreshMode"}, {"_d", "value", "initInternal"}, {"_d", "value", "initHoldOff"},
    {"_d", "value", "timeoutInternal"}, {"_d", "value", "type"}, {"_d", "value", "defaultvalue"},
    {"_d", "value", "access"}, {"_d", "value", "command"}, {"_d", "value", "max"},
    USER_ACCESS("read"), USER_ACCESS("write"),
    {"_d", "action_d_pre", "*"}, {"_d", "action_d_post", "*"},
    MODEL_ROWS("_models"),
    MODEL_ROWS("_mdr"),
    {"_mdr", "param", "module"}, {"_mdr", "param", "moduleName"}, {"_mdr", "param", "oid"},
    {"_mdr", "param", "location"}, {"_mdr", "param", "enterprise"}, {"_mdr", "param", "version"},
    {"_mdr", "param", "moduleType"}, {"_mdr", "param", "desc"},
    {"_def", "alarmlimit", "*"},
    STATUS_ROWS("error"), STATUS_ROWS("info"), STATUS_ROWS("ok"), STATUS_ROWS("irr"), STATUS_ROWS("change"),
    STATUS_ROWS("warning"),
    ACTION_ROWS("error"), ACTION_ROWS("warning"), ACTION_ROWS("info"), ACTION_ROWS("irr"), ACTION_ROWS("ok"),
    ACTION_ROWS("change"),
    {"_def", "value", "alarmSeverity"}, {"_def", "value", "alarmWindow"},
    {"_def", "action_def_pre", "*"}, {"_def", "action_def_post", "*"},
    {"_m", "param", "*"}, {"_m", "consoleHint", "moduleParams(param)"}, {"_m", "consoleHint", "loadable"},
    {"_m", "action_m_pre", "*"}, {"_m", "action_m_post", "*"},
    {"ENDEND", nullptr, nullptr},
};
static_assert(sizeof kFilters / sizeof kFilters[0] == 110);

bool passes(const char *filterSet, const std::string &slice, const std::string &key) {
  if (filterSet == nullptr) return true;
  for (const FilterRow *row = kFilters; std::strcmp(row->set, "ENDEND") != 0; ++row)
    if (std::strcmp(row->set, filterSet) == 0 && slice == row->slice &&
        (std::strcmp(row->key, "*") == 0 || key == row->key))
      return true;
  return false;
}

// ---- helpers ----

using telvi::objects::hasKeys;
using telvi::objects::keysOf;

const char *ownString(toe *object, const std::string &slice, const std::string &key) {
  return toeValGetStringValue(toeRawLookup(object, 0, slice.c_str(), key.c_str()));
}

// The inside of a quoted value that reads back unchanged: a backslash before every double quote and
// backslash. A backslash that would stand right before the closing quote is written as an octal
// escape, since the reader takes a quote after a backslash for part of the value.
std::string escaped(const char *value) {
  std::string out;
  for (const char *p = value != nullptr ? value : ""; *p != '\0'; ++p) {
    if (*p == '\\' && p[1] == '\0') {
      out += "\\134";
      break;
    }
    if (*p == '"' || *p == '\\') out += '\\';
    out += *p;
  }
  return out;
}

std::string quoted(const char *value) { return "\"" + escaped(value) + "\""; }

// The children in the order of the "object" slice.
std::vector<std::pair<std::string, toe *>> childrenOf(toe *object) {
  std::vector<std::pair<std::string, toe *>> children;
  for (const std::string &name : keysOf(object, "object")) {
    void *pointer = nullptr;
    const char *id = ownString(object, "object", name);
    if (id != nullptr && idLookup("toe", id, &pointer) == 0 && pointer != nullptr)
      children.emplace_back(name, static_cast<toe *>(pointer));
  }
  return children;
}

bool marked(toe *object) { return toeRawLookup(object, 0, kMarkSlice, kMarkKey) != nullptr; }
void mark(toe *object) { toeRawDefine(object, kMarkSlice, kMarkKey, nullptr, "1"); }
void unmark(toe *object) {
  if (marked(object)) toeRawUndefine(object, kMarkSlice, kMarkKey);
}

// Clears the marks of a minimal export that did not get written.
void unmarkTree(toe *object, int depth) {
  if (object == nullptr || depth > kMaxDepth) return;
  unmark(object);
  for (auto &[name, child] : childrenOf(object)) unmarkTree(child, depth + 1);
}

struct Prune {
  const char *slice, *key, *value;
  bool given() const { return slice != nullptr && key != nullptr && value != nullptr; }
  bool cuts(toe *child) const {
    if (!given()) return false;
    const char *found = toeLookupString(child, 1, slice, key);
    return found != nullptr && std::strcmp(found, value) == 0;
  }
};

int checkMinimal(toe *object, const char *slice, const char **slices, int count, const Prune &prune, int depth) {
  if (object == nullptr || depth > kMaxDepth) return 0;
  unmark(object);
  int found = 0;
  for (auto &[name, child] : childrenOf(object)) {
    if (prune.cuts(child)) continue;
    if (int result = checkMinimal(child, slice, slices, count, prune, depth + 1)) found = result;
  }
  if (found != 0) {
    mark(object);
    return found;
  }
  bool any = hasKeys(object, slice != nullptr ? slice : "value");
  for (int i = 0; !any && slices != nullptr && i < count; ++i) any = slices[i] != nullptr && hasKeys(object, slices[i]);
  if (!any) return 0;
  mark(object);
  return 1;
}

// The name a parent is written under in an inherit action: its full name, without the leading
// part that it shares with the object's own full name (whole dotted components only).
std::string parentName(const std::string &parent, const std::string &own) {
  std::string written = parent;
  for (size_t dot = parent.find('.'); dot != std::string::npos; dot = parent.find('.', dot + 1)) {
    if (own.compare(0, dot, parent, 0, dot) != 0) break;
    written = parent.substr(dot + 1);
  }
  return written.empty() ? parent : written;
}

using Name = std::optional<std::string>;

// The object's name with up to depth of its named superiors before it, dotted (depth -1: all of
// them), as toeObject2Name gives it; built from the top down so that it costs its length.
Name nameOf(toe *object, int depth) {
  const char *own = ownString(object, "internal", "name");
  if (own == nullptr) return std::nullopt;
  std::vector<const char *> names{own};
  toe *above = toeGetSuperior(object);
  for (int level = 1; depth != 0 && above != nullptr && level < kMaxDepth; ++level, --depth) {
    const char *name = ownString(above, "internal", "name");
    if (name == nullptr) break;
    names.push_back(name);
    above = toeGetSuperior(above);
  }
  std::string full = names.back();
  for (size_t i = names.size() - 1; i-- > 0;) (full += '.') += names[i];
  return full;
}

class Writer {
 public:
  Writer(cfgWriteProc *write, void *handle, const char *slice, const char **slices, int sliceCount, int flags,
         Prune prune, const char *actionBase, const char *filterSet)
      : write_(write), handle_(handle), slice_(slice), slices_(slices), sliceCount_(sliceCount), flags_(flags),
        prune_(prune), actionBase_(actionBase), filterSet_(filterSet) {
    if (actionBase_ != nullptr) {
      pre_ = std::string(actionBase_) + "_pre";
      post_ = std::string(actionBase_) + "_post";
    }
  }

  int top(toe *object, int depth) {
    Name name;
    if (flat() && depth >= 1) name = nameOf(object, depth - 1);
    return this->object(object, depth, depth, name);
  }

 private:
  bool flat() const { return (flags_ & CFG_EXPORT_DOT) != 0; }

  // The object at depth (in the tree) inside nesting open blocks, then its children: nested in
  // blocks of their own, or in the flat form one after another. name (flat form only) is the
  // object's dotted name with depth - 1 superiors, which every line of the object carries.
  int object(toe *object, int depth, int nesting, const Name &name) {
    if (object == nullptr || depth > kMaxDepth) return -1;
    std::vector<std::string> slices = ownLines(object, depth, nesting, name);
    for (auto &[childName, child] : childrenToWrite(object)) {
      if (flat()) {
        if (this->object(child, depth + 1, nesting, childNameOf(child, object, name, depth + 1)) != 0) return -1;
      } else if (nesting < CFG_BLOCK_NESTING) {
        std::string indent = indentation(nesting);
        put(indent + childName + " = {\n");
        if (this->object(child, depth + 1, nesting + 1, std::nullopt) != 0) return -1;
        put(indent + "}\n");
      } else if (detached(child, depth + 1, nesting, childName) != 0) {
        return -1;
      }
    }
    postActions(object, slices, indentation(nesting), pathOf(name));
    unmark(object);
    return 0;
  }

  // Below the deepest nesting the writer opens, an object is a block named by its path from the
  // object at that nesting ("a.b.c = {"), which the reader takes in one level whatever the path's
  // length; its children follow as blocks of the same kind after it.
  int detached(toe *object, int depth, int nesting, const std::string &path) {
    if (object == nullptr || depth > kMaxDepth) return -1;
    std::string indent = indentation(nesting);
    put(indent + path + " = {\n");
    std::vector<std::string> slices = ownLines(object, depth, nesting + 1, std::nullopt);
    postActions(object, slices, indentation(nesting + 1), "");
    put(indent + "}\n");
    for (auto &[childName, child] : childrenToWrite(object))
      if (detached(child, depth + 1, nesting, path + "." + childName) != 0) return -1;
    unmark(object);
    return 0;
  }

  std::string indentation(int nesting) const {
    return nesting >= 1 && (flags_ & CFG_EXPORT_INDENT) != 0 ? std::string(nesting, '\t') : "";
  }
  static std::string pathOf(const Name &name) { return name ? *name + "." : ""; }

  // The flat form's name of a child at depth: its superior's name (when that is the object the
  // walk came from) and its own.
  static Name childNameOf(toe *child, toe *from, const Name &fromName, int depth) {
    if (toeGetSuperior(child) != from || depth <= 1) return nameOf(child, depth - 1);
    const char *own = ownString(child, "internal", "name");
    if (own == nullptr) return std::nullopt;
    return fromName ? *fromName + "." + own : std::string(own);
  }

  // The children written, in the "object" slice's order: those whose names begin with "_" last.
  std::vector<std::pair<std::string, toe *>> childrenToWrite(toe *object) const {
    std::vector<std::pair<std::string, toe *>> all = childrenOf(object), chosen;
    for (int pass = 0; pass < 2; ++pass)
      for (auto &entry : all) {
        if ((entry.first[0] == '_') != (pass == 1)) continue;
        if ((flags_ & CFG_EXPORT_MINIMAL) != 0 && !marked(entry.second)) continue;
        if (prune_.cuts(entry.second)) continue;
        chosen.push_back(entry);
      }
    return chosen;
  }

  // The object's lines before its children: header, inherit action, pre-actions, entries. Returns
  // the object's slice list.
  std::vector<std::string> ownLines(toe *object, int depth, int nesting, const Name &name) {
    std::string indent = indentation(nesting);
    std::string path = flat() && depth >= 1 ? pathOf(name) : "";
    if (filterSet_ != nullptr && std::strcmp(filterSet_, "_models") == 0 && depth == 0) put("type = reference\n");
    if ((flags_ & CFG_EXPORT_PARENTS) != 0 && !flat()) inheritLine(object, indent);

    std::vector<std::string> slices = sliceList(object);
    if (actionBase_ != nullptr && listed(slices, pre_)) {
      for (const std::string &key : keysOf(object, pre_.c_str())) {
        if (!passes(filterSet_, pre_, key)) continue;
        std::string text = escaped(ownString(object, pre_, key));
        std::string line = indent + path + "[ " + text + " ]";
        if (std::strcmp(actionBase_, "action") == 0)
          line += "\n" + indent + pre_ + ":" + path + key + " = \"" + text + "\"";
        put(line + "\n");
      }
    }
    if (slice_ != nullptr) entries(object, slice_, indent, "", path);
    for (const std::string &slice : slices) {
      if ((slice_ != nullptr && slice == slice_) || slice == kMarkSlice) continue;
      if (actionBase_ != nullptr && (slice == pre_ || slice == post_)) continue;
      entries(object, slice, indent, slice + ":", path);
    }
    return slices;
  }

  void postActions(toe *object, const std::vector<std::string> &slices, const std::string &indent,
                   const std::string &path) {
    if (actionBase_ == nullptr || !listed(slices, post_)) return;
    for (const std::string &key : keysOf(object, post_.c_str()))
      if (passes(filterSet_, post_, key)) put(indent + path + "[ " + escaped(ownString(object, post_, key)) + " ]\n");
  }

  std::vector<std::string> sliceList(toe *object) const {
    std::vector<std::string> slices;
    if (slice_ != nullptr || sliceCount_ > 0) {
      for (int i = 0; slices_ != nullptr && i < sliceCount_; ++i)
        if (slices_[i] != nullptr) slices.emplace_back(slices_[i]);
    } else {
      slices = keysOf(object, "entries");
    }
    return slices;
  }
  static bool listed(const std::vector<std::string> &slices, const std::string &name) {
    for (const std::string &slice : slices)
      if (slice == name) return true;
    return false;
  }

  void put(const std::string &text) { write_(handle_, text.c_str()); }

  void inheritLine(toe *object, const std::string &indent) {
    toe **parents = nullptr;
    int count = 0;
    if (toeGetParents(object, &parents, &count) != 0 || count == 0) return;
    std::string own = nameOf(object, -1).value_or("");
    std::string line = indent + "[ inherit ";
    for (int i = 0; i < count; ++i) {
      std::string name = nameOf(parents[i], -1).value_or("");
      if (!name.empty()) line += parentName(name, own) + " ";
    }
    put(line + " ]\n ");
  }

  void entries(toe *object, const std::string &slice, const std::string &indent, const std::string &prefix,
               const std::string &path) {
    for (const std::string &key : keysOf(object, slice.c_str())) {
      if (!passes(filterSet_, slice, key)) continue;
      const char *value = ownString(object, slice, key);
      std::string line = indent + prefix + path + key + " = ";
      if (value != nullptr) line += quoted(value);
      put(line + "\n");
    }
  }

  cfgWriteProc *write_;
  void *handle_;
  const char *slice_;
  const char **slices_;
  int sliceCount_;
  int flags_;
  Prune prune_;
  const char *actionBase_;
  const char *filterSet_;
  std::string pre_, post_;
};

int writeToString(void *handle, const char *text) {
  static_cast<std::string *>(handle)->append(text);
  return 0;
}

int writeToInterface(void *handle, const char *text) {
  int fd = *static_cast<int *>(handle);
  size_t length = std::strlen(text);
  while (length > 0) {
    ssize_t written = interfaceWrite(fd, text, length, nullptr);
    if (written <= 0) return -1;
    text += written;
    length -= static_cast<size_t>(written);
  }
  return 0;
}

}  // namespace

extern "C" {

int cfgfileWrite(cfgWriteProc *write, void *handle, int depth, toe *object, const char *slice, const char **slices,
                 int sliceCount, int flags, const char *pruneSlice, const char *pruneKey, const char *pruneValue,
                 const char *actionBase, const char *filterSet) {
  if (write == nullptr || object == nullptr || depth < 0) return -1;
  Writer writer(write, handle, slice, slices, sliceCount, flags, Prune{pruneSlice, pruneKey, pruneValue}, actionBase,
                filterSet);
  return writer.top(object, depth);
}

int cfgfileWriteToFile(const char *target, toe *object, const char *slice, const char **slices, int sliceCount,
                       int flags, const char *pruneSlice, const char *pruneKey, const char *pruneValue) {
  return cfgfileWriteToFileExport(target, object, slice, slices, sliceCount, flags, pruneSlice, pruneKey, pruneValue,
                                  nullptr, nullptr);
}

int cfgfileWriteToFileExport(const char *target, toe *object, const char *slice, const char **slices, int sliceCount,
                             int flags, const char *pruneSlice, const char *pruneKey, const char *pruneValue,
                             const char *actionBase, const char *filterSet) {
  if (target == nullptr || object == nullptr) return -1;
  if ((flags & CFG_EXPORT_MINIMAL) != 0 &&
      cfgfileCheckMinimalExport(object, slice, slices, sliceCount, pruneSlice, pruneKey, pruneValue) == 0)
    mark(object);
  Intfile_InitInternal();
  int fd = interfaceOpen(target);
  if (fd < 0) fd = interfaceOpen((std::string("file://localhost/") + target + ";flags=wo").c_str());
  int code = -1;
  if (fd >= 0) {
    code = cfgfileWrite(writeToInterface, &fd, 0, object, slice, slices, sliceCount, flags, pruneSlice, pruneKey,
                        pruneValue, actionBase, filterSet);
    interfaceClose(fd);
  }
  if (code != 0) unmarkTree(object, 0);
  return code;
}

char *cfgfileWriteToString(toe *object, const char *slice, const char **slices, int sliceCount, int flags,
                           const char *pruneSlice, const char *pruneKey, const char *pruneValue, const char *actionBase,
                           const char *filterSet) {
  if (object == nullptr) return nullptr;
  if ((flags & CFG_EXPORT_MINIMAL) != 0 &&
      cfgfileCheckMinimalExport(object, slice, slices, sliceCount, pruneSlice, pruneKey, pruneValue) == 0)
    return strdup("");
  std::string text;
  if (cfgfileWrite(writeToString, &text, 0, object, slice, slices, sliceCount, flags, pruneSlice, pruneKey, pruneValue,
                   actionBase, filterSet) != 0) {
    unmarkTree(object, 0);
    return nullptr;
  }
  return strdup(text.c_str());
}

int cfgfileCheckMinimalExport(toe *object, const char *slice, const char **slices, int sliceCount,
                              const char *pruneSlice, const char *pruneKey, const char *pruneValue) {
  return checkMinimal(object, slice, slices, sliceCount, Prune{pruneSlice, pruneKey, pruneValue}, 0);
}

char *cfgfileLookupString(toe *object, int mode, const char *slice, const char *key) {
  const char *value = toeLookupString(object, mode, slice, key);
  if (value == nullptr) return nullptr;
  std::string text;
  for (const char *p = value; *p != '\0'; ++p) {
    if (*p == '"' || *p == '\\') text += '\\';
    text += *p;
  }
  return strdup(text.c_str());
}

}  // extern "C"
