// The updater's own readers: the update description (read from a file, as
// the updater reads updateinfo.xml), the language choice over what it
// loaded, and the byte-level readers of the discovery file and the
// installation's startup.xml; the signed package's manifest and key files
// with the rules run over whatever manifest was read.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/UpdateDescription.h"
#include "app/UpdateManifest.h"
#include "app/discovery.h"
#include "file/ztDelta.h"
#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"

namespace {

uint16_t g_uiLanguage = 1041;
uint16_t FuzzUiLanguage() { return g_uiLanguage; }

// The readers take zero-terminated bytes.
std::vector<char> Terminated(const uint8_t* data, size_t size) {
  std::vector<char> bytes(data, data + size);
  bytes.push_back('\0');
  return bytes;
}

}  // namespace

int ztFuzzDescription(const uint8_t* data, size_t size) {
  static const std::u16string path = ztFuzzScratchPath("updateinfo.xml");
  if (!ztFuzzWriteFile(path, data, size)) return 0;
  static UpdateDescription description;
  static LanguageRecord language;
  if (LoadUpdateDescriptionFrom(path.c_str(), &description)) {
    // Both ways through the choice: the UI language found, and not found.
    SetUiLanguageSource(FuzzUiLanguage);
    g_uiLanguage = 1041;
    ChooseLanguage(description, &language);
    g_uiLanguage = 0x7FFF;
    ChooseLanguage(description, &language);
    SetUiLanguageSource(nullptr);
  }
  return 0;
}

int ztFuzzDiscovery(const uint8_t* data, size_t size) {
  std::vector<char> bytes = Terminated(data, size);
  char16_t folder[260];
  ExtractInstallFolder(bytes.data(), folder, 260);
  // A small buffer: the refusal of a folder that does not fit.
  char16_t small[8];
  ExtractInstallFolder(bytes.data(), small, 8);
  return 0;
}

int ztFuzzVersion(const uint8_t* data, size_t size) {
  std::vector<char> bytes = Terminated(data, size);
  ParseInstalledVersion(bytes.data());
  return 0;
}

int ztFuzzManifest(const uint8_t* data, size_t size) {
  UpdateManifest manifest;
  if (DecodeManifest(data, size, &manifest)) {
    // The rules over it, with the manifest's own key trusted (so the
    // signature is checked) and with the data folder it lists.
    std::vector<uint8_t> bytes(data, data + size);
    std::vector<std::u16string> paths;
    std::vector<uint64_t> sizes;
    for (const ManifestEntry& e : manifest.files) {
      if (e.path.compare(0, 5, u"data\\") != 0) continue;
      paths.push_back(e.path.substr(5));
      sizes.push_back(e.size);
    }
    PackageFacts facts;
    facts.trustedKey = manifest.hasKey ? manifest.key : nullptr;
    facts.manifest = &bytes;
    facts.dataPaths = &paths;
    facts.dataSizes = &sizes;
    std::vector<ztSha256Digest> expected;
    CheckPackage(facts, &expected);
  }
  uint8_t key[kEd25519SecretKeyBytes];
  DecodePublicKeyFile(data, size, key);
  DecodeSecretKeyFile(data, size, key);
  return 0;
}

int ztFuzzDelta(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t baseSize = std::min<size_t>(static_cast<size_t>(data[0] | data[1] << 8), size - 2);
  const uint8_t* base = data + 2;
  const uint8_t* delta = base + baseSize;
  const size_t deltaSize = size - 2 - baseSize;
  size_t at = 0;
  uint64_t produced = 0;
  ztDeltaApplyIo io;
  // Every read the decoder asks for must lie inside what it was given.
  io.readBase = [&](uint64_t offset, void* out, uint32_t length) {
    if (offset > baseSize || length > baseSize - offset) ztFuzzFail("delta: a base read past the base");
    std::memcpy(out, base + offset, length);
    return true;
  };
  io.readDelta = [&](void* out, uint32_t length) {
    if (length > deltaSize - at) return false;
    std::memcpy(out, delta + at, length);
    at += length;
    return true;
  };
  io.writeOutput = [&](const void*, uint32_t length) {
    produced += length;
    return true;
  };
  ztDeltaHeader header;
  if (ztApplyDelta(io, baseSize, deltaSize, &header) == kDeltaOk && produced != header.outputSize)
    ztFuzzFail("delta: applied, but not the size its header gives");
  return 0;
}
