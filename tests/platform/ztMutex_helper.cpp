// Second process for the named-mutex tests: creates the mutex named by its
// argument, holds it while it runs and exits with the "already exists"
// answer (0 or 1); 2 when no name was given.
#include <windows.h>
#include <shellapi.h>

#include "platform/ztMutex.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 2) return 2;
  ztMutex mutex;
  int32_t exists = -1;
  (void)mutex.Create(reinterpret_cast<const char16_t*>(argv[1]), &exists);  // `exists` carries the answer
  LocalFree(argv);
  return exists;
}
