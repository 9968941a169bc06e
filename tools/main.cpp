// ztimage: the image tool's program (see imagetool.h).
#include <cstdio>

#include "platform/ztHeap.h"
#include "tools/imagetool.h"
#include "tools/toolargs.h"

int main(int argc, char** argv) {
  // The library's pictures live on its private heap.
  ztHeapCreate(0xA00000);
  std::string out, err;
  int rc = RunImageTool(GetToolArgs(argc, argv), &out, &err);
  fputs(out.c_str(), stdout);
  fputs(err.c_str(), stderr);
  ztHeapDestroy();
  return rc;
}
