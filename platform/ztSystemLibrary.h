// Libraries outside the process's import table, loaded from the system's own
// folder only.
//
// The updater runs with the highest rights the user has, from a folder the
// user downloaded. Windows looks for a DLL that is not one of its "known
// DLLs" in the program's own folder first, so a stray version.dll or
// comctl32.dll that lands beside updater.exe (another download, an archive
// unpacked there) would run inside it. The executable therefore imports only
// kernel32, msvcrt and advapi32 at start-up, delay-loads user32, gdi32,
// shell32 and ole32 after the search is restricted (cmake/delayload.cmake),
// and takes everything else through here.
//
// Windows build only.
#pragma once

#include <cstdint>

// Takes the program's folder and the current directory out of the DLL search
// for the rest of the process (system folder only, where the system supports
// it). Called first thing in the entry point, before anything can load a
// library. 1 when the restricted search is in force, 0 when the system has
// no such setting (then only the current directory is removed).
int ztRestrictDllSearch();

// A function of a DLL in the system folder (`dll` a plain file name such as
// u"version.dll"); null when the DLL or the function is not there. The DLL
// stays loaded for the life of the process.
void* ztSystemFunction(const char16_t* dll, const char* function);

// The same, typed: ztSystemFunction<decltype(&GetFileVersionInfoW)>(...).
template <class Fn>
Fn ztSystemFunctionAs(const char16_t* dll, const char* function) {
  return reinterpret_cast<Fn>(ztSystemFunction(dll, function));
}
