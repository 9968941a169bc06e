#include "pack/packbuild.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "app/UpdateJournal.h"
#include "app/UpdateManifest.h"
#include "app/discovery.h"
#include "pack/packcheck.h"
#include "pack/packconfig.h"
#include "pack/packdelta.h"
#include "pack/packsign.h"
#include "pack/packtext.h"
#include "tools/imagetool.h"

namespace {

constexpr size_t kBlock = 1 << 20;

// Names as Windows matches them: without case. The letters folded are the
// Latin, Greek and Cyrillic ones and the full-width Latin ones, which covers
// the names games ship; the rest compare as they are.
std::u16string Folded(const std::u16string& name) {
  std::u16string out = name;
  for (char16_t& c : out) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB) ||
        (c >= 0x410 && c <= 0x42F) || (c >= 0xFF21 && c <= 0xFF3A))
      c = static_cast<char16_t>(c + 0x20);
    else if (c >= 0x400 && c <= 0x40F)
      c = static_cast<char16_t>(c + 0x50);
  }
  return out;
}

// 1 same bytes, 0 different, -1 a file could not be read. Both files have
// `size` bytes, as the listing saw them.
int SameBytes(const std::u16string& a, const std::u16string& b, uint64_t size, std::vector<uint8_t>* bufferA,
              std::vector<uint8_t>* bufferB) {
  if (size == 0) return 1;
  PackReader ra, rb;
  if (!ra.Open(a) || !rb.Open(b)) return -1;
  for (;;) {
    const int64_t na = ra.Read(bufferA->data(), bufferA->size());
    const int64_t nb = rb.Read(bufferB->data(), bufferB->size());
    if (na < 0 || nb < 0) return -1;
    if (na != nb || std::memcmp(bufferA->data(), bufferB->data(), static_cast<size_t>(na)) != 0) return 0;
    if (static_cast<size_t>(na) < bufferA->size()) return 1;
  }
}

struct Candidate {
  size_t oldIndex, newIndex;
};

}  // namespace

bool DiffTrees(const std::u16string& oldRoot, const std::u16string& newRoot, TreeDiff* diff, std::string* error,
               const ProgressSink& progress, unsigned threads) {
  *diff = TreeDiff();
  std::vector<PackFileEntry> oldFiles, newFiles;
  if (!ListFiles(oldRoot, &oldFiles, error) || !ListFiles(newRoot, &newFiles, error)) return false;

  std::unordered_map<std::u16string, size_t> exact, folded;
  for (size_t i = 0; i < oldFiles.size(); ++i) {
    exact.emplace(oldFiles[i].path, i);
    folded.emplace(Folded(oldFiles[i].path), i);
  }
  std::vector<bool> matched(oldFiles.size());
  std::vector<Candidate> same, changed;
  uint64_t sameBytes = 0;
  for (size_t i = 0; i < newFiles.size(); ++i) {
    size_t match = SIZE_MAX;
    auto e = exact.find(newFiles[i].path);
    if (e != exact.end()) {
      match = e->second;
    } else {
      auto f = folded.find(Folded(newFiles[i].path));
      if (f != folded.end()) match = f->second;
    }
    if (match == SIZE_MAX || matched[match]) {
      diff->added.push_back(newFiles[i]);
      continue;
    }
    matched[match] = true;
    if (oldFiles[match].size != newFiles[i].size) {
      changed.push_back({match, i});
      continue;
    }
    same.push_back({match, i});
    sameBytes += newFiles[i].size;
  }
  for (size_t i = 0; i < oldFiles.size(); ++i)
    if (!matched[i]) diff->removed.push_back(oldFiles[i]);

  // Files of equal size, compared on a few threads: from the cache the
  // comparison is bound by memory copies, from a disk by requests in flight,
  // and both gain from a second reader.
  std::vector<int> result(same.size(), 1);
  std::atomic<size_t> next{0}, done{0};
  std::atomic<uint64_t> bytesDone{0};
  std::atomic<bool> failed{false};
  auto work = [&](bool reporting) {
    std::vector<uint8_t> a(kBlock), b(kBlock);
    ProgressMeter meter(reporting ? progress : ProgressSink());
    for (size_t k; !failed && (k = next++) < same.size();) {
      const Candidate& c = same[k];
      result[k] = SameBytes(JoinPackPath(oldRoot, oldFiles[c.oldIndex].path),
                            JoinPackPath(newRoot, newFiles[c.newIndex].path), newFiles[c.newIndex].size, &a, &b);
      if (result[k] < 0) failed = true;
      bytesDone += newFiles[c.newIndex].size;
      ++done;
      if (reporting)
        meter.Show([&] {
          return "comparing: " + std::to_string(done.load()) + " of " + std::to_string(same.size()) + " files, " +
                 SizeText(bytesDone.load()) + " of " + SizeText(sameBytes);
        });
    }
  };
  if (threads == 0) threads = 1;
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads && t < same.size(); ++t) pool.emplace_back(work, false);
  work(true);
  for (std::thread& t : pool) t.join();

  for (size_t k = 0; k < same.size(); ++k) {
    if (result[k] < 0) {
      *error = "cannot read " + Utf8Of(JoinPackPath(oldRoot, oldFiles[same[k].oldIndex].path)) + " or " +
               Utf8Of(JoinPackPath(newRoot, newFiles[same[k].newIndex].path));
      return false;
    }
    if (result[k] == 0)
      changed.push_back(same[k]);
    else
      ++diff->unchanged;
  }
  std::sort(changed.begin(), changed.end(), [&](const Candidate& a, const Candidate& b) {
    return newFiles[a.newIndex].path < newFiles[b.newIndex].path;
  });
  for (const Candidate& c : changed) {
    diff->changed.push_back(newFiles[c.newIndex]);
    diff->changedBase.push_back(oldFiles[c.oldIndex]);
  }
  return true;
}

namespace {

std::string VersionText(uint32_t major, uint32_t minor) { return std::to_string(major) + "." + std::to_string(minor); }

// The version the package installs: pack.xml's <version>, else the one the
// new files record in config\startup.xml.
bool PackageVersion(const PackConfig& config, const std::u16string& newDir, PackReport* report, uint32_t* major,
                    uint32_t* minor) {
  std::vector<uint8_t> bytes;
  uint32_t recorded = 0;
  const bool haveRecorded = ReadSmallFile(JoinPackPath(newDir, u"config\\startup.xml"), &bytes, 1 << 20);
  if (haveRecorded) {
    bytes.push_back(0);
    recorded = ParseInstalledVersion(reinterpret_cast<const char*>(bytes.data()));
  }
  if (config.hasVersion) {
    *major = config.major;
    *minor = config.minor;
    if (haveRecorded && recorded != (config.major << 16 | config.minor))
      report->Warning("pack.xml: version", VersionText(config.major, config.minor) +
                                               " differs from the new version's config\\startup.xml, which says " +
                                               VersionText(recorded >> 16, recorded & 0xFFFF));
    return true;
  }
  if (!haveRecorded) {
    report->Error("pack.xml: version",
                  "missing, and the new version has no config\\startup.xml to read it from; "
                  "write <version>major.minor</version>");
    return false;
  }
  *major = recorded >> 16;
  *minor = recorded & 0xFFFF;
  return true;
}

// The options that can be checked before any work.
bool CheckOptions(const BuildOptions& o, const std::u16string& updater, PackReport* report) {
  const size_t before = report->Errors();
  if (!IsFolderPath(o.oldDir)) report->Error(Utf8Of(o.oldDir), "--old must name the folder of the old version");
  if (!IsFolderPath(o.newDir)) report->Error(Utf8Of(o.newDir), "--new must name the folder of the new version");
  if (!IsMissingOrEmptyFolder(o.out))
    report->Error(Utf8Of(o.out),
                  "--out exists and is not empty; a package is made in a new folder (remove it, or "
                  "choose another)");
  if (!o.splash.empty() && !IsFilePath(o.splash)) report->Error(Utf8Of(o.splash), "--splash: no such picture");
  if (!IsFilePath(updater))
    report->Error(Utf8Of(updater),
                  "updater.exe not found there; build it (target updater of the Windows build) and "
                  "pass its path with --updater EXE");
  return report->Errors() == before;
}

bool CopyInto(const std::u16string& from, const std::u16string& to, PackReport* report) {
  std::vector<uint8_t> buffer(kBlock);
  if (CopyWholeFile(from, to, &buffer)) return true;
  report->Error(Utf8Of(to), "cannot copy " + Utf8Of(from) + " there");
  return false;
}

// A changed file as a delta against its old version: 1 made and kept (at
// delta\<path>, its manifest line in `delta`), 0 not smaller than the whole
// file compressed (nothing left behind; the whole file travels), -1 failed
// (reported).
int TryDelta(const BuildOptions& o, const PackFileEntry& base, const PackFileEntry& file, size_t index, size_t count,
             PackReport* report, ProgressMeter* meter, ManifestDelta* delta) {
  const std::u16string basePath = JoinPackPath(o.oldDir, base.path), newPath = JoinPackPath(o.newDir, file.path);
  const std::string where = Utf8Of(file.path);
  const std::string step = std::to_string(index + 1) + " of " + std::to_string(count) + ", " + where + ": ";
  auto show = [&](const char* what, uint64_t done) {
    meter->Show([&] { return std::string(what) + step + SizeText(done) + " of " + SizeText(file.size); });
  };
  std::string error;
  uint64_t compressed = 0, size = 0;
  ztSha256Digest output;
  if (!MeasureWholeFile(
          newPath, kWholeFileLevel, &compressed, &size, &output, [&](uint64_t done) { show("measuring ", done); },
          &error)) {
    report->Error(where, error);
    return -1;
  }
  // Made beside the package's parts and moved into place when kept, so a
  // delta given up leaves no folder behind.
  const std::u16string partial = JoinPackPath(o.out, u"delta.partial");
  FileDeltaOptions options;
  options.segment = o.segment;
  options.level = o.level;
  options.limit = compressed ? compressed : 1;
  uint64_t deltaSize = 0;
  ztSha256Digest deltaDigest;
  const DeltaMade made = MakeFileDelta(
      basePath, newPath, partial, options, &deltaSize, &deltaDigest, [&](uint64_t done) { show("delta ", done); },
      &error);
  if (made == DeltaMade::kFailed) {
    report->Error(where, error);
    return -1;
  }
  if (made == DeltaMade::kNotSmaller) {
    report->Note("data\\" + where, SizeText(size) + ", whole file kept: its delta was not smaller than the " +
                                       SizeText(compressed) + " of the whole file compressed");
    return 0;
  }
  std::vector<uint8_t> buffer(kBlock);
  const std::u16string path = kDeltaPrefix + file.path;
  const std::u16string target = JoinPackPath(o.out, path);
  if (!HashFile(basePath, &delta->baseSha256, &delta->baseSize, &buffer)) {
    RemoveFile(partial);
    report->Error(where, "cannot read " + Utf8Of(basePath));
    return -1;
  }
  if (!MakeParent(target) || !RenameFile(partial, target)) {
    RemoveFile(partial);
    report->Error(Utf8Of(path), "cannot move the delta into place from " + Utf8Of(partial));
    return -1;
  }
  delta->path = path;
  delta->size = deltaSize;
  delta->sha256 = deltaDigest;
  delta->outputSize = size;
  delta->outputSha256 = output;
  report->Note(Utf8Of(path), SizeText(size) + " file, delta " + SizeText(deltaSize) + " (" + std::to_string(deltaSize) +
                                 " bytes; the whole file compressed " + SizeText(compressed) + ")");
  return 1;
}

}  // namespace

bool BuildPackage(const BuildOptions& o, PackReport* report, const ProgressSink& progress, BuildResult* result) {
  *result = BuildResult();
  const std::u16string updater = o.updater.empty() ? JoinPackPath(ProgramFolder(), u"updater.exe") : o.updater;
  const bool optionsOk = CheckOptions(o, updater, report);
  PackConfig config;
  std::vector<std::string> problems;
  if (!LoadPackConfig(o.config, &config, &problems))
    for (const std::string& p : problems) report->Error("", p);
  uint8_t secretKey[kEd25519SecretKeyBytes];
  std::string error;
  if (!o.key.empty() && !LoadSecretKey(o.key, secretKey, &error)) report->Error("--key", error);
  if (!optionsOk || report->Errors()) return false;
  if (!PackageVersion(config, o.newDir, report, &result->major, &result->minor)) return false;
  if ((result->major << 16 | result->minor) < (config.requiredMajor << 16 | config.requiredMinor)) {
    report->Error("pack.xml: requires", "the package installs " + VersionText(result->major, result->minor) +
                                            " but requires " + VersionText(config.requiredMajor, config.requiredMinor) +
                                            " installed; <requires> names the oldest version the update applies to");
    return false;
  }

  // The small parts first, checked at once: a mistake in pack.xml or the
  // picture shows before the long comparison.
  if (!MakeFolders(o.out)) {
    report->Error(Utf8Of(o.out), "cannot create the package folder");
    return false;
  }
  if (!WriteDescription(config, JoinPackPath(o.out, u"updateinfo.xml"), &error)) {
    report->Error("updateinfo.xml", error);
    return false;
  }
  if (!o.splash.empty()) {
    std::string out, err;
    if (RunImageTool({u"convert", o.splash, JoinPackPath(o.out, u"updatebg.ra3"), u"--form", u"strips"}, &out, &err) !=
        0) {
      while (!err.empty() && err.back() == '\n') err.pop_back();
      report->Error("updatebg.ra3", "the splash picture was not converted: " + err +
                                        " (PNG, JPEG, BMP, PSD and WebP pictures are read)");
      return false;
    }
  }
  if (!CopyInto(updater, JoinPackPath(o.out, u"updater.exe"), report)) return false;
  PackageChecker checker(o.out, u"", report, progress);
  checker.Description();
  checker.Splash();
  if (report->Errors()) return false;

  if (!DiffTrees(o.oldDir, o.newDir, &result->diff, &error, progress)) {
    report->Error("", error);
    return false;
  }
  const TreeDiff& diff = result->diff;
  const std::u16string data = JoinPackPath(o.out, u"data");
  if (!MakeFolders(data)) {
    report->Error(Utf8Of(data), "cannot create the data folder");
    return false;
  }
  uint64_t total = 0;
  for (const PackFileEntry& e : diff.added) total += e.size;
  for (const PackFileEntry& e : diff.changed) total += e.size;
  result->wholeBytes = total;
  ProgressMeter meter(progress);
  auto copy = [&](const PackFileEntry& e) {
    if (!CopyInto(JoinPackPath(o.newDir, e.path), JoinPackPath(data, e.path), report)) return false;
    result->bytesCopied += e.size;
    meter.Show([&] { return "copying: " + SizeText(result->bytesCopied) + " of " + SizeText(total); });
    return true;
  };
  for (const PackFileEntry& e : diff.added)
    if (!copy(e)) return false;
  std::vector<ManifestDelta> deltas;
  for (size_t i = 0; i < diff.changed.size(); ++i) {
    const PackFileEntry& e = diff.changed[i];
    // The trusted key is only ever replaced by a whole, signed file: the
    // updater refuses a delta for it.
    int made = 0;
    if (o.delta && !IsTrustedKeyPath(e.path)) {
      ManifestDelta d;
      made = TryDelta(o, diff.changedBase[i], e, i, diff.changed.size(), report, &meter, &d);
      if (made < 0) return false;
      if (made > 0) {
        deltas.push_back(d);
        ++result->deltas;
        result->deltaBytes += d.size;
      }
    }
    if ((made == 0 || o.fallback) && !copy(e)) return false;
  }
  meter.Finish();
  if (o.delta)
    report->Note("delta", std::to_string(result->deltas) + " of " + std::to_string(diff.changed.size()) +
                              " changed files as deltas" + (o.fallback ? ", each with its whole file under data" : "") +
                              "; the new and changed files are " + SizeText(total) + " whole, the package carries " +
                              SizeText(result->bytesCopied + result->deltaBytes) + " (data " +
                              SizeText(result->bytesCopied) + ", deltas " + SizeText(result->deltaBytes) + ")");
  for (const PackFileEntry& e : diff.removed)
    report->Warning(Utf8Of(e.path),
                    "is in the old version only; an update cannot remove files, so it stays in "
                    "every updated installation");

  if (!WritePackageManifest(o.out, result->major, result->minor, o.key.empty() ? nullptr : secretKey, &error, progress,
                            deltas)) {
    report->Error("update.manifest", error);
    return false;
  }
  std::memset(secretKey, 0, sizeof secretKey);
  checker.Program();
  checker.Data();
  checker.Manifest();
  checker.Deltas();
  return report->Errors() == 0;
}
