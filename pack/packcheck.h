// ztpack check: everything about a package that a user would otherwise find
// out on screen, found beforehand, each with the file and the element
// concerned and what to do about it.
//
// What counts as what:
//   errors    the updater would stop, show a wrong or cut text, or install
//             something else than the author meant: the description does not
//             load or lacks a text, a text is longer than its field, a
//             literal \n where the updater shows it as is, a language code
//             that is not a number or given twice, a default prefix that
//             names no language (with several languages), a splash that does
//             not decode, has no pixels or is larger than 1280 x 720, no or an
//             empty data folder (without deltas), a manifest that does not
//             verify or does not match the package, a delta not listed or
//             not as listed, deltas without a manifest; with an
//             installation: a destination past 259 units, an installed
//             version the gate refuses, an installed file that is not a
//             delta's base where the package has no whole file for it, a
//             delta that does not make the listed file.
//   warnings  it runs, but probably not as meant: a language code missing
//             from the table of known ids (pack/langids.h), a splash of one
//             single colour, no splash or no manifest, files an installation
//             keeps because its own exe/dll is newer, a version that the new
//             files do not record in config\startup.xml.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/UpdateDescription.h"
#include "app/UpdateManifest.h"
#include "pack/packfs.h"
#include "pack/packreport.h"

// The largest splash picture: the window must fit a small screen whole.
constexpr uint32_t kSplashMaxWidth = 1280;
constexpr uint32_t kSplashMaxHeight = 720;

class ztXml;

class PackageChecker {
 public:
  // `install` empty: the checks that need an installation are left out.
  PackageChecker(const std::u16string& package, const std::u16string& install, PackReport* report,
                 const ProgressSink& progress);
  ~PackageChecker();
  PackageChecker(const PackageChecker&) = delete;
  PackageChecker& operator=(const PackageChecker&) = delete;

  // Every check below, in this order.
  void All();
  // updateinfo.xml through the updater's own reader, and its raw elements.
  void Description();
  // updatebg.ra3 through the updater's own loader.
  void Splash();
  // updater.exe is there.
  void Program();
  // The data folder: there, not empty, names an installation can hold.
  void Data();
  // update.manifest: matches the package, every data file's digest, the
  // signature, the version; with an installation, its trusted key.
  void Manifest();
  // The delta folder against the manifest (after Manifest): every delta
  // listed, of its listed size and digest, for the listed sizes; nothing
  // there that is not listed; a manifest at all.
  void Deltas();
  // The installation: destinations, version gate, program files kept; for
  // each delta, whether the installed file is its base and, where it is,
  // that applying it makes the listed file.
  void Installation();

 private:
  void Languages();
  void Texts(const std::string& prefix, const LanguageRecord* record);
  void Field(const std::vector<std::string>& path, size_t units, Severity ifEmpty);
  bool Raw(const std::vector<std::string>& path, std::string* text) const;
  void ListData();
  // Names an installation must be able to hold: each part a name Windows
  // gives a file, within 259 units, no two for one destination, none of the
  // updater's own. With `delta` given only its paths (files that a delta
  // alone brings) are judged, among all of `paths`.
  void Names(const std::vector<std::u16string>& paths, const std::set<std::u16string>& delta);
  void InstalledBases();
  // Whether data holds the whole file for `target` (relative to data), and
  // its listed digest.
  bool HasWholeFile(const std::u16string& target, ztSha256Digest* digest) const;

  std::u16string package_, install_;
  PackReport* report_;
  const ProgressSink& progress_;
  UpdateDescription description_{};
  bool loaded_ = false;
  uint32_t required_ = 0;
  bool dataListed_ = false;
  std::vector<PackFileEntry> data_;
  // What Manifest found: the listed digest of each of data_, the deltas.
  enum ManifestState { kManifestUnread, kManifestMissing, kManifestRefused, kManifestVerified };
  ManifestState manifest_ = kManifestUnread;
  std::vector<ztSha256Digest> expected_;
  std::vector<ManifestDelta> deltas_;
  // The description as plain elements, for what the updater's reader
  // hides (a cut text, an entry it never reaches).
  std::unique_ptr<ztXml> raw_;
  // The version the new files record in config\startup.xml; 0 when they do
  // not hold one.
  uint32_t dataVersion_ = 0;
};

// The four numbers of a version as text, "1.0.2.7".
std::string FileVersionText(uint64_t value);
