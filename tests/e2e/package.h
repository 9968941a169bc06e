// Builders for end-to-end runs: update packages (description, splash
// picture, data folder), installations (config\startup.xml, install.log) and
// the discovery file the installation leaves in the all-users application
// data folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/testutil.h"

namespace e2e {

// The file and path helpers the scenarios use, shared with every test.
using zt_test::FileExists;
using zt_test::Join;
using zt_test::ReadFileBytes;
using zt_test::RemoveTree;
using zt_test::U16;
using zt_test::WriteFileBytes;

// Every text of one display language (UTF-8).
struct LanguageTexts {
  std::string code;    // decimal, e.g. "1041"
  std::string prefix;  // element name of the texts, e.g. "jp"
  std::string title, intro, success, versionError, installError, copyError, copying, boot, errorTitle;
};
// The two languages the scenarios use: each text names its language and
// its purpose, so a box shows which record it came from.
LanguageTexts Japanese();
LanguageTexts English();

struct DescriptionParts {
  std::string brand, app, mutex, confMutex, major, minor;
  std::string defaultLanguage;  // empty: element left out
  std::vector<LanguageTexts> languages;
};
// updateinfo.xml for `desc` (UTF-8 with its declaration).
std::string DescriptionXml(const DescriptionParts& desc);

// A test picture: four coloured quarters with a checked border strip, so a
// picture turned upside down or mirrored shows. Pixels are 0x00RRGGBB, rows
// from the top.
std::vector<uint32_t> TestPicture(int width, int height);

// An RA-3 file holding one frame (id 0) of `pixels`: stdinfo (32 bits per
// pixel), the pixels as a lossless WebP ("img_wbp") and imgmode 1, which
// turns the WebP's red-green-blue order into the library's blue-green-red.
// Empty when the encoder failed.
std::string Ra3File(int width, int height, const std::vector<uint32_t>& pixels);

// The same picture as the image tool writes it by default: lossless strips
// ("img0000", "img0001", ...) of `stripHeight` rows each. Empty on failure.
std::string Ra3Strips(int width, int height, const std::vector<uint32_t>& pixels, uint32_t stripHeight = 64);

// A 24-bit BMP file of `pixels`.
std::string BmpFile(int width, int height, const std::vector<uint32_t>& pixels);

// The all-users application-data folder (ProgramData).
std::u16string CommonAppData();

// A Windows path for a path of the build (a Unix path becomes Z:\...).
std::u16string HostPathToWindows(const std::string& path);
// The updater.exe that ctest names in ZT_UPDATER_EXE; empty when unset.
std::u16string UpdaterExeFromEnvironment();

// A small Windows program with a version resource, built next to the test:
// `path` of an exe/dll file whose FILEVERSION is `version` (4 numbers).
// False when the template program is missing. (See versioned_stub.)
bool WriteVersionedFile(const std::u16string& templatePath, const std::u16string& path);

}  // namespace e2e
