// Package "intraface": the `intraface` command, which opens framed interfaces and wraps each in a Tcl
// channel of the "intraface" channel type, so that scripts wait for messages with `fileevent` and
// close them with `intraface close` or Tcl's `close` alike.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "io/interface_cmds.h"
#include "io/intraface_classes.h"
#include "pkg/command.h"
#include "telvi/interface.h"
#include "telvi/intraface.h"
#include "telvi/package.h"

namespace {

using telvi::fail;
using telvi::io::systemError;

struct ChannelState {
  int fd;       // the intraface: reads, and its layer record
  int writeFd;  // where messages go: a pipe's second descriptor, else fd
  Tcl_Channel channel;
  int interest = 0;                   // what the channel's watchers want
  Tcl_TimerToken pending = nullptr;   // a readable notice for a message already buffered
  long noticed = -1;                  // the buffered size the last notice was about
};

int blockModeProc(ClientData data, int mode) {
  auto *state = static_cast<ChannelState *>(data);
  telvi::io::setDescriptorsNonBlocking(state->fd, state->writeFd, mode == TCL_MODE_NONBLOCKING);
  return 0;
}

void cancelNotice(ChannelState *state) {
  if (state->pending != nullptr) Tcl_DeleteTimerHandler(state->pending);
  state->pending = nullptr;
}

int closeProc(ClientData data, Tcl_Interp *) {
  auto *state = static_cast<ChannelState *>(data);
  cancelNotice(state);
  telvi::io::watchDescriptors(state->fd, state->writeFd, 0, nullptr, nullptr);
  int code = intrafaceBuffered(state->fd, 0) < 0 ? 0 : intrafaceClose(state->fd);
  int error = code < 0 ? errno : 0;
  delete state;
  return error;
}

// Tcl's own read and puts on the channel move raw bytes, past the message layers; puts waits behind
// messages still queued so that the byte order stays as written.
int inputProc(ClientData data, char *buf, int size, int *errorCode) {
  return telvi::io::channelInput(static_cast<ChannelState *>(data)->fd, buf, size, errorCode);
}

int outputProc(ClientData data, const char *buf, int size, int *errorCode) {
  auto *state = static_cast<ChannelState *>(data);
  int queued = intrafaceFlush(state->writeFd, nullptr);
  if (queued != 0) {
    *errorCode = queued < 0 ? errno : EAGAIN;
    return -1;
  }
  return telvi::io::channelOutput(state->writeFd, buf, size, errorCode);
}

void fileReady(ClientData data, int mask) {
  Tcl_NotifyChannel(static_cast<ChannelState *>(data)->channel, mask);
}

void noticeDue(ClientData data) {
  auto *state = static_cast<ChannelState *>(data);
  state->pending = nullptr;
  state->noticed = intrafaceBuffered(state->fd, 0);
  Tcl_NotifyChannel(state->channel, TCL_READABLE);
}

// A message can wait in the read buffer while the descriptor has nothing more to say; the watcher is
// told again, as Tcl does for its own buffered channels. Buffered bytes it was already told about
// (an incomplete frame) are not announced twice.
void noticeBuffered(ChannelState *state) {
  if ((state->interest & TCL_READABLE) == 0 || state->pending != nullptr) return;
  long buffered = intrafaceBuffered(state->fd, 0);
  if (buffered > 0 && buffered != state->noticed)
    state->pending = Tcl_CreateTimerHandler(0, noticeDue, state);
}

void watchProc(ClientData data, int mask) {
  auto *state = static_cast<ChannelState *>(data);
  state->interest = mask;
  if ((mask & TCL_READABLE) == 0)
    cancelNotice(state);
  else
    noticeBuffered(state);
  telvi::io::watchDescriptors(state->fd, state->writeFd, mask, fileReady, state);
}

int getHandleProc(ClientData data, int direction, ClientData *handle) {
  auto *state = static_cast<ChannelState *>(data);
  return telvi::io::descriptorHandle(state->fd, state->writeFd, direction, handle);
}

const Tcl_ChannelType kChannelType = {
    "intraface", TCL_CHANNEL_VERSION_5, closeProc, inputProc, outputProc, nullptr, nullptr,
    nullptr,     watchProc,             getHandleProc, nullptr, blockModeProc, nullptr, nullptr,
    nullptr,     nullptr,               nullptr};

ChannelState *lookupChannel(Tcl_Interp *interp, const char *name) {
  int mode;
  Tcl_Channel channel = Tcl_GetChannel(interp, name, &mode);
  Tcl_ResetResult(interp);
  if (channel == nullptr || Tcl_GetChannelType(channel) != &kChannelType) {
    Tcl_AppendResult(interp, "bad intraface descriptor: ", name, nullptr);
    return nullptr;
  }
  return static_cast<ChannelState *>(Tcl_GetChannelInstanceData(channel));
}

Tcl_Encoding utf8() {
  static Tcl_Encoding encoding = Tcl_GetEncoding(nullptr, "utf-8");
  return encoding;
}

// Wire bytes to a Tcl string and back (a NUL byte is a character like any other).
Tcl_Obj *textOf(const char *bytes, size_t length) {
  Tcl_DString text;
  Tcl_ExternalToUtfDString(utf8(), bytes, static_cast<int>(length), &text);
  Tcl_Obj *result = Tcl_NewStringObj(Tcl_DStringValue(&text), Tcl_DStringLength(&text));
  Tcl_DStringFree(&text);
  return result;
}

std::string bytesOf(const char *text) {
  Tcl_DString bytes;
  Tcl_UtfToExternalDString(utf8(), text, -1, &bytes);
  std::string result(Tcl_DStringValue(&bytes), static_cast<size_t>(Tcl_DStringLength(&bytes)));
  Tcl_DStringFree(&bytes);
  return result;
}

int wrap(Tcl_Interp *interp, int fd, const char *failure) {
  const intStruct *record = interfaceRecord(fd);
  if (record == nullptr) {
    intrafaceClose(fd);
    return fail(interp, failure);
  }
  const std::string className = record->cls->name;
  bool socket = className == "inet" || className == "unix";
  std::string name = (socket ? "sock" : "file") + std::to_string(fd);
  int existingMode;
  if (Tcl_GetChannel(interp, name.c_str(), &existingMode) != nullptr)
    name = "intraface" + std::to_string(fd);  // Tcl or `interface` already use the first name
  Tcl_ResetResult(interp);
  int mask = TCL_READABLE | TCL_WRITABLE;
  if (!socket && className != "desc") {
    int mode = className == "pipe" ? record->mode : record->mode & O_ACCMODE;
    mask = mode == 0 ? TCL_READABLE : mode == 1 ? TCL_WRITABLE : mask;
  }
  auto *state = new ChannelState{fd, record->fd2 >= 0 ? record->fd2 : fd, nullptr};
  telvi::io::setDescriptorsNonBlocking(state->fd, state->writeFd, true);
  telvi::io::setDescriptorsNonBlocking(record->fdError, -1, true);
  state->channel = telvi::io::registerChannel(interp, &kChannelType, name, state, mask);
  if (state->channel == nullptr) {
    delete state;
    intrafaceClose(fd);
    return fail(interp, failure);
  }
  return TCL_OK;
}

bool isPipeSpec(const char *spec) {
  return std::strstr(spec, ":pipe:") != nullptr || std::strncmp(spec, "pipe:", 5) == 0;
}

int optionOpen(Tcl_Interp *interp, const char *spec) {
  int fd = intrafaceOpen(spec);
  if (fd < 0)
    return fail(interp, isPipeSpec(spec) ? "error creating pipe intraface: " : "error creating intraface: ",
                spec, ": ", std::strerror(errno));
  const intStruct *record = interfaceRecord(fd);
  const char *failure = "error creating file channel";
  if (record != nullptr && std::strcmp(record->cls->name, "pipe") == 0)
    failure = "error creating pipe channel";
  else if (record != nullptr && std::strncmp(record->spec, "inet:tcp:", 9) == 0)
    failure = "error creating tcp channel";
  return wrap(interp, fd, failure);
}

int optionRead(Tcl_Interp *interp, ChannelState *state, const char *name) {
  int count = 0;
  char **fields = nullptr;
  size_t *lengths = nullptr;
  int code = intrafaceRead(state->fd, &count, &fields, &lengths);
  if (code == 0) return fail(interp, "EOF");
  if (code < 0) return systemError(interp, "error reading", name);
  Tcl_Obj *list = Tcl_NewListObj(0, nullptr);
  for (int i = 0; i < count; ++i)
    Tcl_ListObjAppendElement(nullptr, list, textOf(fields[i], lengths[i]));
  intrafaceFreeBufferList(count, fields, lengths);
  Tcl_SetObjResult(interp, list);
  if (count > 0) {
    state->noticed = -1;
    noticeBuffered(state);
  }
  return TCL_OK;
}

int optionReadError(Tcl_Interp *interp, ChannelState *state, const char *name) {
  char *buffer = nullptr;
  size_t length = 0;
  if (intrafaceReadError(state->fd, &buffer, &length) < 0)
    return systemError(interp, "error reading", name);
  Tcl_SetObjResult(interp, textOf(buffer, length));
  std::free(buffer);
  return TCL_OK;
}

int writeResult(Tcl_Interp *interp, int code, const char *name) {
  if (code < 0) return systemError(interp, "error writing", name);
  Tcl_ResetResult(interp);
  if (code == 1) Tcl_AppendResult(interp, "write incomplete", nullptr);
  return TCL_OK;
}

int optionWrite(Tcl_Interp *interp, ChannelState *state, const char *name, const char *data) {
  const char *pie = nullptr;
  intrafaceInfo(state->writeFd, &pie, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                nullptr);
  std::vector<std::string> words;
  if (pie != nullptr && std::strcmp(pie, "null") != 0) {
    int count;
    const char **elements;
    if (Tcl_SplitList(interp, data, &count, &elements) != TCL_OK) return TCL_ERROR;
    for (int i = 0; i < count; ++i) words.push_back(bytesOf(elements[i]));
    Tcl_Free(reinterpret_cast<char *>(elements));
  } else {
    words.push_back(bytesOf(data));
  }
  std::vector<char *> fields;
  std::vector<size_t> lengths;
  for (std::string &word : words) {
    fields.push_back(word.data());
    lengths.push_back(word.size());
  }
  // An empty list is no message: the field codec would have nothing to join.
  if (fields.empty()) return writeResult(interp, (errno = EINVAL, -1), name);
  int code = intrafaceWrite(state->writeFd, static_cast<int>(fields.size()), fields.data(),
                            lengths.data(), nullptr);
  return writeResult(interp, code, name);
}

int optionInfo(Tcl_Interp *interp, ChannelState *state) {
  const char *pie, *ace, *transport, *spec;
  int fd2, fdError, stateWord, mode, pid;
  if (intrafaceInfo(state->fd, &pie, &ace, &transport, &fd2, &fdError, &stateWord, &spec, &mode,
                    &pid) != 0)
    return fail(interp, "bad intraface descriptor: ", Tcl_GetChannelName(state->channel));
  Tcl_Obj *text = Tcl_ObjPrintf("{%s} %s %s %s %d %d %d %d %d %d", spec, pie, ace, transport,
                                state->fd, fd2, fdError, stateWord, mode, pid);
  Tcl_SetObjResult(interp, text);
  return TCL_OK;
}

struct Option {
  const char *name;
  const char *synopsis;
};

const Option kOptions[] = {{"open", "spec"},         {"close", "channel"},     {"accept", "channel"},
                           {"read", "channel"},      {"readerror", "channel"}, {"write", "channel data"},
                           {"flush", "channel"},     {"type", "channel"},      {"info", "channel"}};

int cmdIntraface(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  const Option *option = nullptr;
  if (argc >= 2)
    for (const Option &candidate : kOptions)
      if (std::strcmp(argv[1], candidate.name) == 0) option = &candidate;
  if (option == nullptr)
    return fail(interp, "wrong # args: should be \"", argv[0],
                " open|close|accept|read|readerror|write|flush|type|info\"");
  int want = std::strcmp(option->name, "write") == 0 ? 4 : 3;
  if (argc != want)
    return fail(interp, "wrong # args: should be \"", argv[0], " ", option->name, " ",
                option->synopsis, "\"");
  const std::string which = option->name;
  if (which == "open") return optionOpen(interp, argv[2]);
  const char *name = argv[2];
  ChannelState *state = lookupChannel(interp, name);
  if (state == nullptr) return TCL_ERROR;
  if (which == "close") {
    Tcl_UnregisterChannel(interp, state->channel);
    return TCL_OK;
  }
  if (which == "read") return optionRead(interp, state, name);
  if (which == "readerror") return optionReadError(interp, state, name);
  if (which == "write") return optionWrite(interp, state, name, argv[3]);
  if (which == "flush") return writeResult(interp, intrafaceFlush(state->writeFd, nullptr), name);
  if (which == "type") {
    Tcl_AppendResult(interp, intrafaceType(state->fd), nullptr);
    return TCL_OK;
  }
  if (which == "info") return optionInfo(interp, state);
  int connection = intrafaceAcceptConnection(state->fd);
  if (connection <= 0) return fail(interp, "error accepting intraface connection: ", name);
  return wrap(interp, connection, "error creating tcp channel");
}

}  // namespace

extern "C" int Intraface_InitInternal(Tcl_Interp *interp) {
  static bool registered = false;
  if (!registered) {
    registered = true;
    intrafaceInitialize();
    telvi::io::registerIntrafaceClasses();
  }
  telvi::createCommands(interp, {{"intraface", cmdIntraface}});
  return TCL_OK;
}
