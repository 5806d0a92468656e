// Intrafaces driven through the C interface over real descriptors: a loopback TCP pair and a pipe fed
// one byte at a time, a peer that stops in the middle of a frame, a peer that does not drain, and the
// "sin" encoding's two directions.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "io/intraface_classes.h"
#include "telvi/interface.h"
#include "telvi/intraface.h"
#include "telvi/package.h"

namespace {

struct Message {
  int code;
  std::vector<std::string> fields;
};

Message readMessage(int fd) {
  int count = 0;
  char **fields = nullptr;
  size_t *lengths = nullptr;
  Message message{intrafaceRead(fd, &count, &fields, &lengths), {}};
  for (int i = 0; i < count; ++i) message.fields.emplace_back(fields[i], lengths[i]);
  intrafaceFreeBufferList(count, fields, lengths);
  return message;
}

int writeFields(int fd, std::vector<std::string> fields) {
  std::vector<char *> pointers;
  std::vector<size_t> lengths;
  for (std::string &field : fields) pointers.push_back(field.data()), lengths.push_back(field.size());
  return intrafaceWrite(fd, static_cast<int>(pointers.size()), pointers.data(), lengths.data(),
                        nullptr);
}

// A connected loopback TCP pair: [0] the agent's end, [1] the peer's.
void tcpPair(int ends[2]) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t size = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size);
  ends[1] = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(ends[1], reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
  ends[0] = accept(listener, nullptr, nullptr);
  ASSERT_GE(ends[0], 0);
  close(listener);
}

void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Sends bytes one at a time and gives them time to arrive before the next read.
void trickle(int fd, const std::string &bytes, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i) {
    ASSERT_EQ(send(fd, &bytes[i], 1, MSG_NOSIGNAL), 1);
  }
  usleep(2000);
}

class IntrafaceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Tcl_FindExecutable(nullptr);
    signal(SIGPIPE, SIG_IGN);
    Intraface_InitInternal(interp());
    Intpipe_InitInternal();
    Intinet_InitInternal();
  }
  static Tcl_Interp *interp() {
    static Tcl_Interp *shared = Tcl_CreateInterp();
    return shared;
  }
  // The agent's end of a fresh pair, opened as an intraface with the given layers.
  int openOver(int agentEnd, const std::string &layers) {
    setNonBlocking(agentEnd);
    int fd = intrafaceOpen((layers + ":desc:" + std::to_string(agentEnd)).c_str());
    EXPECT_EQ(fd, agentEnd);
    return fd;
  }
  void closeBoth(int fd, int peer) {
    intrafaceClose(fd);
    close(fd);  // a desc interface leaves the descriptor to its owner
    if (peer >= 0) close(peer);
  }
};

TEST_F(IntrafaceTest, TcpFramesWrittenOneByteAtATimeArriveWhole) {
  int ends[2];
  tcpPair(ends);
  int fd = openOver(ends[0], "tid:sin:eotn");
  // What the agent's peer would write: the same layers, applied by the writing side.
  std::string wire;
  {
    int pair[2];
    tcpPair(pair);
    int writer = openOver(pair[0], "tid:sin:eotn");
    ASSERT_EQ(writeFields(writer, {"status", "42", std::string("a b\n\0c", 6)}), 0);
    ASSERT_EQ(writeFields(writer, {"ping", "", ""}), 0);
    char buffer[4096];
    usleep(2000);
    ssize_t got = recv(pair[1], buffer, sizeof buffer, 0);
    ASSERT_GT(got, 0);
    wire.assign(buffer, static_cast<size_t>(got));
    closeBoth(writer, pair[1]);
  }
  size_t first = wire.find('\x04');
  ASSERT_NE(first, std::string::npos);
  ASSERT_EQ(wire[first + 1], '\n');
  // Up to the delimiter nothing is complete; the newline behind it may come in a later read.
  for (size_t i = 0; i < first; i += 7) {
    trickle(ends[1], wire, i, std::min(first, i + 7));
    Message partial = readMessage(fd);
    EXPECT_EQ(partial.code, 1);
    EXPECT_TRUE(partial.fields.empty());
  }
  trickle(ends[1], wire, first, first + 1);
  Message one = readMessage(fd);
  ASSERT_EQ(one.code, 1);
  EXPECT_EQ(one.fields, (std::vector<std::string>{"status", "42", std::string("a b\n\0c", 6)}));
  trickle(ends[1], wire, first + 1, wire.size());
  Message two = readMessage(fd);
  ASSERT_EQ(two.code, 1);
  EXPECT_EQ(two.fields, (std::vector<std::string>{"ping", "", ""}));
  EXPECT_EQ(intrafaceBuffered(fd, 0), 0);
  closeBoth(fd, ends[1]);
}

TEST_F(IntrafaceTest, PipeTransportsCutFramesAtEot) {
  struct Case {
    const char *transport;
    std::string wire;
    std::vector<std::string> frames;
  } cases[] = {
      {"eot", std::string("one\x04two\n\x04"), {"one", "two\n"}},
      // eotn: the newline after 0x04 is optional, and may arrive on its own.
      {"eotn", std::string("one\x04\ntwo\x04three\x04\n"), {"one", "two", "three"}},
      // shell: one newline before and one after the delimiter belong to it.
      {"shell", std::string("out\nput\n\x04\n\n\x04\n"), {"out\nput", ""}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.transport);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int fd = openOver(p[0], std::string("null:null:") + c.transport);
    std::vector<std::string> frames;
    for (size_t i = 0; i < c.wire.size(); ++i) {
      ASSERT_EQ(write(p[1], &c.wire[i], 1), 1);
      Message message = readMessage(fd);
      ASSERT_EQ(message.code, 1);
      if (!message.fields.empty()) frames.push_back(message.fields[0]);
    }
    EXPECT_EQ(frames, c.frames);
    closeBoth(fd, p[1]);
  }
}

TEST_F(IntrafaceTest, TwoFramesInOneReadComeOutOneByOneThenEndOfInput) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  int fd = openOver(p[0], "type:null:eot");
  std::string wire("TYPE=a\nx\x04TYPE=b\ny\x04TYPE=c\nunfinished");
  ASSERT_EQ(write(p[1], wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
  close(p[1]);  // the peer goes away in the middle of the third frame
  Message a = readMessage(fd), b = readMessage(fd), end = readMessage(fd);
  EXPECT_EQ(a.fields, (std::vector<std::string>{"a", "x"}));
  EXPECT_EQ(b.fields, (std::vector<std::string>{"b", "y"}));
  EXPECT_EQ(end.code, 0);
  EXPECT_EQ(readMessage(fd).code, 0);
  // The cut-off frame is kept, not delivered.
  EXPECT_EQ(intrafaceBuffered(fd, 0), 17);
  closeBoth(fd, -1);
}

TEST_F(IntrafaceTest, FieldCodecsRefuseWhatTheyCannotCarry) {
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  int fd = openOver(p[0], "tsid:null:eot");
  EXPECT_EQ(writeFields(fd, {"a", "b", "c"}), -1);                // three fields for four
  EXPECT_EQ(intrafaceWrite(fd, 4, nullptr, nullptr, nullptr), -1);  // missing fields
  std::string wire("TYPE=a SUBTYPE=b ID=c\nbody\x04TYPE=bad!\nx\x04TYPE=a SUBTYPE=b ID=c\n\x04");
  ASSERT_EQ(write(p[1], wire.data(), wire.size()), static_cast<ssize_t>(wire.size()));
  EXPECT_EQ(readMessage(fd).fields, (std::vector<std::string>{"a", "b", "c", "body"}));
  Message bad = readMessage(fd);
  EXPECT_EQ(bad.code, -1);
  EXPECT_EQ(errno, EBADMSG);
  // A refused frame is dropped; the frames behind it are still there.
  EXPECT_EQ(readMessage(fd).fields, (std::vector<std::string>{"a", "b", "c", ""}));
  closeBoth(fd, p[1]);

  ASSERT_EQ(pipe(p), 0);
  fd = openOver(p[1], "tid:null:null");
  int reader = openOver(p[0], "tid:null:null");
  EXPECT_EQ(writeFields(fd, {"t", "i"}), -1);
  // The greedy id runs to the last " CONTENTS=".
  ASSERT_EQ(writeFields(fd, {"t", "x CONTENTS=y", "z"}), 0);
  EXPECT_EQ(readMessage(reader).fields, (std::vector<std::string>{"t", "x CONTENTS=y", "z"}));
  closeBoth(fd, -1);
  closeBoth(reader, -1);
}

TEST_F(IntrafaceTest, WritesQueueWhenThePeerDoesNotDrain) {
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
  int small = 4096;
  setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  setsockopt(ends[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  int fd = openOver(ends[0], "null:null:eot");
  std::string big(1 << 20, 'x');
  ASSERT_EQ(writeFields(fd, {big}), 1);
  long queued = intrafaceBuffered(fd, 1);
  EXPECT_GT(queued, 0);
  std::string received;
  char buffer[65536];
  for (int round = 0; round < 10000 && received.size() < big.size() + 1; ++round) {
    ssize_t got = recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT);
    if (got > 0) received.append(buffer, static_cast<size_t>(got));
    int code = intrafaceFlush(fd, nullptr);
    ASSERT_GE(code, 0);
    if (got <= 0 && code == 0) break;
  }
  while (true) {
    ssize_t got = recv(ends[1], buffer, sizeof buffer, MSG_DONTWAIT);
    if (got <= 0) break;
    received.append(buffer, static_cast<size_t>(got));
  }
  EXPECT_EQ(received, big + '\x04');
  EXPECT_EQ(intrafaceBuffered(fd, 1), 0);
  EXPECT_EQ(intrafaceFlush(fd, nullptr), 0);
  closeBoth(fd, ends[1]);
}

TEST_F(IntrafaceTest, OpenRefusesUnknownLayersAndAcceptCopiesThem) {
  errno = 0;
  EXPECT_EQ(intrafaceOpen("nope:null:eot:desc:0"), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(intrafaceOpen("eot:null:null:desc:0"), -1);  // a transport is no field codec
  EXPECT_EQ(intrafaceOpen("null:null"), -1);
  int listener = intrafaceOpen("inet://localhost:0/tcp;type=listener;pie=type;transport=eotn");
  ASSERT_GE(listener, 0);
  const char *pie, *ace, *transport, *spec;
  ASSERT_EQ(intrafaceInfo(listener, &pie, &ace, &transport, nullptr, nullptr, nullptr, &spec,
                          nullptr, nullptr),
            0);
  EXPECT_STREQ(pie, "type");
  EXPECT_STREQ(ace, "null");
  EXPECT_STREQ(transport, "eotn");
  EXPECT_STREQ(intrafaceType(listener), "listener");
  std::string port = std::string(spec).substr(std::string("inet:tcp:localhost:").size());
  port = port.substr(0, port.find(':'));
  int client = intrafaceOpen(("type:null:eotn:inet:tcp:localhost:" + port).c_str());
  ASSERT_GE(client, 0);
  int server = intrafaceAcceptConnection(listener);
  ASSERT_GT(server, 0);
  setNonBlocking(server);
  ASSERT_EQ(writeFields(client, {"hello", "world"}), 0);
  usleep(5000);
  EXPECT_EQ(readMessage(server).fields, (std::vector<std::string>{"hello", "world"}));
  for (int fd : {client, server, listener}) EXPECT_EQ(intrafaceClose(fd), 0);
  EXPECT_EQ(intrafaceBuffered(server, 0), -1);
}

// The codecs match by hand what their regular expressions describe: compared with Tcl's engine on
// frames made of the pieces that matter (literals, word bytes, separators, NUL).
TEST_F(IntrafaceTest, FieldCodecsAgreeWithTheirRegularExpressions) {
  const struct {
    const char *name;
    const char *pattern;
  } codecs[] = {{"type", "^TYPE=([a-zA-Z0-9_-]+)\n(.*)$"},
                {"tid", "TYPE=([a-zA-Z0-9_-]+) ID=(.*) CONTENTS=(.*)$"},
                {"tsid", "^TYPE=([a-zA-Z0-9_-]+) SUBTYPE=([a-zA-Z0-9_-]+) ID=([a-zA-Z0-9_-]+)\n(.*)$"}};
  const std::string pieces[] = {"TYPE=", " ID=", " CONTENTS=", " SUBTYPE=", "a", "Z9_-", " ",
                                "\n", "=", std::string("\0", 1), "\xe9", "ID=", "TYPE"};
  unsigned generator = 12345;
  for (const auto &codec : codecs) {
    SCOPED_TRACE(codec.name);
    const intrafaceClass *cls = intrafaceFindClass(codec.name);
    ASSERT_NE(cls, nullptr);
    Tcl_Obj *pattern = Tcl_NewStringObj(codec.pattern, -1);
    Tcl_IncrRefCount(pattern);
    Tcl_RegExp re = Tcl_GetRegExpFromObj(nullptr, pattern, TCL_REG_ADVANCED);
    int matches = 0;
    for (int round = 0; round < 20000; ++round) {
      std::string frame;
      // Mostly well-formed starts, so that matches are frequent enough to compare groups.
      if (round % 2 == 0) {
        std::string name = codec.name;
        frame = name == "tid" ? "TYPE=a ID=" : name == "tsid" ? "TYPE=a SUBTYPE=b ID=c" : "TYPE=a";
        if (name != "tid" && round % 4 == 0) frame += "\n";
      }
      for (int n = rand_r(&generator) % 9; n > 0; --n) frame += pieces[static_cast<size_t>(rand_r(&generator)) % std::size(pieces)];
      Tcl_Obj *text = Tcl_NewByteArrayObj(reinterpret_cast<const unsigned char *>(frame.data()),
                                          static_cast<int>(frame.size()));
      Tcl_IncrRefCount(text);
      int expected = Tcl_RegExpExecObj(nullptr, re, text, 0, 5, 0);
      std::vector<std::string> want;
      if (expected == 1) {
        Tcl_RegExpInfo info;
        Tcl_RegExpGetInfo(re, &info);
        for (int i = 1; i <= info.nsubs; ++i)
          want.push_back(frame.substr(static_cast<size_t>(info.matches[i].start),
                                      static_cast<size_t>(info.matches[i].end - info.matches[i].start)));
      }
      Tcl_DecrRefCount(text);
      int count = 0;
      char **fields = nullptr;
      size_t *lengths = nullptr;
      int code = cls->extract(frame.data(), frame.size(), &count, &fields, &lengths);
      std::vector<std::string> got;
      for (int i = 0; i < count && code == 0; ++i) got.emplace_back(fields[i], lengths[i]);
      if (code == 0) intrafaceFreeBufferList(count, fields, lengths);
      ASSERT_EQ(code == 0, expected == 1) << frame;
      ASSERT_EQ(got, want) << frame;
      matches += expected == 1;
    }
    EXPECT_GT(matches, 2000);
    Tcl_DecrRefCount(pattern);
  }
}

TEST(SinEncoding, EncodeAndDecodeAreExactInverses) {
  std::string out, back;
  telvi::io::sinEncode(nullptr, 0, out);
  EXPECT_EQ(out, "!#sin\n\n");
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  all += all;
  telvi::io::sinEncode(reinterpret_cast<const unsigned char *>(all.data()), all.size(), out);
  ASSERT_TRUE(telvi::io::sinDecode(out.data(), out.size(), back));
  EXPECT_EQ(back, all);
  // Line lengths follow a sine: 10 groups, then ceil(sin(line / 12) * 9 + 9.5).
  std::vector<size_t> lines;
  for (size_t start = 6, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back((end - start) / 4);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(std::vector<size_t>(lines.begin(), lines.begin() + 5), (std::vector<size_t>{10, 11, 11, 12, 13}));
  for (char c : out.substr(6)) EXPECT_TRUE(c == '\n' || (c >= 'J' && c <= 'Y'));
  // Same input, same text: the filler is fixed per encode.
  std::string again;
  telvi::io::sinEncode(reinterpret_cast<const unsigned char *>(all.data()), all.size(), again);
  EXPECT_EQ(again, out);
}

// The encoding written out plainly, a byte at a time: the reference the fast paths must match.
void referenceEncode(const std::string &in, std::string &out) {
  out = "!#sin\n";
  unsigned int state = telvi::io::kSinStart;
  int line = 0, groups = 0;
  double bound = 9.5;
  for (unsigned char byte : in) {
    unsigned value = static_cast<unsigned>(rand_r(&state)) & 0xAAAAu;
    for (int bit = 0; bit < 8; ++bit) value |= ((byte >> bit) & 1u) << (2 * bit);
    for (int nibble = 0; nibble < 4; ++nibble) out += static_cast<char>('J' + ((value >> (4 * nibble)) & 0xF));
    if (++groups >= bound) {
      out += '\n';
      groups = 0;
      ++line;
      bound = std::sin(line / 12.0) * 9.0 + 9.5;
    }
  }
  out += '\n';
}

bool referenceDecode(const std::string &in, std::string &out) {
  out.clear();
  for (size_t i = 0; i < in.size();) {
    if (in[i] < 'J' || in[i] > 'Z') {
      ++i;
      continue;
    }
    if (in.size() - i < 4) return false;
    unsigned value = 0;
    for (int nibble = 0; nibble < 4; ++nibble) {
      char digit = in[i + static_cast<size_t>(nibble)];
      if (digit < 'J' || digit > 'Y') return false;
      value |= static_cast<unsigned>(digit - 'J') << (4 * nibble);
    }
    unsigned char byte = 0;
    for (int bit = 0; bit < 8; ++bit)
      if (value & (1u << (2 * bit))) byte |= static_cast<unsigned char>(1u << bit);
    out += static_cast<char>(byte);
    i += 4;
  }
  return true;
}

// Every path of the codec against the reference: random inputs of many lengths (block and line
// boundaries, lengths that fill no whole group of lines), every byte value, long inputs that run
// through many resynchronisations of the line bounds; and texts damaged at random, which must
// decode (or fail) exactly as the reference does.
TEST(SinEncoding, MatchesTheReferenceByteForByte) {
  using telvi::io::SinPath;
  const SinPath paths[] = {SinPath::Best, SinPath::Plain, SinPath::Generic};
  auto bytes = [](const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); };
  std::vector<std::string> inputs = {"", std::string(1, '\0'), std::string(1, '\xff')};
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  inputs.push_back(all);
  for (unsigned start : {1u, 7u, 42u, 2026u}) {
    std::mt19937 random(start);
    for (int n = 0; n < 40; ++n) {
      size_t length = n < 20 ? random() % 600 : random() % 5000;
      std::string in(length, '\0');
      for (char &c : in) c = static_cast<char>(random());
      inputs.push_back(in);
    }
  }
  std::string big(1400000, '\0');  // past the lines the tables hold
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 2654435761u >> 13);
  inputs.push_back(big);
  std::mt19937 random(99);
  for (const std::string &in : inputs) {
    std::string want, got, back, wantBack;
    referenceEncode(in, want);
    for (SinPath path : paths) {
      telvi::io::sinEncode(bytes(in), in.size(), got, path);
      ASSERT_EQ(got, want) << in.size() << " bytes, path " << static_cast<int>(path);
      ASSERT_TRUE(telvi::io::sinDecode(want.data(), want.size(), back, path));
      ASSERT_EQ(back, in) << in.size() << " bytes, path " << static_cast<int>(path);
    }
    // Damage: a character changed, dropped or added; a newline moved; the text cut.
    for (int round = 0; round < 4 && want.size() > 8; ++round) {
      std::string text = want;
      size_t at = 6 + random() % (text.size() - 6);
      switch (round) {
        case 0: text[at] = "JYZ\n\r\x80 A"[random() % 8]; break;
        case 1: text.erase(at, 1); break;
        case 2: text.insert(at, 1, "\nJK "[random() % 4]); break;
        case 3: text.resize(at); break;
      }
      bool wantOk = referenceDecode(text, wantBack);
      for (SinPath path : paths) {
        bool ok = telvi::io::sinDecode(text.data(), text.size(), back, path);
        ASSERT_EQ(ok, wantOk) << "damage " << round << " at " << at;
        ASSERT_EQ(back, wantBack) << "damage " << round << " at " << at;
      }
    }
  }
  // Text without the header, and with lines of other lengths, takes the generic path.
  std::string text = "JJJJ KJJJ\n\nYYYY", back;
  ASSERT_TRUE(telvi::io::sinDecode(text.data(), text.size(), back));
  EXPECT_EQ(back, std::string("\0\1\xff", 3));
}

TEST(SinEncoding, DecodeChecksEveryGroup) {
  std::string back;
  EXPECT_TRUE(telvi::io::sinDecode("!#sin\nJJJJ\nKJJJ\n", 16, back));
  EXPECT_EQ(back, std::string("\0\1", 2));
  EXPECT_FALSE(telvi::io::sinDecode("!#sin\nJJJ", 9, back));      // cut short
  EXPECT_FALSE(telvi::io::sinDecode("!#sin\nJJ\nJ\n", 11, back));  // a newline inside a group
  EXPECT_FALSE(telvi::io::sinDecode("ZJJJ", 4, back));            // 'Z' is no nibble
}

}  // namespace
