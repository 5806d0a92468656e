#include "host/icmp.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using telvi::icmp::buildEchoRequest;
using telvi::icmp::checksum;
using telvi::icmp::parseEchoReply;

TEST(IcmpChecksum, Rfc1071ExampleAndOddLength) {
  const uint8_t bytes[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
  EXPECT_EQ(checksum(bytes, sizeof bytes), 0x220d);
  const uint8_t odd[] = {0x01, 0x02, 0x03};  // 0x0102 + 0x0300
  EXPECT_EQ(checksum(odd, sizeof odd), static_cast<uint16_t>(~0x0402));
}

TEST(IcmpEcho, RequestLayout) {
  std::vector<uint8_t> packet = buildEchoRequest(0x1234, "ab");
  ASSERT_EQ(packet.size(), 11u);
  EXPECT_EQ(packet[0], 8);
  EXPECT_EQ(packet[1], 0);
  EXPECT_EQ(packet[4] << 8 | packet[5], 0x1234);
  EXPECT_EQ(packet[6] << 8 | packet[7], 0xFEDC);
  EXPECT_EQ(std::memcmp(&packet[8], "ab", 3), 0);
  EXPECT_EQ(checksum(packet.data(), packet.size()), 0);  // a sound packet sums to zero

  std::vector<uint8_t> empty = buildEchoRequest(1, "");
  ASSERT_EQ(empty.size(), 9u);
  EXPECT_EQ(empty[8], 0);
}

// A reply as the raw socket hands it over: an IPv4 header of `ihl` words, then the ICMP message.
std::vector<uint8_t> reply(uint16_t ident, const std::string &tag, int ihl = 5) {
  std::vector<uint8_t> packet = buildEchoRequest(ident, tag);
  packet[0] = 0;
  packet[2] = packet[3] = 0;
  uint16_t sum = checksum(packet.data(), packet.size());
  packet[2] = static_cast<uint8_t>(sum >> 8);
  packet[3] = static_cast<uint8_t>(sum);
  std::vector<uint8_t> datagram(static_cast<size_t>(ihl) * 4, 0);
  datagram[0] = static_cast<uint8_t>(0x40 | ihl);
  datagram.insert(datagram.end(), packet.begin(), packet.end());
  return datagram;
}

TEST(IcmpEcho, AcceptsOnlyOwnSoundReplies) {
  std::string tag;
  std::vector<uint8_t> ok = reply(77, "host-a 17");
  ASSERT_TRUE(parseEchoReply(ok.data(), ok.size(), 77, tag));
  EXPECT_EQ(tag, "host-a 17");

  std::vector<uint8_t> options = reply(77, "x", 15);  // IP options move the message
  ASSERT_TRUE(parseEchoReply(options.data(), options.size(), 77, tag));
  EXPECT_EQ(tag, "x");

  std::vector<uint8_t> empty = reply(77, "");
  ASSERT_TRUE(parseEchoReply(empty.data(), empty.size(), 77, tag));
  EXPECT_EQ(tag, "");

  EXPECT_FALSE(parseEchoReply(ok.data(), ok.size(), 78, tag));  // another process's reply
  std::vector<uint8_t> corrupt = ok;
  corrupt.back() ^= 0x20;
  EXPECT_FALSE(parseEchoReply(corrupt.data(), corrupt.size(), 77, tag));
  std::vector<uint8_t> request = ok;
  request[20] = 8;
  EXPECT_FALSE(parseEchoReply(request.data(), request.size(), 77, tag));
  std::vector<uint8_t> sequence = ok;
  sequence[27] ^= 1;
  EXPECT_FALSE(parseEchoReply(sequence.data(), sequence.size(), 77, tag));
  for (size_t length : {size_t{0}, size_t{1}, size_t{20}, size_t{27}})
    EXPECT_FALSE(parseEchoReply(ok.data(), length, 77, tag)) << length;
  std::vector<uint8_t> longHeader = ok;
  longHeader[0] = 0x4F;  // header claims 60 bytes of the 30
  EXPECT_FALSE(parseEchoReply(longHeader.data(), 30, 77, tag));
}

}  // namespace
