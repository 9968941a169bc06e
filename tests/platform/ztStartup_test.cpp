#include "startup/ztStartup.h"

#include <gtest/gtest.h>

#include "file/ztFileServer.h"
#include "platform/ztCaps.h"
#include "platform/ztHeap.h"

namespace {

// The test program runs with the private heap created by its main; the
// library shut-down destroys it, so each test puts one back.
class StartupTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (!ztHeapExists()) ztHeapCreate(ZT_STARTUP_HEAP_SIZE);
  }
};

}  // namespace

TEST_F(StartupTest, StartsEverythingAndShutsItDown) {
  ASSERT_EQ(ztGetCaps(), nullptr);
  ASSERT_EQ(ztGetFileServer(), nullptr);
  EXPECT_EQ(ztLibraryStartup(0x7F, 0), 1);
  ztCaps* caps = ztGetCaps();
  ASSERT_NE(caps, nullptr);
  EXPECT_GE(caps->windows.code, 64);
  EXPECT_EQ(caps->ddeMode, 0);
  EXPECT_TRUE(ztHeapExists());
  ztFileServer* server = ztGetFileServer();
  ASSERT_NE(server, nullptr);
  EXPECT_EQ(std::u16string(server->GetBaseFolder()), u".");
  EXPECT_EQ(server->IsPreloading(), 0);  // no engine configuration
  ztWindowsRecord r = {};
  EXPECT_EQ(GetWindowsRecord(&r), 1);
  EXPECT_EQ(r.code, caps->windows.code);

  EXPECT_EQ(ztLibraryShutdown(), 1);
  EXPECT_EQ(ztGetCaps(), nullptr);
  EXPECT_EQ(ztGetFileServer(), nullptr);
  EXPECT_FALSE(ztHeapExists());
  EXPECT_EQ(GetWindowsRecord(&r), 0);
}

TEST_F(StartupTest, SecondStartKeepsTheRecordAndTheFileServer) {
  ztLibraryStartup(0x7F, 0);
  ztCaps* caps = ztGetCaps();
  ztFileServer* server = ztGetFileServer();
  void* block = ztHeapAlloc(0, 16);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(ztLibraryStartup(0, 3), 1);
  EXPECT_EQ(ztGetCaps(), caps);
  EXPECT_EQ(ztGetCaps()->ddeMode, 0);
  EXPECT_NE(ztGetCaps()->windows.code, 0);
  EXPECT_EQ(ztGetFileServer(), server);
  // The heap is kept too: the block is still live.
  EXPECT_EQ(ztHeapRefCount(block), 1);
  ztHeapFree(block);
  ztLibraryShutdown();
  EXPECT_EQ(ztGetCaps(), nullptr);
  EXPECT_EQ(ztGetFileServer(), nullptr);
}

TEST_F(StartupTest, FlagsZeroGiveAZeroRecordWithTheDdeMode) {
  ztLibraryStartup(0, 0);
  ztCaps* caps = ztGetCaps();
  ASSERT_NE(caps, nullptr);
  EXPECT_EQ(caps->windows.code, 0);
  EXPECT_EQ(caps->processor.hasCpuid, 0);
  ztLibraryShutdown();
}

TEST_F(StartupTest, ShutdownDeletesTheEngineConfiguration) {
  ztLibraryStartup(0x7F, 0);
  g_ztEngineConfig = new ztEngineConfig;
  ztLibraryShutdown();
  EXPECT_EQ(g_ztEngineConfig, nullptr);
}

TEST_F(StartupTest, ShutdownWithoutStartupIsHarmless) {
  EXPECT_EQ(ztLibraryShutdown(), 1);
  EXPECT_EQ(ztGetCaps(), nullptr);
}
