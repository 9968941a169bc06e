#include "file/textutil.h"

#include <cstring>

#include "platform/sysdep.h"

// ---- small helpers ----------------------------------------------------------

size_t TextLength(const char16_t* text) {
  size_t n = 0;
  if (text)
    while (text[n]) ++n;
  return n;
}

size_t FitUtf16(const char16_t* text, size_t len, size_t cap) {
  if (cap == 0) return 0;
  if (len <= cap - 1) return len;
  size_t n = cap - 1;
  // Do not leave the high half of a surrogate pair at the end.
  if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
  return n;
}

size_t FitUtf8(const char* text, size_t len, size_t cap) {
  if (cap == 0) return 0;
  if (len <= cap - 1) return len;
  size_t n = cap - 1;
  // Step back over continuation bytes to the lead byte of the sequence that
  // was cut, and drop that sequence too unless it was complete.
  size_t lead = n;
  while (lead > 0 && (static_cast<unsigned char>(text[lead]) & 0xC0) == 0x80) --lead;
  return lead;
}

int CopyText(char16_t* out, size_t cap, const char16_t* text) {
  if (!out || cap == 0) return -1;
  size_t len = TextLength(text);
  size_t n = FitUtf16(text, len, cap);
  if (n) std::memcpy(out, text, n * sizeof(char16_t));
  out[n] = 0;
  return n == len ? static_cast<int>(n) : -1;
}

int CopyTextA(char* out, size_t cap, const char* text) {
  if (!out || cap == 0) return -1;
  size_t len = text ? std::strlen(text) : 0;
  size_t n = FitUtf8(text, len, cap);
  if (n) std::memcpy(out, text, n);
  out[n] = 0;
  return n == len ? static_cast<int>(n) : -1;
}

// ---- numbers in text --------------------------------------------------------

namespace {

template <class C>
int Scan(const C* text, int* end, int32_t* value) {
  if (!text) return 0;
  int i = 0;
  bool negative = false;
  if (text[0] == '-') {
    negative = true;
    i = 1;
  } else if (text[0] == '+') {
    i = 1;
  }
  if (text[i] < '0' || text[i] > '9') return 0;
  uint32_t v = 0;
  if (text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    i += 2;
    for (;; ++i) {
      C c = text[i];
      uint32_t d;
      if (c >= '0' && c <= '9')
        d = c - '0';
      else if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      else
        break;
      v = v * 16 + d;
    }
  } else {
    for (; text[i] >= '0' && text[i] <= '9'; ++i) v = v * 10 + static_cast<uint32_t>(text[i] - '0');
    // "1.2" is not a number of this kind: a version written with a dot is
    // rejected as a whole rather than read as 1.
    if (text[i] == '.') return 0;
  }
  if (negative) v = 0u - v;
  if (end) *end = i;
  if (value) *value = static_cast<int32_t>(v);
  return 1;
}

}  // namespace

int32_t ParseVersionNumber(const char16_t* text) {
  int32_t v = 0;
  return Scan(text, nullptr, &v) ? v : 0;
}

int32_t ParseNumberA(const char* text) {
  int32_t v = 0;
  return Scan(text, nullptr, &v) ? v : 0;
}

int ScanNumber(const char16_t* text, int* end, int32_t* value) { return Scan(text, end, value); }
int ScanNumberA(const char* text, int* end, int32_t* value) { return Scan(text, end, value); }

// ---- search and replace ----------------------------------------------------

namespace {

template <class C>
int Find(const C* text, const C* pattern) {
  if (!text || !pattern) return -1;
  if (!pattern[0]) return text[0] ? 0 : -1;
  for (int i = 0; text[i]; ++i) {
    int k = 0;
    while (pattern[k] && text[i + k] == pattern[k]) ++k;
    if (!pattern[k]) return i;
  }
  return -1;
}

}  // namespace

int FindText(const char16_t* text, const char16_t* pattern) { return Find(text, pattern); }
int FindTextA(const char* text, const char* pattern) { return Find(text, pattern); }

int ReplaceText(char16_t* out, size_t cap, const char16_t* text, const char16_t* pattern, const char16_t* replacement) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!text) return 0;
  size_t plen = TextLength(pattern);
  if (plen == 0) return CopyText(out, cap, text);
  size_t rlen = TextLength(replacement);
  size_t n = 0;
  bool cut = false;
  auto put = [&](const char16_t* s, size_t len) {
    if (cut) return;
    size_t fit = n + len <= cap - 1 ? len : FitUtf16(s, len, cap - n);
    std::memcpy(out + n, s, fit * sizeof(char16_t));
    n += fit;
    if (fit < len) cut = true;
  };
  for (size_t i = 0; text[i];) {
    size_t k = 0;
    while (k < plen && text[i + k] == pattern[k]) ++k;
    if (k == plen) {
      put(replacement, rlen);
      i += plen;
    } else {
      // Keep a surrogate pair together so a cut never splits it.
      size_t len = (text[i] >= 0xD800 && text[i] <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) ? 2 : 1;
      put(text + i, len);
      i += len;
    }
  }
  out[n] = 0;
  return cut ? -1 : static_cast<int>(n);
}

int ToLowerPath(char16_t* text) {
  int n = 0;
  for (; text && text[n]; ++n)
    if (text[n] >= u'A' && text[n] <= u'Z') text[n] = static_cast<char16_t>(text[n] + 32);
  return n;
}

int ToUpperPath(char16_t* text) {
  int n = 0;
  for (; text && text[n]; ++n)
    if (text[n] >= u'a' && text[n] <= u'z') text[n] = static_cast<char16_t>(text[n] - 32);
  return n;
}

int ReadTextLine(const char* text, char* out, size_t cap) {
  if (!out || cap < 2) return 0;
  out[0] = out[1] = 0;
  if (!text) return 0;
  size_t len = 0;
  while (text[len] && text[len] != '\n') ++len;
  size_t used;
  size_t lineLen = len;
  if (text[len] == '\n') {
    if (len > 0 && text[len - 1] == '\r') {
      lineLen = len - 1;
      used = len + 1;
    } else {
      used = len + 1;
    }
  } else {
    used = len;
  }
  size_t n = FitUtf8(text, lineLen, cap - 1);
  std::memcpy(out, text, n);
  out[n] = 0;
  out[n + 1] = 0;
  return static_cast<int>(used);
}

// ---- character sets --------------------------------------------------------

int Utf8SequenceLength(const char* bytes) {
  if (!bytes) return 0;
  auto b = static_cast<unsigned char>(bytes[0]);
  if (b < 0x80) return 1;
  int n = 0;
  while (n < 8 && (b & (0x80 >> n))) ++n;
  if (n == 1) return -2;
  if (n >= 6) return 1;
  // The last byte of the sequence is not looked at here, and neither is the
  // second byte of a two-byte sequence.
  for (int i = 1; i < n - 1; ++i) {
    auto c = static_cast<unsigned char>(bytes[i]);
    if ((c & 0xC0) != 0x80) return -3;
  }
  return n;
}

namespace {

// Encodes one code point; returns the bytes.
int EncodeUtf8(uint32_t cp, char* buf) {
  if (cp < 0x80) {
    buf[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    buf[0] = static_cast<char>(0xC0 | (cp >> 6));
    buf[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    buf[0] = static_cast<char>(0xE0 | (cp >> 12));
    buf[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    buf[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  buf[0] = static_cast<char>(0xF0 | (cp >> 18));
  buf[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  buf[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  buf[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// Decodes `n` bytes of one sequence the way the system converter does:
// anything malformed, overlong or out of range is U+FFFD.
uint32_t DecodeUtf8(const unsigned char* p, int n) {
  if (n == 1) return p[0] < 0x80 ? p[0] : 0xFFFD;
  for (int i = 1; i < n; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0xFFFD;
  uint32_t cp;
  switch (n) {
    case 2: cp = ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu); return cp < 0x80 ? 0xFFFD : cp;
    case 3:
      cp = ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
      return (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) ? 0xFFFD : cp;
    case 4:
      cp = ((p[0] & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
      return (cp < 0x10000 || cp > 0x10FFFF) ? 0xFFFD : cp;
    default: return 0xFFFD;
  }
}

}  // namespace

int ToUtf8(const char16_t* text, char* out, size_t cap) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!text) return 0;
  size_t n = 0;
  for (size_t i = 0; text[i]; ++i) {
    char buf[4];
    int len;
    char16_t u = text[i];
    if (u == 0xFFFF) {
      buf[0] = buf[1] = static_cast<char>(0xFF);
      len = 2;
    } else if (u >= 0xD800 && u <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      uint32_t cp = 0x10000 + ((static_cast<uint32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      len = EncodeUtf8(cp, buf);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      len = EncodeUtf8(0xFFFD, buf);
    } else {
      len = EncodeUtf8(u, buf);
    }
    if (n + len > cap - 1) {
      out[n] = 0;
      return -1;
    }
    std::memcpy(out + n, buf, len);
    n += len;
  }
  out[n] = 0;
  return static_cast<int>(n);
}

int FromUtf8(const char* text, char16_t* out, size_t cap) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!text) return 0;
  auto* p = reinterpret_cast<const unsigned char*>(text);
  size_t n = 0;
  while (*p) {
    char16_t units[2];
    int count = 1;
    int step;
    if (p[0] == 0xFF && p[1] == 0xFF) {
      units[0] = 0xFFFF;
      step = 2;
    } else {
      int len = Utf8SequenceLength(reinterpret_cast<const char*>(p));
      if (len < 1) break;
      // The length test does not look at every byte; a terminator inside the
      // sequence ends the text rather than being stepped over.
      int k = 1;
      while (k < len && p[k]) ++k;
      if (k < len) break;
      uint32_t cp = DecodeUtf8(p, len);
      if (cp >= 0x10000) {
        units[0] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        units[1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        count = 2;
      } else {
        units[0] = static_cast<char16_t>(cp);
      }
      step = len;
    }
    if (n + count > cap - 1) {
      out[n] = 0;
      return -1;
    }
    for (int i = 0; i < count; ++i) out[n++] = units[i];
    p += step;
  }
  out[n] = 0;
  return static_cast<int>(n);
}

int CopyUtf8Char(const char* text, char* out, size_t cap) {
  if (!out || cap == 0) return 0;
  out[0] = 0;
  if (!text || !text[0]) return 0;
  int len = Utf8SequenceLength(text);
  if (len < 1) return 0;
  int k = 0;
  while (k < len && text[k]) ++k;
  if (k < len || static_cast<size_t>(len) + 1 > cap) return 0;
  std::memcpy(out, text, len);
  out[len] = 0;
  return len;
}

int ToShiftJis(char* out, size_t cap, const char16_t* text) { return zt_sys::Utf16ToCp932(text, out, cap); }

int FromShiftJis(char16_t* out, size_t cap, const char* text) { return zt_sys::Cp932ToUtf16(text, out, cap); }

int IsShiftJisLead(const char* bytes) {
  if (!bytes) return 0;
  auto a = static_cast<unsigned char>(bytes[0]);
  if (!((a >= 0x81 && a <= 0x9F) || (a >= 0xE0 && a <= 0xEF))) return 0;
  auto b = static_cast<unsigned char>(bytes[1]);
  return ((b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC)) ? 1 : 0;
}

int GetShiftJisChar(const char* bytes) {
  if (!bytes) return 0;
  auto a = static_cast<unsigned char>(bytes[0]);
  if (IsShiftJisLead(bytes)) return (a << 8) | static_cast<unsigned char>(bytes[1]);
  return a;
}

int FindCharA(const char* text, int code) {
  if (!text) return -1;
  if (code < 256) {
    for (int i = 0; text[i]; ++i)
      if (static_cast<unsigned char>(text[i]) == code) return i;
    return -1;
  }
  auto hi = static_cast<unsigned char>((code >> 8) & 0xFF);
  auto lo = static_cast<unsigned char>(code & 0xFF);
  for (int i = 0; text[i] && text[i + 1]; ++i)
    if (static_cast<unsigned char>(text[i]) == hi && static_cast<unsigned char>(text[i + 1]) == lo) return i;
  return -1;
}

int FindChar(const char16_t* text, char16_t unit) {
  if (!text) return -1;
  for (int i = 0; text[i]; ++i)
    if (text[i] == unit) return i;
  return -1;
}

// ---- byte blocks -------------------------------------------------------------

void CopyBytes(void* dst, const void* src, size_t count) {
  if (!dst || !src || !count) return;
  std::memmove(dst, src, count);
}

void ZeroBytes(void* dst, size_t count) {
  if (!dst || !count) return;
  std::memset(dst, 0, count);
}

int CompareBytes(const void* a, const void* b, size_t count) {
  auto* p = static_cast<const unsigned char*>(a);
  auto* q = static_cast<const unsigned char*>(b);
  for (size_t i = 0; i < count; ++i)
    if (p[i] != q[i]) return p[i] - q[i];
  return 0;
}
