#include "tools/toolargs.h"

#include <cstring>

#include "file/textutil.h"

std::vector<std::u16string> GetToolArgs(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) {
    std::u16string text(strlen(argv[i]) + 1, u'\0');
    int n = FromUtf8(argv[i], &text[0], text.size());
    text.resize(n > 0 ? static_cast<size_t>(n) : 0);
    args.push_back(text);
  }
  return args;
}
