#include "host/icmp.h"

#include <cstring>

namespace telvi::icmp {

uint16_t checksum(const uint8_t *bytes, size_t length) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2) sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (i < length) sum += static_cast<uint32_t>(bytes[i] << 8);
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

namespace {

void put16(uint8_t *at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value & 0xFF);
}

uint16_t get16(const uint8_t *at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

}  // namespace

std::vector<uint8_t> buildEchoRequest(uint16_t ident, std::string_view tag) {
  std::vector<uint8_t> packet(8 + tag.size() + 1, 0);
  packet[0] = 8;
  put16(&packet[4], ident);
  put16(&packet[6], kSequence);
  if (!tag.empty()) std::memcpy(&packet[8], tag.data(), tag.size());
  put16(&packet[2], checksum(packet.data(), packet.size()));
  return packet;
}

bool parseEchoReply(const uint8_t *datagram, size_t length, uint16_t ident, std::string &tag) {
  if (datagram == nullptr || length == 0) return false;
  size_t header = static_cast<size_t>(datagram[0] & 0x0F) * 4;
  if (length < header + 8) return false;
  std::vector<uint8_t> icmp(datagram + header, datagram + length);
  if (icmp[0] != 0 || get16(&icmp[4]) != ident || get16(&icmp[6]) != kSequence) return false;
  uint16_t received = get16(&icmp[2]);
  put16(&icmp[2], 0);
  if (checksum(icmp.data(), icmp.size()) != received) return false;
  const char *payload = reinterpret_cast<const char *>(icmp.data() + 8);
  tag.assign(payload, strnlen(payload, icmp.size() - 8));
  return true;
}

}  // namespace telvi::icmp
