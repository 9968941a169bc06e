#include "app/UpdateManifest.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "app/UpdateJournal.h"
#include "file/textutil.h"
#include "platform/ztBytes.h"

namespace {

constexpr const char kHeader[] = "ZTMANIFEST 1";
constexpr const char kPublicKeyTag[] = "ZTKEY1 ";
constexpr const char kSecretKeyTag[] = "ZTSECRET1 ";
constexpr const char16_t* kDescriptionPath = u"updateinfo.xml";
constexpr const char16_t* kSplashPath = u"updatebg.ra3";
constexpr const char16_t* kDataPrefix = u"data\\";

std::string ToUtf8String(const std::u16string& s) {
  std::string out(s.size() * 3 + 1, '\0');
  const int n = ToUtf8(s.c_str(), &out[0], out.size());
  out.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return out;
}

// Strict: the text must be valid UTF-8 (it converts back to the same bytes)
// with no zero byte.
bool FromUtf8String(const std::string& s, std::u16string* out) {
  if (s.find('\0') != std::string::npos) return false;
  std::u16string units(s.size() + 1, u'\0');
  const int n = FromUtf8(s.c_str(), &units[0], units.size());
  if (n < 0) return false;
  units.resize(static_cast<size_t>(n));
  if (ToUtf8String(units) != s) return false;
  *out = units;
  return true;
}

// One LF-ended line from the cursor, without its LF. A line with a CR, a
// missing LF or a zero byte is refused.
bool TakeLine(ztByteCursor& in, std::string* line) {
  const uint8_t* start = in.Here();
  const uint32_t left = in.Left();
  const void* lf = left ? std::memchr(start, '\n', left) : nullptr;
  if (!lf) return false;
  const uint32_t length = static_cast<uint32_t>(static_cast<const uint8_t*>(lf) - start);
  line->assign(reinterpret_cast<const char*>(start), length);
  in.Skip(length + 1);
  return line->find('\r') == std::string::npos;
}

// The rest of `line` after `tag` (which includes its space), or false.
bool After(const std::string& line, const char* tag, std::string* rest) {
  const size_t n = std::strlen(tag);
  if (line.compare(0, n, tag) != 0) return false;
  *rest = line.substr(n);
  return true;
}

// A decimal number without sign or leading zeros, at most `max`.
bool ParseDecimal(const std::string& text, uint64_t max, uint64_t* out) {
  if (text.empty() || text.size() > 20 || (text.size() > 1 && text[0] == '0')) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10) return false;
    v = v * 10 + digit;
  }
  *out = v;
  return true;
}

bool ParseFileLine(const std::string& rest, ManifestEntry* e) {
  const size_t a = rest.find(' ');
  if (a == std::string::npos) return false;
  const size_t b = rest.find(' ', a + 1);
  if (b == std::string::npos) return false;
  uint64_t size = 0;
  if (!ParseDecimal(rest.substr(0, a), UINT64_MAX >> 1, &size)) return false;
  if (!ztParseHex(rest.data() + a + 1, b - a - 1, e->sha256.bytes, kSha256Bytes)) return false;
  e->size = size;
  return FromUtf8String(rest.substr(b + 1), &e->path) && IsSafeRelativePath(e->path);
}

// "<size> <sha> <base size> <base sha> <output size> <output sha> <path>".
bool ParseDeltaLine(const std::string& rest, ManifestDelta* d) {
  std::string fields[6];
  size_t at = 0;
  for (std::string& f : fields) {
    const size_t space = rest.find(' ', at);
    if (space == std::string::npos) return false;
    f = rest.substr(at, space - at);
    at = space + 1;
  }
  const uint64_t max = UINT64_MAX >> 1;
  if (!ParseDecimal(fields[0], max, &d->size) || !ParseDecimal(fields[2], max, &d->baseSize) ||
      !ParseDecimal(fields[4], max, &d->outputSize) ||
      !ztParseHex(fields[1].data(), fields[1].size(), d->sha256.bytes, kSha256Bytes) ||
      !ztParseHex(fields[3].data(), fields[3].size(), d->baseSha256.bytes, kSha256Bytes) ||
      !ztParseHex(fields[5].data(), fields[5].size(), d->outputSha256.bytes, kSha256Bytes))
    return false;
  const std::u16string prefix = kDeltaPrefix;
  // The file it makes must be one the updater may write: never the trusted
  // key, which only a whole, signed file replaces.
  return FromUtf8String(rest.substr(at), &d->path) && IsSafeRelativePath(d->path) &&
         d->path.size() > prefix.size() && d->path.compare(0, prefix.size(), prefix) == 0 &&
         !IsTrustedKeyPath(d->Target());
}

bool IsPackageFile(const std::u16string& path) {
  return path == kDescriptionPath || path == kSplashPath || (path.size() > 5 && path.compare(0, 5, kDataPrefix) == 0);
}

// One line holding `tag` and `size` bytes in hexadecimal, an optional line
// end after it.
bool DecodeKeyLine(const uint8_t* data, size_t size, const char* tag, uint8_t* key, size_t keySize) {
  if (!data) return false;
  std::string text(reinterpret_cast<const char*>(data), size);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::string rest;
  return After(text, tag, &rest) && ztParseHex(rest.data(), rest.size(), key, keySize);
}

}  // namespace

std::string EncodeManifestBody(const UpdateManifest& m) {
  std::string s = std::string(kHeader) + "\n";
  s += "version " + std::to_string(m.majorVersion) + " " + std::to_string(m.minorVersion) + "\n";
  if (m.hasKey) s += "key " + ztHex(m.key, sizeof m.key) + "\n";
  for (const ManifestEntry& e : m.files)
    s += "file " + std::to_string(e.size) + " " + ztHex(e.sha256.bytes, kSha256Bytes) + " " + ToUtf8String(e.path) +
         "\n";
  for (const ManifestDelta& d : m.deltas)
    s += "delta " + std::to_string(d.size) + " " + ztHex(d.sha256.bytes, kSha256Bytes) + " " +
         std::to_string(d.baseSize) + " " + ztHex(d.baseSha256.bytes, kSha256Bytes) + " " +
         std::to_string(d.outputSize) + " " + ztHex(d.outputSha256.bytes, kSha256Bytes) + " " + ToUtf8String(d.path) +
         "\n";
  return s;
}

std::string SignManifestBody(const std::string& body, const uint8_t secretKey[kEd25519SecretKeyBytes]) {
  uint8_t signature[kEd25519SignatureBytes];
  if (!ztEd25519Sign(reinterpret_cast<const uint8_t*>(body.data()), body.size(), secretKey, signature)) return {};
  return body + "signature " + ztHex(signature, sizeof signature) + "\n";
}

bool DecodeManifest(const uint8_t* data, size_t size, UpdateManifest* out) {
  *out = UpdateManifest();
  if (!data || size > kManifestLimit) return false;
  ztByteCursor in(data, static_cast<uint32_t>(size));
  std::string line, rest;
  if (!TakeLine(in, &line) || line != kHeader) return false;

  uint64_t major = 0, minor = 0;
  if (!TakeLine(in, &line) || !After(line, "version ", &rest)) return false;
  const size_t space = rest.find(' ');
  if (space == std::string::npos || !ParseDecimal(rest.substr(0, space), 0xFFFF, &major) ||
      !ParseDecimal(rest.substr(space + 1), 0xFFFF, &minor))
    return false;
  out->majorVersion = static_cast<uint32_t>(major);
  out->minorVersion = static_cast<uint32_t>(minor);

  std::set<std::u16string> seen;
  bool keyAllowed = true;
  while (in.Left() > 0) {
    const uint32_t lineStart = in.Pos();
    if (!TakeLine(in, &line)) return false;
    if (After(line, "key ", &rest)) {
      if (!keyAllowed || !ztParseHex(rest.data(), rest.size(), out->key, sizeof out->key)) return false;
      out->hasKey = true;
    } else if (After(line, "file ", &rest)) {
      ManifestEntry e;
      if (!ParseFileLine(rest, &e) || !IsPackageFile(e.path) || !seen.insert(e.path).second) return false;
      out->files.push_back(std::move(e));
    } else if (After(line, "delta ", &rest)) {
      ManifestDelta d;
      if (!ParseDeltaLine(rest, &d) || !seen.insert(d.path).second) return false;
      out->deltas.push_back(std::move(d));
    } else if (After(line, "signature ", &rest)) {
      // The signature needs the key it was made with, and ends the manifest.
      if (!out->hasKey || in.Left() != 0 ||
          !ztParseHex(rest.data(), rest.size(), out->signature, sizeof out->signature))
        return false;
      out->hasSignature = true;
      out->signedSize = lineStart;
      break;
    } else {
      return false;
    }
    keyAllowed = false;
  }
  if (!out->hasSignature) out->signedSize = size;
  return in.Ok() && !out->files.empty();
}

std::string EncodePublicKeyFile(const uint8_t key[kEd25519PublicKeyBytes]) {
  return kPublicKeyTag + ztHex(key, kEd25519PublicKeyBytes) + "\r\n";
}

bool DecodePublicKeyFile(const uint8_t* data, size_t size, uint8_t key[kEd25519PublicKeyBytes]) {
  return size < 1024 && DecodeKeyLine(data, size, kPublicKeyTag, key, kEd25519PublicKeyBytes);
}

std::string EncodeSecretKeyFile(const uint8_t key[kEd25519SecretKeyBytes]) {
  return kSecretKeyTag + ztHex(key, kEd25519SecretKeyBytes) + "\n";
}

bool DecodeSecretKeyFile(const uint8_t* data, size_t size, uint8_t key[kEd25519SecretKeyBytes]) {
  return size < 1024 && DecodeKeyLine(data, size, kSecretKeyTag, key, kEd25519SecretKeyBytes);
}

const char* VerifyFailureWords(int failure) {
  switch (failure) {
    case kVerifyOk: return "verified";
    case kVerifyNotSigned: return "not signed";
    case kVerifyUnknownKey: return "unknown key";
    case kVerifyBadSignature: return "bad signature";
    case kVerifyBadManifest: return "damaged manifest";
    case kVerifyBadKeyFile: return "damaged key file";
    case kVerifyFileMissing: return "file missing";
    case kVerifyFileNotListed: return "file not listed";
    case kVerifyHashMismatch: return "hash mismatch";
    case kVerifyOlderVersion: return "older version";
    case kVerifyBadDelta: return "damaged delta";
    default: return "not verified";
  }
}

VerifyResult CheckPackage(const PackageFacts& f, std::vector<ztSha256Digest>* expected,
                          std::vector<ManifestDelta>* deltas) {
  expected->clear();
  if (deltas) deltas->clear();
  auto fail = [](int failure, const std::u16string& file) { return VerifyResult{failure, file}; };
  if (f.keyFileDamaged) return fail(kVerifyBadKeyFile, kTrustedKeyName);
  if (!f.manifest) return f.trustedKey ? fail(kVerifyNotSigned, kManifestName) : VerifyResult{};

  UpdateManifest m;
  if (!DecodeManifest(f.manifest->data(), f.manifest->size(), &m)) return fail(kVerifyBadManifest, kManifestName);
  if (f.trustedKey && !m.hasSignature) return fail(kVerifyNotSigned, kManifestName);
  if (f.trustedKey && std::memcmp(m.key, f.trustedKey, sizeof m.key) != 0)
    return fail(kVerifyUnknownKey, kManifestName);
  // Without a trusted key a signature proves nothing about its author, but
  // one that does not match its own key still shows a damaged manifest.
  if (m.hasSignature && !ztEd25519Verify(f.manifest->data(), m.signedSize, m.signature, m.key))
    return fail(kVerifyBadSignature, kManifestName);
  if (f.trustedKey && m.Version() < f.installedVersion) return fail(kVerifyOlderVersion, kManifestName);

  // The listed files against the package's: the description and the splash
  // by their digests (the updater has read them whole), data by name and
  // size (the copy checks the digests as it reads).
  std::map<std::u16string, const ManifestEntry*> listed;
  for (const ManifestEntry& e : m.files) listed[e.path] = &e;
  auto take = [&](const std::u16string& path) -> const ManifestEntry* {
    auto it = listed.find(path);
    if (it == listed.end()) return nullptr;
    const ManifestEntry* e = it->second;
    listed.erase(it);
    return e;
  };
  const ManifestEntry* description = take(kDescriptionPath);
  if (!description) return fail(kVerifyFileNotListed, kDescriptionPath);
  if (description->sha256 != f.descriptionDigest) return fail(kVerifyHashMismatch, kDescriptionPath);
  const ManifestEntry* splash = take(kSplashPath);
  if (f.hasSplash && !splash) return fail(kVerifyFileNotListed, kSplashPath);
  if (!f.hasSplash && splash) return fail(kVerifyFileMissing, kSplashPath);
  if (splash && splash->sha256 != f.splashDigest) return fail(kVerifyHashMismatch, kSplashPath);

  const std::vector<std::u16string> noPaths;
  const std::vector<std::u16string>& paths = f.dataPaths ? *f.dataPaths : noPaths;
  std::vector<ztSha256Digest> digests;
  digests.reserve(paths.size());
  for (size_t i = 0; i < paths.size(); ++i) {
    const std::u16string path = kDataPrefix + paths[i];
    const ManifestEntry* e = take(path);
    if (!e) return fail(kVerifyFileNotListed, path);
    if (f.dataSizes && i < f.dataSizes->size() && (*f.dataSizes)[i] != e->size) return fail(kVerifyHashMismatch, path);
    digests.push_back(e->sha256);
  }
  if (!listed.empty()) return fail(kVerifyFileMissing, listed.begin()->first);
  *expected = std::move(digests);
  if (deltas) *deltas = std::move(m.deltas);
  return {};
}

void ManifestDigestCheck::BeginFile(size_t index) {
  current_ = index;
  hash_.Reset();
}

void ManifestDigestCheck::AddBlock(const void* data, uint32_t length) { hash_.Update(data, length); }

int32_t ManifestDigestCheck::EndFile() { return Verdict(current_, hash_.Finish()); }

int32_t ManifestDigestCheck::CheckFile(size_t index, const void* data, uint32_t length) {
  return Verdict(index, ztSha256::Of(data, length));
}

int32_t ManifestDigestCheck::Verdict(size_t index, const ztSha256Digest& digest) {
  // A job without a digest is not a file of the package: never installed.
  if (index < expected_.size() && digest == expected_[index]) return 1;
  const intptr_t job = static_cast<intptr_t>(index);
  intptr_t seen = failed_.load(std::memory_order_acquire);
  while ((seen < 0 || job < seen) && !failed_.compare_exchange_weak(seen, job, std::memory_order_acq_rel)) {
  }
  return 0;
}
