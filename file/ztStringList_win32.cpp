#include <windows.h>

#include "file/ztStringList.h"

int ztStringList::Compare(const char16_t* a, const char16_t* b) {
  return lstrcmpiW(reinterpret_cast<const wchar_t*>(a), reinterpret_cast<const wchar_t*>(b));
}

int ztReplaceFileWith(const char16_t* source, const char16_t* target) {
  return MoveFileExW(reinterpret_cast<const wchar_t*>(source),
                     reinterpret_cast<const wchar_t*>(target),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
             ? 1
             : 0;
}
