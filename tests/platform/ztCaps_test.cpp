#include "platform/ztCaps.h"

#include <gtest/gtest.h>
#include <windows.h>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#endif

namespace {

ztWindowsRecord Record(uint32_t platform, uint32_t major, uint32_t minor, uint32_t build = 0) {
  return ztCaps::MakeWindowsRecord(ztOsVersion{platform, major, minor, build});
}

}  // namespace

TEST(CapsTable, WindowsCodes) {
  struct Row {
    uint32_t platform, major, minor;
    int32_t code;
  };
  const Row rows[] = {
      {0, 3, 10, 1},        {1, 4, 0, 2},    {1, 4, 10, 3},  {1, 4, 90, 4}, {1, 4, 20, 15},
      {2, 3, 51, 32},       {2, 4, 0, 48},   {2, 5, 0, 64},  {2, 5, 1, 80}, {2, 5, 2, 16},
      {2, 6, 0, 96},        {2, 6, 1, 97},   {2, 6, 2, 98},  {2, 6, 3, 99}, {2, 6, 4, 16},
      {2, 10, 0, 100},      {2, 10, 5, 100}, {2, 11, 0, 16}, {2, 2, 0, 16}, {3, 10, 0, 0xFFFF},
      {0xFF, 5, 1, 0xFFFF},
  };
  for (const Row& r : rows)
    EXPECT_EQ(Record(r.platform, r.major, r.minor).code, r.code)
        << r.platform << " " << r.major << "." << r.minor;
}

TEST(CapsTable, NtVersionNumbersAreKept) {
  ztWindowsRecord r = Record(2, 10, 0, 19045);
  EXPECT_EQ(r.major, 10);
  EXPECT_EQ(r.minor, 0);
  EXPECT_EQ(r.build, 19045);
}

TEST(CapsTable, NineXVersionComesFromThePackedBuildField) {
  // Windows 98 SE: 4.10.2222 packed as 0x040A08AE.
  ztWindowsRecord r = Record(1, 4, 10, 0x040A08AE);
  EXPECT_EQ(r.code, 3);
  EXPECT_EQ(r.major, 4);
  EXPECT_EQ(r.minor, 10);
  EXPECT_EQ(r.build, 2222);
}

TEST(CapsRecord, FlagsZeroLeaveEverythingZeroButTheDdeMode) {
  ztCaps caps(0, 2);
  EXPECT_EQ(caps.windows.code, 0);
  EXPECT_EQ(caps.windows.major, 0);
  EXPECT_EQ(caps.windows.build, 0);
  EXPECT_EQ(caps.processor.hasCpuid, 0);
  EXPECT_EQ(caps.processor.mmx, 0);
  EXPECT_EQ(caps.ddeMode, 2);
}

TEST(CapsRecord, WindowsRecordMatchesTheSystemsOwnVersion) {
  struct Info {
    ULONG size, major, minor, build, platform;
    WCHAR csd[128];
  } info = {};
  info.size = sizeof info;
  using Fn = LONG(WINAPI*)(Info*);
  auto fn = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  ASSERT_NE(fn, nullptr);
  ASSERT_EQ(fn(&info), 0);
  ztCaps caps(ZTCAPS_WINDOWS, 0);
  EXPECT_EQ(caps.windows.major, static_cast<int32_t>(info.major));
  EXPECT_EQ(caps.windows.minor, static_cast<int32_t>(info.minor));
  EXPECT_EQ(caps.windows.build, static_cast<int32_t>(info.build));
  EXPECT_EQ(caps.windows.code, Record(info.platform, info.major, info.minor).code);
  // Every system this runs on is of the NT family from Windows 2000 on.
  EXPECT_GE(caps.windows.code, 64);
  EXPECT_NE(caps.windows.code, 0xFFFF);
  EXPECT_EQ(caps.processor.hasCpuid, 0);  // not asked for
}

TEST(CapsRecord, ProcessorRecord) {
  ztCaps caps(ZTCAPS_PROCESSOR, 0);
  EXPECT_EQ(caps.windows.code, 0);  // not asked for
#if defined(__i386__) || defined(__x86_64__)
  EXPECT_EQ(caps.processor.hasCpuid, 1);
  unsigned a, b, c, d;
  ASSERT_TRUE(__get_cpuid(1, &a, &b, &c, &d));
  EXPECT_EQ(caps.processor.mmx, static_cast<int32_t>((d >> 23) & 1));
#endif
}

TEST(CapsGlobal, CreatedOnceAndReadThroughGetWindowsRecord) {
  ASSERT_EQ(ztGetCaps(), nullptr);
  ztWindowsRecord out = {7, 7, 7, 7};
  EXPECT_EQ(GetWindowsRecord(&out), 0);
  EXPECT_EQ(out.code, 0);
  ztCaps* first = ztCapsCreate(ZTCAPS_WINDOWS, 1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(ztGetCaps(), first);
  // A second creation keeps the first record.
  EXPECT_EQ(ztCapsCreate(0, 9), first);
  EXPECT_EQ(first->ddeMode, 1);
  EXPECT_EQ(GetWindowsRecord(&out), 1);
  EXPECT_EQ(out.code, first->windows.code);
  EXPECT_EQ(out.build, first->windows.build);
  EXPECT_NE(out.code, 0);
  EXPECT_EQ(GetWindowsRecord(nullptr), 0);
  ztCapsDestroy();
  EXPECT_EQ(ztGetCaps(), nullptr);
}
