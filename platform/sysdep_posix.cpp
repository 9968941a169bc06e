#include <errno.h>
#include <iconv.h>

#include <cstdio>
#include <cstring>

#include "platform/sysdep.h"

namespace zt_sys {

namespace {

// iconv one character at a time: the output can then always be cut between
// characters, which is what every caller of these needs.
int Convert(const char* to, const char* from, const char* in, size_t inBytes, size_t inUnit, char* out, size_t outCap,
            size_t outUnit) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
  size_t used = 0;
  bool cut = false;
  size_t pos = 0;
  while (pos < inBytes) {
    // A character is one or two input units; try one, then two.
    char buf[16];
    size_t got = 0;
    size_t took = 0;
    for (size_t len = inUnit; len <= inUnit * 2 && pos + len <= inBytes; len += inUnit) {
      char* ip = const_cast<char*>(in + pos);
      size_t il = len;
      char* op = buf;
      size_t ol = sizeof buf;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      if (iconv(cd, &ip, &il, &op, &ol) != static_cast<size_t>(-1) && il == 0) {
        got = sizeof buf - ol;
        took = len;
        break;
      }
    }
    if (!took) {
      // Not convertible: the system's converters give the default character.
      if (outUnit == 1) {
        buf[0] = '?';
        got = 1;
      } else {
        char16_t q = u'?';
        std::memcpy(buf, &q, 2);
        got = 2;
      }
      took = inUnit;
    }
    if (used + got + outUnit > outCap * outUnit) {
      cut = true;
      break;
    }
    std::memcpy(out + used, buf, got);
    used += got;
    pos += took;
  }
  iconv_close(cd);
  std::memset(out + used, 0, outUnit);
  if (cut) return -1;
  return static_cast<int>(used / outUnit);
}

}  // namespace

int Utf16ToCp932(const char16_t* text, char* out, size_t cap) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!text) return 0;
  size_t n = 0;
  while (text[n]) ++n;
  return Convert("CP932", "UTF-16LE", reinterpret_cast<const char*>(text), n * 2, 2, out, cap, 1);
}

int Cp932ToUtf16(const char* text, char16_t* out, size_t cap) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!text) return 0;
  return Convert("UTF-16LE", "CP932", text, std::strlen(text), 1, reinterpret_cast<char*>(out), cap, 2);
}

void ShowAssertBox(const char* cp932Text) { std::fprintf(stderr, "Assert message...: %s\n", cp932Text); }

uint32_t LastError() { return static_cast<uint32_t>(errno); }

}  // namespace zt_sys
