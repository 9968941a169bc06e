// System side of the path utilities (pathutil_win32.cpp / pathutil_posix.cpp).
#pragma once

#include <string>

namespace zt_path {
// Creates one folder (its parent must exist).
bool MakeFolder(const char16_t* path);
#ifndef _WIN32
// UTF-16 path to the host's UTF-8 form; '\' becomes '/'.
std::string ToNative(const char16_t* path);
#endif
}  // namespace zt_path
