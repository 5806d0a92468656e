// The printable escape form of byte strings: "<number>" for a byte, other characters as themselves.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "telvi/util.h"

extern "C" {

int scanStringToBinary(const char *text, unsigned char *bytes, int *length) {
  if (length != nullptr) *length = 0;
  if (text == nullptr || bytes == nullptr) return -1;
  int count = 0;
  const char *p = text;
  while (*p != '\0') {
    // "<" with at least one character before the next ">" is a character code; "<>" is two bytes.
    if (p[0] == '<' && p[1] != '>' && p[1] != '\0') {
      const char *start = p + 1;
      size_t codeLength = std::strcspn(start, ">");
      std::string code(start, codeLength);
      // The code starts with an integer of automatic base; what follows the number is ignored.
      char *end;
      long value = std::strtol(code.c_str(), &end, 0);
      if (end == code.c_str()) {
        std::fprintf(stderr, "error parsing character code: <%s>\n", code.c_str());
        return -1;
      }
      bytes[count++] = static_cast<unsigned char>(value & 0xFF);
      p = start + codeLength;
      if (*p == '>') ++p;  // an unclosed code ends with the text
    } else {
      bytes[count++] = static_cast<unsigned char>(*p++);
    }
  }
  if (length != nullptr) *length = count;
  return count;
}

int scanBinaryToString(const unsigned char *bytes, int length, char *text) {
  if (text == nullptr) return -1;
  char *p = text;
  for (int i = 0; bytes != nullptr && i < length; ++i) {
    unsigned char byte = bytes[i];
    if (byte < 32 || byte == 127) p += std::sprintf(p, "<0x%X>", byte);
    else *p++ = static_cast<char>(byte);
  }
  *p = '\0';
  return 0;
}

int scanBinaryToken(const unsigned char *buffer, int length, const unsigned char *token, int tokenLength) {
  if (buffer == nullptr || token == nullptr || length <= 0 || tokenLength <= 0) return -1;
  const unsigned char *end = buffer + length;
  const unsigned char *candidate = buffer;
  while ((candidate = static_cast<const unsigned char *>(
              std::memchr(candidate, token[0], static_cast<size_t>(end - candidate)))) != nullptr) {
    if (end - candidate < tokenLength) return -1;
    if (std::memcmp(candidate, token, static_cast<size_t>(tokenLength)) == 0)
      return static_cast<int>(candidate - buffer);
    ++candidate;
  }
  return -1;
}

}  // extern "C"
