// ztpack: the package author's tool (see ztpack.h).
#include <chrono>
#include <cstdio>

#include "pack/packfs.h"
#include "pack/ztpack.h"
#include "platform/ztHeap.h"
#include "tools/toolargs.h"

int main(int argc, char** argv) {
  // The library's pictures and descriptions live on its private heap.
  ztHeapCreate(0xA00000);
  PrepareConsole();
  const bool terminal = ErrorIsTerminal();
  size_t shown = 0;
  auto last = std::chrono::steady_clock::now();
  PackToolIo io;
  io.out = [](const std::string& text) {
    fputs(text.c_str(), stdout);
    fflush(stdout);
  };
  io.err = [](const std::string& text) {
    fputs(text.c_str(), stderr);
    fflush(stderr);
  };
  // On a terminal the status line is redrawn in place; into a log it is a
  // line every few seconds.
  io.progress = [&](const std::string& line) {
    if (terminal) {
      std::string text = "\r" + line;
      if (line.size() < shown) text += std::string(shown - line.size(), ' ') + "\r" + line;
      if (line.empty()) text += "\r";
      shown = line.size();
      fputs(text.c_str(), stderr);
      fflush(stderr);
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (line.empty() || now - last < std::chrono::seconds(5)) return;
    last = now;
    fprintf(stderr, "%s\n", line.c_str());
  };
  const int rc = RunPackTool(GetToolArgs(argc, argv), io);
  ztHeapDestroy();
  return rc;
}
