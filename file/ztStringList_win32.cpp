#include <windows.h>

#include "file/textutil.h"
#include "file/ztStringList.h"
#include "platform/ztWide.h"

int ztCompareNoCase(const char16_t* a, const char16_t* b) { return lstrcmpiW(W(a ? a : u""), W(b ? b : u"")); }

int ztStringList::Compare(const char16_t* a, const char16_t* b) { return ztCompareNoCase(a, b); }

// lstrcmpiW compares as CompareStringW with NORM_IGNORECASE in the user's
// locale; a sort key made with the same locale and flag compares the same
// way byte by byte.
bool ztStringList::AppendSortKey(const char16_t* text, std::vector<uint8_t>& out) {
  const DWORD flags = LCMAP_SORTKEY | NORM_IGNORECASE;
  const wchar_t* src = W(text);
  BYTE key[2048];
  int n =
      LCMapStringW(LOCALE_USER_DEFAULT, flags, src, -1, reinterpret_cast<LPWSTR>(key), sizeof key);
  if (n > 0) {
    out.insert(out.end(), key, key + n);
    return true;
  }
  n = LCMapStringW(LOCALE_USER_DEFAULT, flags, src, -1, nullptr, 0);
  if (n <= 0) return false;
  size_t at = out.size();
  out.resize(at + static_cast<size_t>(n));
  int got =
      LCMapStringW(LOCALE_USER_DEFAULT, flags, src, -1, reinterpret_cast<LPWSTR>(&out[at]), n);
  if (got <= 0) {
    out.resize(at);
    return false;
  }
  out.resize(at + static_cast<size_t>(got));
  return true;
}

int ztReplaceFileWith(const char16_t* source, const char16_t* target) {
  return MoveFileExW(W(source), W(target), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) ? 1 : 0;
}

int ztFlushFileHandle(intptr_t handle) { return FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) ? 1 : 0; }
