// ztpack, the package author's tool: build, keygen, sign and check (the
// command line is in kPackUsage and each command's own text).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "pack/packreport.h"

extern const char kPackUsage[];

struct PackToolIo {
  std::function<void(const std::string& text)> out;  // results
  std::function<void(const std::string& text)> err;  // problems
  ProgressSink progress;                             // status of long steps
};

// Runs one command; `args` are the arguments after the program name. The
// exit code: 0 done (warnings allowed), 1 errors found or the work failed,
// 2 a bad command line.
int RunPackTool(const std::vector<std::u16string>& args, const PackToolIo& io);
