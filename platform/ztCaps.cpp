#include "platform/ztCaps.h"

#include <new>

namespace {
ztCaps* g_caps = nullptr;
}

ztWindowsRecord ztCaps::MakeWindowsRecord(const ztOsVersion& v) {
  ztWindowsRecord r = {};
  r.major = static_cast<int32_t>(v.major);
  r.minor = static_cast<int32_t>(v.minor);
  r.build = static_cast<int32_t>(v.build);
  switch (v.platform) {
    case 0:
      r.code = ZTWIN_32S;
      break;
    case 1:
      // The 9x family packs its version into the build field.
      r.major = static_cast<int32_t>((v.build >> 24) & 0xFF);
      r.minor = static_cast<int32_t>((v.build >> 16) & 0xFF);
      r.build = static_cast<int32_t>(v.build & 0xFFFF);
      if (v.minor == 0)
        r.code = ZTWIN_95;
      else if (v.minor == 10)
        r.code = ZTWIN_98;
      else if (v.minor == 90)
        r.code = ZTWIN_ME;
      else
        r.code = ZTWIN_9X_OTHER;
      break;
    case 2:
      if (v.major == 3)
        r.code = ZTWIN_NT3;
      else if (v.major == 4)
        r.code = ZTWIN_NT4;
      else if (v.major == 5 && v.minor == 0)
        r.code = ZTWIN_2000;
      else if (v.major == 5 && v.minor == 1)
        r.code = ZTWIN_XP;
      else if (v.major == 6 && v.minor == 0)
        r.code = ZTWIN_VISTA;
      else if (v.major == 6 && v.minor == 1)
        r.code = ZTWIN_7;
      else if (v.major == 6 && v.minor == 2)
        r.code = ZTWIN_8;
      else if (v.major == 6 && v.minor == 3)
        r.code = ZTWIN_81;
      else if (v.major == 10)
        r.code = ZTWIN_10;
      else
        r.code = ZTWIN_NT_OTHER;
      break;
    default:
      r.code = ZTWIN_UNKNOWN;
  }
  return r;
}

ztCaps::ztCaps(uint32_t flags, int32_t mode) : ddeMode(mode) {
  // A capability that cannot be measured stays 0.
  if (flags & ZTCAPS_WINDOWS) {
    ztOsVersion v = {};
    if (ztReadOsVersion(&v)) windows = MakeWindowsRecord(v);
  }
  if (flags & ZTCAPS_PROCESSOR) {
    ztProcessorRecord p = {};
    if (ztReadProcessor(&p)) processor = p;
  }
}

ztCaps* ztGetCaps() { return g_caps; }

ztCaps* ztCapsCreate(uint32_t flags, int32_t ddeMode) {
  if (!g_caps) {
    ztCaps* caps = new (std::nothrow) ztCaps(flags, ddeMode);
    g_caps = caps;  // set only once the record is complete
  }
  return g_caps;
}

void ztCapsDestroy() {
  ztCaps* caps = g_caps;
  g_caps = nullptr;
  delete caps;
}

int GetWindowsRecord(ztWindowsRecord* out) {
  if (!out) return 0;
  if (!g_caps) {
    *out = ztWindowsRecord{};
    return 0;
  }
  *out = g_caps->windows;
  return 1;
}
