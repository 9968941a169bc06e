// shellapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include "tools/toolargs.h"

// argv holds the arguments in the ANSI code page, which cannot carry every
// file name; the wide command line can.
std::vector<std::u16string> GetToolArgs(int, char**) {
  std::vector<std::u16string> args;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return args;
  for (int i = 1; i < count; ++i) args.emplace_back(reinterpret_cast<const char16_t*>(wide[i]));
  LocalFree(wide);
  return args;
}
