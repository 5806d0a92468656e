// Number parsing with the value ranges of the agent's original 32-bit host, where long and
// unsigned long were 32 bits: out-of-range texts saturate as that host's strtol/strtoul did.
#ifndef TELVI_CORE_NUMPARSE_H
#define TELVI_CORE_NUMPARSE_H

#include <cstdint>

namespace telvi {

// As strtoul with base 0 on a 32-bit host: leading white space and a sign are accepted (a minus
// negates modulo 2^32); *end is text itself when no digit was read.
uint32_t strtoul32(const char *text, const char **end);
// As strtol with base 0 on a 32-bit host.
int32_t strtol32(const char *text, const char **end);

// The integer parse of "int", "uint", "short" and "char": white space, an optional sign, digits in
// base 0 (0x hexadecimal, leading-zero octal), white space. False when no digit is read, other text
// follows, or the value lies outside -2^31 .. 2^32-1: a text no 32-bit word can hold is refused
// rather than stored as some other number.
bool integerText(const char *text, int64_t &value);

// A whole word in decimal (strtol's syntax, no trailing text) that fits a long.
bool decimalWord(const char *text, long &value);

}  // namespace telvi

#endif
