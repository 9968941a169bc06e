// End-to-end runs of the real updater.exe in a real window: each test builds
// its own package, installation and discovery file, starts the updater from
// the package folder, answers every box it shows after checking its caption
// and text, and then looks at what ended up on disk.
#include <windows.h>

#include <cstdio>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "file/pathutil.h"
#include "platform/ztLimits.h"
#include "tests/common/testutil.h"
#include "tests/e2e/boxdriver.h"
#include "tests/e2e/package.h"

using namespace e2e;

namespace {

std::u16string UpdaterExe() { return UpdaterExeFromEnvironment(); }
std::u16string HelperDir() {
  const char* p = std::getenv("ZT_E2E_HELPERS");
  return p ? HostPathToWindows(p) : std::u16string();
}

class UnmanagedWindows : public ::testing::Environment {
 public:
  void SetUp() override { SetWineDefaultsForUpdater(); }
};
const auto* const g_unmanaged = ::testing::AddGlobalTestEnvironment(new UnmanagedWindows);

// What the user is expected to see, and the button pressed on it. The
// question offers OK and Cancel; every other box OK alone.
struct Step {
  std::u16string caption;
  std::u16string text;
  int press;
  bool question = false;
};

// The updater's exit codes, as the README's table gives them.
enum : DWORD {
  kInstalled = 0,
  kCancelled = 1,
  kNoDescription = 2,
  kGameRunning = 3,
  kNotInstalled = 4,
  kTooOld = 5,
  kCopyFailed = 6,
};

FILETIME WriteTime(const std::u16string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  GetFileAttributesExW(W(path), GetFileExInfoStandard, &d);
  return d.ftLastWriteTime;
}
uint64_t AsInt(FILETIME t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; }

class Update : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(UpdaterExe().empty()) << "ZT_UPDATER_EXE is not set";
    static int counter = 0;
    const std::string id = std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++counter);
    pkg_ = Join(dir_.Path(), u"pkg");
    inst_ = Join(dir_.Path(), u"inst");
    desc_.brand = "ztE2E_" + id;
    desc_.app = "Game";
    desc_.mutex = "ztE2E_game_" + id;
    desc_.confMutex = "ztE2E_conf_" + id;
    desc_.major = "1";
    desc_.minor = "5";
    desc_.languages = {Japanese()};
    CreateDirectoryW(W(pkg_), nullptr);
    CreateDirectoryW(W(inst_), nullptr);
  }
  void TearDown() override { RemoveTree(Join(CommonAppData(), U16(desc_.brand))); }

  const LanguageTexts& Lang() const { return desc_.languages.front(); }

  void WriteDescription() { ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"updateinfo.xml"), DescriptionXml(desc_))); }
  void WriteData(const std::u16string& relative, const std::string& bytes) {
    ASSERT_TRUE(WriteFileBytes(Join(Join(pkg_, u"data"), relative), bytes));
  }
  void WriteInstalled(const std::u16string& relative, const std::string& bytes) {
    ASSERT_TRUE(WriteFileBytes(Join(inst_, relative), bytes));
  }
  std::string Installed(const std::u16string& relative) { return ReadFileBytes(Join(inst_, relative)); }
  // The installation: its version file and the discovery file naming it.
  void Install(const std::string& major, const std::string& minor) {
    WriteInstalled(u"config\\startup.xml", "<?xml version=\"1.0\"?><startup><version><major>" + major +
                                               "</major><minor>" + minor + "</minor></version></startup>");
    WriteDiscovery("<?xml version=\"1.0\"?><install><path>" + zt_test::Utf8(inst_) + "</path></install>");
  }
  void WriteDiscovery(const std::string& bytes) {
    ASSERT_TRUE(WriteFileBytes(Join(Join(CommonAppData(), U16(desc_.brand)), U16(desc_.app + ".xml")), bytes));
  }
  // A complete package with one data file, installed version 1.5.
  void Standard() {
    WriteDescription();
    WriteData(u"readme.txt", "new readme\r\n");
    Install("1", "5");
  }

  Step Confirm(int press = IDOK) const { return {U16(Lang().title), Intro(), press, true}; }
  std::u16string Intro() const {
    // The description writes a line break as backslash-n.
    const std::u16string t = U16(Lang().intro);
    std::u16string out;
    for (size_t i = 0; i < t.size(); ++i) {
      if (t[i] == u'\\' && i + 1 < t.size() && t[i + 1] == u'n') {
        out.push_back(u'\n');
        ++i;
      } else {
        out.push_back(t[i]);
      }
    }
    return out;
  }
  Step Success() const { return {U16(Lang().title), U16(Lang().success), IDOK}; }
  Step CopyError() const { return {U16(Lang().title), U16(Lang().copyError), IDOK}; }

  // Runs the updater, expects exactly `steps` in order, then its end with
  // `exitCode`.
  void Run(const std::vector<Step>& steps, DWORD exitCode, const std::vector<std::u16string>& env = {}) {
    Process p;
    ASSERT_TRUE(p.Start(exe_.empty() ? UpdaterExe() : exe_, pkg_, env));
    for (size_t i = 0; i < steps.size(); ++i) {
      Box box;
      ASSERT_TRUE(p.WaitBox(&box)) << "box " << i << " (" << Narrow(steps[i].text) << ") never came";
      if (std::getenv("ZT_E2E_TRACE"))
        fprintf(stderr, "box %d after %.3f s\n", static_cast<int>(i), TicksToSeconds(NowTicks() - p.StartTicks()));
      EXPECT_EQ(Narrow(box.caption), Narrow(steps[i].caption)) << "caption of box " << i;
      EXPECT_EQ(Narrow(box.text), Narrow(steps[i].text)) << "text of box " << i;
      const std::vector<int> buttons =
          steps[i].question ? std::vector<int>{IDOK, IDCANCEL} : std::vector<int>{IDOK};
      EXPECT_EQ(box.buttons, buttons) << "buttons of box " << i;
      if (onBox_) onBox_(i, box, p);
      ASSERT_TRUE(PressButton(box.window, steps[i].press)) << "box " << i << " did not close";
    }
    Box stray;
    DWORD code = 99;
    bool ended = p.WaitExit(10000, &stray, &code);
    if (std::getenv("ZT_E2E_TRACE"))
      fprintf(stderr, "ended after %.3f s\n", TicksToSeconds(NowTicks() - p.StartTicks()));
    EXPECT_TRUE(ended) << "unexpected box: " << Narrow(stray.caption) << " / " << Narrow(stray.text);
    if (ended) {
      EXPECT_EQ(code, exitCode);
    }
  }

  zt_test::TempDir dir_;
  std::u16string pkg_, inst_;
  std::u16string exe_;  // the updater started; empty for the one ctest names
  DescriptionParts desc_;
  std::function<void(size_t, const Box&, Process&)> onBox_;
};

}  // namespace

// ---- the whole update ----------------------------------------------------------

TEST_F(Update, CopiesNestedFilesAndMergesTheInstallLog) {
  WriteDescription();
  WriteData(u"readme.txt", "new readme\r\n");
  WriteData(u"bin\\game.cfg", "cfg v2");
  WriteData(u"bin\\maps\\deep\\level1.map", std::string(3 * 1024 * 1024 + 17, 'm'));
  WriteData(u"データ\\日本.txt", "japanese name");
  WriteData(u"empty.bin", "");
  Install("1", "5");
  WriteInstalled(u"readme.txt", "old readme");
  // Earlier runs: an unquoted line stays as it is (the system's order puts
  // the quote before letters), two lines differing only in case become one,
  // and a line of this run already present stays once.
  WriteInstalled(u"install.log", "\"zeta.txt\"\r\nplain line\r\n\"README.TXT\"\r\n\"Old.txt\"\r\n\"old.txt\"\r\n");
  // The source is read-only and hidden: the copy keeps archive only.
  const std::u16string cfg = Join(pkg_, u"data\\bin\\game.cfg");
  SetFileAttributesW(W(cfg), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  FILETIME old = {};
  old.dwHighDateTime = 0x01C00000;  // a date in the 1990s
  HANDLE h =
      CreateFileW(W(Join(pkg_, u"data\\readme.txt")), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  SetFileTime(h, nullptr, nullptr, &old);
  CloseHandle(h);

  onBox_ = [&](size_t i, const Box&, Process& p) {
    if (i != 1) return;
    // While the success box shows, the hidden progress dialog still exists:
    // it shows the copying text and sits centred over the splash window.
    HWND dialog = nullptr;
    for (HWND d = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); d;
         d = FindWindowExW(nullptr, d, L"#32770", nullptr)) {
      DWORD pid = 0;
      GetWindowThreadProcessId(d, &pid);
      if (pid == p.Pid() && GetDlgItem(d, 1005)) dialog = d;
    }
    ASSERT_NE(dialog, nullptr);
    EXPECT_FALSE(IsWindowVisible(dialog));
    wchar_t text[512] = {};
    GetDlgItemTextW(dialog, 1005, text, 512);
    EXPECT_EQ(Narrow(reinterpret_cast<const char16_t*>(text)), Lang().copying);
    HWND splash = FindProcessWindow(p.Pid(), L"WC_UPDATE");
    ASSERT_NE(splash, nullptr);
    RECT o, w;
    GetWindowRect(splash, &o);
    GetWindowRect(dialog, &w);
    EXPECT_EQ(w.left, o.left + ((o.right - o.left) - (w.right - w.left)) / 2);
    EXPECT_EQ(w.top, o.top + ((o.bottom - o.top) - (w.bottom - w.top)) / 2);
  };
  Run({Confirm(), Success()}, kInstalled);

  EXPECT_EQ(Installed(u"readme.txt"), "new readme\r\n");
  EXPECT_EQ(Installed(u"bin\\game.cfg"), "cfg v2");
  EXPECT_TRUE(Installed(u"bin\\maps\\deep\\level1.map") == std::string(3 * 1024 * 1024 + 17, 'm'));
  EXPECT_EQ(Installed(u"データ\\日本.txt"), "japanese name");
  EXPECT_EQ(Installed(u"empty.bin"), "");
  EXPECT_EQ(GetFileAttributesW(W(Join(inst_, u"bin\\game.cfg"))), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(AsInt(WriteTime(Join(inst_, u"readme.txt"))), AsInt(old));
  EXPECT_EQ(AsInt(WriteTime(Join(inst_, u"bin\\game.cfg"))), AsInt(WriteTime(cfg)));
  // The package's own files are not installed.
  EXPECT_FALSE(FileExists(Join(inst_, u"updateinfo.xml")));
  EXPECT_EQ(
      Installed(u"install.log"),
      "\"bin\\game.cfg\"\r\n\"bin\\maps\\deep\\level1.map\"\r\n\"empty.bin\"\r\n\"Old.txt\"\r\n"
      "\"README.TXT\"\r\n\"zeta.txt\"\r\n\"\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF\\\xE6\x97\xA5\xE6\x9C\xAC.txt\"\r\n"
      "plain line\r\n");
}

TEST_F(Update, RunningTheSameUpdateTwiceKeepsEachLogLineOnce) {
  Standard();
  WriteData(u"sub\\a.txt", "a");
  Run({Confirm(), Success()}, kInstalled);
  const std::string first = Installed(u"install.log");
  EXPECT_EQ(first, "\"readme.txt\"\r\n\"sub\\a.txt\"\r\n");
  Run({Confirm(), Success()}, kInstalled);
  EXPECT_EQ(Installed(u"install.log"), first);
}

TEST_F(Update, EmptyDataFolderStillRewritesTheLogAndSucceeds) {
  WriteDescription();
  ASSERT_TRUE(CreateDirectoryW(W(Join(pkg_, u"data")), nullptr));
  Install("1", "5");
  WriteInstalled(u"install.log", "\"b\"\r\n\"a\"\n");
  Run({Confirm(), Success()}, kInstalled);
  EXPECT_EQ(Installed(u"install.log"), "\"a\"\r\n\"b\"\r\n");
}

TEST_F(Update, NewerInstalledDllIsKeptAndOlderOneReplaced) {
  const std::u16string v1 = Join(HelperDir(), u"e2e_version_1_0.dll");
  const std::u16string v2 = Join(HelperDir(), u"e2e_version_2_0.dll");
  ASSERT_TRUE(FileExists(v1) && FileExists(v2)) << Narrow(v1);
  WriteDescription();
  Install("1", "5");
  ASSERT_TRUE(WriteVersionedFile(v1, Join(pkg_, u"data\\engine.dll")));
  ASSERT_TRUE(WriteVersionedFile(v2, Join(inst_, u"engine.dll")));
  ASSERT_TRUE(WriteVersionedFile(v2, Join(pkg_, u"data\\tools.dll")));
  ASSERT_TRUE(WriteVersionedFile(v1, Join(inst_, u"tools.dll")));
  Run({Confirm(), Success()}, kInstalled);
  EXPECT_EQ(Installed(u"engine.dll"), ReadFileBytes(v2));
  EXPECT_EQ(Installed(u"tools.dll"), ReadFileBytes(v2));
  // Kept or not, both are recorded as written by this update.
  EXPECT_EQ(Installed(u"install.log"), "\"engine.dll\"\r\n\"tools.dll\"\r\n");
}

// ---- the user's choice and the checks before copying -----------------------------

TEST_F(Update, CancelEndsWithoutAnotherBoxAndWritesNothing) {
  Standard();
  WriteInstalled(u"install.log", "\"x\"\r\n");
  Run({Confirm(IDCANCEL)}, kCancelled);
  EXPECT_EQ(Installed(u"readme.txt"), "<missing>");
  EXPECT_EQ(Installed(u"install.log"), "\"x\"\r\n");
}

TEST_F(Update, MissingDiscoveryFileGivesTheInstallError) {
  WriteDescription();
  WriteData(u"readme.txt", "x");
  Run({Confirm(), {U16(Lang().title), U16(Lang().installError), IDOK}}, kNotInstalled);
}

TEST_F(Update, DiscoveryFileWithEmptyOrMissingFolderGivesTheInstallError) {
  Standard();
  WriteDiscovery("</path><path>");  // closing tag first: an empty folder
  Run({Confirm(), {U16(Lang().title), U16(Lang().installError), IDOK}}, kNotInstalled);
  WriteDiscovery("<path>" + zt_test::Utf8(inst_) + "\\not-there</path>");
  Run({Confirm(), {U16(Lang().title), U16(Lang().installError), IDOK}}, kNotInstalled);
  EXPECT_EQ(Installed(u"readme.txt"), "<missing>");
}

TEST_F(Update, VersionGate) {
  Standard();
  const Step versionError = {U16(Lang().errorTitle), U16(Lang().versionError), IDOK};
  Install("1", "4");  // older than 1.5
  Run({Confirm(), versionError}, kTooOld);
  EXPECT_EQ(Installed(u"readme.txt"), "<missing>");
  EXPECT_EQ(Installed(u"install.log"), "<missing>");
  Install("1", "5");  // equal
  Run({Confirm(), Success()}, kInstalled);
  EXPECT_EQ(Installed(u"readme.txt"), "new readme\r\n");
  Install("2", "0");  // newer
  Run({Confirm(), Success()}, kInstalled);
  // A required minor of 65536 reaches into the major: it asks for 1.0.
  desc_.major = "0";
  desc_.minor = "65536";
  WriteDescription();
  Install("0", "65535");
  Run({Confirm(), versionError}, kTooOld);
  Install("1", "0");
  Run({Confirm(), Success()}, kInstalled);
}

TEST_F(Update, GameOrConfigurationToolRunning) {
  Standard();
  for (const std::string& name : {desc_.mutex, desc_.confMutex}) {
    HANDLE held = CreateMutexW(nullptr, TRUE, W(U16(name)));
    ASSERT_NE(held, nullptr);
    Run({{U16(Lang().title), U16(Lang().boot), IDOK}}, kGameRunning);
    CloseHandle(held);
  }
  EXPECT_EQ(Installed(u"readme.txt"), "<missing>");
}

TEST_F(Update, BothMutexesAreHeldWhileTheWindowIsOpen) {
  Standard();
  onBox_ = [&](size_t i, const Box&, Process&) {
    if (i != 0) return;
    for (const std::string& name : {desc_.mutex, desc_.confMutex}) {
      SetLastError(ERROR_SUCCESS);
      HANDLE h = CreateMutexW(nullptr, FALSE, W(U16(name)));
      const DWORD error = GetLastError();
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << name;
      CloseHandle(h);
    }
  };
  Run({Confirm(IDCANCEL)}, kCancelled);
  // Released at the end: a new creation is the first again.
  SetLastError(ERROR_SUCCESS);
  HANDLE h = CreateMutexW(nullptr, FALSE, W(U16(desc_.mutex)));
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);
}

TEST_F(Update, MissingOrUnparsableDescription) {
  WriteData(u"readme.txt", "x");
  Install("1", "5");
  Run({{u"error", u"updateinfo.xml was not found.", IDOK}}, kNoDescription);
  ASSERT_TRUE(
      WriteFileBytes(Join(pkg_, u"updateinfo.xml"), "<?xml version=\"1.0\"?><document><brand>x</b></document>"));
  Run({{u"error", u"updateinfo.xml was not found.", IDOK}}, kNoDescription);
}

TEST_F(Update, DescriptionWithoutLanguagesShowsAnEmptyErrorBox) {
  desc_.languages.clear();
  Standard();
  Run({{u"error", u"", IDOK}}, kNoDescription);
}

TEST_F(Update, IntroLineBreakShowsAsTwoLines) {
  Standard();
  Run({Confirm(IDCANCEL)}, kCancelled);  // Confirm() expects the line feed in the text
  EXPECT_NE(Intro().find(u'\n'), std::u16string::npos);
}

// Run twice by ctest, under a Japanese and an English UI language; the
// expected language comes from ZT_EXPECT_UI_LANGUAGE.
TEST_F(Update, LanguageFollowsTheUiLanguage) {
  const char* expect = std::getenv("ZT_EXPECT_UI_LANGUAGE");
  if (!expect) GTEST_SKIP() << "run by the ui-language entries of ctest";
  desc_.languages = {English(), Japanese()};
  desc_.defaultLanguage = "en";
  Standard();
  desc_.languages = {std::string(expect) == "1041" ? Japanese() : English()};
  Run({Confirm(IDCANCEL)}, kCancelled);
}

// ---- copy failures ------------------------------------------------------------------

TEST_F(Update, ReadOnlyInstalledFileGivesTheEngineErrorThenTheCopyError) {
  Standard();
  WriteData(u"a.txt", "new a");
  WriteInstalled(u"readme.txt", "old readme");
  ASSERT_TRUE(SetFileAttributesW(W(Join(inst_, u"readme.txt")), FILE_ATTRIBUTE_READONLY));
  // The message names the file that failed, not the source that was fine.
  const std::u16string engineText = u"ファイル [" + Join(inst_, u"readme.txt") + u"] がオープン出来ません";
  Run({Confirm(), {U16(Lang().errorTitle), engineText, IDOK}, CopyError()}, kCopyFailed);
  EXPECT_EQ(Installed(u"readme.txt"), "old readme");
  // a.txt was copied before the failure and is gone again, as is the log
  // written before the copy began.
  EXPECT_EQ(Installed(u"a.txt"), "<missing>");
  EXPECT_EQ(Installed(u"install.log"), "<missing>");
}

TEST_F(Update, NoDataFolderStopsWithTheCopyErrorAndTouchesNothing) {
  WriteDescription();
  Install("1", "5");
  Run({Confirm(), CopyError()}, kCopyFailed);
  EXPECT_EQ(Installed(u"install.log"), "<missing>");
  EXPECT_FALSE(FileExists(Join(inst_, u"updateinfo.xml")));
}

TEST_F(Update, PathTooLongForTheInstallationStopsBeforeWriting) {
  // The installation sits deep, the package shallow: the relative path fits
  // below the data folder but not below the install root.
  inst_ = Join(inst_, std::u16string(150, u'i'));
  ASSERT_TRUE(CreateDirectoryW(W(inst_), nullptr));
  WriteDescription();
  Install("1", "5");
  WriteData(u"short.txt", "s");
  const size_t room = 259 - inst_.size() - 1;
  const size_t dataRoom = 259 - Join(pkg_, u"data").size() - 1;
  ASSERT_GT(dataRoom, room + 10);
  WriteData(std::u16string(room + 5, u'n'), "long");
  Run({Confirm(), CopyError()}, kCopyFailed);
  EXPECT_EQ(Installed(u"install.log"), "<missing>");
  EXPECT_EQ(Installed(u"short.txt"), "<missing>");
}

TEST_F(Update, TooLittleFreeSpaceStopsBeforeWriting) {
  Standard();
  ULARGE_INTEGER avail, total, totalFree;
  ASSERT_TRUE(GetDiskFreeSpaceExW(W(inst_), &avail, &total, &totalFree));
  // A sparse file larger than the free space takes no room itself. It is
  // held open without sharing, so that even a broken check could not start
  // copying it: the engine's open would fail with its own box.
  const std::u16string big = Join(pkg_, u"data\\huge.bin");
  HANDLE h = CreateFileW(W(big), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size;
  size.QuadPart = static_cast<LONGLONG>(avail.QuadPart + (1ull << 30));
  ASSERT_TRUE(SetFilePointerEx(h, size, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  Run({Confirm(), CopyError()}, kCopyFailed);
  CloseHandle(h);
  DeleteFileW(W(big));
  EXPECT_EQ(Installed(u"install.log"), "<missing>");
  EXPECT_EQ(Installed(u"readme.txt"), "<missing>");
}

TEST_F(Update, InstallLogThatCannotBeReadIsKeptAndNothingIsWritten) {
  Standard();
  const std::u16string logPath = Join(inst_, u"install.log");
  WriteInstalled(u"install.log", "\"earlier.txt\"\r\n");
  // Held by another program without sharing.
  HANDLE h = CreateFileW(W(logPath), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  Run({Confirm(), CopyError()}, kCopyFailed);
  CloseHandle(h);
  EXPECT_EQ(Installed(u"install.log"), "\"earlier.txt\"\r\n");
  EXPECT_EQ(Installed(u"readme.txt"), "<missing>");

  // Longer than the longest log the updater reads (a sparse file).
  h = CreateFileW(W(logPath), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LARGE_INTEGER size;
  size.QuadPart = ZTLIMIT_DEFAULT_INSTALL_LOG_BYTES + 1;
  ASSERT_TRUE(SetFilePointerEx(h, size, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  CloseHandle(h);
  Run({Confirm(), CopyError()}, kCopyFailed);
  WIN32_FILE_ATTRIBUTE_DATA d = {};
  ASSERT_TRUE(GetFileAttributesExW(W(logPath), GetFileExInfoStandard, &d));
  EXPECT_EQ(d.nFileSizeLow, ZTLIMIT_DEFAULT_INSTALL_LOG_BYTES + 1u);
  EXPECT_EQ(Installed(u"readme.txt"), "<missing>");
}

TEST_F(Update, InstallLogThatCannotBeSavedStopsBeforeCopying) {
  Standard();
  WriteInstalled(u"install.log", "\"earlier.txt\"\r\n");
  // A folder where the log's replacement file goes makes its save fail.
  ASSERT_TRUE(CreateDirectoryW(W(Join(inst_, u"install.log.zt~")), nullptr));
  Run({Confirm(), CopyError()}, kCopyFailed);
  EXPECT_EQ(Installed(u"install.log"), "\"earlier.txt\"\r\n");
  EXPECT_EQ(Installed(u"readme.txt"), "<missing>");
}

TEST_F(Update, InstallFolderWithATrailingBackslashOrRelativeIsFound) {
  Standard();
  WriteInstalled(u"install.log", "\"earlier.txt\"\r\n");
  WriteDiscovery("<path>" + zt_test::Utf8(inst_) + "\\</path>");
  Run({Confirm(), Success()}, kInstalled);
  EXPECT_EQ(Installed(u"readme.txt"), "new readme\r\n");
  EXPECT_EQ(Installed(u"install.log"), "\"earlier.txt\"\r\n\"readme.txt\"\r\n");

  // A relative folder means the same place for the version check (made
  // from the package folder) and the copy (made from its data folder).
  WriteData(u"second.txt", "2");
  WriteDiscovery("<path>..\\inst</path>");
  Run({Confirm(), Success()}, kInstalled);
  EXPECT_EQ(Installed(u"second.txt"), "2");
  EXPECT_FALSE(FileExists(Join(pkg_, u"inst\\second.txt")));
}

TEST_F(Update, InstallationInALongFolderTakesDestinationsOf259Units) {
  // A 240-unit installation folder: the temporary files beside the deepest
  // destinations, the replacement file of install.log and a folder past the
  // 248 units a plain folder creation takes all pass 259 units.
  while (inst_.size() < 240) inst_ = Join(inst_, std::u16string(std::min<size_t>(60, 239 - inst_.size()), u'i'));
  ASSERT_EQ(inst_.size(), 240u);
  ASSERT_TRUE(CreateFolderTree(inst_.c_str(), 0));
  WriteDescription();
  Install("1", "5");
  const std::u16string deep = u"sub\\" + std::u16string(259 - inst_.size() - 5, u'd');
  const std::u16string folder = std::u16string(10, u'f') + u"\\" + std::u16string(259 - inst_.size() - 12, u'e');
  ASSERT_EQ(Join(inst_, deep).size(), 259u);
  ASSERT_EQ(Join(inst_, folder).size(), 259u);
  WriteInstalled(u"a.txt", "old a");
  WriteInstalled(deep, "old deep");
  WriteData(u"a.txt", "new a");
  WriteData(deep, "new deep");
  WriteData(folder, "new folder");
  Run({Confirm(), Success()}, kInstalled);
  EXPECT_EQ(Installed(u"a.txt"), "new a");
  EXPECT_EQ(Installed(deep), "new deep");
  EXPECT_EQ(Installed(folder), "new folder");
  EXPECT_EQ(Installed(u"install.log"),
            "\"a.txt\"\r\n\"" + zt_test::Utf8(folder) + "\"\r\n\"" + zt_test::Utf8(deep) + "\"\r\n");
}

TEST_F(Update, LibrariesPlantedBesideTheUpdaterAreNeverLoaded) {
  // A package folder in Downloads may hold a stray version.dll or
  // comctl32.dll. Wine is told to prefer such a DLL from the program's
  // folder, as Windows does for any DLL that is not a known one.
  const std::u16string planted = Join(HelperDir(), u"e2e_planted.dll");
  ASSERT_TRUE(FileExists(planted)) << Narrow(planted);
  Standard();
  exe_ = Join(pkg_, u"updater.exe");
  ASSERT_TRUE(CopyFileW(W(UpdaterExe()), W(exe_), FALSE));
  for (const char16_t* name : {u"version.dll", u"comctl32.dll"})
    ASSERT_TRUE(CopyFileW(W(planted), W(Join(pkg_, name)), FALSE));
  // A newer installed program file makes the updater read version resources.
  const std::u16string v1 = Join(HelperDir(), u"e2e_version_1_0.dll");
  const std::u16string v2 = Join(HelperDir(), u"e2e_version_2_0.dll");
  ASSERT_TRUE(WriteVersionedFile(v1, Join(pkg_, u"data\\engine.dll")));
  ASSERT_TRUE(WriteVersionedFile(v2, Join(inst_, u"engine.dll")));
  // Wine's per-program setting, read when updater.exe starts.
  const wchar_t* overrides = L"Software\\Wine\\AppDefaults\\updater.exe\\DllOverrides";
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, overrides, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
  for (const wchar_t* dll : {L"version", L"comctl32"})
    RegSetValueExW(key, dll, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"native,builtin"), 30);
  RegCloseKey(key);
  Run({Confirm(), Success()}, kInstalled);
  RegDeleteTreeW(HKEY_CURRENT_USER, overrides);
  EXPECT_FALSE(FileExists(Join(pkg_, u"version.dll.ran")));
  EXPECT_FALSE(FileExists(Join(pkg_, u"comctl32.dll.ran")));
  EXPECT_EQ(Installed(u"readme.txt"), "new readme\r\n");
  EXPECT_TRUE(Installed(u"engine.dll") == ReadFileBytes(v2)) << "the version rule no longer works";
}

// ---- the splash window ---------------------------------------------------------------

class Splash : public Update {
 protected:
  // Runs to the confirmation box and hands over the splash window.
  void AtConfirmation(const std::function<void(HWND splash)>& check) {
    onBox_ = [&](size_t i, const Box&, Process& p) {
      if (i != 0) return;
      HWND splash = FindProcessWindow(p.Pid(), L"WC_UPDATE");
      ASSERT_NE(splash, nullptr);
      check(splash);
    };
    Run({Confirm(IDCANCEL)}, kCancelled);
  }
  // Runs to the confirmation with a 640 x 400 picture written as an RA-3
  // file of the given form and compares the screen with it.
  void ExpectPicture(const std::string& form);
  static void ExpectCentred(HWND splash, int w, int h) {
    RECT c = ClientRectOnScreen(splash);
    EXPECT_EQ(c.right - c.left, w);
    EXPECT_EQ(c.bottom - c.top, h);
    EXPECT_EQ(c.left, (GetSystemMetrics(SM_CXSCREEN) - w) / 2);
    EXPECT_EQ(c.top, (GetSystemMetrics(SM_CYSCREEN) - h) / 2);
  }
};

void Splash::ExpectPicture(const std::string& form) {
  const int w = 640, h = 400;
  const std::vector<uint32_t> picture = TestPicture(w, h);
  const std::string ra3 = form == "strips" ? Ra3Strips(w, h, picture) : Ra3File(w, h, picture);
  ASSERT_FALSE(ra3.empty());
  ASSERT_TRUE(WriteFileBytes(Join(pkg_, u"updatebg.ra3"), ra3));
  Standard();
  AtConfirmation([&](HWND splash) {
    ExpectCentred(splash, w, h);
    wchar_t title[256] = {};
    GetWindowTextW(splash, title, 256);
    EXPECT_EQ(Narrow(reinterpret_cast<const char16_t*>(title)), Lang().title);
    // Points near the corners and the top strip, away from the box in the
    // middle of the screen.
    const RECT c = ClientRectOnScreen(splash);
    const std::vector<uint32_t> shot = CaptureScreen(c);
    ASSERT_EQ(shot.size(), picture.size());
    const int points[][2] = {{3, 3},       {12, 3},          {w - 20, 4},        {20, 30},      {w - 21, 30},
                             {20, h - 21}, {w - 21, h - 21}, {w / 2 - 1, h - 2}, {w / 2, h - 2}};
    for (const auto& pt : points) {
      const size_t at = static_cast<size_t>(pt[1]) * w + pt[0];
      EXPECT_EQ(shot[at], picture[at]) << "pixel " << pt[0] << "," << pt[1];
    }
  });
}

TEST_F(Splash, ClientAreaIsThePictureCentredAndShowsItsPixels) { ExpectPicture("webp"); }
TEST_F(Splash, PictureMadeWithTheImageToolsStripWriter) { ExpectPicture("strips"); }

TEST_F(Splash, WithoutAPictureTheWindowHasTheDefaultSizeAndTheClassBackground) {
  Standard();
  for (const std::string& bytes : {std::string("<none>"), std::string(), std::string("RA-3 but nothing else"),
                                   std::string("not a picture at all")}) {
    const std::u16string path = Join(pkg_, u"updatebg.ra3");
    DeleteFileW(W(path));
    if (bytes != "<none>") {
      ASSERT_TRUE(WriteFileBytes(path, bytes));
    }
    AtConfirmation([&](HWND splash) {
      ExpectCentred(splash, 640, 360);
      const std::vector<uint32_t> shot = CaptureScreen(ClientRectOnScreen(splash));
      ASSERT_EQ(shot.size(), 640u * 360u);
      EXPECT_EQ(shot[5 * 640 + 5], 0u);
      EXPECT_EQ(shot[354 * 640 + 634], 0u);
    });
  }
}

// ---- the program file ---------------------------------------------------------------

TEST(UpdaterResources, DialogIconsAndManifest) {
  HMODULE exe = LoadLibraryExW(W(UpdaterExe()), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(exe, nullptr);
  EXPECT_NE(FindResourceW(exe, MAKEINTRESOURCEW(103), MAKEINTRESOURCEW(14)), nullptr);  // RT_GROUP_ICON
  EXPECT_NE(FindResourceW(exe, MAKEINTRESOURCEW(104), MAKEINTRESOURCEW(14)), nullptr);

  HRSRC m = FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));  // RT_MANIFEST
  ASSERT_NE(m, nullptr);
  std::string manifest(static_cast<const char*>(LockResource(LoadResource(exe, m))), SizeofResource(exe, m));
  EXPECT_NE(manifest.find("level=\"highestAvailable\""), std::string::npos);
  EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);

  // Dialog 1003 as an extended template: the header, the font, one control.
  HRSRC d = FindResourceW(exe, MAKEINTRESOURCEW(1003), MAKEINTRESOURCEW(5));  // RT_DIALOG
  ASSERT_NE(d, nullptr);
  const auto* p = static_cast<const uint8_t*>(LockResource(LoadResource(exe, d)));
  const auto* u16 = reinterpret_cast<const uint16_t*>(p);
  ASSERT_EQ(u16[0], 1);       // dlgVer
  ASSERT_EQ(u16[1], 0xFFFF);  // extended
  uint32_t style;
  memcpy(&style, p + 12, 4);
  EXPECT_EQ(style, static_cast<uint32_t>(DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_VISIBLE));
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU), 0u);
  EXPECT_EQ(u16[8], 1);  // one control
  EXPECT_EQ(u16[11], 159);
  EXPECT_EQ(u16[12], 22);
  size_t at = 13;
  EXPECT_EQ(u16[at++], 0);         // no menu
  EXPECT_EQ(u16[at++], 0);         // standard class
  EXPECT_EQ(u16[at++], 0);         // no title
  EXPECT_EQ(u16[at++], 9);         // points
  EXPECT_EQ(u16[at++], 0);         // weight
  EXPECT_EQ(p[at * 2], 0);         // italic
  EXPECT_EQ(p[at * 2 + 1], 0x80);  // Shift-JIS character set
  ++at;
  std::u16string face(reinterpret_cast<const char16_t*>(u16 + at));
  EXPECT_EQ(face, u"MS UI Gothic");
  at += face.size() + 1;
  at = (at + 1) & ~size_t(1);  // controls start on a 4-byte boundary
  const uint8_t* item = p + at * 2;
  uint32_t id;
  memcpy(&id, item + 20, 4);
  EXPECT_EQ(id, 1005u);
  const auto* iu = reinterpret_cast<const uint16_t*>(item);
  EXPECT_EQ(iu[6], 7);    // x
  EXPECT_EQ(iu[7], 7);    // y
  EXPECT_EQ(iu[8], 145);  // cx
  EXPECT_EQ(iu[9], 8);    // cy
  EXPECT_EQ(iu[12], 0xFFFF);
  EXPECT_EQ(iu[13], 0x0082);  // static
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(iu + 14)),
            u"アップデート中です。しばらくお待ちください。");
  FreeLibrary(exe);
}
