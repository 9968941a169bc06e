#include "app/VersionGate.h"

#include "file/textutil.h"

uint32_t RequiredVersion(const char16_t* majorText, const char16_t* minorText) {
  // A negative text parses to a negative number; the cast keeps its bits,
  // so "-1" becomes a very large requirement rather than a small one.
  uint32_t major = static_cast<uint32_t>(ParseVersionNumber(majorText ? majorText : u""));
  uint32_t minor = static_cast<uint32_t>(ParseVersionNumber(minorText ? minorText : u""));
  return (major << 16) | minor;
}

int VersionAccepted(uint32_t installed, uint32_t required) { return installed >= required ? 1 : 0; }
