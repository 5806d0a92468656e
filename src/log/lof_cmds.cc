// Package "lof": the `lof` and `clog` commands over log-file readers named by identifiers "lofN".
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "pkg/command.h"
#include "telvi/id.h"
#include "telvi/lof.h"
#include "telvi/package.h"

namespace {

using telvi::fail;

constexpr const char *kPrefix = "lof";
constexpr const char *kLofVerbs = " open|get|length|fd|close ...";
constexpr const char *kClogVerbs = " open|getAbs|firstAbs|lastAbs|createtime|close ...";
constexpr const char *kGetUsage = " get <lofFile> <startLine> <numLines> <missing line string>";
constexpr const char *kGetAbsUsage = " getAbs <lofFile> <absStartLine> <numLines> <misstext>";

// "NAME: wrong number of args\nusage: NAME" + synopsis.
int wrongArgs(Tcl_Interp *interp, const char *name, const char *synopsis) {
  return fail(interp, name, ": wrong number of args\nusage: ", name, synopsis);
}

// The reader named by `id`; circularOnly refuses regular readers. Null after setting the message.
lof *findReader(Tcl_Interp *interp, const char *name, const char *id, const char *synopsis,
                bool circularOnly) {
  void *pointer = nullptr;
  if (idLookup(kPrefix, id, &pointer) != 0 || pointer == nullptr ||
      (circularOnly && !lof_is_circular(static_cast<lof *>(pointer)))) {
    fail(interp, name, ": bad lof id: ", id, "\nusage: ", name, synopsis);
    return nullptr;
  }
  return static_cast<lof *>(pointer);
}

// A failed reader call: the error code from errno, and a message naming the call.
int readerFailed(Tcl_Interp *interp, const char *name, const char *verb, const char *id) {
  if (errno == 0) errno = EIO;
  const char *text = Tcl_PosixError(interp);
  return fail(interp, name, ": ", verb, " ", id, " failed: ", text);
}

int numberArg(Tcl_Interp *interp, const char *name, const char *what, const char *text, int *value) {
  if (Tcl_GetInt(interp, text, value) != TCL_OK) return TCL_ERROR;
  if (*value < 1) return fail(interp, name, ": bad ", what, ": ", text, " must be greater than zero");
  return TCL_OK;
}

constexpr int kReaderFailed = -1;
constexpr int kChunk = 1024;

// The lines as a list, fetched a chunk at a time (so a huge count costs only what is there); an
// empty slot (overwritten record) gives the missing text. `get` reads `count` lines from the
// offset given; it fills fewer than asked only at the end.
int lineList(Tcl_Interp *interp, const char *name, int count, const char *missing,
             bool (*get)(void *, int offset, int count, char **, int *), void *argument) {
  std::vector<char *> lines;
  try {
    lines.assign(static_cast<size_t>(std::min(count, kChunk)), nullptr);
  } catch (const std::bad_alloc &) {
    return fail(interp, name, ": malloc failed");
  }
  Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
  Tcl_IncrRefCount(list);
  Tcl_Obj *missingObj = Tcl_NewStringObj(missing, -1);
  Tcl_IncrRefCount(missingObj);
  int code = TCL_OK;
  for (int done = 0; done < count;) {
    int want = std::min(count - done, kChunk), got = 0;
    if (!get(argument, done, want, lines.data(), &got)) {
      for (char *&line : lines) std::free(std::exchange(line, nullptr));
      code = kReaderFailed;
      break;
    }
    for (int i = 0; i < got; ++i) {
      char *line = std::exchange(lines[static_cast<size_t>(i)], nullptr);
      Tcl_ListObjAppendElement(nullptr, list, line == nullptr ? missingObj : Tcl_NewStringObj(line, -1));
      std::free(line);
    }
    done += got;
    if (got < want) break;
  }
  if (code == TCL_OK) Tcl_SetObjResult(interp, list);
  Tcl_DecrRefCount(missingObj);
  Tcl_DecrRefCount(list);
  return code;
}

// Both commands close any reader.
int closeReader(Tcl_Interp *interp, const char *name, int argc, const char *argv[]) {
  if (argc != 3) return wrongArgs(interp, name, " close <lofFile>");
  lof *reader = findReader(interp, name, argv[2], " close <lofFile>", false);
  if (reader == nullptr) return TCL_ERROR;
  idDestroy(argv[2]);
  lof_close(reader);
  Tcl_ResetResult(interp);
  return TCL_OK;
}

int registerReader(Tcl_Interp *interp, lof *reader) {
  const char *id = idCreate(kPrefix, reader);
  if (id == nullptr) {
    lof_close(reader);
    return fail(interp, "unable to register the reader");
  }
  Tcl_SetResult(interp, const_cast<char *>(id), TCL_VOLATILE);
  return TCL_OK;
}

int lofOpen(Tcl_Interp *interp, const char *name, int argc, const char *argv[]) {
  if (argc < 3) return fail(interp, name, ": not enough args\nusage: ", name, " open <lofFileType> <filename>");
  std::string type = argv[2];
  if (type != "regular" && type != "circular" && type != "any")
    return fail(interp, name, ": bad file type: ", argv[2], "\nusage:", name, " open regular|circular <filename>");
  std::string usage = " open " + type + " <filename>";
  if (argc < 4) {
    if (type == "regular") return fail(interp, name, "no filename specified\nusage: ", name, usage.c_str());
    return fail(interp, name, ": no filename specified\nusage: ", name, usage.c_str());
  }
  if (argc > 4) return wrongArgs(interp, name, usage.c_str());
  lof *reader = type == "regular"    ? lof_open_regular(argv[3])
                : type == "circular" ? lof_open_circular(argv[3])
                                     : lof_open(argv[3]);
  if (reader == nullptr)
    return fail(interp, name, ": unable to open file: ", argv[3], "\nusage: ", name, usage.c_str());
  return registerReader(interp, reader);
}

struct GetRequest {
  lof *reader;
  int start;
  unsigned long absStart;
  int count;
};

int lofGet(Tcl_Interp *interp, const char *name, int argc, const char *argv[]) {
  if (argc != 6) return wrongArgs(interp, name, kGetUsage);
  lof *reader = findReader(interp, name, argv[2], kGetUsage, false);
  if (reader == nullptr) return TCL_ERROR;
  GetRequest request{reader, 0, 0, 0};
  if (numberArg(interp, name, "startLine", argv[3], &request.start) != TCL_OK ||
      numberArg(interp, name, "numLines", argv[4], &request.count) != TCL_OK)
    return TCL_ERROR;
  errno = 0;
  int code = lineList(
      interp, name, request.count, argv[5],
      [](void *argument, int offset, int count, char **lines, int *got) {
        auto *r = static_cast<GetRequest *>(argument);
        return lof_get(r->reader, r->start + offset, count, lines, got) != 0;
      },
      &request);
  if (code == kReaderFailed) return readerFailed(interp, name, "get", argv[2]);
  return code;
}

int cmdLof(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  const char *name = argv[0];
  if (argc < 2) return fail(interp, name, ": not enough args\nusage: ", name, kLofVerbs);
  const char *verb = argv[1];
  if (std::strcmp(verb, "open") == 0) return lofOpen(interp, name, argc, argv);
  if (std::strcmp(verb, "get") == 0) return lofGet(interp, name, argc, argv);
  if (std::strcmp(verb, "close") == 0) return closeReader(interp, name, argc, argv);
  if (std::strcmp(verb, "length") == 0 || std::strcmp(verb, "fd") == 0) {
    std::string usage = std::string(" ") + verb + " <lofFile>";
    if (argc != 3) return wrongArgs(interp, name, usage.c_str());
    lof *reader = findReader(interp, name, argv[2], usage.c_str(), false);
    if (reader == nullptr) return TCL_ERROR;
    if (verb[0] == 'f') {
      Tcl_SetObjResult(interp, Tcl_NewIntObj(lof_get_fd(reader)));
      return TCL_OK;
    }
    int lines = 0;
    errno = 0;
    if (!lof_length(reader, &lines)) return readerFailed(interp, name, verb, argv[2]);
    Tcl_SetObjResult(interp, Tcl_NewIntObj(lines));
    return TCL_OK;
  }
  return fail(interp, name, ": bad verb: ", verb, "\nusage: ", name, kLofVerbs);
}

int setUnsigned(Tcl_Interp *interp, unsigned long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%lu", value);
  Tcl_SetResult(interp, text, TCL_VOLATILE);
  return TCL_OK;
}

int clogGetAbs(Tcl_Interp *interp, const char *name, int argc, const char *argv[]) {
  if (argc != 5 && argc != 6) return wrongArgs(interp, name, kGetAbsUsage);
  lof *reader = findReader(interp, name, argv[2], kGetAbsUsage, true);
  if (reader == nullptr) return TCL_ERROR;
  GetRequest request{reader, 0, std::strtoul(argv[3], nullptr, 10), 0};
  if (numberArg(interp, name, "numLines", argv[4], &request.count) != TCL_OK) return TCL_ERROR;
  errno = 0;
  int code = lineList(
      interp, name, request.count, argc == 6 ? argv[5] : "",
      [](void *argument, int offset, int count, char **lines, int *got) {
        auto *r = static_cast<GetRequest *>(argument);
        return lofc_get_abs(r->reader, r->absStart + static_cast<unsigned long>(offset), count, lines, got) != 0;
      },
      &request);
  if (code == kReaderFailed) return readerFailed(interp, name, "getAbs", argv[2]);
  return code;
}

int cmdClog(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  const char *name = argv[0];
  if (argc < 2) return fail(interp, name, ": not enough args\nusage: ", name, kClogVerbs);
  const char *verb = argv[1];
  if (std::strcmp(verb, "open") == 0) {
    if (argc != 3) return fail(interp, name, ": no filename specified\nusage: ", name, " open <filename>");
    lof *reader = lof_open_circular(argv[2]);
    if (reader == nullptr) return fail(interp, name, ": unable to open file: ", argv[2]);
    return registerReader(interp, reader);
  }
  if (std::strcmp(verb, "getAbs") == 0) return clogGetAbs(interp, name, argc, argv);
  if (std::strcmp(verb, "close") == 0) return closeReader(interp, name, argc, argv);
  if (std::strcmp(verb, "firstAbs") == 0 || std::strcmp(verb, "lastAbs") == 0 ||
      std::strcmp(verb, "createtime") == 0) {
    std::string usage = std::string(" ") + verb + " <lofFile>";
    if (argc != 3) return wrongArgs(interp, name, usage.c_str());
    lof *reader = findReader(interp, name, argv[2], usage.c_str(), true);
    if (reader == nullptr) return TCL_ERROR;
    if (verb[0] == 'c') return setUnsigned(interp, lofc_get_createtime(reader));
    unsigned long number = 0;
    errno = 0;
    int ok = verb[0] == 'f' ? lofc_firstline_abs(reader, &number) : lofc_lastline_abs(reader, &number);
    if (!ok) return readerFailed(interp, name, verb, argv[2]);
    return setUnsigned(interp, number);
  }
  return fail(interp, name, ": bad verb: ", verb, "\nusage: ", name, kClogVerbs);
}

}  // namespace

extern "C" int Lof_InitInternal(Tcl_Interp *interp) {
  idInit();
  telvi::createCommands(interp, {
                                    {"lof", cmdLof},
                                    {"clog", cmdClog},
                                });
  return TCL_OK;
}
