#include "pack/packsign.h"

#include <cstring>
#include <map>

#include "pack/packfs.h"
#include "pack/packtext.h"

bool HashFile(const std::u16string& path, ztSha256Digest* digest, uint64_t* size, std::vector<uint8_t>* buffer) {
  PackReader in;
  if (!in.Open(path)) return false;
  ztSha256 sha;
  uint64_t total = 0;
  for (;;) {
    const int64_t n = in.Read(buffer->data(), buffer->size());
    if (n < 0) return false;
    sha.Update(buffer->data(), static_cast<size_t>(n));
    total += static_cast<uint64_t>(n);
    if (static_cast<size_t>(n) < buffer->size()) break;
  }
  *digest = sha.Finish();
  *size = total;
  return true;
}

bool HashPackage(const std::u16string& package, std::vector<ManifestEntry>* files, std::string* error,
                 const ProgressSink& progress) {
  files->clear();
  std::vector<std::u16string> paths{u"updateinfo.xml"};
  if (IsFilePath(JoinPackPath(package, u"updatebg.ra3"))) paths.push_back(u"updatebg.ra3");
  std::vector<PackFileEntry> data;
  const std::u16string dataFolder = JoinPackPath(package, u"data");
  if (IsFolderPath(dataFolder) && !ListFiles(dataFolder, &data, error)) return false;
  uint64_t total = 0, done = 0;
  for (const PackFileEntry& e : data) {
    paths.push_back(u"data\\" + e.path);
    total += e.size;
  }
  std::vector<uint8_t> buffer(1 << 20);
  ProgressMeter meter(progress);
  for (const std::u16string& path : paths) {
    ManifestEntry e;
    e.path = path;
    if (!HashFile(JoinPackPath(package, path), &e.sha256, &e.size, &buffer)) {
      *error = "cannot read " + Utf8Of(JoinPackPath(package, path));
      return false;
    }
    done += e.size;
    files->push_back(e);
    meter.Show([&] { return "hashing: " + SizeText(done) + " of " + SizeText(total); });
  }
  return true;
}

bool HashDeltas(const std::u16string& package, const std::vector<ManifestDelta>& known,
                std::vector<ManifestDelta>* deltas, std::string* error, const ProgressSink& progress) {
  deltas->clear();
  std::vector<PackFileEntry> files;
  const std::u16string folder = JoinPackPath(package, u"delta");
  if (IsFolderPath(folder) && !ListFiles(folder, &files, error)) return false;
  std::map<std::u16string, const ManifestDelta*> byPath;
  for (const ManifestDelta& d : known) byPath[d.path] = &d;
  std::vector<uint8_t> buffer(1 << 20);
  ProgressMeter meter(progress);
  for (const PackFileEntry& e : files) {
    const std::u16string path = kDeltaPrefix + e.path;
    auto it = byPath.find(path);
    if (it == byPath.end()) {
      *error = Utf8Of(path) +
               " is not in the manifest, so the file it applies to cannot be told; rebuild the package with "
               "ztpack build --delta, or remove it";
      return false;
    }
    ManifestDelta d = *it->second;
    byPath.erase(it);
    if (!HashFile(JoinPackPath(package, path), &d.sha256, &d.size, &buffer)) {
      *error = "cannot read " + Utf8Of(JoinPackPath(package, path));
      return false;
    }
    deltas->push_back(d);
    meter.Show(
        [&] { return "hashing deltas: " + std::to_string(deltas->size()) + " of " + std::to_string(files.size()); });
  }
  for (const auto& gone : byPath) {
    if (!IsFilePath(JoinPackPath(package, u"data\\" + gone.second->Target()))) {
      *error = Utf8Of(gone.first) + " is listed in the manifest but not in the package, and data holds no whole " +
               Utf8Of(gone.second->Target()) + " either; put the delta back or rebuild the package";
      return false;
    }
  }
  return true;
}

std::vector<ManifestDelta> ListedDeltas(const std::u16string& package) {
  std::vector<uint8_t> bytes;
  UpdateManifest m;
  if (!ReadSmallFile(JoinPackPath(package, kManifestName), &bytes, kManifestLimit) ||
      !DecodeManifest(bytes.data(), bytes.size(), &m))
    return {};
  return m.deltas;
}

bool WritePackageManifest(const std::u16string& package, uint32_t major, uint32_t minor, const uint8_t* secretKey,
                          std::string* error, const ProgressSink& progress,
                          const std::vector<ManifestDelta>& knownDeltas) {
  UpdateManifest m;
  m.majorVersion = major;
  m.minorVersion = minor;
  if (!HashPackage(package, &m.files, error, progress)) return false;
  if (!HashDeltas(package, knownDeltas, &m.deltas, error, progress)) return false;
  std::string text;
  if (secretKey) {
    // libsodium's secret key ends with its public half, which the key line
    // names so that an installation can tell which key signed.
    m.hasKey = true;
    std::memcpy(m.key, secretKey + kEd25519SeedBytes, sizeof m.key);
    text = SignManifestBody(EncodeManifestBody(m), secretKey);
    if (text.empty()) {
      *error = "signing failed (libsodium could not start)";
      return false;
    }
  } else {
    text = EncodeManifestBody(m);
  }
  const std::u16string path = JoinPackPath(package, kManifestName);
  if (!WriteSmallFile(path, text.data(), text.size())) {
    *error = "cannot write " + Utf8Of(path);
    return false;
  }
  return true;
}

bool LoadSecretKey(const std::u16string& path, uint8_t key[kEd25519SecretKeyBytes], std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadSmallFile(path, &bytes, 4096)) {
    *error = "cannot read the key file " + Utf8Of(path) + " (make one with: ztpack keygen FILE)";
    return false;
  }
  uint8_t publicKey[kEd25519PublicKeyBytes], again[kEd25519SecretKeyBytes];
  if (!DecodeSecretKeyFile(bytes.data(), bytes.size(), key) || !ztEd25519SeedKeyPair(key, publicKey, again) ||
      std::memcmp(again, key, kEd25519SecretKeyBytes) != 0) {
    *error = Utf8Of(path) +
             " is not a secret key file (one line \"ZTSECRET1\" and 128 hex digits; pass the file keygen made, not "
             "its .pub)";
    return false;
  }
  return true;
}

bool MakeKeyPair(const std::u16string& path, std::string* error) {
  const std::u16string pub = path + u".pub";
  for (const std::u16string& p : {path, pub}) {
    if (IsFilePath(p) || IsFolderPath(p)) {
      *error = Utf8Of(p) +
               " exists; a key is never overwritten (packages signed with it would lose their key). "
               "Choose another name or remove it yourself";
      return false;
    }
  }
  uint8_t publicKey[kEd25519PublicKeyBytes], secretKey[kEd25519SecretKeyBytes];
  if (!ztEd25519KeyPair(publicKey, secretKey)) {
    *error = "no key made: libsodium could not start";
    return false;
  }
  const std::string secretText = EncodeSecretKeyFile(secretKey);
  const std::string publicText = EncodePublicKeyFile(publicKey);
  std::memset(secretKey, 0, sizeof secretKey);
  if (!WriteSmallFile(path, secretText.data(), secretText.size(), true, true)) {
    *error = "cannot write " + Utf8Of(path);
    return false;
  }
  if (!WriteSmallFile(pub, publicText.data(), publicText.size(), false, true)) {
    *error = "cannot write " + Utf8Of(pub);
    return false;
  }
  return true;
}
