// Package "interface": the `interface` command, which opens interfaces by URL or spec and wraps them
// in Tcl channels of the "interface" channel type. Closing the channel (with `interface close` or
// Tcl's own `close`) closes the interface, so each descriptor has exactly one owner.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "io/interface_cmds.h"
#include "pkg/command.h"
#include "telvi/interface.h"
#include "telvi/package.h"

namespace {

using telvi::fail;
using telvi::io::systemError;

constexpr size_t kChunk = 4096;

struct ChannelState {
  int fd;        // the interface
  int writeFd;   // where writes go: a pipe's second descriptor, else fd
  bool realFds;  // false for interfaces without a real descriptor (syslog)
  Tcl_Channel channel;
  int borrowedFlags;  // a desc interface's file flags before it was wrapped, else -1
};

int blockModeProc(ClientData data, int mode) {
  auto *state = static_cast<ChannelState *>(data);
  if (state->realFds) telvi::io::setDescriptorsNonBlocking(state->fd, state->writeFd, mode == TCL_MODE_NONBLOCKING);
  return 0;
}

int closeProc(ClientData data, Tcl_Interp *) {
  auto *state = static_cast<ChannelState *>(data);
  if (state->realFds) telvi::io::watchDescriptors(state->fd, state->writeFd, 0, nullptr, nullptr);
  // A descriptor that belongs to someone else is handed back the way it came.
  if (state->borrowedFlags >= 0) fcntl(state->fd, F_SETFL, state->borrowedFlags);
  int code = interfaceRecord(state->fd) == nullptr ? 0 : interfaceClose(state->fd);
  int error = code < 0 ? errno : 0;
  delete state;
  return error;
}

// A class's own words for a failure become the channel's error, which Tcl reports instead of errno's.
void passErrorText(ChannelState *state) {
  const char *text = interfaceErrorText();
  if (text == nullptr) return;
  // Tcl reads the channel's error as return options followed by the message: a list of one element.
  Tcl_Obj *message = Tcl_NewStringObj(text, -1);
  Tcl_SetChannelError(state->channel, Tcl_NewListObj(1, &message));
}

int inputProc(ClientData data, char *buf, int size, int *errorCode) {
  auto *state = static_cast<ChannelState *>(data);
  int got = telvi::io::channelInput(state->fd, buf, size, errorCode);
  if (got < 0) passErrorText(state);
  return got;
}

int outputProc(ClientData data, const char *buf, int size, int *errorCode) {
  auto *state = static_cast<ChannelState *>(data);
  int put = telvi::io::channelOutput(state->writeFd, buf, size, errorCode);
  if (put < 0) passErrorText(state);
  return put;
}

void fileReady(ClientData data, int mask) {
  Tcl_NotifyChannel(static_cast<ChannelState *>(data)->channel, mask);
}

void watchProc(ClientData data, int mask) {
  auto *state = static_cast<ChannelState *>(data);
  if (state->realFds) telvi::io::watchDescriptors(state->fd, state->writeFd, mask, fileReady, state);
}

int getHandleProc(ClientData data, int direction, ClientData *handle) {
  auto *state = static_cast<ChannelState *>(data);
  if (!state->realFds) return TCL_ERROR;
  return telvi::io::descriptorHandle(state->fd, state->writeFd, direction, handle);
}

const Tcl_ChannelType kChannelType = {
    "interface",  TCL_CHANNEL_VERSION_5, closeProc, inputProc, outputProc, nullptr, nullptr,
    nullptr,      watchProc,             getHandleProc, nullptr, blockModeProc, nullptr, nullptr,
    nullptr,      nullptr,               nullptr};

ChannelState *stateOf(Tcl_Channel channel) {
  if (channel == nullptr || Tcl_GetChannelType(channel) != &kChannelType) return nullptr;
  return static_cast<ChannelState *>(Tcl_GetChannelInstanceData(channel));
}

ChannelState *lookupChannel(Tcl_Interp *interp, const char *name) {
  int mode;
  ChannelState *state = stateOf(Tcl_GetChannel(interp, name, &mode));
  Tcl_ResetResult(interp);
  if (state == nullptr) Tcl_AppendResult(interp, "bad interface descriptor: ", name, nullptr);
  return state;
}

// Wraps an open interface in a channel registered in the interpreter; its name is the result.
int wrapInterface(Tcl_Interp *interp, int fd, const char *failure) {
  intStruct *record = interfaceRecord(fd);
  if (record == nullptr) return fail(interp, failure);
  const std::string className = record->cls->name;
  bool socket = className == "inet" || className == "unix";
  std::string name = (socket ? "sock" : "file") + std::to_string(fd);
  int existingMode;
  if (Tcl_Channel existing = Tcl_GetChannel(interp, name.c_str(), &existingMode)) {
    Tcl_ResetResult(interp);
    if (stateOf(existing) != nullptr) {
      // A descriptor already open as an interface (desc) keeps its one channel.
      Tcl_AppendResult(interp, name.c_str(), nullptr);
      return TCL_OK;
    }
    // Tcl's own channel on the same descriptor (stdin, stdout, stderr) keeps its name.
    name = "interface" + std::to_string(fd);
    if (Tcl_GetChannel(interp, name.c_str(), &existingMode) != nullptr) {
      Tcl_ResetResult(interp);
      Tcl_AppendResult(interp, name.c_str(), nullptr);
      return TCL_OK;
    }
  }
  Tcl_ResetResult(interp);
  int mask = TCL_READABLE | TCL_WRITABLE;
  if (className == "syslog") {
    mask = TCL_WRITABLE;
  } else if (!socket) {
    int mode = record->mode & O_ACCMODE;
    mask = mode == 0 ? TCL_READABLE : mode == 1 ? TCL_WRITABLE : mask;
  }
  auto *state = new ChannelState{fd, record->fd2 >= 0 ? record->fd2 : fd, className != "syslog",
                                 nullptr, className == "desc" ? fcntl(fd, F_GETFL) : -1};
  if (state->realFds) {
    telvi::io::setDescriptorsNonBlocking(state->fd, state->writeFd, true);
    telvi::io::setDescriptorsNonBlocking(record->fdError, -1, true);
  }
  state->channel = telvi::io::registerChannel(interp, &kChannelType, name, state, mask);
  if (state->channel == nullptr) {
    delete state;
    interfaceClose(fd);
    return fail(interp, failure);
  }
  return TCL_OK;
}

// A part of a URL, or empty.
std::string urlPart(char *part) {
  std::string text = part != nullptr ? part : "";
  std::free(part);
  return text;
}

// What is wrong with the way an interface was named, when an open failed for that rather than for
// a reason of the system's: empty when the name itself is sound.
std::string namingProblem(const char *spec, int error) {
  if (*spec == '\0') return "empty URL";
  bool url = isURL(spec);
  if (!url && std::strchr(spec, ':') == nullptr)
    return "not a URL (scheme://host/resource) nor a spec (scheme:field:...)";
  std::string scheme = url ? urlPart(getURLScheme(spec)) : std::string(spec, std::strcspn(spec, ":"));
  if (scheme.empty()) return "no scheme before \"" + std::string(url ? "://" : ":") + "\"";
  if (interfaceFindClass(scheme.c_str()) == nullptr) return "unknown scheme \"" + scheme + "\"";
  if (url && error == EINVAL && urlPart(getURLResource(spec)).empty())
    return "no resource after the host (" + scheme + "://host/resource)";
  return "";
}

int optionOpen(Tcl_Interp *interp, int argc, const char *argv[]) {
  const char *spec = argv[2];
  (void)argc;
  int fd = interfaceOpen(spec);
  if (fd < 0) {
    int error = errno;
    std::string problem = namingProblem(spec, error);
    // A URL the class refused to convert says why in its own words.
    const char *refused = error == EINVAL && isURL(spec) ? interfaceErrorText() : nullptr;
    if (problem.empty() && refused != nullptr) problem = refused;
    return fail(interp, "error creating interface: ", spec, ": ",
                problem.empty() ? std::strerror(error) : problem.c_str());
  }
  const intStruct *record = interfaceRecord(fd);
  const char *failure = "error creating channel";
  if (record != nullptr && std::strcmp(record->cls->name, "pipe") != 0)
    failure = std::strncmp(record->spec, "inet:tcp:", 9) == 0 ? "error creating tcp channel"
                                                              : "error creating file channel";
  return wrapInterface(interp, fd, failure);
}

int optionRead(Tcl_Interp *interp, const char *cmd, int argc, const char *argv[], bool errors) {
  if (argc != 3) return fail(interp, "wrong # args: should be ", cmd, " fileId");
  ChannelState *state = lookupChannel(interp, argv[2]);
  if (state == nullptr) return TCL_ERROR;
  if ((Tcl_GetChannelMode(state->channel) & TCL_READABLE) == 0)
    return fail(interp, "file ", argv[2], " not open for reading");
  std::string text;
  char buf[kChunk];
  while (true) {
    ssize_t got = errors ? interfaceReadError(state->fd, buf, sizeof buf, nullptr)
                         : interfaceRead(state->fd, buf, sizeof buf, nullptr);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return systemError(interp, "error reading", argv[2]);
    }
    text.append(buf, static_cast<size_t>(got));
  }
  Tcl_SetObjResult(interp, Tcl_NewStringObj(text.data(), static_cast<int>(text.size())));
  return TCL_OK;
}

int optionWrite(Tcl_Interp *interp, const char *cmd, int argc, const char *argv[]) {
  if (argc != 4 && argc != 5)
    return fail(interp, "wrong # args: should be ", cmd, " fileId ?numBytes? data");
  ChannelState *state = lookupChannel(interp, argv[2]);
  if (state == nullptr) return TCL_ERROR;
  if ((Tcl_GetChannelMode(state->channel) & TCL_WRITABLE) == 0)
    return fail(interp, "file ", argv[2], " not open for writing");
  const char *data = argv[argc - 1];
  size_t length = std::strlen(data);
  if (argc == 5 && std::isdigit(static_cast<unsigned char>(argv[3][0]))) {
    size_t count = std::strtoul(argv[3], nullptr, 10);
    if (count < length) length = count;
  }
  size_t done = 0;
  while (done < length) {
    ssize_t put = interfaceWrite(state->writeFd, data + done, length - done, nullptr);
    if (put < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return systemError(interp, "error writing", argv[2]);
    }
    done += static_cast<size_t>(put);
  }
  // What stays unwritten of the requested bytes.
  Tcl_SetObjResult(interp, Tcl_NewStringObj(data + done, static_cast<int>(length - done)));
  return TCL_OK;
}

int optionInfo(Tcl_Interp *interp, ChannelState *state) {
  int fd2, fdError, stateWord, mode, pid;
  const char *spec;
  if (interfaceInfo(state->fd, &fd2, &fdError, &stateWord, &spec, &mode, &pid) != 0)
    return fail(interp, "bad interface descriptor: ", Tcl_GetChannelName(state->channel));
  std::string text = "{" + std::string(spec) + "} ";
  for (int value : {state->fd, fd2, fdError, stateWord, mode, pid})
    text += std::to_string(value) + " ";
  text.pop_back();
  Tcl_ResetResult(interp);
  Tcl_AppendResult(interp, text.c_str(), nullptr);
  return TCL_OK;
}

}  // namespace

namespace telvi::io {

void watchDescriptors(int fd, int writeFd, int mask, Tcl_FileProc *ready, ClientData data) {
  if (writeFd == fd) {
    if (mask != 0)
      Tcl_CreateFileHandler(fd, mask, ready, data);
    else
      Tcl_DeleteFileHandler(fd);
    return;
  }
  if (mask & TCL_READABLE)
    Tcl_CreateFileHandler(fd, mask & (TCL_READABLE | TCL_EXCEPTION), ready, data);
  else
    Tcl_DeleteFileHandler(fd);
  if (writeFd >= 0) {
    if (mask & TCL_WRITABLE)
      Tcl_CreateFileHandler(writeFd, TCL_WRITABLE, ready, data);
    else
      Tcl_DeleteFileHandler(writeFd);
  }
}

void setDescriptorsNonBlocking(int fd, int writeFd, bool on) {
  auto set = [on](int each) {
    int flags = each >= 0 ? fcntl(each, F_GETFL) : -1;
    if (flags >= 0) fcntl(each, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
  };
  set(fd);
  if (writeFd != fd) set(writeFd);
}

int channelInput(int fd, char *buf, int size, int *errorCode) {
  ssize_t got = interfaceRead(fd, buf, static_cast<size_t>(size), nullptr);
  if (got < 0) *errorCode = errno;
  return static_cast<int>(got);
}

int channelOutput(int writeFd, const char *buf, int size, int *errorCode) {
  ssize_t put = interfaceWrite(writeFd, buf, static_cast<size_t>(size), nullptr);
  if (put < 0) *errorCode = errno;
  return static_cast<int>(put);
}

int descriptorHandle(int fd, int writeFd, int direction, ClientData *handle) {
  int chosen = direction == TCL_WRITABLE ? writeFd : fd;
  if (chosen < 0) return TCL_ERROR;
  *handle = reinterpret_cast<ClientData>(static_cast<intptr_t>(chosen));
  return TCL_OK;
}

Tcl_Channel registerChannel(Tcl_Interp *interp, const Tcl_ChannelType *type, const std::string &name,
                            ClientData instance, int mask) {
  Tcl_Channel channel = Tcl_CreateChannel(type, name.c_str(), instance, mask);
  if (channel == nullptr) return nullptr;
  Tcl_RegisterChannel(interp, channel);
  Tcl_AppendResult(interp, name.c_str(), nullptr);
  return channel;
}

int systemError(Tcl_Interp *interp, const char *what, const char *name) {
  const char *text = interfaceErrorText();
  return fail(interp, what, " \"", name, "\": ", text != nullptr ? text : std::strerror(errno));
}

bool channelInterface(Tcl_Interp *interp, const char *name, int *fd) {
  ChannelState *state = lookupChannel(interp, name);
  if (state == nullptr) return false;
  if (fd != nullptr) *fd = state->fd;
  return true;
}

int cmdInterface(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  const std::string cmd = std::string(argv[0]) + (argc > 1 ? std::string(" ") + argv[1] : "");
  auto wrongArgs = [&] {
    return fail(interp, "wrong # args: should be \"", argv[0],
                 " open|close|remove|accept|read|readerror|write|type|info|filename\"");
  };
  if (argc < 3) return wrongArgs();
  const std::string option = argv[1];
  const char *word = argv[2];
  if (option == "open") return optionOpen(interp, argc, argv);
  if (option == "read" || option == "readerror")
    return optionRead(interp, cmd.c_str(), argc, argv, option == "readerror");
  if (option == "write") return optionWrite(interp, cmd.c_str(), argc, argv);
  if (option == "remove") {
    if (interfaceRemove(word) != 0) return fail(interp, "failed to remove: ", word);
    Tcl_ResetResult(interp);
    return TCL_OK;
  }
  if (option == "filename") {
    const char *path = intFileFromInterfacePath(word, 0);
    if (path == nullptr) return fail(interp, "file ", word, " filename error");
    Tcl_ResetResult(interp);
    Tcl_AppendResult(interp, path, nullptr);
    return TCL_OK;
  }
  if (option != "close" && option != "accept" && option != "type" && option != "info")
    return wrongArgs();
  ChannelState *state = lookupChannel(interp, word);
  if (state == nullptr) return TCL_ERROR;
  if (option == "close") {
    Tcl_UnregisterChannel(interp, state->channel);
    return TCL_OK;
  }
  if (option == "type") {
    Tcl_AppendResult(interp, interfaceType(state->fd), nullptr);
    return TCL_OK;
  }
  if (option == "info") return optionInfo(interp, state);
  // accept: the listener's class takes the waiting connection, which gets a channel of its own.
  int connection = interfaceAcceptConnection(state->fd);
  if (connection <= 0) return fail(interp, "error accepting interface connection: ", word);
  return wrapInterface(interp, connection, "error creating tcp channel");
}

}  // namespace telvi::io

extern "C" int Interface_InitInternal(Tcl_Interp *interp) {
  interfaceInitialize();
  telvi::createCommands(interp, {{"interface", telvi::io::cmdInterface}});
  return TCL_OK;
}
