// SHA-256 and Ed25519 for signed update packages, through libsodium. Nothing
// here is hand-written cryptography: these are thin, typed wrappers so that
// the rest of the tree never includes <sodium.h>.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr size_t kSha256Bytes = 32;
constexpr size_t kEd25519PublicKeyBytes = 32;
constexpr size_t kEd25519SecretKeyBytes = 64;  // libsodium's form: seed, then public key
constexpr size_t kEd25519SeedBytes = 32;
constexpr size_t kEd25519SignatureBytes = 64;

struct ztSha256Digest {
  uint8_t bytes[kSha256Bytes];
  bool operator==(const ztSha256Digest& o) const;
  bool operator!=(const ztSha256Digest& o) const { return !(*this == o); }
};

// A running SHA-256: Update with the data in any pieces, then Finish. The
// object can be reused after Reset.
class ztSha256 {
 public:
  ztSha256();
  void Reset();
  void Update(const void* data, size_t size);
  ztSha256Digest Finish();

  static ztSha256Digest Of(const void* data, size_t size);

 private:
  // libsodium's state (104 bytes), kept opaque.
  alignas(16) unsigned char state_[128];
};

// A new random key pair. False only when the library could not start.
bool ztEd25519KeyPair(uint8_t publicKey[kEd25519PublicKeyBytes], uint8_t secretKey[kEd25519SecretKeyBytes]);
// The key pair of a 32-byte seed (the secret key of RFC 8032).
bool ztEd25519SeedKeyPair(const uint8_t seed[kEd25519SeedBytes], uint8_t publicKey[kEd25519PublicKeyBytes],
                          uint8_t secretKey[kEd25519SecretKeyBytes]);
bool ztEd25519Sign(const uint8_t* message, size_t size, const uint8_t secretKey[kEd25519SecretKeyBytes],
                   uint8_t signature[kEd25519SignatureBytes]);
// True only for a valid signature of exactly these bytes by this key.
bool ztEd25519Verify(const uint8_t* message, size_t size, const uint8_t signature[kEd25519SignatureBytes],
                     const uint8_t publicKey[kEd25519PublicKeyBytes]);

// Lower-case hexadecimal of the bytes.
std::string ztHex(const uint8_t* bytes, size_t size);
// Exactly 2 * `size` hexadecimal digits (either case) into `out`; false for
// any other text.
bool ztParseHex(const char* text, size_t length, uint8_t* out, size_t size);
