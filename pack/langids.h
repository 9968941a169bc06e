// The Windows language ids ztpack accepts without a warning: the UI
// languages a game is commonly shipped in. The updater compares a
// description's code with GetUserDefaultUILanguage() as a number, so a code
// that no Windows reports (a typing slip such as 1014 for 1041) silently
// never matches; the table catches those. A valid id missing from it only
// gets a warning, so no package is refused for it.
#pragma once

#include <cstdint>

// The language's tag ("ja-JP"), or null for a code not in the table.
const char* KnownLanguageTag(uint16_t code);
