// Small system services that portable code needs, one implementation per
// build (sysdep_win32.cpp, sysdep_posix.cpp).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zt_sys {

// Code page 932 conversions of a whole terminated string, cut at a whole
// character to fit `cap` (bytes / units, terminator included). Return the
// length written without the terminator, or -1 when the text was cut or could
// not be converted (the output is still terminated).
int Utf16ToCp932(const char16_t* text, char* out, size_t cap);
int Cp932ToUtf16(const char* text, char16_t* out, size_t cap);

// The assertion box ("Assert message...", error icon, OK). The host build
// writes the text to standard error instead.
void ShowAssertBox(const char* cp932Text);

// Last system error code (GetLastError / errno).
uint32_t LastError();

}  // namespace zt_sys
