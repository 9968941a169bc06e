// The folder walk and the copy engine's callback (Windows build).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/UpdateJob.h"
#include "app/UpdaterUi.h"
#include "file/ztFileCopier.h"
#include "tests/common/testutil.h"

using zt_test::W;

namespace {

// What the last walk found.
DataFiles g_files;

// Runs the walk with `dir` as the current directory.
std::vector<std::u16string> Walk(const zt_test::TempDir& dir) {
  wchar_t before[1024];
  GetCurrentDirectoryW(1024, before);
  SetCurrentDirectoryW(W(dir.Path()));
  g_files.Reset();
  WalkDataFolder(u"", &g_files);
  SetCurrentDirectoryW(before);
  return g_files.paths;
}

bool Contains(const std::vector<std::u16string>& list, const std::u16string& s) {
  for (const auto& e : list)
    if (e == s) return true;
  return false;
}

size_t IndexOf(const std::vector<std::u16string>& list, const std::u16string& s) {
  for (size_t i = 0; i < list.size(); ++i)
    if (list[i] == s) return i;
  return list.size();
}

}  // namespace

TEST(WalkDataFolder, ListsEveryFileRelativeWithBackslashesDepthFirst) {
  zt_test::TempDir dir;
  dir.Write(u"top.txt", "t");
  dir.Write(u"a/one.txt", "1");
  dir.Write(u"a/deep/two.txt", "2");
  dir.Write(u"a/three.txt", "3");
  CreateDirectoryW(W(dir.Join(u"empty")), nullptr);
  dir.Write(u"hidden.bin", "h");
  SetFileAttributesW(W(dir.Join(u"hidden.bin")), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY);

  std::vector<std::u16string> files = Walk(dir);
  EXPECT_EQ(files.size(), 5u);
  EXPECT_TRUE(Contains(files, u"top.txt"));
  EXPECT_TRUE(Contains(files, u"a\\one.txt"));
  EXPECT_TRUE(Contains(files, u"a\\deep\\two.txt"));
  EXPECT_TRUE(Contains(files, u"a\\three.txt"));
  EXPECT_TRUE(Contains(files, u"hidden.bin"));  // attributes other than folder play no part
  EXPECT_FALSE(g_files.incomplete);
  // A sub-folder's files come together, where the sub-folder was met.
  const size_t one = IndexOf(files, u"a\\one.txt"), three = IndexOf(files, u"a\\three.txt");
  const size_t two = IndexOf(files, u"a\\deep\\two.txt");
  const size_t lo = std::min({one, two, three}), hi = std::max({one, two, three});
  EXPECT_EQ(hi - lo, 2u);
  SetFileAttributesW(W(dir.Join(u"hidden.bin")), FILE_ATTRIBUTE_NORMAL);
}

TEST(WalkDataFolder, AnEmptyFolderGivesAnEmptyCompleteList) {
  zt_test::TempDir dir;
  EXPECT_TRUE(Walk(dir).empty());
  EXPECT_FALSE(g_files.incomplete);
}

TEST(WalkDataFolder, AFolderThatCannotBeListedMarksTheListIncomplete) {
  g_files.Reset();
  WalkDataFolder(u"no-such-folder-here", &g_files);
  EXPECT_TRUE(g_files.paths.empty());
  EXPECT_TRUE(g_files.incomplete);
  g_files.Reset();
}

// ---- the engine's callback -------------------------------------------------------------

class CopyProgress : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 1, 1, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
  }
  void TearDown() override { DestroyWindow(window_); }
  // Messages waiting for the window.
  std::vector<UINT> Posted() {
    std::vector<UINT> got;
    MSG msg;
    while (PeekMessageW(&msg, window_, 0, 0, PM_REMOVE)) got.push_back(msg.message);
    return got;
  }
  HWND window_ = nullptr;
  CopyStatus status_ = {};
};

TEST_F(CopyProgress, BlocksContinueWithoutPostingAnything) {
  status_.fileDone = 10;
  EXPECT_EQ(OnCopyProgress(window_, &status_), 1);
  EXPECT_TRUE(Posted().empty());
}

TEST_F(CopyProgress, TheEndPostsDoneOrFailed) {
  status_.finished = 1;
  EXPECT_EQ(OnCopyProgress(window_, &status_), 1);
  EXPECT_EQ(Posted(), std::vector<UINT>{UM_COPY_DONE});
  // The failure's own box came with its own call; the copy-error box
  // waits for the end, when the engine no longer touches any file.
  status_.error = 1;
  EXPECT_EQ(OnCopyProgress(window_, &status_), 1);
  EXPECT_EQ(Posted(), std::vector<UINT>{UM_COPY_FAILED});
}

TEST(UpdaterMessages, ValuesAreWmUserPlusN) {
  EXPECT_EQ(UM_START_COPY, 1026u);
  EXPECT_EQ(UM_CLOSE, 1034u);
  EXPECT_EQ(UM_CONFIRM, 1044u);
  EXPECT_EQ(UM_SHOW_PROGRESS, 1045u);
  EXPECT_EQ(UM_REPAINT, 1046u);
  EXPECT_EQ(UM_COPY_DONE, 1047u);
  EXPECT_EQ(UM_COPY_FAILED, 1048u);
}
