#include "pack/packcheck.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "app/PackagePaths.h"
#include "app/SplashPicture.h"
#include "app/UpdateJob.h"
#include "app/UpdateManifest.h"
#include "app/VersionGate.h"
#include "app/discovery.h"
#include "file/pathutil.h"
#include "file/textutil.h"
#include "file/ztDelta.h"
#include "image/ztImageHolder.h"
#include "pack/langids.h"
#include "pack/packconfig.h"
#include "pack/packdelta.h"
#include "pack/packsign.h"
#include "pack/packtext.h"
#include "pack/programversion.h"
#include "xml/ztXml.h"

namespace {

constexpr const char kDescription[] = "updateinfo.xml";

std::string VersionText(uint32_t version) {
  return std::to_string(version >> 16) + "." + std::to_string(version & 0xFFFF);
}

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

std::string Lower(std::u16string text) {
  for (char16_t& c : text)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return Utf8Of(text);
}

const char* XmlReason(int32_t code) {
  switch (code) {
    case ZTXML_ERR_OPEN: return "the file cannot be opened";
    case ZTXML_ERR_READ: return "the file cannot be read whole";
    case ZTXML_ERR_FORMAT: return "the declaration <?xml version=\"1.0\" encoding=\"UTF-8\"?> is missing or different";
    case ZTXML_ERR_TAG: return "a tag cannot be read";
    case ZTXML_ERR_END_TAG: return "an end tag does not match the element it closes";
    default: return "it is not XML the updater reads";
  }
}

// What to do about each of CheckPackage's refusals.
std::string VerifyAdvice(int failure) {
  switch (failure) {
    case kVerifyNotSigned:
      return "the installation trusts a key (update.key) and the updater refuses an unsigned package: "
             "ztpack sign PKG --key KEYFILE";
    case kVerifyUnknownKey:
      return "signed with a key the installation does not trust: sign with the key whose .pub file the "
             "installation holds as update.key";
    case kVerifyBadSignature:
      return "the signature does not match the manifest: it was changed after signing; run ztpack sign again";
    case kVerifyBadManifest: return "damaged or not a manifest; write it again with ztpack sign";
    case kVerifyBadKeyFile:
      return "the installation's update.key cannot be read, and the updater refuses every package while it is so; "
             "put the key's .pub file back as update.key";
    case kVerifyFileMissing:
      return "listed in update.manifest but not in the package: rebuild the package, or run ztpack sign to list "
             "the files as they are now";
    case kVerifyFileNotListed:
      return "in the package but not listed in update.manifest: run ztpack sign to list the files as they are now";
    case kVerifyHashMismatch:
      return "its size or bytes differ from update.manifest: the file was changed or damaged after the manifest "
             "was written; rebuild the package, or run ztpack sign if the change is meant";
    case kVerifyOlderVersion:
      return "the package installs an older version than the installed one, which the updater refuses with a "
             "trusted key; raise <version> in pack.xml";
    default: return "the updater refuses the package";
  }
}

}  // namespace

std::string FileVersionText(uint64_t value) {
  return std::to_string(value >> 48) + "." + std::to_string(value >> 32 & 0xFFFF) + "." +
         std::to_string(value >> 16 & 0xFFFF) + "." + std::to_string(value & 0xFFFF);
}

PackageChecker::PackageChecker(const std::u16string& package, const std::u16string& install, PackReport* report,
                               const ProgressSink& progress)
    : package_(package), install_(install), report_(report), progress_(progress), raw_(new ztXml) {}

PackageChecker::~PackageChecker() = default;

void PackageChecker::All() {
  Description();
  Splash();
  Program();
  Data();
  Manifest();
  Deltas();
  Installation();
}

// ---- the description ---------------------------------------------------------

bool PackageChecker::Raw(const std::vector<std::string>& path, std::string* text) const {
  // Larger than any field: a text that fills it is cut whatever its end.
  std::vector<char> buffer(64 * 1024);
  const int32_t found = raw_->GetTextAt(buffer.data(), buffer.size(), "", path);
  *text = buffer.data();
  return found != 0;
}

void PackageChecker::Field(const std::vector<std::string>& path, size_t units, Severity ifEmpty) {
  std::string where = std::string(kDescription) + ": ";
  for (size_t i = 0; i < path.size(); ++i) where += (i ? "/" : "") + path[i];
  std::string text;
  if (!Raw(path, &text) || text.empty()) {
    report_->Add(ifEmpty, where, "missing or empty");
    return;
  }
  const size_t length = Utf16Of(text).size();
  if (length > units - 1)
    report_->Error(where, "is " + std::to_string(length) + " UTF-16 units long, the updater keeps " +
                              std::to_string(units - 1) + "; shorten it by " + std::to_string(length - units + 1));
}

void PackageChecker::Description() {
  const std::u16string path = JoinPackPath(package_, u"updateinfo.xml");
  if (!IsFilePath(path)) {
    report_->Error(kDescription, "missing; the updater stops at once (exit code 2). Make it with ztpack build");
    return;
  }
  loaded_ = LoadUpdateDescriptionFrom(path.c_str(), &description_) != 0;
  if (!loaded_ || !raw_->Open(path.c_str())) {
    report_->Error(kDescription, std::string("does not load: ") + XmlReason(raw_->LastErrorCode()) +
                                     "; the updater stops at once (exit code 2). Write it with ztpack build");
    loaded_ = false;
    return;
  }
  const char* findGame = "the updater would not find the installation; set <brand> and <app> in pack.xml";
  Field({"brand"}, 260, Severity::kError);
  Field({"app"}, 260, Severity::kError);
  if (!description_.brand[0] || !description_.app[0]) report_->Error(kDescription, findGame);
  // The updater joins both onto the all-users data folder and refuses a
  // description whose names would lead anywhere else.
  for (const auto& name : {std::make_pair("brand", description_.brand), std::make_pair("app", description_.app)}) {
    const char* fault = name.second[0] ? PathComponentFault(name.second) : nullptr;
    if (fault)
      report_->Error(std::string(kDescription) + ": " + name.first,
                     "\"" + Utf8Of(name.second) + "\" is not one plain folder name (" + fault +
                         "); the updater stops at once (exit code 2). Set <" + name.first +
                         "> in pack.xml to a plain name");
  }
  Field({"mutex"}, 260, Severity::kWarning);
  Field({"confmutex"}, 260, Severity::kWarning);
  Field({"language", "default"}, 64, Severity::kNote);

  // The required version: the gate reads each part as a number, and any
  // text that is not one as 0.
  std::string major, minor;
  const bool haveMajor = Raw({"version", "major"}, &major), haveMinor = Raw({"version", "minor"}, &minor);
  if (!haveMajor && !haveMinor)
    report_->Warning(std::string(kDescription) + ": version",
                     "missing; the update applies to every installed version. Set <requires> in pack.xml");
  for (const auto& part : {std::make_pair("major", &major), std::make_pair("minor", &minor)}) {
    if (!part.second->empty() && !AllDigits(*part.second))
      report_->Error(std::string(kDescription) + ": version/" + part.first,
                     "\"" + *part.second + "\" is not a number; the updater reads " +
                         std::to_string(ParseVersionNumber(Utf16Of(*part.second).c_str())) +
                         ". Write a decimal number");
  }
  if (AllDigits(minor) && (minor.size() > 5 || std::stoul(minor) > 65535))
    report_->Warning(std::string(kDescription) + ": version/minor",
                     "is 65536 or more and reaches into the major's bits (the version is major << 16 | minor); "
                     "write a minor below 65536");
  required_ = RequiredVersion(description_.majorVersion, description_.minorVersion);
  Languages();
}

void PackageChecker::Languages() {
  const std::string base = std::string(kDescription) + ": language/";
  // The entries the updater reads: lang00, lang01, ... up to the first one
  // without a code.
  std::set<uint16_t> codes;
  std::set<std::string> prefixes;
  int read = 0;
  for (;; ++read) {
    char entry[16];
    std::snprintf(entry, sizeof entry, "lang%02d", read);
    std::string code, prefix;
    if (!Raw({"language", entry, "code"}, &code) ||
        (static_cast<uint32_t>(raw_->GetInt(0xFFFF, 3, "language", entry, "code")) & 0xFFFF) == 0xFFFF)
      break;
    const std::string where = base + entry;
    const uint16_t value = static_cast<uint16_t>(raw_->GetInt(0, 3, "language", entry, "code") & 0xFFFF);
    if (!AllDigits(code) || value == 0)
      report_->Error(where + "/code", "\"" + code +
                                          "\" is not a Windows language id (a number such as 1041 or "
                                          "1033); the updater reads " +
                                          std::to_string(value));
    else if (!codes.insert(value).second)
      report_->Error(where + "/code", std::to_string(value) +
                                          " is given to two languages; the user only ever sees the first. Give each "
                                          "language its own code");
    else if (!KnownLanguageTag(value))
      report_->Warning(where + "/code", std::to_string(value) +
                                            " is not in ztpack's table of Windows language ids; check it is the "
                                            "LANGID you mean (1041 ja-JP, 1033 en-US)");
    Raw({"language", entry, "prifix"}, &prefix);
    if (prefix.empty()) {
      report_->Error(where + "/prifix", "missing or empty; name the element that holds the language's texts");
      continue;
    }
    if (prefix.size() > 63) {
      report_->Error(where + "/prifix", "longer than the 63 bytes the updater keeps; its texts would not be found");
      continue;
    }
    if (!prefixes.insert(prefix).second) {
      report_->Error(where + "/prifix",
                     "\"" + prefix + "\" names two languages; the updater keeps the first. Give each its own");
      continue;
    }
    if (IsReservedPrefix(prefix))
      report_->Warning(where + "/prifix", "\"" + prefix + "\" is also a setting's element; choose another name");
    auto it = description_.languages.find(Utf16Of(prefix));
    Texts(prefix, it == description_.languages.end() ? nullptr : &it->second);
  }
  // Entries past the end of the list are never read.
  ztXmlCursor cursor;
  if (raw_->FirstChild(&cursor, 1, "language")) {
    char name[64];
    while (raw_->NextChild(&cursor, name)) {
      if (std::strncmp(name, "lang", 4) != 0 || !AllDigits(name + 4)) continue;
      const int n = std::atoi(name + 4);
      char canonical[16], end[16];
      std::snprintf(canonical, sizeof canonical, "lang%02d", n);
      std::snprintf(end, sizeof end, "lang%02d", read);
      if (canonical != std::string(name))
        report_->Error(base + name, std::string("never read: the updater reads entries named lang00, lang01, ...; "
                                                "rename it ") +
                                        canonical);
      else if (n >= read)
        report_->Error(base + name, std::string("never read: the updater's list ends at ") + end +
                                        ", which is missing or has no code. Number the languages from lang00 "
                                        "without a gap, each with a code");
    }
  }
  if (description_.languages.empty()) {
    report_->Error(base + "lang00", "no language; the updater stops at once (exit code 2). Add a <language>");
    return;
  }
  const std::u16string def = description_.defaultLanguage;
  if (description_.languages.count(def) == 0) {
    const std::string text = "\"" + Utf8Of(def) +
                             "\" names no language; a user whose UI language has no texts "
                             "gets the first by prefix. Set <default> to one of the prefixes";
    if (description_.languages.size() > 1)
      report_->Error(base + "default", text);
    else
      report_->Note(base + "default", text + " (with one language it is always used)");
  }
}

void PackageChecker::Texts(const std::string& prefix, const LanguageRecord* record) {
  for (size_t f = 0; f < kTextFieldCount; ++f) {
    const TextField& field = kTextFields[f];
    const std::string where = std::string(kDescription) + ": " + prefix + "/" + field.section + "/" + field.name;
    const std::string hint = std::string(" (pack.xml: <") + field.packName + ">)";
    std::string text;
    if (!Raw({prefix, field.section, field.name}, &text) || !record || !field.get(*record)[0]) {
      report_->Error(where, "missing or empty; the user would see an empty " + std::string(f == 0 ? "title" : "text") +
                                ". Write it" + hint);
      continue;
    }
    const size_t length = Utf16Of(text).size();
    if (length > field.units - 1)
      report_->Error(where, "is " + std::to_string(length) +
                                " UTF-16 units long (\\n counts as 2), the updater's "
                                "field holds " +
                                std::to_string(field.units - 1) + " and cuts the rest; shorten it by " +
                                std::to_string(length - field.units + 1) + hint);
    if (!field.lineBreaks && text.find("\\n") != std::string::npos)
      report_->Error(where,
                     "holds \\n, which the updater shows as the two characters here (only the title, intro, "
                     "success, version_error and install_error texts break lines); remove it" +
                         hint);
  }
}

// ---- the splash picture --------------------------------------------------------

void PackageChecker::Splash() {
  const std::u16string path = JoinPackPath(package_, u"updatebg.ra3");
  if (!IsFilePath(path)) {
    report_->Warning("updatebg.ra3",
                     "missing; the splash window is 640 x 360 and black. Give ztpack build "
                     "--splash PICTURE");
    return;
  }
  std::unique_ptr<ztImageHolder> holder(LoadSplashPicture(path.c_str()));
  if (!holder) {
    report_->Error("updatebg.ra3",
                   "does not decode, or has no pixels; the updater shows a black window instead. "
                   "Make it again with ztpack build --splash PICTURE");
    return;
  }
  uint32_t w = 0, h = 0;
  holder->GetSize(&w, &h);
  if (w > kSplashMaxWidth || h > kSplashMaxHeight) {
    report_->Error("updatebg.ra3", "is " + std::to_string(w) + " x " + std::to_string(h) +
                                       "; the splash window shows the picture at its own size and must fit a "
                                       "1280 x 720 screen. Scale the picture down");
  }
  if (!SplashPaintable(holder.get())) {
    report_->Error("updatebg.ra3",
                   "decodes, but not into pixels the window can paint; make it again with "
                   "ztpack build --splash PICTURE");
    return;
  }
  // One colour all over is what a picture that lost its content (a wrong
  // layer, a fully transparent canvas flattened onto white) looks like.
  const uint8_t* pixels = holder->GetPixels();
  const size_t bpp = static_cast<size_t>(holder->GetBytesPerPixel());
  const size_t stride = holder->GetStride();
  bool single = true;
  for (uint32_t y = 0; y < h && single; ++y)
    for (uint32_t x = 0; x < w && single; ++x) single = std::memcmp(pixels + y * stride + x * bpp, pixels, bpp) == 0;
  if (single)
    report_->Warning("updatebg.ra3", "is one single colour (" + std::to_string(w) + " x " + std::to_string(h) +
                                         "); check that it is the picture you meant");
  else
    report_->Note("updatebg.ra3", std::to_string(w) + " x " + std::to_string(h) + " picture");
}

void PackageChecker::Program() {
  if (!IsFilePath(JoinPackPath(package_, u"updater.exe")))
    report_->Error("updater.exe",
                   "missing; the user has nothing to start. Copy it into the package (ztpack build "
                   "--updater EXE)");
}

// ---- the data folder -----------------------------------------------------------

void PackageChecker::ListData() {
  if (dataListed_) return;
  dataListed_ = true;
  std::string error;
  const std::u16string folder = JoinPackPath(package_, u"data");
  if (IsFolderPath(folder) && !ListFiles(folder, &data_, &error)) report_->Error("data", error);
}

void PackageChecker::Data() {
  if (!IsFolderPath(JoinPackPath(package_, u"data"))) {
    report_->Error("data",
                   "missing; the updater ends with the copy error (exit code 6). Make the package with "
                   "ztpack build");
    return;
  }
  ListData();
  const bool hasDeltas = !IsMissingOrEmptyFolder(JoinPackPath(package_, u"delta"));
  if (data_.empty() && hasDeltas) {
    report_->Note("data", "empty: every change travels as a delta");
    return;
  }
  if (data_.empty()) {
    report_->Error("data",
                   "empty; the update would install nothing. Do --old and --new name two different "
                   "versions?");
    return;
  }
  uint64_t bytes = 0;
  std::vector<std::u16string> paths;
  paths.reserve(data_.size());
  for (const PackFileEntry& e : data_) {
    bytes += e.size;
    paths.push_back(e.path);
  }
  Names(paths, {});
  report_->Note("data", std::to_string(data_.size()) + " files, " + SizeText(bytes));
  std::vector<uint8_t> startup;
  if (ReadSmallFile(JoinPackPath(package_, u"data\\config\\startup.xml"), &startup, 1 << 20)) {
    startup.push_back(0);
    dataVersion_ = ParseInstalledVersion(reinterpret_cast<const char*>(startup.data()));
  } else if (!IsFilePath(JoinPackPath(package_, u"delta\\config\\startup.xml"))) {
    report_->Warning("data\\config\\startup.xml",
                     "not in the package: an updated installation keeps its old version number, and the next "
                     "update's version check sees that one");
  }
}

void PackageChecker::Names(const std::vector<std::u16string>& paths, const std::set<std::u16string>& delta) {
  // A file that travels as a delta only is named by its delta.
  auto where = [&](const std::u16string& path) { return (delta.count(path) ? "delta\\" : "data\\") + Utf8Of(path); };
  for (const std::u16string& path : paths) {
    if (!delta.empty() && !delta.count(path)) continue;  // data's own, named by Data
    if (path.size() > ZT_MAX_PATH - 1)
      report_->Error(where(path),
                     "the path is longer than 259 UTF-16 units, which no installation can hold; shorten it");
    size_t start = 0;
    for (;;) {
      const size_t end = path.find(u'\\', start);
      const std::u16string part = path.substr(start, end == std::u16string::npos ? end : end - start);
      if (const char* fault = PathComponentFault(part.c_str()))
        report_->Error(where(path),
                       "\"" + Utf8Of(part) + "\" is not a name Windows can give a file or folder: " + fault);
      if (end == std::u16string::npos) break;
      start = end + 1;
    }
  }
  for (const PackagePathProblem& p : FindPackagePathProblems(paths)) {
    if (!delta.empty() && !delta.count(p.path) && !delta.count(p.other)) continue;
    const std::string words = PackagePathReasonWords(p.reason);
    if (p.reason == PackagePathReason::kDuplicateDestination)
      report_->Error(where(p.path),
                     words + ": Windows takes it and " + where(p.other) +
                         " for one file or folder (names compare without case and without the dots and spaces at "
                         "their end); the updater refuses the update. Rename or remove one");
    else
      report_->Error(where(p.path),
                     words +
                         ": the updater keeps install.log, update.log and its journal (.ztupdate) in the "
                         "installation and refuses an update that would write over them; remove it");
  }
}

// ---- the manifest --------------------------------------------------------------

void PackageChecker::Manifest() {
  const std::u16string path = JoinPackPath(package_, kManifestName);
  ListData();
  // The installation's trusted key, as the updater reads it.
  uint8_t key[kEd25519PublicKeyBytes] = {};
  PackageFacts facts;
  std::vector<uint8_t> bytes;
  if (!install_.empty() && IsFilePath(JoinPackPath(install_, kTrustedKeyName))) {
    if (ReadSmallFile(JoinPackPath(install_, kTrustedKeyName), &bytes, 4096) &&
        DecodePublicKeyFile(bytes.data(), bytes.size(), key))
      facts.trustedKey = key;
    else
      facts.keyFileDamaged = true;
  }
  if (!install_.empty()) facts.installedVersion = ReadInstalledVersion(install_.c_str());
  const bool present = IsFilePath(path);
  std::vector<uint8_t> manifest;
  if (present && !ReadSmallFile(path, &manifest, kManifestLimit)) {
    report_->Error("update.manifest",
                   "cannot be read whole (or is larger than 32 MiB); write it again with "
                   "ztpack sign");
    return;
  }
  if (present) facts.manifest = &manifest;
  std::vector<uint8_t> buffer(1 << 20);
  uint64_t size = 0;
  if (!HashFile(JoinPackPath(package_, u"updateinfo.xml"), &facts.descriptionDigest, &size, &buffer)) return;
  facts.hasSplash = HashFile(JoinPackPath(package_, u"updatebg.ra3"), &facts.splashDigest, &size, &buffer);
  std::vector<std::u16string> paths;
  std::vector<uint64_t> sizes;
  for (const PackFileEntry& e : data_) {
    paths.push_back(e.path);
    sizes.push_back(e.size);
  }
  facts.dataPaths = &paths;
  facts.dataSizes = &sizes;

  std::vector<ztSha256Digest>& expected = expected_;
  const VerifyResult result = CheckPackage(facts, &expected, &deltas_);
  if (result.failure != kVerifyOk) {
    const std::string file = Utf8Of(result.file);
    report_->Error(file.empty() ? "update.manifest" : file, VerifyAdvice(result.failure));
    manifest_ = kManifestRefused;
    return;
  }
  manifest_ = present ? kManifestVerified : kManifestMissing;
  if (!present) {
    report_->Warning("update.manifest",
                     "missing; a damaged or changed file is not noticed before it is "
                     "installed. ztpack sign PKG [--key KEYFILE] writes one");
    return;
  }
  // The updater checks each data file's digest as it copies; a mismatch
  // found then fails the update half-way and rolls it back.
  ProgressMeter meter(progress_);
  for (size_t i = 0; i < paths.size(); ++i) {
    ztSha256Digest digest;
    if (!HashFile(JoinPackPath(JoinPackPath(package_, u"data"), paths[i]), &digest, &size, &buffer) ||
        digest != expected[i])
      report_->Error("data\\" + Utf8Of(paths[i]), VerifyAdvice(kVerifyHashMismatch));
    meter.Show([&] { return "verifying: " + std::to_string(i + 1) + " of " + std::to_string(paths.size()); });
  }
  meter.Finish();

  UpdateManifest m;
  (void)DecodeManifest(manifest.data(), manifest.size(), &m);
  const std::string installs = VersionText(m.Version());
  if (m.hasSignature)
    report_->Note("update.manifest", "signed with key " + ztHex(m.key, sizeof m.key) + ", installs " + installs +
                                         (facts.trustedKey ? ", trusted by the installation"
                                                           : "; give --install DIR to check it against the key "
                                                             "the installation trusts"));
  else
    report_->Note("update.manifest", "not signed, installs " + installs);
  if (loaded_ && m.Version() < required_)
    report_->Error("update.manifest", "installs " + installs + " but the description requires at least " +
                                          VersionText(required_) +
                                          " installed; check <requires> and <version> in "
                                          "pack.xml");
  if (dataVersion_ && dataVersion_ != m.Version())
    report_->Warning("data\\config\\startup.xml", "records version " + VersionText(dataVersion_) +
                                                      " but the manifest says the package installs " + installs);
  if (!install_.empty() && !facts.trustedKey && facts.installedVersion > m.Version())
    report_->Warning("update.manifest",
                     "installs " + installs + ", older than the installed " + VersionText(facts.installedVersion));
}

// ---- the installation ----------------------------------------------------------

void PackageChecker::Installation() {
  if (install_.empty()) return;
  const std::string at = "install " + Utf8Of(install_);
  if (!IsFolderPath(install_)) {
    report_->Error(at, "is not a folder");
    return;
  }
  ListData();
  if (!IsFilePath(JoinPackPath(install_, u"config\\startup.xml")))
    report_->Warning(at, "has no config\\startup.xml; the updater reads its version as 0");
  const uint32_t installed = ReadInstalledVersion(install_.c_str());
  if (!loaded_) {
  } else if (!VersionAccepted(installed, required_)) {
    report_->Error(at, "is version " + VersionText(installed) + ", older than the " + VersionText(required_) +
                           " the description requires: the updater stops with the version error (exit code 5)");
  } else {
    report_->Note(
        at, "version " + VersionText(installed) + " passes the version gate (requires " + VersionText(required_) + ")");
  }
  if (IsFolderPath(JoinPackPath(install_, u".ztupdate")))
    report_->Warning(at, "holds an unfinished update's journal (.ztupdate); the next run rolls it back first");

  size_t programs = 0, unknown = 0;
  for (const PackFileEntry& e : data_) {
    const std::string where = "data\\" + Utf8Of(e.path);
    char16_t destination[ZT_MAX_PATH];
    if (JoinPath(destination, 2, install_.c_str(), e.path.c_str()) < 0) {
      report_->Error(where, "installs as a path longer than 259 UTF-16 units below " + Utf8Of(install_) +
                                "; the updater refuses the whole update (exit code 6). Shorten the path");
      continue;
    }
    const std::u16string lower = Utf16Of(Lower(e.path));
    const bool program = lower.size() > 4 && (lower.compare(lower.size() - 4, 4, u".exe") == 0 ||
                                              lower.compare(lower.size() - 4, 4, u".dll") == 0);
    if (!program || !IsFilePath(destination)) continue;
    ++programs;
    std::string offered, present;
    const int kept =
        InstalledProgramIsNewer(JoinPackPath(JoinPackPath(package_, u"data"), e.path), destination, &offered, &present);
    if (kept < 0)
      ++unknown;
    else if (kept)
      report_->Warning(where, "the installed copy is version " + present + ", newer than the package's " +
                                  std::string(offered).append(", so the updater keeps it and this file is not "
                                                              "installed"));
  }
  if (unknown)
    report_->Note(at, std::to_string(unknown) + " of " + std::to_string(programs) +
                          " installed exe/dll files could not be compared by file version: version resources are "
                          "read by the Windows build only; run ztpack.exe check (under Windows or Wine) for that");
  InstalledBases();
}

// ---- the deltas ------------------------------------------------------------------

bool PackageChecker::HasWholeFile(const std::u16string& target, ztSha256Digest* digest) const {
  for (size_t i = 0; i < data_.size(); ++i) {
    if (data_[i].path != target) continue;
    if (digest && i < expected_.size()) *digest = expected_[i];
    return true;
  }
  return false;
}

void PackageChecker::Deltas() {
  const std::u16string folder = JoinPackPath(package_, u"delta");
  const bool present = IsFolderPath(folder);
  if (!present && deltas_.empty()) return;
  std::vector<PackFileEntry> files;
  std::string error;
  if (present && !ListFiles(folder, &files, &error)) {
    report_->Error("delta", error);
    return;
  }
  if (present && manifest_ == kManifestMissing) {
    report_->Error("delta",
                   "the package has deltas but no update.manifest, which names the installed file each delta "
                   "applies to; build the package again with ztpack build --delta");
    return;
  }
  if (manifest_ != kManifestVerified) return;  // the manifest's own error says what to do
  ListData();
  std::map<std::u16string, const ManifestDelta*> listed;
  for (const ManifestDelta& d : deltas_) listed[d.path] = &d;
  std::vector<uint8_t> buffer(1 << 20);
  ProgressMeter meter(progress_);
  uint64_t bytes = 0;
  size_t done = 0;
  for (const PackFileEntry& e : files) {
    const std::u16string path = kDeltaPrefix + e.path;
    const std::string where = Utf8Of(path);
    auto it = listed.find(path);
    if (it == listed.end()) {
      report_->Error(where,
                     "in the package but not listed in update.manifest, so the file it applies to cannot be told; "
                     "remove it, or build the package again with ztpack build --delta");
      continue;
    }
    const ManifestDelta& d = *it->second;
    listed.erase(it);
    bytes += e.size;
    ztSha256Digest digest;
    uint64_t size = 0;
    if (!HashFile(JoinPackPath(package_, path), &digest, &size, &buffer) || size != d.size || digest != d.sha256) {
      report_->Error(where, VerifyAdvice(kVerifyHashMismatch));
      continue;
    }
    // Its own header names the sizes of the base and of what it makes: a
    // line that names others belongs to another delta.
    std::vector<uint8_t> head(kDeltaHeaderBytes);
    PackReader in;
    ztDeltaHeader header;
    if (!in.Open(JoinPackPath(package_, path)) ||
        in.Read(head.data(), head.size()) != static_cast<int64_t>(head.size()) ||
        ztReadDeltaHeader(head.data(), head.size(), &header) != kDeltaOk) {
      report_->Error(where, "is not a delta; build the package again with ztpack build --delta");
      continue;
    }
    if (header.baseSize != d.baseSize || header.outputSize != d.outputSize)
      report_->Error(where, "applies to a file of " + std::to_string(header.baseSize) + " bytes and makes one of " +
                                std::to_string(header.outputSize) + ", but update.manifest lists " +
                                std::to_string(d.baseSize) + " and " + std::to_string(d.outputSize) +
                                "; build the package again");
    ztSha256Digest whole;
    if (HasWholeFile(d.Target(), &whole) && whole != d.outputSha256)
      report_->Error(where, "makes other bytes than the whole file data\\" + Utf8Of(d.Target()) +
                                " beside it: an installation would get one or the other. Build the package again");
    ++done;
    meter.Show([&] { return "verifying deltas: " + std::to_string(done) + " of " + std::to_string(files.size()); });
  }
  meter.Finish();
  for (const auto& gone : listed) report_->Error(Utf8Of(gone.first), VerifyAdvice(kVerifyFileMissing));
  // The files only a delta brings are installed under their names too:
  // the same rules as for data, among data's names.
  size_t fallbacks = 0;
  std::vector<std::u16string> names;
  std::set<std::u16string> deltaOnly;
  for (const PackFileEntry& e : data_) names.push_back(e.path);
  for (const ManifestDelta& d : deltas_) {
    if (HasWholeFile(d.Target(), nullptr)) {
      ++fallbacks;
    } else {
      names.push_back(d.Target());
      deltaOnly.insert(d.Target());
    }
  }
  if (!deltaOnly.empty()) Names(names, deltaOnly);
  report_->Note("delta", std::to_string(files.size()) + " deltas, " + SizeText(bytes) + "; " +
                             std::to_string(fallbacks) + " with the whole file under data");
}

void PackageChecker::InstalledBases() {
  if (manifest_ != kManifestVerified || deltas_.empty() || !IsFolderPath(install_)) return;
  std::vector<uint8_t> buffer(1 << 20);
  ProgressMeter meter(progress_);
  size_t applied = 0, whole = 0, done = 0;
  for (const ManifestDelta& d : deltas_) {
    const std::string where = Utf8Of(d.path);
    const std::u16string installed = JoinPackPath(install_, d.Target());
    char16_t destination[ZT_MAX_PATH];
    if (!HasWholeFile(d.Target(), nullptr) && JoinPath(destination, 2, install_.c_str(), d.Target().c_str()) < 0) {
      report_->Error(where, "installs as a path longer than 259 UTF-16 units below " + Utf8Of(install_) +
                                "; the updater refuses the whole update (exit code 6). Shorten the path");
      continue;
    }
    // The size first: a file of another size is not read.
    bool isBase = false;
    {
      PackReader in;
      isBase = in.Open(installed) && in.Size() == static_cast<int64_t>(d.baseSize);
    }
    ztSha256Digest digest;
    uint64_t size = 0;
    isBase = isBase && HashFile(installed, &digest, &size, &buffer) && size == d.baseSize && digest == d.baseSha256;
    meter.Show([&] { return "applying deltas: " + std::to_string(++done) + " of " + std::to_string(deltas_.size()); });
    if (!isBase) {
      if (HasWholeFile(d.Target(), nullptr)) {
        ++whole;
        report_->Note(where,
                      "the installed file is not the version this package patches; the updater installs "
                      "the whole file data\\" +
                          Utf8Of(d.Target()) + " instead");
      } else {
        report_->Error(where,
                       "the installed file is not the version this package patches, and the package has no whole "
                       "file for it under data: the updater refuses the package (exit code 9). Build it with "
                       "--fallback, or from the version installed");
      }
      continue;
    }
    const int result = ApplyFileDelta(installed, JoinPackPath(package_, d.path), &size, &digest);
    if (result != kDeltaOk)
      report_->Error(where, std::string("does not apply to the installed file (") + ztDeltaResultWords(result) +
                                "); build the package again");
    else if (size != d.outputSize || digest != d.outputSha256)
      report_->Error(where,
                     "applied to the installed file, it makes other bytes than update.manifest lists; build the "
                     "package again");
    else
      ++applied;
  }
  meter.Finish();
  report_->Note("install " + Utf8Of(install_), std::to_string(applied) + " of " + std::to_string(deltas_.size()) +
                                                   " deltas apply to the installed files and make the listed files; " +
                                                   std::to_string(whole) +
                                                   " installed files differ and get the whole file");
}
