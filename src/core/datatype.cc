// The data-type registry and the built-in types with their text forms.
#include "telvi/datatype.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/numparse.h"

namespace {

// ---- to-string helpers: allocate when *string is null, otherwise write into the given buffer ----

char *target(char **string, size_t size) {
  if (string == nullptr) return nullptr;
  if (*string == nullptr) *string = static_cast<char *>(std::malloc(size));
  return *string;
}

template <typename... Args>
int printTo(char **string, size_t size, const char *format, Args... args) {
  char *text = target(string, size);
  if (text == nullptr) return -1;
  std::snprintf(text, size, format, args...);
  return 0;
}

int copyTo(char **string, const char *text, size_t length) {
  char *out = target(string, length + 1);
  if (out == nullptr) return -1;
  std::memcpy(out, text, length);
  out[length] = '\0';
  return 0;
}

bool wholeText(const char *text, const char *end) { return end != text && *end == '\0'; }

constexpr size_t kIntText = 64;
constexpr size_t kRealText = 128;

// ---- numbers ----

// The to-string operation of a number held as Stored and printed as Shown with Format.
template <typename Stored, typename Shown, const char *Format, size_t Size = kIntText>
int printNumber(void *binary, char **string) {
  if (binary == nullptr) return -1;
  Stored value;
  std::memcpy(&value, binary, sizeof value);
  return printTo(string, Size, Format, static_cast<Shown>(value));
}

// Types read with the integer parse and kept in Stored's width. "uint" refuses a text that starts
// with a minus; "int" refuses what a signed word cannot hold (so 4294967295 is no silent -1);
// "short" and "char" keep the low bits of any 32-bit value.
template <typename Stored, bool NoMinus = false, bool SignedWord = false>
int parseInteger(void *binary, const char *text) {
  int64_t value;
  if (binary == nullptr || text == nullptr || (NoMinus && text[0] == '-')) return -1;
  if (!telvi::integerText(text, value) || (SignedWord && value > INT32_MAX)) return -1;
  Stored stored = static_cast<Stored>(static_cast<uint32_t>(value));
  std::memcpy(binary, &stored, sizeof stored);
  return 0;
}

// Types read with a strtol-like function that must consume the whole text; the unsigned ones
// refuse a text that starts with a minus.
template <typename Stored, auto Parse, bool NoMinus = false>
int parseWhole(void *binary, const char *text) {
  if (binary == nullptr || text == nullptr || (NoMinus && text[0] == '-')) return -1;
  const char *end;
  Stored value = Parse(text, &end);
  if (!wholeText(text, end)) return -1;
  std::memcpy(binary, &value, sizeof value);
  return 0;
}

int32_t parseLong(const char *text, const char **end) { return telvi::strtol32(text, end); }
uint32_t parseUlong(const char *text, const char **end) { return telvi::strtoul32(text, end); }
int64_t parseLonglong(const char *text, const char **end) {
  return std::strtoll(text, const_cast<char **>(end), 0);
}
uint64_t parseUlonglong(const char *text, const char **end) {
  return std::strtoull(text, const_cast<char **>(end), 0);
}
// "%.4g" rounds the largest finite reals up past the range ("1.798e+308", "3.403e+38"): a text beyond
// the range by no more than that rounding reads as the largest value, so that what "double" and
// "float" print reads back.
template <typename Real>
Real withinPrintedRange(Real value, const char *text) {
  if (!std::isinf(value)) return value;
  long double exact = std::strtold(text, nullptr);
  long double largest = std::numeric_limits<Real>::max();
  if (std::isinf(exact) || std::fabs(exact) > largest * 1.0005L) return value;
  return std::signbit(value) ? -std::numeric_limits<Real>::max() : std::numeric_limits<Real>::max();
}

double parseDouble(const char *text, const char **end) {
  return withinPrintedRange(std::strtod(text, const_cast<char **>(end)), text);
}

constexpr char kSigned[] = "%d";
constexpr char kUnsigned[] = "%u";
constexpr char kLong[] = "%ld";
constexpr char kUlong[] = "%lu";
constexpr char kLonglong[] = "%lld";
constexpr char kUlonglong[] = "%llu";
constexpr char kReal[] = "%.4g";

int floatFrom(void *binary, const char *text) {
  float value;
  if (binary == nullptr || text == nullptr || std::sscanf(text, "%f", &value) != 1) return -1;
  *static_cast<float *>(binary) = withinPrintedRange(value, text);
  return 0;
}
int floatTo(void *binary, char **string) {
  if (binary == nullptr) return -1;
  double value = *static_cast<float *>(binary);
  char text[kRealText];
  std::snprintf(text, sizeof text, "%.4g", value);
  // A whole number keeps one decimal so that it still reads as a real: 3 prints as 3.0.
  bool digitsOnly = text[0] != '\0' && std::strspn(text, "0123456789") == std::strlen(text);
  return printTo(string, kRealText, digitsOnly ? "%.1f" : "%.4g", value);
}

// ---- pointers and characters ----

int pointerFrom(void *binary, const char *text) {
  if (binary == nullptr || text == nullptr) return -1;
  void *value;
  if (std::strcmp(text, "(nil)") == 0) value = nullptr;  // how %p prints a null pointer
  else if (std::sscanf(text, "%p", &value) != 1) return -1;
  *static_cast<void **>(binary) = value;
  return 0;
}
int pointerTo(void *binary, char **string) {
  return binary ? printTo(string, 256, "%p", *static_cast<void **>(binary)) : -1;
}

int ppcharFrom(void *binary, const char *text) {
  if (binary == nullptr || text == nullptr) return -1;
  char *copy = strdup(text);
  if (copy == nullptr) return -1;
  char **held = static_cast<char **>(binary);
  std::free(*held);
  *held = copy;
  return 0;
}
int ppcharTo(void *binary, char **string) {
  if (binary == nullptr) return -1;
  const char *held = *static_cast<char **>(binary);
  if (held == nullptr) held = "";
  return copyTo(string, held, std::strlen(held));
}
void ppcharDestroy(void *binary) {
  if (binary == nullptr) return;
  char **held = static_cast<char **>(binary);
  std::free(*held);
  *held = nullptr;
}

// "pchar" keeps the characters in the binary itself, which has the type's fixed size: a text that
// does not fit with its terminator is refused rather than written past the binary.
constexpr uint32_t kPcharSize = 4;
int pcharFrom(void *binary, const char *text) {
  if (binary == nullptr || text == nullptr) return -1;
  size_t length = std::strlen(text);
  if (length + 1 > kPcharSize) return -1;
  std::memcpy(binary, text, length + 1);
  return 0;
}
int pcharTo(void *binary, char **string) {
  if (binary == nullptr) return -1;
  const char *chars = static_cast<const char *>(binary);
  return copyTo(string, chars, strnlen(chars, kPcharSize - 1));
}

int booleanFrom(void *binary, const char *text) {
  if (binary == nullptr || text == nullptr) return -1;
  bool yes = strncasecmp(text, "true", 4) == 0 || strncasecmp(text, "yes", 3) == 0 ||
             strncasecmp(text, "on", 2) == 0;
  *static_cast<uint8_t *>(binary) = yes ? 1 : 0;
  return 0;
}
int booleanTo(void *binary, char **string) {
  return binary ? printTo(string, 6, "%s", *static_cast<uint8_t *>(binary) ? "TRUE" : "FALSE") : -1;
}

// ---- lists and counted strings ----

int stringListFrom(void *binary, const char *text) {
  return stringListCvtStringToStringList(static_cast<stringList *>(binary), text);
}
int stringListTo(void *binary, char **string) {
  if (binary == nullptr) return -1;
  const stringList *list = static_cast<const stringList *>(binary);
  size_t length = 0;
  for (int32_t i = 0; i < list->count; ++i) length += std::strlen(list->items[i]) + 3;
  char *out = target(string, length + 1);
  if (out == nullptr) return -1;
  char *p = out;
  for (int32_t i = 0; i < list->count; ++i) {
    if (i > 0) *p++ = '\n';
    *p++ = '"';
    size_t itemLength = std::strlen(list->items[i]);
    std::memcpy(p, list->items[i], itemLength);
    p += itemLength;
    *p++ = '"';
  }
  *p = '\0';
  return 0;
}
void stringListDestroyBinary(void *binary) {
  if (binary != nullptr) stringListFree(static_cast<stringList *>(binary));
}

int stringFrom(void *binary, const char *text) {
  if (binary == nullptr || text == nullptr) return -1;
  cvtString *string = static_cast<cvtString *>(binary);
  size_t length = std::strlen(text);
  if (length > 0) return cvtStringSet(string, text, static_cast<uint32_t>(length));
  char *empty = static_cast<char *>(std::calloc(1, 1));
  if (empty == nullptr) return -1;
  std::free(string->buffer);
  string->buffer = empty;
  string->length = 0;
  return 0;
}
int stringTo(void *binary, char **string) {
  if (binary == nullptr) return -1;
  const cvtString *value = static_cast<const cvtString *>(binary);
  if (value->buffer == nullptr) return copyTo(string, "", 0);
  return copyTo(string, value->buffer, std::strlen(value->buffer));
}
void counterDestroy(void *binary) {
  if (binary == nullptr) return;
  cvtString *string = static_cast<cvtString *>(binary);
  std::free(string->buffer);
  string->buffer = nullptr;
  string->length = 0;
}

int octetFrom(void *binary, const char *text) {
  if (binary == nullptr || text == nullptr) return -1;
  size_t room = std::strlen(text) + 1;
  unsigned char *bytes = static_cast<unsigned char *>(std::malloc(room));
  int length = 0;
  if (bytes == nullptr || HexToBin(text, bytes, &length) != 0) {
    std::free(bytes);
    return -1;
  }
  bytes[length] = 0;
  cvtString *string = static_cast<cvtString *>(binary);
  std::free(string->buffer);
  string->buffer = reinterpret_cast<char *>(bytes);
  string->length = static_cast<uint32_t>(length);
  return 0;
}
int octetTo(void *binary, char **string) {
  if (binary == nullptr) return -1;
  const cvtString *value = static_cast<const cvtString *>(binary);
  if (value->buffer == nullptr) return copyTo(string, "", 0);
  char *out = target(string, 3 * static_cast<size_t>(value->length) + 1);
  if (out == nullptr) return -1;
  return BinToHex(reinterpret_cast<const unsigned char *>(value->buffer), static_cast<int>(value->length), out);
}

int alwaysFailsFrom(void *, const char *) { return -1; }
int alwaysFailsTo(void *, char **) { return -1; }

// ---- the built-in records ----

dataType intType = {"int", nullptr, -1, 4, nullptr, printNumber<int32_t, int, kSigned>,
                    parseInteger<int32_t, false, true>};
dataType uintType = {"uint", nullptr, -1, 4, nullptr, printNumber<uint32_t, unsigned, kUnsigned>,
                     parseInteger<uint32_t, true>};
dataType longType = {"long", nullptr, -1, 4, nullptr, printNumber<int32_t, long, kLong>,
                     parseWhole<int32_t, parseLong>};
dataType ulongType = {"ulong", nullptr, -1, 4, nullptr, printNumber<uint32_t, unsigned long, kUlong>,
                      parseWhole<uint32_t, parseUlong, true>};
dataType longlongType = {"longlong", nullptr, -1, 8, nullptr, printNumber<int64_t, long long, kLonglong>,
                         parseWhole<int64_t, parseLonglong>};
dataType ulonglongType = {"ulonglong", nullptr, -1, 8, nullptr,
                          printNumber<uint64_t, unsigned long long, kUlonglong>,
                          parseWhole<uint64_t, parseUlonglong, true>};
dataType shortType = {"short", nullptr, -1, 2, nullptr, printNumber<int16_t, int, kSigned>, parseInteger<int16_t>};
dataType doubleType = {"double", nullptr, -1, 8, nullptr, printNumber<double, double, kReal, kRealText>,
                       parseWhole<double, parseDouble>};
dataType floatType = {"float", nullptr, -1, 4, nullptr, floatTo, floatFrom};
dataType charType = {"char", nullptr, -1, 1, nullptr, printNumber<int8_t, int, kSigned>, parseInteger<int8_t>};
dataType stringType = {"string", nullptr, -1, sizeof(cvtString), counterDestroy, stringTo, stringFrom};
dataType octetType = {"octet", nullptr, -1, sizeof(cvtString), counterDestroy, octetTo, octetFrom};
// A buffer's length follows the bytes it holds (set through "octet" or "string"): it reads as a
// number and takes back only its own value, so no script can make it claim bytes that are not there.
int bufferLengthFrom(void *binary, const char *text) {
  int value;
  if (binary == nullptr || text == nullptr || convertersGetInt(text, &value) != 0) return -1;
  int32_t current;
  std::memcpy(&current, binary, sizeof current);
  return value == current ? 0 : -1;
}
dataType bufferLengthType = {"int", nullptr, -1, 4, nullptr, printNumber<int32_t, int, kSigned>, bufferLengthFrom};
dataField bufferFields[] = {
    {"octet", &octetType, 0, 0, 0},
    {"string", &stringType, 0, 0, 0},
    {"len", &bufferLengthType, offsetof(cvtString, length), 0, 0},
    {nullptr, nullptr, -1, 0, 0},
};
// A "buffer" converts only through its fields; whoever fills them owns what they point to.
dataType bufferType = {"buffer", bufferFields, -1, sizeof(cvtString), nullptr, alwaysFailsTo, alwaysFailsFrom};
dataType stringListType = {"StringList", nullptr, -1, sizeof(stringList), stringListDestroyBinary,
                           stringListTo, stringListFrom};
dataType explicitType = {"explicit", nullptr, -1, 0, nullptr, alwaysFailsTo, alwaysFailsFrom};
dataType pointerType = {"pointer", nullptr, -1, sizeof(void *), nullptr, pointerTo, pointerFrom};
dataType ppcharType = {"ppchar", nullptr, -1, sizeof(char *), ppcharDestroy, ppcharTo, ppcharFrom};
dataType pcharType = {"pchar", nullptr, -1, kPcharSize, nullptr, pcharTo, pcharFrom};
dataType booleanType = {"boolean", nullptr, -1, 1, nullptr, booleanTo, booleanFrom};

dataType *const kBuiltIns[] = {
    &intType,   &uintType,   &longType,           &ulongType,  &longlongType,  &ulonglongType, &shortType,
    &doubleType, &floatType, &charType,           &bufferType, &stringType,    &stringListType, &octetType,
    &explicitType, &pointerType, &ppcharType, &pcharType, &booleanType,
};

Tcl_HashTable typeTable;
bool tableReady = false;

void enter(dataType *type) {
  int isNew;
  Tcl_SetHashValue(Tcl_CreateHashEntry(&typeTable, type->name, &isNew), type);
  int count = 0;
  if (type->fields != nullptr) {
    while (type->fields[count].offset >= 0) ++count;
    // Sorted by name so that accessors can search the fields.
    for (int i = 1; i < count; ++i) {
      dataField field = type->fields[i];
      int j = i;
      for (; j > 0 && std::strcmp(type->fields[j - 1].name, field.name) > 0; --j)
        type->fields[j] = type->fields[j - 1];
      type->fields[j] = field;
    }
  }
  type->fieldCount = count;
}

void ensureTable() {
  if (tableReady) return;
  tableReady = true;
  Tcl_InitHashTable(&typeTable, TCL_STRING_KEYS);
  for (dataType *type : kBuiltIns) enter(type);
}

}  // namespace

extern "C" {

int convertersGetInt(const char *text, int *value) {
  int64_t parsed;
  if (value == nullptr || !telvi::integerText(text, parsed)) return -1;
  *value = static_cast<int>(static_cast<uint32_t>(parsed));
  return 0;
}

void dataRegisterType(dataType *type) {
  ensureTable();
  if (type != nullptr && type->name != nullptr) enter(type);
}

dataType *dataGetType(const char *name) {
  if (name == nullptr) return nullptr;
  ensureTable();
  Tcl_HashEntry *entry = Tcl_FindHashEntry(&typeTable, name);
  return entry ? static_cast<dataType *>(Tcl_GetHashValue(entry)) : nullptr;
}

Tcl_HashTable *dataTypeGetTypesTable(void) {
  ensureTable();
  return &typeTable;
}

}  // extern "C"
