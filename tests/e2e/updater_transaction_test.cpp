// End-to-end runs of updater.exe around the update's transaction: a copy that
// fails part-way, an updater killed while it copies, a journal that cannot be
// read and a drive that fills up. After each the installation must be exactly
// the old version (every file, time and attribute, install.log, no folder of
// the update, no journal, no temporary file) or exactly the new one. A signed
// package that does not verify must leave it untouched.
#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/UpdateJournal.h"
#include "app/UpdateManifest.h"
#include "file/ztCrypto.h"
#include "pack/packbuild.h"
#include "pack/packconfig.h"
#include "pack/packsign.h"
#include "tests/common/testutil.h"
#include "tests/e2e/boxdriver.h"
#include "tests/e2e/package.h"
#include "tests/pack/packtest.h"

using namespace e2e;
using zt_test::LoadFileBytes;
using zt_test::PathExists;

namespace {

enum : DWORD { kInstalled = 0, kTooOld = 5, kCopyFailed = 6 };
const std::u16string kVersionFile = u"config\\startup.xml";
const std::string kRolledBack = "  rolled back: every installed file is the old version again\r\n";
const std::string kRecovered = "  recovery: an unfinished update found at start was rolled back\r\n";

// One file or folder as the comparison sees it (folders by presence only:
// their times change with their contents).
struct Entry {
  bool folder = false;
  uint64_t size = 0, hash = 0, written = 0;
  DWORD attributes = 0;
  bool operator==(const Entry& o) const {
    return folder == o.folder && size == o.size && hash == o.hash && written == o.written && attributes == o.attributes;
  }
};
using Tree = std::map<std::u16string, Entry>;  // by path relative to the root

Entry FileEntry(const std::u16string& path) {
  Entry e;
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  GetFileAttributesExW(W(path), GetFileExInfoStandard, &d);
  e.attributes = d.dwFileAttributes;
  e.written = (static_cast<uint64_t>(d.ftLastWriteTime.dwHighDateTime) << 32) | d.ftLastWriteTime.dwLowDateTime;
  std::string bytes;
  LoadFileBytes(path, &bytes);
  e.size = bytes.size();
  e.hash = std::hash<std::string>()(bytes);
  return e;
}

// Calls `visit` with the relative path of everything below `root`, in the
// updater's own walk order: FindFirstFile's order, each folder entered where
// the listing has it.
void Walk(const std::u16string& root, const std::u16string& rel,
          const std::function<void(const std::u16string&, bool folder)>& visit) {
  WIN32_FIND_DATAW d;
  HANDLE h = FindFirstFileW(W(Join(rel.empty() ? root : Join(root, rel), u"*.*")), &d);
  if (h == INVALID_HANDLE_VALUE) return;
  do {
    const std::u16string name = reinterpret_cast<const char16_t*>(d.cFileName);
    if (name == u"." || name == u"..") continue;
    const std::u16string path = rel.empty() ? name : rel + u"\\" + name;
    const bool folder = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    visit(path, folder);
    if (folder) Walk(root, path, visit);
  } while (FindNextFileW(h, &d));
  FindClose(h);
}

// Everything below `root` but update.log, which each run appends to.
Tree Snapshot(const std::u16string& root) {
  Tree t;
  Walk(root, u"", [&](const std::u16string& path, bool folder) {
    if (path == kRunRecordName) return;
    t[path] = folder ? Entry{true} : FileEntry(Join(root, path));
  });
  return t;
}

// One line per difference; empty when the trees are equal.
std::string Diff(const Tree& want, const Tree& got) {
  std::string out;
  for (const auto& [path, e] : want) {
    auto it = got.find(path);
    if (it == got.end()) {
      out += "missing " + zt_test::Utf8(path) + "\n";
    } else if (!(it->second == e)) {
      const Entry& g = it->second;
      out += "changed " + zt_test::Utf8(path) + (g.hash != e.hash || g.size != e.size ? " (bytes)" : "") +
             (g.written != e.written ? " (time)" : "") + (g.attributes != e.attributes ? " (attributes)" : "") + "\n";
    }
  }
  for (const auto& entry : got)
    if (!want.count(entry.first)) out += "unexpected " + zt_test::Utf8(entry.first) + "\n";
  return out;
}

uint64_t SizeOf(const std::u16string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  if (!GetFileAttributesExW(W(path), GetFileExInfoStandard, &d)) return UINT64_MAX;
  return (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

// `size` bytes that name the file and its version, so that no two files or
// versions share their bytes.
std::string Content(const std::u16string& name, int version, size_t size) {
  std::string s = "v" + std::to_string(version) + " " + zt_test::Utf8(name) + " ";
  const size_t seed = std::hash<std::string>()(s);
  for (size_t i = s.size(); i < size; ++i) s.push_back(static_cast<char>((seed >> (i % 7)) + i / 251));
  return s;
}
// The version file before and after the update (of different sizes).
const std::string kOldVersion = "<startup><version><major>1</major><minor>5</minor></version></startup>";
const std::string kNewVersion = "<startup><version><major>2</major><minor>0</minor></version></startup>\r\n";

bool IsInCreatedFolder(const std::u16string& name) { return name.rfind(u"movies\\", 0) == 0; }

class Transaction : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(UpdaterExeFromEnvironment().empty()) << "ZT_UPDATER_EXE is not set";
    SetWineDefaultsForUpdater();
    static int counter = 0;
    const std::string id = std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++counter);
    // Fresh folders each time, so a table's cases can call SetUp again.
    pkg_ = Join(dir_.Path(), U16("pkg" + id));
    inst_ = Join(dir_.Path(), U16("inst" + id));
    desc_ = {"ztTx_" + id, "Game", "ztTx_game_" + id, "ztTx_conf_" + id, "1", "5", "", {Japanese()}};
  }
  void TearDown() override { RemoveTree(Join(CommonAppData(), U16(desc_.brand))); }

  // The package: the version file (the update makes it 2.0) and `perGroup`
  // files at the top, in a folder the installation has ("maps") and in a
  // folder tree the update creates ("movies\intro"), `size(i)` bytes each.
  // The installation of version 1.5 holds an older, smaller version of each
  // file `installed` picks by its place in the job order (always the version
  // file), an unrelated file in each folder and, with `log`, an install.log.
  void Prepare(int perGroup, const std::function<size_t(int)>& size,
               const std::function<bool(size_t, const std::u16string&)>& installed, bool log = true) {
    ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"updateinfo.xml"), DescriptionXml(desc_)));
    const std::u16string data = Join(pkg_, u"data");
    ASSERT_TRUE(WriteFileBytes(Join(data, kVersionFile), kNewVersion));
    for (int i = 0; i < perGroup; ++i)
      for (const char16_t* group : {u"a", u"maps\\m", u"movies\\intro\\c", u"z"}) {
        const std::u16string name = group + U16(std::to_string(100 + i)) + u".dat";
        ASSERT_TRUE(WriteFileBytes(Join(data, name), Content(name, 2, size(i))));
      }
    order_.clear();
    sizes_.clear();
    Walk(data, u"", [&](const std::u16string& path, bool folder) {
      if (folder) return;
      order_.push_back(path);
      sizes_.push_back(SizeOf(Join(data, path)));
    });
    ASSERT_EQ(order_.size(), 4u * perGroup + 1);
    FILETIME old = {0, 0x01C00000};  // a date in the 1990s
    for (size_t pos = 0; pos < order_.size(); ++pos) {
      const std::u16string& name = order_[pos];
      if (name != kVersionFile && !installed(pos, name)) continue;
      ASSERT_FALSE(IsInCreatedFolder(name)) << "the update must create that folder";
      const std::u16string path = Join(inst_, name);
      ASSERT_TRUE(WriteFileBytes(path, name == kVersionFile ? kOldVersion : Content(name, 1, 1000 + pos)));
      HANDLE h = CreateFileW(W(path), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      ASSERT_TRUE(h != INVALID_HANDLE_VALUE && SetFileTime(h, nullptr, nullptr, &old));
      CloseHandle(h);
    }
    ASSERT_TRUE(WriteFileBytes(Join(inst_, u"readme.txt"), "not the update's"));
    ASSERT_TRUE(WriteFileBytes(Join(inst_, u"maps\\keep.map"), "not the update's either"));
    if (log) {
      ASSERT_TRUE(WriteFileBytes(Join(inst_, u"install.log"), "\"earlier.txt\"\r\n"));
    }
    const std::string discovery = "<install><path>" + zt_test::Utf8(inst_) + "</path></install>";
    ASSERT_TRUE(WriteFileBytes(Join(Join(CommonAppData(), U16(desc_.brand)), U16(desc_.app + ".xml")), discovery));
  }

  struct Step {
    std::u16string caption, text;  // an empty text: any text
  };
  Step Confirm() const {
    std::u16string t = U16(Lang().intro);
    for (size_t at; (at = t.find(u"\\n")) != std::u16string::npos;) t.replace(at, 2, u"\n");
    return {U16(Lang().title), t};
  }
  Step Success() const { return {U16(Lang().title), U16(Lang().success)}; }
  Step CopyError() const { return {U16(Lang().title), U16(Lang().copyError)}; }
  Step EngineError(const std::u16string& text) const { return {U16(Lang().errorTitle), text}; }
  const LanguageTexts& Lang() const { return desc_.languages.front(); }

  void Answer(Process& p, const Step& step, size_t i) {
    Box box;
    ASSERT_TRUE(p.WaitBox(&box, 60000)) << "box " << i << " (" << Narrow(step.text) << ") never came";
    EXPECT_EQ(Narrow(box.caption), Narrow(step.caption)) << "caption of box " << i;
    if (!step.text.empty()) {
      EXPECT_EQ(Narrow(box.text), Narrow(step.text)) << "text of box " << i;
    }
    if (onBox_) onBox_(i);
    ASSERT_TRUE(PressButton(box.window, IDOK)) << "box " << i << " did not close";
  }
  // Runs the updater of `package`, answers exactly `steps` with OK and
  // expects its end with `exitCode`.
  void Run(const std::u16string& package, const std::vector<Step>& steps, DWORD exitCode) {
    Process p;
    ASSERT_TRUE(p.Start(UpdaterExeFromEnvironment(), package));
    for (size_t i = 0; i < steps.size(); ++i) ASSERT_NO_FATAL_FAILURE(Answer(p, steps[i], i));
    Box stray;
    DWORD code = 99;
    ASSERT_TRUE(p.WaitExit(20000, &stray, &code)) << "unexpected box: " << Narrow(stray.text);
    EXPECT_EQ(code, exitCode);
  }

  // Starts the updater, confirms, and kills it as soon as `moment` holds.
  // The kill must leave an unfinished update: a moment the run had already
  // passed would test nothing.
  void KillWhen(const char* what, const std::function<bool()>& moment) {
    Process p;
    ASSERT_TRUE(p.Start(UpdaterExeFromEnvironment(), pkg_));
    ASSERT_NO_FATAL_FAILURE(Answer(p, Confirm(), 0));
    bool hit = false;
    for (int polls = 0; polls < 60000 && !(hit = moment()); ++polls) {
      // Every few ms; a closing box or the end means the moment never came.
      if (WaitForSingleObject(p.Handle(), 1) == WAIT_OBJECT_0 || (polls % 50 == 49 && !FindBoxes(p.Pid()).empty()))
        break;
    }
    TerminateProcess(p.Handle(), 1);
    p.Kill();
    ASSERT_TRUE(hit) << "the moment \"" << what << "\" never came before the run ended (" << NewFiles() << " of "
                     << order_.size() << " files new): no journal, or a package too small for this machine";
    ASSERT_TRUE(FileExists(Journal(kJournalName))) << "no journal after the kill at \"" << what << "\"";
    ASSERT_FALSE(PathExists(Journal(kCommitName)))
        << "the kill at \"" << what << "\" came after the update was complete: the package is too small";
  }
  // After a kill: a package that needs version 2.0, which the next run
  // refuses once its recovery has put the old version back.
  void RunPackageThatNeedsVersion20() {
    DescriptionParts needs20 = desc_;
    needs20.major = "2";
    needs20.minor = "0";
    const std::u16string other = Join(dir_.Path(), u"pkg20");
    ASSERT_TRUE(WriteFileBytes(Join(other, u"updateinfo.xml"), DescriptionXml(needs20)));
    ASSERT_TRUE(WriteFileBytes(Join(other, u"data\\a100.dat"), "from the package for 2.0"));
    Run(other, {Confirm(), {U16(Lang().errorTitle), U16(Lang().versionError)}}, kTooOld);
  }
  std::u16string Journal(const std::u16string& name) const { return Join(Join(inst_, kJournalFolder), name); }
  // Replaced files kept so far, looked at by name only: a handle on them
  // could make the engine's own rename fail.
  size_t Backups() const {
    size_t n = 0;
    for (size_t i = 0; i < order_.size(); ++i) {
      wchar_t name[16];
      swprintf(name, 16, L"%08X.bak", static_cast<unsigned>(i));
      n += FileExists(Journal(reinterpret_cast<const char16_t*>(name)));
    }
    return n;
  }
  // Files that have their new version (the old ones are smaller).
  size_t NewFiles() const {
    size_t n = 0;
    for (size_t i = 0; i < order_.size(); ++i) n += SizeOf(Join(inst_, order_[i])) == sizes_[i];
    return n;
  }

  // Every file of the package is installed as its source is, the rest is
  // as `before`, and install.log names each file once beside the earlier
  // line.
  void ExpectNewVersion(Tree before) {
    Tree got = Snapshot(inst_);
    for (const std::u16string& name : order_) {
      before[name] = FileEntry(Join(pkg_, u"data\\" + name));
      before[name].attributes = FILE_ATTRIBUTE_ARCHIVE;
    }
    before[u"movies"].folder = before[u"movies\\intro"].folder = true;
    before.erase(u"install.log");
    got.erase(u"install.log");
    EXPECT_EQ(Diff(before, got), "");
    std::vector<std::string> want = {"\"earlier.txt\"\r\n"}, lines;
    for (const std::u16string& name : order_) want.push_back("\"" + zt_test::Utf8(name) + "\"\r\n");
    const std::string log = ReadFileBytes(Join(inst_, u"install.log"));
    for (size_t at = 0, end; at < log.size(); at = end) {
      end = log.find("\r\n", at);
      end = end == std::string::npos ? log.size() : end + 2;
      lines.push_back(log.substr(at, end - at));
    }
    std::sort(want.begin(), want.end());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, want) << log;
  }
  // update.log holds each of `lines`.
  void ExpectRecord(std::initializer_list<std::string> lines) const {
    const std::string record = ReadFileBytes(Join(inst_, kRunRecordName));
    for (const std::string& line : lines) EXPECT_NE(record.find(line), std::string::npos) << line << " in\n" << record;
  }

  zt_test::TempDir dir_;
  std::u16string pkg_, inst_;
  DescriptionParts desc_;
  std::vector<std::u16string> order_;  // the package's files in job order
  std::vector<uint64_t> sizes_;        // and their sizes
  std::function<void(size_t)> onBox_;
};

size_t Small(int i) { return 3000 + 7 * i; }
// 1 to 4 MiB a file: the copy of 41 files lasts long enough to be caught
// at each moment even on a fast disk.
size_t Big(int i) { return (1u << 20) + (i % 4) * (1u << 20) + 4096 * i; }
bool EverySecond(size_t pos, const std::u16string& name) { return pos % 2 == 0 && !IsInCreatedFolder(name); }

}  // namespace

// ---- a copy that fails part-way -----------------------------------------------

TEST_F(Transaction, FailureAtFileKRestoresTheOldVersionExactly) {
  struct Case {
    const char* where;
    double at;  // job position of the failing file, as a part of the last one's
    bool log;
  };
  for (const Case& c : {Case{"first", 0, true}, Case{"middle", 0.5, false}, Case{"last", 1, true}}) {
    SCOPED_TRACE(c.where);
    TearDown();
    SetUp();
    const int perGroup = 5;  // 21 files
    const size_t k = static_cast<size_t>(c.at * 4 * perGroup);
    ASSERT_NO_FATAL_FAILURE(Prepare(
        perGroup, Small, [&](size_t pos, const std::u16string& name) { return pos == k || EverySecond(pos, name); },
        c.log));
    const std::u16string failing = Join(inst_, order_[k]);
    ASSERT_TRUE(SetFileAttributesW(W(failing), FILE_ATTRIBUTE_READONLY));
    const Tree before = Snapshot(inst_);
    Run(pkg_, {Confirm(), EngineError(u"ファイル [" + failing + u"] がオープン出来ません"), CopyError()}, kCopyFailed);
    EXPECT_EQ(Diff(before, Snapshot(inst_)), "");
    ExpectRecord({"  outcome: 6 (copy failed)\r\n", "  failed: " + zt_test::Utf8(failing) + ": ", kRolledBack});
  }
}

// ---- an updater killed while it copies ------------------------------------------

TEST_F(Transaction, KilledRunIsRolledBackByTheNextRunWhichThenInstalls) {
  struct Moment {
    const char* what;
    std::function<bool()> holds;
  };
  const Moment moments[] = {
      {"the journal was written", [this] { return FileExists(Journal(kJournalName)); }},
      {"the first backups were made", [this] { return Backups() >= 2; }},
      {"more than half of the files were new", [this] { return NewFiles() * 2 > order_.size(); }},
  };
  for (const Moment& m : moments) {
    SCOPED_TRACE(m.what);
    TearDown();
    SetUp();
    ASSERT_NO_FATAL_FAILURE(Prepare(10, Big, EverySecond));
    const Tree before = Snapshot(inst_);
    ASSERT_NO_FATAL_FAILURE(KillWhen(m.what, m.holds));
    Run(pkg_, {Confirm(), Success()}, kInstalled);
    ExpectNewVersion(before);
    ExpectRecord({kRecovered, "  outcome: 0 (installed)\r\n"});
  }
}

TEST_F(Transaction, KilledRunIsRolledBackBeforeTheVersionCheckOfAnotherPackage) {
  ASSERT_NO_FATAL_FAILURE(Prepare(10, Big, EverySecond));
  const Tree before = Snapshot(inst_);
  // Killed once the version file says 2.0: a check made before the recovery
  // would take the half-done update for version 2.0.
  ASSERT_NO_FATAL_FAILURE(
      KillWhen("the version file was new", [&] { return SizeOf(Join(inst_, kVersionFile)) == kNewVersion.size(); }));
  ASSERT_NO_FATAL_FAILURE(RunPackageThatNeedsVersion20());
  EXPECT_EQ(Diff(before, Snapshot(inst_)), "");
  ExpectRecord({kRecovered, "  outcome: 5 (installed version too old)\r\n"});
}

// ---- a journal that cannot be trusted -------------------------------------------

TEST_F(Transaction, JournalThatCannotBeReadStopsTheRunAndTouchesNothing) {
  // A journal that, were it believed, would delete a100.dat (said not to
  // have been there) or put the backup in its place.
  UpdateJournal j;
  j.brand = u"brand";
  j.files = {{u"a100.dat", false}};
  const std::vector<uint8_t> good = EncodeJournal(j);
  const uint32_t crc = JournalCrc(good.data(), good.size());
  std::vector<uint8_t> flipped = good;  // every field as it was, the check value not
  flipped.back() ^= 1;
  j.files = {{u"..\\victim.txt", false}};  // outside the installation
  const std::vector<uint8_t> outside = EncodeJournal(j);
  const std::vector<uint8_t> otherMark = EncodeCommitMark(crc ^ 1);
  struct Case {
    const char* what;
    std::vector<std::pair<std::u16string, std::string>> files;  // in the journal folder
  } cases[] = {
      {"garbage", {{u"journal", "not a journal at all"}, {u"00000000.bak", "kept"}}},
      {"one byte changed", {{u"journal", std::string(flipped.begin(), flipped.end())}, {u"00000000.bak", "kept"}}},
      {"a path outside", {{u"journal", std::string(outside.begin(), outside.end())}}},
      {"another journal's commit mark",
       {{u"journal", std::string(good.begin(), good.end())},
        {u"committed", std::string(otherMark.begin(), otherMark.end())},
        {u"00000000.bak", "kept"}}},
      {"backups without a journal", {{u"journal.tmp", "half"}, {u"00000000.bak", "kept"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    ASSERT_NO_FATAL_FAILURE(Prepare(2, Small, EverySecond));
    for (const auto& [name, bytes] : c.files) ASSERT_TRUE(WriteFileBytes(Journal(name), bytes));
    ASSERT_TRUE(WriteFileBytes(Join(dir_.Path(), u"victim.txt"), "outside"));
    const Tree before = Snapshot(inst_);
    ASSERT_TRUE(before.count(u"a100.dat"));
    Run(pkg_, {Confirm(), CopyError()}, kCopyFailed);
    EXPECT_EQ(Diff(before, Snapshot(inst_)), "");
    EXPECT_TRUE(FileExists(Join(dir_.Path(), u"victim.txt")));
    ExpectRecord({"  outcome: 6 (copy failed)\r\n",
                  "  recovery: an unfinished update was found but its journal could not be read\r\n"});
  }
}

// ---- a good run ---------------------------------------------------------------------

TEST_F(Transaction, SuccessLeavesNoJournalNorBackupsAndRecordsTheRun) {
  ASSERT_NO_FATAL_FAILURE(Prepare(3, Small, EverySecond));
  ASSERT_TRUE(WriteFileBytes(Join(inst_, kRunRecordName), "an earlier run\r\n"));
  const Tree before = Snapshot(inst_);
  Run(pkg_, {Confirm(), Success()}, kInstalled);
  ExpectNewVersion(before);  // no .ztupdate, no *.bak, no temporary file
  // Appended, and with neither a recovery nor a rollback line.
  ExpectRecord({"an earlier run\r\n[", "] update 1.5\r\n  outcome: 0 (installed)\r\n  duration: "});
}

// ---- a drive that fills up during the copy ------------------------------------------

// Run by tests/e2e/small_drive.sh, which maps a small tmpfs as the drive
// named by ZT_SMALL_DRIVE.
TEST_F(Transaction, SmallDriveThatFillsUpDuringTheCopyIsRolledBack) {
  const char* drive = std::getenv("ZT_SMALL_DRIVE");
  if (!drive) GTEST_SKIP() << "run by tests/e2e/small_drive.sh on a small drive";
  ULARGE_INTEGER avail, total, totalFree;
  ASSERT_TRUE(GetDiskFreeSpaceExW(W(U16(drive)), &avail, &total, &totalFree));
  ASSERT_LT(total.QuadPart, 64u << 20) << "not a small drive";
  inst_ = Join(U16(drive), U16("zt-inst-" + desc_.brand));
  const std::u16string filler = Join(U16(drive), U16("filler-" + desc_.brand));
  // 41 files of 96 KiB fit the drive (the free-space check lets the update
  // run) until the filler takes what is left. Both go with the drive.
  ASSERT_NO_FATAL_FAILURE(Prepare(
      10, [](int) { return size_t{96} << 10; }, EverySecond));
  const Tree before = Snapshot(inst_);

  // Once the engine has replaced a file the copy is under way: the drive is
  // filled then, so that a later file of the copy is the one that fails.
  std::atomic<bool> stop{false}, full{false};
  std::thread fill([&] {
    while (!stop && Backups() == 0) Sleep(1);
    if (stop) return;
    HANDLE h = CreateFileW(W(filler), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    const std::string block(64 << 10, 'f');
    for (DWORD put = 0, size = 64 << 10; h != INVALID_HANDLE_VALUE && size >= 512; size /= 2)
      while (WriteFile(h, block.data(), size, &put, nullptr) && put == size) {
      }
    full = GetLastError() == ERROR_DISK_FULL;
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  });
  // The rollback is done when the copy-error box shows; room for update.log.
  onBox_ = [&](size_t i) {
    if (i == 2) DeleteFileW(W(filler));
  };
  Run(pkg_, {Confirm(), EngineError(u""), CopyError()}, kCopyFailed);
  stop = true;
  fill.join();
  EXPECT_TRUE(full) << "the filler did not fill the drive";
  EXPECT_EQ(Diff(before, Snapshot(inst_)), "");
  ExpectRecord({"  outcome: 6 (copy failed)\r\n", kRolledBack});
}

// ---- signed packages ---------------------------------------------------------

namespace {

enum : DWORD { kNotVerified = 8 };

struct KeyPair {
  uint8_t pub[kEd25519PublicKeyBytes], secret[kEd25519SecretKeyBytes];
  explicit KeyPair(uint8_t fill) {
    uint8_t seed[kEd25519SeedBytes];
    std::fill(seed, seed + sizeof seed, fill);
    EXPECT_TRUE(ztEd25519SeedKeyPair(seed, pub, secret));
  }
};

// The manifest of the package as it stands: the description and every data
// file with its size and digest; signed when a key is given.
std::string ManifestOf(const std::u16string& pkg, uint32_t major, uint32_t minor, const KeyPair* key) {
  UpdateManifest m;
  m.majorVersion = major;
  m.minorVersion = minor;
  auto add = [&](const std::u16string& rel) {
    const std::string bytes = ReadFileBytes(Join(pkg, rel));
    m.files.push_back({rel, bytes.size(), ztSha256::Of(bytes.data(), bytes.size())});
  };
  add(u"updateinfo.xml");
  Walk(Join(pkg, u"data"), u"", [&](const std::u16string& path, bool folder) {
    if (!folder) add(u"data\\" + path);
  });
  if (!key) return EncodeManifestBody(m);
  m.hasKey = true;
  std::copy(key->pub, key->pub + sizeof key->pub, m.key);
  return SignManifestBody(EncodeManifestBody(m), key->secret);
}

// Flips the lowest bit of the byte at `at` (from the end when negative).
void FlipBit(const std::u16string& path, long at) {
  std::string bytes = ReadFileBytes(path);
  ASSERT_FALSE(bytes.empty());
  const size_t i = at < 0 ? bytes.size() + at : static_cast<size_t>(at);
  ASSERT_LT(i, bytes.size());
  bytes[i] ^= 1;
  ASSERT_TRUE(WriteFileBytes(path, bytes));
}

}  // namespace

TEST_F(Transaction, SignedPackageInstallsAndMayCarryTheNextKey) {
  const KeyPair key(1), next(2);
  ASSERT_NO_FATAL_FAILURE(Prepare(2, Small, EverySecond));
  ASSERT_TRUE(WriteFileBytes(Join(inst_, kTrustedKeyName), EncodePublicKeyFile(key.pub)));
  // The next key is one more file of the package, listed and signed like
  // every other.
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"data\\update.key"), EncodePublicKeyFile(next.pub)));
  order_.push_back(u"update.key");
  sizes_.push_back(SizeOf(Join(pkg_, u"data\\update.key")));
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, kManifestName), ManifestOf(pkg_, 2, 0, &key)));
  Tree before = Snapshot(inst_);
  before.erase(u"update.key");
  Run(pkg_, {Confirm(), Success()}, kInstalled);
  ExpectNewVersion(before);
  EXPECT_EQ(ReadFileBytes(Join(inst_, kTrustedKeyName)), EncodePublicKeyFile(next.pub));
}

TEST_F(Transaction, PackageThatDoesNotVerifyIsRefusedWithNothingChanged) {
  const KeyPair key(1), other(3);
  struct Case {
    const char* what;
    bool keyInstalled;
    std::function<void()> change;  // on the signed package
    const char* reason;
  };
  auto data = [&](const char16_t* name) { return Join(pkg_, u"data\\" + std::u16string(name)); };
  auto sign = [&](uint32_t major, uint32_t minor, const KeyPair* k) {
    ASSERT_TRUE(WriteFileBytes(Join(pkg_, kManifestName), ManifestOf(pkg_, major, minor, k)));
  };
  const std::vector<Case> cases = {
      {"a bit of a data file", true, [&]() { FlipBit(data(u"maps\\m100.dat"), 40); }, "hash mismatch"},
      // The backslash of the intro's line break: the description still loads.
      {"a bit of updateinfo.xml", true,
       [&]() {
         const std::u16string path = Join(pkg_, u"updateinfo.xml");
         FlipBit(path, static_cast<long>(ReadFileBytes(path).find("\\n")));
       },
       "hash mismatch"},
      // The major version: 2 becomes 3, still a manifest, no longer the signed one.
      {"a bit of the manifest", true,
       [&]() {
         FlipBit(Join(pkg_, kManifestName),
                 static_cast<long>(ReadFileBytes(Join(pkg_, kManifestName)).find("version ") + 8));
       },
       "bad signature"},
      {"a bit of the signature", true,
       [&]() {
         // A bit of the signature's bytes, written back as hexadecimal.
         const std::u16string path = Join(pkg_, kManifestName);
         std::string text = ReadFileBytes(path);
         const size_t at = text.rfind("signature ") + 10;
         uint8_t sig[kEd25519SignatureBytes];
         ASSERT_TRUE(ztParseHex(text.data() + at, 2 * sizeof sig, sig, sizeof sig));
         sig[17] ^= 0x10;
         text.replace(at, 2 * sizeof sig, ztHex(sig, sizeof sig));
         ASSERT_TRUE(WriteFileBytes(path, text));
       },
       "bad signature"},
      {"signed by another key", true, [&]() { sign(2, 0, &other); }, "unknown key"},
      {"a file added to data", true, [&]() { ASSERT_TRUE(WriteFileBytes(data(u"maps\\extra.dat"), "not listed")); },
       "file not listed"},
      {"a file removed from data", true, [&]() { ASSERT_TRUE(DeleteFileW(W(data(u"z100.dat")))); }, "file missing"},
      {"an older signed version", true, [&]() { sign(1, 4, &key); }, "older version"},
      {"a manifest without a signature", true, [&]() { sign(2, 0, nullptr); }, "not signed"},
      {"no manifest at all", true, [&]() { ASSERT_TRUE(DeleteFileW(W(Join(pkg_, kManifestName)))); }, "not signed"},
      {"a damaged file, no key installed", false,
       [&]() {
         sign(2, 0, nullptr);
         FlipBit(data(u"a101.dat"), -1);
       },
       "hash mismatch"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    ASSERT_NO_FATAL_FAILURE(Prepare(2, Small, EverySecond));
    if (c.keyInstalled) {
      ASSERT_TRUE(WriteFileBytes(Join(inst_, kTrustedKeyName), EncodePublicKeyFile(key.pub)));
    }
    sign(2, 0, &key);
    c.change();
    const Tree before = Snapshot(inst_);
    const Step confirm = {U16(Lang().title), u""};  // the intro may be the changed one
    // A data file whose bytes differ is refused by the engine itself (its
    // box comes first), key or no key, and everything is rolled back.
    if (std::string(c.reason) == "hash mismatch" && std::string(c.what) != "a bit of updateinfo.xml")
      Run(pkg_, {confirm, EngineError(u""), CopyError()}, kNotVerified);
    else
      Run(pkg_, {confirm, CopyError()}, kNotVerified);
    EXPECT_EQ(Diff(before, Snapshot(inst_)), "");
    ExpectRecord({"  outcome: 8 (package not verified)\r\n", std::string(": ") + c.reason + "\r\n"});
  }
}

TEST_F(Transaction, ADamagedFileCheckedAheadLeavesTheFailureTheCopyStoppedAt) {
  // Files are checked a few jobs ahead of the copy: a damaged file just
  // after the one the copy fails on does not change what is reported.
  const size_t k = 3;
  ASSERT_NO_FATAL_FAILURE(
      Prepare(5, Small, [&](size_t pos, const std::u16string& name) { return pos == k || EverySecond(pos, name); }));
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, kManifestName), ManifestOf(pkg_, 2, 0, nullptr)));
  FlipBit(Join(pkg_, u"data\\" + order_[k + 1]), -1);
  const std::u16string failing = Join(inst_, order_[k]);
  ASSERT_TRUE(SetFileAttributesW(W(failing), FILE_ATTRIBUTE_READONLY));
  const Tree before = Snapshot(inst_);
  Run(pkg_, {Confirm(), EngineError(u"ファイル [" + failing + u"] がオープン出来ません"), CopyError()}, kCopyFailed);
  EXPECT_EQ(Diff(before, Snapshot(inst_)), "");
  ExpectRecord({"  outcome: 6 (copy failed)\r\n", "  failed: " + zt_test::Utf8(failing) + ": "});
}

TEST_F(Transaction, PackageWithoutManifestInstallsAsBeforeWhenNoKeyIsInstalled) {
  ASSERT_NO_FATAL_FAILURE(Prepare(2, Small, EverySecond));
  const Tree before = Snapshot(inst_);
  Run(pkg_, {Confirm(), Success()}, kInstalled);
  ExpectNewVersion(before);
}

// ---- unattended runs -----------------------------------------------------------

namespace {

struct WindowSearch {
  DWORD pid;
  size_t found;
};

BOOL CALLBACK CountVisible(HWND w, LPARAM l) {
  auto* s = reinterpret_cast<WindowSearch*>(l);
  DWORD owner = 0;
  GetWindowThreadProcessId(w, &owner);
  if (owner == s->pid && IsWindowVisible(w)) ++s->found;
  return TRUE;
}

// Top-level windows of the process that are visible now.
size_t VisibleWindows(DWORD pid) {
  WindowSearch search = {pid, 0};
  EnumWindows(CountVisible, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

}  // namespace

TEST_F(Transaction, QuietRunsShowNothingAndEndWithTheRightExitCode) {
  const KeyPair key(1);
  struct Case {
    const char* what;
    std::function<void()> arrange;  // after Prepare
    DWORD exitCode;
    std::vector<std::string> record;  // lines update.log must hold
    bool installed;
  };
  HANDLE gameMutex = nullptr;
  const std::vector<Case> cases = {
      {"an update that installs",
       nullptr,
       kInstalled,
       {"  outcome: 0 (installed)\r\n", "  box: " + Lang().title + ": " + Lang().success + "\r\n"},
       true},
      {"an installed version too old",
       [&] { ASSERT_TRUE(WriteFileBytes(Join(inst_, kVersionFile), "<major>1</major><minor>4</minor>")); },
       kTooOld,
       {"  outcome: 5 (installed version too old)\r\n", "  box: " + Lang().errorTitle + ": " + Lang().versionError},
       false},
      {"a copy that fails",
       [&] { ASSERT_TRUE(SetFileAttributesW(W(Join(inst_, kVersionFile)), FILE_ATTRIBUTE_READONLY)); },
       kCopyFailed,
       {"  outcome: 6 (copy failed)\r\n", "  rolled back", "  box: " + Lang().title + ": " + Lang().copyError},
       false},
      {"a package that does not verify",
       [&] { ASSERT_TRUE(WriteFileBytes(Join(inst_, kTrustedKeyName), EncodePublicKeyFile(key.pub))); },
       kNotVerified,
       {"  outcome: 8 (package not verified)\r\n", "not signed"},
       false},
      {"the game running", [&] { gameMutex = CreateMutexW(nullptr, FALSE, W(U16(desc_.mutex))); }, 3, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    ASSERT_NO_FATAL_FAILURE(Prepare(2, Small, EverySecond));
    if (c.arrange) {
      ASSERT_NO_FATAL_FAILURE(c.arrange());
    }
    Tree before = Snapshot(inst_);
    Process p;
    ASSERT_TRUE(p.Start(UpdaterExeFromEnvironment(), pkg_, {}, u"/Quiet"));
    size_t shown = 0;
    while (WaitForSingleObject(p.Handle(), 2) == WAIT_TIMEOUT) shown += VisibleWindows(p.Pid());
    EXPECT_EQ(shown, 0u) << "a quiet run showed a window";
    DWORD code = 99;
    ASSERT_TRUE(p.WaitExit(20000, nullptr, &code));
    EXPECT_EQ(code, c.exitCode);
    if (c.installed) {
      ExpectNewVersion(before);
    } else {
      if (c.exitCode == kCopyFailed) SetFileAttributesW(W(Join(inst_, kVersionFile)), FILE_ATTRIBUTE_NORMAL);
      before.erase(kVersionFile);
      Tree after = Snapshot(inst_);
      after.erase(kVersionFile);
      EXPECT_EQ(Diff(before, after), "");
    }
    for (const std::string& line : c.record) ExpectRecord({line});
    if (gameMutex) CloseHandle(gameMutex);
    gameMutex = nullptr;
  }
}

// ---- a package made by ztpack --------------------------------------------------

TEST_F(Transaction, PackageBuiltByZtpackTurnsTheOldVersionIntoTheNewOne) {
  // Two versions: unchanged, changed, nested, added (empty, non-ASCII) and
  // removed files, and the version file.
  const std::map<std::u16string, std::string> oldFiles = {
      {u"readme.txt", "same in both"},
      {u"bin\\game.dat", Content(u"game.dat", 1, 5000)},
      {u"maps\\town\\town01.map", Content(u"town01", 1, 70000)},
      {u"maps\\old.map", "only in the old version"},
      {kVersionFile, kOldVersion},
  };
  std::map<std::u16string, std::string> newFiles = oldFiles;
  newFiles.erase(u"maps\\old.map");
  newFiles[u"bin\\game.dat"] = Content(u"game.dat", 2, 5000);
  newFiles[u"maps\\town\\town01.map"] = Content(u"town01", 2, 90000);
  newFiles[u"movies\\\u30aa\u30fc\u30d7\u30cb\u30f3\u30b0.txt"] = "new, with a Japanese name";
  newFiles[u"save\\empty.txt"] = "";
  newFiles[kVersionFile] = kNewVersion;
  const std::u16string oldDir = Join(dir_.Path(), u"old"), newDir = Join(dir_.Path(), u"new");
  for (const auto& [path, bytes] : oldFiles) {
    ASSERT_TRUE(WriteFileBytes(Join(oldDir, path), bytes));
    ASSERT_TRUE(WriteFileBytes(Join(inst_, path), bytes));
  }
  for (const auto& [path, bytes] : newFiles) ASSERT_TRUE(WriteFileBytes(Join(newDir, path), bytes));

  PackConfig config = packtest::GoodConfig();
  config.brand = U16(desc_.brand);
  config.app = U16(desc_.app);
  config.mutex = U16(desc_.mutex);
  config.confmutex = U16(desc_.confMutex);
  config.requiredMajor = 1;
  config.requiredMinor = 5;
  config.major = 2;
  config.minor = 0;
  ASSERT_TRUE(WriteFileBytes(Join(dir_.Path(), u"pack.xml"), packtest::PackXml(config)));
  std::string error;
  const std::u16string keyFile = Join(dir_.Path(), u"author.key");
  ASSERT_TRUE(MakeKeyPair(keyFile, &error)) << error;
  ASSERT_TRUE(WriteFileBytes(Join(inst_, kTrustedKeyName), ReadFileBytes(keyFile + u".pub")));
  const std::string discovery = "<install><path>" + zt_test::Utf8(inst_) + "</path></install>";
  ASSERT_TRUE(WriteFileBytes(Join(Join(CommonAppData(), U16(desc_.brand)), U16(desc_.app + ".xml")), discovery));

  BuildOptions options;
  options.oldDir = oldDir;
  options.newDir = newDir;
  options.config = Join(dir_.Path(), u"pack.xml");
  options.out = pkg_;
  options.key = keyFile;
  options.updater = UpdaterExeFromEnvironment();
  PackReport report;
  BuildResult result;
  ASSERT_TRUE(BuildPackage(options, &report, nullptr, &result));
  EXPECT_EQ(result.diff.changed.size() + result.diff.added.size(), 5u);

  Process p;
  ASSERT_TRUE(p.Start(UpdaterExeFromEnvironment(), pkg_, {}, u"/quiet"));
  DWORD code = 99;
  ASSERT_TRUE(p.WaitExit(60000, nullptr, &code));
  EXPECT_EQ(code, kInstalled) << ReadFileBytes(Join(inst_, kRunRecordName));

  // Exactly the new version, plus the file an update cannot remove.
  std::map<std::u16string, std::string> want = newFiles, got;
  want[u"maps\\old.map"] = oldFiles.at(u"maps\\old.map");
  Walk(inst_, u"", [&](const std::u16string& path, bool folder) {
    if (!folder && path != u"install.log" && path != kRunRecordName && path != kTrustedKeyName)
      got[path] = ReadFileBytes(Join(inst_, path));
  });
  EXPECT_TRUE(got == want) << got.size() << " files installed, " << want.size() << " wanted";
}

// ---- what a standard user may have planted ------------------------------------------

namespace {

// The Unix path Wine gives a Windows path (the links below are Unix ones:
// Wine shows a symbolic link to a folder as a reparse point, as Windows
// shows a junction).
std::string UnixPathOf(const std::u16string& path) {
  using Fn = char*(CDECL*)(const wchar_t*);
  auto fn = reinterpret_cast<Fn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unix = fn ? fn(W(path)) : nullptr;
  if (!unix) return "";
  std::string out = unix;
  HeapFree(GetProcessHeap(), 0, unix);
  return out;
}

// Wine cannot wait for a Unix program it started: its handle may be
// signalled before the program ran. What it did is polled for instead.
bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    Sleep(10);
  }
  return false;
}

// Starts a program of the host system (Wine starts Unix programs too).
bool RunHost(const std::wstring& commandLine) {
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  std::wstring line = commandLine;
  if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

// `link` (not there yet) becomes a link to the folder `target`.
bool MakeFolderLink(const std::u16string& target, const std::u16string& link) {
  const size_t cut = link.rfind(u'\\');
  const std::string from = UnixPathOf(target), parent = UnixPathOf(link.substr(0, cut));
  const std::string to = parent.empty() ? "" : parent + "/" + zt_test::Utf8(link.substr(cut + 1));
  if (from.empty() || to.empty()) return false;
  if (!RunHost(L"Z:\\bin\\ln -sn \"" + Wide(from) + L"\" \"" + Wide(to) + L"\"")) return false;
  return Eventually([&] {
    const DWORD a = GetFileAttributesW(W(link));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
  });
}

// A second name for a file that Windows would take for the same one (a
// package made on a system that tells them apart).
bool CopyUnderOtherName(const std::u16string& from, const std::u16string& folder, const std::string& name) {
  const std::string a = UnixPathOf(from), dir = UnixPathOf(folder);
  if (a.empty() || dir.empty() || !RunHost(L"Z:\\bin\\cp \"" + Wide(a) + L"\" \"" + Wide(dir + "/" + name) + L"\""))
    return false;
  return Eventually([&] {
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW(W(Join(folder, u"*")), &d);
    bool found = false;
    for (bool more = h != INVALID_HANDLE_VALUE; more && !found; more = FindNextFileW(h, &d))
      found = zt_test::Utf8(reinterpret_cast<const char16_t*>(d.cFileName)) == name;
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
    return found;
  });
}

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

}  // namespace

TEST_F(Transaction, NothingAStandardUserPlantedCarriesTheUpdaterOutOfTheInstallation) {
  const KeyPair key(1);
  struct Case {
    const char* what;
    std::function<void()> plant;  // after Prepare; `outside_` holds the user's target
    DWORD exitCode;
    std::vector<std::string> record;  // lines update.log must hold
  };
  std::u16string outside;
  auto journalOf = [](std::vector<JournalFile> files) {
    UpdateJournal j;
    j.files = std::move(files);
    return EncodeJournal(j);
  };
  const std::vector<Case> cases = {
      {"a forged journal through a link out",
       [&] {
         ASSERT_TRUE(MakeFolderLink(outside, Join(inst_, u"x")));
         ASSERT_TRUE(WriteFileBytes(Journal(kJournalName),
                                    Bytes(journalOf({{u"x\\victim.dll", false}, {u"x\\evil.dll", true}}))));
         ASSERT_TRUE(WriteFileBytes(Journal(u"00000001.bak"), "the user's own dll"));
       },
       kCopyFailed,
       {"  failed: x: a folder is a link or junction\r\n", "  outcome: 6 (copy failed)\r\n"}},
      {"the journal folder a link to a committed journal",
       [&] {
         const std::vector<uint8_t> journal = journalOf({{u"victim.dll", true}});
         ASSERT_TRUE(WriteFileBytes(Join(outside, kJournalName), Bytes(journal)));
         ASSERT_TRUE(WriteFileBytes(Join(outside, kCommitName),
                                    Bytes(EncodeCommitMark(JournalCrc(journal.data(), journal.size())))));
         ASSERT_TRUE(WriteFileBytes(Join(outside, u"00000000.bak"), "a backup the user wants gone"));
         ASSERT_TRUE(MakeFolderLink(outside, Join(inst_, kJournalFolder)));
       },
       kCopyFailed,
       {"  failed: .ztupdate: a folder is a link or junction\r\n"}},
      {"a folder of the package a link out",
       [&] {
         // The installed maps folder moved out, a link in its place: the
         // package's maps\m100.dat would land outside.
         ASSERT_TRUE(MoveFileExW(W(Join(inst_, u"maps")), W(Join(outside, u"maps")), 0));
         ASSERT_TRUE(MakeFolderLink(Join(outside, u"maps"), Join(inst_, u"maps")));
       },
       kCopyFailed,
       {"  failed: maps: a folder is a link or junction\r\n"}},
      {"a forged journal that would delete the trusted key",
       [&] {
         // Contained, so it is applied; but the key is not the journal's.
         ASSERT_TRUE(WriteFileBytes(Journal(kJournalName),
                                    Bytes(journalOf({{kTrustedKeyName, false}, {u"readme.txt", true}}))));
         ASSERT_TRUE(WriteFileBytes(Journal(u"00000000.bak"), "not a key"));
       },
       kInstalled,
       {"  outcome: 0 (installed)\r\n"}},
      {"two files for one destination",
       [&] { ASSERT_TRUE(CopyUnderOtherName(Join(pkg_, u"data\\a100.dat"), Join(pkg_, u"data"), "A100.DAT")); },
       kCopyFailed,
       {"two files name one destination\r\n", "  outcome: 6 (copy failed)\r\n"}},
      {"a package that ships install.log",
       [&] { ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"data\\install.log"), "\"nothing.txt\"\r\n")); },
       kCopyFailed,
       {"  failed: data\\install.log: a file the updater keeps for itself\r\n"}},
      {"a file named like the journal folder",
       [&] { ASSERT_TRUE(WriteFileBytes(Join(inst_, kJournalFolder), "planted")); },
       kCopyFailed,
       {"  failed: .ztupdate: is a file, not the journal folder\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    ASSERT_NO_FATAL_FAILURE(Prepare(2, Small, EverySecond));
    ASSERT_TRUE(WriteFileBytes(Join(inst_, kTrustedKeyName), EncodePublicKeyFile(key.pub)));
    outside = Join(dir_.Path(), U16("outside" + std::to_string(&c - cases.data())));
    ASSERT_TRUE(WriteFileBytes(Join(outside, u"victim.dll"), "the system's own dll"));
    ASSERT_NO_FATAL_FAILURE(c.plant());
    // Signed as planted: what refuses the package is the plant, not its
    // signature.
    ASSERT_TRUE(WriteFileBytes(Join(pkg_, kManifestName), ManifestOf(pkg_, 2, 0, &key)));
    const Tree outsideBefore = Snapshot(outside), before = Snapshot(inst_);
    const std::string key0 = ReadFileBytes(Join(inst_, kTrustedKeyName));
    Run(pkg_, {Confirm(), c.exitCode == kInstalled ? Success() : CopyError()}, c.exitCode);
    EXPECT_EQ(Diff(outsideBefore, Snapshot(outside)), "");
    EXPECT_EQ(ReadFileBytes(Join(inst_, kTrustedKeyName)), key0);
    if (c.exitCode != kInstalled) {
      EXPECT_EQ(Diff(before, Snapshot(inst_)), "");
    }
    for (const std::string& line : c.record) ExpectRecord({line});
  }
}

TEST_F(Transaction, ADescriptionWhoseBrandLeavesItsFolderIsNotUsable) {
  // A discovery file where "..\<brand>" would find it: were the name taken
  // as a path, the run would go on to this installation.
  ASSERT_NO_FATAL_FAILURE(Prepare(2, Small, EverySecond));
  const std::string discovery = "<install><path>" + zt_test::Utf8(inst_) + "</path></install>";
  const std::u16string escaped = Join(Join(CommonAppData(), u".."), U16(desc_.brand + "_out"));
  ASSERT_TRUE(WriteFileBytes(Join(escaped, U16(desc_.app + ".xml")), discovery));
  DescriptionParts bad = desc_;
  bad.brand = "..\\" + desc_.brand + "_out";
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"updateinfo.xml"), DescriptionXml(bad)));
  const Tree before = Snapshot(inst_);
  Run(pkg_, {{u"error", u"updateinfo.xml was not found."}}, 2);
  EXPECT_EQ(Diff(before, Snapshot(inst_)), "");
  EXPECT_FALSE(FileExists(Join(inst_, kRunRecordName)));
  RemoveTree(escaped);
}

// ---- durable before committed --------------------------------------------------------

// Run by tests/e2e/durability_trace.sh under strace: one quiet update, then
// the Unix paths the trace must show flushed before the commit mark's rename
// are written to the file ZT_TRACE_LIST names.
TEST_F(Transaction, EveryInstalledFileIsDurableBeforeTheCommitMark) {
  const char* list = std::getenv("ZT_TRACE_LIST");
  if (!list) GTEST_SKIP() << "run by tests/e2e/durability_trace.sh under strace";
  ASSERT_NO_FATAL_FAILURE(Prepare(5, Small, EverySecond));
  // One file rebuilt from a delta: its output is flushed on a queue of its
  // own, after it took its name.
  const std::u16string pak = u"paks\\world.pak";
  const std::string oldPak = Content(pak, 1, 300000), newPak = Content(pak, 1, 200000) + Content(pak, 2, 150000);
  const std::string delta = zt_test::DeltaOf(oldPak, newPak, 64 << 10);
  ASSERT_TRUE(WriteFileBytes(Join(inst_, pak), oldPak));
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"delta\\" + pak), delta));
  UpdateManifest m;
  const std::string listed = ManifestOf(pkg_, 2, 0, nullptr);
  ASSERT_TRUE(DecodeManifest(reinterpret_cast<const uint8_t*>(listed.data()), listed.size(), &m));
  m.deltas.push_back({u"delta\\" + pak, delta.size(), ztSha256::Of(delta.data(), delta.size()), oldPak.size(),
                      ztSha256::Of(oldPak.data(), oldPak.size()), newPak.size(),
                      ztSha256::Of(newPak.data(), newPak.size())});
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, kManifestName), EncodeManifestBody(m)));
  order_.push_back(pak);
  Process p;
  ASSERT_TRUE(p.Start(UpdaterExeFromEnvironment(), pkg_, {}, u"/quiet"));
  DWORD code = 99;
  ASSERT_TRUE(p.WaitExit(60000, nullptr, &code));
  ASSERT_EQ(code, kInstalled) << ReadFileBytes(Join(inst_, kRunRecordName));
  std::string lines;
  for (const std::u16string& name : order_) lines += "file " + UnixPathOf(Join(inst_, name)) + "\n";
  // The new install.log is flushed as the file that then takes its name.
  lines += "file " + UnixPathOf(Join(inst_, u"install.log.zt~")) + "\n";
  lines += "journal " + UnixPathOf(inst_) + "/" + zt_test::Utf8(kJournalFolder) + "\n";
  ASSERT_TRUE(WriteFileBytes(U16(list), lines));
}

// ---- packages with deltas ------------------------------------------------------------

namespace {

// A pak-like file: records of made-up bytes; `version` 2 changes every
// tenth record and inserts one after every 25th, shifting what follows.
std::string PakVersion(size_t records, int version) {
  std::string out;
  for (size_t i = 0; i < records; ++i) {
    const bool changed = version == 2 && i % 10 == 3;
    out += Content(u"record" + U16(std::to_string(i)), changed ? 2 : 1, 5000 + (i * 37) % 3000);
    if (version == 2 && i % 25 == 7) out += Content(u"inserted" + U16(std::to_string(i)), 2, 4000);
  }
  return out;
}

ztSha256Digest DigestOf(const std::string& s) { return ztSha256::Of(s.data(), s.size()); }

}  // namespace

// Deltas rebuild the new version inside the transaction; an installed file
// that is not a delta's base takes the whole file when the package has one,
// and otherwise refuses the package before anything is written; a delta
// whose bytes are not the signed ones is never installed. Segments far
// smaller than the files take every path through several segments, and the
// updater's memory stays under the cap.
TEST_F(Transaction, DeltasRebuildTheNewVersionOrRefuseBeforeAnythingIsWritten) {
  const KeyPair key(1);
  const std::map<std::u16string, std::pair<std::string, std::string>> versions = {
      {u"paks\\world.pak", {PakVersion(300, 1), PakVersion(300, 2)}},
      {u"bin\\game.dat", {Content(u"game", 1, 200000), Content(u"game", 1, 120000) + Content(u"patch", 2, 90000)}},
      {u"notes.txt", {"first line\r\nsecond line\r\n", "first line\r\nthird line\r\n"}},
      {u"gone.txt", {"emptied by the update", ""}},
  };
  struct Case {
    const char* what;
    bool fallback;      // the package also has the whole files
    bool modifyBase;    // the player changed paks\world.pak
    bool flipDelta;     // a bit of the pak's delta
    bool dropDelta;     // the pak's delta is not in the package
    DWORD exitCode;
  };
  const Case cases[] = {
      {"every base installed", false, false, false, false, kInstalled},
      {"a modified file, no whole file", false, true, false, false, 9},
      {"a modified file, with the whole file", true, true, false, false, kInstalled},
      {"a flipped bit in a signed delta", true, false, true, false, kNotVerified},
      {"a listed delta missing", false, false, false, true, kNotVerified},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"updateinfo.xml"), DescriptionXml(desc_)));
    ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"data\\" + kVersionFile), kNewVersion));
    ASSERT_TRUE(WriteFileBytes(Join(inst_, kVersionFile), kOldVersion));
    ASSERT_TRUE(WriteFileBytes(Join(inst_, kTrustedKeyName), EncodePublicKeyFile(key.pub)));
    const std::string discovery = "<install><path>" + zt_test::Utf8(inst_) + "</path></install>";
    ASSERT_TRUE(WriteFileBytes(Join(Join(CommonAppData(), U16(desc_.brand)), U16(desc_.app + ".xml")), discovery));
    UpdateManifest m;
    m.majorVersion = 2;
    for (const auto& [path, v] : versions) {
      ASSERT_TRUE(WriteFileBytes(Join(inst_, path), v.first));
      const std::string delta = zt_test::DeltaOf(v.first, v.second, 16 << 10);
      ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"delta\\" + path), delta));
      if (c.fallback) {
        ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"data\\" + path), v.second));
      }
      m.deltas.push_back({u"delta\\" + path, delta.size(), DigestOf(delta), v.first.size(), DigestOf(v.first),
                          v.second.size(), DigestOf(v.second)});
    }
    if (c.modifyBase) {
      FlipBit(Join(inst_, u"paks\\world.pak"), 1000);
    }
    for (const std::u16string& rel : {std::u16string(u"updateinfo.xml"), u"data\\" + kVersionFile}) {
      const std::string bytes = ReadFileBytes(Join(pkg_, rel));
      m.files.push_back({rel, bytes.size(), DigestOf(bytes)});
    }
    if (c.fallback)
      for (const auto& [path, v] : versions) m.files.push_back({u"data\\" + path, v.second.size(), DigestOf(v.second)});
    m.hasKey = true;
    std::copy(key.pub, key.pub + sizeof key.pub, m.key);
    ASSERT_TRUE(WriteFileBytes(Join(pkg_, kManifestName), SignManifestBody(EncodeManifestBody(m), key.secret)));
    if (c.flipDelta) {
      FlipBit(Join(pkg_, u"delta\\paks\\world.pak"), -100);
    }
    if (c.dropDelta) {
      ASSERT_TRUE(DeleteFileW(W(Join(pkg_, u"delta\\paks\\world.pak"))));
    }
    const Tree before = Snapshot(inst_);

    Process p;
    ASSERT_TRUE(p.Start(UpdaterExeFromEnvironment(), pkg_, {}, u"/quiet"));
    DWORD code = 99;
    ASSERT_TRUE(p.WaitExit(60000, nullptr, &code));
    EXPECT_EQ(code, c.exitCode) << ReadFileBytes(Join(inst_, kRunRecordName));
    PROCESS_MEMORY_COUNTERS memory = {};
    if (GetProcessMemoryInfo(p.Handle(), &memory, sizeof memory) && memory.PeakPagefileUsage) {
      EXPECT_LT(memory.PeakPagefileUsage, 256u << 20);
      std::printf("peak private bytes of the updater: %llu\n",
                  static_cast<unsigned long long>(memory.PeakPagefileUsage));
    }
    const std::string record = ReadFileBytes(Join(inst_, kRunRecordName));
    if (c.exitCode != kInstalled) {
      Tree after = Snapshot(inst_);
      after.erase(kRunRecordName);
      EXPECT_EQ(Diff(before, after), "");
    }
    if (c.exitCode == 9) {
      EXPECT_NE(record.find("  not the base of its delta: paks\\world.pak\r\n"), std::string::npos) << record;
      EXPECT_EQ(record.find("not the base of its delta: bin"), std::string::npos) << record;
    }
    if (c.exitCode == kNotVerified) {
      const char* reason = c.dropDelta ? "delta\\paks\\world.pak: file missing" : "delta\\paks\\world.pak: hash mismatch";
      EXPECT_NE(record.find(reason), std::string::npos) << record;
    }
    if (c.exitCode != kInstalled) continue;
    for (const auto& [path, v] : versions) EXPECT_TRUE(ReadFileBytes(Join(inst_, path)) == v.second) << Narrow(path);
    EXPECT_EQ(ReadFileBytes(Join(inst_, kVersionFile)), kNewVersion);
    EXPECT_FALSE(PathExists(Join(inst_, kJournalFolder)));
    const std::string log = ReadFileBytes(Join(inst_, u"install.log"));
    EXPECT_NE(log.find("\"paks\\world.pak\""), std::string::npos) << log;
  }
}

// A kill while a delta's output is written: the next run puts the old
// version back (here a package that then refuses the installed version, so
// the old one is what stays).
TEST_F(Transaction, KillWhileADeltaIsAppliedIsRolledBackByTheNextRun) {
  const std::string oldPak = PakVersion(6000, 1), newPak = PakVersion(6000, 2);
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"updateinfo.xml"), DescriptionXml(desc_)));
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"data\\" + kVersionFile), kNewVersion));
  ASSERT_TRUE(WriteFileBytes(Join(inst_, kVersionFile), kOldVersion));
  ASSERT_TRUE(WriteFileBytes(Join(inst_, u"paks\\world.pak"), oldPak));
  const std::string discovery = "<install><path>" + zt_test::Utf8(inst_) + "</path></install>";
  ASSERT_TRUE(WriteFileBytes(Join(Join(CommonAppData(), U16(desc_.brand)), U16(desc_.app + ".xml")), discovery));
  const std::string delta = zt_test::DeltaOf(oldPak, newPak, 64 << 10);
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"delta\\paks\\world.pak"), delta));
  UpdateManifest m;
  m.majorVersion = 2;
  for (const std::u16string& rel : {std::u16string(u"updateinfo.xml"), u"data\\" + kVersionFile}) {
    const std::string bytes = ReadFileBytes(Join(pkg_, rel));
    m.files.push_back({rel, bytes.size(), DigestOf(bytes)});
  }
  m.deltas.push_back({u"delta\\paks\\world.pak", delta.size(), DigestOf(delta), oldPak.size(), DigestOf(oldPak),
                      newPak.size(), DigestOf(newPak)});
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, kManifestName), EncodeManifestBody(m)));
  order_ = {kVersionFile, u"paks\\world.pak"};
  sizes_ = {kNewVersion.size(), newPak.size()};
  const Tree before = Snapshot(inst_);
  // The output's temporary file beside the pak.
  ASSERT_NO_FATAL_FAILURE(KillWhen("a delta's output is written", [&] {
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(W(Join(inst_, u"paks\\~ztcp-*.tmp")), &found);
    if (find == INVALID_HANDLE_VALUE) return false;
    FindClose(find);
    return true;
  }));
  ASSERT_NO_FATAL_FAILURE(RunPackageThatNeedsVersion20());
  EXPECT_EQ(Diff(before, Snapshot(inst_)), "");
  ExpectRecord({kRecovered});
}
