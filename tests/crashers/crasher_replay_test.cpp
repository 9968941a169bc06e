#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "fuzz/seeds/seeds.h"
#include "fuzz/targets/fuzz_targets.h"
#include "fuzz/targets/fuzzsupport.h"
#include "platform/ztHeap.h"
#include "tests/common/testutil.h"

namespace fs = std::filesystem;

namespace {

// What a target reports through ztFuzzFail inside this test program.
struct TargetFailed {
  std::string text;
};

[[noreturn]] void ThrowFailure(const char* text) { throw TargetFailed{text}; }

fs::path CrashersFolder() {
  fs::path p(ZT_CRASHERS_DIR);
#ifdef _WIN32
  // Under Wine the source tree is reached through the drive that maps the
  // Unix root; a root-relative path works from that drive, the explicit
  // drive from any other.
  std::error_code ec;
  if (!fs::is_directory(p, ec)) p = fs::path("Z:" ZT_CRASHERS_DIR);
#endif
  return p;
}

class CrasherReplay : public ::testing::TestWithParam<ztFuzzTarget> {
 protected:
  void SetUp() override {
    ztFuzzSetUp();
    ztFuzzSetFailHandler(ThrowFailure);
  }
  void TearDown() override { ztFuzzSetFailHandler(nullptr); }
};

std::vector<ztFuzzTarget> AllTargets() {
  size_t count = 0;
  const ztFuzzTarget* t = ztFuzzTargets(&count);
  return std::vector<ztFuzzTarget>(t, t + count);
}

// Runs one input as the fuzzer does, turning every way a target can report
// a fault (the round trips' checks, the leak count, an assertion box) into
// a test failure that names the file.
void RunInput(const ztFuzzTarget& target, const std::vector<uint8_t>& bytes) {
  try {
    ztFuzzRun(target.entry, bytes.data(), bytes.size());
  } catch (const TargetFailed& f) {
    ADD_FAILURE() << target.name << ": " << f.text;
  } catch (const zt_test::AssertFired& a) {
    ADD_FAILURE() << target.name << ": assertion box: " << a.text;
  }
}

void Replay(const ztFuzzTarget& target, const fs::path& file) {
  SCOPED_TRACE(file.string());
  // A file that cannot be read would otherwise be replayed as empty input.
  std::string bytes;
  if (!zt_test::LoadFileBytes(file.u16string(), &bytes)) {
    ADD_FAILURE() << "cannot read the file";
    return;
  }
  RunInput(target, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

}  // namespace

TEST_P(CrasherReplay, EveryKeptInputRunsCleanly) {
  const ztFuzzTarget& target = GetParam();
  fs::path folder = CrashersFolder() / target.name;
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) GTEST_SKIP() << "no reproducers for " << target.name;
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  for (const fs::path& file : files) Replay(target, file);
  RecordProperty("inputs", static_cast<int>(files.size()));
}

// The seed corpus through every target: the valid inputs of each format
// must pass too (the round trips' checks included), on every build, and a
// target that stopped reading its own format's files would show here.
TEST_P(CrasherReplay, EverySeedRunsCleanly) {
  const ztFuzzTarget& target = GetParam();
  std::vector<ztFuzzSeed> seeds = ztFuzzMakeSeeds(target.name);
  ASSERT_FALSE(seeds.empty());
  for (const ztFuzzSeed& seed : seeds) {
    SCOPED_TRACE(seed.name);
    ASSERT_FALSE(seed.bytes.empty());
    RunInput(target, seed.bytes);
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, CrasherReplay, ::testing::ValuesIn(AllTargets()),
                         [](const ::testing::TestParamInfo<ztFuzzTarget>& info) { return std::string(info.param.name); });

// A folder whose name is no target's would never be replayed.
TEST(CrasherFolders, EveryFolderNamesATarget) {
  fs::path root = CrashersFolder();
  ASSERT_TRUE(fs::is_directory(root)) << root.string();
  for (const auto& entry : fs::directory_iterator(root)) {
    if (!entry.is_directory()) continue;
    std::string name = entry.path().filename().string();
    EXPECT_NE(ztFuzzFindTarget(name.c_str()), nullptr) << "tests/data/crashers/" << name << " names no fuzz target";
  }
}

// The replay only means something if a failing target is noticed: an input
// that breaks a round trip's check must surface as a failure here too.
TEST(CrasherHarness, ATargetReportIsCaught) {
  ztFuzzSetFailHandler(ThrowFailure);
  EXPECT_THROW(ztFuzzFail("reported %d", 1), TargetFailed);
  ztFuzzSetFailHandler(nullptr);
}

// Blocks left on the private heap by one input count as a fault.
TEST(CrasherHarness, LeftoverHeapBlocksAreAFault) {
  ztFuzzSetFailHandler(ThrowFailure);
  static void* lost = nullptr;
  auto leaky = [](const uint8_t*, size_t) -> int {
    lost = ztHeapAlloc(0, 16);
    return 0;
  };
  auto clean = [](const uint8_t*, size_t) -> int {
    ztHeapFree(ztHeapAlloc(0, 16));
    return 0;
  };
  EXPECT_NO_THROW(ztFuzzRun(+clean, nullptr, 0));
  EXPECT_THROW(ztFuzzRun(+leaky, nullptr, 0), TargetFailed);
  ztHeapFree(lost);
  ztFuzzSetFailHandler(nullptr);
}
