// The updater's own readers: the update description (read from a file, as
// the updater reads updateinfo.xml), the language choice over what it
// loaded, and the byte-level readers of the discovery file and the
// installation's startup.xml.
#include <string>
#include <vector>

#include "app/UpdateDescription.h"
#include "app/discovery.h"
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
