// Package "icmp": raw ICMP sockets wrapped in Tcl channels, so that a script can wait for replies
// in the event loop (fileevent readable) and ping without blocking.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>

#include "host/icmp.h"
#include "pkg/command.h"
#include "telvi/package.h"

namespace {

using telvi::fail;

// The ICMP identifier of every request of this process, set by the first open.
int ident = -1;

// The sockets this package opened, by descriptor. Only these are ever sent on, read from or
// closed by descriptor number: a script's wrong number must not touch another channel's socket.
struct Socket {
  Tcl_Channel channel;
};
std::mutex socketsMutex;
std::map<int, Socket> sockets;

bool findSocket(int fd, Socket *socket = nullptr) {
  std::lock_guard<std::mutex> lock(socketsMutex);
  auto it = sockets.find(fd);
  if (it == sockets.end()) return false;
  if (socket != nullptr) *socket = it->second;
  return true;
}

// The descriptor word as an ICMP socket of ours, or -1.
int ourDescriptor(const char *word) {
  char *end;
  errno = 0;
  long fd = std::strtol(word, &end, 10);
  if (end == word || *end != '\0' || errno != 0 || fd < 0 || fd > INT32_MAX) return -1;
  return findSocket(static_cast<int>(fd)) ? static_cast<int>(fd) : -1;
}

intptr_t descriptorOf(ClientData data) { return reinterpret_cast<intptr_t>(data); }

int channelClose(ClientData data, Tcl_Interp *) {
  int fd = static_cast<int>(descriptorOf(data));
  Tcl_DeleteFileHandler(fd);
  {
    std::lock_guard<std::mutex> lock(socketsMutex);
    sockets.erase(fd);
  }
  return close(fd) == 0 ? 0 : errno;
}

// Reading through the channel gets whole datagrams (IP header included), like processIcmpData.
int channelInput(ClientData data, char *buffer, int toRead, int *errorCode) {
  ssize_t n = recv(static_cast<int>(descriptorOf(data)), buffer, static_cast<size_t>(toRead), 0);
  if (n < 0) {
    *errorCode = errno;
    return -1;
  }
  return static_cast<int>(n);
}

int channelOutput(ClientData, const char *, int, int *errorCode) {
  *errorCode = EINVAL;
  return -1;
}

void channelReady(ClientData data, int mask) { Tcl_NotifyChannel(static_cast<Tcl_Channel>(data), mask); }

void channelWatch(ClientData data, int mask) {
  int fd = static_cast<int>(descriptorOf(data));
  Socket socket;
  if (mask != 0 && findSocket(fd, &socket))
    Tcl_CreateFileHandler(fd, mask, channelReady, socket.channel);
  else
    Tcl_DeleteFileHandler(fd);
}

int channelHandle(ClientData data, int, ClientData *handle) {
  *handle = data;
  return TCL_OK;
}

// The socket stays non-blocking whatever the channel's mode.
int channelBlockMode(ClientData, int) { return 0; }

Tcl_ChannelType icmpChannelType = {
    const_cast<char *>("icmp"), TCL_CHANNEL_VERSION_5, channelClose, channelInput, channelOutput,
    nullptr, nullptr, nullptr, channelWatch, channelHandle, nullptr, channelBlockMode,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

int cmdOpenIcmpSocket(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 1) return fail(interp, "usage: ", argv[0]);
  protoent entry;
  protoent *protocol = nullptr;
  char buffer[1024];
  if (getprotobyname_r("icmp", &entry, buffer, sizeof buffer, &protocol) != 0 || protocol == nullptr)
    return fail(interp, "Unable to locate icmp protocol definition");
  int fd = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol->p_proto);
  if (fd < 0) return fail(interp, "Unable to open icmp raw socket");
  if (ident == -1) ident = static_cast<int>(getpid() & 0xFFFF);

  std::string name = "icmp" + std::to_string(fd);
  ClientData data = reinterpret_cast<ClientData>(static_cast<intptr_t>(fd));
  Tcl_Channel channel = Tcl_CreateChannel(&icmpChannelType, name.c_str(), data, TCL_READABLE);
  if (channel == nullptr) {
    close(fd);
    return fail(interp, "Unable to create socket channel");
  }
  {
    std::lock_guard<std::mutex> lock(socketsMutex);
    sockets[fd] = {channel};
  }
  Tcl_RegisterChannel(interp, channel);
  Tcl_SetChannelOption(nullptr, channel, "-translation", "binary");
  Tcl_ResetResult(interp);
  Tcl_AppendElement(interp, std::to_string(fd).c_str());
  Tcl_AppendElement(interp, name.c_str());
  return TCL_OK;
}

int cmdCloseIcmpSocket(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 3) return telvi::usage(interp, argv[0], "<filedesc> <filechann>");
  Tcl_Channel channel = Tcl_GetChannel(interp, argv[2], nullptr);
  Tcl_ResetResult(interp);
  if (channel != nullptr && Tcl_GetChannelType(channel) == &icmpChannelType) {
    Tcl_UnregisterChannel(interp, channel);
    return TCL_OK;
  }
  // Not one of our channels: the descriptor goes, if it is an ICMP socket of ours registered in
  // this interpreter, through its own channel, so that no channel is left with a closed descriptor.
  Socket socket;
  int fd = ourDescriptor(argv[1]);
  if (fd >= 0 && findSocket(fd, &socket) && Tcl_IsChannelRegistered(interp, socket.channel))
    Tcl_UnregisterChannel(interp, socket.channel);
  return fail(interp, "Invalid channel descriptor: ", argv[2]);
}

int cmdSendIcmpRequest(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 4) return telvi::usage(interp, argv[0], "<filedesc> <tag> <host>");
  sockaddr_in to{};
  to.sin_family = AF_INET;
  if (inet_aton(argv[3], &to.sin_addr) == 0) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (getaddrinfo(argv[3], nullptr, &hints, &found) != 0 || found == nullptr)
      return fail(interp, "Unknown hostname ", argv[3]);
    to.sin_addr = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
  }
  Tcl_ResetResult(interp);
  int fd = ourDescriptor(argv[1]);
  if (fd < 0) return TCL_OK;  // like a failed send: nothing to report
  std::vector<uint8_t> packet = telvi::icmp::buildEchoRequest(static_cast<uint16_t>(ident), argv[2]);
  sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  return TCL_OK;
}

int cmdProcessIcmpData(ClientData, Tcl_Interp *interp, int argc, const char *argv[]) {
  if (argc != 2) return telvi::usage(interp, argv[0], "<filedesc>");
  int fd = ourDescriptor(argv[1]);
  if (fd < 0) return fail(interp, "Error reading incoming packet");
  uint8_t datagram[4096];
  ssize_t n = recv(fd, datagram, sizeof datagram, 0);
  Tcl_ResetResult(interp);
  if (n < 0) {
    // Nothing waiting is no failure: the socket is non-blocking and the event loop may wake a
    // script for a datagram another reader already took.
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return TCL_OK;
    return fail(interp, "Error reading incoming packet");
  }
  std::string tag;
  if (telvi::icmp::parseEchoReply(datagram, static_cast<size_t>(n), static_cast<uint16_t>(ident), tag))
    Tcl_AppendResult(interp, tag.c_str(), nullptr);
  return TCL_OK;
}

}  // namespace

extern "C" int Icmp_InitInternal(Tcl_Interp *interp) {
  telvi::createCommands(interp, {
                                    {"openIcmpSocket", cmdOpenIcmpSocket},
                                    {"closeIcmpSocket", cmdCloseIcmpSocket},
                                    {"sendIcmpRequest", cmdSendIcmpRequest},
                                    {"processIcmpData", cmdProcessIcmpData},
                                });
  return TCL_OK;
}
