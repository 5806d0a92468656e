// Round trips with net-snmp's command-line tools: they send to a loopback UDP socket this test
// owns, the engine decodes what they send and answers with messages it encodes, and the tools'
// output shows that they understood the answers.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "snmp_support.h"

using namespace snmptest;

namespace {

// A net-snmp tool run against a UDP socket on 127.0.0.1; the destructor reaps the child and
// removes the tool's persistent-state folder.
class Peer {
 public:
  Peer() {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &n);
    port_ = ntohs(a.sin_port);
    char dir[] = "/tmp/telvi-snmp-XXXXXX";
    state_ = mkdtemp(dir);
  }
  ~Peer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    close(fd_);
    std::error_code ignored;
    std::filesystem::remove_all(state_, ignored);
  }
  std::string target() const { return "127.0.0.1:" + std::to_string(port_); }

  void run(std::vector<std::string> args) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      dup2(pipeFds[1], 1);
      dup2(pipeFds[1], 2);
      close(pipeFds[0]);
      close(pipeFds[1]);
      setenv("SNMP_PERSISTENT_DIR", state_.c_str(), 1);
      setenv("SNMPCONFPATH", state_.c_str(), 1);
      setenv("MIBS", "", 1);
      std::vector<char *> argv;
      for (std::string &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(pipeFds[1]);
    out_ = pipeFds[0];
  }

  // The next datagram from the tool, or an empty buffer after 5 seconds.
  bool receive(Netbuf &in) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return false;
    sockaddr_in from{};
    socklen_t n = sizeof from;
    ssize_t got = recvfrom(fd_, buffer_, sizeof buffer_, 0, reinterpret_cast<sockaddr *>(&from), &n);
    if (got <= 0) return false;
    from_ = from;
    memset(&in, 0, sizeof in);
    udpPeer(&in.info, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
    in.data = buffer_;
    in.length = static_cast<uint32_t>(got);
    in.capacity = sizeof buffer_;
    return true;
  }

  void send(const Netbuf &out) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(getSnmpTInfoHost(&out.info));
    to.sin_port = htons(static_cast<uint16_t>(getSnmpTInfoPort(&out.info)));
    sendto(fd_, out.data, out.length, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  }

  // Waits for the tool to end; its exit status and everything it printed.
  int finish(std::string &output) {
    int status = -1;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    char chunk[4096];
    ssize_t n;
    while ((n = read(out_, chunk, sizeof chunk)) > 0) output.append(chunk, static_cast<size_t>(n));
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  int fd_ = -1, out_ = -1;
  pid_t pid_ = -1;
  uint16_t port_ = 0;
  std::string state_;
  sockaddr_in from_{};
  unsigned char buffer_[65536];
};

bool haveTools() { return access("/usr/bin/snmpget", X_OK) == 0; }

std::vector<std::string> tool(const std::string &name, std::vector<std::string> args) {
  std::vector<std::string> all = {"/usr/bin/" + name, "-On", "-t", "3", "-r", "0"};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

// Answers a decoded request with the given bindings as a Response through encodeSnmpMsg.
void answer(Peer &peer, PduData &request, void *state, const PduHeader &asked, std::vector<VarBind> bindings,
            int32_t status = 0, int32_t index = 0) {
  unsigned char area[4096], message[4096];
  PduHeader header = {SNMP_PDU_RESPONSE, asked.request_id, status, index};
  request.data = area;
  request.length = buildPdu(area, sizeof area, header, bindings);
  request.capacity = sizeof area;
  ASSERT_GT(request.length, 0u);
  Netbuf out;
  memset(&out, 0, sizeof out);
  out.data = message;
  out.capacity = sizeof message;
  ASSERT_GE(encodeSnmpMsg(&request, -1, nullptr, state, &out), 0) << _snmp.trace;
  peer.send(out);
}

class NetSnmp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!haveTools()) GTEST_SKIP() << "net-snmp's tools (Debian package snmp) are not installed";
    freshEngine();
  }
};

// One message from the tool, decoded; the bindings point into its buffer, so both stay together.
struct Received {
  Netbuf in;
  PduData pdu;
  int32_t app = 0;
  VarBind report;
  void *state = nullptr;
};

::testing::AssertionResult receiveAs(Peer &peer, int type, Received &got) {
  if (!peer.receive(got.in)) return ::testing::AssertionFailure() << "nothing received";
  int decoded = decodeSnmpMsg(&got.pdu, &got.app, &got.report, &got.state, &got.in);
  if (decoded != type) return ::testing::AssertionFailure() << "decoded as " << decoded << ": " << _snmp.trace;
  return ::testing::AssertionSuccess();
}

// Answers what the tool sent, lets it end, and checks its exit status (unless expectedExit is
// negative) and that it printed every one of the texts.
void replyAndCheck(Peer &peer, Received &got, const PduHeader &header, std::vector<VarBind> bindings,
                   std::vector<std::string> printed, int expectedExit = 0, int32_t status = 0, int32_t index = 0) {
  answer(peer, got.pdu, got.state, header, std::move(bindings), status, index);
  std::string output;
  int exitCode = peer.finish(output);
  if (expectedExit >= 0) {
    EXPECT_EQ(exitCode, expectedExit) << output;
  }
  for (const std::string &text : printed) EXPECT_NE(output.find(text), std::string::npos) << text << " in " << output;
}

TEST_F(NetSnmp, GetV2cWithTextAndTimeTicks) {
  Peer peer;
  peer.run(tool("snmpget", {"-v2c", "-c", "public", peer.target(), "1.3.6.1.2.1.1.5.0", "1.3.6.1.2.1.1.3.0"}));
  Received got;
  ASSERT_TRUE(receiveAs(peer, SNMP_PDU_GET, got));
  [[maybe_unused]] auto &[in, pdu, app, report, state] = got;
  EXPECT_EQ(pdu.version, SNMP_V2C);
  EXPECT_EQ(pdu.model, 2);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(pdu.securityName.octets)), "public");
  ASSERT_NE(state, nullptr);
  PduHeader header;
  std::vector<VarBind> asked = decodeBindings(pdu, &header);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].value.tag, ASN1_TAG_NULL);

  unsigned char name[] = "telvi-host";
  asked[0].value.tag = ASN1_TAG_OCTET_STRING;
  asked[0].value.u.octets = {name, 10};
  asked[1].value.tag = ASN1_TAG_TIMETICKS;
  asked[1].value.u.unsigned32 = 12345;
  replyAndCheck(peer, got, header, asked,
                {".1.3.6.1.2.1.1.5.0 = STRING: \"telvi-host\"", ".1.3.6.1.2.1.1.3.0 = Timeticks: (12345) 0:02:03.45"});
}

TEST_F(NetSnmp, GetNextV1WithCounterAddressAndOid) {
  Peer peer;
  peer.run(tool("snmpgetnext", {"-v1", "-c", "public", peer.target(), "1.3.6.1.2.1.2", "1.3.6.1.2.1.4",
                                "1.3.6.1.2.1.1.2"}));
  Received got;
  ASSERT_TRUE(receiveAs(peer, SNMP_PDU_GETNEXT, got));
  [[maybe_unused]] auto &[in, pdu, app, report, state] = got;
  EXPECT_EQ(pdu.version, SNMP_V1);
  PduHeader header;
  std::vector<VarBind> asked = decodeBindings(pdu, &header);
  ASSERT_EQ(asked.size(), 3u);
  std::vector<VarBind> next = {binding("1.3.6.1.2.1.2.2.1.10.1"), binding("1.3.6.1.2.1.4.20.1.1.10.1.2.3"),
                               binding("1.3.6.1.2.1.1.2.0")};
  next[0].value.tag = ASN1_TAG_COUNTER32;
  next[0].value.u.unsigned32 = 4294967295u;
  next[1].value.tag = ASN1_TAG_IPADDRESS;
  next[1].value.u.unsigned32 = 0x0A010203;
  next[2].value.tag = ASN1_TAG_OBJECT_ID;
  strtooid("1.3.6.1.4.1.99999.1", nullptr, next[2].value.u.oid);
  replyAndCheck(peer, got, header, next,
                {".1.3.6.1.2.1.2.2.1.10.1 = Counter32: 4294967295", "= IpAddress: 10.1.2.3",
                 ".1.3.6.1.2.1.1.2.0 = OID: .1.3.6.1.4.1.99999.1"});
}

TEST_F(NetSnmp, BulkGetWithCounter64AndEndOfView) {
  Peer peer;
  peer.run(tool("snmpbulkget", {"-v2c", "-c", "public", "-Cn1", "-Cr2", peer.target(), "1.3.6.1.2.1.1.3",
                                "1.3.6.1.2.1.31.1.1.1.6"}));
  Received got;
  ASSERT_TRUE(receiveAs(peer, SNMP_PDU_GETBULK, got));
  [[maybe_unused]] auto &[in, pdu, app, report, state] = got;
  PduHeader header;
  ASSERT_EQ(decodeBindings(pdu, &header).size(), 2u);
  EXPECT_EQ(header.error_status, 1);  // non-repeaters
  EXPECT_EQ(header.error_index, 2);   // max-repetitions
  std::vector<VarBind> rows = {binding("1.3.6.1.2.1.1.3.0"), binding("1.3.6.1.2.1.31.1.1.1.6.1"),
                               binding("1.3.6.1.2.1.31.1.1.1.6.1")};
  rows[0].value.tag = ASN1_TAG_TIMETICKS;
  rows[1].value.tag = ASN1_TAG_COUNTER64;
  rows[1].value.u.counter64 = {0xFFFFFFFF, 0xFFFFFFFF};
  rows[2].value.tag = ASN1_TAG_ENDOFMIBVIEW;
  replyAndCheck(peer, got, header, rows,
                {".1.3.6.1.2.1.31.1.1.1.6.1 = Counter64: 18446744073709551615",
                 "No more variables left in this MIB View"},
                -1);
}

TEST_F(NetSnmp, SetV2cEchoesTheValue) {
  Peer peer;
  peer.run(tool("snmpset", {"-v2c", "-c", "public", peer.target(), "1.3.6.1.2.1.1.6.0", "s", "room 42",
                            "1.3.6.1.2.1.1.7.0", "i", "-72"}));
  Received got;
  ASSERT_TRUE(receiveAs(peer, SNMP_PDU_SET, got));
  [[maybe_unused]] auto &[in, pdu, app, report, state] = got;
  PduHeader header;
  std::vector<VarBind> asked = decodeBindings(pdu, &header);
  ASSERT_EQ(asked.size(), 2u);
  ASSERT_EQ(asked[0].value.tag, ASN1_TAG_OCTET_STRING);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(asked[0].value.u.octets.data), asked[0].value.u.octets.length),
            "room 42");
  EXPECT_EQ(asked[1].value.u.integer, -72);
  replyAndCheck(peer, got, header, asked, {".1.3.6.1.2.1.1.6.0 = STRING: \"room 42\"", ".1.3.6.1.2.1.1.7.0 = INTEGER: -72"});
}

TEST_F(NetSnmp, ErrorStatusReachesTheTool) {
  Peer peer;
  peer.run(tool("snmpget", {"-v1", "-c", "public", peer.target(), "1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.99.0"}));
  Received got;
  ASSERT_TRUE(receiveAs(peer, SNMP_PDU_GET, got));
  [[maybe_unused]] auto &[in, pdu, app, report, state] = got;
  PduHeader header;
  std::vector<VarBind> asked = decodeBindings(pdu, &header);
  replyAndCheck(peer, got, header, asked, {"noSuchName", "1.3.6.1.2.1.99.0"}, -1, 2, 2);
}

TEST_F(NetSnmp, UnknownCommunityGetsNoAnswer) {
  Peer peer;
  peer.run(tool("snmpset", {"-v1", "-c", "secret", "-t", "1", peer.target(), "1.3.6.1.2.1.1.6.0", "s", "x"}));
  Netbuf in;
  ASSERT_TRUE(peer.receive(in));
  uint32_t before = _snmp.counters.snmpInBadCommunityNames;
  EXPECT_EQ(dispatchSnmpMsg(&in), SNMP_ERR_SECURITY_NAME);
  EXPECT_EQ(in.length, 0u);
  EXPECT_EQ(_snmp.counters.snmpInBadCommunityNames, before + 1);
  EXPECT_EQ(_snmp.received.count, 0u);
  std::string output;
  EXPECT_NE(peer.finish(output), 0);
  EXPECT_NE(output.find("Timeout"), std::string::npos) << output;
}

TEST_F(NetSnmp, TrapsOfBothVersions) {
  {
    Peer peer;
    peer.run(tool("snmptrap", {"-v1", "-c", "anyone", peer.target(), "1.3.6.1.4.1.99999", "10.9.8.7", "6", "17",
                               "4242", "1.3.6.1.4.1.99999.1", "i", "5"}));
    Received got;
    ASSERT_TRUE(receiveAs(peer, SNMP_PDU_V1TRAP, got));
    [[maybe_unused]] auto &[in, pdu, app, report, state] = got;
    EXPECT_EQ(state, nullptr);
    TrapHeader trap;
    std::vector<VarBind> bindings = decodeBindings(pdu, nullptr, &trap);
    ASSERT_EQ(bindings.size(), 1u);
    char text[64];
    EXPECT_STREQ(oidtostr(trap.enterprise, text, sizeof text), "1.3.6.1.4.1.99999");
    EXPECT_EQ(std::tuple(trap.agent, trap.generic, trap.specific, trap.timestamp, bindings[0].value.u.integer),
              std::tuple(0x0A090807u, 6, 17, 4242u, 5));
    std::string output;
    EXPECT_EQ(peer.finish(output), 0) << output;
  }
  {
    Peer peer;
    peer.run(tool("snmptrap", {"-v2c", "-c", "anyone", peer.target(), "777", "1.3.6.1.6.3.1.1.5.1",
                               "1.3.6.1.4.1.99999.2", "x", "0a0b"}));
    Received got;
    ASSERT_TRUE(receiveAs(peer, SNMP_PDU_V2TRAP, got));
    [[maybe_unused]] auto &[in, pdu, app, report, state] = got;
    PduHeader header;
    std::vector<VarBind> bindings = decodeBindings(pdu, &header);
    ASSERT_EQ(bindings.size(), 3u);
    EXPECT_EQ(std::tuple(bindings[0].value.tag, bindings[0].value.u.unsigned32), std::tuple(ASN1_TAG_TIMETICKS, 777u));
    char text[64];
    EXPECT_STREQ(oidtostr(bindings[1].value.u.oid, text, sizeof text), "1.3.6.1.6.3.1.1.5.1");
    EXPECT_EQ(bindings[2].value.u.octets.length, 2u);
    std::string output;
    EXPECT_EQ(peer.finish(output), 0) << output;
  }
}

// A responder that answers an InformRequest with its own bindings.
int informResponder(SnmpSlot *, PduData *request, VarBind *, void *, SnmpArea *response, void *seen) {
  PduHeader header;
  std::vector<VarBind> bindings = decodeBindings(*request, &header);
  *static_cast<size_t *>(seen) = bindings.size();
  header.type = SNMP_PDU_RESPONSE;
  response->length = buildPdu(response->buffer, response->capacity, header, bindings);
  return response->length ? 0 : SNMP_ERR_FAILURE;
}

TEST_F(NetSnmp, InformThroughDispatch) {
  size_t seen = 0;
  void *handle = registerSnmpResponder(nullptr, SNMP_PDU_INFORM, informResponder, &seen);
  ASSERT_NE(handle, nullptr);
  Peer peer;
  peer.run(tool("snmpinform", {"-v2c", "-c", "public", peer.target(), "0", "1.3.6.1.6.3.1.1.5.3",
                               "1.3.6.1.2.1.2.2.1.1.3", "i", "3"}));
  Netbuf in;
  ASSERT_TRUE(peer.receive(in));
  EXPECT_EQ(dispatchSnmpMsg(&in), 0) << _snmp.trace;
  EXPECT_EQ(seen, 3u);
  ASSERT_GT(in.length, 0u);
  peer.send(in);
  std::string output;
  EXPECT_EQ(peer.finish(output), 0) << output;
  unregisterSnmpResponder(handle, informResponder, &seen);
  EXPECT_EQ(getSnmpResponder(nullptr, SNMP_PDU_INFORM), nullptr);
}

// A Get answered by a responder registered for all types under the local engine.
int getResponder(SnmpSlot *, PduData *request, VarBind *, void *, SnmpArea *response, void *) {
  PduHeader header;
  std::vector<VarBind> bindings = decodeBindings(*request, &header);
  for (VarBind &b : bindings) {
    b.value.tag = ASN1_TAG_UNSIGNED32;
    b.value.u.unsigned32 = 3000000000u;
  }
  header.type = SNMP_PDU_RESPONSE;
  response->length = buildPdu(response->buffer, response->capacity, header, bindings);
  return 0;
}

TEST_F(NetSnmp, GetThroughDispatch) {
  void *handle = registerSnmpResponder(&_snmp.snmpEngineID, -1, getResponder, nullptr);
  ASSERT_NE(handle, nullptr);
  Peer peer;
  peer.run(tool("snmpget", {"-v1", "-c", "public", peer.target(), "1.3.6.1.2.1.2.2.1.5.1"}));
  Netbuf in;
  ASSERT_TRUE(peer.receive(in));
  EXPECT_EQ(dispatchSnmpMsg(&in), 0) << _snmp.trace;
  peer.send(in);
  std::string output;
  EXPECT_EQ(peer.finish(output), 0) << output;
  EXPECT_NE(output.find(".1.3.6.1.2.1.2.2.1.5.1 = Gauge32: 3000000000"), std::string::npos) << output;
  unregisterSnmpResponder(handle, getResponder, nullptr);
}

}  // namespace
