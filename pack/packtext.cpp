#include "pack/packtext.h"

#include "file/textutil.h"

std::string Utf8Of(const std::u16string& text) {
  std::string out(text.size() * 3 + 1, '\0');
  const int n = ToUtf8(text.c_str(), &out[0], out.size());
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

bool Utf16Of(const std::string& text, std::u16string* out, bool strict) {
  std::u16string units(text.size() + 1, u'\0');
  const int n = FromUtf8(text.c_str(), &units[0], units.size());
  units.resize(n > 0 ? static_cast<size_t>(n) : 0);
  *out = units;
  return !strict || Utf8Of(units) == text;
}

std::u16string Utf16Of(const std::string& text) {
  std::u16string out;
  (void)Utf16Of(text, &out);
  return out;
}
