#include "file/ztCrypto.h"

#include <sodium.h>

#include <cstring>

static_assert(sizeof(crypto_hash_sha256_state) <= 128, "room for libsodium's SHA-256 state");
static_assert(crypto_sign_PUBLICKEYBYTES == kEd25519PublicKeyBytes && crypto_sign_SECRETKEYBYTES == kEd25519SecretKeyBytes &&
                  crypto_sign_BYTES == kEd25519SignatureBytes && crypto_sign_SEEDBYTES == kEd25519SeedBytes &&
                  crypto_hash_sha256_BYTES == kSha256Bytes,
              "sizes agree with libsodium");

namespace {

// sodium_init is safe to call from any thread and any number of times; it
// picks the fastest implementations and seeds the random generator.
bool Ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

crypto_hash_sha256_state* State(unsigned char* bytes) { return reinterpret_cast<crypto_hash_sha256_state*>(bytes); }

}  // namespace

bool ztSha256Digest::operator==(const ztSha256Digest& o) const {
  return std::memcmp(bytes, o.bytes, sizeof bytes) == 0;
}

ztSha256::ztSha256() { Reset(); }

void ztSha256::Reset() { crypto_hash_sha256_init(State(state_)); }

void ztSha256::Update(const void* data, size_t size) {
  if (size) crypto_hash_sha256_update(State(state_), static_cast<const unsigned char*>(data), size);
}

ztSha256Digest ztSha256::Finish() {
  ztSha256Digest d;
  crypto_hash_sha256_final(State(state_), d.bytes);
  return d;
}

ztSha256Digest ztSha256::Of(const void* data, size_t size) {
  ztSha256 h;
  h.Update(data, size);
  return h.Finish();
}

bool ztEd25519KeyPair(uint8_t publicKey[kEd25519PublicKeyBytes], uint8_t secretKey[kEd25519SecretKeyBytes]) {
  return Ready() && crypto_sign_keypair(publicKey, secretKey) == 0;
}

bool ztEd25519SeedKeyPair(const uint8_t seed[kEd25519SeedBytes], uint8_t publicKey[kEd25519PublicKeyBytes],
                          uint8_t secretKey[kEd25519SecretKeyBytes]) {
  return Ready() && crypto_sign_seed_keypair(publicKey, secretKey, seed) == 0;
}

bool ztEd25519Sign(const uint8_t* message, size_t size, const uint8_t secretKey[kEd25519SecretKeyBytes],
                   uint8_t signature[kEd25519SignatureBytes]) {
  return Ready() && crypto_sign_detached(signature, nullptr, message, size, secretKey) == 0;
}

bool ztEd25519Verify(const uint8_t* message, size_t size, const uint8_t signature[kEd25519SignatureBytes],
                     const uint8_t publicKey[kEd25519PublicKeyBytes]) {
  return Ready() && crypto_sign_verify_detached(signature, message, size, publicKey) == 0;
}

std::string ztHex(const uint8_t* bytes, size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string s(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    s[2 * i] = digits[bytes[i] >> 4];
    s[2 * i + 1] = digits[bytes[i] & 15];
  }
  return s;
}

bool ztParseHex(const char* text, size_t length, uint8_t* out, size_t size) {
  if (length != 2 * size) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < size; ++i) {
    const int hi = nibble(text[2 * i]), lo = nibble(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}
