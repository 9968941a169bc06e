// Entry point of every test program: the private heap exists as it does after
// library start-up, debug-log lines are captured, and an assertion box turns
// into an exception the test can expect instead of stopping the process.
#include <gtest/gtest.h>

#include "platform/ztDebug.h"
#include "platform/ztHeap.h"
#include "tests/common/testutil.h"

namespace {
void OnLog(void*, const char* text) { zt_test::LogLines().push_back(text); }
void OnAssert(void*, const char* text) { throw zt_test::AssertFired{text}; }
}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  ztHeapCreate(0xA00000);
  ztSetDebugLogHook(OnLog, nullptr);
  ztSetAssertHook(OnAssert, nullptr);
  return RUN_ALL_TESTS();
}
