// Text utilities: numbers in text, search and replace, UTF-16 / UTF-8 /
// code page 932 conversions, line reading and byte blocks.
//
// Buffer rule: every function that writes into a caller's buffer is told its
// capacity (in units of the buffer's element, terminator included), either as
// an argument or deduced from an array by the template overloads. A result
// that does not fit is cut at a whole character (never inside a surrogate
// pair, a UTF-8 sequence or a double-byte character), the output stays
// terminated, and the function reports the cut as its documentation says.
// A capacity of 0 writes nothing.
#pragma once

#include <cstddef>
#include <cstdint>

// commdlg.h (pulled in by a full <windows.h>) defines ReplaceText as a macro.
#ifdef ReplaceText
#undef ReplaceText
#endif

// ---- numbers in text --------------------------------------------------------

// Optional sign, then decimal digits, or hexadecimal digits after 0x / 0X.
// Decimal digits followed by '.' give 0, as does text that does not start
// with a digit after the sign. Arithmetic wraps at 32 bits.
int32_t ParseVersionNumber(const char16_t* text);
int32_t ParseNumberA(const char* text);

// The same reading; 1 with `end` (index just after the number) and `value`
// filled, 0 when no number starts the text or a decimal number is followed by
// a '.'.
int ScanNumber(const char16_t* text, int* end, int32_t* value);
int ScanNumberA(const char* text, int* end, int32_t* value);

// ---- search and replace ----------------------------------------------------

// Index of the first occurrence, -1 if none or either is null. An empty
// pattern is found at 0 of a non-empty text.
int FindText(const char16_t* text, const char16_t* pattern);
int FindTextA(const char* text, const char* pattern);

// `out` receives `text` with every occurrence of `pattern` (left to right, no
// overlaps) replaced. An empty or null pattern copies the text unchanged.
// Returns the length of `out`, or -1 when it was cut.
[[nodiscard]] int ReplaceText(char16_t* out, size_t cap, const char16_t* text, const char16_t* pattern,
                              const char16_t* replacement);

// In-place case change of units below 256 (A-Z / a-z only); returns the length.
int ToLowerPath(char16_t* text);
int ToUpperPath(char16_t* text);

// Copies the bytes up to the first line end into `out` (no line end), ends it
// with two zero bytes, and returns how many bytes of `text` the line used:
// the line plus 2 for CR LF or 1 for a lone LF; at the terminating zero the
// line's length (0 once the text is exhausted). A line longer than `cap` - 2
// bytes is cut at a whole UTF-8 character; the count still covers the whole
// line so a reader always moves on. `cap` must be at least 2.
int ReadTextLine(const char* text, char* out, size_t cap);

// Functions here and in pathutil.h whose result says the output was cut, or
// that they failed, are [[nodiscard]]: a caller that means to keep a cut text
// (a title shown in a box) says so with (void).

// The system's case-insensitive comparison of names: lstrcmpiW on Windows
// (the user's locale), a folding of the Latin letters on the host. <0, 0 or
// >0; a null text counts as empty. (ztStringList_win32.cpp / _posix.cpp.)
int ztCompareNoCase(const char16_t* a, const char16_t* b);

// ---- character sets --------------------------------------------------------

// UTF-16 to UTF-8. The unit 0xFFFF becomes the bytes FF FF; a surrogate pair
// becomes one 4-byte sequence; a lone surrogate becomes U+FFFD. Returns the
// bytes written (without terminator), or -1 when the output was cut.
[[nodiscard]] int ToUtf8(const char16_t* text, char* out, size_t cap);

// UTF-8 to UTF-16, one character at a time. FF FF gives 0xFFFF; a sequence
// whose length (Utf8SequenceLength) is below 1 ends the conversion there; an
// invalid sequence gives U+FFFD; a 4-byte sequence gives a surrogate pair.
// Returns the units written (without terminator), or -1 when cut.
[[nodiscard]] int FromUtf8(const char* text, char16_t* out, size_t cap);

// 1 for a byte below 0x80; n for a lead byte with n (2 to 5) leading one bits;
// -2 for a continuation byte; -3 when a tested following byte is not a
// continuation byte (the second byte of a two-byte sequence is not tested);
// six or more leading one bits count as 1.
int Utf8SequenceLength(const char* bytes);

// Copies one UTF-8 character and terminates `out`; an empty or null text, or
// a byte that cannot start a character, gives an empty `out`. Returns the
// number of bytes copied.
int CopyUtf8Char(const char* text, char* out, size_t cap);

// Whole-string code page 932 conversions (capacity in bytes / units). Return
// the length written, or -1 when cut or not convertible.
int ToShiftJis(char* out, size_t cap, const char16_t* text);
int FromShiftJis(char16_t* out, size_t cap, const char* text);

int IsShiftJisLead(const char* bytes);
int GetShiftJisChar(const char* bytes);
int FindCharA(const char* text, int code);
int FindChar(const char16_t* text, char16_t unit);

// ---- byte blocks -------------------------------------------------------------

void CopyBytes(void* dst, const void* src, size_t count);
void ZeroBytes(void* dst, size_t count);
int CompareBytes(const void* a, const void* b, size_t count);

// ---- small helpers on terminated UTF-16 text --------------------------------

size_t TextLength(const char16_t* text);
// Copies `text`, cut at a whole character; returns its length or -1 when cut.
[[nodiscard]] int CopyText(char16_t* out, size_t cap, const char16_t* text);
[[nodiscard]] int CopyTextA(char* out, size_t cap, const char* text);
// Length of the longest prefix of `text` (of `len` units) that fits `cap` - 1
// units without splitting a surrogate pair.
size_t FitUtf16(const char16_t* text, size_t len, size_t cap);
// The same for UTF-8 bytes: never splits a sequence.
size_t FitUtf8(const char* text, size_t len, size_t cap);

// ---- array overloads: capacity deduced ------------------------------------

template <size_t N>
[[nodiscard]] int ReplaceText(char16_t (&out)[N], const char16_t* t, const char16_t* p, const char16_t* r) {
  return ReplaceText(out, N, t, p, r);
}
template <size_t N>
int ReadTextLine(const char* text, char (&out)[N]) {
  return ReadTextLine(text, out, N);
}
template <size_t N>
[[nodiscard]] int ToUtf8(const char16_t* text, char (&out)[N]) {
  return ToUtf8(text, out, N);
}
template <size_t N>
[[nodiscard]] int FromUtf8(const char* text, char16_t (&out)[N]) {
  return FromUtf8(text, out, N);
}
template <size_t N>
int CopyUtf8Char(const char* text, char (&out)[N]) {
  return CopyUtf8Char(text, out, N);
}
template <size_t N>
[[nodiscard]] int CopyText(char16_t (&out)[N], const char16_t* text) {
  return CopyText(out, N, text);
}
