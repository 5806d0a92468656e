#include "host/ssi.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <tuple>

namespace {

namespace ssi = telvi::ssi;

TEST(SsiCpu, ParsesTheSummedLine) {
  ssi::CpuTicks t;
  ASSERT_TRUE(ssi::parseCpuTicks("cpu  10 2 30 400 5 6 7 8 9 0\ncpu0 1 1 1 1 1 1 1 1 1 1\n", t));
  // user + nice, system + irq + softirq, idle, iowait, steal.
  EXPECT_EQ(std::tuple(t.user, t.kernel, t.idle, t.wait, t.wait2), std::tuple(12u, 43u, 400u, 5u, 8u));
  EXPECT_TRUE(ssi::parseCpuTicks("cpu 1 2 3 4", t));  // older kernels: four counters
  EXPECT_FALSE(ssi::parseCpuTicks("cpu0 1 2 3 4 5", t));
  EXPECT_FALSE(ssi::parseCpuTicks("cpu 1 x 3 4 5", t));
  EXPECT_FALSE(ssi::parseCpuTicks("", t));
}

TEST(SsiCpu, SharesOfTheChange) {
  ssi::CpuTicks before{100, 100, 100, 100, 100};
  ssi::CpuShares none = ssi::cpuShares(before, before);
  EXPECT_EQ(none.idle, 100.0);
  EXPECT_EQ(none.busy + none.system + none.user, 0.0);

  // idle 2, user 1, kernel 0, waits 0: idle 666.67 -> 667 tenths, user 333.
  ssi::CpuTicks after{102, 101, 100, 100, 100};
  ssi::CpuShares s = ssi::cpuShares(before, after);
  EXPECT_EQ(std::tuple(s.idle, s.busy, s.user, s.system), std::tuple(66.7, 33.3, 33.3, 0.0));

  // Kernel and both waits make up the system share; a counter that stepped back adds nothing.
  ssi::CpuTicks more{110, 110, 110, 110, 110};
  ssi::CpuTicks back{120, 120, 120, 105, 120};
  s = ssi::cpuShares(more, back);
  EXPECT_EQ(std::tuple(s.idle, s.system), std::tuple(25.0, 50.0));
}

TEST(SsiParsers, SwapNetDevTcp) {
  ssi::Swap swap;
  ASSERT_TRUE(ssi::parseSwap("MemTotal: 100 kB\nSwapTotal:  2000 kB\nSwapFree:   500 kB\n", swap));
  EXPECT_EQ(std::tuple(swap.total, swap.available, swap.usedPercent), std::tuple(2000L, 500L, 75.0));
  ASSERT_TRUE(ssi::parseSwap("SwapTotal: 0 kB\nSwapFree: 0 kB\n", swap));
  EXPECT_EQ(swap.usedPercent, 0.0);
  EXPECT_FALSE(ssi::parseSwap("MemTotal: 100 kB\n", swap));

  const char *netDev =
      "Inter-|   Receive                                                |  Transmit\n"
      " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
      "drop fifo colls carrier compressed\n"
      "    lo:  100 0 0 0 0 0 0 0 100 0 0 0 0 0 0 0\n"
      "  eth0: 5000 200 3 0 0 0 0 0 4000 50 1 0 0 2 0 0\n";
  std::vector<ssi::NetIf> netifs;
  ASSERT_TRUE(ssi::parseNetDev(netDev, netifs));
  ASSERT_EQ(netifs.size(), 2u);
  EXPECT_EQ(netifs[0].name, "lo");
  EXPECT_EQ(netifs[0].inErrors + netifs[0].outErrors + netifs[0].collisions, 0.0);
  EXPECT_EQ(std::tuple(netifs[1].name, netifs[1].inErrors, netifs[1].outErrors, netifs[1].collisions),
            std::tuple("eth0", 1.5, 2.0, 4.0));
  EXPECT_FALSE(ssi::parseNetDev("h\nh\n  eth0: 1 2 3\n", netifs));

  const char *tcp =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
      "   0: 00000000:0016 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0\n"
      "   1: 0100007F:9C40 0100007F:0016 01 00000000:00000000 00:00000000 00000000     0\n"
      "   2: 0100007F:0016 0100007F:9C40 01 00000000:00000000 00:00000000 00000000     0\n"
      "   3: 0100007F:0016 0100007F:9C41 06 00000000:00000000 00:00000000 00000000     0\n"
      "   4: 0100007F:0016 0100007F:9C42 0C 00000000:00000000 00:00000000 00000000     0\n"
      "   5: 0100007F:0016 0100007F:9C43 0D 00000000:00000000 00:00000000 00000000     0\n";
  ssi::TcpStates states{};
  ssi::countTcpStates(tcp, states);
  ssi::TcpStates expected{0, 1, 0, 1, 2, 0, 0, 0, 0, 0, 1, 5};
  EXPECT_EQ(states, expected);
}

TEST(SsiErrors, TextsAndLocalTypes) {
  EXPECT_STREQ(ssi::ssiError(23), "Could not get TCP socket information from system.");
  EXPECT_STREQ(ssi::ssiError(24), "");
  errno = ENOENT;
  EXPECT_STREQ(ssi::ssiError(-1), std::strerror(ENOENT));
  for (const char *type : {"ext4", "xfs"}) EXPECT_TRUE(ssi::isLocalDiskType(type)) << type;
  for (const char *type : {"tmpfs", "nfs", "ext"}) EXPECT_FALSE(ssi::isLocalDiskType(type)) << type;
}

TEST(SsiSource, InitOnceAndCpuNeedsIt) {
  ssi::ssiCleanup();
  ssi::CpuShares shares;
  EXPECT_EQ(ssi::ssiGetCPUStates(shares), ssi::kNotInitialized);
  ASSERT_EQ(ssi::ssiInit(), ssi::kOk);
  EXPECT_EQ(ssi::ssiInit(), ssi::kAlreadyInitialized);
  EXPECT_EQ(ssi::ssiGetCPUStates(shares), ssi::kOk);  // since boot: some ticks elapsed
  EXPECT_NEAR(shares.idle + shares.busy, 100.0, 0.05);
  EXPECT_NEAR(shares.system + shares.user, shares.busy, 0.35);
}

}  // namespace
