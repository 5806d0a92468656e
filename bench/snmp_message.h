// The message both SNMP benchmarks encode and decode: an SNMPv2c GetResponse with 10 bindings
// of the common types, about 270 bytes on the wire.
#ifndef TELVI_BENCH_SNMP_MESSAGE_H
#define TELVI_BENCH_SNMP_MESSAGE_H

#include <cstdint>

namespace snmpbench {

enum Kind { kInteger, kString, kOid, kCounter, kTicks, kCounter64, kAddress, kGauge };

struct Binding {
  const char *oid;
  Kind kind;
  int64_t number;     // integers; Counter64 uses all 64 bits
  const char *text;   // strings (20 octets) and OIDs
};

constexpr const char *kCommunity = "public";
constexpr int32_t kRequestId = 0x12345;

inline const Binding kBindings[10] = {
    {"1.3.6.1.2.1.2.2.1.1.1", kInteger, 1, nullptr},
    {"1.3.6.1.2.1.2.2.1.2.1", kString, 0, "eth0 gigabit uplink!"},
    {"1.3.6.1.2.1.1.2.0", kOid, 0, "1.3.6.1.4.1.8072.3.2.10"},
    {"1.3.6.1.2.1.2.2.1.10.1", kCounter, 3000000000LL, nullptr},
    {"1.3.6.1.2.1.1.3.0", kTicks, 123456789, nullptr},
    {"1.3.6.1.2.1.31.1.1.1.6.1", kCounter64, 0x0123456789ABCDEFLL, nullptr},
    {"1.3.6.1.2.1.4.20.1.1.10.1.2.3", kAddress, 0x0A010203, nullptr},
    {"1.3.6.1.2.1.2.2.1.5.1", kGauge, 1000000000, nullptr},
    {"1.3.6.1.2.1.2.2.1.8.1", kInteger, -2, nullptr},
    {"1.3.6.1.2.1.1.5.0", kString, 0, "monitor-host.example"},
};

}  // namespace snmpbench

#endif
