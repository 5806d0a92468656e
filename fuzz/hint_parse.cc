// libFuzzer target: display-hint parsing and formatting, and OID text. The input is a hint, a
// zero octet, and the text to parse.
#include <cstdint>
#include <cstring>
#include <string>

#include "telvi/snmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const uint8_t *zero = static_cast<const uint8_t *>(memchr(data, 0, size));
  std::string hint(reinterpret_cast<const char *>(data), zero ? static_cast<size_t>(zero - data) : size);
  std::string text;
  if (zero) text.assign(reinterpret_cast<const char *>(zero + 1), size - static_cast<size_t>(zero + 1 - data));
  text = text.c_str();  // up to its first zero octet

  unsigned char octets[64];
  const char *end;
  int n = snmpHintParseOctets(hint.c_str(), text.c_str(), octets, sizeof octets, &end);
  char out[300];
  if (n >= 0) snmpHintFormatOctets(hint.c_str(), octets, static_cast<uint32_t>(n), out, sizeof out);
  // Formatting the raw text too, into small and large rooms.
  for (uint32_t room : {1u, 7u, 300u})
    snmpHintFormatOctets(hint.c_str(), reinterpret_cast<const unsigned char *>(text.data()),
                         static_cast<uint32_t>(text.size()), out, room);
  uint64_t value;
  for (int isSigned : {0, 1}) {
    if (snmpHintParseInteger(hint.c_str(), text.c_str(), &value, isSigned, &end) == 0)
      snmpHintFormatInteger(hint.c_str(), value, isSigned, out, sizeof out);
  }
  Oid oid;
  strtooid(text.c_str(), &end, oid);
  char oidText[ASN1_MAX_ARCS * 11 + 1];
  oidtostr(oid, oidText, sizeof oidText);
  return 0;
}
