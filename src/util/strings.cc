// Heap strings with append and tokenising.
#include <cstdlib>
#include <cstring>

#include "telvi/util.h"

extern "C" {

char *strCreate(const char *text) { return text != nullptr ? strdup(text) : nullptr; }

void strDestroy(char **string) {
  if (string == nullptr || *string == nullptr) return;
  std::free(*string);
  *string = nullptr;
}

char *strAppend(const char *first, const char *second) {
  if (first == nullptr || second == nullptr) return nullptr;
  size_t firstLength = std::strlen(first), secondLength = std::strlen(second);
  char *result = static_cast<char *>(std::malloc(firstLength + secondLength + 1));
  if (result == nullptr) return nullptr;
  std::memcpy(result, first, firstLength);
  std::memcpy(result + firstLength, second, secondLength + 1);
  return result;
}

char **strToken(char *text, const char *delimiters, int *count) {
  if (count != nullptr) *count = 0;
  if (text == nullptr || delimiters == nullptr) return nullptr;
  // Count on a copy first, then cut the tokens out of the text itself.
  char *copy = strdup(text);
  if (copy == nullptr) return nullptr;
  int tokens = 0;
  char *state;
  for (char *token = strtok_r(copy, delimiters, &state); token != nullptr;
       token = strtok_r(nullptr, delimiters, &state))
    ++tokens;
  std::free(copy);
  if (count != nullptr) *count = tokens;
  // One slot more than the tokens: the array ends with a null pointer.
  char **array = static_cast<char **>(std::malloc(sizeof(char *) * (static_cast<size_t>(tokens) + 1)));
  if (array == nullptr) return nullptr;
  int i = 0;
  for (char *token = strtok_r(text, delimiters, &state); token != nullptr && i < tokens;
       token = strtok_r(nullptr, delimiters, &state))
    array[i++] = token;
  array[i] = nullptr;
  return array;
}

}  // extern "C"
