// libFuzzer target: display-hint parsing and formatting, and OID text. The input is a hint, a
// zero octet, and the text to parse.
//   - Octets the parser reads from a whole text show under the hint as a text that reads back to
//     the same octets and shows the same again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "telvi/snmp.h"

namespace {

[[noreturn]] void fail(const char *what, const std::string &hint, const std::string &a, const std::string &b) {
  std::fprintf(stderr, "%s\n  hint:   \"%s\"\n  first:  \"%s\"\n  second: \"%s\"\n", what, hint.c_str(),
               a.c_str(), b.c_str());
  std::abort();
}

}  // namespace

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
  if (n >= 0 && *end == 0) {
    static char shown[8192], again[8192];
    unsigned char back[64];
    if (snmpHintFormatOctets(hint.c_str(), octets, static_cast<uint32_t>(n), shown, sizeof shown) < 0)
      fail("octets read under a hint do not show under it", hint, text, "");
    const char *stop;
    int m = snmpHintParseOctets(hint.c_str(), shown, back, sizeof back, &stop);
    if (m != n || *stop != 0 || std::memcmp(back, octets, static_cast<size_t>(n)) != 0)
      fail("the text of octets read under a hint reads back to other octets", hint, text, shown);
    snmpHintFormatOctets(hint.c_str(), back, static_cast<uint32_t>(m), again, sizeof again);
    if (std::strcmp(shown, again) != 0) fail("octets read back show another text", hint, shown, again);
  }
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
