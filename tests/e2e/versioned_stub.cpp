// A do-nothing DLL: the e2e tests only need files that carry a version
// resource (versioned.rc.in), to see which installed program files the
// updater keeps.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
