#include "platform/ztSystemLibrary.h"

#include <windows.h>

namespace {

// Not in older SDK headers; the values are fixed by the system.
constexpr DWORD kSearchSystem32 = 0x00000800;  // LOAD_LIBRARY_SEARCH_SYSTEM32

using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);

// kernel32 is always mapped, so asking it for an entry point loads nothing.
FARPROC Kernel32Function(const char* name) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel ? GetProcAddress(kernel, name) : nullptr;
}

HMODULE LoadFromSystemFolder(const wchar_t* dll) {
  // Systems with the restricted search understand the flag directly.
  HMODULE module = LoadLibraryExW(dll, nullptr, kSearchSystem32);
  if (module) return module;
  // Older ones refuse the flag: name the file by its full path instead, which
  // the loader takes as it is, without a search.
  wchar_t path[MAX_PATH];
  UINT n = GetSystemDirectoryW(path, MAX_PATH);
  const int nameLength = lstrlenW(dll);
  if (n == 0 || n + 1 + nameLength >= MAX_PATH) return nullptr;
  path[n++] = L'\\';
  lstrcpyW(path + n, dll);
  return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

int ztRestrictDllSearch() {
  // The current directory is where the user started the program (often the
  // package folder itself): never a place to load code from.
  SetDllDirectoryW(L"");
  auto setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
      reinterpret_cast<void*>(Kernel32Function("SetDefaultDllDirectories")));
  return setDefault && setDefault(kSearchSystem32) ? 1 : 0;
}

void* ztSystemFunction(const char16_t* dll, const char* function) {
  if (!dll || !function) return nullptr;
  HMODULE module = LoadFromSystemFolder(reinterpret_cast<const wchar_t*>(dll));
  if (!module) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(module, function));
}
