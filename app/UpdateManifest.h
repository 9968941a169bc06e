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
//   delta <size> <sha> <base size> <base sha> <output size> <output sha> <path>
//                                        one line per delta ("delta\sub\file"):
//                                        the delta, the installed file it
//                                        applies to, the file it makes
//   signature <128 hex digits>           Ed25519 over every byte before this line
//
// The files are updateinfo.xml, updatebg.ra3 (when the package has one) and
// every file below data ("data\sub\file.dat"). A manifest without its key
// and signature lines is unsigned: its hashes still catch a damaged package.
//
// A delta rebuilds data file "sub\file" from the installed one
// (file/ztDelta.h). The package may also carry the whole file under data
// (the fallback, for installations that differ); the updater uses the delta
// where the installed file is the listed base and the whole file otherwise.
// Updaters from before deltas refuse a manifest with a delta line as
// damaged, rather than install a package without its changed files.
//
// The installation trusts the key in its "update.key" file (one line,
// "ZTKEY1 <64 hex digits>"), put there by the game's installer. A signed
// package that ships data\update.key replaces it: the new key is then
// signed by the old one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
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

struct ManifestDelta {
  std::u16string path;  // relative to the package folder, "delta\..."
  uint64_t size = 0;
  ztSha256Digest sha256 = {};
  uint64_t baseSize = 0;
  ztSha256Digest baseSha256 = {};
  uint64_t outputSize = 0;
  ztSha256Digest outputSha256 = {};

  // The file it makes, relative to the installation (and to data).
  std::u16string Target() const { return path.substr(6); }
};

constexpr const char16_t* kDeltaPrefix = u"delta\\";

struct UpdateManifest {
  uint32_t majorVersion = 0, minorVersion = 0;  // each 0..65535
  bool hasKey = false;
  uint8_t key[kEd25519PublicKeyBytes] = {};
  bool hasSignature = false;
  uint8_t signature[kEd25519SignatureBytes] = {};
  std::vector<ManifestEntry> files;
  std::vector<ManifestDelta> deltas;
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
  kVerifyBadDelta,       // a delta that cannot be applied (damaged, or for another base)
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
// checks them as it reads), and `deltas` (when given) its deltas; without
// one both are left empty.
VerifyResult CheckPackage(const PackageFacts& facts, std::vector<ztSha256Digest>* expected,
                          std::vector<ManifestDelta>* deltas = nullptr);

// The copy engine's check of each data file against its listed digest (job
// i is data file i), made before the file is in place: the engine hands a
// file it has read ahead (up to 2 MiB) over whole before writing it, any
// other block by block, and a file that differs is refused before its last
// block is written, so it is never installed. Whole files may be checked on
// two threads at once.
class ManifestDigestCheck : public ztCopyVerifier {
 public:
  explicit ManifestDigestCheck(std::vector<ztSha256Digest> expected) : expected_(std::move(expected)) {}

  void BeginFile(size_t index) override;
  void AddBlock(const void* data, uint32_t length) override;
  int32_t EndFile() override;
  int32_t CheckFile(size_t index, const void* data, uint32_t length) override;

  // The lowest job whose bytes differed (or that was never listed), or -1
  // when every file checked matched.
  intptr_t FailedJob() const { return failed_.load(std::memory_order_acquire); }

 private:
  int32_t Verdict(size_t index, const ztSha256Digest& digest);

  const std::vector<ztSha256Digest> expected_;
  ztSha256 hash_;       // the file going through block by block
  size_t current_ = 0;  // its job
  std::atomic<intptr_t> failed_{-1};
};
