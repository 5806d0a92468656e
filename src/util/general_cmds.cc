// Package "general": list, text and conversion commands for the agent's scripts, and an `exec` that
// refuses to run system commands.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "pkg/command.h"
#include "telvi/package.h"
#include "telvi/toe.h"

namespace {

using telvi::fail;
using telvi::usage;

// A Tcl list as a vector of its elements; false (with the command's message) when it does not split.
bool splitList(Tcl_Interp *interp, const char *cmd, const char *list, std::vector<std::string> &out) {
  int count;
  const char **elements;
  if (Tcl_SplitList(nullptr, list, &count, &elements) != TCL_OK) {
    fail(interp, cmd, "error splitting list: ", list);
    return false;
  }
  out.assign(elements, elements + count);
  Tcl_Free(reinterpret_cast<char *>(elements));
  return true;
}

// A whole-word integer in decimal, octal (leading 0) or hexadecimal (0x).
bool parseIndex(const std::string &word, long &value) {
  if (word.empty()) return false;
  char *end;
  errno = 0;
  value = std::strtol(word.c_str(), &end, 0);
  return *end == '\0' && errno == 0;
}

int cmdLtranspose(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3 && argc != 5) return usage(interp, argv[0], "list numCols ?-c|-r listToReturn?");
  std::vector<std::string> list;
  if (!splitList(interp, argv[0], argv[1], list)) return TCL_ERROR;
  int columns;
  if (Tcl_GetInt(interp, argv[2], &columns) != TCL_OK) return TCL_ERROR;
  bool byRow = false, byColumn = false;
  std::vector<std::string> picked;
  if (argc == 5) {
    byRow = std::strcmp(argv[3], "-r") == 0;
    byColumn = std::strcmp(argv[3], "-c") == 0;
    if (!byRow && !byColumn) return fail(interp, "Invalid option.  Must be -r or -c");
    if (!splitList(interp, argv[0], argv[4], picked)) return TCL_ERROR;
  }
  Tcl_ResetResult(interp);
  if (list.empty()) return TCL_OK;
  if (columns <= 0 || list.size() % static_cast<size_t>(columns) != 0)
    return fail(interp, "Invalid number of columns");
  long rows = static_cast<long>(list.size()) / columns;
  auto at = [&](long row, long column) { return list[static_cast<size_t>(row + column * rows)].c_str(); };
  if (argc == 3) {
    for (long r = 0; r < rows; ++r)
      for (long c = 0; c < columns; ++c) Tcl_AppendElement(interp, at(r, c));
    return TCL_OK;
  }
  std::string result;
  for (const std::string &word : picked) {
    long n;
    if (!parseIndex(word, n) || n < 0 || n >= (byRow ? rows : columns))
      return fail(interp, argv[0], ": index ", word.c_str(), " out of range");
    if (byRow)
      for (long c = 0; c < columns; ++c) Tcl_AppendElement(interp, at(n, c));
    else
      for (long r = 0; r < rows; ++r) Tcl_AppendElement(interp, at(r, n));
  }
  return TCL_OK;
}

int cmdEcho(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, text.c_str(), nullptr);
  return TCL_OK;
}

// Each index is a list of numbers and "every n" steps; a single number sets the variable, several
// words append each selected element to it.
int cmdLextract(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc < 4 || argc % 2 != 0) return usage(interp, argv[0], "list index var ?index var? ...");
  const char *cmd = argv[0];
  std::vector<std::string> list;
  if (!splitList(interp, cmd, argv[1], list)) return TCL_ERROR;
  const long length = static_cast<long>(list.size());
  for (int pair = 2; pair < argc; pair += 2) {
    std::vector<std::string> words;
    int count;
    const char **elements;
    if (Tcl_SplitList(nullptr, argv[pair], &count, &elements) != TCL_OK)
      return fail(interp, cmd, "error processing index: ", argv[pair]);
    words.assign(elements, elements + count);
    Tcl_Free(reinterpret_cast<char *>(elements));
    const char *var = argv[pair + 1];
    auto store = [&](long index, bool append) {
      int flags = TCL_LEAVE_ERR_MSG | (append ? TCL_APPEND_VALUE | TCL_LIST_ELEMENT : 0);
      return Tcl_SetVar(interp, var, list[static_cast<size_t>(index)].c_str(), flags) != nullptr;
    };
    bool several = words.size() > 1;
    long last = 0;
    for (size_t i = 0; i < words.size(); ++i) {
      long n = 0;
      if (words[i] == "every") {
        const std::string step = i + 1 < words.size() ? words[++i] : std::string("every");
        if (step != "every" && !parseIndex(step, n))
          return fail(interp, cmd, ": index ", step.c_str(), " not numeric format");
        if (step == "every" || n <= 0 || n >= length)
          return fail(interp, cmd, ": index ", step.c_str(), " out of range");
        for (long k = last + n; k < length; k += n)
          if (!store(k, true)) return TCL_ERROR;
        continue;
      }
      if (!parseIndex(words[i], n))
        return fail(interp, cmd, ": index ", words[i].c_str(), " not numeric format");
      if (n < 0 || n >= length) return fail(interp, cmd, ": index ", words[i].c_str(), " out of range");
      if (!store(n, several)) return TCL_ERROR;
      last = n;
    }
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdLmodify(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 4) return usage(interp, argv[0], "list prefix suffix");
  std::vector<std::string> list;
  if (!splitList(interp, argv[0], argv[1], list)) return TCL_ERROR;
  Tcl_ResetResult(interp);
  for (const std::string &element : list)
    Tcl_AppendElement(interp, (argv[2] + element + argv[3]).c_str());
  return TCL_OK;
}

int cmdLmerge(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return usage(interp, argv[0], "list1 list2");
  std::vector<std::string> first, second;
  if (!splitList(interp, argv[0], argv[1], first) || !splitList(interp, argv[0], argv[2], second))
    return TCL_ERROR;
  if (first.size() != second.size()) return fail(interp, argv[0], ": lists must be the same length");
  std::string result;
  auto word = [](const std::string &element) { return element.empty() ? std::string("{}") : element; };
  for (size_t i = 0; i < first.size(); ++i) result += "{" + word(first[i]) + " " + word(second[i]) + "} ";
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, result.c_str(), nullptr);
  return TCL_OK;
}

int cmdLsum(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return usage(interp, argv[0], "list1 list2");
  std::vector<std::string> first, second;
  if (!splitList(interp, argv[0], argv[1], first) || !splitList(interp, argv[0], argv[2], second))
    return TCL_ERROR;
  Tcl_DString sums;
  Tcl_DStringInit(&sums);
  size_t count = std::max(first.size(), second.size());
  for (size_t i = 0; i < count; ++i) {
    std::string expression = i < first.size() && i < second.size() ? first[i] + " + " + second[i]
                             : i < first.size()                    ? first[i]
                                                                   : second[i];
    if (Tcl_ExprString(interp, expression.c_str()) != TCL_OK) {
      std::string message = Tcl_DStringValue(&sums);
      if (!message.empty()) message += " ";
      message += std::string(argv[0]) + ": lists elements cannot be added";
      Tcl_DStringFree(&sums);
      return fail(interp, message.c_str());
    }
    Tcl_DStringAppendElement(&sums, Tcl_GetStringResult(interp));
  }
  Tcl_DStringResult(interp, &sums);
  return TCL_OK;
}

// Calls the procedure named by the client data with the words after the alias's own name.
int forwardToProc(ClientData target, Tcl_Interp *interp, int argc, const char *argv[]) {
  std::vector<Tcl_Obj *> words;
  words.push_back(Tcl_NewStringObj(static_cast<const char *>(target), -1));
  for (int i = 1; i < argc; ++i) words.push_back(Tcl_NewStringObj(argv[i], -1));
  for (Tcl_Obj *word : words) Tcl_IncrRefCount(word);
  int code = Tcl_EvalObjv(interp, argc, words.data(), 0);
  for (Tcl_Obj *word : words) Tcl_DecrRefCount(word);
  return code;
}

void freeTarget(ClientData target) { std::free(target); }

// Tcl procedures are aliased by name (their records are reference-counted by Tcl); other commands
// get the same command procedure and client data under the new name. Made while an object is
// current, the alias is that object's method, as every command created there is.
int cmdAlias(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return usage(interp, argv[0], "newname command");
  Tcl_CmdInfo info;
  if (Tcl_GetCommandInfo(interp, argv[2], &info) != 0) {
    Tcl_Obj *probe = Tcl_NewStringObj("info procs", -1);
    Tcl_IncrRefCount(probe);
    Tcl_ListObjAppendElement(nullptr, probe, Tcl_NewStringObj(argv[2], -1));
    bool isProc = Tcl_EvalObjEx(interp, probe, TCL_EVAL_GLOBAL) == TCL_OK &&
                  Tcl_GetStringResult(interp)[0] != '\0';
    Tcl_DecrRefCount(probe);
    bool inObject = toeGetCurrentObject(interp, TOE_SELECT_CURRENT) != nullptr;
    if (isProc && inObject) {
      toeCreateCommand(interp, argv[1], forwardToProc, strdup(argv[2]), freeTarget);
    } else if (isProc) {
      const char *target = argv[2];
      Tcl_CreateAlias(interp, argv[1], interp, target, 0, nullptr);
    } else if (info.isNativeObjectProc) {
      Tcl_CreateObjCommand(interp, argv[1], info.objProc, info.objClientData, nullptr);
    } else {
      toeCreateCommand(interp, argv[1], info.proc, info.clientData, nullptr);
    }
  }
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int cmdInt2char(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return fail(interp, "usage : ", argv[0], " int");
  int value;
  if (Tcl_GetInt(interp, argv[1], &value) != TCL_OK) return TCL_ERROR;
  if (value > 65535) return fail(interp, "Value to convert is too large.");
  char hex[16];
  std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(value));
  std::string text(hex), result;
  for (size_t pos = 0; pos < 4 && pos < text.size(); pos += 2) {
    int byte = static_cast<int>(std::strtol(text.substr(pos, 2).c_str(), nullptr, 16));
    if (byte >= 33 && byte <= 126) result += static_cast<char>(byte);
  }
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, result.c_str(), nullptr);
  return TCL_OK;
}

int cmdAppname(ClientData, Tcl_Interp *interp, int, const char *[]) {
  static std::string name;
  static bool known = false;
  if (!known) {
    known = true;
    const char *argv0 = Tcl_GetVar(interp, "argv0", TCL_GLOBAL_ONLY);
    name = argv0 == nullptr ? "???" : argv0;
    if (size_t slash = name.rfind('/'); argv0 != nullptr && slash != std::string::npos)
      name.erase(0, slash + 1);
  }
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, name.c_str(), nullptr);
  return TCL_OK;
}

int cmdWord(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  bool cap = argc >= 3 && std::strcmp(argv[1], "cap") == 0;
  bool decap = argc >= 3 && std::strcmp(argv[1], "decap") == 0;
  bool all = argc == 4 && std::strcmp(argv[2], "all") == 0;
  if ((!cap && !decap) || (argc != 3 && !all))
    return fail(interp, "usage : ", argv[0], " cap|decap [all] <string>");
  std::string text = argv[argc - 1];
  bool atWordStart = true;
  bool done = false;
  for (char &c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::isspace(u)) {
      atWordStart = true;
      continue;
    }
    if (atWordStart && !done) {
      if (std::isalpha(u)) c = static_cast<char>(cap ? std::toupper(u) : std::tolower(u));
      if (!all) done = true;
    }
    atWordStart = false;
  }
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, text.c_str(), nullptr);
  return TCL_OK;
}

// string2oid and oid2string work on the string's characters as bytes (one byte per character, as
// ISO 8859-1), so that each is the other's inverse for every code from 1 to 255.
std::string toBytes(const char *text) {
  Tcl_DString bytes;
  Tcl_Encoding latin1 = Tcl_GetEncoding(nullptr, "iso8859-1");
  Tcl_UtfToExternalDString(latin1, text, -1, &bytes);
  Tcl_FreeEncoding(latin1);
  std::string result(Tcl_DStringValue(&bytes), static_cast<size_t>(Tcl_DStringLength(&bytes)));
  Tcl_DStringFree(&bytes);
  return result;
}

void setBytesResult(Tcl_Interp *interp, const std::string &bytes) {
  Tcl_DString text;
  Tcl_Encoding latin1 = Tcl_GetEncoding(nullptr, "iso8859-1");
  Tcl_ExternalToUtfDString(latin1, bytes.data(), static_cast<int>(bytes.size()), &text);
  Tcl_FreeEncoding(latin1);
  Tcl_DStringResult(interp, &text);
}

int cmdOid2string(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return usage(interp, argv[0], "oid");
  std::string result;
  for (const char *p = argv[1]; *p != '\0';) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
      ++p;
      continue;
    }
    unsigned long long number = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p)
      number = number * 10 + static_cast<unsigned>(*p - '0');
    if (number > 0) result += static_cast<char>(number);
  }
  setBytesResult(interp, result);
  return TCL_OK;
}

int cmdString2oid(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return usage(interp, argv[0], "string");
  std::string result, bytes = toBytes(argv[1]);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) result += '.';
    result += std::to_string(static_cast<unsigned int>(static_cast<int>(static_cast<signed char>(bytes[i]))));
  }
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, result.c_str(), nullptr);
  return TCL_OK;
}

int cmdNumInRange(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 4) return usage(interp, argv[0], "value min max");
  double value, low, high;
  if (Tcl_GetDouble(interp, argv[1], &value) != TCL_OK || Tcl_GetDouble(interp, argv[2], &low) != TCL_OK ||
      Tcl_GetDouble(interp, argv[3], &high) != TCL_OK)
    return TCL_ERROR;
  Tcl_SetResult(interp, const_cast<char *>(low <= value && value <= high ? "1" : "0"), TCL_STATIC);
  return TCL_OK;
}

int cmdExec(ClientData, Tcl_Interp *interp, int, const char *[]) {
  return fail(interp, "direct execution of system commands is not permitted");
}

int cmdStrtokey(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2 && argc != 3) return fail(interp, "Usage:\t", argv[0], " <str> [<reserved-chars>]");
  static const char kEscaped[] = " <>\"#%{}|\\^~[]`:.";
  const char *reserved = argc == 3 ? argv[2] : "";
  std::string result;
  for (const char *p = argv[1]; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 32 || c >= 128 || std::strchr(kEscaped, c) != nullptr || std::strchr(reserved, c) != nullptr) {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02x", c);
      result += escape;
    } else {
      result += static_cast<char>(c);
    }
  }
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, result.c_str(), nullptr);
  return TCL_OK;
}

int cmdKeytostr(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return fail(interp, "Usage:\t", argv[0], " <str>");
  std::string result;
  for (const char *p = argv[1]; *p != '\0'; ++p) {
    if (*p != '%') {
      result += *p;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(p[1])) || !std::isxdigit(static_cast<unsigned char>(p[2])))
      return fail(interp, "Usage:\t", argv[0], " <str>");
    char hex[3] = {p[1], p[2], '\0'};
    result += static_cast<char>(std::strtol(hex, nullptr, 16));
    p += 2;
  }
  Tcl_SetObjResult(interp, Tcl_NewStringObj(result.data(), static_cast<int>(result.size())));
  return TCL_OK;
}

int replaceAll(Tcl_Interp *interp, int argc, const char *argv[], char from, char to) {
  if (argc != 2) return usage(interp, argv[0], "string");
  std::string text = argv[1];
  for (char &c : text)
    if (c == from) c = to;
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, text.c_str(), nullptr);
  return TCL_OK;
}

int cmdSlashestodots(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  return replaceAll(interp, argc, argv, '/', '.');
}

int cmdDotstoslashes(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  return replaceAll(interp, argc, argv, '.', '/');
}

}  // namespace

extern "C" int General_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {
                                    {"ltranspose", cmdLtranspose},
                                    {"echo", cmdEcho},
                                    {"lextract", cmdLextract},
                                    {"lmodify", cmdLmodify},
                                    {"lmerge", cmdLmerge},
                                    {"lsum", cmdLsum},
                                    {"alias", cmdAlias},
                                    {"int2char", cmdInt2char},
                                    {"appname", cmdAppname},
                                    {"word", cmdWord},
                                    {"oid2string", cmdOid2string},
                                    {"string2oid", cmdString2oid},
                                    {"numInRange", cmdNumInRange},
                                    {"exec", cmdExec},
                                    {"strtokey", cmdStrtokey},
                                    {"keytostr", cmdKeytostr},
                                    {"slashestodots", cmdSlashestodots},
                                    {"dotstoslashes", cmdDotstoslashes},
                                });
  return TCL_OK;
}
