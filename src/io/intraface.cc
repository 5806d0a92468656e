// Intrafaces: the registry of layer classes and the per-descriptor layer records that turn an
// interface's byte stream into messages. Reads gather whatever has arrived and hand out at most one
// message per call; writes queue what the interface does not take at once.
#include <fcntl.h>
#include <strings.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "io/class.h"
#include "telvi/interface.h"
#include "telvi/intraface.h"

namespace {

constexpr size_t kChunk = 4096;
// One read call takes at most this much, so that a peer that never stops writing cannot hold the
// agent; what is left stays readable for the next call.
constexpr size_t kChunksPerRead = 256;
// Bytes without a frame end beyond this are refused rather than buffered without bound.
constexpr size_t kMaxPending = 16u << 20;

enum Layer { kPie = 0, kAce = 1, kTransport = 2 };

struct Layers {
  int fd = -1;
  std::string input;       // bytes read and not yet delivered
  std::string output;      // queued bytes; the part before `written` already went out
  size_t written = 0;
  std::string names[3] = {"null", "null", "null"};
  const intrafaceClass *classes[3] = {nullptr, nullptr, nullptr};
  bool dropNewline = false;  // a newline arriving next still belongs to the last frame's end
};

const intrafaceClass *classVec[INTRAFACE_MAX_CLASSES + 1];
Layers records[INTERFACE_MAX_DESCRIPTORS];

Layers *layersAt(int fd) {
  if (fd < 0 || fd >= INTERFACE_MAX_DESCRIPTORS || records[fd].fd < 0) return nullptr;
  return &records[fd];
}

// Swapped out rather than assigned, so that the buffers' memory goes with the record.
void freeLayers(int fd) {
  if (fd < 0 || fd >= INTERFACE_MAX_DESCRIPTORS) return;
  Layers gone;
  std::swap(records[fd], gone);
}

// Makes a descriptor non-blocking for a scope and gives it its flags back at the end.
class NonBlocking {
 public:
  explicit NonBlocking(int fd) : fd_(fd), flags_(fcntl(fd, F_GETFL)) {
    if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
  }
  ~NonBlocking() {
    if (flags_ >= 0 && (flags_ & O_NONBLOCK) == 0) fcntl(fd_, F_SETFL, flags_);
  }
  NonBlocking(const NonBlocking &) = delete;
  NonBlocking &operator=(const NonBlocking &) = delete;

 private:
  int fd_;
  int flags_;
};

bool isNullName(const char *name) { return name == nullptr || strncmp(name, "null", 4) == 0; }

// A layer name must name a class that does that layer's work.
bool layerClass(const char *name, Layer layer, const intrafaceClass **cls) {
  *cls = nullptr;
  if (isNullName(name)) return true;
  const intrafaceClass *found = intrafaceFindClass(name);
  if (found == nullptr) return false;
  bool fits = layer == kPie         ? found->extract != nullptr && found->insert != nullptr
              : layer == kAce       ? found->decode != nullptr && found->encode != nullptr
                                    : found->transportRead != nullptr && found->transportWrite != nullptr;
  if (!fits) return false;
  *cls = found;
  return true;
}

void setup(int fd, const std::string names[3], const intrafaceClass *const classes[3]) {
  Layers &record = records[fd];
  record = Layers{};
  record.fd = fd;
  for (int i = 0; i < 3; ++i) {
    record.names[i] = classes[i] == nullptr ? "null" : names[i];
    record.classes[i] = classes[i];
  }
}

// Takes over a malloc'd buffer as a string.
std::string adopt(char *data, size_t length) {
  std::string text(data, length);
  std::free(data);
  return text;
}

// The fields of one frame, handed out as fresh NUL-terminated copies.
int handOut(const std::string &frame, const intrafaceClass *pie, int *count, char ***fields,
            size_t **lengths) {
  if (pie != nullptr) {
    size_t *sizes = nullptr;
    if (pie->extract(frame.data(), frame.size(), count, fields, &sizes) != 0) {
      if (errno != ENOMEM) errno = EBADMSG;
      return -1;
    }
    if (lengths != nullptr)
      *lengths = sizes;
    else
      std::free(sizes);
    return 1;
  }
  auto **list = static_cast<char **>(std::malloc(sizeof(char *)));
  auto *copy = static_cast<char *>(std::malloc(frame.size() + 1));
  auto *sizes = static_cast<size_t *>(std::malloc(sizeof(size_t)));
  if (list == nullptr || copy == nullptr || sizes == nullptr) {
    std::free(list), std::free(copy), std::free(sizes);
    return errno = ENOMEM, -1;
  }
  std::memcpy(copy, frame.data(), frame.size());
  copy[frame.size()] = '\0';
  list[0] = copy;
  sizes[0] = frame.size();
  *count = 1;
  *fields = list;
  if (lengths != nullptr)
    *lengths = sizes;
  else
    std::free(sizes);
  return 1;
}

// Drains the write queue with one write; a write that would block counts as none.
int flush(Layers &record, int fd, intPeer *peer) {
  if (record.written >= record.output.size()) {
    record.output.clear();
    record.written = 0;
    return 0;
  }
  ssize_t put = interfaceWrite(fd, record.output.data() + record.written,
                               record.output.size() - record.written, peer);
  if (put < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    put = 0;
  }
  record.written += static_cast<size_t>(put);
  if (record.written < record.output.size()) return 1;
  record.output.clear();
  record.written = 0;
  return 0;
}

}  // namespace

extern "C" {

void intrafaceInitialize(void) {
  static bool initialized = false;
  if (initialized) return;
  initialized = true;
  interfaceInitialize();
}

int intrafaceRegister(const intrafaceClass *cls) {
  if (cls == nullptr || cls->name == nullptr) return errno = EINVAL, -1;
  return telvi::io::addToClassTable(classVec, cls);
}

const intrafaceClass *intrafaceFindClass(const char *name) {
  if (name == nullptr) return nullptr;
  return telvi::io::findInClassTable(classVec, name);
}

int intrafaceOpen(const char *spec) {
  if (spec == nullptr) return errno = EINVAL, -1;
  intrafaceInitialize();
  std::string names[3];
  bool given[3] = {false, false, false};
  std::string interfaceSpec;
  // pie:ace:transport:inet://... is the colon form around a URL: its "scheme" holds ':'.
  const char *mark = std::strstr(spec, "://");
  if (mark != nullptr && std::memchr(spec, ':', static_cast<size_t>(mark - spec)) == nullptr) {
    const char *params[3] = {"pie", "ace", "transport"};
    for (int i = 0; i < 3; ++i) {
      if (auto value = telvi::io::take(getURLParam(spec, params[i]))) {
        names[i] = *value;
        given[i] = true;
      }
    }
    interfaceSpec = spec;
  } else {
    const char *cursor = spec;
    for (int i = 0; i < 3; ++i) {
      const char *colon = std::strchr(cursor, ':');
      if (colon == nullptr) return errno = EINVAL, -1;
      names[i].assign(cursor, static_cast<size_t>(colon - cursor));
      given[i] = !names[i].empty();
      cursor = colon + 1;
    }
    interfaceSpec = cursor;
  }
  const intrafaceClass *classes[3];
  for (int i = 0; i < 3; ++i)
    if (!layerClass(given[i] ? names[i].c_str() : nullptr, static_cast<Layer>(i), &classes[i]))
      return errno = EINVAL, -1;
  int fd = interfaceOpen(interfaceSpec.c_str());
  if (fd < 0) return -1;
  int fd2 = -1;
  interfaceInfo(fd, &fd2, nullptr, nullptr, nullptr, nullptr, nullptr);
  setup(fd, names, classes);
  if (fd2 >= 0 && fd2 < INTERFACE_MAX_DESCRIPTORS && fd2 != fd) setup(fd2, names, classes);
  return fd;
}

int intrafaceRead(int fd, int *count, char ***fields, size_t **lengths) {
  if (count == nullptr || fields == nullptr) return errno = EINVAL, -1;
  *count = 0;
  *fields = nullptr;
  if (lengths != nullptr) *lengths = nullptr;
  Layers *record = layersAt(fd);
  if (record == nullptr) return errno = EBADF, -1;

  bool atEnd = false;
  bool childChecked = false;
  char chunk[kChunk];
  // Reads never wait, whatever blocking mode a script gave the descriptor.
  NonBlocking nonBlocking(fd);
  for (size_t i = 0; i < kChunksPerRead && record->input.size() <= kMaxPending; ++i) {
    ssize_t got = interfaceRead(fd, chunk, sizeof chunk, nullptr);
    if (got == 0) {
      atEnd = true;
      break;
    }
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      if (errno == EINTR) continue;
      // A pipe reports its child's exit once; what the child wrote is still there to read.
      if (errno == ECHILD && !childChecked) {
        childChecked = true;
        continue;
      }
      return -1;
    }
    const char *bytes = chunk;
    size_t size = static_cast<size_t>(got);
    if (record->dropNewline) {
      record->dropNewline = false;
      if (bytes[0] == '\n') ++bytes, --size;
    }
    record->input.append(bytes, size);
  }
  if (record->input.empty()) return atEnd ? 0 : 1;

  std::string frame;
  if (const intrafaceClass *transport = record->classes[kTransport]) {
    size_t frameLen = 0, consumed = 0;
    int dropNewline = 0;
    if (transport->transportRead(record->input.data(), record->input.size(), &frameLen, &consumed,
                                 &dropNewline) != 1) {
      // A frame cut off by the end of input is never completed; the bytes stay for inspection.
      if (atEnd) return 0;
      if (record->input.size() > kMaxPending) return errno = EMSGSIZE, -1;
      return 1;
    }
    frame.assign(record->input, 0, frameLen);
    record->input.erase(0, consumed);
    record->dropNewline = dropNewline != 0 && record->input.empty();
  } else {
    frame.swap(record->input);
  }
  if (const intrafaceClass *ace = record->classes[kAce]) {
    char *decoded = nullptr;
    size_t size = 0;
    if (ace->decode(frame.data(), frame.size(), &decoded, &size) != 0) {
      if (errno != ENOMEM) errno = EBADMSG;
      return -1;
    }
    frame = adopt(decoded, size);
  }
  return handOut(frame, record->classes[kPie], count, fields, lengths);
}

int intrafaceReadError(int fd, char **buffer, size_t *length) {
  if (buffer == nullptr) return errno = EINVAL, -1;
  *buffer = nullptr;
  if (layersAt(fd) == nullptr) return errno = EBADF, -1;
  std::string text;
  char chunk[kChunk];
  for (size_t i = 0; i < kChunksPerRead; ++i) {
    ssize_t got = interfaceReadError(fd, chunk, sizeof chunk, nullptr);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      if (errno == EINTR) continue;
      return -1;
    }
    text.append(chunk, static_cast<size_t>(got));
  }
  auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
  if (copy == nullptr) return errno = ENOMEM, -1;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  *buffer = copy;
  if (length != nullptr) *length = text.size();
  return static_cast<int>(text.size());
}

int intrafaceWrite(int fd, int count, char *const *fields, const size_t *lengths, intPeer *peer) {
  Layers *record = layersAt(fd);
  if (record == nullptr) return errno = EBADF, -1;
  if (count < 0 || (count > 0 && fields == nullptr)) return errno = EINVAL, -1;
  if (count > 0) {
    std::string frame;
    if (const intrafaceClass *pie = record->classes[kPie]) {
      char *joined = nullptr;
      size_t size = 0;
      if (pie->insert(count, fields, lengths, &joined, &size) != 0) return -1;
      frame = adopt(joined, size);
    } else {
      for (int i = 0; i < count; ++i) {
        if (fields[i] == nullptr) return errno = EINVAL, -1;
        if (i > 0) frame += ' ';
        frame.append(fields[i], lengths != nullptr ? lengths[i] : std::strlen(fields[i]));
      }
    }
    for (Layer layer : {kAce, kTransport}) {
      const intrafaceClass *cls = record->classes[layer];
      if (cls == nullptr) continue;
      char *out = nullptr;
      size_t size = 0;
      int code = layer == kAce ? cls->encode(frame.data(), frame.size(), &out, &size)
                               : cls->transportWrite(frame.data(), frame.size(), &out, &size);
      if (code != 0) return -1;
      frame = adopt(out, size);
    }
    record->output += frame;
  }
  return flush(*record, fd, peer);
}

int intrafaceFlush(int fd, intPeer *peer) { return intrafaceWrite(fd, 0, nullptr, nullptr, peer); }

int intrafaceClose(int fd) {
  if (layersAt(fd) == nullptr) return errno = EBADF, -1;
  int fd2 = -1;
  interfaceInfo(fd, &fd2, nullptr, nullptr, nullptr, nullptr, nullptr);
  int code = interfaceClose(fd);
  int saved = errno;
  freeLayers(fd);
  if (fd2 != fd) freeLayers(fd2);
  errno = saved;
  return code;
}

int intrafaceAcceptConnection(int fd) {
  Layers *listener = layersAt(fd);
  if (listener == nullptr) return errno = EBADF, -1;
  int connection = interfaceAcceptConnection(fd);
  if (connection <= 0) return connection;
  if (connection >= INTERFACE_MAX_DESCRIPTORS) {
    interfaceClose(connection);
    return errno = EMFILE, -1;
  }
  std::string names[3] = {listener->names[0], listener->names[1], listener->names[2]};
  const intrafaceClass *classes[3] = {listener->classes[0], listener->classes[1],
                                      listener->classes[2]};
  setup(connection, names, classes);
  return connection;
}

int intrafaceInfo(int fd, const char **pie, const char **ace, const char **transport, int *fd2,
                  int *fdError, int *state, const char **spec, int *mode, int *pid) {
  Layers *record = layersAt(fd);
  if (record == nullptr) return errno = EBADF, -1;
  if (pie != nullptr) *pie = record->names[kPie].c_str();
  if (ace != nullptr) *ace = record->names[kAce].c_str();
  if (transport != nullptr) *transport = record->names[kTransport].c_str();
  return interfaceInfo(fd, fd2, fdError, state, spec, mode, pid);
}

const char *intrafaceType(int fd) { return interfaceType(fd); }

long intrafaceBuffered(int fd, int output) {
  Layers *record = layersAt(fd);
  if (record == nullptr) return -1;
  if (output != 0) return static_cast<long>(record->output.size() - record->written);
  return static_cast<long>(record->input.size());
}

void intrafaceFreeBufferList(int count, char **fields, size_t *lengths) {
  if (fields != nullptr)
    for (int i = 0; i < count; ++i) std::free(fields[i]);
  std::free(fields);
  std::free(lengths);
}

}  // extern "C"
