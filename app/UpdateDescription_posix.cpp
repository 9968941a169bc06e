// Host stand-in for the Windows UI language: LANG beginning with "ja" is
// Japanese (1041), anything else US English (1033).
#include <cstdlib>
#include <cstring>

#include "app/UpdateDescription.h"

uint16_t GetSystemUiLanguage() {
  const char* lang = std::getenv("LANG");
  return lang && std::strncmp(lang, "ja", 2) == 0 ? 1041 : 1033;
}
