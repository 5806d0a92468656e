// ICMP echo packets as the `icmp` package sends and accepts them: an echo request carries a
// script's tag as NUL-terminated text; a reply is accepted when it answers this process.
#ifndef TELVI_HOST_ICMP_H
#define TELVI_HOST_ICMP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telvi::icmp {

// The sequence number of every request.
constexpr uint16_t kSequence = 0xFEDC;

// The Internet checksum (RFC 1071) of the bytes, as a value to store in network byte order.
uint16_t checksum(const uint8_t *bytes, size_t length);

// Type 8, code 0, checksum, identifier, sequence, then the tag and one NUL byte.
std::vector<uint8_t> buildEchoRequest(uint16_t ident, std::string_view tag);

// Takes a whole IPv4 datagram as a raw socket returns it. When it is an echo reply to this
// identifier with a sound checksum, stores the tag (the payload up to its first NUL) and returns
// true; anything else returns false.
bool parseEchoReply(const uint8_t *datagram, size_t length, uint16_t ident, std::string &tag);

}  // namespace telvi::icmp

#endif
