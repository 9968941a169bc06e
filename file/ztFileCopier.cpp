// The copy engine's arithmetic and texts: no system calls here, so the rules
// that decide block lengths, messages and temporary names read on their own.
#include "file/ztFileCopier.h"

#include "file/textutil.h"

namespace {

// The library's message table maps "$key$" prefixes to translated texts.
// This program ships no table, so every lookup misses and the text that
// follows the key is what the user sees; the keys stay in the templates so
// that the texts can still be matched to a table.
const char16_t* LookupMessage(const char16_t* key, size_t keyLength) {
  (void)key;
  (void)keyLength;
  return nullptr;
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

// Reads exactly `digits` hexadecimal digits.
bool ReadHex(const char16_t* text, int digits, uint32_t* value) {
  uint32_t v = 0;
  for (int i = 0; i < digits; ++i) {
    int d = HexValue(text[i]);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *value = v;
  return true;
}

void PutHex(char16_t* out, int digits, uint32_t value) {
  static const char16_t kDigits[] = u"0123456789ABCDEF";
  for (int i = digits - 1; i >= 0; --i) {
    out[i] = kDigits[value & 0xF];
    value >>= 4;
  }
}

}  // namespace

uint32_t ztCopyBlockSize(uint32_t sector) {
  if (sector == 0) return 0x200000;
  // Unbuffered reads need a power-of-two sector; anything else (or a sector
  // size no disk reports) is read buffered instead.
  if ((sector & (sector - 1)) != 0 || sector > 0x10000) return 0;
  return sector * ((sector + 0x100000) / sector);
}

int ztCopyNextBlock(uint64_t size, uint64_t position, uint32_t capacity, uint32_t sector,
                    uint32_t* length, uint32_t* request) {
  *length = 0;
  *request = 0;
  if (capacity == 0 || position >= size) return 0;
  uint64_t remaining = size - position;
  if (remaining > capacity) {
    *length = capacity;
    *request = capacity;
    return 1;
  }
  *length = static_cast<uint32_t>(remaining);
  uint64_t ask = remaining;
  if (sector) ask = (remaining + sector - 1) / sector * sector;
  // The buffer is a whole number of sectors, so this only guards against a
  // caller that broke that rule: never ask for more than the buffer holds.
  *request = static_cast<uint32_t>(ask > capacity ? capacity : ask);
  return 1;
}

int ztFormatCopyMessage(char16_t* out, size_t cap, const char16_t* messageTemplate,
                        const char16_t* argument) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!messageTemplate) return 0;
  const char16_t* text = messageTemplate;
  if (text[0] == u'$') {
    int close = FindChar(text + 1, u'$');
    if (close >= 0) {
      const char16_t* found = LookupMessage(text + 1, static_cast<size_t>(close));
      text = found ? found : text + 1 + close + 1;
    }
  }
  size_t n = 0;
  bool cut = false;
  bool argumentUsed = false;
  auto put = [&](const char16_t* s, size_t len) {
    size_t fit = FitUtf16(s, len, cap - n);
    for (size_t i = 0; i < fit; ++i) out[n + i] = s[i];
    n += fit;
    if (fit < len) cut = true;
  };
  for (const char16_t* p = text; *p && !cut; ++p) {
    if (!argumentUsed && p[0] == u'%' && p[1] == u's') {
      const char16_t* a = argument ? argument : u"";
      put(a, TextLength(a));
      argumentUsed = true;
      ++p;
      continue;
    }
    size_t len = 1;
    if (p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) len = 2;
    put(p, len);
    p += len - 1;
  }
  out[n] = 0;
  return cut ? -1 : static_cast<int>(n);
}

int ztCopyTempName(char16_t* out, size_t cap, uint32_t pid, uint32_t number) {
  // "~ztcp-" + 8 digits + "-" + 4 digits + ".tmp"
  const size_t len = 6 + 8 + 1 + 4 + 4;
  if (!out || cap < len + 1) return 0;
  (void)CopyText(out, cap, ztFileCopier::kTempPrefix);
  PutHex(out + 6, 8, pid);
  out[14] = u'-';
  PutHex(out + 15, 4, number & 0xFFFF);
  (void)CopyText(out + 19, cap - 19, u".tmp");
  return 1;
}

int ztCopyBackupName(char16_t* out, size_t cap, uint32_t index) {
  // 8 digits + ".bak"
  if (!out || cap < 13) return 0;
  PutHex(out, 8, index);
  (void)CopyText(out + 8, cap - 8, u".bak");
  return 1;
}

int ztParseCopyTempName(const char16_t* name, uint32_t* pid) {
  if (!name || TextLength(name) != 23) return 0;
  for (int i = 0; i < 6; ++i)
    if (name[i] != ztFileCopier::kTempPrefix[i]) return 0;
  uint32_t p = 0, number = 0;
  if (!ReadHex(name + 6, 8, &p) || name[14] != u'-' || !ReadHex(name + 15, 4, &number)) return 0;
  const char16_t* ext = name + 19;
  if (ext[0] != u'.' || (ext[1] | 0x20) != u't' || (ext[2] | 0x20) != u'm' || (ext[3] | 0x20) != u'p') return 0;
  if (pid) *pid = p;
  return 1;
}
