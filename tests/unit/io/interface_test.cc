// The interface registry's C interface: URL parts, spec fields, the registry, and classes driven
// directly (datagrams with peers, pipes, path look-up).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../test_support.h"
#include "io/intsyslog.h"
#include "telvi/interface.h"
#include "telvi/package.h"

namespace {

using testsupport::take;

class InterfaceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Intfile_InitInternal();
    Intpipe_InitInternal();
    Intinet_InitInternal();
    Intunix_InitInternal();
    Intsyslog_InitInternal();
  }
};

TEST_F(InterfaceTest, UrlParts) {
  const char *url = "inet://host.example:161/udp;linger=5;Type=listener?q#f";
  EXPECT_EQ(take(getURLScheme(url)), "inet");
  EXPECT_EQ(take(getURLHost(url)), "host.example");
  EXPECT_EQ(take(getURLPort(url)), "161");
  EXPECT_EQ(take(getURLResource(url)), "udp");
  EXPECT_EQ(take(getURLParam(url, "type")), "listener");  // names compare in any case
  EXPECT_EQ(take(getURLParam(url, "linger")), "5");
  EXPECT_EQ(take(getURLParam(url, "q")), "<none>");
  EXPECT_EQ(take(getURLHost("file:///x")), "<none>");
  EXPECT_EQ(take(getURLPort("inet://:/tcp")), "<none>");
  EXPECT_EQ(take(getURLResource("inet://host")), "<none>");
  EXPECT_EQ(take(getURLParam("file://localhost/x;flags=;mode=644", "flags")), "<none>");
  EXPECT_EQ(take(getURLScheme("file:/x")), "<none>");  // a spec, no URL
  EXPECT_EQ(isURL(nullptr), 0);
}

TEST_F(InterfaceTest, SpecFieldsTreatEmptyAsAbsent) {
  const char *cursor = "a::c";
  EXPECT_EQ(take(stringParse(&cursor, ':')), "a");
  EXPECT_EQ(take(stringParse(&cursor, ':')), "<none>");
  EXPECT_EQ(take(stringParse(&cursor, ':')), "c");
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(take(stringParse(&cursor, ':')), "<none>");
}

TEST_F(InterfaceTest, RegisteringANameAgainReplacesTheClass) {
  static const intClass first = {"unittest", nullptr, nullptr, nullptr, nullptr,
                                 nullptr,    nullptr, nullptr, nullptr, nullptr};
  static const intClass second = first;
  EXPECT_EQ(interfaceRegister(&first), 0);
  EXPECT_EQ(interfaceFindClass("unittest"), &first);
  EXPECT_EQ(interfaceRegister(&second), 0);
  EXPECT_EQ(interfaceFindClass("unittest"), &second);
  EXPECT_EQ(interfaceOpen("unittest:x"), -1);  // a class without open
  EXPECT_EQ(interfaceOpen("nosuchscheme://localhost/x"), -1);
  EXPECT_EQ(errno, EPROTONOSUPPORT);
  // An empty name is no request at all, not a scheme that nobody serves.
  EXPECT_EQ(interfaceOpen(""), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(interfaceRegister(nullptr), -1);
}

TEST_F(InterfaceTest, DefaultsForUnknownDescriptors) {
  EXPECT_EQ(interfaceClose(200), -1);
  EXPECT_STREQ(interfaceType(200), "regular");
  EXPECT_EQ(interfaceAcceptConnection(200), 0);
  EXPECT_EQ(interfaceValidateFD(200), 0);
  EXPECT_EQ(interfaceInfo(-1, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), -1);
  EXPECT_EQ(interfaceRemove("desc:1"), -1);  // desc has no remove
}

TEST_F(InterfaceTest, FileValidationNoticesRemoval) {
  testsupport::TempDir dir;
  std::string path = dir.file("f");
  int fd = interfaceOpen(("file:" + path + ":w").c_str());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(interfaceWrite(fd, "abc", 3, nullptr), 3);
  EXPECT_EQ(interfaceValidateFD(fd), 0);
  EXPECT_EQ(interfaceRemove(("file:" + path).c_str()), 0);
  EXPECT_EQ(interfaceValidateFD(fd), -1);
  EXPECT_EQ(interfaceClose(fd), 0);
  EXPECT_EQ(interfaceRecord(fd), nullptr);
}

TEST_F(InterfaceTest, InterfacePathLookUp) {
  testsupport::TempDir dir;
  std::string file = dir.file("present");
  close(creat(file.c_str(), 0600));
  setenv("INTERFACE_PATH", ("/nonexistent " + dir.path()).c_str(), 1);
  EXPECT_EQ(std::string(intFileFromInterfacePath("present", 0)), file);
  EXPECT_EQ(std::string(intFileFromInterfacePath("absent", 0)), "absent");
  EXPECT_EQ(std::string(intFileFromInterfacePath("absent", 1)), "/nonexistent/absent");
  EXPECT_EQ(std::string(intFileFromInterfacePath("/abs", 0)), "/abs");
  unsetenv("INTERFACE_PATH");
  EXPECT_EQ(std::string(intFileFromInterfacePath("x", 1)), "./x");
}

TEST_F(InterfaceTest, DatagramsCarryTheirPeer) {
  int server = interfaceOpen("inet:udp::0::listener:");
  ASSERT_GE(server, 0);
  const char *spec;
  ASSERT_EQ(interfaceInfo(server, nullptr, nullptr, nullptr, &spec, nullptr, nullptr), 0);
  std::string port = std::string(spec).substr(std::strlen("inet:udp::"));
  port = port.substr(0, port.find(':'));
  int client = interfaceOpen(("inet:udp:localhost:" + port).c_str());
  ASSERT_GE(client, 0);
  EXPECT_EQ(interfaceWrite(client, "hi", 2, nullptr), 2);
  char buf[16];
  intPeer peer{};
  ASSERT_EQ(interfaceRead(server, buf, sizeof buf, &peer), 2);
  EXPECT_EQ(std::string(peer.cls->name), "inet");
  EXPECT_EQ(peer.addr.sin_family, AF_INET);
  // The reply goes back to the sender through the peer record.
  EXPECT_EQ(interfaceWrite(server, "yo", 2, &peer), 2);
  ASSERT_EQ(interfaceRead(client, buf, sizeof buf, nullptr), 2);
  EXPECT_EQ(std::string(buf, 2), "yo");
  interfaceClose(client);
  interfaceClose(server);
}

TEST_F(InterfaceTest, PipeRecordsBothDescriptors) {
  int fd = interfaceOpen("pipe:cat");
  ASSERT_GE(fd, 0);
  int fd2, fdError, pid;
  ASSERT_EQ(interfaceInfo(fd, &fd2, &fdError, nullptr, nullptr, nullptr, &pid), 0);
  // The write end has a record of its own that names the same pipe, so either descriptor finds it.
  const intStruct *second = interfaceRecord(fd2);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, interfaceRecord(fd));
  EXPECT_EQ(second->fd, fd);
  EXPECT_EQ(second->pid, pid);
  EXPECT_STREQ(second->spec, interfaceRecord(fd)->spec);
  EXPECT_EQ(interfaceWrite(fd2, "x\n", 2, nullptr), 2);
  char buf[8];
  EXPECT_EQ(interfaceRead(fd, buf, sizeof buf, nullptr), 2);
  EXPECT_EQ(interfaceClose(fd), 0);
  EXPECT_EQ(interfaceRecord(fd2), nullptr);
  EXPECT_EQ(kill(pid, 0), -1);  // stopped and reaped
}

TEST_F(InterfaceTest, SyslogSettingsAreFixedByTheFirstOpen) {
  int a = interfaceOpen("syslog:LOG_INFO:unitapp:LOG_LOCAL3:LOG_PID");
  int b = interfaceOpen("syslog:LOG_INFO:other:LOG_LOCAL4:LOG_CONS");
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_EQ(b, a - 1);
  telvi::io::SyslogSettings settings = telvi::io::syslogSettings();
  EXPECT_EQ(settings.application, "unitapp");
  EXPECT_EQ(settings.facility, 152);
  EXPECT_EQ(settings.options, 1);
  interfaceClose(b);
  interfaceClose(a);
  int c = interfaceOpen("syslog:LOG_DEBUG");
  EXPECT_EQ(c, 255);  // the countdown starts again after a close
  interfaceClose(c);
}

}  // namespace
