// libFuzzer target: the layers of intrafaces. Byte 0 picks what the rest feeds:
//   0  the layer operations alone: each transport, the "sin" encoding and each field codec on the
//      bytes as they are (what they take apart must put back together to the same bytes), and on the
//      bytes made into a message (what they put together must take apart to the same message);
//   1  a byte stream cut into arbitrary reads through a pipe into an intraface with the layers byte 1
//      names: the frames delivered must be those the whole stream holds, however the reads fell;
//   2  fields written through one end of a pipe and read at the other with the same layers: what is
//      written is read back.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/intraface_classes.h"
#include "telvi/intraface.h"

namespace {

const char *const kPies[] = {"null", "type", "tid", "tsid"};
const char *const kAces[] = {"null", "sin"};
const char *const kTransports[] = {"null", "eot", "eotn", "shell"};

bool setUp() {
  intrafaceInitialize();
  telvi::io::registerIntrafaceClasses();
  return true;
}

[[noreturn]] void fail(const char *what, const std::string &a = "", const std::string &b = "") {
  std::fprintf(stderr, "%s\n  first  (%zu bytes)\n  second (%zu bytes)\n", what, a.size(), b.size());
  std::abort();
}

const intrafaceClass *find(const char *name) {
  const intrafaceClass *cls = intrafaceFindClass(name);
  if (cls == nullptr) fail("a built-in layer class is missing");
  return cls;
}

using Fields = std::vector<std::string>;

bool extract(const intrafaceClass *pie, const std::string &frame, Fields &fields) {
  int count = 0;
  char **list = nullptr;
  size_t *lengths = nullptr;
  if (pie->extract(frame.data(), frame.size(), &count, &list, &lengths) != 0) return false;
  fields.clear();
  for (int i = 0; i < count; ++i) fields.emplace_back(list[i], lengths[i]);
  intrafaceFreeBufferList(count, list, lengths);
  return true;
}

bool insert(const intrafaceClass *pie, const Fields &fields, std::string &frame) {
  std::vector<char *> pointers;
  std::vector<size_t> lengths;
  for (const std::string &f : fields) {
    pointers.push_back(const_cast<char *>(f.data()));
    lengths.push_back(f.size());
  }
  char *out = nullptr;
  size_t size = 0;
  if (pie->insert(static_cast<int>(fields.size()), pointers.data(), lengths.data(), &out, &size) != 0)
    return false;
  frame.assign(out, size);
  std::free(out);
  return true;
}

size_t fieldCount(const char *pie) {
  return std::strcmp(pie, "type") == 0   ? 2
         : std::strcmp(pie, "tid") == 0  ? 3
         : std::strcmp(pie, "tsid") == 0 ? 4
                                         : 1;
}

bool wordField(const std::string &text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'))
      return false;
  return true;
}

// Whether a codec can carry the fields: the names it matches as words must be words, and the two
// free fields of "tid" must not hold the text that separates them.
bool representable(const char *pie, const Fields &fields) {
  if (fields.size() != fieldCount(pie)) return false;
  if (std::strcmp(pie, "type") == 0) return wordField(fields[0]);
  if (std::strcmp(pie, "tsid") == 0)
    return wordField(fields[0]) && wordField(fields[1]) && wordField(fields[2]);
  if (std::strcmp(pie, "tid") == 0)
    return wordField(fields[0]) && fields[1].find(" CONTENTS=") == std::string::npos &&
           fields[2].find(" CONTENTS=") == std::string::npos;
  return true;
}

// Fields cut from bytes at each 0xFF.
Fields split(const std::string &bytes) {
  Fields fields(1);
  for (char c : bytes) {
    if (static_cast<unsigned char>(c) == 0xFF)
      fields.emplace_back();
    else
      fields.back() += c;
  }
  return fields;
}

// ---- mode 0: each operation on its own ----

void layers(const std::string &bytes) {
  // Transports: a frame found lies inside the buffer, ends before its first 0x04, and what a
  // transport writes around a frame without 0x04 reads back as that frame, taking everything.
  std::string plain;
  for (char c : bytes)
    if (c != '\x04') plain += c;
  for (const char *name : {"eot", "eotn", "shell"}) {
    const intrafaceClass *t = find(name);
    size_t frameLen = 0, consumed = 0;
    int drop = 0;
    if (t->transportRead(bytes.data(), bytes.size(), &frameLen, &consumed, &drop) == 1) {
      size_t eot = bytes.find('\x04');
      if (eot == std::string::npos || frameLen > eot || consumed <= eot || consumed > bytes.size())
        fail("transport frame outside the buffer", bytes);
    }
    char *out = nullptr;
    size_t outLen = 0;
    if (t->transportWrite(plain.data(), plain.size(), &out, &outLen) != 0) fail("transport write failed");
    std::string wrapped(out, outLen);
    std::free(out);
    // What a shell sends back is the command's output and the echoed delimiter line.
    if (std::strcmp(name, "shell") == 0) wrapped = plain + "\n\x04\n";
    if (t->transportRead(wrapped.data(), wrapped.size(), &frameLen, &consumed, &drop) != 1 ||
        std::string(wrapped, 0, frameLen) != plain || consumed != wrapped.size() || drop != 0)
      fail("transport does not read back what it wrapped", plain, wrapped.substr(0, frameLen));
  }

  // "sin": encoding inverts to the bytes; a text that decodes decodes the same after a new encoding.
  const intrafaceClass *sin = find("sin");
  char *out = nullptr;
  size_t outLen = 0;
  if (sin->encode(bytes.data(), bytes.size(), &out, &outLen) != 0) fail("sin encode failed");
  std::string text(out, outLen);
  std::free(out);
  if (sin->decode(text.data(), text.size(), &out, &outLen) != 0)
    fail("sin cannot decode its own text", bytes, text);
  if (std::string(out, outLen) != bytes)
    fail("sin decodes its own text to other bytes", bytes, std::string(out, outLen));
  std::free(out);
  if (sin->decode(bytes.data(), bytes.size(), &out, &outLen) == 0) {
    std::string decoded(out, outLen);
    std::free(out);
    std::string recoded;
    telvi::io::sinEncode(reinterpret_cast<const unsigned char *>(decoded.data()), decoded.size(), recoded);
    std::string again;
    if (!telvi::io::sinDecode(recoded.data(), recoded.size(), again) || again != decoded)
      fail("sin does not decode a new encoding of decoded bytes", decoded, again);
  }

  // Field codecs: a frame taken apart goes back together (for "tid", to the frame from its match on);
  // fields put together come apart the same.
  for (const char *name : {"type", "tid", "tsid"}) {
    const intrafaceClass *pie = find(name);
    Fields fields;
    if (extract(pie, bytes, fields)) {
      if (fields.size() != fieldCount(name)) fail("codec extracts a wrong number of fields", bytes);
      std::string frame;
      if (!insert(pie, fields, frame)) fail("codec cannot insert what it extracted", bytes);
      bool same = std::strcmp(name, "tid") == 0
                      ? frame.size() <= bytes.size() &&
                            bytes.compare(bytes.size() - frame.size(), frame.size(), frame) == 0
                      : frame == bytes;
      if (!same) fail("codec does not rebuild the frame it extracted", bytes, frame);
    }
    Fields given = split(bytes);
    given.resize(fieldCount(name));
    std::string frame;
    if (!insert(pie, given, frame)) fail("codec refuses its number of fields");
    if (representable(name, given)) {
      Fields back;
      if (!extract(pie, frame, back) || back != given)
        fail("codec does not extract what it inserted", bytes, frame);
    }
    given.emplace_back("extra");
    if (insert(pie, given, frame)) fail("codec takes a wrong number of fields");
  }
}

// ---- modes 1 and 2: through a pipe ----

struct Pipe {
  int fds[2] = {-1, -1};
  int in = -1;   // intraface on the read end
  int out = -1;  // intraface on the write end
  Pipe() {
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) fds[0] = fds[1] = -1;
  }
  ~Pipe() {
    if (in >= 0) intrafaceClose(in);
    if (out >= 0) intrafaceClose(out);
    if (fds[0] >= 0) close(fds[0]);
    if (fds[1] >= 0) close(fds[1]);
  }
  bool open(const std::string &layers, bool writer) {
    if (fds[0] < 0) return false;
    in = intrafaceOpen((layers + ":desc:" + std::to_string(fds[0])).c_str());
    if (writer) out = intrafaceOpen((layers + ":desc:" + std::to_string(fds[1])).c_str());
    return in >= 0 && (!writer || out >= 0);
  }
};

std::string layerSpec(uint8_t choice, const char **pie, const char **ace, const char **transport) {
  *pie = kPies[choice & 3];
  *ace = kAces[(choice >> 2) & 1];
  *transport = kTransports[(choice >> 3) & 3];
  return std::string(*pie) + ":" + *ace + ":" + *transport;
}

// One delivered message or a refused frame, as the read end reports them.
struct Delivery {
  int code;  // 1 a message, -1 a refused frame
  Fields fields;
  bool operator==(const Delivery &other) const { return code == other.code && fields == other.fields; }
};

// What a whole stream holds: frames cut at 0x04 as the transport cuts them, each decoded and taken
// apart, or refused.
std::vector<Delivery> expected(const std::string &stream, const char *pie, const char *ace,
                               const char *transport) {
  std::vector<Delivery> result;
  bool eotn = std::strcmp(transport, "eotn") == 0, shell = std::strcmp(transport, "shell") == 0;
  size_t at = 0;
  while (true) {
    size_t eot = stream.find('\x04', at);
    if (eot == std::string::npos) break;
    std::string frame = stream.substr(at, eot - at);
    if (shell && !frame.empty() && frame.back() == '\n') frame.pop_back();
    at = eot + 1;
    if ((eotn || shell) && at < stream.size() && stream[at] == '\n') ++at;
    Delivery d{1, {}};
    if (std::strcmp(ace, "sin") == 0) {
      std::string decoded;
      if (!telvi::io::sinDecode(frame.data(), frame.size(), decoded)) {
        result.push_back({-1, {}});
        continue;
      }
      frame.swap(decoded);
    }
    if (std::strcmp(pie, "null") == 0)
      d.fields = {frame};
    else if (!extract(find(pie), frame, d.fields))
      d = {-1, {}};
    result.push_back(d);
  }
  return result;
}

// Reads until nothing more is complete; true at end of input.
bool drain(int fd, std::vector<Delivery> &got) {
  for (int guard = 0; guard < 100000; ++guard) {
    int count = 0;
    char **fields = nullptr;
    size_t *lengths = nullptr;
    int code = intrafaceRead(fd, &count, &fields, &lengths);
    if (code == 0) return true;
    if (code < 0) {
      if (errno != EBADMSG) fail("read failed other than on a refused frame");
      got.push_back({-1, {}});
      continue;
    }
    if (count == 0) return false;
    Delivery d{1, {}};
    for (int i = 0; i < count; ++i) d.fields.emplace_back(fields[i], lengths[i]);
    intrafaceFreeBufferList(count, fields, lengths);
    got.push_back(d);
  }
  fail("reads never stop delivering");
}

void stream(const uint8_t *data, size_t size) {
  if (size < 2) return;
  const char *pie, *ace, *transport;
  std::string spec = layerSpec(data[0], &pie, &ace, &transport);
  // Byte 1: read sizes; the rest is the stream, written in pieces of 1 to 16 bytes chosen by
  // walking byte 1's bits.
  uint8_t cuts = data[1];
  std::string bytes(reinterpret_cast<const char *>(data + 2), size - 2);
  Pipe p;
  if (!p.open(spec, false)) fail("cannot open an intraface on a pipe");
  std::vector<Delivery> got;
  size_t at = 0;
  int step = 0;
  while (at < bytes.size()) {
    size_t piece = 1 + ((cuts >> (step % 8)) & 0xF) * (1 + step % 3);
    ++step;
    piece = std::min(piece, bytes.size() - at);
    if (write(p.fds[1], bytes.data() + at, piece) != static_cast<ssize_t>(piece)) return;  // pipe full
    at += piece;
    if (std::strcmp(transport, "null") == 0) {
      // Without a transport a read delivers whatever has arrived: only that it does not fail.
      std::vector<Delivery> ignored;
      drain(p.in, ignored);
    } else {
      drain(p.in, got);
    }
  }
  close(p.fds[1]);
  p.fds[1] = -1;
  std::vector<Delivery> rest;
  if (!drain(p.in, rest)) fail("no end of input after the writer closed");
  if (std::strcmp(transport, "null") == 0) return;
  got.insert(got.end(), rest.begin(), rest.end());
  std::vector<Delivery> want = expected(bytes, pie, ace, transport);
  if (got.size() != want.size()) fail("reads deliver another number of frames than the stream holds");
  for (size_t i = 0; i < want.size(); ++i)
    if (!(got[i] == want[i])) fail("a read delivers another frame than the stream holds");
}

void roundTrip(const uint8_t *data, size_t size) {
  if (size < 1) return;
  const char *pie, *ace, *transport;
  std::string spec = layerSpec(data[0], &pie, &ace, &transport);
  std::string bytes(reinterpret_cast<const char *>(data + 1), size - 1);
  Fields fields = split(bytes);
  if (std::strcmp(pie, "null") == 0) fields = {bytes};
  if (!representable(pie, fields)) return;
  // A transport cuts at 0x04, so a message must not hold one where the frame carries it plainly.
  if (std::strcmp(transport, "null") != 0 && std::strcmp(ace, "null") == 0 &&
      bytes.find('\x04') != std::string::npos)
    return;
  Pipe p;
  if (!p.open(spec, true)) fail("cannot open intrafaces on a pipe");
  std::vector<char *> pointers;
  std::vector<size_t> lengths;
  for (const std::string &f : fields) {
    pointers.push_back(const_cast<char *>(f.data()));
    lengths.push_back(f.size());
  }
  int code = intrafaceWrite(p.out, static_cast<int>(fields.size()), pointers.data(), lengths.data(), nullptr);
  std::vector<Delivery> got;
  std::string frameSeen;
  for (int guard = 0; code == 1 && guard < 100000; ++guard) {
    // The pipe holds 64 KiB: read what is there, then let the queue drain.
    char chunk[65536];
    ssize_t n = read(p.fds[0], chunk, sizeof chunk);
    if (n > 0) frameSeen.append(chunk, static_cast<size_t>(n));
    code = intrafaceFlush(p.out, nullptr);
  }
  if (code != 0) fail("write never completes");
  char chunk[65536];
  for (ssize_t n; (n = read(p.fds[0], chunk, sizeof chunk)) > 0;)
    frameSeen.append(chunk, static_cast<size_t>(n));
  if (std::strcmp(transport, "shell") == 0) {
    // A shell is not there to echo: what it would send back is the frame and the delimiter line.
    size_t command = frameSeen.rfind("\necho \x04\n");
    if (command == std::string::npos) fail("shell transport does not end the command");
    frameSeen = frameSeen.substr(0, command) + "\n\x04\n";
  }
  // The frame goes back in through the read end.
  if (write(p.fds[1], frameSeen.data(), std::min<size_t>(frameSeen.size(), 65536)) < 0 ||
      frameSeen.size() > 65536)
    return;
  close(p.fds[1]);
  p.fds[1] = -1;
  drain(p.in, got);
  if (std::strcmp(transport, "null") == 0 && got.empty() && frameSeen.empty()) return;
  if (got.size() != 1 || got[0].code != 1 || got[0].fields != fields)
    fail("a message written is not read back", bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = setUp();
  (void)ready;
  if (size < 1 || size > 60000) return 0;
  switch (data[0] % 3) {
    case 0:
      layers(std::string(reinterpret_cast<const char *>(data + 1), size - 1));
      break;
    case 1:
      stream(data + 1, size - 1);
      break;
    default:
      roundTrip(data + 1, size - 1);
      break;
  }
  return 0;
}
