// The built-in layer classes of intrafaces and the "sin" encoding's two directions.
#ifndef TELVI_IO_INTRAFACE_CLASSES_H
#define TELVI_IO_INTRAFACE_CLASSES_H

#include <cstddef>
#include <string>

namespace telvi::io {

// The filler bits of every "sin" text come from a generator started at this value.
constexpr unsigned int kSinStart = 1;

// The ways to the same result: the fastest this machine has, the block path without vector
// instructions of its own, the generic path a byte (a group) at a time. For tests.
enum class SinPath { Best, Plain, Generic };

// "!#sin\n", four characters 'J'..'Y' per byte (even bits the byte, odd bits filler, low nibble
// first), lines of a length that follows a sine, and a final newline.
void sinEncode(const unsigned char *in, size_t len, std::string &out, SinPath path = SinPath::Best);
// Rebuilds the bytes from every group of four characters that starts with 'J'..'Z', skipping the
// rest; false for a group cut short or holding a character outside 'J'..'Y'.
bool sinDecode(const char *in, size_t len, std::string &out, SinPath path = SinPath::Best);

// Registers "type", "tid", "tsid", "sin", "eot", "eotn", "shell", in this order.
void registerIntrafaceClasses();

}  // namespace telvi::io

#endif
