// UTF-8 and UTF-16 strings for the package tool's messages and paths, over
// the library's converters.
#pragma once

#include <string>

// UTF-16 to UTF-8 (a lone surrogate becomes U+FFFD).
std::string Utf8Of(const std::u16string& text);
// UTF-8 to UTF-16. With `strict`, false for bytes that are not valid UTF-8
// (they would not come back as the same bytes).
bool Utf16Of(const std::string& text, std::u16string* out, bool strict = false);
std::u16string Utf16Of(const std::string& text);
