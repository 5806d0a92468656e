#include "core/numparse.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace telvi {
namespace {

// Reads white space, a sign and the digits (base 0) as an unsigned magnitude; saturated is set when
// the magnitude does not fit 32 bits.
uint64_t magnitude(const char *text, const char **end, bool *negative, bool *saturated) {
  const char *p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  *negative = false;
  *saturated = false;
  if (*p == '+' || *p == '-') *negative = *p++ == '-';
  if (!std::isdigit(static_cast<unsigned char>(*p))) {
    *end = text;
    return 0;
  }
  char *stop;
  errno = 0;
  unsigned long long value = std::strtoull(p, &stop, 0);
  *end = stop;
  if (errno == ERANGE || value > UINT32_MAX) *saturated = true;
  return value;
}

}  // namespace

uint32_t strtoul32(const char *text, const char **end) {
  bool negative, saturated;
  uint64_t value = magnitude(text, end, &negative, &saturated);
  if (saturated) return UINT32_MAX;
  uint32_t result = static_cast<uint32_t>(value);
  return negative ? 0u - result : result;
}

int32_t strtol32(const char *text, const char **end) {
  bool negative, saturated;
  uint64_t value = magnitude(text, end, &negative, &saturated);
  if (negative) return saturated || value > 0x80000000ull ? INT32_MIN : static_cast<int32_t>(0 - value);
  return saturated || value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
}

bool integerText(const char *text, int64_t &value) {
  if (text == nullptr) return false;
  const char *p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // strtoull would take a second sign or white space here; only digits may follow the sign.
  if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  char *stop;
  errno = 0;
  unsigned long long magnitude = std::strtoull(p, &stop, 0);
  if (errno == ERANGE) return false;
  while (std::isspace(static_cast<unsigned char>(*stop))) ++stop;
  if (*stop != '\0') return false;
  if (negative ? magnitude > 0x80000000ull : magnitude > UINT32_MAX) return false;
  value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool decimalWord(const char *text, long &value) {
  char *end;
  errno = 0;
  long number = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || errno != 0) return false;
  value = number;
  return true;
}

}  // namespace telvi
