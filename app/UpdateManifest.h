// Signed packages: the manifest that lists every file of a package with its
// size and SHA-256, the version the package installs and an Ed25519
// signature over all of it; the key file an installation trusts; and the
// rules that decide, before anything is written, whether a package may be
// installed.
//
// The manifest ("update.manifest", beside updateinfo.xml) is UTF-8 text, one
// LF-ended line per item, in this order:
//
//   ZTMANIFEST 1
//   version <major> <minor>              the version the package installs
//   key <64 hex digits>                  the signer's public key (signed packages)
//   file <size> <64 hex digits> <path>   one line per file, path relative to
//                                        the package folder, backslashes
//   signature <128 hex digits>           Ed25519 over every byte before this line
//
// The files are updateinfo.xml, updatebg.ra3 (when the package has one) and
// every file below data ("data\sub\file.dat"). A manifest without its key
// and signature lines is unsigned: its hashes still catch a damaged package.
//
// The installation trusts the key in its "update.key" file (one line,
// "ZTKEY1 <64 hex digits>"), put there by the game's installer. A signed
// package that ships data\update.key replaces it: the new key is then
// signed by the old one.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "file/ztCrypto.h"
#include "file/ztFileCopier.h"

constexpr const char16_t* kManifestName = u"update.manifest";
constexpr const char16_t* kTrustedKeyName = u"update.key";
// The largest manifest read (about 100 bytes a file).
constexpr size_t kManifestLimit = 32u * 1024 * 1024;

struct ManifestEntry {
  std::u16string path;  // relative to the package folder
  uint64_t size = 0;
  ztSha256Digest sha256 = {};
};

struct UpdateManifest {
  uint32_t majorVersion = 0, minorVersion = 0;  // each 0..65535
  bool hasKey = false;
  uint8_t key[kEd25519PublicKeyBytes] = {};
  bool hasSignature = false;
  uint8_t signature[kEd25519SignatureBytes] = {};
  std::vector<ManifestEntry> files;
  size_t signedSize = 0;  // bytes at the start that the signature covers

  // As the installed version is read: major in the upper 16 bits.
  uint32_t Version() const { return majorVersion << 16 | minorVersion; }
};

// The manifest's text up to its signature line (the bytes that are signed).
// With `hasKey` set, the key line is written.
std::string EncodeManifestBody(const UpdateManifest& manifest);
// The body followed by the signature line, signed with `secretKey`. The body
// must name that key's public half in its key line, so that an installation
// can tell which key signed it.
std::string SignManifestBody(const std::string& body, const uint8_t secretKey[kEd25519SecretKeyBytes]);
// True only for a whole, well-formed manifest: every line in its place,
// numbers in range, every path relative and below the package folder and
// listed once. A signature is not checked here.
bool DecodeManifest(const uint8_t* data, size_t size, UpdateManifest* out);

// Key files: the public key an installation trusts, the secret key the
// package author keeps ("ZTSECRET1 <128 hex digits>", libsodium's form).
std::string EncodePublicKeyFile(const uint8_t key[kEd25519PublicKeyBytes]);
bool DecodePublicKeyFile(const uint8_t* data, size_t size, uint8_t key[kEd25519PublicKeyBytes]);
std::string EncodeSecretKeyFile(const uint8_t key[kEd25519SecretKeyBytes]);
bool DecodeSecretKeyFile(const uint8_t* data, size_t size, uint8_t key[kEd25519SecretKeyBytes]);

// ---- the rules ---------------------------------------------------------------

enum VerifyFailure : int {
  kVerifyOk = 0,
  kVerifyNotSigned,      // the installation has a key; the package is not signed
  kVerifyUnknownKey,     // signed with a key the installation does not trust
  kVerifyBadSignature,   // the signature does not match the manifest
  kVerifyBadManifest,    // the manifest is damaged or cannot be read
  kVerifyBadKeyFile,     // the installation's key file is damaged or cannot be read
  kVerifyFileMissing,    // listed, but not in the package
  kVerifyFileNotListed,  // in the package, but not listed
  kVerifyHashMismatch,   // a file's size or bytes differ from the listed ones
  kVerifyOlderVersion,   // older than the installed version
};

// The failure in the run record's words ("hash mismatch").
const char* VerifyFailureWords(int failure);

struct VerifyResult {
  int failure = kVerifyOk;
  std::u16string file;  // the file concerned, relative to the package folder
};

// What the updater knows of the package and the installation before it
// writes anything.
struct PackageFacts {
  const uint8_t* trustedKey = nullptr;             // null: the installation has no key
  bool keyFileDamaged = false;                     // update.key is there but unusable
  const std::vector<uint8_t>* manifest = nullptr;  // null: the package has none
  uint32_t installedVersion = 0;
  ztSha256Digest descriptionDigest = {};  // of the updateinfo.xml bytes the updater read
  bool hasSplash = false;
  ztSha256Digest splashDigest = {};
  const std::vector<std::u16string>* dataPaths = nullptr;  // relative to data
  const std::vector<uint64_t>* dataSizes = nullptr;
};

// Applies the rules: with a trusted key the package must be signed with it,
// list exactly the files it has with their sizes, and install a version not
// older than the installed one; without a key a manifest that is there must
// still match. On success, when the package has a manifest, `expected`
// holds the digest of each data file in the order of `dataPaths` (the copy
// checks them as it reads); without one it is left empty.
VerifyResult CheckPackage(const PackageFacts& facts, std::vector<ztSha256Digest>* expected);

// The copy engine's check of each data file against its listed digest (job
// i is data file i). Two ways:
//
// - before each file is in place (`beforeInstall`, for a package signed
//   with the installation's key): the blocks are hashed as the engine hands
//   them over and EndFile refuses a file that differs, before its last block
//   is written, so the engine never installs it;
// - beside the copy (a package with a manifest but no trusted key, where the
//   digests only catch damage): hashing costs about as much as the copy
//   itself, so each block is copied into a queue (the engine waits only
//   while it is full) and hashed on a thread of its own. A file may then
//   reach its place before its digest is known; the update is committed
//   only after Finish, and a file that differs rolls it all back.
class ManifestDigestCheck : public ztCopyVerifier {
 public:
  ManifestDigestCheck(std::vector<ztSha256Digest> expected, bool beforeInstall);
  ~ManifestDigestCheck() override;
  ManifestDigestCheck(const ManifestDigestCheck&) = delete;
  ManifestDigestCheck& operator=(const ManifestDigestCheck&) = delete;

  void BeginFile(size_t index) override;
  void AddBlock(const void* data, uint32_t length) override;
  // Beside the copy it never refuses: the verdict comes from Finish.
  int32_t EndFile() override;

  // A file already found to differ (the run may stop early).
  bool Failed() const { return failed_.load(std::memory_order_acquire) >= 0; }
  // Waits until every queued byte is hashed; the first job whose bytes
  // differed (or that was never listed), or -1 when every file matched.
  intptr_t Finish();

 private:
  struct Item {
    int kind;         // 0 begin, 1 data, 2 end
    size_t index;     // begin: the job
    uint32_t length;  // data: bytes at the ring's read position
  };
  void HashLoop();
  void Push(const Item& item, const void* data);

  std::vector<ztSha256Digest> expected_;
  bool beforeInstall_;
  ztSha256 hash_;       // before install: the current file's
  size_t current_ = 0;  // before install: its job
  std::vector<uint8_t> ring_;
  size_t readAt_ = 0, writeAt_ = 0, used_ = 0;  // used_: bytes queued in the ring
  std::deque<Item> items_;
  bool closing_ = false;
  std::mutex lock_;
  std::condition_variable changed_;
  std::atomic<intptr_t> failed_{-1};
  std::thread thread_;  // beside the copy; last: it starts once everything above is ready
};
