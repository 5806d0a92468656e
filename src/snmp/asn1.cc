// The BER codec under its exported C names; the code itself is in ber.h.
#include "snmp/ber.h"

extern "C" {

void initAsn1Cursor(Asn1Cursor *cursor, unsigned char *buffer, uint32_t size) {
  telvi::ber::initAsn1Cursor(cursor, buffer, size);
}
unsigned char *appendAsn1(Asn1Cursor *cursor, const void *data, uint32_t length) {
  return telvi::ber::appendAsn1(cursor, data, length);
}
int sizeofAsn1Word(uint32_t value) { return telvi::ber::sizeofAsn1Word(value); }
unsigned char *encodeAsn1Word(unsigned char *destination, int count, uint32_t value) {
  return telvi::ber::encodeAsn1Word(destination, count, value);
}
uint32_t decodeAsn1Word(const unsigned char *source, int count) {
  return telvi::ber::decodeAsn1Word(source, count);
}
uint32_t sizeofAsn1Data(uint32_t total) { return telvi::ber::sizeofAsn1Data(total); }
uint32_t sizeofAsn1Header(uint32_t length) { return telvi::ber::sizeofAsn1Header(length); }
unsigned char *encodeAsn1Header(Asn1Cursor *cursor, int tag, uint32_t length) {
  return telvi::ber::encodeAsn1Header(cursor, tag, length);
}
unsigned char *updateAsn1Header(Asn1Cursor *cursor, unsigned char *header) {
  return telvi::ber::updateAsn1Header(cursor, header);
}
int decodeAsn1Header(Asn1Cursor *cursor, int tag) { return telvi::ber::decodeAsn1Header(cursor, tag); }
unsigned char *encodeAsn1Struct(Asn1Cursor *cursor, int tag, uint32_t length, unsigned char **saved) {
  return telvi::ber::encodeAsn1Struct(cursor, tag, length, saved);
}
int decodeAsn1Struct(Asn1Cursor *cursor, int tag, unsigned char **saved) {
  return telvi::ber::decodeAsn1Struct(cursor, tag, saved);
}
unsigned char *frameAsn1Struct(Asn1Cursor *cursor, unsigned char *saved) {
  return telvi::ber::frameAsn1Struct(cursor, saved);
}
unsigned char *encodeAsn1Octets(Asn1Cursor *cursor, int tag, const void *data, uint32_t length) {
  return telvi::ber::encodeAsn1Octets(cursor, tag, data, length);
}
unsigned char *decodeAsn1Octets(Asn1Cursor *cursor, int tag) {
  return telvi::ber::decodeAsn1Octets(cursor, tag);
}
unsigned char *encodeAsn1Int32(Asn1Cursor *cursor, int tag, int32_t value) {
  return telvi::ber::encodeAsn1Int32(cursor, tag, value);
}
int32_t decodeAsn1Int32(Asn1Cursor *cursor, int tag) { return telvi::ber::decodeAsn1Int32(cursor, tag); }
uint32_t sizeofAsn1Int32Data(int tag, int32_t value) { return telvi::ber::sizeofAsn1Int32Data(tag, value); }
unsigned char *encodeAsn1Int32Data(unsigned char *destination, uint32_t count, int32_t value) {
  return telvi::ber::encodeAsn1Int32Data(destination, count, value);
}
int32_t decodeAsn1Int32Data(const unsigned char *source, uint32_t count, const unsigned char **next) {
  return telvi::ber::decodeAsn1Int32Data(source, count, next);
}
unsigned char *encodeAsn1Int64(Asn1Cursor *cursor, int tag, Asn1Int64 value) {
  return telvi::ber::encodeAsn1Int64(cursor, tag, value);
}
Asn1Int64 decodeAsn1Int64(Asn1Cursor *cursor, int tag) { return telvi::ber::decodeAsn1Int64(cursor, tag); }
uint32_t sizeofAsn1Int64Data(Asn1Int64 value) { return telvi::ber::sizeofAsn1Int64Data(value); }
unsigned char *encodeAsn1Int64Data(unsigned char *destination, uint32_t count, Asn1Int64 value) {
  return telvi::ber::encodeAsn1Int64Data(destination, count, value);
}
Asn1Int64 decodeAsn1Int64Data(const unsigned char *source, uint32_t count, const unsigned char **next) {
  return telvi::ber::decodeAsn1Int64Data(source, count, next);
}
uint32_t sizeofAsn1Oid(const uint32_t *oid) { return telvi::ber::sizeofAsn1Oid(oid); }
unsigned char *encodeAsn1Oid(Asn1Cursor *cursor, const uint32_t *oid) {
  return telvi::ber::encodeAsn1Oid(cursor, oid);
}
uint32_t *decodeAsn1Oid(Asn1Cursor *cursor, uint32_t *oid) { return telvi::ber::decodeAsn1Oid(cursor, oid); }
uint32_t sizeofAsn1OidData(const uint32_t *oid) { return telvi::ber::sizeofAsn1OidData(oid); }
unsigned char *encodeAsn1OidData(unsigned char *destination, const uint32_t *oid) {
  return telvi::ber::encodeAsn1OidData(destination, oid);
}
uint32_t *decodeAsn1OidData(Asn1Cursor *cursor, const unsigned char *data, uint32_t length, uint32_t *oid) {
  return telvi::ber::decodeAsn1OidData(cursor, data, length, oid);
}
int sizeofAsn1Subid(uint32_t value) { return telvi::ber::sizeofAsn1Subid(value); }
unsigned char *encodeAsn1Subid(unsigned char *destination, uint32_t value) {
  return telvi::ber::encodeAsn1Subid(destination, value);
}
uint32_t decodeAsn1Subid(const unsigned char *source, const unsigned char *limit,
                         const unsigned char **next) {
  return telvi::ber::decodeAsn1Subid(source, limit, next);
}
uint32_t sizeofAsn1Value(const Asn1Value *value) { return telvi::ber::sizeofAsn1Value(value); }
unsigned char *encodeAsn1Value(Asn1Cursor *cursor, const Asn1Value *value) {
  return telvi::ber::encodeAsn1Value(cursor, value);
}
unsigned char *decodeAsn1Value(Asn1Cursor *cursor, Asn1Value *value) {
  return telvi::ber::decodeAsn1Value(cursor, value);
}
char *dumpAsn1(const Asn1Cursor *cursor, char *text) { return telvi::ber::dumpAsn1(cursor, text); }
uint32_t *oidcat(uint32_t *oid, const uint32_t *arcs, uint32_t count) {
  return telvi::ber::oidcat(oid, arcs, count);
}
int oidcmp(const uint32_t *a, const uint32_t *b) { return telvi::ber::oidcmp(a, b); }
int oidncmp(const uint32_t *a, const uint32_t *b, uint32_t n) { return telvi::ber::oidncmp(a, b, n); }
int oidIsValid(const uint32_t *oid) { return telvi::ber::oidIsValid(oid); }

}  // extern "C"
