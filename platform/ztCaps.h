// ztCaps: the process-wide record of facts about the machine that other
// parts of the library read (the copy engine decides from the Windows code
// whether unbuffered reading may be used). Built once by the library
// start-up; the global pointer is set only when the record is complete.
//
// Windows build only.
#pragma once

#include <cstdint>

enum : uint32_t {
  ZTCAPS_WINDOWS = 0x01,    // fill the Windows record
  ZTCAPS_PROCESSOR = 0x08,  // fill the processor record
};

// Windows codes grow with the age of the system inside each family, so
// "code >= 64" means an NT-family Windows from Windows 2000 on (or unknown).
enum : int32_t {
  ZTWIN_32S = 1,
  ZTWIN_95 = 2,
  ZTWIN_98 = 3,
  ZTWIN_ME = 4,
  ZTWIN_9X_OTHER = 15,
  ZTWIN_NT_OTHER = 16,
  ZTWIN_NT3 = 32,
  ZTWIN_NT4 = 48,
  ZTWIN_2000 = 64,
  ZTWIN_XP = 80,
  ZTWIN_VISTA = 96,
  ZTWIN_7 = 97,
  ZTWIN_8 = 98,
  ZTWIN_81 = 99,
  ZTWIN_10 = 100,
  ZTWIN_UNKNOWN = 0xFFFF,
};

struct ztWindowsRecord {
  int32_t code;
  int32_t major;
  int32_t minor;
  int32_t build;
};

struct ztProcessorRecord {
  int32_t hasCpuid;  // the identification instruction can be used
  int32_t mmx;       // standard feature bit 23
};

// The version numbers as the system reports them.
struct ztOsVersion {
  uint32_t platform;  // 0 Win32s, 1 Windows 9x, 2 NT
  uint32_t major;
  uint32_t minor;
  uint32_t build;
};

class ztCaps {
 public:
  // Clears everything, stores ddeMode and measures what `flags` asks for.
  // Does not set the global pointer (ztCapsCreate does).
  ztCaps(uint32_t flags, int32_t ddeMode);

  // The Windows record of a version: the code from the table and, on the 9x
  // platform, major, minor and build taken from the packed build field (top
  // byte, next byte, low 16 bits).
  static ztWindowsRecord MakeWindowsRecord(const ztOsVersion& version);

  ztWindowsRecord windows = {};
  ztProcessorRecord processor = {};
  int32_t ddeMode = 0;
};

// Platform measurements (ztCaps_win32.cpp). 1 when the version was read.
int ztReadOsVersion(ztOsVersion* out);
// 1 with `out` filled when the identification instruction is available.
int ztReadProcessor(ztProcessorRecord* out);

// The global record, or null before start-up and after shut-down.
ztCaps* ztGetCaps();
// Builds the record and sets the global when none exists; returns the global.
ztCaps* ztCapsCreate(uint32_t flags, int32_t ddeMode);
// Clears the global and deletes the record.
void ztCapsDestroy();

// Copies the Windows record through the global pointer. 1, or 0 (and a
// cleared `out`) when no record exists or `out` is null.
int GetWindowsRecord(ztWindowsRecord* out);
