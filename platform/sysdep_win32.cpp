#include <windows.h>

#include "platform/sysdep.h"

namespace zt_sys {

int Utf16ToCp932(const char16_t* text, char* out, size_t cap) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!text) return 0;
  auto* w = reinterpret_cast<const wchar_t*>(text);
  int n = WideCharToMultiByte(932, 0, w, -1, out, static_cast<int>(cap), nullptr, nullptr);
  if (n > 0) return n - 1;
  // Too long: convert one character at a time so the cut falls between
  // characters, never inside a double-byte one.
  size_t used = 0;
  for (const wchar_t* p = w; *p; ++p) {
    int len = (p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) ? 2 : 1;
    char buf[8];
    int m = WideCharToMultiByte(932, 0, p, len, buf, sizeof buf, nullptr, nullptr);
    if (m <= 0 || used + m + 1 > cap) break;
    CopyMemory(out + used, buf, m);
    used += m;
    p += len - 1;
  }
  out[used] = 0;
  return -1;
}

int Cp932ToUtf16(const char* text, char16_t* out, size_t cap) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!text) return 0;
  auto* w = reinterpret_cast<wchar_t*>(out);
  int n = MultiByteToWideChar(932, MB_PRECOMPOSED, text, -1, w, static_cast<int>(cap));
  if (n > 0) return n - 1;
  size_t used = 0;
  for (const char* p = text; *p;) {
    int len = (IsDBCSLeadByteEx(932, static_cast<BYTE>(*p)) && p[1]) ? 2 : 1;
    wchar_t buf[4];
    int m = MultiByteToWideChar(932, MB_PRECOMPOSED, p, len, buf, 4);
    if (m <= 0 || used + m + 1 > cap) break;
    CopyMemory(w + used, buf, m * sizeof(wchar_t));
    used += m;
    p += len;
  }
  out[used] = 0;
  return -1;
}

void ShowAssertBox(const char* cp932Text) {
  wchar_t text[1024];
  if (MultiByteToWideChar(932, MB_PRECOMPOSED, cp932Text, -1, text, 1024) <= 0) text[0] = 0;
  text[1023] = 0;
  MessageBoxW(nullptr, text, L"Assert message...", MB_ICONERROR | MB_OK);
}

uint32_t LastError() { return GetLastError(); }

}  // namespace zt_sys
