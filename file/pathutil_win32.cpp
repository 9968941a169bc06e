#include <shlobj.h>
#include <windows.h>

#include <cstring>

#include "file/pathutil.h"
#include "file/pathutil_sys.h"
#include "file/textutil.h"
#include "platform/ztDebug.h"
#include "platform/ztSystemLibrary.h"
#include "platform/ztWide.h"

namespace {

// version.dll is no known DLL: it is taken from the system folder at run
// time, never through the import table (see ztSystemLibrary.h).
struct VersionApi {
  decltype(&GetFileVersionInfoSizeW) size;
  decltype(&GetFileVersionInfoW) info;
  decltype(&VerQueryValueW) query;
};

const VersionApi* Version() {
  static const VersionApi api = {
      ztSystemFunctionAs<decltype(&GetFileVersionInfoSizeW)>(u"version.dll", "GetFileVersionInfoSizeW"),
      ztSystemFunctionAs<decltype(&GetFileVersionInfoW)>(u"version.dll", "GetFileVersionInfoW"),
      ztSystemFunctionAs<decltype(&VerQueryValueW)>(u"version.dll", "VerQueryValueW")};
  return api.size && api.info && api.query ? &api : nullptr;
}
}  // namespace

namespace zt_path {
bool MakeFolder(const char16_t* path) {
  // A folder's own path must leave room for an 8.3 name below it (248
  // units); a deeper folder that still holds files of up to 259 units is
  // made through the long form.
  constexpr size_t kPlainFolderMax = 247;
  if (TextLength(path) > kPlainFolderMax) {
    char16_t longForm[ZT_LONG_PATH];
    if (ztLongPathForm(path, longForm, ZT_LONG_PATH) < 0) return false;
    return CreateDirectoryW(W(longForm), nullptr) != 0;
  }
  return CreateDirectoryW(W(path), nullptr) != 0;
}
}  // namespace zt_path

int ztLongPathForm(const char16_t* path, char16_t* out, size_t cap) {
  if (!out || cap == 0) return -1;
  out[0] = 0;
  if (!path) return -1;
  // Already a long or device path: the system takes it as it stands.
  if (path[0] == u'\\' && path[1] == u'\\' && (path[2] == u'?' || path[2] == u'.') && path[3] == u'\\')
    return CopyText(out, cap, path);
  // The long form skips the system's clean-up of a path (relative parts,
  // forward slashes), so it is made from the full path.
  wchar_t full[ZT_LONG_PATH];
  DWORD n = GetFullPathNameW(W(path), ZT_LONG_PATH, full, nullptr);
  if (n == 0 || n >= ZT_LONG_PATH) return -1;
  const char16_t* rest = reinterpret_cast<const char16_t*>(full);
  const char16_t* prefix = u"\\\\?\\";
  if (full[0] == L'\\' && full[1] == L'\\') {
    prefix = u"\\\\?\\UNC\\";
    rest += 2;
  } else if (!(full[0] && full[1] == L':' && full[2] == L'\\')) {
    return -1;
  }
  const size_t p = TextLength(prefix), r = TextLength(rest);
  if (p + r >= cap) return -1;
  (void)CopyText(out, cap, prefix);
  (void)CopyText(out + p, cap - p, rest);
  return static_cast<int>(p + r);
}

int ztIsFolder(const char16_t* path) {
  if (!path) return 0;
  DWORD attributes = GetFileAttributesW(W(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

int ztIsFile(const char16_t* path) {
  if (!path) return 0;
  DWORD attributes = GetFileAttributesW(W(path));
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

ztPathKind GetPathKind(const char16_t* path) {
  if (!path) return ZT_PATH_NONE;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(W(path), &fd);
  if (h == INVALID_HANDLE_VALUE) return ZT_PATH_NONE;
  FindClose(h);
  return (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? ZT_PATH_FOLDER : ZT_PATH_FILE;
}

int ReadFileVersionInfo(const char16_t* path, ztFileVersion* out) {
  if (!out) return 0;
  std::memset(out, 0, sizeof *out);
  const VersionApi* api = Version();
  if (!path || !api) return 0;
  DWORD ignored = 0;
  DWORD size = api->size(W(path), &ignored);
  if (size == 0) return 0;
  void* block = HeapAlloc(GetProcessHeap(), 0, size);
  if (!block) return 0;
  if (!api->info(W(path), 0, size, block)) {
    HeapFree(GetProcessHeap(), 0, block);
    return 0;
  }
  struct LangCodePage {
    WORD language;
    WORD codePage;
  };
  LangCodePage* tr = nullptr;
  UINT trLen = 0;
  if (api->query(block, L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&tr), &trLen) &&
      trLen >= sizeof(LangCodePage)) {
    static const wchar_t* const kNames[12] = {L"Comments",        L"CompanyName",      L"FileDescription",
                                              L"FileVersion",     L"InternalName",     L"LegalCopyright",
                                              L"LegalTrademarks", L"OriginalFilename", L"ProductName",
                                              L"ProductVersion",  L"PrivateBuild",     L"SpecialBuild"};
    char16_t* fields[12] = {out->comments,     out->companyName,    out->fileDescription, out->fileVersion,
                            out->internalName, out->legalCopyright, out->legalTrademarks, out->originalFilename,
                            out->productName,  out->productVersion, out->privateBuild,    out->specialBuild};
    for (int i = 0; i < 12; ++i) {
      wchar_t key[80];
      wsprintfW(key, L"\\StringFileInfo\\%04x%04x\\%s", tr->language, tr->codePage, kNames[i]);
      wchar_t* value = nullptr;
      UINT len = 0;
      if (!api->query(block, key, reinterpret_cast<void**>(&value), &len) || !value) continue;
      // The value is `len` units long (its terminator counted) inside the
      // file's block; a damaged resource need not end it with a zero.
      UINT n = 0;
      for (; n < len && n < 255 && value[n]; ++n) fields[i][n] = static_cast<char16_t>(value[n]);
      fields[i][n] = 0;
    }
    char narrow[600];
    ToShiftJis(narrow, sizeof narrow, out->fileVersion);
    DebugLog("version : %s", narrow);
    ParseFileVersionText(out->fileVersion, out->version);
  }
  HeapFree(GetProcessHeap(), 0, block);
  return 1;
}

int GetShellFolder(int kind, char16_t* out, size_t cap) {
  if (!out || cap == 0) return 0;
  out[0] = 0;
  static const int kCsidl[12] = {CSIDL_DESKTOPDIRECTORY,
                                 CSIDL_COMMON_DESKTOPDIRECTORY,
                                 CSIDL_STARTMENU,
                                 CSIDL_PROGRAMS,
                                 CSIDL_COMMON_PROGRAMS,
                                 CSIDL_PERSONAL,
                                 -1,
                                 -1,
                                 CSIDL_COMMON_APPDATA,
                                 CSIDL_APPDATA,
                                 CSIDL_PROGRAM_FILES,
                                 CSIDL_MYPICTURES};
  static const wchar_t* const kRegistryName[12] = {L"Desktop", nullptr,     L"Start Menu", L"Programs",
                                                   nullptr,    L"Personal", nullptr,       nullptr,
                                                   L"AppData", L"AppData",  nullptr,       L"My Pictures"};
  if (kind < 0 || kind > 11) return 0;
  wchar_t path[MAX_PATH + 1] = {};
  bool ok = false;
  if (kind == 6) {
    ok = GetTempPathW(MAX_PATH, path) != 0;
  } else if (kind == 7) {
    ok = GetWindowsDirectoryW(path, MAX_PATH) != 0;
  } else if (SHGetFolderPathW(nullptr, kCsidl[kind], nullptr, SHGFP_TYPE_CURRENT, path) >= 0) {
    ok = true;
  } else if (SHGetSpecialFolderPathW(nullptr, path, kCsidl[kind], FALSE)) {
    ok = true;
  } else if (kRegistryName[kind]) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", 0,
                      KEY_READ, &key) == ERROR_SUCCESS) {
      DWORD bytes = MAX_PATH * sizeof(wchar_t);
      DWORD type = 0;
      ok = RegQueryValueExW(key, kRegistryName[kind], nullptr, &type, reinterpret_cast<BYTE*>(path), &bytes) ==
           ERROR_SUCCESS;
      RegCloseKey(key);
      path[MAX_PATH] = 0;
    }
  }
  if (!ok) return 0;
  return CopyText(out, cap, reinterpret_cast<const char16_t*>(path)) < 0 ? 0 : 1;
}
