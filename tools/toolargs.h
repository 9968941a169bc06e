// Command-line arguments as UTF-16, whatever the platform's own encoding.
#pragma once

#include <string>
#include <vector>

// The arguments after the program name.
std::vector<std::u16string> GetToolArgs(int argc, char** argv);
