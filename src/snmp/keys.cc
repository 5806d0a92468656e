// MD5 based security primitives of the user-based model: HMAC-MD5 and keyed MD5, the two
// authentication protocols, the privacy record that never encrypts, and the key functions
// (password to key, localisation, key change) with their random octets.
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "snmp/engine.h"

namespace {

// One digest context and the MD5 implementation, fetched once: the library is single-threaded,
// and creating a context per digest would cost more than the digest of a short message.
class Md5 {
 public:
  Md5() {
    static EVP_MD *md = EVP_MD_fetch(nullptr, "MD5", nullptr);
    static EVP_MD_CTX *shared = EVP_MD_CTX_new();
    ctx_ = shared;
    EVP_DigestInit_ex2(ctx_, md, nullptr);
  }
  Md5 &update(const void *data, size_t length) {
    if (length) EVP_DigestUpdate(ctx_, data, length);
    return *this;
  }
  void final(unsigned char *result) { EVP_DigestFinal_ex(ctx_, result, nullptr); }

 private:
  EVP_MD_CTX *ctx_;
};

constexpr uint32_t kMd5Size = 16;
constexpr uint32_t kBlock = 64;

const uint32_t usecDigestAuthProtocol[] = {10, 1, 3, 6, 1, 6, 3, 6, 1, 3, 1};
const uint32_t usmHMACMD5AuthProtocol[] = {10, 1, 3, 6, 1, 6, 3, 10, 1, 1, 2};
const uint32_t usmDESPrivProtocol[] = {10, 1, 3, 6, 1, 6, 3, 10, 1, 2, 2};

// The digest field must lie inside the message.
bool fieldInside(const unsigned char *digest, uint32_t length, const Netbuf *message) {
  return message != nullptr && message->data != nullptr && digest >= message->data &&
         digest + length <= message->data + message->length;
}

// The two authentication protocols differ only in what the digest field holds while the message is
// digested (the key, or zeros), the digest function and how much of the digest the field carries.
struct Authentication {
  uint32_t fieldLength;
  bool keyInField;
  void (*digest)(const unsigned char *, uint32_t, const unsigned char *, uint32_t, unsigned char *);
};

constexpr uint32_t kHmacDigest = 12;
constexpr Authentication kKeyed = {kMd5Size, true, macMD5};
constexpr Authentication kHmac = {kHmacDigest, false, hmacMD5};

bool usable(const Authentication &a, const AdminString *key, uint32_t length, const unsigned char *digest,
            const Netbuf *message) {
  return key != nullptr && key->length == kMd5Size && length == a.fieldLength &&
         fieldInside(digest, length, message);
}

// Digests the message with the field holding its placeholder; the field keeps the placeholder.
void digestMessage(const Authentication &a, const AdminString *key, unsigned char *field, Netbuf *message,
                   unsigned char *result) {
  if (a.keyInField)
    memcpy(field, key->octets, a.fieldLength);
  else
    memset(field, 0, a.fieldLength);
  a.digest(message->data, message->length, key->octets, kMd5Size, result);
}

int outgoing(const Authentication &a, const AdminString *key, uint32_t length, unsigned char *digest,
             Netbuf *message) {
  if (!usable(a, key, length, digest, message)) return -1;
  unsigned char result[kMd5Size];
  digestMessage(a, key, digest, message, result);
  memcpy(digest, result, a.fieldLength);
  return 0;
}

int incoming(const Authentication &a, const AdminString *key, uint32_t length, unsigned char *digest,
             Netbuf *message) {
  if (!usable(a, key, length, digest, message)) return -1;
  unsigned char received[kMd5Size], result[kMd5Size];
  memcpy(received, digest, a.fieldLength);
  digestMessage(a, key, digest, message, result);
  memcpy(digest, received, a.fieldLength);
  return CRYPTO_memcmp(received, result, a.fieldLength) == 0 ? 0 : SNMP_ERR_AUTHENTICATION;
}

int keyedOutgoing(const AdminString *key, uint32_t length, unsigned char *digest, Netbuf *message) {
  return outgoing(kKeyed, key, length, digest, message);
}

int keyedIncoming(const AdminString *key, uint32_t length, unsigned char *digest, Netbuf *message) {
  return incoming(kKeyed, key, length, digest, message);
}

int hmacOutgoing(const AdminString *key, uint32_t length, unsigned char *digest, Netbuf *message) {
  return outgoing(kHmac, key, length, digest, message);
}

int hmacIncoming(const AdminString *key, uint32_t length, unsigned char *digest, Netbuf *message) {
  return incoming(kHmac, key, length, digest, message);
}

// ---- keys ----

constexpr uint32_t kPasswordDigestLength = 0x100000;

int createKey(AdminString *key, const char *password) {
  if (key == nullptr || password == nullptr) return -1;
  size_t length = strlen(password);
  static const char zero[1] = {0};
  if (length == 0) {
    password = zero;
    length = 1;
  }
  // The password repeated end to end is periodic in its own length; a chunk of 64 × length octets
  // starts every piece at the same place, so the digest runs over a few large updates.
  size_t chunk = kBlock * length;
  while (chunk < 8192) chunk *= 2;
  std::vector<unsigned char> repeated(chunk);
  for (size_t i = 0; i < chunk; ++i) repeated[i] = static_cast<unsigned char>(password[i % length]);
  Md5 md5;
  size_t left = kPasswordDigestLength;
  while (left > 0) {
    size_t n = left < chunk ? left : chunk;
    md5.update(repeated.data(), n);
    left -= n;
  }
  md5.final(key->octets);
  key->length = kMd5Size;
  key->octets[kMd5Size] = 0;
  return 0;
}

int localizeKey(AdminString *key, const AdminString *engineId) {
  if (key == nullptr || engineId == nullptr || key->length != kMd5Size || engineId->length > SNMP_MAX_ENGINE_ID)
    return -1;
  unsigned char result[kMd5Size];
  Md5().update(key->octets, kMd5Size).update(engineId->octets, engineId->length).update(key->octets, kMd5Size)
      .final(result);
  memcpy(key->octets, result, kMd5Size);
  key->octets[kMd5Size] = 0;
  return 0;
}

// The chain shared by both directions of a key change: out = in XOR the running digest.
void keyChangeChain(const AdminString *oldKey, const unsigned char *random, uint32_t randomLength,
                    const unsigned char *in, uint32_t length, unsigned char *out) {
  if (length == 0) return;
  unsigned char temp[kMd5Size];
  Md5().update(oldKey->octets, oldKey->length).update(random, randomLength).final(temp);
  uint32_t blocks = (length - 1) / kMd5Size;
  uint32_t at = 0;
  for (uint32_t b = 0; b < blocks; ++b, at += kMd5Size) {
    for (uint32_t i = 0; i < kMd5Size; ++i) out[at + i] = in[at + i] ^ temp[i];
    unsigned char next[kMd5Size];
    Md5().update(temp, kMd5Size).update(random, randomLength).final(next);
    memcpy(temp, next, kMd5Size);
  }
  for (uint32_t i = 0; at + i < length; ++i) out[at + i] = in[at + i] ^ temp[i];
}

int createKeyChange(const AdminString *oldKey, const AdminString *newKey, AdminString *keyChange,
                    uint32_t randomLength) {
  // Compared one at a time: their sum could wrap around.
  if (oldKey == nullptr || newKey == nullptr || keyChange == nullptr || randomLength > 255 ||
      newKey->length > 255 - randomLength)
    return -1;
  unsigned char octets[256];
  snmpRandomOctets(octets, randomLength);
  keyChangeChain(oldKey, octets, randomLength, newKey->octets, newKey->length, octets + randomLength);
  return setAdminString(keyChange, octets, randomLength + newKey->length, 255);
}

int applyKeyChange(const AdminString *oldKey, AdminString *newKey, const AdminString *keyChange,
                   uint32_t randomLength) {
  if (oldKey == nullptr || newKey == nullptr || keyChange == nullptr || keyChange->length < randomLength)
    return -1;
  uint32_t length = keyChange->length - randomLength;
  unsigned char octets[256];
  keyChangeChain(oldKey, keyChange->octets, randomLength, keyChange->octets + randomLength, length, octets);
  return setAdminString(newKey, octets, length, 255);
}

// ---- privacy: the record exists so that the protocol is known, but never encrypts ----

uint32_t sizeofEncrypted(uint32_t length) {
  uint32_t rounded = (length + 7) / 8 * 8;
  return sizeofAsn1Header(rounded) + rounded;
}

int noCipher(const AdminString *, const unsigned char *, uint32_t, unsigned char *, uint32_t *) {
  return SNMP_ERR_SECURITY_LEVEL;
}

}  // namespace

extern "C" {

const SnmpKeyFunctions snmpv3keysmd5 = {createKey, localizeKey, createKeyChange, applyKeyChange};
const SnmpAuthProtocol snmpv2udap = {usecDigestAuthProtocol, kMd5Size, kMd5Size, keyedOutgoing,
                                     keyedIncoming, &snmpv3keysmd5};
const SnmpAuthProtocol snmpv3hmacmd5 = {usmHMACMD5AuthProtocol, kMd5Size, kHmacDigest, hmacOutgoing,
                                        hmacIncoming, &snmpv3keysmd5};
const SnmpPrivProtocol snmpv3des = {usmDESPrivProtocol, 8, sizeofEncrypted, noCipher, noCipher};

const SnmpAuthProtocol *snmpAuthProtocol(const uint32_t *oid) {
  if (oid == nullptr) return nullptr;
  for (const SnmpAuthProtocol *p : {&snmpv2udap, &snmpv3hmacmd5})
    if (oidcmp(oid, p->oid) == 0) return p;
  return nullptr;
}

const SnmpPrivProtocol *snmpPrivProtocol(const uint32_t *oid) {
  return oid != nullptr && oidcmp(oid, snmpv3des.oid) == 0 ? &snmpv3des : nullptr;
}

void hmacMD5(const unsigned char *data, uint32_t length, const unsigned char *key, uint32_t keyLength,
             unsigned char *result) {
  unsigned char k[kBlock] = {0};
  if (keyLength > kBlock) {
    Md5().update(key, keyLength).final(k);
  } else if (keyLength) {
    memcpy(k, key, keyLength);
  }
  unsigned char pad[kBlock], inner[kMd5Size];
  for (uint32_t i = 0; i < kBlock; ++i) pad[i] = k[i] ^ 0x36;
  Md5().update(pad, kBlock).update(data, length).final(inner);
  for (uint32_t i = 0; i < kBlock; ++i) pad[i] = k[i] ^ 0x5C;
  Md5().update(pad, kBlock).update(inner, kMd5Size).final(result);
}

void macMD5(const unsigned char *data, uint32_t length, const unsigned char *key, uint32_t keyLength,
            unsigned char *result) {
  Md5().update(data, length).update(key, keyLength).final(result);
}

void snmpRandomOctets(unsigned char *octets, uint32_t count) {
  static bool seeded = false;
  static unsigned short state[3];
  if (!seeded) {
    // The eight hexadecimal digits of the time, repeated to a block, digested.
    char digits[9], text[kBlock];
    snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(time(nullptr)));
    for (uint32_t i = 0; i < kBlock; ++i) text[i] = digits[i % 8];
    unsigned char digest[kMd5Size];
    Md5().update(text, kBlock).final(digest);
    for (int i = 0; i < 3; ++i)
      state[i] = static_cast<unsigned short>(digest[2 + 2 * i] | digest[3 + 2 * i] << 8);
    seeded = true;
  }
  uint32_t at = 0;
  while (at < count) {
    uint32_t value = static_cast<uint32_t>(nrand48(state));
    for (int i = 0; i < 4 && at < count; ++i, value >>= 8) octets[at++] = static_cast<unsigned char>(value);
  }
}

}  // extern "C"
