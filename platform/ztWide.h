// UTF-16 text is char16_t in every interface of the library; a Win32 call
// wants wchar_t, which on Windows is the same 16-bit unit. The one cast
// between the two, used only at the call.
//
// Windows build only.
#pragma once

static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must be a UTF-16 unit");

inline const wchar_t* W(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }
inline wchar_t* W(char16_t* text) { return reinterpret_cast<wchar_t*>(text); }
