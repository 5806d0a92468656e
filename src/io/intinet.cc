// Interface class "inet": TCP and UDP sockets, connecting or listening.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "io/class.h"
#include "io/resolve.h"
#include "telvi/interface.h"
#include "telvi/package.h"

namespace {

using telvi::io::specFields;

// A connection attempt to an unreachable peer gives up after this many milliseconds.
constexpr int kConnectTimeoutMs = 10000;

// inet://host:port/protocol;linger=N;type=T;recvBufSize=K
//   -> inet:protocol:host:port:linger:type:recvBufSize
std::optional<std::string> toSpec(const char *urlOrSpec) {
  if (!isURL(urlOrSpec)) return std::string(urlOrSpec);
  auto protocol = telvi::io::take(getURLResource(urlOrSpec));
  if (!protocol) return std::nullopt;
  std::string spec = "inet:" + *protocol + ":";
  spec += telvi::io::take(getURLHost(urlOrSpec)).value_or("") + ":";
  spec += telvi::io::take(getURLPort(urlOrSpec)).value_or("");
  for (const char *param : {"linger", "type", "recvBufSize"})
    spec += ":" + telvi::io::take(getURLParam(urlOrSpec, param)).value_or("");
  return spec;
}

// "localhost" and dotted addresses need no look-up; a name that does not resolve is tried again
// without its domain.
bool resolveHost(const std::string &host, in_addr &address) {
  if (host == "localhost") {
    address.s_addr = htonl(INADDR_LOOPBACK);
    return true;
  }
  if (inet_aton(host.c_str(), &address) != 0) return true;
  for (const std::string &name : {host, host.substr(0, host.find('.'))}) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo *found = nullptr;
    if (getaddrinfo(name.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
      address = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
      freeaddrinfo(found);
      return true;
    }
    if (name.find('.') == std::string::npos) break;
  }
  errno = EHOSTUNREACH;
  return false;
}

bool resolvePort(const std::optional<std::string> &word, const char *protocol, in_port_t &port) {
  port = 0;
  if (!word) return true;
  char *end;
  long number = std::strtol(word->c_str(), &end, 10);
  if (*end == '\0' && end != word->c_str()) {
    if (number < 0 || number > 65535) return errno = EINVAL, false;
    port = htons(static_cast<uint16_t>(number));
    return true;
  }
  servent *service = getservbyname(word->c_str(), protocol);
  if (service == nullptr) return errno = EINVAL, false;
  port = static_cast<in_port_t>(service->s_port);
  return true;
}

// Connects, bounded in time so that an unreachable peer cannot hold the agent.
int connectBounded(int fd, const sockaddr_in &address) {
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int code = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address);
  if (code != 0 && errno == EINPROGRESS) {
    pollfd wait{fd, POLLOUT, 0};
    int ready;
    do ready = poll(&wait, 1, kConnectTimeoutMs);
    while (ready < 0 && errno == EINTR);
    int error = ready == 0 ? ETIMEDOUT : 0;
    socklen_t size = sizeof error;
    if (ready > 0) getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    code = error == 0 ? 0 : (errno = error, -1);
  }
  int saved = errno;
  fcntl(fd, F_SETFL, flags);
  errno = saved;
  return code;
}

int inetOpen(const char *urlOrSpec) {
  std::optional<std::string> spec = toSpec(urlOrSpec);
  if (!spec) return errno = EINVAL, -1;
  auto fields = specFields(spec->c_str(), 6);
  const auto &protocol = fields[0], &host = fields[1], &portWord = fields[2], &linger = fields[3],
             &type = fields[4], &recvBufSize = fields[5];
  if (!protocol || (*protocol != "tcp" && *protocol != "udp")) return errno = EPROTONOSUPPORT, -1;
  bool tcp = *protocol == "tcp";
  bool listener = type ? *type == "listener" : !host;
  in_port_t port;
  if (!resolvePort(portWord, protocol->c_str(), port)) return -1;
  if (!listener && port == 0) return errno = EINVAL, -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = port;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (host && !resolveHost(*host, address.sin_addr)) return -1;
  if (!listener && !host) return errno = EDESTADDRREQ, -1;

  int fd = socket(AF_INET, (tcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC, tcp ? 6 : 17);
  if (fd < 0) return -1;
  auto fail = [fd] {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  };
  struct linger lingerOption {1, 0};
  if (linger) lingerOption.l_linger = std::max(0, std::atoi(linger->c_str()));
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOption, sizeof lingerOption);
  if (!tcp) {
    int kilobytes = recvBufSize ? std::atoi(recvBufSize->c_str()) : 8;
    int bytes = std::min(256, std::max(8, kilobytes)) * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  std::string recorded = *spec;
  if (listener) {
    int one = 1;
    if (tcp) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (tcp || portWord) {
      if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return fail();
      if (tcp && listen(fd, SOMAXCONN) != 0) return fail();
      sockaddr_in bound{};
      socklen_t size = sizeof bound;
      getsockname(fd, reinterpret_cast<sockaddr *>(&bound), &size);
      if (bound.sin_port != port) {
        auto value = [](const std::optional<std::string> &f) { return f.value_or(""); };
        recorded = "inet:" + *protocol + ":" + value(host) + ":" +
                   std::to_string(ntohs(bound.sin_port)) + ":" + value(linger) + ":" +
                   value(type) + ":" + value(recvBufSize);
      }
    }
  } else if (connectBounded(fd, address) != 0) {
    return fail();
  }
  if (intAdd(interfaceFindClass("inet"), fd, -1, -1, recorded.c_str(), 2, -1) != 0) return fail();
  return fd;
}

int inetAccept(int fd) { return telvi::io::acceptConnection(fd, "inet", "inet:tcp:connected:"); }

bool isListening(int fd) {
  int listening = 0;
  socklen_t size = sizeof listening;
  return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

const char *inetType(int fd) { return isListening(fd) ? "listener" : "regular"; }

ssize_t inetRead(int fd, void *buf, size_t len, intPeer *peer) {
  sockaddr_in from{};
  socklen_t size = sizeof from;
  ssize_t got = recvfrom(fd, buf, len, 0, reinterpret_cast<sockaddr *>(&from), &size);
  if (peer != nullptr && got >= 0) peer->addr = from;
  return got;
}

ssize_t inetWrite(int fd, const void *buf, size_t len, intPeer *peer) {
  if (peer != nullptr && peer->addr.sin_family == AF_INET)
    return sendto(fd, buf, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&peer->addr),
                  sizeof peer->addr);
  return send(fd, buf, len, MSG_NOSIGNAL);
}

const intClass intInetClass = {"inet",  inetOpen, nullptr,   inetAccept, inetType, inetRead,
                               nullptr, inetWrite, nullptr, nullptr};

}  // namespace

namespace telvi::io {

bool resolveInetHost(const std::string &host, in_addr &address) { return resolveHost(host, address); }

}  // namespace telvi::io

extern "C" int Intinet_InitInternal(void) {
  telvi::io::registerClass(&intInetClass);
  return TCL_OK;
}
