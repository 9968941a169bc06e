#include <windows.h>

#include "app/UpdateDescription.h"

uint16_t GetSystemUiLanguage() { return static_cast<uint16_t>(GetUserDefaultUILanguage()); }
